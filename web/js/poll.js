// Polling. The program fingerprints every list and status answer
// ("resultcrc"); sent back as "crc", it lets the program answer that
// nothing changed, so an unchanged list is never fetched again.
import { read, parse } from './api.js';

const STATUS_EVERY = 3000;
const LIST_EVERY = 5000;

function repeat(run, every) {
  let timer = 0;
  let stopped = false;
  const tick = async () => {
    try {
      await run();
    } catch (e) {
      // The next tick tries again; the views show their own failures.
    }
    if (!stopped) timer = setTimeout(tick, every);
  };
  tick();
  return () => {
    stopped = true;
    clearTimeout(timer);
  };
}

// Calls onStatus(result) with each changed StatusMessage result and
// onFailure(error) when the program cannot be reached; returns a stop.
export function pollStatus(onStatus, onFailure) {
  let crc = '';
  return repeat(async () => {
    try {
      const answer = parse(await read('ShowAll', 'StatusMessage', { crc }));
      if (answer === null) return;
      crc = String(answer.resultcrc);
      onStatus(answer.result);
    } catch (e) {
      crc = '';
      onFailure(e);
    }
  }, STATUS_EVERY);
}

// Watches one list: `current()` gives { params, crc } of what the page
// shows (null while nothing is shown); `reload()` runs when CheckStatus says
// the list would now read differently. Returns a stop.
export function watchList(type, current, reload) {
  return repeat(async () => {
    const shown = current();
    if (!shown || shown.crc === undefined) return;
    const answer = parse(await read('ShowAll', 'CheckStatus', { ...shown.params, type, crc: shown.crc }));
    if (answer && Number(answer.status) === 1 && current() === shown) await reload();
  }, LIST_EVERY);
}
