// The actions of a file do their work on the desktop: Open, and in the
// row's menu Open with, Show in folder and Copy path, each hand the desktop
// the file's path or its folder (the recording desktop programs log it) and
// say in the row that they did; the menu works by keyboard.
'use strict';

const fs = require('fs');
const path = require('path');
const { startProgram, launchBrowser, run, check, waitFor, openPage, summarySql } =
  require('../../support/browser');

run(async (keep) => {
  const mails = [{ id: 1, address: 'bob@example.org', subject: 'Report', daysAgo: 1, files: [{ name: 'report 2026.pdf', type: 'pdf' }] }];
  const program = keep(await startProgram({ summary: summarySql({ accounts: [{ id: 1, email: 'me@example.org' }], mails }) }));
  const browser = keep(await launchBrowser());
  const page = await openPage(browser, `${program.origin}/index.html#files`);
  await page.waitForSelector('.file');
  const file = path.join(program.home, 'Postvane Attachments/me@example.org/recv/bob@example.org/attachments/report 2026.pdf');
  // The desktop is handed only files that are there.
  const drawn = await page.$('.file');
  fs.mkdirSync(path.dirname(file), { recursive: true });
  fs.writeFileSync(file, '%PDF-1.4\n');
  // The list's next poll sees the file on disk and draws the list anew; a
  // click that lands while it does (press on the old row, release on the
  // new) clicks nothing. Act on the list as drawn then.
  await waitFor(() => drawn.evaluate((row) => !row.isConnected), 15000, 'the list drawn anew with the file on disk');
  // Without a desktop session the folder is shown by opening it, and a file
  // without a default program is opened by the chooser. Open is the row's
  // button, the rest are in its menu; each says it was done. Every line the
  // desktop is asked is awaited before the next action, so that a late line
  // of one action never passes for the next one's.
  const actions = [
    ['Open', [`xdg-mime [query] [filetype] [${file}]`, `xdg-open [${file}]`], 'Opening it with its program…'],
    ['Open with…', [`xdg-open [${file}]`], 'Choose the program in the window that opens…'],
    ['Show in folder', [`xdg-open [${path.dirname(file)}]`], 'Opening its folder…'],
    ['Copy path', [`xclip [-selection] [clipboard] in[${file}]`], 'Its path is on the clipboard.'],
  ];
  const row = page.locator('.file', { hasText: 'report 2026.pdf' });
  for (const [label, expected, sign] of actions) {
    const before = program.desktop().split('\n').length;
    if (label === 'Open') {
      await page.getByRole('button', { name: `${label} report 2026.pdf` }).click();
    } else {
      await page.getByRole('button', { name: 'More for report 2026.pdf' }).click();
      await page.getByRole('menuitem', { name: `${label} report 2026.pdf` }).click();
    }
    const asked = () => program.desktop().split('\n').slice(before - 1).filter(Boolean).join('\n');
    await waitFor(() => asked() === expected.join('\n'), 8000,
      () => `${label}: ${expected.join(', ')} on the desktop; the desktop was asked:\n${program.desktop()}`);
    await waitFor(async () => (await row.locator('[role=status]').textContent()).trim() === sign, 5000,
      async () => `${label}: the row's sign, shown ${await row.locator('[role=status]').textContent()}`);
  }
  await waitFor(async () => (await page.textContent('#alert')).includes('The path of report 2026.pdf is on the clipboard.'),
    5000, 'the note on the copied path');

  // By keyboard: two stops a row; the menu opens on its first item, arrows
  // move, Escape closes it back on its button.
  await page.getByRole('button', { name: 'Open report 2026.pdf' }).focus();
  await page.keyboard.press('Tab');
  // Known by its label: a poll may draw the list again, and the focus with it.
  check(await page.evaluate(() => document.activeElement.getAttribute('aria-label')) === 'More for report 2026.pdf',
    `the menu button is not the next stop after Open: ${await page.evaluate(() => document.activeElement.outerHTML.slice(0, 120))}`);
  const focused = () => page.evaluate(() => document.activeElement.textContent);
  const keys = [['Enter', 'Open with…'], ['ArrowDown', 'Show in folder'], ['End', 'Copy path'], ['ArrowDown', 'Open with…'],
    ['ArrowUp', 'Copy path'], ['Escape', 'More…']];
  for (const [key, expected] of keys) {
    await page.keyboard.press(key);
    check(await focused() === expected, `after ${key} the focus is on "${await focused()}", not "${expected}"`);
  }
  check(await page.locator('.file .menu').first().isHidden(), 'Escape left the menu open');
  page.clean();
  console.log(`${actions.length} file actions handed the desktop the file's path, by mouse and keyboard`);
});
