// Mail accounts: the list with each account's progress and state, the form
// that adds or changes one (tested before it is saved), removal, the
// per-account diagnostics and the statistics over all accounts.
import { el, clear, replaceKeepingFocus, field, checkbox, breakable, formatTime } from './dom.js';
import { ApiError, change, read, parse } from './api.js';
import { explain } from './failure.js';

function dateToMs(value) {
  // The date input's day, at local midnight.
  const [y, m, d] = value.split('-').map(Number);
  return new Date(y, m - 1, d).getTime();
}

function msToDate(ms) {
  const date = new Date(Number(ms));
  const pad = (n) => String(n).padStart(2, '0');
  return `${date.getFullYear()}-${pad(date.getMonth() + 1)}-${pad(date.getDate())}`;
}

const connecting = (text) => String(text || '').toLowerCase() === 'connecting...';

// How far an account is read, as counts of mails: { done, read, total,
// text }. The mails are read first, then their attachments saved; the
// figure is the step that runs now.
export function accountProgress(account) {
  if (Number(account.IndexingValue) >= 100) return { done: true, read: 1, total: 1, text: 'Up to date' };
  const saving = Number(account.IndexStatus) === 1;
  const read = Number(saving ? account.AttachmentProcessed : account.MailProcessed) || 0;
  const total = Number(saving ? account.AttachmentTotal : account.MailTotal) || 0;
  const counts = `${read.toLocaleString()} of ${total.toLocaleString()} mails`;
  let text = saving ? `Saving attachments: ${counts}` : `Reading mail: ${counts}`;
  if (total === 0) text = 'Counting the mails…';
  return { done: false, read: Math.min(read, total), total, text };
}

// The state of one account in words; `bad` when it reports an error, whose
// explanation then comes first and the library's words after it as detail.
export function accountState(account) {
  const mail = account.ImapErrorMsg || '';
  const contacts = account.ContactErrorMsg || '';
  if (mail && !connecting(mail)) {
    const why = explain(mail);
    return { text: why.text, detail: why.detail, bad: true, kind: why.kind };
  }
  if (contacts && !connecting(contacts)) {
    return { text: `The contacts could not be read: ${contacts}`, detail: '', bad: true, kind: 'contacts' };
  }
  if (connecting(mail) || connecting(contacts)) return { text: 'Connecting…', bad: false };
  return { text: accountProgress(account).text, bad: false };
}

// The account form: adds an account, or changes `account` when given.
function accountForm(account, { onSaved, onCancel }) {
  const editing = Boolean(account);
  const email = field('Mail address', el('input', { type: 'text', inputmode: 'email', autocomplete: 'username', required: true, value: editing ? account.Email : '' }));
  const password = field('Password', el('input', { type: 'password', autocomplete: 'current-password', required: !editing, disabled: editing }));
  const newPassword = editing ? checkbox('Change the password') : null;
  const allMail = el('input', { type: 'radio', name: 'period', value: 'all', checked: !editing || Number(account.IsAllMails) === 1 });
  const sinceChoice = el('input', { type: 'radio', name: 'period', value: 'since', checked: editing && Number(account.IsAllMails) !== 1 });
  const since = field('Mail since', el('input', {
    type: 'date', value: editing && Number(account.DownloadSince) > 0 ? msToDate(account.DownloadSince) : msToDate(Date.now() - 365 * 86400000),
  }));
  const attachments = checkbox('Save attachments', !editing || Number(account.IsDownloadAttchments) === 1);
  const period = el('fieldset', {}, el('legend', { text: 'Which mail to index' }),
    field('All mail', allMail, { inline: true }).row,
    field('Only mail since a date', sinceChoice, { inline: true }).row, since.row);
  const result = el('p', { class: 'result', 'aria-live': 'polite' });
  const testButton = el('button', { type: 'button', text: 'Test connection' });
  const form = el('form', { class: 'panel account-form', novalidate: true, 'aria-label': editing ? `Change ${account.Email}` : 'Add an account' },
    el('h3', { text: editing ? `Change ${account.Email}` : 'Add an account' }),
    email.row, newPassword ? newPassword.row : null, password.row, period, attachments.row,
    el('div', { class: 'actions' }, testButton,
      el('button', { type: 'submit', class: 'primary', text: editing ? 'Save changes' : 'Add account' }),
      el('button', { type: 'button', text: 'Cancel', onclick: onCancel })),
    result);
  const syncSince = () => { since.input.disabled = allMail.checked; };
  allMail.addEventListener('change', syncSince);
  sinceChoice.addEventListener('change', syncSince);
  syncSince();
  if (newPassword) {
    newPassword.input.addEventListener('change', () => {
      password.input.disabled = !newPassword.input.checked;
      password.input.required = newPassword.input.checked;
    });
  }

  const say = (text, good, detail) => {
    clear(result, text, detail ? el('span', { class: 'detail', text: `The mail library said: ${detail}` }) : null);
    result.className = `result ${good ? 'ok' : 'bad'}`;
  };
  const passwordGiven = () => !editing || newPassword.input.checked;

  function values() {
    const address = email.input.value.trim();
    if (!address) throw new ApiError('Enter the mail address.');
    if (passwordGiven() && !password.input.value) throw new ApiError('Enter the password.');
    if (sinceChoice.checked && !since.input.value) throw new ApiError('Choose the date to index mail from.');
    return {
      email: address,
      password: passwordGiven() ? password.input.value : '',
      isAllMails: allMail.checked ? 1 : 0,
      isDownloadAttachments: attachments.input.checked ? 1 : 0,
      downloadSince: sinceChoice.checked ? dateToMs(since.input.value) : 0,
    };
  }

  testButton.addEventListener('click', async () => {
    testButton.disabled = true;
    say('Testing…', true);
    try {
      const given = values();
      // A POST: the password stays out of addresses and histories.
      const answer = parse(await change('ConnectionMgr', 'TestConnection', {
        email: given.email, password: given.password,
        editaccount: editing ? 1 : 0, editpassword: passwordGiven() ? 1 : 0, accountid: editing ? account.AccountId : 0,
      }));
      const status = Number(answer && answer.TestStatus);
      const message = (answer && answer.TestStatusMsg) || '';
      if (status === 1) say('Connected: mail and contacts both answer.', true);
      else if (status === -1) say(`The mail answers, but the contacts service refused: ${message}`, false);
      else if (!message) say('The mail server did not answer.', false);
      else {
        const why = explain(message);
        say(why.text, false, why.detail);
      }
    } catch (e) {
      say(e.message, false);
    } finally {
      testButton.disabled = false;
    }
  });

  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    try {
      const given = values();
      const answer = editing
        ? await change('ConnectionMgr', 'Edit', { ...given, oldEmailAccountId: account.AccountId, editpassword: passwordGiven() ? 1 : 0 })
        : await change('ConnectionMgr', 'Add', given);
      if (!(Number(answer.trim()) > 0)) {
        throw new ApiError(editing
          ? 'The account could not be changed. Is another account using this address?'
          : 'The account could not be added. Is it already there?');
      }
      onSaved();
    } catch (e) {
      say(e.message, false);
    }
  });
  return form;
}

function mailLine(label, mail) {
  if (!mail || !mail.Subject && !mail.Recvtime) return null;
  return [el('dt', { text: label }),
    el('dd', { text: `${mail.Subject || '(no subject)'} — ${mail.FromOrTo || ''} ${formatTime(mail.Recvtime)}` })];
}

function diagnostics(d) {
  const mails = d.MailCount || {};
  const files = d.AttachmentCount || {};
  const list = el('dl', { class: 'facts' });
  const add = (label, value) => { if (value) list.append(el('dt', { text: label }), el('dd', {}, breakable(value))); };
  add('Mail', d.ImapErrorMsg || 'No problem reported');
  add('Contacts', d.ContactErrorMsg || 'No problem reported');
  add('Mail last read', formatTime(d.MailUpdatedTime) || 'not yet');
  add('Contacts last read', formatTime(d.ContactUpdatedTime) || 'not yet');
  add('Mails', `${mails.InboxMailCount || 0} received, ${mails.SentMailCount || 0} sent`);
  add('Attachments', `${files.InboxAttachmentCount || 0} received, ${files.SentAttachmentCount || 0} sent`);
  list.append(...(mailLine('Oldest mail read', d.OldestMail) || []), ...(mailLine('Latest mail read', d.LatestMail) || []));
  add('Log file', d.LogFilePath);
  return el('div', { class: 'diagnostics' }, el('h4', { text: `Details of ${d.accountemail}` }), list,
    el('button', {
      type: 'button', text: 'Open the log file',
      onclick: async (event) => {
        const answer = (await change('ShowLog', 'Open').catch(() => '0')).trim();
        event.target.after(el('span', { class: `result ${answer === '1' ? 'ok' : 'bad'}`, text: answer === '1' ? ' Opened.' : ' The log file could not be opened.' }));
      },
    }));
}

function statisticsTable(rows) {
  const head = ['Mails received', 'Mails sent', 'Attachments received', 'Attachments sent'];
  const cells = (r) => [(r.MailCount || {}).InboxMailCount, (r.MailCount || {}).SentMailCount,
    (r.AttachmentCount || {}).InboxAttachmentCount, (r.AttachmentCount || {}).SentAttachmentCount];
  return el('div', { class: 'table-wrap' }, el('table', { class: 'stats' },
    el('caption', { class: 'hint', text: 'What Postvane has read so far. Attachments count every part of a mail that is a file, '
      + 'pictures inside mails too; Files lists those only when the settings show them.' }),
    el('thead', {}, el('tr', {}, el('th', { scope: 'col', text: 'Account' }), head.map((h) => el('th', { scope: 'col', text: h })))),
    el('tbody', {}, rows.map((r) => el('tr', {},
      el('th', { scope: 'row' }, breakable(r.accountemail)),
      cells(r).map((value, i) => el('td', { 'data-label': head[i], text: value || '0' })))))));
}

// The accounts view. options: { onError, onNote }.
export function createAccountsView({ onError, onNote }) {
  const list = el('ul', { class: 'accounts', 'aria-label': 'Accounts' });
  const formSlot = el('div');
  const stats = el('div');
  const addButton = el('button', { type: 'button', class: 'primary', text: 'Add an account' });
  const element = el('div', {},
    el('section', { class: 'panel', 'aria-labelledby': 'accounts-title' },
      el('h2', { id: 'accounts-title', text: 'Your mail accounts' }), list, el('div', { class: 'actions' }, addButton)),
    formSlot,
    el('section', { class: 'panel', 'aria-labelledby': 'stats-title' }, el('h2', { id: 'stats-title', text: 'Statistics' }), stats));

  function openForm(account) {
    clear(formSlot, accountForm(account, {
      onSaved: () => {
        clear(formSlot);
        onNote(account ? 'The account was changed.' : 'The account was added. Postvane starts reading its mail now.');
        load();
      },
      onCancel: () => clear(formSlot),
    }));
    formSlot.querySelector('input').focus();
  }
  addButton.addEventListener('click', () => openForm(null));

  // Re-synchronisations whose request is still open ("action id"): their
  // buttons say so, also when the list is drawn anew meanwhile.
  const running = new Set();
  async function service(action, account, done, failed) {
    const key = `${action} ${account.AccountId}`;
    running.add(key);
    redraw();
    try {
      const answer = (await change('ShowAll', action, { accountid: account.AccountId })).trim();
      if (answer === '1') onNote(done);
      else onError(new ApiError(failed));
    } catch (e) {
      onError(e);
    } finally {
      running.delete(key);
      redraw();
    }
  }

  function serviceButton(action, account, label, name, done, failed) {
    const busy = running.has(`${action} ${account.AccountId}`);
    return [el('button', {
      type: 'button', text: busy ? `${label}…` : label, 'aria-label': name, disabled: busy,
      onclick: () => service(action, account, done, failed),
    }), busy ? el('progress', { 'aria-label': `${name}: running` }) : null];
  }

  function accountItem(account) {
    const state = accountState(account);
    const details = el('div');
    const progress = accountProgress(account);
    return el('li', { class: 'account', 'data-accountid': account.AccountId },
      el('div', { class: 'email' }, breakable(account.Email)),
      progress.done || (state.bad && progress.total === 0) ? null : el('progress', {
        max: progress.total || 1, value: progress.read, 'aria-label': `${account.Email}: ${progress.text}`,
      }),
      el('p', { class: `state${state.bad ? ' bad' : ''}` }, state.text,
        state.detail ? el('span', { class: 'detail', text: `The mail library said: ${state.detail}` }) : null,
        state.bad && !progress.done && progress.total > 0 ? el('span', { class: 'detail', text: progress.text }) : null),
      el('p', { class: 'hint', text: `Mail last read ${formatTime(account.MailUpdatedTime) || 'not yet'} · ${Number(account.IsAllMails) === 1 ? 'all mail' : `mail since ${formatTime(account.DownloadSince)}`} · ${Number(account.IsDownloadAttchments) === 1 ? 'attachments saved' : 'no attachments'}` }),
      el('div', { class: 'actions' },
        el('button', { type: 'button', text: 'Change', 'aria-label': `Change ${account.Email}`, onclick: () => openForm(account) }),
        el('button', {
          type: 'button', text: 'Details', 'aria-label': `Details of ${account.Email}`,
          onclick: async () => {
            try {
              const text = await read('ShowAll', 'GetDiagnostics', { id: account.AccountId });
              clear(details, diagnostics(parse(text)));
            } catch (e) {
              onError(e);
            }
          },
        }),
        serviceButton('SyncDeletedMails', account, 'Check for deleted mails', `Check for deleted mails in ${account.Email}`,
          'Deleted mails were checked.', 'The check for deleted mails failed. See the details of the account.'),
        serviceButton('ForceSyncContacts', account, 'Read contacts now', `Read contacts now for ${account.Email}`,
          'The contacts were read again.', 'The contacts could not be read. See the details of the account.'),
        el('button', {
          type: 'button', class: 'danger', text: 'Remove', 'aria-label': `Remove ${account.Email}`,
          onclick: async () => {
            if (!window.confirm(`Remove ${account.Email} and everything Postvane keeps of it?`)) return;
            try {
              const answer = await change('ConnectionMgr', 'Delete', { accountId: account.AccountId });
              if (/removed successfully/.test(answer)) onNote(`${account.Email} was removed.`);
              else onError(new ApiError(`${account.Email} could not be removed.`));
              load();
            } catch (e) {
              onError(e);
            }
          },
        })),
      details);
  }

  // Answers can overtake each other: only the latest request's is shown.
  let latestStatistics = 0;
  async function loadStatistics() {
    const mine = ++latestStatistics;
    try {
      const rows = parse(await read('ShowAll', 'GetStatistics')) || [];
      if (mine !== latestStatistics) return;
      clear(stats, rows.length ? statisticsTable(rows) : el('p', { class: 'empty', text: 'No statistics yet.' }));
    } catch (e) {
      if (mine === latestStatistics) clear(stats, el('p', { class: 'empty', text: e.message }));
    }
  }

  // While an account is being read or connects, its progress is asked for
  // again every few seconds; the list has no fingerprint to poll by.
  let busy = false;
  let timer = 0;
  const stillWorking = (accounts) => accounts.some((a) => Number(a.IndexingValue) < 100
    || [a.ImapErrorMsg, a.ContactErrorMsg].some((t) => String(t || '').toLowerCase() === 'connecting...'));

  let lastList = '';
  function redraw() {
    lastList = '';
    load();
  }
  let latestList = 0;
  async function load() {
    const mine = ++latestList;
    try {
      const text = await read('ConnectionMgr', 'List');
      if (mine !== latestList) return;
      if (text !== lastList) {
        lastList = text;
        const accounts = parse(text) || [];
        busy = stillWorking(accounts);
        // A keyboard user keeps their place while progress redraws the list.
        replaceKeepingFocus(list, accounts.map(accountItem));
        if (accounts.length === 0) {
          list.append(el('li', { class: 'empty', text: 'No account yet. Add your mail account to begin.' }));
        }
      }
    } catch (e) {
      if (mine !== latestList) return;
      lastList = '';
      onError(e);
    }
    loadStatistics();
  }

  return {
    element,
    load,
    add: () => openForm(null),
    watch() {
      if (timer) return;
      timer = setInterval(() => { if (busy) load(); }, 3000);
    },
    unwatch() {
      clearInterval(timer);
      timer = 0;
    },
  };
}
