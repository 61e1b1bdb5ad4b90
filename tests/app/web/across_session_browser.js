// In a real browser: while the program belongs to another user of this
// machine, every page and every request gets the across-session page and
// nothing of that user's; only the one-pixel image is served as it is.
'use strict';

const { startProgram, launchBrowser, run, check, summarySql } = require('../../support/browser');

const NOBODY = '65534';

run(async (keep) => {
  const program = keep(await startProgram({
    user: NOBODY, summary: summarySql({ accounts: [{ id: 1, email: 'secret@example.org' }] }),
  }));
  const browser = keep(await launchBrowser());
  const page = await browser.newPage();
  for (const address of ['/index.html', '/preferences.html?t=1', '/js/main.js', '/?_object=PrefMgr&_action=GetPreferences',
    '/?_object=ShowAll&_action=DataLoad&pageNo=1']) {
    await page.goto(`${program.origin}${address}`);
    const text = await page.textContent('body');
    check(text.includes('This page cannot be shown'), `${address} was not the across-session page: ${text.slice(0, 200)}`);
    check(!text.includes('secret@example.org'), `${address} showed the other user's account`);
  }
  await page.goto(`${program.origin}/index.html`);
  const pixel = await page.evaluate(() => new Promise((done) => {
    const image = new Image();
    image.onload = () => done(image.naturalWidth);
    image.onerror = () => done(-1);
    image.src = '/pv-one-pixel.png';
  }));
  check(pixel === 1, `the one-pixel image answered ${pixel}`);
  check(/Warning: Request across session/.test(program.log()), 'the requests across sessions were not logged');
  console.log('another user\'s browser got the across-session page for pages, scripts and requests');
});
