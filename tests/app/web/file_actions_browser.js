// The buttons of a file do their work on the desktop: Open, Open with,
// Show in folder and Copy path each hand the desktop the file's path or its
// folder (the recording desktop programs log it), and Copy path says so.
'use strict';

const fs = require('fs');
const path = require('path');
const { startProgram, launchBrowser, run, check, waitFor, openPage, requireHandler, summarySql } =
  require('../../support/browser');

run(async (keep) => {
  const mails = [{ id: 1, address: 'bob@example.org', subject: 'Report', daysAgo: 1, files: [{ name: 'report 2026.pdf', type: 'pdf' }] }];
  const program = keep(await startProgram({ summary: summarySql({ accounts: [{ id: 1, email: 'me@example.org' }], mails }) }));
  await requireHandler(program.origin, 'ShowAll', 'DataLoad');
  await requireHandler(program.origin, 'ShowAll', 'Locate', '&fileid=0');
  const browser = keep(await launchBrowser());
  const page = await openPage(browser, `${program.origin}/index.html#files`);
  await page.waitForSelector('.file');
  const file = path.join(program.home, 'Postvane Attachments/me@example.org/recv/bob@example.org/attachments/report 2026.pdf');
  // The desktop is handed only files that are there.
  fs.mkdirSync(path.dirname(file), { recursive: true });
  fs.writeFileSync(file, '%PDF-1.4\n');
  // Without a desktop session the folder is shown by opening it.
  const buttons = [['Open', file], ['Open with…', file], ['Show in folder', path.dirname(file)], ['Copy path', `in[${file}]`]];
  for (const [label, expected] of buttons) {
    const before = program.desktop().split('\n').length;
    await page.getByRole('button', { name: `${label} report 2026.pdf` }).click();
    await waitFor(() => program.desktop().split('\n').slice(before - 1).join('\n').includes(expected), 8000,
      `${label}: ${expected} on the desktop; the desktop was asked:\n${program.desktop()}`);
  }
  await waitFor(async () => (await page.textContent('#alert')).includes('The path of report 2026.pdf is on the clipboard.'),
    5000, 'the note on the copied path');
  page.clean();
  console.log(`${buttons.length} file buttons handed the desktop the file's path`);
});
