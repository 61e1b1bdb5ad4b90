// Element building and the formats the pages share. Every text that came
// from the program goes into the page as text, never as markup.

// el('p', { class: 'x', onclick: f }, 'text', child): a new element.
// Properties named on... become listeners, `text` sets the text content,
// true adds an empty attribute, false/null/undefined leave it out.
export function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(props)) {
    if (value === undefined || value === null || value === false) continue;
    if (name === 'text') node.textContent = String(value);
    else if (name === 'class') node.className = value;
    else if (name.startsWith('on')) node.addEventListener(name.slice(2), value);
    else if (name === 'value' || name === 'checked') node[name] = value;
    else node.setAttribute(name, value === true ? '' : String(value));
  }
  append(node, children);
  return node;
}

export function append(node, children) {
  for (const child of [children].flat(Infinity)) {
    if (child === null || child === undefined || child === false) continue;
    node.append(child instanceof Node ? child : String(child));
  }
  return node;
}

export function clear(node, ...children) {
  node.replaceChildren();
  return append(node, children);
}

// clear(), giving the focus back to the new control of the same kind and
// label, so a keyboard user keeps their place when a list is drawn anew; a
// control inside a closed menu opens that menu on it (the menu's openAt).
export function replaceKeepingFocus(node, ...children) {
  const active = node.contains(document.activeElement) ? document.activeElement : null;
  const label = active && active.getAttribute('aria-label');
  clear(node, ...children);
  if (!label) return;
  const again = [...node.querySelectorAll('[aria-label]')]
    .find((e) => e.tagName === active.tagName && e.getAttribute('aria-label') === label);
  const menu = again && again.closest('[role=menu]');
  if (menu && menu.openAt) menu.openAt(again);
  else if (again) again.focus();
}

let nextId = 0;
// A unique id for tying a label to its control.
export function uid(prefix) {
  nextId += 1;
  return `${prefix}-${nextId}`;
}

// A labelled control: { row, input }. `control` is an element or a tag name.
export function field(labelText, control, { hint, inline } = {}) {
  const input = typeof control === 'string' ? el(control) : control;
  if (!input.id) input.id = uid('f');
  const label = el('label', { for: input.id, text: labelText });
  const parts = inline ? [input, label] : [label, input];
  if (hint) {
    const hintId = `${input.id}-hint`;
    input.setAttribute('aria-describedby', hintId);
    parts.push(el('span', { class: 'hint', id: hintId, text: hint }));
  }
  return { row: el('div', { class: inline ? 'field inline' : 'field' }, parts), input };
}

export function checkbox(labelText, checked = false) {
  return field(labelText, el('input', { type: 'checkbox', checked }), { inline: true });
}

// Only web addresses may become links; anything else stays text.
export function safeLink(address) {
  try {
    const url = new URL(address, location.href);
    return url.protocol === 'http:' || url.protocol === 'https:' ? url.href : null;
  } catch (e) {
    return null;
  }
}

export function formatSize(bytesText) {
  const bytes = Number(bytesText);
  if (!Number.isFinite(bytes) || bytes < 0) return '';
  if (bytes < 1024) return `${bytes} B`;
  const units = ['KB', 'MB', 'GB', 'TB'];
  let value = bytes / 1024;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    unit += 1;
  }
  return `${value < 10 ? value.toFixed(1) : Math.round(value)} ${units[unit]}`;
}

// Milliseconds since 1970 as the reader's local date and time; '' for 0.
export function formatTime(ms) {
  const value = Number(ms);
  if (!Number.isFinite(value) || value <= 0) return '';
  return new Date(value).toLocaleString(undefined, { dateStyle: 'medium', timeStyle: 'short' });
}

export function timeElement(ms) {
  const value = Number(ms);
  if (!Number.isFinite(value) || value <= 0) return el('span', { text: '' });
  return el('time', { datetime: new Date(value).toISOString(), text: formatTime(value) });
}

// `run` once typing paused for `ms`; `flush()` runs a waiting call now.
export function debounce(run, ms) {
  let timer = 0;
  const call = (...args) => {
    clearTimeout(timer);
    timer = setTimeout(() => { timer = 0; run(...args); }, ms);
  };
  call.cancel = () => { clearTimeout(timer); timer = 0; };
  return call;
}

// A search box with its button on one line under the label: { row, input, button }.
export function searchField(labelText, { hint, name } = {}) {
  const input = el('input', { type: 'search', name, id: uid('f'), autocomplete: 'off' });
  const button = el('button', { type: 'submit', text: 'Search' });
  const parts = [el('label', { for: input.id, text: labelText }), el('div', { class: 'search-line' }, input, button)];
  if (hint) {
    input.setAttribute('aria-describedby', `${input.id}-hint`);
    parts.push(el('span', { class: 'hint', id: `${input.id}-hint`, text: hint }));
  }
  return { row: el('div', { class: 'field' }, parts), input, button };
}

// "42 files", "1 file", "21–40 of 42 files".
export function countText(first, last, total, one, many) {
  const word = Number(total) === 1 ? one : many;
  if (!Number(total)) return `No ${many}`;
  if (Number(first) === 1 && Number(last) === Number(total)) return `${total} ${word}`;
  return `${first}–${last} of ${total} ${word}`;
}

// Text that may wrap after the punctuation of an address or a file name
// (@ . _ - /) rather than inside one of its words.
export function breakable(text) {
  const fragment = document.createDocumentFragment();
  String(text).split(/(?<=[@._\-/])/).forEach((part, i) => {
    if (i > 0) fragment.append(document.createElement('wbr'));
    fragment.append(part);
  });
  return fragment;
}
