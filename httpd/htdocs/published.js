// Reading of window.json, the samples of the last window that the capture daemon publishes each interval for every viewer.
(function (root) {
  'use strict';

  const whole = Number.isInteger;

  // The published window w (window.json parsed) as {time, label, started,
  // graphs}: graphs maps each graph's name to {limits: {max, min, thres},
  // xs, ys}, its samples' times (seconds since the Epoch) and values, a time
  // without a sample (null) left out. Throws on anything else.
  function read_window(w) {
    if (!w || !whole(w.interval) || w.interval <= 0 || !whole(w.start) || !whole(w.time) || w.time < w.start ||
      typeof w.label !== 'string' || typeof w.graphs !== 'object' || w.graphs === null) {
      throw new Error('window.json is not a published window');
    }
    const graphs = new Map();
    for (const [name, g] of Object.entries(w.graphs)) {
      const xs = [], ys = [];
      const values = Array.isArray(g.values) ? g.values : [];
      values.forEach((v, i) => {
        if (Number.isFinite(v)) {
          xs.push(w.start + i * w.interval);
          ys.push(v);
        }
      });
      const limit = (v) => (whole(v) ? v : null);
      graphs.set(name, { limits: { max: limit(g.max), min: limit(g.min), thres: limit(g.thres) }, xs, ys });
    }
    return { time: w.time, label: w.label, started: whole(w.started) ? w.started : null, graphs };
  }

  const api = { read_window };
  if (typeof module === 'object' && module.exports) module.exports = api;
  else root.traxel_published = api;
})(this);
