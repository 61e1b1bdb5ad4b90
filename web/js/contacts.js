// Contacts: the list by group, starred or unread, with search; one
// contact's facts, notes and tags, conversations and mail trend.
import { el, clear, field, searchField, debounce, breakable, timeElement, countText } from './dom.js';
import { browserName, readJson, save } from './api.js';
import { watchList } from './poll.js';
import { drawTrend } from './chart.js';

const TYPES = [['All', 'All contacts'], ['Starred Contacts', 'Starred'], ['Unread Mails', 'With unread mail']];
const MAILS_PER_PAGE = 10;
// Contact kinds: 1 from the contacts service, 0 only here.
const LOCAL = 0;
const SEARCH_PAUSE = 300;
// The outcome of a save, shown again in the details drawn after it.
const savedNotes = new Map();

export function photoAddress(contact) {
  return Number(contact.isphotoexist) === 1
    ? `/GoogleContactphoto?id=${encodeURIComponent(contact.contactid)}`
    : 'images/pv-contact-default-image.png';
}

// Addresses come one a line (or blank-separated), phone numbers one a line.
function words(text) {
  return String(text || '').split(/[\s,;]+/).filter(Boolean);
}

function lines(text) {
  return String(text || '').split('\n').map((line) => line.trim()).filter(Boolean);
}

function starButton(contact, onError, onDone) {
  const name = contact.contactname || words(contact.contactemaillist || contact.emailaddress)[0] || 'contact';
  const starred = Number(contact.mark) === 1;
  const button = el('button', {
    type: 'button', class: 'star', 'aria-pressed': starred ? 'true' : 'false',
    'aria-label': `Star ${name}`, text: starred ? '★' : '☆',
  });
  button.addEventListener('click', async () => {
    button.disabled = true;
    try {
      await save('ContactReqHandler', 'UpdateMark',
        { mark: starred ? 0 : 1, accountid: contact.accountid, contactid: contact.contactid },
        'The contacts service did not take the star.');
      onDone();
    } catch (e) {
      onError(e);
    } finally {
      button.disabled = false;
    }
  });
  return button;
}

// One contact (the "ContactDetails" data of the program). options:
// { compact, onError, onChanged, onMailPage(pageNo) }.
export function contactDetails(data, { compact = false, onError, onChanged, onMailPage }) {
  const c = data.contactDetails || {};
  const name = c.contactname || words(c.emailaddress)[0] || '(no name)';
  const head = el('div', { class: 'contact-head' },
    el('img', { class: 'photo large', src: photoAddress(c), alt: '' }),
    el('div', {}, el(compact ? 'h3' : 'h2', { class: 'contact-name', text: name }),
      Number(c.unseenCount) > 0 ? el('span', { class: 'badge strong', text: `${c.unseenCount} unread` }) : null),
    starButton(c, onError, onChanged));
  const facts = el('dl', { class: 'facts' });
  const fact = (label, value) => {
    if (value) facts.append(el('dt', { text: label }), el('dd', {}, breakable(value)));
  };
  fact('Addresses', words(c.emailaddress).join(', '));
  fact('Phone', lines(c.phonelist).join(', '));
  fact('Tags', c.tags);
  fact('Received', `${Number(c.totalrecv) || 0} mails`);
  fact('Sent', `${Number(c.totalsent) || 0} mails`);

  const trend = el('div', { class: 'trend' });
  const threads = el('ul', { class: 'threads', 'aria-label': 'Conversations' },
    (c.threadDetails || []).map((t) => el('li', { class: Number(t.IsUnseen) === 1 ? 'unseen' : '' },
      el('span', { class: 'badge', text: Number(t.ModuleId) === 2 ? 'sent' : 'received' }),
      el('span', { class: 'subject', text: t.Subject || '(no subject)' }),
      timeElement(t.Time))));
  const total = Number(data.totalMails) || 0;
  const page = Number(data.curMailPageNo) || 1;
  const pager = el('nav', { class: 'pager', 'aria-label': 'Conversation pages' },
    el('button', { type: 'button', text: 'Newer', disabled: page <= 1, onclick: () => onMailPage(page - 1) }),
    el('button', { type: 'button', text: 'Older', disabled: Number(data.curMailEnd) >= total, onclick: () => onMailPage(page + 1) }));

  const section = el('article', { class: 'contact', 'aria-label': name, 'data-contactid': c.contactid },
    head, facts,
    el('h3', { text: 'Mails over time' }), trend,
    el('h3', { text: 'Conversations' }),
    total > 0 ? el('p', { class: 'count', text: countText(data.curMailBegin, data.curMailEnd, total, 'mail', 'mails') }) : null,
    threads.children.length ? threads : el('p', { class: 'empty', text: 'No conversations.' }),
    page > 1 || Number(data.curMailEnd) < total ? pager : null);
  if (!compact) section.append(editForm(c, onError, onChanged));
  // Drawn once the chart has its width in the page.
  requestAnimationFrame(() => drawTrend(trend, c.trendDetails || {}).catch(onError));
  return section;
}

function editForm(c, onError, onChanged) {
  const notes = field('Notes', el('textarea', { value: c.notes || '' }));
  const tags = field('Tags', el('input', { type: 'text', value: c.tags || '' }), { hint: 'Separate tags with spaces.' });
  const result = el('span', { class: 'result', role: 'status' });
  const kept = savedNotes.get(String(c.contactid));
  if (kept) {
    savedNotes.delete(String(c.contactid));
    result.textContent = kept.text;
    result.className = `result ${kept.good ? 'ok' : 'bad'}`;
  }
  const form = el('form', { class: 'edit' }, el('h3', { text: 'Notes and tags' }), notes.row, tags.row,
    el('div', { class: 'actions' }, el('button', { type: 'submit', class: 'primary', text: 'Save notes and tags' }),
      Number(c.type) === LOCAL
        ? el('button', { type: 'button', text: 'Add to the contacts service', onclick: () => create() })
        : null,
      result));
  const params = { contactid: c.contactid, accountid: c.accountid };
  async function run(action, extra, failure, done) {
    result.textContent = '';
    try {
      await save('ContactReqHandler', action, { ...params, ...extra }, failure);
      result.textContent = done;
      result.className = 'result ok';
      savedNotes.set(String(c.contactid), { text: done, good: true });
      onChanged();
    } catch (e) {
      result.textContent = e.message;
      result.className = 'result bad';
    }
  }
  const create = () => run('Create', {}, 'The contacts service did not take the contact.', 'Added to the contacts service.');
  form.addEventListener('submit', (event) => {
    event.preventDefault();
    run('EditInfo', { notes: notes.input.value, tags: tags.input.value.trim() },
      'The contacts service did not take the change.', 'Saved.');
  });
  return form;
}

// The contacts view of the main page. options: { onError }.
export function createContactsView({ onError }) {
  const state = { pageNo: 1, search: '', forceList: 0, contactId: 0, mailPageNo: 1, shown: null, detailShown: null };
  const group = field('Group', el('select'));
  const type = field('Show', el('select', {}, TYPES.map(([value, label]) => el('option', { value, text: label }))));
  const search = searchField('Search contacts');
  const toolbar = el('form', { class: 'toolbar', role: 'search' }, search.row, group.row, type.row);
  const list = el('ul', { class: 'contact-list', 'aria-label': 'Contacts' });
  const count = el('p', { class: 'count', role: 'status' });
  const previous = el('button', { type: 'button', text: 'Previous page', disabled: true });
  const next = el('button', { type: 'button', text: 'Next page', disabled: true });
  const details = el('div', { class: 'panel details', 'aria-live': 'polite' },
    el('p', { class: 'empty', text: 'Choose a contact to see its mails.' }));
  const pager = el('nav', { class: 'pager', 'aria-label': 'Contact pages' }, previous, next);
  const listPanel = el('div', { class: 'panel' }, toolbar, count, list, pager);

  function showGroups(data) {
    const groups = data.groups || [];
    clear(group.input, groups.map((g) => el('option', { value: g, text: g })));
    if (data.activeGroup && !groups.includes(data.activeGroup)) {
      group.input.prepend(el('option', { value: data.activeGroup, text: data.activeGroup }));
    }
    group.input.value = data.activeGroup || '';
    type.input.value = TYPES.some(([v]) => v === data.activeContactType) ? data.activeContactType : 'All';
  }

  function showList(answer) {
    const data = answer.result.data;
    state.shown = { params: listParams(), crc: String(answer.resultcrc) };
    const contacts = data.contacts || [];
    clear(list, contacts.map((contact) => {
      const name = contact.contactname || words(contact.contactemaillist)[0] || '(no name)';
      return el('li', {},
        el('div', { class: 'contact-row' },
          el('button', {
            type: 'button', class: 'open', 'aria-current': Number(contact.contactid) === state.contactId ? 'true' : 'false',
            onclick: () => openContact(Number(contact.contactid)),
          },
          el('img', { class: 'photo', src: photoAddress(contact), alt: '' }),
          el('span', { class: 'who' }, el('span', {}, breakable(name)),
            el('span', { class: 'meta' }, breakable(words(contact.contactemaillist).join(', '))))),
          Number(contact.unseenCount) > 0 ? el('span', { class: 'badge strong', text: `${contact.unseenCount}`, title: 'Unread mails' }) : null,
          starButton(contact, onError, refresh)));
    }));
    if (contacts.length === 0) list.append(el('li', { class: 'empty', text: answer.searchError || 'No contact matches.' }));
    const total = Number(answer.totalRows) || 0;
    count.textContent = countText(data.curRowBegin, data.curRowEnd, total, 'contact', 'contacts');
    previous.disabled = state.pageNo <= 1;
    next.disabled = Number(data.curRowEnd) >= total;
    pager.hidden = previous.disabled && next.disabled;
  }

  function showDetails(answer) {
    const data = answer.result.data;
    state.contactId = Number((data.contactDetails || {}).contactid) || state.contactId;
    state.detailShown = { params: detailParams(), crc: String(answer.resultcrc) };
    clear(details, contactDetails(data, {
      onError, onChanged: refresh,
      onMailPage: (page) => { state.mailPageNo = page; loadDetails(); },
    }));
  }

  const listParams = () => ({ pageNo: state.pageNo, search: state.search, forceList: state.forceList, browser: browserName, mailsPerPage: MAILS_PER_PAGE });
  const detailParams = () => ({ contactid: state.contactId, mailPageNo: state.mailPageNo, mailsPerPage: MAILS_PER_PAGE, browser: browserName });

  // Answers can overtake each other: only the latest request's is shown.
  let latestList = 0;
  let latestDetails = 0;
  async function loadList() {
    latestList += 1;
    const mine = latestList;
    try {
      const answer = await readJson('ShowAll', 'ContactLoad', listParams());
      if (mine !== latestList) return;
      if (!answer || !answer.result) throw new Error('The contacts could not be read.');
      const data = answer.result.data;
      showGroups(data);
      if (data.type === 'ContactDetails') {
        // Only one contact matches: the program answers with it directly,
        // and a details answer still on its way (of the contact shown
        // before) must not replace it.
        latestDetails += 1;
        state.mailPageNo = 1;
        state.shown = null;
        clear(list, el('li', {}, el('button', {
          type: 'button', text: 'Show as a list', onclick: () => { state.forceList = 1; loadList(); },
        })));
        count.textContent = countText(1, 1, 1, 'contact', 'contacts');
        pager.hidden = true;
        showDetails(answer);
      } else {
        showList(answer);
      }
    } catch (e) {
      if (mine === latestList) onError(e);
    }
  }

  async function loadDetails() {
    if (!state.contactId) return;
    latestDetails += 1;
    const mine = latestDetails;
    try {
      const answer = await readJson('ShowAll', 'ContactDetails', detailParams());
      if (mine !== latestDetails) return;
      if (!answer || !answer.result) throw new Error('The contact could not be read.');
      showDetails(answer);
    } catch (e) {
      if (mine === latestDetails) onError(e);
    }
  }

  function openContact(id) {
    state.contactId = id;
    state.mailPageNo = 1;
    for (const button of list.querySelectorAll('.open')) button.setAttribute('aria-current', 'false');
    loadDetails();
  }

  function refresh() {
    loadList();
    loadDetails();
  }

  async function choose(kind, value) {
    try {
      await save('PrefMgr', 'SetBrowserExtPreferences', { type: kind, prefData: value }, 'The choice could not be saved.');
      state.pageNo = 1;
      state.forceList = 0;
      loadList();
    } catch (e) {
      onError(e);
    }
  }
  group.input.addEventListener('change', () => choose('activegroup', group.input.value));
  type.input.addEventListener('change', () => choose('activecontacttype', type.input.value));
  const find = (force) => {
    const text = search.input.value.trim();
    if (!force && text === state.search) return;
    state.search = text;
    state.pageNo = 1;
    state.forceList = 0;
    loadList();
  };
  const findSoon = debounce(() => find(false), SEARCH_PAUSE);
  search.input.addEventListener('input', findSoon);
  toolbar.addEventListener('submit', (event) => {
    event.preventDefault();
    findSoon.cancel();
    find(true);
  });
  previous.addEventListener('click', () => { state.pageNo -= 1; loadList(); });
  next.addEventListener('click', () => { state.pageNo += 1; loadList(); });

  const stops = [];
  return {
    element: el('div', { class: 'contacts-layout' }, listPanel, details),
    load: refresh,
    watch() {
      if (stops.length) return;
      stops.push(watchList('contact', () => state.shown, loadList));
      stops.push(watchList('details', () => (state.contactId ? state.detailShown : null), loadDetails));
    },
    unwatch() {
      while (stops.length) stops.pop()();
    },
  };
}

// The contact whose address is `address`, for the side bar: the program
// narrows the search to addresses and answers with the one contact.
export async function findContact(address) {
  const answer = await readJson('ShowAll', 'ContactLoad', {
    search: address, forceDetails: 1, pageNo: 1, mailsPerPage: 5, browser: browserName,
  });
  return answer && answer.result ? answer : null;
}

