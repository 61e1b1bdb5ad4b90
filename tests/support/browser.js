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

// Resolves when `check` holds, polling every 20 ms; rejects after `ms`.
async function waitFor(check, ms, what) {
  const end = Date.now() + ms;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise((done) => setTimeout(done, 20));
  }
}

// `postvane` with a fresh HOME and no desktop; resolves once it printed the
// address it serves. options.summary: SQL run on a summary database with
// the program's schema before the start (its accounts load at start).
// Desktop programs are recording stubs: `desktop()` gives what they were
// asked, one "name [arg]..." a line.
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
      `#!/bin/sh\nprintf '%s' "$(basename "$0")" >> "${stubLog}"\nfor a in "$@"; do printf ' [%s]' "$a" >> "${stubLog}"; done\necho >> "${stubLog}"\nexit 0\n`,
      { mode: 0o755 });
  }
  env.PATH = `${stubs}:${env.PATH}`;
  const dataDir = path.join(home, '.config/Brantlow/Postvane');
  if (options.summary !== undefined) {
    const file = execFileSync(path.join(buildDir, 'tests/summary_schema'), [], { env, encoding: 'utf8' }).trim();
    execFileSync('sqlite3', [file], { input: options.summary, env });
  }
  const child = spawn(path.join(buildDir, 'bin/postvane'), [], { env, stdio: ['ignore', 'ignore', 'pipe'] });
  let errors = '';
  child.stderr.on('data', (chunk) => { errors += chunk; });
  const match = await waitFor(() => /open http:\/\/127\.0\.0\.1:(\d+)\/index\.html/.exec(errors), 10000,
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

function check(condition, message) {
  if (!condition) throw new Error(message);
}

// A page of the program that fails the test on any console error, uncaught
// error or failed request of its own. options: { width, height, zoom }.
// `clean()` throws what went wrong so far; `expectFailure(pattern)` lets
// requests whose address matches fail (a test that provokes them).
async function openPage(browser, address, options = {}) {
  const zoom = options.zoom || 1;
  const context = await browser.newContext({
    viewport: { width: Math.round((options.width || 1280) / zoom), height: Math.round((options.height || 860) / zoom) },
    deviceScaleFactor: zoom,
  });
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
  startProgram, startSite, launchBrowser, run, check, waitFor, openPage, screenshot, buildDir,
};
