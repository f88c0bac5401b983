// The points of one graph at the times their samples were taken, each time once, from the published window and the live feed.
(function (root) {
  'use strict';

  // Returns the timeline of a graph whose samples come every interval
  // seconds. Times are seconds since the Epoch on the host's clock.
  function timeline(interval) {
    let xs = [], ys = [];

    // Index of the first point at or after time t.
    function at(t) {
      let lo = 0, hi = xs.length;
      while (lo < hi) {
        const mid = (lo + hi) >> 1;
        if (xs[mid] < t) lo = mid + 1;
        else hi = mid;
      }
      return lo;
    }

    return {
      // Sets the sample of time t to value; returns whether t is later than
      // every point held before.
      put(t, value) {
        const n = xs.length;
        if (n === 0 || t > xs[n - 1]) {
          xs.push(t);
          ys.push(value);
          return true;
        }
        const i = at(t);
        if (xs[i] === t) ys[i] = value;
        else {
          xs.splice(i, 0, t);
          ys.splice(i, 0, value);
        }
        return false;
      },
      // Takes the points of a published window (times ascending); returns
      // how many were new to this timeline.
      merge(txs, tys) {
        let added = 0;
        for (let i = 0; i < txs.length; i++) {
          const n = xs.length;
          if (n && txs[i] <= xs[n - 1] && xs[at(txs[i])] === txs[i]) continue;
          this.put(txs[i], tys[i]);
          added++;
        }
        return added;
      },
      // The latest point as {t, value}, or null when there is none.
      last() { return xs.length ? { t: xs[xs.length - 1], value: ys[ys.length - 1] } : null; },
      // The points of the span seconds up to end, oldest first, with a null
      // value between two points more than two intervals apart, so that a
      // chart shows the gap; older points are forgotten. Returns {xs, ys}.
      window(end, span) {
        const first = at(end - span);
        xs = xs.slice(first);
        ys = ys.slice(first);
        const wx = [], wy = [];
        for (let i = 0; i < xs.length; i++) {
          if (i > 0 && xs[i] - xs[i - 1] > 2 * interval) {
            wx.push(xs[i - 1] + interval);
            wy.push(null);
          }
          wx.push(xs[i]);
          wy.push(ys[i]);
        }
        return { xs: wx, ys: wy };
      },
    };
  }

  const api = { timeline };
  if (typeof module === 'object' && module.exports) module.exports = api;
  else root.traxel_timeline = api;
})(this);
