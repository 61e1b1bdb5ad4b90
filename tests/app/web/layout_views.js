// Every view at a width (the side bar's 300 px, a phone's 390 px, a
// desktop's 1280 px; one test program each, so they run side by side), filled with long addresses, names and figures: nothing runs
// wider than the window or is cut off, no word is broken across lines,
// every control is reached by Tab, and axe-core finds no serious or
// critical violation.
'use strict';

const { startProgram, launchBrowser, run, check, openPage, screenshot, summarySql } =
  require('../../support/browser');
const { checkLayout } = require('../../support/layout');

const LONG = 'joseph.nguyen@mail26.example.org';

// Each view and what shows it filled; `open` runs in the loaded page.
const VIEWS = [
  { name: 'files', address: 'index.html#files', ready: '.file' },
  {
    name: 'contacts', address: 'index.html#contacts', ready: '.contact-row',
    open: async (page) => {
      await page.getByRole('button', { name: /^Joseph Nguyen-Abernathy/ }).click();
      await page.waitForSelector('.details .contact-name');
    },
  },
  {
    name: 'accounts', address: 'index.html#accounts', ready: 'table.stats',
    open: async (page) => {
      await page.getByRole('button', { name: 'Change me@example.org' }).click();
      await page.waitForSelector('.account-form');
    },
  },
  { name: 'settings', address: 'index.html#settings', ready: '#view-settings form' },
  { name: 'preferences', address: 'preferences.html', ready: 'form' },
  { name: 'help', address: 'help.html', ready: 'h1' },
  { name: 'welcome', address: 'initialize.html', ready: 'h1' },
  { name: 'sidebar-empty', address: 'extension.html?ver=1.89', ready: '#content form' },
  {
    name: 'sidebar', address: 'extension.html?ver=1.89', ready: '#content form',
    open: async (page) => {
      await page.evaluate((a) => window.pvwidget.HandleContextChange(`"${a}"`), LONG);
      await page.waitForSelector('.file');
      await page.waitForSelector('.contact-name');
    },
  },
];

// Runs every view at each of `widths`.
module.exports = (widths) => run(async (keep) => {
  const mails = [];
  for (let i = 1; i <= 4; i++) {
    mails.push({
      id: i, address: LONG, subject: `Quarterly reconciliation of the procurement accounts, part ${i}`, daysAgo: i * 5,
      files: [{ name: `Quarterly_reconciliation_procurement_${i}_final-version.xlsx`, type: 'xlsx', size: 1423000 + i }],
    });
  }
  mails.push({ id: 9, address: 'bob@example.org', subject: 'Minutes', daysAgo: 2, sent: true, files: [{ name: 'minutes.odt', type: 'odt' }] });
  const contacts = [
    { id: 1, name: 'Joseph Nguyen-Abernathy', addresses: [LONG, 'j.nguyen.abernathy@another-long-domain.example.com'], mark: 1, group: 'Procurement' },
    { id: 2, name: 'Bob', addresses: ['bob@example.org'], group: 'Procurement' },
  ];
  // No mail service answers: the account's error text is part of the layout.
  const program = keep(await startProgram({
    account: ['me@example.org', 'secret'],
    summary: summarySql({ accounts: [{ id: 1, email: 'me@example.org', added: true }], mails, contacts }),
  }));
  const browser = keep(await launchBrowser());

  const findings = [];
  for (const width of widths) {
    for (const v of VIEWS) {
      const page = await openPage(browser, `${program.origin}/${v.address}`, { width, height: 844 });
      await page.waitForSelector(v.ready);
      if (v.open) await v.open(page);
      await page.waitForLoadState('networkidle');
      findings.push(...await checkLayout(page, `${v.name} at ${width} px`));
      if (v.name === 'sidebar' && width === 300) await screenshot(page, 'layout-sidebar');
      page.clean();
      await page.close();
    }
  }
  check(findings.length === 0, `${findings.length} findings:\n${findings.join('\n')}`);
  console.log(`${VIEWS.length} views at ${widths.join(', ')} px: within the window, whole words, reached by Tab, no serious axe finding`);
});
