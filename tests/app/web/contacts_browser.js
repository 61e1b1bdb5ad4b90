// Contacts as a user browses them: by group, starred, with unread mail and
// by search; one contact's conversations and its mail trend drawn as a
// chart; the same contact in the side bar for its address. Names and
// subjects arrive as text.
'use strict';

const { startProgram, launchBrowser, run, check, waitFor, openPage, screenshot, summarySql } =
  require('../../support/browser');

// Pixels of the trend chart that are not blank.
const ink = (page) => page.$eval('.trend canvas', (canvas) => {
  const data = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
  let drawn = 0;
  for (let i = 3; i < data.length; i += 4) if (data[i] !== 0) drawn += 1;
  return drawn;
});

run(async (keep) => {
  const mails = [];
  for (let i = 1; i <= 9; i++) {
    mails.push({ id: i, address: 'bob@example.org', subject: `Plans ${i}`, daysAgo: i * 3, sent: i % 3 === 0, unseen: i === 1, thread: `<t${Math.ceil(i / 2)}@test>` });
  }
  mails.push({ id: 20, address: 'carol@example.org', subject: '<b>Minutes</b>', daysAgo: 2, unseen: true });
  mails.push({ id: 21, address: 'carol@example.org', subject: 'Agenda', daysAgo: 5, unseen: true });
  const contacts = [
    { id: 1, name: 'Bob Builder', addresses: ['bob@example.org'], mark: 1, group: 'Friends' },
    { id: 2, name: 'Carol <i>Chen</i>', addresses: ['carol@example.org'], group: 'Work' },
    { id: 3, name: 'Dave Local', addresses: ['dave@example.org'], type: 0 },
  ];
  const program = keep(await startProgram({
    summary: summarySql({ accounts: [{ id: 1, email: 'me@example.org' }], mails, contacts }),
  }));
  const browser = keep(await launchBrowser());
  const page = await openPage(browser, `${program.origin}/index.html#contacts`);
  const listed = () => page.$$eval('.contact-row .who span:first-child', (n) => n.map((x) => x.textContent).join(','));
  const detailName = () => page.$eval('.details .contact-name', (n) => n.textContent).catch(() => '');

  // Each choice as the user makes it; one match opens that contact at once.
  const cases = [
    { what: 'everyone', group: 'Everyone', show: 'All', list: 'Bob Builder,Carol <i>Chen</i>,Dave Local' },
    { what: 'a group', group: 'Work', show: 'All', details: 'Carol <i>Chen</i>' },
    { what: 'starred', group: 'Everyone', show: 'Starred Contacts', details: 'Bob Builder' },
    { what: 'with unread mail', group: 'Everyone', show: 'Unread Mails', list: 'Bob Builder,Carol <i>Chen</i>' },
    { what: 'a search', group: 'Everyone', show: 'All', search: 'dave', details: 'Dave Local' },
  ];
  await page.getByLabel('Group').waitFor();
  for (const c of cases) {
    await page.getByLabel('Group').selectOption(c.group);
    await page.getByLabel('Show', { exact: true }).selectOption(c.show);
    await page.getByLabel('Search contacts').fill(c.search || '');
    await page.getByLabel('Search contacts').press('Enter');
    if (c.list) await waitFor(async () => await listed() === c.list, 8000, async () => `${c.what}: ${c.list}, listed ${await listed()}`);
    else await waitFor(async () => await detailName() === c.details, 8000, async () => `${c.what}: ${c.details}, shown ${await detailName()}`);
  }

  // Bob from the list: his conversations, one a thread, and his trend drawn.
  await page.getByLabel('Show', { exact: true }).selectOption('All');
  await page.getByLabel('Search contacts').fill('');
  await page.getByLabel('Search contacts').press('Enter');
  await page.click('.contact-row .open >> text=Bob Builder');
  await waitFor(async () => await detailName() === 'Bob Builder', 8000, 'Bob\'s details');
  await page.waitForSelector('.trend canvas');
  await waitFor(async () => await ink(page) > 500, 5000, 'the trend chart drawn');
  const threads = await page.$$eval('.threads .subject', (n) => n.map((x) => x.textContent));
  check(threads.length === 5 && threads[0] === 'Plans 1', `Bob's conversations: ${threads.join(', ')}`);
  check(await page.$('.threads b') === null && await page.$('.contact-row i') === null, 'a text became markup');
  await screenshot(page, 'contact');
  page.clean();

  // The side bar shows the contact of the address it is handed.
  const bar = await openPage(browser, `${program.origin}/extension.html`, { width: 300 });
  await bar.evaluate(() => window.pvwidget.HandleContextChange('"carol@example.org"'));
  await waitFor(async () => (await bar.textContent('#content .contact-name').catch(() => '')) === 'Carol <i>Chen</i>', 8000,
    'Carol in the side bar');
  await bar.waitForSelector('.trend canvas');
  await waitFor(async () => await ink(bar) > 200, 5000, 'the side bar\'s trend chart drawn');
  bar.clean();
  console.log(`contacts browsed ${cases.length} ways; a contact's conversations and trend chart shown`);
});
