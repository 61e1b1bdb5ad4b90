// A contact's notes and tags as a user saves them: "Saved." stays in the
// details drawn anew after the save, and the tags are still there after the
// next synchronisation with the contacts service. Search runs as the user
// types, with the count above the list.
'use strict';

const { startProgram, startPeers, launchBrowser, run, check, waitFor, openPage } =
  require('../../support/browser');

run(async (keep) => {
  const peers = keep(await startPeers({ address: 'me@example.org', password: 'secret', count: 4 }));
  const program = keep(await startProgram({ account: ['me@example.org', 'secret'], endpoints: peers.endpoints }));
  const browser = keep(await launchBrowser());
  const page = await openPage(browser, `${program.origin}/index.html#contacts`);
  const bob = page.getByRole('button', { name: /^Bob/ }).first();
  await waitFor(async () => { await page.reload(); return bob.isVisible(); }, 60000, 'Bob from the contacts service');

  // Search as the user types: no Enter, the list and its count follow.
  await page.getByLabel('Search contacts').pressSequentially('carol');
  await waitFor(async () => /Carol/.test(await page.locator('.details').textContent()), 10000,
    async () => `Carol found while typing: ${await page.locator('#view-contacts').textContent()}`);
  await page.getByLabel('Search contacts').fill('');
  await waitFor(async () => /^\d+ contacts$/.test(await page.locator('#view-contacts .count').first().textContent()), 10000,
    async () => `the count above the whole list: ${await page.locator('#view-contacts .count').first().textContent()}`);

  await bob.click();
  const details = page.locator('.details article');
  await details.getByLabel('Tags').waitFor();
  await details.evaluate((article) => { article.dataset.before = '1'; });
  await details.getByLabel('Notes').fill('Met at the fair');
  await details.getByLabel('Tags').fill('fair supplier');
  await details.getByRole('button', { name: 'Save notes and tags' }).click();
  // The details are drawn anew with what the program now holds.
  await page.waitForSelector('.details article:not([data-before])', { timeout: 60000 });
  await waitFor(async () => (await page.locator('.details .edit [role=status]').textContent()) === 'Saved.', 10000,
    async () => `"Saved." after the details were drawn anew: ${await page.locator('.details .edit').textContent()}`);

  // The next synchronisation reads the entry back from the service.
  const tagsShown = async () => page.locator('.details .facts').textContent().catch(() => '');
  await page.goto(`${program.origin}/index.html#accounts`);
  await page.getByRole('button', { name: 'Read contacts now for me@example.org' }).click();
  await waitFor(async () => /The contacts were read again/.test(await page.locator('#alert').textContent()), 60000,
    async () => `the contacts read again: ${await page.locator('#alert').textContent()}`);
  await page.goto(`${program.origin}/index.html#contacts`);
  await bob.click();
  await waitFor(async () => /fair supplier/.test(await tagsShown()), 10000,
    async () => `the tags after the next synchronisation: ${await tagsShown()}`);
  page.clean();
  console.log('notes and tags saved, "Saved." kept, the tags kept through the next synchronisation; search as typed');
});
