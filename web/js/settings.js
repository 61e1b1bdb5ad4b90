// Settings: what the lists show, the proxy for mail and contacts, and the
// side bar's passcode and lock.
import { el, clear, field, checkbox } from './dom.js';
import { ApiError, change, parse, readJson, save } from './api.js';

const PROXY_TYPES = [[1, 'No proxy'], [2, 'HTTP proxy'], [3, 'SOCKS5 proxy'], [4, 'Find the proxy automatically']];

function resultLine() {
  const line = el('p', { class: 'result', 'aria-live': 'polite' });
  line.say = (text, good) => {
    line.textContent = text;
    line.className = `result ${good ? 'ok' : 'bad'}`;
  };
  return line;
}

// Whole numbers within bounds, or an error naming the field.
function number(input, label, low, high) {
  const value = Number(input.value);
  if (!Number.isInteger(value) || value < low || value > high) {
    throw new ApiError(`${label} must be a whole number from ${low} to ${high}.`);
  }
  return value;
}

function preferencesForm(prefs) {
  const inline = checkbox('Show pictures that were inside mails', Number(prefs.showInlineImages) === 1);
  const received = checkbox('Show only attachments of received mail', Number(prefs.showReceivedAttachments) === 1);
  const sentTo = checkbox('List only contacts I have written to', Number(prefs.showSenderEmails) === 1);
  const files = field('Files per page', el('input', { type: 'number', min: 1, max: 200, value: prefs.filesPerPage }));
  const contacts = field('Contacts per page', el('input', { type: 'number', min: 1, max: 200, value: prefs.contactsPerPage }));
  const account = field('Show the mail of', el('select', {},
    el('option', { value: 0, text: 'All accounts' }),
    (prefs.accountlist || []).map((a) => el('option', { value: a.accountId, text: a.accountName }))));
  account.input.value = String(prefs.filterAccountId || 0);
  const result = resultLine();
  const form = el('form', { class: 'panel', 'aria-labelledby': 'prefs-title', novalidate: true },
    el('h2', { id: 'prefs-title', text: 'What Postvane shows' }),
    account.row, inline.row, received.row, sentTo.row, files.row, contacts.row,
    el('div', { class: 'actions' }, el('button', { type: 'submit', class: 'primary', text: 'Save' })), result);
  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    result.say('Saving…', true);
    try {
      await save('PrefMgr', 'SavePreferences', {
        showInlineImages: inline.input.checked ? 1 : 0,
        showReceivedAttachments: received.input.checked ? 1 : 0,
        showSenderEmails: sentTo.input.checked ? 1 : 0,
        filesPerPage: number(files.input, 'Files per page', 1, 200),
        contactsPerPage: number(contacts.input, 'Contacts per page', 1, 200),
        filterAccountId: account.input.value,
      }, 'The settings could not be saved.');
      result.say('Saved.', true);
    } catch (e) {
      result.say(e.message, false);
    }
  });
  return form;
}

function proxyForm(proxy) {
  const type = el('fieldset', {}, el('legend', { text: 'Connection' }),
    PROXY_TYPES.map(([value, label]) => field(label, el('input', {
      type: 'radio', name: 'proxyType', value, checked: Number(proxy.proxy_type || 1) === value,
    }), { inline: true }).row));
  const host = field('Proxy host', el('input', { type: 'text', value: proxy.proxy_host || '', autocomplete: 'off' }));
  // The program keeps -1 for "no port"; the field then stays empty.
  const port = field('Proxy port', el('input', { type: 'number', min: 1, max: 65535, value: Number(proxy.proxy_port) > 0 ? proxy.proxy_port : '' }));
  const secure = checkbox('The proxy needs a user name and password', Number(proxy.proxy_secure) !== 0);
  const user = field('Proxy user name', el('input', { type: 'text', value: proxy.proxy_uname || '', autocomplete: 'off' }));
  const password = field('Proxy password', el('input', { type: 'password', value: proxy.proxy_pwd || '', autocomplete: 'new-password' }));
  const result = resultLine();
  const form = el('form', { class: 'panel', 'aria-labelledby': 'proxy-title', novalidate: true },
    el('h2', { id: 'proxy-title', text: 'Proxy' }),
    el('p', { class: 'hint', text: 'Mail and contacts go through this proxy. Saving restarts the reading of every account.' }),
    type, host.row, port.row, secure.row, user.row, password.row,
    el('div', { class: 'actions' }, el('button', { type: 'submit', class: 'primary', text: 'Save proxy' })), result);
  const chosen = () => Number((form.querySelector('input[name="proxyType"]:checked') || {}).value || 1);
  const sync = () => {
    const manual = chosen() === 2 || chosen() === 3;
    host.input.disabled = !manual;
    port.input.disabled = !manual;
    secure.input.disabled = !manual;
    user.input.disabled = !manual || !secure.input.checked;
    password.input.disabled = !manual || !secure.input.checked;
  };
  form.addEventListener('change', sync);
  sync();
  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    result.say('Saving…', true);
    try {
      const manual = chosen() === 2 || chosen() === 3;
      if (manual && !host.input.value.trim()) throw new ApiError('Enter the proxy host.');
      await save('ProxyMgr', 'SaveProxySettings', {
        proxyType: chosen(),
        proxyHost: host.input.value.trim(),
        proxyPort: manual ? number(port.input, 'The proxy port', 1, 65535) : Number(port.input.value) || 0,
        proxySecure: secure.input.checked ? 1 : 0,
        proxyUname: user.input.value,
        proxyPwd: password.input.value,
      }, 'The proxy could not be saved.');
      result.say('Saved. Postvane reconnects through the new proxy.', true);
    } catch (e) {
      result.say(e.message, false);
    }
  });
  return form;
}

function sidebarForm(prefs) {
  const current = field('Current passcode', el('input', { type: 'password', autocomplete: 'current-password' }), { hint: 'Leave empty when none is set yet.' });
  const next = field('New passcode', el('input', { type: 'password', autocomplete: 'new-password' }));
  const again = field('New passcode again', el('input', { type: 'password', autocomplete: 'new-password' }));
  const lock = checkbox('Lock the side bar with the passcode', Number(prefs.sidebarLock) === 1);
  const result = resultLine();
  const lockResult = resultLine();
  const form = el('form', { class: 'panel', 'aria-labelledby': 'sidebar-title' },
    el('h2', { id: 'sidebar-title', text: 'Side bar passcode' }),
    current.row, next.row, again.row,
    el('div', { class: 'actions' }, el('button', { type: 'submit', class: 'primary', text: 'Change passcode' })), result,
    lock.row, lockResult);
  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    if (next.input.value !== again.input.value) {
      result.say('The two new passcodes differ.', false);
      return;
    }
    result.say('Changing…', true);
    try {
      const answer = parse(await change('PrefMgr', 'ChangeSidebarPassword',
        { newPassWord: next.input.value, curPassword: current.input.value }));
      if (answer && Number(answer.status) === 1) {
        result.say('The passcode was changed.', true);
        for (const input of [current.input, next.input, again.input]) input.value = '';
      } else {
        result.say('The current passcode is not right.', false);
      }
    } catch (e) {
      result.say(e.message, false);
    }
  });
  lock.input.addEventListener('change', async () => {
    lockResult.say('Saving…', true);
    try {
      await save('PrefMgr', 'SideBarLockStatus', { sidebarLock: lock.input.checked ? 1 : 0 }, 'The lock could not be saved.');
      lockResult.say(lock.input.checked ? 'The side bar asks for the passcode.' : 'The side bar is not locked.', true);
    } catch (e) {
      lockResult.say(e.message, false);
    }
  });
  return form;
}

// The settings view: loads what the program holds and builds the forms.
export function createSettingsView({ onError }) {
  const element = el('div', {}, el('p', { class: 'empty', text: 'Loading the settings…' }));
  async function load() {
    let prefs;
    try {
      prefs = await readJson('PrefMgr', 'GetPreferences');
      if (!prefs) throw new ApiError('The settings could not be read.');
    } catch (e) {
      onError(e);
      clear(element, el('p', { class: 'empty', text: e.message }));
      return;
    }
    let proxy;
    try {
      proxy = await readJson('ProxyMgr', 'GetProxySettings');
    } catch (e) {
      proxy = null;
    }
    clear(element, preferencesForm(prefs),
      proxy ? proxyForm(proxy) : el('section', { class: 'panel' }, el('h2', { text: 'Proxy' }),
        el('p', { class: 'empty', text: 'This version of Postvane cannot change the proxy yet.' })),
      sidebarForm(prefs));
  }
  return { element, load };
}
