// What the pages tell a user when a mail connection fails, and while they
// work: the three kinds of failure each in its own words with the host and
// port, the server's reply or the break, and the library's text as detail;
// the top line naming the account; the banner of a program that did not
// answer gone once it answers; one progress figure in counts of mails.
'use strict';

const { execFileSync } = require('child_process');
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');
const tls = require('tls');
const { startProgram, startPeers, launchBrowser, run, check, waitFor, openPage, summarySql } =
  require('../../support/browser');

// A loopback port nothing listens on.
async function closedPort() {
  const server = net.createServer();
  await new Promise((done) => server.listen(0, '127.0.0.1', done));
  const { port } = server.address();
  await new Promise((done) => server.close(done));
  return port;
}

// A TLS server that takes the connection and closes it before the mail
// server's greeting: the connection breaks under the mail library.
async function breakingServer() {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'pvbreak'));
  execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-subj', '/CN=127.0.0.1', '-days', '1',
    '-keyout', path.join(folder, 'key.pem'), '-out', path.join(folder, 'cert.pem')], { stdio: 'ignore' });
  const server = tls.createServer({
    key: fs.readFileSync(path.join(folder, 'key.pem')), cert: fs.readFileSync(path.join(folder, 'cert.pem')),
  }, (socket) => socket.destroy());
  server.on('tlsClientError', () => {});
  await new Promise((done) => server.listen(0, '127.0.0.1', done));
  return {
    port: server.address().port,
    stop: () => new Promise((done) => { server.close(done); fs.rmSync(folder, { recursive: true, force: true }); }),
  };
}

// The account's state line once it reports `pattern`.
async function stateOf(page, pattern, what) {
  return waitFor(async () => {
    const text = await page.locator('.account .state').first().textContent({ timeout: 5000 }).catch(() => '');
    return pattern.test(text) ? text : '';
  }, 60000, async () => `${what}; the accounts showed: ${await page.locator('#view-accounts').textContent().catch(() => '')}`);
}

// The outcome of Test connection in the add form for `address` and `password`.
async function tested(page, address, password) {
  await page.goto(page.url().replace(/#.*/, '#accounts/add'));
  await page.getByLabel('Mail address').fill(address);
  await page.getByLabel('Password', { exact: true }).fill(password);
  await page.getByRole('button', { name: 'Test connection' }).click();
  return waitFor(async () => {
    const text = await page.locator('.account-form .result').textContent();
    return text && text !== 'Testing…' ? text : '';
  }, 60000, 'the outcome of Test connection');
}

run(async (keep) => {
  const browser = keep(await launchBrowser());
  const peers = keep(await startPeers({ address: 'me@example.org', password: 'secret', count: 0 }));
  const broken = keep(await breakingServer());
  const port = await closedPort();

  // The three kinds, each where the user meets it: the account's line, the
  // top line, and Test connection.
  const kinds = [
    {
      kind: 'could not reach', endpoints: { Imap_Host: '127.0.0.1', Imap_Port: String(port) }, password: 'secret',
      says: new RegExp(`^Could not reach the mail server at 127\\.0\\.0\\.1:${port}\\..*postvane\\.ini`),
      detail: new RegExp(`Can't connect to 127\\.0\\.0\\.1,${port}`),
    },
    {
      kind: 'refused the sign-in', endpoints: peers.endpoints, password: 'wrong',
      says: /^The mail server refused the sign-in: Authentication failed\. /, detail: /AUTHENTICATIONFAILED/,
    },
    {
      kind: 'the connection broke', endpoints: { Imap_Host: '127.0.0.1', Imap_Port: String(broken.port) }, password: 'secret',
      says: /^The connection to the mail server broke\./, detail: /./,
    },
  ];
  const seen = [];
  for (const k of kinds) {
    const program = await startProgram({ account: ['me@example.org', k.password], endpoints: k.endpoints });
    try {
      const page = await openPage(browser, `${program.origin}/index.html#accounts`);
      const state = await stateOf(page, k.says, `${k.kind} in the account's line`);
      check(k.detail.test(state), `${k.kind}: the library's text is missing from "${state}"`);
      seen.push(`${k.kind}: ${state}`);
      await waitFor(async () => /^me@example\.org: /.test(await page.locator('#status .state').textContent()),
        10000, async () => `${k.kind}: the top line naming the account: ${await page.locator('#status').textContent()}`);
      const outcome = await tested(page, 'me@example.org', k.password);
      check(k.says.test(outcome) && k.detail.test(outcome), `${k.kind}: Test connection said "${outcome}"`);
      page.clean();
      await page.close();
    } finally {
      await program.stop();
    }
  }

  // Reading: one figure in counts of mails, the same in the status line and
  // the account's line, and no percentage beside it.
  const reading = keep(await startProgram({
    summary: summarySql({ accounts: [{ id: 1, email: 'me@example.org', indexed: false }] }),
  }));
  const page = await openPage(browser, `${reading.origin}/index.html#accounts`);
  await waitFor(async () => /Reading mail: 4 of 10 mails/.test(await page.locator('#status').textContent()),
    10000, async () => `the status line's figure: ${await page.locator('#status').textContent()}`);
  await waitFor(async () => /Reading mail: 4 of 10 mails/.test(await page.locator('.account').first().textContent()),
    10000, async () => `the account's figure: ${await page.locator('.account').first().textContent()}`);
  const percent = await page.evaluate(() => document.body.innerText.match(/.{0,30}\d+ ?%.{0,10}/g));
  check(!percent, `a percentage is shown beside the counts: ${percent}`);

  // The program stops answering, then answers again: the status line says
  // so and offers nothing that cannot work; the banner goes with it.
  page.expectFailure(/./);
  await page.route(/_object=/, (route) => route.abort());
  await page.route((url) => url.pathname === '/' && url.search === '', (route) => route.abort());
  await page.getByRole('link', { name: 'Files' }).click();
  await waitFor(async () => /does not answer/.test(await page.locator('#status .state').textContent()),
    10000, 'the status line telling that the program does not answer');
  await waitFor(async () => !(await page.locator('#alert').isHidden()), 10000, 'the banner of the failed list');
  // The banner stands within the content column, not wider.
  const [banner, column] = await page.evaluate(() => [document.getElementById('alert'),
    document.querySelector('#main > section:not([hidden])')].map((e) => [e.getBoundingClientRect().left, e.getBoundingClientRect().right]));
  check(banner[0] >= column[0] - 1 && banner[1] <= column[1] + 1, `the banner spans ${banner}, the column ${column}`);
  const offered = await page.locator('#status button:visible').allTextContents();
  check(offered.length === 0, `while the program does not answer the status line offers ${offered.join(', ')}`);
  await page.unrouteAll();
  await waitFor(async () => !/does not answer/.test(await page.locator('#status .state').textContent()),
    15000, 'the status line once the program answers');
  await waitFor(() => page.locator('#alert').isHidden(), 10000,
    async () => `the banner gone once the program answers: ${await page.locator('#alert').textContent()}`);
  await page.close();
  console.log(`${kinds.length} kinds of connection failure told apart; one progress figure; a stale banner cleared\n${seen.join('\n')}`);
});
