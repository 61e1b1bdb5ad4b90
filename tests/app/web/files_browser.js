// The files view as a user works it: a word of a file finds it, a leading
// '-' lists what does not match, sorting and paging come from the program,
// a file stored meanwhile shows up by itself, an unchanged list is not
// fetched again, and names arrive as text, never as markup.
'use strict';

const { execFileSync } = require('child_process');
const path = require('path');
const { startProgram, launchBrowser, run, check, waitFor, openPage, screenshot, summarySql } =
  require('../../support/browser');

const names = (page) => page.$$eval('.file .name', (nodes) => nodes.map((n) => n.firstChild.textContent));
const count = (page) => page.textContent('#view-files .count');
// The count above the list: "1 file", "7 files", "1–10 of 16 files".
const counted = (first, last, total) => (first === 1 && last === total ? `${total} file${total === 1 ? '' : 's'}` : `${first}–${last} of ${total} files`);

run(async (keep) => {
  const mails = [];
  for (let i = 1; i <= 14; i++) {
    mails.push({
      id: i, address: i % 2 ? 'bob@example.org' : 'carol@example.org', subject: `Quarterly figures ${i}`,
      daysAgo: i, files: [{ name: `quarterly-${String(i).padStart(2, '0')}.pdf`, type: 'pdf', size: 1000 * i }],
    });
  }
  mails.push({ id: 20, address: 'dave@example.org', subject: 'Holiday', daysAgo: 30,
    files: [{ name: 'beach.jpg', type: 'jpg', size: 50 }, { name: '<img src=x onerror="document.title=1">.txt', type: 'txt', size: 10 }] });
  const program = keep(await startProgram({ summary: summarySql({ accounts: [{ id: 1, email: 'me@example.org' }], mails }) }));
  const browser = keep(await launchBrowser());
  const page = await openPage(browser, `${program.origin}/index.html#files`);
  await page.waitForSelector('.file');
  check(await count(page) === '1–10 of 16 files', `first page: ${await count(page)}`);
  check((await names(page))[0] === 'quarterly-01.pdf', 'the newest file is not first');
  await screenshot(page, 'files');

  // Search, sorting and paging, each as the user sets them.
  const cases = [
    { what: 'a word of the name', search: 'beach', first: ['beach.jpg'], total: 1 },
    { what: 'a word of the subject', search: 'holiday', first: ['<img src=x onerror="document.title=1">.txt', 'beach.jpg'], total: 2, sortKey: 'filename', order: 'ASC' },
    { what: 'an address', search: 'carol', total: 7 },
    { what: 'a negative search', search: '-quarterly', total: 2 },
    { what: 'the name, descending', search: '', sortKey: 'filename', order: 'DESC', first: ['quarterly-14.pdf', 'quarterly-13.pdf'], total: 16 },
    { what: 'the size, ascending', search: '', sortKey: 'size', order: 'ASC', first: ['<img src=x onerror="document.title=1">.txt', 'beach.jpg', 'quarterly-01.pdf'], total: 16 },
    { what: 'the second page', search: '', sortKey: 'size', order: 'ASC', next: true, first: ['quarterly-09.pdf'], total: 16, range: '11–16 of 16 files' },
  ];
  for (const c of cases) {
    if (c.sortKey) {
      await page.selectOption('select[name=sortKey]', c.sortKey);
      await page.selectOption('select[name=sortOrder]', c.order);
    }
    await page.fill('input[name=search]', c.search);
    await page.press('input[name=search]', 'Enter');
    const range = c.range || counted(1, Math.min(10, c.total), c.total);
    if (c.next) await page.click('text=Next page');
    // The count alone may still be the last case's: the rows tell.
    const expected = (shown) => !c.first || JSON.stringify(shown.slice(0, c.first.length)) === JSON.stringify(c.first);
    await waitFor(async () => await count(page) === range && expected(await names(page)), 5000,
      async () => `${c.what}: ${range} ${c.first || ''}, got ${await count(page)} ${await names(page)}`);
    const shown = await names(page);
    if (c.search.startsWith('-')) check(!shown.some((n) => n.includes('quarterly')), `${c.what}: ${shown.join(', ')}`);
  }
  await page.click('text=Previous page');
  await waitFor(async () => await count(page) === '1–10 of 16 files', 5000, 'the first page again');

  // A name that looks like markup stays text.
  check(await page.$('.file img[src="x"]') === null, 'a file name became an element');
  check(await page.title() !== '1', 'a file name ran script');

  // The list follows the store by itself, and only when it changed.
  const loads = [];
  page.on('request', (request) => { if (/_action=DataLoad/.test(request.url())) loads.push(request.url()); });
  await page.waitForTimeout(11000);
  check(loads.length === 0, `an unchanged list was fetched ${loads.length} times`);
  execFileSync('sqlite3', [path.join(program.home, '.config/Brantlow/Postvane/data/postvane.summary')], {
    input: `INSERT INTO mail (id, uid, message_id, account_id, module_id, received_date, subject) VALUES (99, 99, '<n@x>', 1, 1, 1, 'New');
      INSERT INTO file (id, mail_id, file_path, file_name, file_type, size, is_folder, is_inline) VALUES (99, 99, 'n/tiny.odt', 'tiny.odt', 'odt', 1, 0, 0);
      INSERT INTO fts_file (rowid, subject, filename) VALUES (99, 'New', 'tiny.odt');`,
  });
  await waitFor(async () => (await names(page))[0] === 'tiny.odt', 15000, 'the new file in the list');
  check(await count(page) === '1–10 of 17 files', `after the new file: ${await count(page)}`);
  // A search the full-text engine cannot read says so instead of showing an empty list.
  await page.fill('input[name=search]', '"');
  await page.press('input[name=search]', 'Enter');
  const empty = () => page.locator('li.empty').first().textContent({ timeout: 1000 }).catch(() => '');
  await waitFor(async () => await empty() === 'This search cannot be read', 10000, async () => `the unreadable search, shown ${await empty()}`);
  page.clean();
  console.log(`searched, sorted and paged 16 files in ${cases.length} ways; a new file showed up by itself`);
});
