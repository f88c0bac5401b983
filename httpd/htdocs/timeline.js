// The points of one graph at the times their samples were taken, from the history and the live samples of its feeds.
(function (root) {
  'use strict';

  const day = 86400;

  // Seconds of the day of a label "HH:MM:SS", or null for any other label.
  function clock_seconds(label) {
    const m = /^(\d\d):(\d\d):(\d\d)$/.exec(label);
    if (!m) return null;
    const [h, mi, s] = [Number(m[1]), Number(m[2]), Number(m[3])];
    return h < 24 && mi < 60 && s < 60 ? h * 3600 + mi * 60 + s : null;
  }

  // Seconds from sample a to the later sample b ({label, age}, age null for
  // a live sample). The labels are the daemon's clock: their difference
  // holds whatever its time zone, and across midnight too. Without two clock
  // labels the feed's ages tell, or one interval for a live sample.
  function spacing(a, b, interval) {
    const sa = clock_seconds(a.label), sb = clock_seconds(b.label);
    if (sa !== null && sb !== null) {
      const d = (sb - sa + day) % day;
      if (d > 0 && d < day / 2) return d;
    }
    if (a.age !== null && b.age !== null && a.age > b.age) return a.age - b.age;
    return interval;
  }

  // Returns the timeline of a graph whose samples come every interval seconds.
  // A feed prints each history point aged by its index from the full window,
  // even when the samples waiting in the pipe ran out sooner, so history is
  // held as a run and placed once its newest point's time is known: the
  // point before a RESCALING line was read the moment the daemon wrote it;
  // else the first live sample after the run arrives one spacing after it.
  // Times are seconds since the Epoch on the browser's clock (t arguments).
  function timeline(interval) {
    let points = [];     // {x, value, label}
    const by_label = new Map();  // clock label -> point, so a sample is drawn once
    let run = [];        // this connection's history not yet placed: {label, age, at, point}

    // A sample already drawn (a feed of another connection sent it) is
    // not drawn again; labels recur only a day later.
    function add(x, value, label) {
      const seen = by_label.get(label);
      if (seen && Math.abs(seen.x - x) < day / 2) return null;
      const p = { x, value, label };
      points.push(p);
      if (clock_seconds(label) !== null) by_label.set(label, p);
      return p;
    }

    // Places the run so that its newest point lies at x, the others before
    // it by their spacing.
    function place(x) {
      for (let i = run.length - 1; i >= 0; i--) {
        if (run[i].point) run[i].point.x = x;
        if (i > 0) x -= spacing(run[i - 1], run[i], interval);
      }
      run = [];
    }

    return {
      // A new feed of the graph starts: history follows.
      begin() { run = []; },
      // A history point aged age seconds by the feed, read at time t.
      history(label, age, value, t) {
        run.push({ label, age, at: t, point: add(t - age, value, label) });
      },
      // The history point just read was the first live sample.
      rescaling() {
        if (run.length) place(run[run.length - 1].at);
      },
      // A live sample read at time t.
      live(label, value, t) {
        if (run.length) place(t - spacing(run[run.length - 1], { label, age: null }, interval));
        add(t, value, label);
      },
      // The points of the last span seconds before now, oldest first; older
      // ones are forgotten. Returns {xs, ys, labels, dropped}.
      window(now, span) {
        const keep = points.filter((p) => p.x >= now - span);
        const dropped = points.length - keep.length;
        for (const p of points) if (p.x < now - span && by_label.get(p.label) === p) by_label.delete(p.label);
        points = keep.sort((a, b) => a.x - b.x);
        return { xs: points.map((p) => p.x), ys: points.map((p) => p.value), labels: points.map((p) => p.label), dropped };
      },
    };
  }

  const api = { timeline, clock_seconds };
  if (typeof module === 'object' && module.exports) module.exports = api;
  else root.traxel_timeline = api;
})(this);
