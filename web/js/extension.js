// The side bar: the mails, files and contact of the correspondent whose
// conversation the user reads, in a bar 300 pixels wide.
import { el, clear, field, breakable } from './dom.js';
import { change, readJson } from './api.js';
import { createFileList } from './files.js';
import { contactDetails, findContact, photoAddress } from './contacts.js';
import { showError, showNote, startStatusLine } from './shell.js';

const content = document.getElementById('content');
const lockSlot = document.getElementById('lock');
const files = createFileList({ compact: true, onError: showError, onNote: showNote });
const contactSlot = el('div', { 'aria-live': 'polite' });
const addressLine = document.getElementById('pvContext');
const addressText = document.getElementById('pvContact');
const chooser = field('Correspondent', el('input', { type: 'search', inputmode: 'email' }));
const chooseForm = el('form', { class: 'toolbar', role: 'search' }, chooser.row, el('button', { type: 'submit', text: 'Show' }));
// Shown once there is a correspondent: headings over nothing say nothing.
const sections = el('div', { hidden: true },
  el('section', { 'aria-labelledby': 'contact-title' }, el('h2', { id: 'contact-title', text: 'Contact and mails' }), contactSlot),
  el('section', { 'aria-labelledby': 'files-title' }, el('h2', { id: 'files-title', text: 'Files' }), files.element));
let address = '';

function showContact(answer) {
  const data = answer.result.data;
  if (data.type === 'ContactDetails') {
    clear(contactSlot, contactDetails(data, {
      compact: true,
      onError: showError,
      onChanged: () => showAddress(address),
      onMailPage: async (page) => {
        const id = data.contactDetails.contactid;
        const next = await readJson('ShowAll', 'ContactDetails', { contactid: id, mailPageNo: page, mailsPerPage: 5 })
          .catch((e) => { showError(e); return null; });
        if (next && next.result) showContact(next);
      },
    }));
    return;
  }
  const contacts = data.contacts || [];
  if (contacts.length === 0) {
    clear(contactSlot, el('p', { class: 'empty', text: 'No contact has this address yet.' }));
    return;
  }
  // Several contacts share the address (one per account): let the user pick.
  clear(contactSlot, el('ul', { class: 'contact-list', 'aria-label': 'Contacts with this address' },
    contacts.map((c) => el('li', {}, el('div', { class: 'contact-row' }, el('button', {
      type: 'button', class: 'open',
      onclick: async () => {
        const one = await readJson('ShowAll', 'ContactDetails', { contactid: c.contactid, mailPageNo: 1, mailsPerPage: 5 })
          .catch((e) => { showError(e); return null; });
        if (one && one.result) showContact(one);
      },
    }, el('img', { class: 'photo', src: photoAddress(c), alt: '' }), el('span', {}, breakable(c.contactname || c.contactemaillist))))))));
}

// The bar may hand over addresses faster than their answers come.
let shown = 0;
async function showAddress(text) {
  shown += 1;
  const mine = shown;
  address = text;
  chooser.input.value = text;
  addressText.textContent = text;
  sections.hidden = !text.trim();
  if (!text.trim()) {
    addressLine.firstChild.textContent = 'Open a mail to see what Postvane knows of its correspondent, or enter an address. ';
    clear(contactSlot);
    return;
  }
  addressLine.firstChild.textContent = 'Mails, files and contact of ';
  // The whole address as one phrase of the full-text search.
  const phrase = `"${text.trim().replace(/"/g, '')}"`;
  await Promise.all([
    files.show(phrase),
    findContact(text.trim()).then((answer) => {
      if (mine !== shown) return;
      if (answer) showContact(answer);
      else clear(contactSlot, el('p', { class: 'empty', text: 'The contact could not be read.' }));
    }, (error) => clear(contactSlot, el('p', { class: 'empty', text: error.message }))),
  ]);
}

chooseForm.addEventListener('submit', (event) => {
  event.preventDefault();
  window.pvwidget.HandleContextChange(chooser.input.value);
});

function start() {
  clear(content, chooseForm, sections);
  startStatusLine(document.getElementById('status'), () => window.open('index.html#accounts', '_blank', 'noopener'));
  files.watch();
  window.pvwidget.ready(showAddress);
  if (window.pvwidget.pending === null && !address) showAddress('');
}

// A locked side bar asks for the passcode first.
function askPasscode() {
  const passcode = field('Passcode', el('input', { type: 'password', autocomplete: 'current-password' }));
  const result = el('p', { class: 'result bad', 'aria-live': 'polite' });
  const form = el('form', { class: 'panel' }, el('h2', { text: 'The side bar is locked' }), passcode.row,
    el('button', { type: 'submit', class: 'primary', text: 'Unlock' }), result);
  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    const answer = await change('PrefMgr', 'ValidatePassword', { lockPassword: passcode.input.value }).catch(() => '0');
    if (answer.trim() === '1') {
      clear(lockSlot);
      content.hidden = false;
      start();
    } else {
      result.textContent = 'This is not the passcode.';
      passcode.input.select();
    }
  });
  clear(lockSlot, form);
  content.hidden = true;
  passcode.input.focus();
}

readJson('PrefMgr', 'GetPreferences').then((prefs) => {
  if (prefs && Number(prefs.sidebarLock) === 1) askPasscode();
  else start();
}, (error) => {
  showError(error);
  start();
});
