// The mail trend of a contact as a chart. The chart library is loaded on
// first use, from the program like every other script.

let library = null;

function loadLibrary() {
  if (window.uPlot) return Promise.resolve(window.uPlot);
  if (!library) {
    library = new Promise((resolve, reject) => {
      const script = document.createElement('script');
      script.src = 'lib/uPlot.iife.min.js';
      script.onload = () => resolve(window.uPlot);
      script.onerror = () => {
        library = null;
        reject(new Error('The chart could not be loaded.'));
      };
      document.head.append(script);
    });
  }
  return library;
}

// Seconds per bucket and the words for one, by the program's grouping.
const GROUPS = {
  7: { step: 86400, name: 'day' },
  4: { step: 604800, name: 'week' },
  3: { step: 2592000, name: 'month' },
  1: { step: 31536000, name: 'year' },
};

// The buckets run in time order up to now, one step apart.
export function trendSeries(trend) {
  const received = (trend.RecvTrend || []).map(Number);
  const sent = (trend.SentTrend || []).map(Number);
  const count = Math.max(received.length, sent.length);
  const group = GROUPS[trend.GroupType] || GROUPS[7];
  const now = Math.floor(Date.now() / 1000);
  const times = [];
  for (let i = 0; i < count; i += 1) times.push(now - (count - 1 - i) * group.step);
  const pad = (values) => times.map((_, i) => values[i] || 0);
  return { times, received: pad(received), sent: pad(sent), group };
}

// Draws into `target` (emptied first); resolves once drawn. A trend without
// buckets draws nothing.
export async function drawTrend(target, trend) {
  target.replaceChildren();
  const series = trendSeries(trend);
  if (series.times.length === 0) return null;
  const uPlot = await loadLibrary();
  const sum = (values) => values.reduce((a, b) => a + b, 0);
  target.setAttribute('role', 'img');
  target.setAttribute('aria-label',
    `Mails per ${series.group.name}: ${sum(series.received)} received and ${sum(series.sent)} sent.`);
  const width = Math.max(240, Math.floor(target.getBoundingClientRect().width) || 480);
  return new uPlot({
    width,
    height: 200,
    scales: { x: { time: true } },
    legend: { live: false },
    axes: [{}, { label: 'Mails', size: 50 }],
    series: [
      {},
      { label: 'Received', stroke: '#1f5fa8', fill: 'rgba(31, 95, 168, 0.12)', width: 2 },
      { label: 'Sent', stroke: '#d06b00', width: 2 },
    ],
  }, [series.times, series.received, series.sent], target);
}
