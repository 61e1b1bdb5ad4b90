// The side bar's page in a bar 300 pixels wide: the address the bar hands
// over, with or without double quotes and even before the page's scripts
// ran, shows that correspondent's files and nobody else's.
'use strict';

const { startProgram, launchBrowser, run, check, waitFor, openPage, screenshot, summarySql } =
  require('../../support/browser');

run(async (keep) => {
  const mails = [
    { id: 1, address: 'bob@example.org', subject: 'Plans', daysAgo: 1, files: [{ name: 'plan.pdf', type: 'pdf' }] },
    { id: 2, address: 'bob@example.org', subject: 'Budget', daysAgo: 2, files: [{ name: 'budget.ods', type: 'ods' }] },
    { id: 3, address: 'carol@example.org', subject: 'Photos', daysAgo: 3, files: [{ name: 'party.jpg', type: 'jpg' }] },
    { id: 4, address: 'bobby@example.org', subject: 'Other', daysAgo: 4, files: [{ name: 'other.txt', type: 'txt' }] },
  ];
  const program = keep(await startProgram({ summary: summarySql({ accounts: [{ id: 1, email: 'me@example.org' }], mails }) }));
  const browser = keep(await launchBrowser());
  const shownFiles = (page) => page.$$eval('.file .name', (nodes) => nodes.map((n) => n.firstChild.textContent).sort().join(','));

  const cases = [
    { given: '"bob@example.org"', files: 'budget.ods,plan.pdf' },
    { given: 'bob@example.org', files: 'budget.ods,plan.pdf' },
    { given: '"carol@example.org"', files: 'party.jpg' },
    { given: '"bob@example.org"', early: true, files: 'budget.ods,plan.pdf' },
  ];
  for (const c of cases) {
    // Handed over early: while the page is still being read, as the bar may do.
    const early = [(text) => document.addEventListener('readystatechange', () => {
      if (document.readyState === 'interactive') window.pvwidget.HandleContextChange(text);
    }), c.given];
    const page = await openPage(browser, `${program.origin}/extension.html?ver=1.89 Beta&t=1`,
      { width: 300, height: 700, init: c.early ? early : undefined });
    if (!c.early) await page.evaluate((text) => window.pvwidget.HandleContextChange(text), c.given);
    await waitFor(async () => await shownFiles(page) === c.files, 5000,
      async () => `${c.given}${c.early ? ' (early)' : ''}: ${c.files}, shown ${await shownFiles(page)}`);
    const address = c.given.replace(/^"|"$/g, '');
    check(await page.textContent('#pvContact') === address, `${c.given}: the page names ${await page.textContent('#pvContact')}`);
    const width = await page.evaluate(() => document.documentElement.scrollWidth);
    check(width <= 300, `${c.given}: the page is ${width} pixels wide`);
    if (c === cases[0]) await screenshot(page, 'extension');
    page.clean();
    await page.close();
  }
  console.log(`the side bar showed the files of ${cases.length} handed-over addresses in 300 pixels`);
});
