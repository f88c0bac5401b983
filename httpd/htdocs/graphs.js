// The graphs page: one live chart per graph of the installation, drawn from the graph's feed stream.
(function () {
  'use strict';

  // A browser opens at most six connections to one server and every feed
  // holds one for good, so only this many feeds start by themselves; the
  // rest wait for a click, leaving a connection for pages and the launcher.
  const max_auto_feeds = 5;
  const limit_style = { max: ['#d62728', [8, 4]], min: ['#2ca02c', [8, 4]], thres: ['#ff7f0e', [3, 3]] };
  const units = { port: 'packets', proto: 'packets', net: 'packets', ip: 'packets', sock: 'new connections' };

  // The page's graphs by name, also for tests: window.traxel.graphs.
  const graphs = {};
  window.traxel = { graphs };

  // Seconds since the Epoch, the x unit of the charts.
  function now() { return Date.now() / 1000; }

  // Inserts a point at its place in time: uPlot needs ascending x, and a
  // reconnect's history falls among the points already drawn.
  function add_point(g, x, value, label) {
    let i = g.xs.length;
    while (i > 0 && g.xs[i - 1] > x) i--;
    g.xs.splice(i, 0, x);
    g.ys.splice(i, 0, value);
    g.labels.splice(i, 0, label);
  }

  // Drops the points that have scrolled out of the window.
  function trim(g, t) {
    let n = 0;
    while (n < g.xs.length && g.xs[n] < t - g.span) n++;
    g.xs.splice(0, n);
    g.ys.splice(0, n);
    g.labels.splice(0, n);
    g.dropped += n;
  }

  // The limits of g announced so far.
  function limit_values(g) {
    return ['max', 'min', 'thres'].map((w) => g.limits[w]).filter((v) => v !== null);
  }

  // Horizontal lines across the whole plot for max, min and thres.
  function draw_limits(g, u) {
    const ctx = u.ctx;
    const { left, width } = u.bbox;
    ctx.save();
    for (const which of ['max', 'min', 'thres']) {
      const v = g.limits[which];
      if (v === null) continue;
      const y = Math.round(u.valToPos(v, 'y', true));
      ctx.strokeStyle = limit_style[which][0];
      ctx.setLineDash(limit_style[which][1]);
      ctx.lineWidth = 1.5 * devicePixelRatio;
      ctx.beginPath();
      ctx.moveTo(left, y);
      ctx.lineTo(left + width, y);
      ctx.stroke();
    }
    ctx.restore();
  }

  // Creates g's chart in its section: the samples as a line with points, the
  // x scale following the window, the y scale holding the limits too.
  function make_plot(g) {
    const opts = {
      width: Math.max(300, g.el.clientWidth - 16),
      height: 220,
      scales: {
        x: { time: true, range: () => [g.shown_at - g.span, g.shown_at] },
        y: {
          range: (u, lo, hi) => {
            const vals = limit_values(g).concat([lo ?? 0, hi ?? 1]);
            const a = Math.min(...vals), b = Math.max(...vals);
            const pad = Math.max(1, (b - a) * 0.08);
            return [Math.min(0, a - pad), b + pad];
          },
        },
      },
      series: [
        // The legend shows the sample's own time, as the daemon labelled it.
        { label: 'sample', value: (u, v, si, idx) => (idx == null ? '--' : g.labels[idx] || '--') },
        { label: g.name, stroke: '#1f5fa8', width: 2, points: { show: true, size: 5 } },
      ],
      axes: [{}, { label: units[g.kind] + ' per 5 s', size: 60 }],
      hooks: { draw: [(u) => draw_limits(g, u)] },
    };
    return new uPlot(opts, [g.xs, g.ys], g.el.querySelector('.plot'));
  }

  // Shows g's data and state on the page and in its data attributes.
  function show(g) {
    g.shown_at = now();
    trim(g, g.shown_at);
    g.plot.setData([g.xs, g.ys]);
    const d = g.el.dataset;
    d.state = g.state;
    d.history = g.history;
    d.live = g.live;
    d.points = g.xs.length;
    d.dropped = g.dropped;
    for (const w of ['max', 'min', 'thres']) d[w] = g.limits[w] === null ? '' : g.limits[w];
    d.lastLabel = g.last ? g.last.label : '';
    d.lastValue = g.last ? g.last.value : '';
    const lim = ['max', 'min', 'thres'].map((w) => `${w} ${g.limits[w] ?? '?'}`).join(', ');
    g.el.querySelector('.limits').textContent = `Limits: ${lim}`;
    g.el.querySelector('.status').textContent = status_text(g);
    g.el.querySelector('.connect').hidden = !(g.state === 'ended' || g.state === 'idle');
    g.el.querySelector('.connect').textContent = g.state === 'idle' ? 'Connect' : 'Reconnect';
  }

  // The line that tells the viewer what g's feed is doing.
  function status_text(g) {
    switch (g.state) {
      case 'idle':
        return 'Not connected: the browser keeps too few connections to feed every graph at once.';
      case 'connecting':
        return 'Waiting for samples: the feed waits for the capture daemon (start it on the launch page if it is not running).';
      case 'live':
        return `Live: last sample ${g.last ? `${g.last.label} = ${g.last.value}` : 'from history'}; ` +
          `history points: ${g.history}, live samples: ${g.live}.`;
      default:
        // A feed that failed before its first point tells why in its last
        // line; one that streamed ends by the kill of a newer feed or by the
        // daemon closing the pipe, and its stray lines are no explanation.
        if (g.conn_points === 0 && g.note)
          return `The feed ended before any sample. It said: ${g.note}`;
        return 'The feed ended: a newer viewer of this graph took it over, or the capture daemon stopped.' +
          ' Reconnect to take the graph back.';
    }
  }

  // Takes the events of g's feed into its points, limits and note.
  function apply(g, events) {
    for (const e of events) {
      const t = now();
      if (e.type === 'history') {
        add_point(g, t - e.age, e.value, e.label);
        g.history++;
        g.conn_points++;
        g.state = 'live';
      } else if (e.type === 'live') {
        add_point(g, t, e.value, e.label);
        g.live++;
        g.conn_points++;
        g.last = e;
        g.state = 'live';
      } else if (e.type === 'limit') {
        g.limits[e.which] = e.value;
      } else {
        g.note = e.text;
      }
    }
    if (events.length) show(g);
  }

  // Opens g's feed for a full window and follows it until it ends. A feed is
  // never reopened by itself: the newest viewer of a graph owns it.
  async function connect(g) {
    g.state = 'connecting';
    g.note = '';
    g.conn_points = 0;
    show(g);
    const parser = traxel_feed.feed_parser(g.name);
    try {
      const res = await fetch(`cgi-bin/${encodeURIComponent(g.name)}?dhle,60,${g.span}s`, { cache: 'no-store' });
      if (!res.ok) throw new Error(`HTTP ${res.status} ${res.statusText}`);
      const reader = res.body.pipeThrough(new TextDecoderStream()).getReader();
      for (;;) {
        const { value, done } = await reader.read();
        if (done) break;
        apply(g, parser.push(value));
      }
      apply(g, parser.end());
    } catch (err) {
      g.note = String(err.message || err);
    }
    g.state = 'ended';
    g.ended++;
    g.el.dataset.ended = g.ended;
    show(g);
  }

  // Adds the section of graph info ({name, kind} of graphs.json) to list;
  // returns its state, not yet connected.
  function add_graph(list, info, span) {
    const el = document.createElement('section');
    el.className = 'graph';
    el.id = `graph-${info.name}`;
    el.dataset.graph = info.name;
    el.innerHTML = '<h2></h2><div class="plot"></div><p class="limits"></p>' +
      '<p class="status"></p><button class="connect" type="button" hidden></button>';
    el.querySelector('h2').textContent = `${info.name} (${info.kind})`;
    list.appendChild(el);
    const g = {
      name: info.name, kind: info.kind, span, el, xs: [], ys: [], labels: [],
      limits: { max: null, min: null, thres: null }, history: 0, live: 0, ended: 0, dropped: 0,
      last: null, note: '', conn_points: 0, state: 'idle', shown_at: now(),
    };
    g.plot = make_plot(g);
    el.querySelector('.connect').addEventListener('click', () => connect(g));
    graphs[g.name] = g;
    return g;
  }

  // Loads the graph list and starts the first feeds.
  async function main() {
    const list = document.getElementById('graphs');
    const note = document.getElementById('page-status');
    let conf;
    try {
      const res = await fetch('graphs.json', { cache: 'no-store' });
      if (!res.ok) throw new Error(`HTTP ${res.status}`);
      conf = await res.json();
    } catch (err) {
      note.textContent = `The list of graphs (graphs.json) could not be loaded: ${err.message || err}`;
      return;
    }
    const span = conf.win * 60;
    note.textContent = `${conf.graphs.length} graphs, window ${conf.win} minutes, one sample every 5 seconds.`;
    conf.graphs.forEach((info, i) => {
      const g = add_graph(list, info, span);
      if (i < max_auto_feeds) connect(g);
      else show(g);
    });
    window.addEventListener('resize', () => {
      for (const g of Object.values(graphs)) g.plot.setSize({ width: Math.max(300, g.el.clientWidth - 16), height: 220 });
    });
    document.body.dataset.ready = 'yes';
  }

  main();
})();
