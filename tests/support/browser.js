// Browser tests' harness: the program in a private HOME, loopback pages of
// other sites, and Debian's Chromium driven headless through playwright-core.
// Every test process starts its own of each and stops them in `close`.
'use strict';

const { execFileSync, spawn } = require('child_process');
const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');
const { chromium } = require('playwright-core');

const buildDir = process.env.PV_BUILD_DIR || path.resolve(__dirname, '../../build');
const chromiumPath = process.env.PV_CHROMIUM || '/usr/bin/chromium';

// Resolves when `check` holds, polling every 20 ms; rejects after `ms`
// (naming `what`, or what the function `what` tells then),
// and never before a minute: a wait for an event is no speed check, and a
// sanitizer build on a busy machine may take many times the usual.
const kLeastWaitMs = 60000;
async function waitFor(check, ms, what) {
  const end = Date.now() + Math.max(ms, kLeastWaitMs);
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out waiting for ${typeof what === 'function' ? await Promise.resolve().then(what).catch((e) => `(the page: ${e.message})`) : what}`);
    await new Promise((done) => setTimeout(done, 20));
  }
}

// `postvane` with a fresh HOME and no desktop; resolves once it printed the
// address it serves. options.summary: SQL run on a summary database with
// the program's schema before the start (its accounts load at start);
// options.account: [address, password] of an account added before the start;
// options.user: a numeric user id to run the program as; options.endpoints:
// [GENERAL] keys of the ini file (the mail and contacts services).
// Desktop programs are recording stubs: `desktop()` gives what they were
// asked, one "name [arg]..." a line (xclip adds " in[its input]").
async function startProgram(options = {}) {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'pvbrowser'));
  const env = { ...process.env, HOME: home };
  for (const name of ['DBUS_SESSION_BUS_ADDRESS', 'DISPLAY', 'WAYLAND_DISPLAY', 'XDG_RUNTIME_DIR',
    'XDG_CONFIG_HOME', 'XDG_STATE_HOME', 'XDG_DATA_HOME', 'XDG_CACHE_HOME', 'TMPDIR']) {
    delete env[name];
  }
  const stubs = path.join(home, 'stubs');
  const stubLog = path.join(home, 'desktop.log');
  fs.mkdirSync(stubs);
  for (const name of ['xdg-open', 'xclip', 'xdg-mime']) {
    fs.writeFileSync(path.join(stubs, name),
      `#!/bin/sh\nprintf '%s' "$(basename "$0")" >> "${stubLog}"\nfor a in "$@"; do printf ' [%s]' "$a" >> "${stubLog}"; done\n${
        name === 'xclip' ? `printf ' in[%s]' "$(cat)" >> "${stubLog}"\n` : ''}echo >> "${stubLog}"\nexit 0\n`,
      { mode: 0o755 });
  }
  env.PATH = `${stubs}:${env.PATH}`;
  const dataDir = path.join(home, '.config/Brantlow/Postvane');
  // The mail and contacts services are loopback peers, or a closed port:
  // a test never reaches beyond this machine.
  const endpoints = { Imap_Host: '127.0.0.1', Imap_Port: '1', Contacts_Login_Host: '127.0.0.1:1',
    Contacts_Feed_Host: '127.0.0.1:1', ...options.endpoints };
  fs.mkdirSync(dataDir, { recursive: true });
  fs.writeFileSync(path.join(dataDir, 'postvane.ini'),
    `[GENERAL]\n${Object.entries(endpoints).map(([key, value]) => `${key}=${value}`).join('\n')}\n`);
  if (options.summary !== undefined || options.account) {
    const file = execFileSync(path.join(buildDir, 'tests/summary_schema'), options.account || [], { env, encoding: 'utf8' }).trim();
    if (options.summary) execFileSync('sqlite3', [file], { input: options.summary, env });
  }
  // As another user of this machine: the browser then asks from another session.
  let program = [path.join(buildDir, 'bin/postvane')];
  if (options.user !== undefined) {
    execFileSync('chown', ['-R', `${options.user}:${options.user}`, home]);
    program = ['setpriv', `--reuid=${options.user}`, `--regid=${options.user}`, '--clear-groups', ...program];
  }
  const child = spawn(program[0], program.slice(1), { env, stdio: ['ignore', 'ignore', 'pipe'] });
  let errors = '';
  child.stderr.on('data', (chunk) => { errors += chunk; });
  const match = await waitFor(() => /open http:\/\/127\.0\.0\.1:(\d+)\/index\.html/.exec(errors), 30000,
    'the program\'s address');
  return {
    port: Number(match[1]),
    origin: `http://127.0.0.1:${match[1]}`,
    home,
    log: () => { try { return fs.readFileSync(path.join(dataDir, 'postvane.log'), 'utf8'); } catch (e) { return ''; } },
    desktop: () => { try { return fs.readFileSync(stubLog, 'utf8'); } catch (e) { return ''; } },
    async stop() {
      child.kill('SIGTERM');
      await new Promise((done) => (child.exitCode !== null ? done() : child.on('exit', done)));
      fs.rmSync(home, { recursive: true, force: true });
    },
  };
}

// The mail service (Dovecot behind the XLIST relay) with `count` messages
// for `address`, the contacts fake with Bob and Carol, and tinyproxy when
// `proxy`; `endpoints` points the program at them, `proxy` is a port and
// `proxyLog` tinyproxy's log file.
async function startPeers({ address, password, count, proxy = false }) {
  const args = [address, password, String(count)];
  if (proxy) args.push('--proxy');
  const child = spawn(path.join(buildDir, 'tests/browser_peers'), args, { stdio: ['pipe', 'pipe', 'pipe'] });
  let out = '';
  let errors = '';
  child.stdout.on('data', (chunk) => { out += chunk; });
  child.stderr.on('data', (chunk) => { errors += chunk; });
  const line = await waitFor(() => (child.exitCode !== null ? Promise.reject(new Error(`the peers did not start: ${errors}`))
    : /^\{.*\}\n/.exec(out)), 120000, 'the mail service');
  const ports = JSON.parse(line[0]);
  return {
    ...ports,
    // `n` more messages with attachments from Bob.
    async add(n) {
      const before = (out.match(/^added$/gm) || []).length;
      child.stdin.write(`add ${n}\n`);
      await waitFor(() => (out.match(/^added$/gm) || []).length > before, 30000, 'the messages added');
    },
    // The ini keys that point the program at them.
    endpoints: { Imap_Host: '127.0.0.1', Imap_Port: String(ports.imap), Contacts_Login_Host: ports.login,
      Contacts_Feed_Host: ports.feed },
    async stop() {
      child.stdin.end();
      await new Promise((done) => (child.exitCode !== null ? done() : child.on('exit', done)));
    },
  };
}

// An HTTP server of another site on a free loopback port, serving `pages`
// ({ '/name.html': html }).
async function startSite(pages) {
  const server = http.createServer((request, response) => {
    const page = pages[request.url];
    response.writeHead(page ? 200 : 404, { 'Content-Type': 'text/html' });
    response.end(page || '');
  });
  await new Promise((done) => server.listen(0, '127.0.0.1', done));
  return {
    origin: `http://127.0.0.1:${server.address().port}`,
    stop: () => new Promise((done) => server.close(done)),
  };
}

async function launchBrowser() {
  if (!fs.existsSync(chromiumPath)) throw new Error(`no browser at ${chromiumPath} (make deps installs it)`);
  return chromium.launch({
    executablePath: chromiumPath,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
}

// Runs `body` with the program, the browser and a cleanup that always runs;
// exits the process with 0 when body resolved, else 1 with the reason.
function run(body) {
  const held = [];
  const keep = (thing) => { held.push(thing); return thing; };
  body(keep).then(() => 0, (error) => { console.error(error && error.stack ? error.stack : error); return 1; })
    .then(async (code) => {
      for (const thing of held.reverse()) {
        try { await (thing.stop ? thing.stop() : thing.close()); } catch (e) { /* already gone */ }
      }
      process.exit(code);
    });
}

// SQL that fills a summary database as the indexer and the contact
// synchronisation would: accounts [{ id, email, indexed, added }] (added:
// already there, made by the start's account option), mails [{ id,
// account, address, subject, daysAgo, sent, unseen, thread, files: [{ name,
// type, size }] }] and contacts [{ id, account, name, addresses, mark, type,
// group, notes }]. Ids of files count up from 1 in the order given.
function summarySql({ accounts = [], mails = [], contacts = [] }) {
  const q = (text) => `'${String(text).replace(/'/g, "''")}'`;
  const now = Math.floor(Date.now() / 1000);
  const sql = [];
  for (const a of accounts.filter((account) => !account.added)) {
    const status = a.indexed === false ? 0 : 1;
    sql.push(`INSERT INTO account (id, email, password, download_since, download_all, mail_download_type)
      VALUES (${a.id}, ${q(a.email)}, 'x', 0, 1, 1);`,
    `INSERT INTO account_status (account_id, mail_updated_time) VALUES (${a.id}, ${now});`,
    `INSERT INTO module (id, account_id, total_msgs, processed_msgs, indexing_status)
      VALUES (3, ${a.id}, 10, ${status ? 10 : 4}, ${status}), (6, ${a.id}, 10, ${status ? 10 : 4}, ${status});`);
  }
  const addressIds = new Map();
  const addressOf = (account, address) => {
    const key = `${account} ${address}`;
    if (!addressIds.has(key)) {
      addressIds.set(key, addressIds.size + 1);
      sql.push(`INSERT INTO email_address (id, account_id, address) VALUES (${addressIds.get(key)}, ${account}, ${q(address)});`);
    }
    return addressIds.get(key);
  };
  const totals = new Map();
  let fileId = 0;
  for (const m of mails) {
    const account = m.account || 1;
    const address = addressOf(account, m.address);
    const module = m.sent ? 2 : 1;
    const received = now - Math.round((m.daysAgo || 0) * 86400);
    sql.push(`INSERT INTO mail (id, uid, message_id, account_id, module_id, received_date, subject, unseen)
      VALUES (${m.id}, ${m.id}, '<m${m.id}@test>', ${account}, ${module}, ${received}, ${q(m.subject)}, ${m.unseen ? 1 : 0});`,
    `INSERT INTO mail_email_link (mail_id, email_address_id) VALUES (${m.id}, ${address});`,
    `INSERT INTO reference_master (mail_id, parent_message_id) VALUES (${m.id}, ${q(m.thread || `<m${m.id}@test>`)});`);
    const t = totals.get(address) || { sent: 0, received: 0, sentIds: [], receivedIds: [] };
    if (m.sent) { t.sent += 1; t.sentIds.push(m.id); } else { t.received += 1; t.receivedIds.push(m.id); }
    totals.set(address, t);
    const owner = accounts.find((a) => a.id === account);
    for (const f of m.files || []) {
      fileId += 1;
      const folder = `${owner ? owner.email : 'account'}/${m.sent ? 'sent' : `recv/${m.address}`}/attachments`;
      sql.push(`INSERT INTO file (id, mail_id, file_path, file_name, file_type, size, is_folder, is_inline)
        VALUES (${fileId}, ${m.id}, ${q(`${folder}/${f.name}`)}, ${q(f.name)}, ${q(f.type)}, ${f.size || 1000}, 0, 0);`,
      `INSERT INTO fts_file (rowid, [from], [to], subject, filename, type)
        VALUES (${fileId}, ${q(m.sent ? owner.email : m.address)}, ${q(m.sent ? m.address : owner.email)}, ${q(m.subject)}, ${q(f.name)}, ${q(f.type)});`);
    }
  }
  for (const [address, t] of totals) {
    const first = (ids) => (ids.length ? ids[ids.length - 1] : 0);
    const last = (ids) => (ids.length ? ids[0] : 0);
    sql.push(`INSERT INTO analytics_email (email_address_id, total_sent, total_received, recv_first_mail_id,
      recv_last_mail_id, sent_first_mail_id, sent_last_mail_id) VALUES (${address}, ${t.sent}, ${t.received},
      ${first(t.receivedIds)}, ${last(t.receivedIds)}, ${first(t.sentIds)}, ${last(t.sentIds)});`);
  }
  const groups = new Map();
  for (const c of contacts) {
    const account = c.account || 1;
    sql.push(`INSERT INTO contact (id, name, account_id, mark, type, notes)
      VALUES (${c.id}, ${q(c.name)}, ${account}, ${c.mark ? 1 : 0}, ${c.type === undefined ? 1 : c.type}, ${q(c.notes || '')});`,
    `INSERT INTO fts_contact (rowid, name, email, phone, tag, notes, [is], type)
      VALUES (${c.id}, ${q(c.name)}, ${q(c.addresses.join(' '))}, '', '', ${q(c.notes || '')}, ${q(c.mark ? 'STARRED' : '')}, 'GOOGLE');`);
    for (const address of c.addresses) {
      sql.push(`INSERT INTO contact_email_link (contact_id, email_address_id) VALUES (${c.id}, ${addressOf(account, address)});`);
    }
    if (c.group) {
      if (!groups.has(c.group)) {
        groups.set(c.group, groups.size + 1);
        sql.push(`INSERT INTO [group] (id, name, uid, account_id) VALUES (${groups.get(c.group)}, ${q(c.group)}, ${q(`g${groups.size}`)}, ${account});`);
      }
      sql.push(`INSERT INTO contact_group_link (contact_id, group_id) VALUES (${c.id}, ${groups.get(c.group)});`);
    }
  }
  return sql.join('\n');
}

function check(condition, message) {
  if (!condition) throw new Error(message);
}

// A page of the program that fails the test on any console error, uncaught
// error or failed request of its own. options: { width, height, zoom,
// init: [function, argument] run in the page before its own scripts }.
// `clean()` throws what went wrong so far; `expectFailure(pattern)` lets
// requests whose address matches fail (a test that provokes them).
async function openPage(browser, address, options = {}) {
  const zoom = options.zoom || 1;
  const context = await browser.newContext({
    viewport: { width: Math.round((options.width || 1280) / zoom), height: Math.round((options.height || 860) / zoom) },
    deviceScaleFactor: zoom,
  });
  // The harness's own waits and Playwright's alike: at least a minute.
  context.setDefaultTimeout(kLeastWaitMs);
  const page = await context.newPage();
  const problems = [];
  const allowed = [];
  const origin = new URL(address).origin;
  const ours = (url) => url.startsWith(origin) && !allowed.some((pattern) => pattern.test(url));
  page.on('console', (message) => {
    if (message.type() === 'error') problems.push(`console: ${message.text()}`);
  });
  page.on('pageerror', (error) => problems.push(`error: ${error.message}`));
  page.on('requestfailed', (request) => {
    // A page that goes away cancels what it still had running.
    if (ours(request.url()) && !/ERR_ABORTED/.test(request.failure().errorText)) {
      problems.push(`failed: ${request.url()} ${request.failure().errorText}`);
    }
  });
  page.on('response', (response) => {
    if (ours(response.url()) && response.status() >= 400) problems.push(`${response.status()}: ${response.url()}`);
  });
  if (options.init) await page.addInitScript(...options.init);
  await page.goto(address);
  page.clean = () => {
    if (problems.length) throw new Error(`the page had problems:\n${problems.join('\n')}`);
  };
  page.expectFailure = (pattern) => allowed.push(pattern);
  page.close = () => context.close();
  return page;
}

// Saves a picture of the page under the build folder (not the sources).
async function screenshot(page, name) {
  const folder = path.join(buildDir, 'browser-screenshots');
  fs.mkdirSync(folder, { recursive: true });
  const file = path.join(folder, `${name}.png`);
  await page.screenshot({ path: file, fullPage: true });
  return file;
}

module.exports = {
  startProgram, startSite, launchBrowser, run, check, waitFor, openPage, screenshot, summarySql, startPeers, buildDir,
};
