// Browser tests' harness: the program in a private HOME, loopback pages of
// other sites, and Debian's Chromium driven headless through playwright-core.
// Every test process starts its own of each and stops them in `close`.
'use strict';

const { spawn } = require('child_process');
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
// address it serves.
async function startProgram() {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'pvbrowser'));
  const env = { ...process.env, HOME: home };
  for (const name of ['DBUS_SESSION_BUS_ADDRESS', 'DISPLAY', 'WAYLAND_DISPLAY', 'XDG_RUNTIME_DIR',
    'XDG_CONFIG_HOME', 'XDG_STATE_HOME', 'XDG_DATA_HOME', 'XDG_CACHE_HOME', 'TMPDIR']) {
    delete env[name];
  }
  // The first-run page would be opened with xdg-open: a stub that does nothing.
  const stubs = path.join(home, 'stubs');
  fs.mkdirSync(stubs);
  fs.writeFileSync(path.join(stubs, 'xdg-open'), '#!/bin/sh\nexit 0\n', { mode: 0o755 });
  env.PATH = `${stubs}:${env.PATH}`;
  const child = spawn(path.join(buildDir, 'bin/postvane'), [], { env, stdio: ['ignore', 'ignore', 'pipe'] });
  let errors = '';
  child.stderr.on('data', (chunk) => { errors += chunk; });
  const match = await waitFor(() => /open http:\/\/127\.0\.0\.1:(\d+)\/index\.html/.exec(errors), 10000,
    'the program\'s address');
  const dataDir = path.join(home, '.config/Brantlow/Postvane');
  return {
    port: Number(match[1]),
    origin: `http://127.0.0.1:${match[1]}`,
    log: () => { try { return fs.readFileSync(path.join(dataDir, 'postvane.log'), 'utf8'); } catch (e) { return ''; } },
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

module.exports = { startProgram, startSite, launchBrowser, run, check, waitFor };
