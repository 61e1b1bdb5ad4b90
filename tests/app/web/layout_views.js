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

// In the page: the search button on the search box's line.
function searchButtonAligned() {
  const input = document.querySelector('form[role=search] input[type=search]');
  const button = input && input.closest('form').querySelector('button[type=submit]');
  if (!button) return [];
  const [a, b] = [input.getBoundingClientRect(), button.getBoundingClientRect()];
  return Math.abs(a.top - b.top) > 2 || Math.abs(a.bottom - b.bottom) > 2
    ? [`the Search button stands at ${Math.round(b.top)}-${Math.round(b.bottom)} px, its box at ${Math.round(a.top)}-${Math.round(a.bottom)}`] : [];
}

// In the page: disabled fields look unlike enabled ones.
function disabledLookDisabled() {
  const found = [];
  const enabled = document.querySelector('input[type=text]:not(:disabled), input[type=email]:not(:disabled)');
  for (const input of document.querySelectorAll('input:disabled')) {
    if (input.type === 'radio' || input.type === 'checkbox' || !enabled) continue;
    const [on, off] = [getComputedStyle(enabled), getComputedStyle(input)];
    if (on.backgroundColor === off.backgroundColor && on.borderStyle === off.borderStyle) {
      found.push(`the disabled field "${input.labels[0] ? input.labels[0].textContent : input.id}" looks enabled`);
    }
  }
  return found;
}

// Each view and what shows it filled; `open` runs in the loaded page,
// `also` gives findings of its own.
const VIEWS = [
  { name: 'files', address: 'index.html#files', ready: '.file', also: (page) => page.evaluate(searchButtonAligned) },
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
    also: (page) => page.evaluate(disabledLookDisabled),
  },
  {
    name: 'settings', address: 'index.html#settings', ready: '#view-settings form',
    // No proxy is set: its fields are disabled and the port is empty, not "-1".
    also: async (page) => [...await page.evaluate(disabledLookDisabled),
      ...(await page.getByLabel('Proxy port').inputValue() === '' ? [] : [`the proxy port shows "${await page.getByLabel('Proxy port').inputValue()}"`])],
  },
  { name: 'preferences', address: 'preferences.html', ready: 'form' },
  { name: 'help', address: 'help.html', ready: 'h1' },
  {
    name: 'welcome', address: 'initialize.html', ready: 'h1',
    // The main button looks like every other main button.
    also: (page) => page.evaluate(() => {
      const [link, style] = [document.querySelector('.button.primary'), document.createElement('button')];
      style.className = 'primary';
      document.body.append(style);
      const [a, b] = [getComputedStyle(link), getComputedStyle(style)];
      const same = a.backgroundColor === b.backgroundColor && a.color === b.color && a.textDecorationLine === 'none';
      style.remove();
      return same ? [] : [`the main button is ${a.backgroundColor} ${a.color} ${a.textDecorationLine}`];
    }),
  },
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
      if (v.also) findings.push(...(await v.also(page)).map((f) => `${v.name} at ${width} px: ${f}`));
      if (v.name === 'sidebar' && width === 300) await screenshot(page, 'layout-sidebar');
      page.clean();
      await page.close();
    }
  }
  check(findings.length === 0, `${findings.length} findings:\n${findings.join('\n')}`);
  console.log(`${VIEWS.length} views at ${widths.join(', ')} px: within the window, whole words, reached by Tab, no serious axe finding`);
});
