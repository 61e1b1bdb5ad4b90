// The settings as a user changes them: what the lists show survives a new
// visit, a value out of range is refused with a reason, the side-bar
// passcode changes only with the current one, and a locked side bar opens
// only with it.
'use strict';

const { startProgram, launchBrowser, run, check, waitFor, openPage, screenshot, summarySql } =
  require('../../support/browser');

run(async (keep) => {
  const program = keep(await startProgram({ summary: summarySql({ accounts: [{ id: 1, email: 'me@example.org' }] }) }));
  const browser = keep(await launchBrowser());
  const page = await openPage(browser, `${program.origin}/preferences.html?t=12`);
  const form = (title) => page.locator('form', { has: page.locator(`h2:text-is("${title}")`) });
  const shows = form('What Postvane shows');
  await shows.waitFor();

  // What the lists show, through a new visit; a wrong number changes nothing.
  const changes = [
    { label: 'Files per page', value: '0', says: 'Files per page must be a whole number from 1 to 200.' },
    { label: 'Files per page', value: '25', says: 'Saved.' },
    { label: 'Contacts per page', value: '7', says: 'Saved.' },
  ];
  for (const c of changes) {
    await shows.getByLabel(c.label).fill(c.value);
    await shows.getByRole('button', { name: 'Save' }).click();
    await waitFor(async () => await shows.locator('.result').textContent() === c.says, 5000, `${c.label} ${c.value}: ${c.says}`);
  }
  await shows.getByLabel('Show pictures that were inside mails').check();
  await shows.getByLabel('Show the mail of').selectOption({ label: 'me@example.org' });
  await shows.getByRole('button', { name: 'Save' }).click();
  await waitFor(async () => await shows.locator('.result').textContent() === 'Saved.', 5000, 'the second save');
  await page.reload();
  await shows.waitFor();
  check(await shows.getByLabel('Files per page').inputValue() === '25', 'files per page was not kept');
  check(await shows.getByLabel('Contacts per page').inputValue() === '7', 'contacts per page was not kept');
  check(await shows.getByLabel('Show pictures that were inside mails').isChecked(), 'the pictures choice was not kept');
  check(await shows.getByLabel('Show the mail of').inputValue() === '1', 'the account in view was not kept');

  // The passcode: only with the current one, and the new one twice alike.
  const passcode = form('Side bar passcode');
  const steps = [
    { current: '', next: 'one', again: 'two', says: 'The two new passcodes differ.' },
    { current: '', next: 'Secret 1', again: 'Secret 1', says: 'The passcode was changed.' },
    { current: 'secret 1', next: 'x', again: 'x', says: 'The current passcode is not right.' },
    { current: 'Secret 1', next: 'Secret 2', again: 'Secret 2', says: 'The passcode was changed.' },
  ];
  for (const s of steps) {
    await passcode.getByLabel('Current passcode').fill(s.current);
    await passcode.getByLabel('New passcode', { exact: true }).fill(s.next);
    await passcode.getByLabel('New passcode again').fill(s.again);
    await passcode.getByRole('button', { name: 'Change passcode' }).click();
    await waitFor(async () => await passcode.locator('.result').first().textContent() === s.says, 5000,
      async () => `${JSON.stringify(s)}: got ${await passcode.locator('.result').first().textContent()}`);
  }
  await passcode.getByLabel('Lock the side bar with the passcode').check();
  await waitFor(async () => await passcode.locator('.result').last().textContent() === 'The side bar asks for the passcode.',
    5000, 'the lock saved');
  await screenshot(page, 'settings');
  page.clean();

  // The locked side bar opens with the passcode alone.
  const bar = await openPage(browser, `${program.origin}/extension.html`, { width: 300 });
  await bar.getByLabel('Passcode').waitFor();
  check(await bar.isHidden('#content'), 'the locked side bar shows its content');
  for (const [given, opens] of [['Secret 1', false], ['secret 2', false], ['Secret 2', true]]) {
    await bar.getByLabel('Passcode').fill(given);
    await bar.getByLabel('Passcode').press('Enter');
    if (opens) {
      await bar.getByLabel('Correspondent').waitFor();
    } else {
      await waitFor(async () => await bar.textContent('#lock .result') === 'This is not the passcode.', 5000, `${given} refused`);
      await bar.evaluate(() => { document.querySelector('#lock .result').textContent = ''; });
    }
  }
  bar.clean();
  console.log('settings kept, a wrong number refused, the passcode changed only with the current one, the lock held');
});
