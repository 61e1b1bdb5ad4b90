// What an account's error text means for the user. The program keeps the
// mail library's own words; these say which of the few things went wrong,
// where the setting behind it lives, and keep the library's words as detail.

// The library's texts by kind, tried in order. Sign-in refusals are the
// server's own reply, which servers begin with a response code or phrase.
const KINDS = [
  ['unreachable', /^Can't connect to (.+?),(\d+):/],
  ['unreachable', /^(?:No such host as|Connection failed to) ([^\s,]+)(?:,(\d+))?/],
  ['proxy', /^(?:Could not connect to proxy|Proxy error:|Proxy server type unknown)/i],
  ['signin', /^\[(?:AUTHENTICATIONFAILED|AUTHORIZATIONFAILED|EXPIRED|PRIVACYREQUIRED|CONTACTADMIN)\]/i],
  ['signin', /authentication failed|login failed|invalid credentials|too many login failures|can not authenticate|login disabled|logon failure/i],
  ['broke', /connection (?:broken|lost|reset|closed)|\[CLOSED\]|broken pipe|unexpected (?:proxy )?connection close|server closed/i],
];

// { kind, host, port, detail }: kind is one of unreachable, proxy, signin,
// broke or other; host and port only for unreachable (port may be '').
export function classify(text) {
  const detail = String(text || '').replace(/^\[ERROR\]\s*/, '').trim();
  for (const [kind, pattern] of KINDS) {
    const match = pattern.exec(detail);
    if (!match) continue;
    if (kind === 'unreachable') return { kind, host: match[1], port: match[2] || '', detail };
    return { kind, detail };
  }
  return { kind: 'other', detail };
}

// The server's words without the library's lead-in and the response code
// in brackets.
function serverWords(detail) {
  return detail.replace(/^Can not authenticate to IMAP server:\s*/i, '').replace(/^\[[A-Z-]+\]\s*/, '') || detail;
}

// One sentence (and what to do) for a failed mail connection; `detail` is
// the library's text, shown beside it.
export function explain(text) {
  const c = classify(text);
  switch (c.kind) {
    case 'unreachable':
      return {
        ...c,
        text: `Could not reach the mail server at ${c.host}${c.port ? `:${c.port}` : ''}. `
          + 'Check the network; the server and port are Imap_Host and Imap_Port in postvane.ini.',
      };
    case 'proxy':
      return { ...c, text: 'Could not get through the proxy. Check the proxy under Settings.' };
    case 'signin':
      return { ...c, text: `The mail server refused the sign-in: ${serverWords(c.detail)} Check the address and password.` };
    case 'broke':
      return { ...c, text: 'The connection to the mail server broke. Postvane tries again within a minute.' };
    default:
      return { ...c, text: `The mail server reported: ${c.detail}` };
  }
}

// The first few words of a text, for a one-line summary.
export function firstWords(text, count = 8) {
  const words = String(text || '').trim().split(/\s+/).filter(Boolean);
  return words.length > count ? `${words.slice(0, count).join(' ')}…` : words.join(' ');
}
