// Checks of a page as laid out in the browser: nothing wider than the
// window, no text cut off by its box, no word broken across lines, every
// control reached by Tab, and no serious accessibility violation (axe-core).
// Each returns a list of findings, empty when the page passes.
'use strict';

const { AxeBuilder } = require('@axe-core/playwright');

// In the page: what runs past the window or is clipped by its own box.
function overflowInPage() {
  const found = [];
  const root = document.documentElement;
  if (root.scrollWidth > root.clientWidth) found.push(`the page is ${root.scrollWidth} px in a window of ${root.clientWidth}`);
  const visible = (e) => e.getClientRects().length > 0 && getComputedStyle(e).visibility !== 'hidden';
  for (const e of document.body.querySelectorAll('*')) {
    if (!visible(e) || e.closest('.uplot, svg, canvas, select, .skip')) continue;
    const box = e.getBoundingClientRect();
    const style = getComputedStyle(e);
    const own = [...e.childNodes].some((n) => n.nodeType === 3 && n.textContent.trim());
    if (own && box.right > root.clientWidth + 1) {
      found.push(`"${e.textContent.trim().slice(0, 40)}" ends at ${Math.round(box.right)} px, past the window's ${root.clientWidth}`);
    }
    const clips = ['hidden', 'clip'].includes(style.overflowX) || style.textOverflow === 'ellipsis';
    if (own && clips && e.scrollWidth > e.clientWidth + 1 && e.tagName !== 'INPUT' && e.tagName !== 'TEXTAREA') {
      found.push(`"${e.textContent.trim().slice(0, 40)}" is cut: ${e.scrollWidth} px in ${e.clientWidth}`);
    }
  }
  return found;
}

// In the page: words whose letters stand on two lines. A break after
// punctuation inside an address or a file name (@ . / - _) is a fair one.
function brokenWordsInPage() {
  const found = [];
  const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
  const range = document.createRange();
  for (let node = walker.nextNode(); node; node = walker.nextNode()) {
    const parent = node.parentElement;
    if (!parent || parent.closest('script, style, option, select, textarea, .uplot, [hidden]')) continue;
    if (parent.getClientRects().length === 0) continue;
    const text = node.textContent;
    for (const match of text.matchAll(/[^\s@./\-_,;:()]+[@./\-_,;:)]?/g)) {
      if (match[0].length < 2) continue;
      range.setStart(node, match.index);
      range.setEnd(node, match.index + match[0].replace(/[@./\-_,;:)]$/, '').length);
      const tops = new Set([...range.getClientRects()].filter((r) => r.width > 0).map((r) => Math.round(r.top)));
      if (tops.size > 1) found.push(`"${match[0]}" in "${text.trim().slice(0, 50)}" is broken across lines`);
    }
  }
  return found;
}

// Marks every control a user could reach; returns their descriptions. A
// control is known by what a user sees of it (and which of its likes it
// is), so one the page draws again during the walk still counts as itself.
function markControlsInPage() {
  window.pvControlKeys = () => {
    const selector = 'a[href], button, input, select, textarea, [tabindex]';
    const controls = [...document.querySelectorAll(selector)].filter((e) => !e.disabled && e.tabIndex >= 0
      && e.getClientRects().length > 0 && getComputedStyle(e).visibility !== 'hidden' && !e.closest('[hidden], [inert]'));
    const seen = new Map();
    return controls.map((e) => {
      const what = `${e.tagName.toLowerCase()} "${(e.getAttribute('aria-label') || e.textContent || e.name || e.id || '').trim().slice(0, 40)}"`;
      // Radio buttons are one stop per group; arrows move inside it.
      if (e.type === 'radio' && e.name) return [e, `radio:${e.form ? e.form.id : ''}:${e.name}`, what];
      const n = (seen.get(what) || 0) + 1;
      seen.set(what, n);
      return [e, `${what}#${n}`, what];
    });
  };
  const groups = new Map();
  for (const [, key, what] of window.pvControlKeys()) if (!groups.has(key)) groups.set(key, what);
  return [...groups.entries()];
}

async function overflow(page) {
  return page.evaluate(overflowInPage);
}

async function brokenWords(page) {
  return page.evaluate(brokenWordsInPage);
}

// Tabs through the page from its start; the controls never reached.
async function unreachable(page) {
  const wanted = new Map(await page.evaluate(markControlsInPage));
  await page.evaluate(() => {
    window.pvReached = new Set();
    document.addEventListener('focusin', (event) => {
      const hit = window.pvControlKeys().find(([e]) => e === event.target);
      if (hit) window.pvReached.add(hit[1]);
    });
    if (document.activeElement) document.activeElement.blur();
  });
  for (let i = 0; i < wanted.size + 5; i++) await page.keyboard.press('Tab');
  const reached = new Set(await page.evaluate(() => [...window.pvReached]));
  return [...wanted.entries()].filter(([key]) => !reached.has(key)).map(([, what]) => `${what} is not reached by Tab`);
}

// Serious and critical violations of axe-core's rules.
async function accessibility(page) {
  const result = await new AxeBuilder({ page }).analyze();
  return result.violations.filter((v) => v.impact === 'serious' || v.impact === 'critical')
    .map((v) => `${v.id} (${v.impact}): ${v.help}; at ${v.nodes.slice(0, 3).map((n) => n.target.join(' ')).join(', ')}`);
}

// Every check; findings prefixed with `where`.
async function checkLayout(page, where) {
  const findings = [];
  for (const check of [overflow, brokenWords, unreachable, accessibility]) {
    const start = Date.now();
    findings.push(...await check(page));
    if (process.env.PV_TRACE) console.error(`${where} ${check.name} ${Date.now() - start} ms`);
  }
  return findings.map((f) => `${where}: ${f}`);
}

module.exports = { overflow, brokenWords, unreachable, accessibility, checkLayout };
