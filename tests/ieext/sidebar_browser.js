// In a real browser: the side bar's own pages with a window.external of the
// test's, the page script in a web-mail page built from what it reads, and
// the program's extension page receiving addresses as the side-bar library
// escapes them (the library runs in the stand-in browser, iehost).
'use strict';

const { execFileSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { startProgram, startSite, launchBrowser, run, check } = require('../support/browser');

const buildDir = process.env.PV_BUILD_DIR || path.resolve(__dirname, '../../build');
const res = path.resolve(__dirname, '../../src/ieext/res');
const read = (name) => fs.readFileSync(path.join(res, name), 'utf8');

// A window.external that records its calls and whether it got the page's window.
const recordingExternal = () => {
  window.externalCalls = [];
  const record = (name) => (w) => window.externalCalls.push(`${name}:${w === window}`);
  Object.defineProperty(window, 'external', {
    value: { LoadPostvane: record('LoadPostvane'), Retry: record('Retry') },
    configurable: true,
  });
};

async function barPages(browser, site) {
  const page = await browser.newPage();
  await page.addInitScript(recordingExternal);
  await page.goto(`${site.origin}/start.html`);
  check(await page.textContent('#pvMsg') === 'Loading...', 'the start page does not say Loading...');
  check(JSON.stringify(await page.evaluate(() => window.externalCalls)) === '["LoadPostvane:true"]',
    'the start page did not hand its window to LoadPostvane once');

  // The page's clock stands still from here on and moves only as the test
  // runs it, however slowly the machine goes.
  const t0 = new Date('2026-01-01T00:00:00Z').getTime();
  await page.clock.install({ time: t0 });
  await page.clock.pauseAt(t0 + 3600 * 1000);
  await page.goto(`${site.origin}/notrunning.html`);
  check((await page.textContent('body')).includes('This extension needs Postvane to be running'),
    'the waiting page lacks its message');
  const calls = () => page.evaluate(() => window.externalCalls.length);
  await page.clock.runFor(29000);
  check(await calls() === 0, 'Retry ran before 30 s');
  await page.clock.runFor(1000);
  check(await calls() === 1, 'Retry did not run after 30 s');
  // The link retries at once and starts the 30 s anew: one timer, never two.
  await page.clock.runFor(10000);
  await page.click('text=try again');
  check(await calls() === 2, 'the link did not retry at once');
  await page.clock.runFor(29000);
  check(await calls() === 2, 'a second timer ran');
  await page.clock.runFor(1000);
  check(await calls() === 3, 'the timer was not set again');
  check(JSON.stringify(await page.evaluate(() => window.externalCalls)).split('Retry:true').length === 4,
    'Retry did not get the page window');
  // Without window.external the page keeps retrying rather than stopping.
  const bare = await browser.newPage();
  await bare.clock.install();
  await bare.goto(`${site.origin}/notrunning.html`);
  await bare.click('text=try again');
  check(await bare.evaluate(() => pvRetryTimer !== null), 'a failing Retry stopped the timer');
  await page.close();
  await bare.close();
}

// Web-mail pages as the script reads them.
const frameOf = (h3Email, cells, messages = true) => `<!DOCTYPE html><html><head></head><body>
  <div id="guser"><nobr><b>me@example.com</b> | Settings</nobr></div>
  <table><tr>
    <td><h3 class="hP"><span class="x">Subject</span><span email="${h3Email}">Someone</span></h3></td>
    ${cells}
    ${messages ? `<td>
      <div class="kQ hn "><span>collapsed</span></div>
      <div class="FL1GFc"><span class="gD" email="bob@example.com"><i id="sender">Bob</i></span></div>
      <div class="FL1GFc"><span class="gD" email="me@example.com"><i id="self">me</i></span></div>
      <div class="HprMsc"><h3 class="gD"><span class="x" email="no@example.com">x</span>
        <span email="carol@example.com"><i id="details">Carol</i></span></h3></div>
      <p id="outside">nothing around</p>
    </td>` : ''}
  </tr></table></body></html>`;
const top = (frame) => `<!DOCTYPE html><html><head><title>Mail</title></head><body>
  ${frame ? `<iframe name="canvas_frame" src="${frame}"></iframe>` : ''}</body></html>`;

async function pageScript(browser, site) {
  const script = read('pagescript.js');
  const page = await browser.newPage();
  const errors = [];
  page.on('pageerror', (error) => errors.push(String(error)));
  const open = async (name) => {
    await page.goto(`${site.origin}/${name}`);
    await page.addScriptTag({ content: script });
    const frame = page.frames().find((f) => f.name() === 'canvas_frame');
    if (frame) {
      // The old browser fires onpropertychange when the body's property is
      // set; here the fixture counts the sets.
      await frame.evaluate(() => {
        window.changes = 0;
        Object.defineProperty(document.body, 'postvanesearchstring', {
          set(value) { window.changes += 1; window.lastValue = value; }, configurable: true,
        });
      }).catch(() => {});
    }
    return frame;
  };
  const ask = () => page.evaluate(() => PostvaneGetActiveEmail());
  const chosen = () => page.evaluate(() => PostvaneGetActiveContextEmail());
  const down = (frame, id) => frame.evaluate((which) => document.getElementById(which)
    .dispatchEvent(new MouseEvent('mousedown', { bubbles: true, cancelable: true })), id);
  const changes = (frame) => frame.evaluate(() => window.changes);

  let frame = await open('conversation.html');
  check(await chosen() === undefined, 'an address was chosen before any');
  check(await ask() === '"bob@example.com"', 'the conversation\'s address was not found in quotes');
  check(await chosen() === '"bob@example.com"', 'the found address was not kept');
  // Another conversation in the same frame: the handlers go on again, once.
  await frame.evaluate(() => document.querySelector('div.FL1GFc span.gD').setAttribute('email', 'eve@example.com'));
  await frame.evaluate(() => document.querySelector('h3 [email]').setAttribute('email', 'zed@example.com'));
  check(await ask() === '"zed@example.com"', 'a new conversation was not seen');
  await ask();
  await down(frame, 'sender');
  check(await changes(frame) === 1, `one click on a sender signalled ${await changes(frame)} changes`);
  check(await chosen() === 'eve@example.com', 'a clicked sender was not chosen without quotes');
  check(typeof await frame.evaluate(() => window.lastValue) === 'number', 'the signal is not a time');
  await down(frame, 'self');
  check(await changes(frame) === 1 && await chosen() === 'eve@example.com', 'clicking oneself changed the choice');
  await down(frame, 'details');
  check(await changes(frame) === 2 && await chosen() === 'carol@example.com', 'the details\' address was not chosen');
  await down(frame, 'details');
  check(await changes(frame) === 2, 'the same address signalled twice');
  await down(frame, 'outside');
  check(await changes(frame) === 2, 'a click outside the messages signalled');
  // The collapsed messages' mouseup puts the handlers on again, still once each.
  await frame.evaluate(() => document.querySelector('[class="kQ hn "] span')
    .dispatchEvent(new MouseEvent('mouseup', { bubbles: true })));
  await down(frame, 'sender');
  check(await changes(frame) === 3, 'handlers doubled after mouseup');

  await open('self.html');
  check(await ask() === '"dave@example.com"', 'a conversation with oneself did not give the other address');
  await open('alone.html');
  check(await ask() === '', 'a conversation with oneself alone gave an address');
  await open('noframe.html');
  check(await ask() === '', 'a page without the web-mail frame gave an address');
  await open('noconversation.html');
  check(await ask() === '', 'a frame without a conversation gave an address');

  // Handlers that cannot be put on: the address is still found, and again.
  frame = await open('conversation.html');
  await frame.evaluate(() => { HTMLDivElement.prototype.addEventListener = () => { throw new Error('refused'); }; });
  check(await ask() === '"bob@example.com"', 'a refused handler broke the address request');
  await frame.evaluate(() => document.querySelector('h3 [email]').setAttribute('email', 'zed@example.com'));
  check(await ask() === '"zed@example.com"', 'a refused handler broke a later address request');

  // Broken pages: the answers are empty and nothing is thrown.
  frame = await open('conversation.html');
  await frame.evaluate(() => { document.getElementsByTagName = () => { throw new Error('broken'); }; });
  check(await ask() === '', 'a throwing frame gave an address');
  await page.goto(`${site.origin}/foreign.html`);
  await page.addScriptTag({ content: script });
  check(await ask() === '', 'a frame of another site gave an address');
  check(await chosen() === undefined, 'a frame of another site chose an address');
  await page.evaluate(() => { window.pvContextPicker = null; });
  check(await ask() === '' && await chosen() === undefined, 'a broken picker threw');
  // Put in twice: one picker, one set of global functions.
  await open('conversation.html');
  await page.addScriptTag({ content: script });
  check(await ask() === '"bob@example.com"', 'a second copy broke the script');
  check(errors.length === 0, `page errors: ${errors.join('; ')}`);
  await page.close();
}

// The library's script calls for addresses, from the stand-in browser.
function libraryScripts(addresses) {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'pvbar'));
  const env = { ...process.env, HOME: home, PV_REGISTRY_DIR: path.join(home, 'registry') };
  for (const name of ['XDG_CONFIG_HOME', 'XDG_STATE_HOME', 'XDG_DATA_HOME', 'XDG_CACHE_HOME', 'TMPDIR']) delete env[name];
  try {
    execFileSync(path.join(buildDir, 'bin/pvregsvr'), ['/s', path.join(buildDir, 'extension/msie/IEPostvane.dll')], { env });
    const commands = ['page mail.google.com frame'];
    for (const address of addresses) {
      commands.push(`answer PostvaneGetActiveEmail hex:${Buffer.from(address, 'utf8').toString('hex')}`, 'complete top');
    }
    const out = execFileSync(path.join(buildDir, 'tests/iehost'), ['--stay'],
      { env, input: `${commands.join('\n')}\nclose\n`, encoding: 'utf8' });
    const prefix = 'window bar page execScript javascript ';
    const scripts = out.split('\n').filter((line) => line.startsWith(prefix)).map((line) => line.slice(prefix.length));
    check(scripts.length === addresses.length, `${scripts.length} calls for ${addresses.length} addresses:\n${out}`);
    return scripts;
  } finally {
    fs.rmSync(home, { recursive: true, force: true });
  }
}

async function extensionPage(browser, program) {
  const addresses = ['"bob@example.com"', "o'brien@x.test", "x'); document.title = 'pwned'; ('",
    "</script><script>document.title = 'pwned'</script>", "a\\'); window.pwned = 1; //",
    "line\nbreak'); window.pwned = 1; ('", 'j\u00fcrgen@b\u00fccher.test', 'sep\u2028arator\u2029',
    'tab\there\u0001'];
  const scripts = libraryScripts(addresses);
  // The bar runs its script as the browser itself does, which no policy of
  // the page's stops; the page's own policy refuses inline script tags.
  const page = await browser.newPage({ bypassCSP: true });
  const errors = [];
  page.on('pageerror', (error) => errors.push(String(error)));
  await page.goto(`${program.origin}/extension.html`);
  for (let i = 0; i < addresses.length; i++) {
    await page.addScriptTag({ content: scripts[i] });
    const shown = await page.textContent('#pvContact');
    const expected = addresses[i].replace(/^"(.*)"$/, '$1');
    check(shown === expected, `${JSON.stringify(addresses[i])} arrived as ${JSON.stringify(shown)}`);
    check(await page.evaluate(() => pvwidget.address) === expected, 'the widget kept another text');
  }
  check(await page.title() === 'Postvane', `the title became ${await page.title()}`);
  check(await page.evaluate(() => window.pwned === undefined), 'an address ran script');
  check(errors.length === 0, `page errors: ${errors.join('; ')}`);
  await page.close();
}

run(async (keep) => {
  const pages = {
    '/start.html': read('start.html'),
    '/notrunning.html': read('notrunning.html'),
    '/conversation.html': top('/f-conversation.html'),
    '/f-conversation.html': frameOf('bob@example.com', ''),
    '/self.html': top('/f-self.html'),
    '/f-self.html': frameOf('me@example.com', `<td><span class="gD" email="dave@example.com">Dave</span></td>
      <td><span class="x" email="fay@example.com">Fay</span><span class="gD" email="me@example.com">me</span></td>`, false),
    '/alone.html': top('/f-alone.html'),
    '/f-alone.html': frameOf('me@example.com', '<td><span class="gD" email="me@example.com">me</span></td>', false),
    '/noframe.html': top(null),
    '/noconversation.html': top('/f-noconversation.html'),
    '/f-noconversation.html': '<!DOCTYPE html><html><body><h3>No one</h3></body></html>',
  };
  const site = keep(await startSite(pages));
  const other = keep(await startSite({ '/frame.html': frameOf('bob@example.com', '') }));
  pages['/foreign.html'] = top(`${other.origin}/frame.html`);
  const program = keep(await startProgram());
  const browser = keep(await launchBrowser());
  await barPages(browser, site);
  await pageScript(browser, site);
  await extensionPage(browser, program);
  console.log('the bar pages, the page script and the escaped addresses behave in Chromium');
});
