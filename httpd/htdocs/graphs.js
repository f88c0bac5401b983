// The graphs page: every graph of the installation live at once, over one connection to the multiplexed feed (one per per_connection graphs).
(function () {
  'use strict';

  // The seconds between two samples and the most graphs the multiplexed feed
  // serves on one connection: the installation's, from graphs.json.
  let interval, per_connection;
  // A chart is drawn at most once per sample interval (less a second, so that
  // samples a little late still get their own drawing).
  let draw_gap_ms;
  const colors = { line: '#1f5fa8', warn: '#d81b60' };
  const limit_style = { max: ['#d62728', [8, 4]], min: ['#2ca02c', [8, 4]], thres: ['#ff7f0e', [3, 3]] };
  const limit_labels = { max: 'max', min: 'min', thres: 'threshold' };
  const { feed_parser, mux_parser } = traxel_feed;
  const { timeline } = traxel_timeline;
  const units = traxel_units;

  // The page's graphs by name and its connections, also for tests.
  const graphs = {};
  const connections = [];
  window.traxel = { graphs, connections };

  // Seconds since the Epoch, the x unit of the charts.
  function now() { return Date.now() / 1000; }

  function over(g) {
    return g.last !== null && g.limits.thres !== null && g.last.value > g.limits.thres;
  }

  // Stroke and fill of g's samples: the warning colour above the threshold.
  function paint(g, u) {
    // The legend asks before the chart has its box and scale.
    const { top, height } = u.bbox || {};
    const y = g.limits.thres === null || !height ? NaN : u.valToPos(g.limits.thres, 'y', true);
    if (!Number.isFinite(y) || !Number.isFinite(top)) return colors.line;
    const at = Math.min(1, Math.max(0, (y - top) / height));
    const grad = u.ctx.createLinearGradient(0, top, 0, top + height);
    grad.addColorStop(0, colors.warn);
    grad.addColorStop(at, colors.warn);
    grad.addColorStop(at, colors.line);
    grad.addColorStop(1, colors.line);
    return grad;
  }

  // Horizontal lines across the plot for max, min and thres, each labelled
  // with its value in the graph's unit.
  function draw_limits(g, u) {
    const ctx = u.ctx;
    const { left, width } = u.bbox;
    ctx.save();
    ctx.font = `${11 * devicePixelRatio}px sans-serif`;
    ctx.textAlign = 'right';
    for (const which of ['max', 'min', 'thres']) {
      const v = g.limits[which];
      if (v === null) continue;
      const y = Math.round(u.valToPos(v, 'y', true));
      ctx.strokeStyle = ctx.fillStyle = limit_style[which][0];
      ctx.setLineDash(limit_style[which][1]);
      ctx.lineWidth = 1.5 * devicePixelRatio;
      ctx.beginPath();
      ctx.moveTo(left, y);
      ctx.lineTo(left + width, y);
      ctx.stroke();
      ctx.fillText(`${limit_labels[which]} ${units.format(g.unit, v)}`, left + width - 4, y - 3 * devicePixelRatio);
    }
    ctx.restore();
  }

  // Creates g's chart: the samples as a line with points, the x scale
  // following the window, the y scale holding the limits too.
  function make_plot(g) {
    const fmt = (v, bare) => (v == null ? '--' : units.format(g.unit, v, bare));
    const opts = {
      width: Math.max(300, g.el.clientWidth - 16),
      height: 200,
      scales: {
        x: { time: true, range: () => [g.drawn_now - g.span, g.drawn_now] },
        y: {
          range: (u, lo, hi) => {
            const vals = ['max', 'min', 'thres'].map((w) => g.limits[w]).filter((v) => v !== null);
            vals.push(lo ?? 0, hi ?? 1);
            const a = Math.min(...vals), b = Math.max(...vals);
            const pad = Math.max(1, (b - a) * 0.08);
            return [Math.min(0, a - pad), b + pad];
          },
        },
      },
      series: [
        // The legend shows the sample's own time, as the daemon labelled it.
        { label: 'sample', value: (u, v, si, idx) => (idx == null ? '--' : g.labels[idx] || '--') },
        {
          label: g.name, width: 2, value: (u, v) => fmt(v),
          stroke: (u) => paint(g, u),
          points: { show: true, size: 6, fill: (u) => paint(g, u), stroke: (u) => paint(g, u) },
        },
      ],
      axes: [{}, { label: units.axis_title(g.unit, interval), size: 80, values: (u, vals) => vals.map((v) => fmt(v, true)) }],
      hooks: { draw: [(u) => draw_limits(g, u)] },
    };
    return new uPlot(opts, [[], []], g.el.querySelector('.plot'));
  }

  // Draws g's chart from its timeline; the chart is made on its first
  // drawing, so that a page of many graphs makes only those it shows.
  function draw(g) {
    if (!g.plot) g.plot = make_plot(g);
    g.drawn_now = now();
    const w = g.line.window(g.drawn_now, g.span);
    g.labels = w.labels;
    g.dropped += w.dropped;
    g.plot.setData([w.xs, w.ys]);
    g.drawn_at = Date.now();
    g.dirty = false;
    g.draws++;
    const d = g.el.dataset;
    d.points = w.xs.length;
    d.dropped = g.dropped;
    d.draws = g.draws;
  }

  // Draws the charts on screen that are due: new samples and at least one
  // sample interval since their last drawing, or a window that moved on.
  // Charts off screen only forget the points that left the window.
  function draw_due() {
    const t = Date.now();
    for (const g of Object.values(graphs)) {
      if (t - g.drawn_at < (g.dirty ? draw_gap_ms : interval * 1000)) continue;
      if (g.visible) draw(g);
      else if (t - g.drawn_at >= g.span * 1000) {
        g.dropped += g.line.window(t / 1000, g.span).dropped;
        g.drawn_at = t;
      }
    }
  }

  // The line that tells the viewer what g's feed is doing.
  function status_text(g) {
    switch (g.state) {
      case 'connecting':
        return 'Waiting for samples: the feed waits for the capture daemon (start it on the launch page if it is not running).';
      case 'live':
        return `Live: last sample ${g.last ? `${g.last.label} = ${units.format(g.unit, g.last.value)}` : 'from history'}; ` +
          `history points: ${g.history}, live samples: ${g.live}` + (g.lost ? `, lines lost: ${g.lost}.` : '.');
      case 'taken-over':
        return `Taken over by another viewer (feed ${g.how.split(' ')[1] || ''}): this page no longer receives this graph.`;
      default:
        return `The feed ended (${g.how}). Its last line: ${g.last_line || '(none)'}`;
    }
  }

  // Counts the graphs over their threshold in the page's title.
  function show_title() {
    const n = Object.values(graphs).filter(over).length;
    document.title = (n ? `(${n} over threshold) ` : '') + 'traxel: live traffic graphs';
  }

  // Shows g's state in its section and data attributes; the chart itself is
  // drawn by draw_due.
  function show(g) {
    const d = g.el.dataset;
    Object.assign(d, { state: g.state, history: g.history, live: g.live, lost: g.lost, ended: g.ended, over: over(g) ? 'yes' : 'no' });
    for (const w of ['max', 'min', 'thres']) d[w] = g.limits[w] === null ? '' : g.limits[w];
    d.lastLabel = g.last ? g.last.label : '';
    d.lastValue = g.last ? g.last.value : '';
    const lim = ['max', 'min', 'thres'].map((w) => `${limit_labels[w]} ${g.limits[w] === null ? '?' : units.format(g.unit, g.limits[w])}`);
    g.el.querySelector('.limits').textContent = `Limits: ${lim.join(', ')}`;
    g.el.querySelector('.status').textContent = status_text(g);
    g.el.querySelector('.over').hidden = !over(g);
    const button = g.el.querySelector('.connect');
    button.hidden = !(g.state === 'ended' || g.state === 'taken-over');
    button.textContent = g.state === 'taken-over' ? 'Take it back' : 'Reconnect';
  }

  // Takes the events of a line of g's feed into its timeline, limits and state.
  function apply(g, e) {
    const t = now();
    if (e.type === 'history') {
      g.line.history(e.label, e.age, e.value, t);
      g.history++;
      g.state = 'live';
    } else if (e.type === 'rescaling') {
      g.line.rescaling();
    } else if (e.type === 'live') {
      g.line.live(e.label, e.value, t);
      g.live++;
      g.last = e;
      g.state = 'live';
    } else if (e.type === 'limit') {
      g.limits[e.which] = e.value;
    }
    g.dirty = g.dirty || e.type !== 'note';
  }

  // Takes one event of a connection's stream; returns the graph it touched.
  function dispatch(conn, e) {
    const g = graphs[e.graph];
    if (!g || g.conn !== conn) return null;
    if (e.type === 'line') {
      if (e.text !== '') g.last_line = e.text;
      const fe = g.parser.line(e.text);
      if (fe) apply(g, fe);
    } else if (e.type === 'lost') {
      g.lost += e.count;
    } else if (e.type === 'ended') {
      g.state = e.how.startsWith('taken-over') ? 'taken-over' : 'ended';
      g.how = e.how;
      g.ended++;
      g.conn = null;
    }
    return g;
  }

  // Takes the events of a piece of conn's stream and shows each graph they
  // touched once: a burst of history costs one update per graph.
  function take(conn, events) {
    const touched = new Set();
    for (const e of events) touched.add(dispatch(conn, e));
    touched.delete(null);
    for (const g of touched) show(g);
    if (touched.size) show_title();
  }

  // Opens conn's request for its graphs and follows it until it ends or is
  // replaced. A feed is never reopened by itself: the newest viewer of a
  // graph owns it.
  async function open_connection(conn) {
    if (conn.ctrl) conn.ctrl.abort();
    const ctrl = new AbortController();
    conn.ctrl = ctrl;
    conn.opened++;
    for (const name of conn.names) {
      const g = graphs[name];
      Object.assign(g, { conn, state: 'connecting', how: '', last_line: '', parser: feed_parser(name) });
      g.line.begin();
      show(g);
    }
    const mux = mux_parser();
    let why = 'the connection ended';
    try {
      const q = `k=${conn.span}&g=${conn.names.map(encodeURIComponent).join(',')}`;
      const res = await fetch(`cgi-bin/feeds?${q}`, { cache: 'no-store', signal: ctrl.signal });
      if (!res.ok) throw new Error(`HTTP ${res.status}: ${(await res.text()).trim()}`);
      const reader = res.body.pipeThrough(new TextDecoderStream()).getReader();
      for (;;) {
        const { value, done } = await reader.read();
        // A piece read just before the connection was replaced is not its.
        if (done || conn.ctrl !== ctrl) break;
        take(conn, mux.push(value));
      }
      if (conn.ctrl === ctrl) take(conn, mux.end());
    } catch (err) {
      why = String(err.message || err);
    }
    if (conn.ctrl !== ctrl) return;
    for (const name of conn.names) {
      const g = graphs[name];
      if (g.conn !== conn) continue;
      Object.assign(g, { conn: null, state: 'ended', how: why });
      g.ended++;
      show(g);
    }
    show_title();
  }

  // Takes g back from another viewer, or reconnects it: its connection
  // starts again with the graphs it still holds and g.
  function take_back(g) {
    const conn = connections[g.chunk];
    conn.names = conn.all.filter((n) => n === g.name || graphs[n].conn === conn);
    open_connection(conn);
  }

  // Adds the section of graph info ({name, kind, unit} of graphs.json) to list.
  function add_graph(list, info, span, chunk) {
    const el = document.createElement('section');
    el.className = 'graph';
    el.id = `graph-${info.name}`;
    el.dataset.graph = info.name;
    el.innerHTML = '<h2><span class="name"></span> <span class="over" hidden>over threshold</span></h2>' +
      '<div class="plot"></div><p class="limits"></p><p class="status"></p>' +
      '<button class="connect" type="button" hidden></button>';
    const unit = units.unit_of(info);
    el.querySelector('.name').textContent = `${info.name} (${info.kind}, ${units.axis_title(unit, interval)})`;
    el.dataset.unit = unit;
    list.appendChild(el);
    const g = {
      name: info.name, kind: info.kind, unit, span, chunk, el, line: timeline(interval), labels: [],
      limits: { max: null, min: null, thres: null }, history: 0, live: 0, lost: 0, ended: 0, dropped: 0,
      last: null, last_line: '', how: '', state: 'connecting', conn: null, parser: null,
      visible: false, dirty: true, drawn_at: 0, drawn_now: now(), draws: 0, plot: null,
    };
    el.querySelector('.connect').addEventListener('click', () => take_back(g));
    graphs[g.name] = g;
    return g;
  }

  // Charts off screen are not drawn; one that comes into view is drawn at once.
  function watch_visibility() {
    const seen = new IntersectionObserver((entries) => {
      for (const en of entries) {
        const g = graphs[en.target.dataset.graph];
        g.visible = en.isIntersecting;
        if (g.visible && (g.dirty || Date.now() - g.drawn_at >= draw_gap_ms)) draw(g);
      }
    });
    for (const g of Object.values(graphs)) seen.observe(g.el);
  }

  // Shows the capture's packets received and dropped, from /metrics; a
  // warning when drops rose since the last look.
  async function check_health(state) {
    const el = document.getElementById('capture-health');
    let caps;
    try {
      const res = await fetch('metrics', { cache: 'no-store' });
      const text = await res.text();
      if (!res.ok) throw new Error(`${res.status}: ${text.trim().split('\n')[0]}`);
      caps = traxel_metrics.capture_totals(text);
      if (!caps.length) throw new Error('/metrics holds no capture counters');
    } catch (err) {
      el.dataset.state = 'unknown';
      el.textContent = `Capture health is unknown: ${err.message || err}`;
      return;
    }
    const parts = [];
    let rose = 0;
    for (const c of caps) {
      const before = state.dropped.get(c.interface);
      if (before !== undefined && c.dropped > before) rose += c.dropped - before;
      state.dropped.set(c.interface, c.dropped);
      const where = Object.entries(c.where).map(([w, n]) => `${w} ${n}`).join(', ');
      parts.push(`${c.interface}: ${c.received} packets received, ${c.dropped} dropped${where ? ` (${where})` : ''}`);
    }
    el.dataset.state = rose ? 'warn' : 'ok';
    el.textContent = (rose ? `Capture is dropping packets: ${rose} more since the last look. ` : 'Capture ') + parts.join('; ') + '.';
  }

  // Loads the graph list and starts the page's connections, one per per_connection graphs.
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
    ({ interval, per_connection } = conf);
    draw_gap_ms = (interval - 1) * 1000;
    const span = conf.win * 60;
    note.textContent = `${conf.graphs.length} graphs, window ${conf.win} minutes, one sample every ${interval} seconds.`;
    conf.graphs.forEach((info, i) => add_graph(list, info, span, Math.floor(i / per_connection)));
    for (let c = 0; c * per_connection < conf.graphs.length; c++) {
      const all = conf.graphs.slice(c * per_connection, (c + 1) * per_connection).map((i) => i.name);
      connections.push({ all, names: all, span, ctrl: null, opened: 0 });
      open_connection(connections[c]);
    }
    watch_visibility();
    setInterval(draw_due, 250);
    const health = { dropped: new Map() };
    check_health(health);
    setInterval(() => check_health(health), interval * 1000);
    window.addEventListener('resize', () => {
      for (const g of Object.values(graphs)) {
        if (g.plot) g.plot.setSize({ width: Math.max(300, g.el.clientWidth - 16), height: 200 });
        g.dirty = true;
      }
    });
    document.body.dataset.ready = 'yes';
  }

  main();
})();
