// What every full page shares: the alert line, the status line with the
// indexing progress, and the program's version in the footer.
import { el, clear, formatTime, safeLink } from './dom.js';
import { change, readJson } from './api.js';
import { pollStatus } from './poll.js';
import { accountProgress, accountState } from './accounts.js';
import { firstWords } from './failure.js';

const alertBox = () => document.getElementById('alert');

// An alert that says the program does not answer is "down": it goes once
// the program answers again.
export function showError(error) {
  const message = error && error.message ? error.message : String(error);
  showAlert(message, false, error && error.unreachable ? 'down' : '');
}

export function showNote(message) {
  showAlert(message, true, '');
}

function showAlert(message, good, kind) {
  const box = alertBox();
  if (!box) return;
  box.classList.toggle('note', good);
  box.dataset.kind = kind;
  clear(box, el('span', { text: message }),
    el('button', { type: 'button', text: 'Dismiss', onclick: () => { box.hidden = true; } }));
  box.hidden = false;
}

// Hides the alert; with `kind`, only an alert of that kind.
export function hideAlert(kind) {
  const box = alertBox();
  if (box && (kind === undefined || box.dataset.kind === kind)) box.hidden = true;
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

// The accounts' one figure of progress, from the counts each account
// shows: "Reading mail: 1,200 of 2,000 mails" over all accounts still read.
export function overallProgress(accounts) {
  const busy = accounts.map(accountProgress).filter((p) => !p.done);
  if (busy.length === 0) return null;
  const read = busy.reduce((sum, p) => sum + p.read, 0);
  const total = busy.reduce((sum, p) => sum + p.total, 0);
  if (busy.length === 1) return busy[0];
  return { read, total, text: `Reading ${busy.length} accounts: ${read.toLocaleString()} of ${total.toLocaleString()} mails` };
}

// The top line for a failed account: its address and the first words of
// what went wrong.
export function failureLine(accounts) {
  for (const account of accounts) {
    const state = accountState(account);
    if (state.bad) return `${account.Email}: ${firstWords(state.text, 9)}`;
  }
  return 'Something went wrong with an account.';
}

// The status line: connection state, progress while indexing, the time of
// the last update and, when there is one, the link to a newer version.
// `onDetails` runs when the user asks what an error is about. While the
// program does not answer, the line says only that.
export function startStatusLine(container, onDetails) {
  const text = el('span', { class: 'state' });
  const progress = el('progress', { max: 1, value: 0, hidden: true, 'aria-label': 'Indexing progress' });
  const figure = el('span', { hidden: true });
  const updated = el('span');
  const upgrade = el('a', { hidden: true, text: 'A newer version of Postvane is available', rel: 'noopener' });
  const details = el('button', { type: 'button', hidden: true, text: 'Show details', onclick: onDetails });
  const retry = el('button', {
    type: 'button', hidden: true, text: 'Try again',
    onclick: () => guarded(() => change('ShowAll', 'Retry')),
  });
  clear(container, text, progress, figure, updated, upgrade, details, retry);

  const listeners = [];
  // The account list answers for the line's account names and counts; an
  // older answer never overwrites a newer one.
  let asked = 0;
  async function accounts() {
    asked += 1;
    const mine = asked;
    const list = await readJson('ConnectionMgr', 'List').catch(() => null);
    return mine === asked && Array.isArray(list) ? list : null;
  }
  const stop = pollStatus(async (status) => {
    hideAlert('down');
    const message = status.ConnectionStatusMsg || '';
    const failed = message.startsWith('Error');
    const indexing = Number(status.indexingStatus) === 0;
    const list = failed || indexing ? await accounts() : null;
    text.textContent = failed ? (list ? failureLine(list) : 'Something went wrong with an account.') : (message || 'Connected');
    text.classList.toggle('error', failed);
    details.hidden = !failed;
    retry.hidden = !failed;
    const shown = indexing && list ? overallProgress(list) : null;
    progress.hidden = !shown;
    figure.hidden = !shown;
    if (shown) {
      progress.max = shown.total || 1;
      progress.value = shown.read;
      figure.textContent = shown.text;
    }
    const when = formatTime(status.lastUpdatedTime);
    updated.textContent = when ? `Last updated ${when}` : '';
    updated.hidden = false;
    const link = status.upgradeLink ? safeLink(status.upgradeLink) : null;
    upgrade.hidden = !link;
    if (link) upgrade.href = link;
    for (const listener of listeners) listener(status);
  }, (error) => {
    text.textContent = error.message;
    text.classList.add('error');
    for (const item of [progress, figure, updated, upgrade, details, retry]) item.hidden = true;
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
