// The graphs page: the whole window of every graph at once from the published window, then live over one connection to the multiplexed feed per per_connection graphs; a graph whose live feed is taken over, ends or is refused follows the published window.
(function () {
  'use strict';

  const colors = { line: '#1f5fa8', warn: '#d81b60' };
  const limit_style = { max: ['#d62728', [8, 4]], min: ['#2ca02c', [8, 4]], thres: ['#ff7f0e', [3, 3]] };
  const limit_labels = { max: 'max', min: 'min', thres: 'threshold' };
  const limit_order = ['max', 'min', 'thres'];
  const { feed_parser, mux_parser } = traxel_feed;
  const { timeline } = traxel_timeline;
  const { read_window } = traxel_published;
  const axes = traxel_axes;
  const units = traxel_units;

  // Seconds to wait before each new attempt at a lost live connection; the
  // last one repeats until a feed answers.
  const backoff = [5, 10, 20, 40, 60];
  // A file that does not answer within this long is given up, so that a
  // server that accepts and never answers piles no fetches up.
  const fetch_timeout_ms = 4000;
  // The daemon publishes within a second of each grid time; the page reads
  // the published window this long after it.
  const publish_lag = 1.5;

  // Set from graphs.json: the seconds between two samples, the most graphs
  // per connection, the window in seconds; a chart is drawn at most once per
  // interval (less a second, so that a sample a little late gets its own).
  let interval, per_connection, span, draw_gap_ms;
  let page_shown = false;
  // The page's graphs by name, its connections, the host's clock and what
  // the page knows of the published window; also for tests.
  const graphs = {};
  const connections = [];
  const clock = traxel_clock.host_clock();
  const shared = { available: null, why: '', time: null, wanted: false };
  window.traxel = { graphs, connections, clock, shared };

  const browser_now = () => Date.now() / 1000;
  const host_now = () => clock.now(browser_now());
  const hms_of = uPlot.fmtDate('{HH}:{mm}:{ss}');
  const hms = (t) => hms_of(clock.date(t));

  // Returns a function that runs task, or returns the promise of the run
  // still under way: never two runs at once.
  function single(task) {
    let running = null;
    return () => running || (running = task().finally(() => { running = null; }));
  }

  // The text of url, given up after fetch_timeout_ms; the answer's Date
  // header tells the clock the host's time. Throws with the reason.
  async function fetch_text(url) {
    const ctrl = new AbortController();
    const timer = setTimeout(() => ctrl.abort(), fetch_timeout_ms);
    try {
      const res = await fetch(url, { cache: 'no-cache', signal: ctrl.signal });
      const date = Date.parse(res.headers.get('date') || '');
      if (Number.isFinite(date)) clock.served(date / 1000, browser_now());
      const text = await res.text();
      if (!res.ok) throw new Error(`HTTP ${res.status}: ${text.trim().split('\n')[0]}`);
      return text;
    } catch (err) {
      throw new Error(ctrl.signal.aborted ? `no answer within ${fetch_timeout_ms / 1000} s` : String(err.message || err));
    } finally {
      clearTimeout(timer);
    }
  }

  function over(g) {
    const last = g.line.last();
    return last !== null && g.limits.thres !== null && last.value > g.limits.thres;
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

  // The limit lines that fit the y range across the plot, each labelled with
  // its value in the graph's unit where the label has room.
  function draw_limits(g, u) {
    const ctx = u.ctx;
    const { left, top, width, height } = u.bbox;
    const shown = limit_order.filter((w) => g.limits[w] !== null && g.drawn.includes(g.limits[w]));
    const ys = shown.map((w) => Math.round(u.valToPos(g.limits[w], 'y', true)));
    const rows = axes.label_rows(ys, 11 * devicePixelRatio, top, top + height);
    ctx.save();
    ctx.font = `${11 * devicePixelRatio}px sans-serif`;
    ctx.textAlign = 'right';
    shown.forEach((w, i) => {
      ctx.strokeStyle = ctx.fillStyle = limit_style[w][0];
      ctx.setLineDash(limit_style[w][1]);
      ctx.lineWidth = 1.5 * devicePixelRatio;
      ctx.beginPath();
      ctx.moveTo(left, ys[i]);
      ctx.lineTo(left + width, ys[i]);
      ctx.stroke();
      if (rows[i] !== null) ctx.fillText(`${limit_labels[w]} ${units.format(g.unit, g.limits[w])}`, left + width - 4, rows[i]);
    });
    ctx.restore();
  }

  // Creates g's chart: the samples as a line with points at the host's times
  // of day, the y range following the samples in view.
  function make_plot(g) {
    const fmt = (v, bare) => (v == null ? '--' : units.format(g.unit, v, bare));
    const opts = {
      width: Math.max(300, g.el.clientWidth - 16),
      height: 200,
      tzDate: (t) => clock.date(t),
      scales: {
        x: { time: true, range: () => [g.end - span, g.end] },
        y: {
          range: (u, lo, hi) => {
            const v = axes.y_range(lo, hi, limit_order.map((w) => g.limits[w]));
            g.drawn = v.drawn;
            return v.range;
          },
        },
      },
      series: [
        { label: 'time', value: axes.point_stamp },
        {
          label: g.name, width: 2, value: (u, v) => fmt(v),
          stroke: (u) => paint(g, u),
          points: { show: true, size: 6, fill: (u) => paint(g, u), stroke: (u) => paint(g, u) },
        },
      ],
      axes: [
        { values: axes.time_stamps, space: 80 },
        {
          label: units.axis_title(g.unit, interval), incrs: axes.y_steps,
          size: (u, vals) => (vals ? Math.max(0, ...vals.map((s) => s.length)) * 7 + 30 : 50),
          values: (u, vals) => vals.map((v) => fmt(v, true)),
        },
      ],
      hooks: { draw: [(u) => draw_limits(g, u)] },
    };
    return new uPlot(opts, [[], []], g.el.querySelector('.plot'));
  }

  // Draws g's chart from its timeline, up to the host's time or g's latest
  // sample; the chart is made on its first drawing once the host's clock is
  // known, so that nothing stands at a time not yet known and a page of many
  // graphs makes only the charts it shows.
  function draw(g) {
    if (!g.plot) {
      if (!clock.known()) return;
      g.plot = make_plot(g);
    }
    g.end = Math.max(host_now(), g.line.last()?.t ?? -Infinity);
    const w = g.line.window(g.end, span);
    g.plot.setData([w.xs, w.ys]);
    g.drawn_at = Date.now();
    g.dirty = false;
    g.draws++;
    const d = g.el.dataset;
    d.points = w.ys.filter((v) => v !== null).length;
    d.first = w.xs.length ? w.xs[0] : '';
    d.draws = g.draws;
    show(g);
  }

  // Draws the charts on screen that are due: new samples and at least one
  // sample interval since their last drawing, or a window that moved on.
  // Charts off screen only forget the points that left the window.
  function draw_due() {
    const t = Date.now();
    if (!page_shown && clock.known()) show_page();
    for (const g of Object.values(graphs)) {
      if (t - g.drawn_at < (g.dirty ? draw_gap_ms : interval * 1000)) continue;
      if (g.visible) draw(g);
      else if (t - g.drawn_at >= span * 1000) {
        g.line.window(host_now(), span);
        g.drawn_at = t;
      }
    }
  }

  // The line that tells the viewer where g's samples come from.
  function status_text(g) {
    const last = g.line.last();
    const lost = g.lost ? ` Lines lost: ${g.lost}.` : '';
    switch (g.state) {
      case 'live':
        return (last ? `Live: last sample at ${hms(last.t)}, ${units.format(g.unit, last.value)}.` : 'Live: waiting for the next sample.') + lost;
      case 'following':
        return (g.why === 'taken-over'
          ? 'Following the shared view: another viewer has the live feed of this graph.'
          : 'Following the shared view until the live feed is back.') +
          (shared.available === false ? ` The shared view cannot be read: ${shared.why}.` : '');
      default:
        return g.conn && g.conn.lost_at !== null
          ? 'Following the shared view while the page connects again.'
          : 'Connecting to the live feed: it waits for the capture daemon (start it on the launch page if it is not running).';
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
    const last = g.line.last();
    Object.assign(d, { state: g.state, why: g.why, history: g.history, live: g.live, lost: g.lost, over: over(g) ? 'yes' : 'no' });
    for (const w of limit_order) d[w] = g.limits[w] === null ? '' : g.limits[w];
    d.newest = last ? last.t : '';
    d.lastValue = last ? last.value : '';
    const lim = limit_order.filter((w) => g.limits[w] !== null).map((w) => {
      const off = g.plot && !g.drawn.includes(g.limits[w]) ? ' (off the chart)' : '';
      return `${limit_labels[w]} ${units.format(g.unit, g.limits[w])}${off}`;
    });
    g.el.querySelector('.limits').textContent = lim.length ? `Limits: ${lim.join(', ')}` : '';
    g.el.querySelector('.status').textContent = status_text(g);
    g.el.querySelector('.over').hidden = !over(g);
    g.el.querySelector('.connect').hidden = !(g.state === 'following' && g.why === 'taken-over');
  }

  // Places g's history points held until the host's clock was known.
  function place_pending(g) {
    if (!clock.known()) return;
    for (const p of g.pending) {
      const t = clock.time_of(p.label, p.at);
      if (t !== null) g.line.put(t, p.value);
    }
    g.pending = [];
  }

  // Places a live sample by its label on the host's clock and counts it when
  // it is new; a gap before it is filled from the published window.
  function take_live(g, label, value, now) {
    const prev = g.line.last()?.t ?? null;
    const t = clock.place(label, now, prev, interval);
    if (t === null) return;
    if (!g.line.put(t, value)) return;
    g.live++;
    if (prev !== null && t - prev > 1.5 * interval && shared.available) shared.wanted = true;
  }

  // Takes the events of a line of g's feed into its timeline and limits. Any
  // of them means that the feed has its pipe open: g is live.
  function apply(g, e) {
    const now = browser_now();
    if (e.type === 'note') return;
    if (e.type === 'history') {
      g.pending.push({ label: e.label, value: e.value, at: now });
      g.history++;
    } else if (e.type === 'rescaling') {
      // The point just before was read as the daemon wrote it.
      const p = g.pending[g.pending.length - 1];
      if (p && !clock.known()) clock.guess(p.label, p.at);
    } else if (e.type === 'live') {
      take_live(g, e.label, e.value, now);
    } else if (e.type === 'limit') {
      g.limits[e.which] = e.value;
    }
    place_pending(g);
    if (g.state !== 'live') went_live(g);
    g.dirty = true;
  }

  // Takes one event of a connection's stream; returns the graph it touched.
  function dispatch(conn, e) {
    const g = graphs[e.graph];
    if (!g || g.conn !== conn) return null;
    if (e.type === 'line') {
      const fe = g.parser.line(e.text);
      if (fe) apply(g, fe);
    } else if (e.type === 'lost') {
      g.lost += e.count;
    } else if (e.type === 'ended' && e.how.startsWith('taken-over')) {
      follow(g, 'taken-over');
    } else if (e.type === 'ended') {
      follow(g, 'ended');
      retry(conn);
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

  // g leaves its connection and follows the published window; why is
  // 'taken-over' (another viewer has its feed), 'ended' or 'refused'.
  function follow(g, why) {
    Object.assign(g, { state: 'following', why, conn: null });
    show(g);
  }

  // The one line that says what happened to the live connections.
  function say(text) {
    document.getElementById('live-status').textContent = text;
  }

  // The first feed event of g since its connection opened.
  function went_live(g) {
    const conn = g.conn;
    g.state = 'live';
    if (conn.lost_at !== null) {
      say(`Live again since ${hms(host_now())}, after the live connection was lost at ${hms(conn.lost_at)}.`);
      conn.lost_at = null;
    }
    conn.tries = 0;
  }

  // The graphs of conn that the page wants live: all but those that another
  // viewer took over, and also.
  function wanted(conn, also) {
    return conn.all.filter((n) => n === also || !(graphs[n].state === 'following' && graphs[n].why === 'taken-over'));
  }

  // Opens conn again after the next wait of its backoff, unless an attempt is
  // already due; returns that wait in seconds.
  function retry(conn) {
    if (conn.retry === null) {
      conn.wait = backoff[Math.min(conn.tries++, backoff.length - 1)];
      conn.retry = setTimeout(() => open_connection(conn, wanted(conn)), conn.wait * 1000);
    }
    return conn.wait;
  }

  // After conn ended or failed (why; status, the HTTP status or 0): its
  // graphs follow the published window, and the page tries again with
  // backoff, unless the server asks for credentials the page cannot give.
  function lost(conn, why, status) {
    for (const n of conn.names) if (graphs[n].conn === conn) follow(graphs[n], status ? 'refused' : 'ended');
    show_title();
    if (conn.lost_at === null) conn.lost_at = host_now();
    const what = status ? `The live connection was refused (${why})` : `The live connection ended (${why})`;
    const button = document.getElementById('reconnect');
    if (status === 401 || status === 403) {
      say(`${what} at ${hms(conn.lost_at)}; the charts follow the shared view.`);
      button.hidden = false;
      return;
    }
    say(`${what} at ${hms(conn.lost_at)}; the charts follow the shared view, and the page connects again in ${retry(conn)} s.`);
  }

  // Opens conn's request for the graphs names and follows it until it ends
  // or is replaced. With the published window at hand the feeds send only
  // new samples; without it, their history too.
  async function open_connection(conn, names) {
    clearTimeout(conn.retry);
    conn.retry = null;
    if (conn.ctrl) conn.ctrl.abort();
    if (!names.length) return;
    const ctrl = new AbortController();
    Object.assign(conn, { ctrl, names, opened: conn.opened + 1 });
    document.getElementById('reconnect').hidden = true;
    if (conn.lost_at !== null) say(`The live connection was lost at ${hms(conn.lost_at)}; the charts follow the shared view while the page connects again.`);
    for (const name of names) {
      Object.assign(graphs[name], { conn, state: 'connecting', why: '', parser: feed_parser(name), pending: [] });
      show(graphs[name]);
    }
    const mux = mux_parser();
    let why = 'the feeds ended: the capture daemon stopped or restarted', status = 0;
    try {
      const k = shared.available ? 0 : span;
      const res = await fetch(`cgi-bin/feeds?k=${k}&g=${names.map(encodeURIComponent).join(',')}`, { cache: 'no-store', signal: ctrl.signal });
      if (!res.ok) {
        status = res.status;
        throw new Error(`HTTP ${res.status}: ${(await res.text()).trim().split('\n')[0]}`);
      }
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
    conn.ctrl = null;
    if (names.some((n) => graphs[n].conn === conn || graphs[n].why === 'ended')) lost(conn, why, status);
  }

  // Takes g back from another viewer: its connection starts again with the
  // graphs the page wants live and g.
  function take_back(g) {
    const conn = connections[g.chunk];
    open_connection(conn, wanted(conn, g.name));
  }

  // Takes the published window, the text answered (or the failure thrown)
  // by read, into every graph: its limits until the feed tells them, its
  // samples, the host's clock.
  async function take_shared(read) {
    let w;
    try {
      w = read_window(JSON.parse(await read));
    } catch (err) {
      Object.assign(shared, { available: false, why: err.message });
      return;
    }
    clock.sync(w.time, w.label);
    Object.assign(shared, { available: true, why: '', time: w.time });
    for (const g of Object.values(graphs)) {
      const p = w.graphs.get(g.name);
      if (!p) continue;
      for (const k of limit_order) if (g.limits[k] === null) g.limits[k] = p.limits[k];
      if (g.line.merge(p.xs, p.ys)) g.dirty = true;
      place_pending(g);
      show(g);
    }
    show_title();
  }
  const read_shared = single(() => take_shared(fetch_text('window.json')));

  // Reads the published window once an interval, a little after the daemon
  // published it, when a graph is not live or a live one missed samples.
  function follow_shared() {
    const t = host_now();
    const next = Math.ceil((t - publish_lag) / interval) * interval + publish_lag;
    setTimeout(() => {
      if (shared.wanted || Object.values(graphs).some((g) => g.state !== 'live')) {
        shared.wanted = false;
        read_shared();
      }
      follow_shared();
    }, Math.max(0.5, next - t) * 1000);
  }

  // Adds the section of graph info ({name, kind, unit} of graphs.json) to list.
  function add_graph(list, info, chunk) {
    const el = document.createElement('section');
    el.className = 'graph';
    el.id = `graph-${info.name}`;
    el.dataset.graph = info.name;
    el.innerHTML = '<h2><span class="name"></span> <span class="over" hidden>over threshold</span></h2>' +
      '<div class="plot"></div><p class="limits"></p><p class="status"></p>' +
      '<button class="connect" type="button" hidden>Take it back</button>';
    const unit = units.unit_of(info);
    el.querySelector('.name').textContent = `${info.name} (${info.kind}, ${units.axis_title(unit, interval)})`;
    el.dataset.unit = unit;
    list.appendChild(el);
    const g = {
      name: info.name, kind: info.kind, unit, chunk, el, line: timeline(interval), pending: [],
      limits: { max: null, min: null, thres: null }, drawn: [], history: 0, live: 0, lost: 0,
      state: 'connecting', why: '', conn: null, parser: null,
      visible: false, dirty: true, drawn_at: 0, end: 0, draws: 0, plot: null,
    };
    el.querySelector('.connect').addEventListener('click', () => take_back(g));
    graphs[g.name] = g;
    show(g);
  }

  // Charts off screen are not drawn; one that comes into view is drawn at
  // once. Those in view at the start are known at once, since the observer
  // tells of them only after the next frame.
  function watch_visibility() {
    for (const g of Object.values(graphs)) {
      const r = g.el.getBoundingClientRect();
      g.visible = r.bottom > 0 && r.top < window.innerHeight;
    }
    const seen = new IntersectionObserver((entries) => {
      for (const en of entries) {
        const g = graphs[en.target.dataset.graph];
        g.visible = en.isIntersecting;
        if (g.visible && (g.dirty || Date.now() - g.drawn_at >= draw_gap_ms)) draw(g);
      }
    });
    for (const g of Object.values(graphs)) seen.observe(g.el);
  }

  // Says what the page shows, once the host's clock is known.
  function show_page() {
    const n = Object.keys(graphs).length;
    document.getElementById('page-status').textContent = `${n} graphs, window ${span / 60} minutes, one sample every ` +
      `${interval} seconds; times are the host's (${clock.zone()}).`;
    page_shown = true;
  }

  // Shows the capture's packets received and dropped, from /metrics; a
  // warning when drops rose since the last look or when the daemon has
  // published nothing for some intervals.
  const health = { dropped: new Map() };
  const check_health = single(async () => {
    const el = document.getElementById('capture-health');
    let caps, last;
    try {
      const text = await fetch_text('metrics');
      caps = traxel_metrics.capture_totals(text);
      last = traxel_metrics.sample_time(text);
      if (!caps.length) throw new Error('/metrics holds no capture counters');
    } catch (err) {
      el.dataset.state = 'unknown';
      el.textContent = `Capture health is unknown: ${err.message || err}`;
      return;
    }
    if (last !== null && clock.known() && host_now() - last > 3 * interval) {
      el.dataset.state = 'warn';
      el.textContent = `The capture daemon has published nothing since ${hms(last)}: it is not running (start it on the launch page).`;
      return;
    }
    const parts = [];
    let rose = 0;
    for (const c of caps) {
      const before = health.dropped.get(c.interface);
      if (before !== undefined && c.dropped > before) rose += c.dropped - before;
      health.dropped.set(c.interface, c.dropped);
      const where = Object.entries(c.where).map(([w, n]) => `${w} ${n}`).join(', ');
      parts.push(`${c.interface}: ${c.received} packets received, ${c.dropped} dropped${where ? ` (${where})` : ''}`);
    }
    el.dataset.state = rose ? 'warn' : 'ok';
    el.textContent = (rose ? `Capture is dropping packets: ${rose} more since the last look. ` : 'Capture ') + parts.join('; ') + '.';
  });

  // Loads the graph list, draws the published window and starts the page's
  // connections, one per per_connection graphs.
  async function main() {
    const list = document.getElementById('graphs');
    const note = document.getElementById('page-status');
    // The published window is asked for at once, drawn once the graphs are laid out.
    const first = fetch_text('window.json');
    first.catch(() => {});
    let conf;
    try {
      conf = JSON.parse(await fetch_text('graphs.json'));
    } catch (err) {
      note.textContent = `The list of graphs (graphs.json) could not be loaded: ${err.message || err}`;
      return;
    }
    ({ interval, per_connection } = conf);
    draw_gap_ms = (interval - 1) * 1000;
    span = conf.win * 60;
    note.textContent = `${conf.graphs.length} graphs, window ${conf.win} minutes, one sample every ${interval} seconds.`;
    conf.graphs.forEach((info, i) => add_graph(list, info, Math.floor(i / per_connection)));
    watch_visibility();
    await take_shared(first);
    for (const g of Object.values(graphs)) if (g.visible) draw(g);
    // The charts are on screen before the feeds' first lines come, which may
    // be a whole window waiting in every pipe (a page that is not shown gets
    // no frame, hence the time limit).
    await new Promise((r) => {
      requestAnimationFrame(() => setTimeout(r));
      setTimeout(r, 200);
    });
    for (let c = 0; c * per_connection < conf.graphs.length; c++) {
      const all = conf.graphs.slice(c * per_connection, (c + 1) * per_connection).map((i) => i.name);
      connections.push({ all, names: [], ctrl: null, opened: 0, tries: 0, wait: 0, retry: null, lost_at: null });
      open_connection(connections[c], all);
    }
    document.getElementById('reconnect').addEventListener('click', () => {
      for (const conn of connections) open_connection(conn, wanted(conn));
    });
    setInterval(draw_due, 250);
    follow_shared();
    check_health();
    setInterval(check_health, interval * 1000);
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
