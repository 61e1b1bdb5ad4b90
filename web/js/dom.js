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

// "11–20 of 42"
export function rangeText(first, last, total) {
  if (!total) return 'Nothing to show';
  return `${first}–${last} of ${total}`;
}
