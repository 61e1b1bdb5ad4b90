// The proxy as a user sets it: after the account was read directly, the
// settings page switches it to tinyproxy, and the mail that arrives next is
// read through the proxy, its files found by a word of their names.
'use strict';

const fs = require('fs');
const { startProgram, startPeers, launchBrowser, run, check, waitFor, openPage } =
  require('../../support/browser');

run(async (keep) => {
  const peers = keep(await startPeers({ address: 'me@example.org', password: 'secret', count: 6, proxy: true }));
  const program = keep(await startProgram({ account: ['me@example.org', 'secret'], endpoints: peers.endpoints }));
  const browser = keep(await launchBrowser());
  const files = await openPage(browser, `${program.origin}/index.html#files`);
  const count = () => files.textContent('#view-files .count');
  await waitFor(async () => await count() === '3 files', 30000, async () => `the first files read directly, shown ${await count()}`);
  const proxyLog = () => { try { return fs.readFileSync(peers.proxyLog, 'utf8'); } catch (e) { return ''; } };
  check(!proxyLog().includes(`:${peers.imap}`), 'the mail went through the proxy before it was set');

  const settings = await openPage(browser, `${program.origin}/preferences.html`);
  const proxy = settings.locator('form', { has: settings.locator('h2:text-is("Proxy")') });
  await proxy.getByLabel('HTTP proxy').check();
  await proxy.getByLabel('Proxy host').fill('127.0.0.1');
  await proxy.getByLabel('Proxy port').fill(String(peers.proxy));
  await peers.add(4);
  await proxy.getByRole('button', { name: 'Save proxy' }).click();
  await waitFor(async () => await proxy.locator('.result').textContent() === 'Saved. Postvane reconnects through the new proxy.',
    5000, 'the proxy saved');
  await settings.reload();
  await settings.getByLabel('Proxy port').waitFor();
  check(await settings.getByLabel('Proxy port').inputValue() === String(peers.proxy), 'the proxy port was not kept');
  check(await settings.getByLabel('HTTP proxy').isChecked(), 'the proxy kind was not kept');

  // The new mail shows up by itself, read through tinyproxy.
  await waitFor(async () => await count() === '7 files', 30000, async () => `the new files, shown ${await count()}`);
  check(proxyLog().includes(`:${peers.imap}`), `tinyproxy did not carry the mail:\n${proxyLog()}`);
  // A file of the new mail is found by a word of its name.
  await files.getByLabel('Search files').fill('file9');
  await files.getByLabel('Search files').press('Enter');
  await waitFor(async () => (await files.$$eval('.file .name', (n) => n.map((x) => x.textContent))).join() === 'file9.bin',
    10000, 'file9.bin found by its name');
  files.clean();
  settings.clean();
  console.log('the mail after the proxy change was read through tinyproxy');
});
