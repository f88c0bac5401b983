// What a person reads on a chart: a y range that shows the samples in view, the limit lines that fit it with their labels kept apart, 24-hour times and ISO dates.
(function (root) {
  'use strict';

  // A limit line is drawn when it is at most this many times the highest
  // sample in view, so that the traffic fills at least a third of the chart.
  const reach = 3;
  const headroom = 1.1;

  // The y range of a chart whose samples in view lie between lo and hi (null
  // when there are none), and which of limits (values, null for unknown) it
  // draws. The range starts at 0 (samples count packets or bits) and ends a
  // little above the highest sample or drawn limit, 1 at least.
  // Returns {range: [bottom, top], drawn: [limits drawn]}.
  function y_range(lo, hi, limits) {
    const high = Math.max(hi ?? 0, 1);
    const bottom = Math.min(lo ?? 0, 0);
    const drawn = limits.filter((v) => v !== null && v >= bottom && v <= high * reach);
    return { range: [bottom, Math.max(high, ...drawn) * headroom], drawn };
  }

  // Tick steps of the y axis: samples are whole numbers, so are the steps.
  const y_steps = [];
  for (let p = 1; p <= 1e15; p *= 10) y_steps.push(p, 2 * p, 5 * p);

  // Baselines for labels h pixels high of lines at heights ys (pixels from
  // the top, in any order), inside [top, bottom]: above its line where that
  // is free, else under it, else null (the text under the chart lists every
  // limit). Labels are placed from the top line down and never overlap.
  function label_rows(ys, h, top, bottom) {
    const taken = [];
    const free = (a, b) => a >= top && b <= bottom && taken.every(([c, d]) => b <= c || a >= d);
    const rows = ys.map(() => null);
    const order = ys.map((y, i) => i).sort((i, j) => ys[i] - ys[j]);
    for (const i of order) {
      for (const base of [ys[i] - 2, ys[i] + h + 2]) {
        if (free(base - h, base)) {
          taken.push([base - h, base]);
          rows[i] = base;
          break;
        }
      }
    }
    return rows;
  }

  // Stamps of a uPlot time axis: 24-hour times, and the date as YYYY-MM-DD
  // under the first tick and under the first tick of a new day.
  const ymd = '{YYYY}-{MM}-{DD}';
  const time_stamps = [
    [86400 * 365, '{YYYY}', null, null, null, null, null, null, 1],
    [86400 * 28, '{YYYY}-{MM}', null, null, null, null, null, null, 1],
    [86400, ymd, null, null, null, null, null, null, 1],
    [60, '{HH}:{mm}', `\n${ymd}`, null, `\n${ymd}`, null, null, null, 1],
    [1, '{HH}:{mm}:{ss}', `\n${ymd}`, null, `\n${ymd}`, null, null, null, 1],
  ];
  // The time of a point in the legend.
  const point_stamp = `${ymd} {HH}:{mm}:{ss}`;

  const api = { y_range, y_steps, label_rows, time_stamps, point_stamp };
  if (typeof module === 'object' && module.exports) module.exports = api;
  else root.traxel_axes = api;
})(this);
