// Every page as a new user meets it: it loads without a console error or a
// failed request, every control has a label, nothing runs wider than the
// window at 100% and at 200% zoom (the side bar in 300 pixels), the views
// are reached by keyboard, and a script that is not ours does not run.
// Saves a picture of each under the build folder.
'use strict';

const { startProgram, startPeers, launchBrowser, run, check, waitFor, openPage, screenshot, summarySql } =
  require('../../support/browser');

const PAGES = [
  { name: 'files', address: 'index.html#files', ready: '#view-files:not([hidden])' },
  { name: 'contacts', address: 'index.html#contacts', ready: '#view-contacts:not([hidden])' },
  { name: 'accounts', address: 'index.html#accounts', ready: '#view-accounts:not([hidden])' },
  { name: 'settings', address: 'index.html#settings', ready: '#view-settings form' },
  { name: 'preferences', address: 'preferences.html?t=4711', ready: 'form' },
  { name: 'help', address: 'help.html?t=4711', ready: 'h1' },
  { name: 'initialize', address: 'initialize.html', ready: 'h1' },
  { name: 'sidebar', address: 'extension.html?ver=1.89 Beta', ready: '#content form', width: 300 },
];

// Controls without a name a screen reader could read out.
const unlabelled = () => [...document.querySelectorAll('input, select, textarea, button')]
  .filter((control) => {
    const named = (control.labels && control.labels.length > 0) || control.getAttribute('aria-label')
      || control.getAttribute('aria-labelledby') || (control.tagName === 'BUTTON' && control.textContent.trim());
    return !named;
  })
  .map((control) => control.outerHTML.slice(0, 80));

run(async (keep) => {
  const mails = [
    { id: 1, address: 'bob@example.org', subject: 'Quarterly report', daysAgo: 1, files: [{ name: 'report.pdf', type: 'pdf', size: 48213 }] },
    { id: 2, address: 'carol@example.org', subject: 'Photos of the trip', daysAgo: 3, files: [{ name: 'lake.jpg', type: 'jpg', size: 912004 }, { name: 'notes.txt', type: 'txt', size: 1200 }] },
    { id: 3, address: 'dave@example.org', subject: 'Minutes', daysAgo: 8, files: [{ name: 'minutes.odt', type: 'odt', size: 23011 }] },
  ];
  // The account's services answer, so that the pages show no error; its
  // mail box is empty and the files are the ones filled in here.
  const peers = keep(await startPeers({ address: 'me@example.org', password: 'secret', count: 0 }));
  const program = keep(await startProgram({
    account: ['me@example.org', 'secret'], endpoints: peers.endpoints,
    summary: summarySql({ accounts: [{ id: 1, email: 'me@example.org', added: true }], mails }),
  }));
  const browser = keep(await launchBrowser());

  for (const p of PAGES) {
    for (const zoom of [1, 2]) {
      const page = await openPage(browser, `${program.origin}/${p.address}`, { width: p.width || 1280, zoom });
      await page.waitForSelector(p.ready);
      await page.waitForLoadState('networkidle');
      const missing = await page.evaluate(unlabelled);
      check(missing.length === 0, `${p.name}: controls without a label: ${missing.join(' | ')}`);
      const [wide, room] = await page.evaluate(() => [document.documentElement.scrollWidth, document.documentElement.clientWidth]);
      check(wide <= room, `${p.name} at ${zoom * 100}%: ${wide} pixels in a window of ${room}`);
      if (zoom === 1) await screenshot(page, `page-${p.name}`);
      page.clean();
      await page.close();
    }
  }

  // By keyboard: the skip link first, then the views by their links.
  const page = await openPage(browser, `${program.origin}/index.html`);
  await page.waitForSelector('#view-files:not([hidden])');
  await page.keyboard.press('Tab');
  check(await page.evaluate(() => document.activeElement.textContent) === 'Skip to the content', 'the skip link is not first');
  for (let i = 0; i < 12; i++) {
    await page.keyboard.press('Tab');
    if (await page.evaluate(() => document.activeElement.textContent) === 'Settings') break;
  }
  await page.keyboard.press('Enter');
  await waitFor(() => page.evaluate(() => document.activeElement.id === 'settings-heading'), 5000, 'the settings heading in focus');
  await page.waitForSelector('#view-settings form');
  await page.keyboard.press('Tab');
  check(await page.evaluate(() => (document.activeElement.labels || [{}])[0].textContent) === 'Show the mail of',
    'the first setting is not next by keyboard');
  await page.goto(`${program.origin}/index.html#files`);
  await page.waitForSelector('#view-files:not([hidden])');
  await page.waitForLoadState('networkidle');
  await screenshot(page, 'main-page');
  page.clean();

  // Only our own scripts run: one put into the page is refused.
  page.expectFailure(/./);
  const ran = await page.evaluate(() => new Promise((done) => {
    document.addEventListener('securitypolicyviolation', () => done(window.injected === 1), { once: true });
    const script = document.createElement('script');
    script.textContent = 'window.injected = 1';
    document.body.append(script);
  }));
  check(!ran, 'an inline script ran');
  console.log(`${PAGES.length} pages load cleanly, labelled and within the window at 100% and 200%`);
});
