// An account as a new user adds it: the first visit leads to the form, a
// wrong password is refused with the mail server's words, the right one
// connects; once added, it is read up to date; a changed password that
// is wrong shows the error on the account, a right one clears it; removing
// it empties the list.
'use strict';

const { startProgram, startPeers, launchBrowser, run, check, waitFor, openPage, screenshot } =
  require('../../support/browser');

run(async (keep) => {
  const peers = keep(await startPeers({ address: 'me@example.org', password: 'secret', count: 12 }));
  const program = keep(await startProgram({ summary: '', endpoints: peers.endpoints }));
  const browser = keep(await launchBrowser());
  const page = await openPage(browser, `${program.origin}/index.html`);
  page.on('dialog', (dialog) => dialog.accept());
  await page.waitForSelector('#view-accounts:not([hidden])');
  check(await page.textContent('.accounts') === 'No account yet. Add your mail account to begin.', 'no invitation to add one');

  await page.getByRole('button', { name: 'Add an account' }).click();
  const form = page.locator('form.account-form');
  const result = form.locator('.result');
  await form.getByLabel('Mail address').fill('me@example.org');
  const tests = [
    { password: 'wrong', says: /^The mail server refused the sign-in: .+/ },
    { password: 'secret', says: /^Connected: mail and contacts both answer\.$/ },
  ];
  for (const t of tests) {
    await form.getByLabel('Password', { exact: true }).fill(t.password);
    await form.getByRole('button', { name: 'Test connection' }).click();
    await waitFor(async () => t.says.test(await result.textContent()), 20000, async () => `${t.password}: ${t.says}, said ${await result.textContent()}`);
  }
  await form.getByLabel('All mail').check();
  await form.getByLabel('Save attachments').check();
  await form.getByRole('button', { name: 'Add account' }).click();
  const account = page.locator('.account', { hasText: 'me@example.org' });
  await account.waitFor();
  await waitFor(async () => await account.locator('.state').textContent() === 'Up to date', 30000,
    async () => `the account up to date: ${await account.locator('.state').textContent()}`);
  await screenshot(page, 'accounts');

  // A wrong password on the account shows the mail server's words there.
  const changes = [
    { password: 'nope', state: /^The mail server refused the sign-in: .+/ },
    { password: 'secret', state: /^Up to date$/ },
  ];
  for (const c of changes) {
    await page.getByRole('button', { name: 'Change me@example.org' }).click();
    await form.getByLabel('Change the password').check();
    await form.getByLabel('Password', { exact: true }).fill(c.password);
    await form.getByRole('button', { name: 'Save changes' }).click();
    // Saved, the form closes; the next change opens a form of its own.
    await form.waitFor({ state: 'detached', timeout: 60000 });
    await waitFor(async () => c.state.test(await account.locator('.state').textContent()), 30000,
      async () => `${c.password}: ${c.state}, shown ${await account.locator('.state').textContent()}`);
  }

  await page.getByRole('button', { name: 'Remove me@example.org' }).click();
  await waitFor(async () => await page.textContent('.accounts') === 'No account yet. Add your mail account to begin.', 10000,
    'the account removed');
  page.clean();
  console.log('an account added, tested, read up to date, changed and removed through the pages');
});
