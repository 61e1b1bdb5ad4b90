// The list of extracted attachments: search (a leading '-' lists what does
// not match), sorting and paging by the program, and the desktop actions.
import { el, clear, field, formatSize, formatTime, rangeText } from './dom.js';
import { browserName, change, readJson } from './api.js';
import { watchList } from './poll.js';

const SORTS = [
  ['received', 'Date'], ['filename', 'Name'], ['size', 'Size'],
  ['filetype', 'Type'], ['subject', 'Subject'], ['sendername', 'Sender'],
];
const ACTIONS = [['Open', 'Open'], ['OpenWith', 'Open with…'], ['Locate', 'Show in folder'], ['CopyPath', 'Copy path']];

// The picture's address: the program serves the picture folder by path.
function pictureAddress(icon) {
  return `/${icon.split('/').map(encodeURIComponent).join('/')}`;
}

function fileRow(row, onAction) {
  const name = row.filename || '(no name)';
  const picture = row.icon
    ? el('img', { class: 'picture', src: pictureAddress(row.icon), alt: '' })
    : el('span', { class: 'picture badge', 'aria-hidden': 'true', text: (row.filetype || 'file').slice(0, 5) });
  const direction = row.mailtype === '2' ? 'Sent to' : 'From';
  const meta = [formatTime(Number(row.received) * 1000), formatSize(row.size)];
  if (row.sendername) meta.unshift(`${direction} ${row.sendername}`);
  const buttons = ACTIONS.map(([action, label]) => el('button', {
    type: 'button', text: label, 'aria-label': `${label} ${name}`,
    onclick: () => onAction(action, row),
  }));
  return el('li', { class: 'file', 'data-fileid': row.fileid },
    picture,
    el('div', {},
      el('div', { class: 'name', text: name },
        row.isfilemodified === '1' ? el('span', { class: 'badge', text: 'changed' }) : null),
      el('div', { class: 'meta', text: row.subject ? `“${row.subject}”` : '(no subject)' }),
      el('div', { class: 'meta', text: meta.filter(Boolean).join(' · ') })),
    el('div', { class: 'actions' }, buttons));
}

// options: { compact, onError(error), onNote(text) }. compact: the side
// bar's list (no sort controls; the search comes from the caller).
export function createFileList({ compact = false, onError, onNote }) {
  const state = { pageNo: 1, search: '', sortKey: 'received', sortOrder: 'DESC', shown: null };
  const list = el('ul', { class: 'files', 'aria-label': 'Files' });
  const count = el('p', { class: 'count', 'aria-live': 'polite' });
  const previous = el('button', { type: 'button', text: 'Previous page', disabled: true });
  const next = el('button', { type: 'button', text: 'Next page', disabled: true });
  const pager = el('nav', { class: 'pager', 'aria-label': 'File pages' }, previous, count, next);

  const searchBox = field('Search files', el('input', { type: 'search', name: 'search' }),
    { hint: 'Words of a name, subject or address. Start with - to list the files that do not match.' });
  const sortBy = field('Sort by', el('select', { name: 'sortKey' },
    SORTS.map(([key, label]) => el('option', { value: key, text: label }))));
  const order = field('Order', el('select', { name: 'sortOrder' },
    el('option', { value: 'DESC', text: 'Descending' }), el('option', { value: 'ASC', text: 'Ascending' })));
  const toolbar = el('form', { class: 'toolbar', role: 'search' },
    searchBox.row, el('button', { type: 'submit', text: 'Search' }));
  if (!compact) toolbar.append(sortBy.row, order.row);
  sortBy.row.classList.add('narrow');
  order.row.classList.add('narrow');

  async function act(action, row) {
    try {
      await change('ShowAll', action, { fileid: row.fileid });
      if (action === 'CopyPath') onNote(`The path of ${row.filename} is on the clipboard.`);
    } catch (e) {
      onError(e);
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
    clear(list, rows.map((row) => fileRow(row, act)));
    if (rows.length === 0) {
      list.append(el('li', { class: 'empty', text: state.search ? 'No file matches this search.' : 'No files yet.' }));
    }
    const total = Number(answer.totalRows) || 0;
    count.textContent = rangeText(data.curRowBegin, data.curRowEnd, total);
    previous.disabled = state.pageNo <= 1;
    next.disabled = Number(data.curRowEnd) >= total;
  }

  previous.addEventListener('click', () => { state.pageNo -= 1; load(); });
  next.addEventListener('click', () => { state.pageNo += 1; load(); });
  toolbar.addEventListener('submit', (event) => {
    event.preventDefault();
    state.search = searchBox.input.value.trim();
    state.pageNo = 1;
    load();
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
    element: el('div', {}, compact ? null : toolbar, list, pager),
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
