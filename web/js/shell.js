// What every full page shares: the alert line, the status line with the
// indexing progress, and the program's version in the footer.
import { el, clear, formatTime, safeLink } from './dom.js';
import { change, readJson } from './api.js';
import { pollStatus } from './poll.js';

const alertBox = () => document.getElementById('alert');

export function showError(error) {
  const message = error && error.message ? error.message : String(error);
  showAlert(message, false);
}

export function showNote(message) {
  showAlert(message, true);
}

function showAlert(message, good) {
  const box = alertBox();
  if (!box) return;
  box.classList.toggle('note', good);
  clear(box, el('span', { text: message }),
    el('button', { type: 'button', text: 'Dismiss', onclick: () => { box.hidden = true; } }));
  box.hidden = false;
}

export function hideAlert() {
  const box = alertBox();
  if (box) box.hidden = true;
}

// Runs `work`; a failure shows in the alert line. Resolves to work's value
// or undefined.
export async function guarded(work) {
  try {
    return await work();
  } catch (e) {
    showError(e);
    return undefined;
  }
}

// The status line: connection state, progress while indexing, the time of
// the last update and, when there is one, the link to a newer version.
// `onDetails` runs when the user asks what an error is about.
export function startStatusLine(container, onDetails) {
  const text = el('span', { class: 'state' });
  const progress = el('progress', { max: 100, value: 0, hidden: true, 'aria-label': 'Indexing progress' });
  const percent = el('span', { hidden: true });
  const updated = el('span');
  const upgrade = el('a', { hidden: true, text: 'A newer version of Postvane is available', rel: 'noopener' });
  const details = el('button', { type: 'button', hidden: true, text: 'Show details', onclick: onDetails });
  const retry = el('button', {
    type: 'button', hidden: true, text: 'Try again',
    onclick: () => guarded(() => change('ShowAll', 'Retry')),
  });
  clear(container, text, progress, percent, updated, upgrade, details, retry);

  const listeners = [];
  const stop = pollStatus((status) => {
    const message = status.ConnectionStatusMsg || '';
    const failed = message.startsWith('Error');
    text.textContent = failed ? 'Something went wrong with an account.' : (message || 'Connected');
    text.classList.toggle('error', failed);
    details.hidden = !failed;
    retry.hidden = !failed;
    const indexing = Number(status.indexingStatus) === 0;
    progress.hidden = !indexing;
    percent.hidden = !indexing;
    progress.value = Number(status.indexingValue) || 0;
    percent.textContent = `Indexing ${Number(status.indexingValue) || 0}%`;
    const when = formatTime(status.lastUpdatedTime);
    updated.textContent = when ? `Last updated ${when}` : '';
    const link = status.upgradeLink ? safeLink(status.upgradeLink) : null;
    upgrade.hidden = !link;
    if (link) upgrade.href = link;
    for (const listener of listeners) listener(status);
  }, (error) => {
    text.textContent = error.message;
    text.classList.add('error');
  });
  return { stop, onStatus: (listener) => listeners.push(listener) };
}

export async function showVersion() {
  const target = document.getElementById('version');
  if (!target) return;
  try {
    const answer = await readJson('VersionMgr', 'GetVersion');
    if (answer) target.textContent = `${answer.version} (${answer.builddate})`;
  } catch (e) {
    // The version is a nicety; the pages work without it.
  }
}
