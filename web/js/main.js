// The main page: files, contacts, accounts and settings as views of one
// page, chosen by the address's fragment (#files, #contacts, ...).
import { el, clear } from './dom.js';
import { readJson } from './api.js';
import { createFileList } from './files.js';
import { createContactsView } from './contacts.js';
import { createAccountsView } from './accounts.js';
import { createSettingsView } from './settings.js';
import { guarded, hideAlert, showError, showNote, showVersion, startStatusLine } from './shell.js';

const callbacks = { onError: showError, onNote: showNote };

// Statistics count every attachment; the unfiltered file list leaves out
// what the settings hide. Where the two differ, the list says why and how
// to show the rest.
let explained = 0;
async function explainCount({ total, search }, hint) {
  // A slower answer for the list drawn before must not overwrite this one.
  const turn = ++explained;
  delete hint.dataset.checked;
  if (search) {
    hint.hidden = true;
    hint.dataset.checked = 'search';
    return;
  }
  const [rows, prefs] = await Promise.all([readJson('ShowAll', 'GetStatistics'), readJson('PrefMgr', 'GetPreferences')])
    .catch(() => [null, null]);
  if (turn !== explained || !Array.isArray(rows) || !prefs) return;
  const filter = Number(prefs.filterAccountId) || 0;
  const account = (prefs.accountlist || []).find((a) => Number(a.accountId) === filter);
  const counted = rows.filter((r) => !account || r.accountemail === account.accountName)
    .reduce((sum, r) => sum + Number((r.AttachmentCount || {}).InboxAttachmentCount || 0)
      + (Number(prefs.showReceivedAttachments) === 1 ? 0 : Number((r.AttachmentCount || {}).SentAttachmentCount || 0)), 0);
  const hiding = Number(prefs.showInlineImages) !== 1;
  hint.hidden = !(hiding && counted > total);
  // Tells a watcher that the counts were compared.
  hint.dataset.checked = String(total);
  if (hint.hidden) return;
  clear(hint, `Statistics count ${counted.toLocaleString()} attachments; the ${(counted - total).toLocaleString()} not listed here are pictures inside mails. `,
    'To list them, choose “Show pictures that were inside mails” under ', el('a', { href: '#settings', text: 'Settings' }), '.');
}

const files = createFileList({ ...callbacks, onCounted: explainCount });
const contacts = createContactsView(callbacks);
const accounts = createAccountsView(callbacks);
const settings = createSettingsView(callbacks);

const views = {
  files: { title: 'Files', view: files },
  contacts: { title: 'Contacts', view: contacts },
  accounts: { title: 'Accounts', view: accounts },
  settings: { title: 'Settings', view: settings },
};

const main = document.getElementById('main');
for (const [name, { title, view }] of Object.entries(views)) {
  const heading = el('h1', { id: `${name}-heading`, class: 'view-title', text: title, tabindex: -1 });
  const section = el('section', { id: `view-${name}`, 'aria-labelledby': heading.id, hidden: true },
    heading, name === 'files' ? el('div', { class: 'panel' }, view.element) : view.element);
  views[name].section = section;
  views[name].heading = heading;
  main.append(section);
}

let current = null;
function show(name, focus) {
  if (!views[name]) name = 'files';
  if (current === name) return;
  hideAlert();
  if (current) {
    views[current].section.hidden = true;
    if (views[current].view.unwatch) views[current].view.unwatch();
  }
  current = name;
  const shown = views[name];
  shown.section.hidden = false;
  document.title = `${shown.title} · Postvane`;
  for (const link of document.querySelectorAll('nav a[data-view]')) {
    if (link.dataset.view === name) link.setAttribute('aria-current', 'page');
    else link.removeAttribute('aria-current');
  }
  shown.view.load();
  if (shown.view.watch) shown.view.watch();
  if (focus) shown.heading.focus();
}

function route(focus) {
  const [name, extra] = location.hash.replace(/^#/, '').split('/');
  show(name || 'files', focus);
  if (name === 'accounts' && extra === 'add') accounts.add();
}

window.addEventListener('hashchange', () => route(true));

const status = startStatusLine(document.getElementById('status'), () => { location.hash = '#accounts'; });
// Progress and errors of the accounts change with the status.
status.onStatus(() => { if (current === 'accounts') accounts.load(); });
showVersion();

// A first start: no account yet, so the way in is adding one.
guarded(async () => {
  const prefs = await readJson('PrefMgr', 'GetPreferences');
  if (!location.hash && prefs && (prefs.accountlist || []).length === 0) location.hash = '#accounts';
}).finally(() => route(false));
