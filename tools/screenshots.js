// Takes the README's pictures anew: the files view at a desktop's 1280 px
// and the side bar at 300 px, of an account read from the test mail service.
//   node tools/screenshots.js     (after a build; writes docs/*.png)
'use strict';

const path = require('path');
const { startProgram, startPeers, launchBrowser, run, waitFor, openPage } = require('../tests/support/browser');

const docs = path.resolve(__dirname, '../docs');

run(async (keep) => {
  const peers = keep(await startPeers({ address: 'me@example.org', password: 'secret', count: 12 }));
  const program = keep(await startProgram({ account: ['me@example.org', 'secret'], endpoints: peers.endpoints }));
  const browser = keep(await launchBrowser());

  const main = await openPage(browser, `${program.origin}/index.html#files`, { width: 1280, height: 800 });
  await waitFor(async () => /Up to date|Connected/.test(await main.locator('#status').textContent())
    && (await main.locator('.file').count()) >= 6, 60000, 'the account read');
  await main.waitForLoadState('networkidle');
  await main.screenshot({ path: path.join(docs, 'main-page.png') });

  const bar = await openPage(browser, `${program.origin}/extension.html?ver=1.89`, { width: 300, height: 900 });
  await bar.waitForSelector('#content form');
  await bar.evaluate(() => window.pvwidget.HandleContextChange('"bob@example.org"'));
  await bar.waitForSelector('.file');
  await bar.waitForSelector('.contact-name');
  await bar.waitForLoadState('networkidle');
  await bar.screenshot({ path: path.join(docs, 'sidebar.png') });
  console.log(`pictures written to ${docs}`);
});
