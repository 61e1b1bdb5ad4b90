// Requests to the program. Reads are GETs with the parameters in the
// address; changes are POSTs of a form, so that nothing changes through a
// link. Answers come as JSON, as JSON in parentheses, or as a bare text.

export class ApiError extends Error {}

// The browser's family, which the program reports with its upgrade check.
export const browserName = (() => {
  const agent = navigator.userAgent;
  if (/Edg\//.test(agent)) return 'Edge';
  if (/Firefox\//.test(agent)) return 'Firefox';
  if (/Chromium\//.test(agent)) return 'Chromium';
  if (/Chrome\//.test(agent)) return 'Chrome';
  if (/Safari\//.test(agent)) return 'Safari';
  return 'Other';
})();

function query(object, action, params) {
  const form = new URLSearchParams();
  form.set('_object', object);
  form.set('_action', action);
  for (const [name, value] of Object.entries(params)) {
    if (value !== undefined && value !== null) form.set(name, String(value));
  }
  return form;
}

async function send(request) {
  let response;
  try {
    response = await request();
  } catch (e) {
    const error = new ApiError('Postvane does not answer. Is it still running?');
    error.unreachable = true;
    throw error;
  }
  const text = await response.text();
  if (!response.ok) throw new ApiError(`Postvane refused the request (${response.status}).`);
  // A handler that does not know an action sends the browser to the start page.
  if (response.redirected || text === 'Unable to locate Object Factory') {
    throw new ApiError('This version of Postvane cannot do that yet.');
  }
  return text;
}

export function read(object, action, params = {}) {
  const address = `/?${query(object, action, params)}`;
  return send(() => fetch(address, { cache: 'no-store' }));
}

export function change(object, action, params = {}) {
  return send(() => fetch('/', {
    method: 'POST',
    body: query(object, action, params),
    cache: 'no-store',
  }));
}

// The JSON of an answer, with or without the parentheses some answers
// carry; null for an empty answer.
export function parse(text) {
  let body = text.trim();
  if (body === '') return null;
  if (body.startsWith('(') && body.endsWith(')')) body = body.slice(1, -1);
  try {
    return JSON.parse(body);
  } catch (e) {
    throw new ApiError('Postvane sent an answer this page cannot read.');
  }
}

export async function readJson(object, action, params) {
  return parse(await read(object, action, params));
}

// The answers of saves are "1" for success and "0" for failure.
export async function save(object, action, params, failure) {
  const text = (await change(object, action, params)).trim();
  if (text !== '1') throw new ApiError(failure);
  return text;
}
