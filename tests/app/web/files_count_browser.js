// Files and Statistics count attachments differently when the settings hide
// pictures that were inside mails: the file list says so, with the way to
// show them, and says nothing once they are shown or a search is made.
'use strict';

const { startProgram, launchBrowser, run, check, waitFor, openPage, summarySql } = require('../../support/browser');

run(async (keep) => {
  const mails = [
    { id: 1, address: 'bob@example.org', subject: 'Plans', daysAgo: 1, files: [{ name: 'plan.pdf', type: 'pdf' }, { name: 'logo.png', type: 'png' }] },
    { id: 2, address: 'bob@example.org', subject: 'Budget', daysAgo: 2, files: [{ name: 'budget.ods', type: 'ods' }, { name: 'sig.gif', type: 'gif' }] },
  ];
  // The two pictures stood inside their mails.
  const summary = `${summarySql({ accounts: [{ id: 1, email: 'me@example.org' }], mails })}
    UPDATE file SET is_inline = 1 WHERE file_name IN ('logo.png', 'sig.gif');`;
  const program = keep(await startProgram({ summary }));
  const browser = keep(await launchBrowser());
  const page = await openPage(browser, `${program.origin}/index.html#files`);
  const hint = page.locator('#view-files .hint:not([hidden])', { hasText: 'Statistics' });
  const files = () => page.locator('#view-files .count').textContent();

  const cases = [
    { what: 'pictures hidden', inline: false, search: '', count: '2 files', hint: /Statistics count 4 attachments; the 2 not listed here are pictures inside mails\. .*Settings/ },
    { what: 'a search', inline: false, search: 'plan', count: '1 file', hint: null },
    { what: 'pictures shown', inline: true, search: '', count: '4 files', hint: null },
  ];
  for (const c of cases) {
    await page.evaluate((inline) => fetch('/', {
      method: 'POST',
      body: new URLSearchParams({ _object: 'PrefMgr', _action: 'SavePreferences', showInlineImages: inline ? 1 : 0, showReceivedAttachments: 0, showSenderEmails: 0, filesPerPage: 10, contactsPerPage: 10, filterAccountId: 0 }),
    }), c.inline);
    await page.reload();
    await page.getByLabel('Search files').fill(c.search);
    await waitFor(async () => await files() === c.count, 10000, async () => `${c.what}: ${c.count}, shown ${await files()}`);
    if (c.hint) {
      await waitFor(async () => c.hint.test(await hint.textContent({ timeout: 1000 }).catch(() => '')), 10000,
        async () => `${c.what}: the hint, shown ${await page.locator('#view-files').textContent()}`);
    } else {
      await page.waitForSelector(`#view-files .hint[data-checked="${c.search ? 'search' : c.count.split(' ')[0]}"]`, { state: 'attached' });
      check(await hint.count() === 0, `${c.what}: a hint where the counts agree: ${await page.locator('#view-files').textContent()}`);
    }
  }
  page.clean();
  console.log(`${cases.length} cases: the file list explains why Statistics count more`);
});
