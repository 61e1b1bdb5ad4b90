// The list of extracted attachments: search (a leading '-' lists what does
// not match), sorting and paging by the program, and the desktop actions.
import { el, replaceKeepingFocus, field, searchField, debounce, breakable, formatSize, formatTime, countText } from './dom.js';
import { browserName, change, readJson } from './api.js';
import { watchList } from './poll.js';

const SORTS = [
  ['received', 'Date'], ['filename', 'Name'], ['size', 'Size'],
  ['filetype', 'Type'], ['subject', 'Subject'], ['sendername', 'Sender'],
];
// The row's one main action, then the rest in its menu; each with the sign
// that the desktop was asked.
const MAIN_ACTION = ['Open', 'Open', 'Opening it with its program…'];
const MENU_ACTIONS = [
  ['OpenWith', 'Open with…', 'Choose the program in the window that opens…'],
  ['Locate', 'Show in folder', 'Opening its folder…'],
  ['CopyPath', 'Copy path', 'Its path is on the clipboard.'],
];
const SEARCH_PAUSE = 300;

// The picture's address: the program serves the picture folder by path.
function pictureAddress(icon) {
  return `/${icon.split('/').map(encodeURIComponent).join('/')}`;
}

// signs: the outcome of the last action per file id, shown again when the
// list is drawn anew.
function fileRow(row, onAction, signs) {
  const name = row.filename || '(no name)';
  const picture = row.icon
    ? el('img', { class: 'picture', src: pictureAddress(row.icon), alt: '' })
    : el('span', { class: 'picture badge', 'aria-hidden': 'true', text: (row.filetype || 'file').slice(0, 5) });
  const direction = row.mailtype === '2' ? 'Sent to' : 'From';
  const meta = [formatTime(Number(row.received) * 1000), formatSize(row.size)];
  if (row.sendername) meta.unshift(`${direction} ${row.sendername}`);
  const sign = el('span', { class: 'result', role: 'status' });
  const say = ({ good, text }) => {
    sign.className = `result ${good ? 'ok' : 'bad'}`;
    sign.textContent = text;
  };
  if (signs.has(row.fileid)) say(signs.get(row.fileid));
  const run = async ([action, , done]) => {
    say({ good: true, text: '' });
    const ok = await onAction(action, row);
    const outcome = { good: ok, text: ok ? ` ${done}` : ' That did not work; see the alert above.' };
    signs.set(row.fileid, outcome);
    // The row may have been drawn anew meanwhile.
    const shown = document.querySelector(`.file[data-fileid="${CSS.escape(String(row.fileid))}"] [role=status]`);
    if (shown && shown !== sign) {
      shown.className = `result ${ok ? 'ok' : 'bad'}`;
      shown.textContent = outcome.text;
    }
    say(outcome);
  };
  const open = el('button', { type: 'button', text: MAIN_ACTION[1], 'aria-label': `${MAIN_ACTION[1]} ${name}`, onclick: () => run(MAIN_ACTION) });
  return el('li', { class: 'file', 'data-fileid': row.fileid },
    picture,
    el('div', {},
      el('div', { class: 'name' }, el('span', {}, breakable(name)),
        row.isfilemodified === '1' ? el('span', { class: 'badge', text: 'changed' }) : null),
      el('div', { class: 'meta' }, breakable(row.subject ? `“${row.subject}”` : '(no subject)')),
      el('div', { class: 'meta' }, breakable(meta.filter(Boolean).join(' · ')))),
    el('div', { class: 'actions' }, open, actionMenu(name, run), sign));
}

// A menu button: arrows move, Escape closes, Tab leaves it closed.
function actionMenu(name, run) {
  const button = el('button', {
    type: 'button', text: 'More…', 'aria-haspopup': 'menu', 'aria-expanded': 'false', 'aria-label': `More for ${name}`,
  });
  const menu = el('ul', { class: 'menu', role: 'menu', 'aria-label': `More for ${name}`, hidden: true });
  const items = MENU_ACTIONS.map((entry) => el('button', {
    type: 'button', role: 'menuitem', tabindex: -1, text: entry[1], 'aria-label': `${entry[1]} ${name}`,
    onclick: () => { close(true); run(entry); },
  }));
  items.forEach((item) => menu.append(el('li', { role: 'none' }, item)));
  // Where a list drawn anew had this row's menu open.
  menu.openAt = (item) => openMenu(Math.max(0, items.indexOf(item)));
  function close(focus) {
    if (menu.hidden) return;
    menu.hidden = true;
    button.setAttribute('aria-expanded', 'false');
    document.removeEventListener('pointerdown', outside, true);
    if (focus) button.focus();
  }
  function outside(event) {
    if (!menu.contains(event.target) && event.target !== button) close(false);
  }
  function openMenu(index) {
    menu.hidden = false;
    button.setAttribute('aria-expanded', 'true');
    document.addEventListener('pointerdown', outside, true);
    items[index].focus();
  }
  button.addEventListener('click', () => (menu.hidden ? openMenu(0) : close(true)));
  button.addEventListener('keydown', (event) => {
    if (event.key === 'ArrowDown') { event.preventDefault(); openMenu(0); }
    if (event.key === 'ArrowUp') { event.preventDefault(); openMenu(items.length - 1); }
  });
  menu.addEventListener('keydown', (event) => {
    const at = items.indexOf(document.activeElement);
    const moves = { ArrowDown: 1, ArrowUp: -1 };
    if (event.key in moves) {
      event.preventDefault();
      items[(at + moves[event.key] + items.length) % items.length].focus();
    } else if (event.key === 'Home' || event.key === 'End') {
      event.preventDefault();
      items[event.key === 'Home' ? 0 : items.length - 1].focus();
    } else if (event.key === 'Escape') {
      event.preventDefault();
      close(true);
    } else if (event.key === 'Tab') {
      close(false);
    }
  });
  menu.addEventListener('focusout', (event) => {
    if (!menu.contains(event.relatedTarget) && event.relatedTarget !== button) close(false);
  });
  return [button, menu];
}

// options: { compact, onError(error), onNote(text) }. compact: the side
// bar's list (no sort controls; the search comes from the caller).
// onCounted({ total, search }, hint): after each list, with a hint line
// above the list the caller may fill (why counts differ elsewhere).
export function createFileList({ compact = false, onError, onNote, onCounted }) {
  const state = { pageNo: 1, search: '', sortKey: 'received', sortOrder: 'DESC', shown: null };
  const signs = new Map();
  let shownRows = '';
  const list = el('ul', { class: 'files', 'aria-label': 'Files' });
  const count = el('p', { class: 'count', role: 'status' });
  const hidden = el('p', { class: 'hint', hidden: true });
  const previous = el('button', { type: 'button', text: 'Previous page', disabled: true });
  const next = el('button', { type: 'button', text: 'Next page', disabled: true });
  const pager = el('nav', { class: 'pager', 'aria-label': 'File pages' }, previous, next);

  const searchBox = searchField('Search files',
    { name: 'search', hint: 'Words of a name, subject or address. Start with - to list the files that do not match.' });
  const sortBy = field('Sort by', el('select', { name: 'sortKey' },
    SORTS.map(([key, label]) => el('option', { value: key, text: label }))));
  const order = field('Order', el('select', { name: 'sortOrder' },
    el('option', { value: 'DESC', text: 'Descending' }), el('option', { value: 'ASC', text: 'Ascending' })));
  const toolbar = el('form', { class: 'toolbar', role: 'search' }, searchBox.row);
  if (!compact) toolbar.append(sortBy.row, order.row);
  sortBy.row.classList.add('narrow');
  order.row.classList.add('narrow');

  // Resolves to true when the desktop was asked.
  async function act(action, row) {
    try {
      await change('ShowAll', action, { fileid: row.fileid });
      if (action === 'CopyPath') onNote(`The path of ${row.filename} is on the clipboard.`);
      return true;
    } catch (e) {
      onError(e);
      return false;
    }
  }

  function params() {
    return {
      pageNo: state.pageNo, search: state.search, sortKey: state.sortKey, sortOrder: state.sortOrder,
      size: compact ? 'small' : 'medium', browser: browserName,
    };
  }

  // Answers can overtake each other: only the latest request's is shown.
  let latest = 0;
  async function load() {
    const asked = params();
    latest += 1;
    const mine = latest;
    let answer;
    try {
      answer = await readJson('ShowAll', 'DataLoad', asked);
    } catch (e) {
      if (mine === latest) onError(e);
      return;
    }
    if (mine !== latest) return;
    if (!answer || !answer.result) {
      onError(new Error('The files could not be read.'));
      return;
    }
    const data = answer.result.data;
    state.shown = { params: asked, crc: String(answer.resultcrc) };
    const rows = data.rows || [];
    // The same rows stay as they are, with an open menu and the keyboard's
    // place; rows drawn anew keep that place on the same control.
    const drawn = JSON.stringify([state.search, rows]);
    if (drawn !== shownRows) {
      shownRows = drawn;
      replaceKeepingFocus(list, rows.map((row) => fileRow(row, act, signs)));
      if (rows.length === 0) {
        list.append(el('li', { class: 'empty', text: answer.searchError || (state.search ? 'No file matches this search.' : 'No files yet.') }));
      }
    }
    const total = Number(answer.totalRows) || 0;
    count.textContent = countText(data.curRowBegin, data.curRowEnd, total, 'file', 'files');
    previous.disabled = state.pageNo <= 1;
    next.disabled = Number(data.curRowEnd) >= total;
    pager.hidden = previous.disabled && next.disabled;
    if (onCounted) onCounted({ total, search: state.search }, hidden);
  }

  previous.addEventListener('click', () => { state.pageNo -= 1; load(); });
  next.addEventListener('click', () => { state.pageNo += 1; load(); });
  const search = (force) => {
    const text = searchBox.input.value.trim();
    if (!force && text === state.search) return;
    state.search = text;
    state.pageNo = 1;
    load();
  };
  const searchSoon = debounce(() => search(false), SEARCH_PAUSE);
  searchBox.input.addEventListener('input', searchSoon);
  toolbar.addEventListener('submit', (event) => {
    event.preventDefault();
    searchSoon.cancel();
    search(true);
  });
  const resort = () => {
    state.sortKey = sortBy.input.value;
    state.sortOrder = order.input.value;
    state.pageNo = 1;
    load();
  };
  sortBy.input.addEventListener('change', resort);
  order.input.addEventListener('change', resort);

  let stopWatch = null;
  return {
    element: el('div', {}, compact ? null : toolbar, count, hidden, list, pager),
    load,
    // The side bar's search: the correspondent's address.
    show(search) {
      state.search = search;
      state.pageNo = 1;
      searchBox.input.value = search;
      return load();
    },
    watch() {
      if (!stopWatch) stopWatch = watchList('file', () => state.shown, load);
    },
    unwatch() {
      if (stopWatch) stopWatch();
      stopWatch = null;
    },
  };
}
