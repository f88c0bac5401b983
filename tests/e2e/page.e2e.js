// End-to-end test in a real browser of a private 12-graph installation served by its own mini_httpd: the published window drawn at once at its times, every graph live over one connection, units, limits, thresholds, a reload, two viewers, a take-over, a daemon restart, the y range.
//
// Installs the build with DESTDIR under /tmp, starts the daemon (on lo, its
// clock at UTC+5:30 while the browser's is at New York's) and mini_httpd on a
// free port of 127.0.0.1, and removes it all at the end. Needs root
// (capture, and CGI programs run as nobody). Environment: TRAXEL_BUILD_DIR,
// CMAKE_COMMAND, TRAXEL_INSTALL_DIR, TRAXEL_SHOTS, NODE_PATH.
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const http = require('node:http');
const { tally, check, get, free_port, install_private, serve_private, start_daemon, end_private, launch_browser, wait_for } = require('./support.js');

const shots = process.env.TRAXEL_SHOTS || '.';
const id = String(process.pid % 100000).padStart(5, '0');
// The graphs: [name, record after the name, unit expected on the page].
// Port a is the web server's port with a threshold of 1 packet.
function graph_table(port) {
  return [
    [`port${id}a`, `${port} 0 400 1`, 'packets'], [`port${id}b`, '9 0 1000000 800000', 'bits'],
    [`port${id}c`, '7 0 100 50', 'packets'], [`port${id}d`, '13 0 100 50', 'kbits'],
    [`proto${id}a`, '1 0 50 20', 'packets'], [`proto${id}b`, '17 0 50 20', 'kbits'],
    [`sock${id}a`, `${port} 0 40 20`, 'connections'], [`sock${id}b`, '22 0 40 20', 'connections'],
    [`ip${id}a`, '127.0.0.2 0 900 800', 'bits'], [`ip${id}b`, '127.0.0.3 0 900 800', 'packets'],
    // The loopback network as shipped: a maximum of 1 Gbit/s over a test's
    // traffic of some kbit/s.
    [`net${id}a`, '10.0.0.0 255.0.0.0 0 3000 2000', 'packets'], [`net${id}b`, '127.0.0.0 255.0.0.0 0 1000000 800000', 'kbits'],
  ];
}

// The samples of every graph that the page holds, [time, value] pairs by name.
function page_points(page) {
  return page.evaluate(() => Object.fromEntries(Object.values(window.traxel.graphs).map((g) => {
    const w = g.line.window(Date.now() / 1000 + 3600, 1e9);
    return [g.name, w.xs.map((x, i) => [x, w.ys[i]]).filter(([, v]) => v !== null)];
  })));
}

// The published window: its time and the samples of every graph up to upto,
// [time, value] pairs by name.
async function published(base, upto = Infinity) {
  const w = JSON.parse((await get(`${base}window.json`)).body);
  const points = {};
  for (const [name, g] of Object.entries(w.graphs)) {
    points[name] = g.values.map((v, i) => [w.start + i * w.interval, v]).filter(([x, v]) => v !== null && x <= upto);
  }
  return { time: w.time, points };
}

// Checks that the page holds every sample of the published window at its
// time, as soon as its charts on screen are drawn.
async function check_window(page, base, what) {
  await page.waitForSelector('body[data-ready="yes"]', { timeout: 10000 });
  if (!await wait_for(page, what, 'ds.filter((d) => d.draws >= 1).length >= arg', 2, 5000)) return;
  const upto = await page.evaluate(() => window.traxel.shared.time);
  const [have, file] = [await page_points(page), await published(base, upto)];
  const differ = Object.keys(file.points).filter((n) =>
    JSON.stringify(have[n].filter(([x]) => x <= upto)) !== JSON.stringify(file.points[n]));
  const n = Object.values(file.points)[0].length;
  check(what, n >= 3 && differ.length === 0, `${n} times published; differ: ${differ.map((d) => `${d} ${JSON.stringify(have[d])} ${JSON.stringify(file.points[d])}`).join('; ')}`);
}

// Waits for every graph of page to be live with a sample after time t.
function all_live_after(page, what, t, ms) {
  return wait_for(page, what, 'ds.every((d) => d.state === "live" && Number(d.newest) > arg)', t, ms);
}

async function first_look(page, base, table) {
  const names = table.map((g) => g[0]);
  const requests = [];
  page.on('request', (r) => requests.push(r.url()));
  await page.goto(base);
  await check_window(page, base, 'the page draws the published window at once at its times');
  const draws = await page.evaluate(() => [...document.querySelectorAll('section.graph')].map((s) => Number(s.dataset.draws || 0)));
  check('charts off screen are not drawn', draws[0] >= 1 && draws[11] === 0, draws.join(' '));
  check('times are the host\'s', (await page.textContent('#page-status')).endsWith('times are the host\'s (UTC+05:30).'),
    await page.textContent('#page-status'));
  await page.setViewportSize({ width: 1280, height: 2400 });
  const t = Date.now() / 1000;
  if (await all_live_after(page, '12 charts move at once', t, 20000)) {
    check('12 charts move at once', true);
    const feeds = requests.filter((u) => u.includes('/cgi-bin/feeds?'));
    const single = requests.filter((u) => /\/cgi-bin\/(?!feeds\?)/.test(u));
    check('one connection carries every graph, new samples only', feeds.length === 1 && single.length === 0 &&
      feeds[0].includes('feeds?k=0&') && names.every((n) => decodeURIComponent(feeds[0]).includes(n)), requests.join(' '));
  }
  const shown = await page.evaluate(() => [...document.querySelectorAll('section.graph')].map((s) =>
    ({ ...s.dataset, title: s.querySelector('h2').textContent, limits: s.querySelector('.limits').textContent })));
  const want = Object.fromEntries(table.map(([n, r, u]) => [n, { unit: u, lim: r.split(' ').slice(-3) }]));
  check('each chart has its limits and unit', shown.every((d) => {
    const w = want[d.graph];
    return d.unit === w.unit && [d.min, d.max, d.thres].join(' ') === w.lim.join(' ');
  }), JSON.stringify(shown.map((d) => [d.graph, d.unit, d.min, d.max, d.thres])));
  const by = Object.fromEntries(shown.map((d) => [d.graph, d]));
  check('units are read as a person reads them, limits off the chart said so',
    /^Limits: max 1 Mbit\/s( \(off the chart\))?, min 0 bit\/s, threshold 800 kbit\/s( \(off the chart\))?$/.test(by[names[1]].limits) &&
    by[names[3]].title.includes('bit/s') && by[names[6]].title.includes('new connections per 5 s') &&
    by[names[11]].limits === 'Limits: max 1 Gbit/s (off the chart), min 0 bit/s, threshold 800 Mbit/s (off the chart)',
    JSON.stringify([by[names[1]].limits, by[names[3]].title, by[names[6]].title, by[names[11]].limits]));

  // The web server's own traffic puts port a over its threshold of 1.
  if (await wait_for(page, 'a graph over its threshold is marked', `ds.find((d) => d.graph === arg).over === "yes"`, names[0], 15000)) {
    const mark = await page.evaluate((n) => {
      const g = window.traxel.graphs[n];
      const u = g.plot;
      const i = u.data[1].findIndex((v) => v > g.limits.thres);
      const x = Math.round(u.valToPos(u.data[0][i], 'x', true)), y = Math.round(u.valToPos(u.data[1][i], 'y', true));
      return { title: document.title, shown: !g.el.querySelector('.over').hidden, px: [...u.ctx.getImageData(x, y, 1, 1).data] };
    }, names[0]);
    check('over-threshold samples are drawn in the warning colour, and the title counts them',
      mark.shown && /^\(\d+ over threshold\) /.test(mark.title) && Math.abs(mark.px[0] - 0xd8) < 40 && mark.px[1] < 80,
      JSON.stringify(mark));
  }
  // A loopback network of some kbit/s under a maximum of 1 Gbit/s.
  const y = await page.evaluate((n) => {
    const u = window.traxel.graphs[n].plot, top = Math.max(...u.data[1].filter((v) => v !== null));
    return { scale: u.scales.y.max, top, at: (u.valToPos(top, 'y') / u.bbox.height) * devicePixelRatio };
  }, names[11]);
  // Other tests' loopback traffic may add to the test's own.
  check('the y axis of a small signal under a large maximum shows the signal',
    y.top > 0 && y.top < 1000000 / 3 && y.scale < 1000000 && y.scale < 10 * y.top && y.at < 0.5, JSON.stringify(y));
}

// A plain request for one graph takes it over; the page says so, does not
// fight and follows the shared view; the others go on. Taking it back ends
// the plain feed.
async function plain_take_over(page, base, name) {
  let plain_ended = false;
  // The feed ends its CGI header lines with a bare newline, which mini_httpd
  // passes on and node's strict parser refuses.
  const plain = http.get(`${base}cgi-bin/${name}?dhle,60,0s`, { insecureHTTPParser: true }, (res) => { res.resume(); res.on('end', () => { plain_ended = 'end'; }); });
  plain.on('error', (e) => { plain_ended = String(e); });
  if (await wait_for(page, 'the page shows the graph taken over', 'ds.find((d) => d.graph === arg).why === "taken-over"', name, 15000)) {
    const text = await page.textContent(`section[data-graph="${name}"] .status`);
    const live = await page.evaluate(() => Object.values(window.traxel.graphs).filter((g) => g.state === 'live').length);
    check('the page shows the graph taken over, follows the shared view, and the others stay live',
      text.startsWith('Following the shared view: another viewer') && live === 11 && !plain_ended &&
      await page.isVisible(`section[data-graph="${name}"] button.connect`), `${text} / ${live} live / ${plain_ended}`);
    await page.click(`section[data-graph="${name}"] button.connect`);
    if (await all_live_after(page, 'taking it back brings it back', 0, 15000)) {
      await new Promise((r) => setTimeout(r, 500));
      check('taking it back brings it back and ends the other feed', plain_ended, 'plain feed still running');
    }
  }
  plain.destroy();
}

// Two viewers side by side in one picture: the two pages' screenshots.
async function side_by_side(context, a, b, file) {
  const shot = async (p) => `data:image/png;base64,${(await p.screenshot()).toString('base64')}`;
  const [sa, sb] = [await shot(a), await shot(b)];
  const page = await context.newPage();
  await page.setViewportSize({ width: 2 * 640 + 10, height: 1000 });
  await page.setContent(`<body style="margin:0;display:flex;gap:10px;background:#888"><img src="${sa}"><img src="${sb}"></body>`);
  await page.screenshot({ path: file });
  await page.close();
}

async function run(browser, base, table, daemon) {
  const names = table.map((g) => g[0]);
  const context = await browser.newContext({ viewport: { width: 1280, height: 720 } });
  const page = await context.newPage();
  page.on('pageerror', (err) => check('page runs without script errors', false, err.message));
  await first_look(page, base, table);
  await page.screenshot({ path: path.join(shots, 'e2e-page-12.png'), fullPage: true });

  await page.reload();
  await check_window(page, base, 'a reload shows the full window placed at its times');
  await page.screenshot({ path: path.join(shots, 'e2e-page-reload.png'), fullPage: true });

  // A second viewer takes the live feeds; the first follows the shared view.
  await page.setViewportSize({ width: 640, height: 1000 });
  const second = await context.newPage();
  second.on('pageerror', (err) => check('page runs without script errors', false, err.message));
  await second.setViewportSize({ width: 640, height: 1000 });
  await second.goto(base);
  const t = Date.now() / 1000 + 5;
  if (await all_live_after(second, 'two pages open at once both stay current', t, 20000) &&
    await wait_for(page, 'two pages open at once both stay current', 'ds.every((d) => d.why === "taken-over" && Number(d.newest) > arg)', t, 10000)) {
    check('two pages open at once both stay current', true);
    await side_by_side(context, page, second, path.join(shots, 'e2e-page-two-viewers.png'));
  }
  await second.setViewportSize({ width: 1280, height: 2400 });
  await plain_take_over(second, base, names[4]);

  // A feed killed (by an admin, say): its chart follows the shared view
  // and goes live again with no click.
  const killed = Number(fs.readFileSync(`/tmp/${names[2]}.pid`, 'utf8'));
  process.kill(killed, 'SIGKILL');
  const what = 'a feed that ends is followed, then live again with no click';
  if (await wait_for(second, what, 'ds.find((d) => d.graph === arg).why === "ended"', names[2], 10000) &&
    await all_live_after(second, what, Date.now() / 1000, 20000)) check(what, true);

  // A restart: the pages go on without a click.
  await daemon.restart();
  const restarted = Date.now() / 1000;
  if (await all_live_after(second, 'a daemon restart is recovered with no click', restarted, 30000) &&
    await wait_for(page, 'the page that follows goes on after the restart', 'ds.every((d) => Number(d.newest) > arg)', restarted, 10000)) {
    const said = await second.textContent('#live-status');
    check('a daemon restart is recovered with no click, and one line says so', said.startsWith('Live again since '), said);
  }

  const health = await second.evaluate(() => ({ ...document.getElementById('capture-health').dataset, text: document.getElementById('capture-health').textContent }));
  const metrics = await get(`${base}metrics`).catch((e) => ({ status: 0, body: String(e) }));
  const has = metrics.status === 200 && metrics.body.includes('traxel_capture_received_packets_total{');
  check('capture health is shown as /metrics allows', has ? /packets received/.test(health.text) && health.state !== 'unknown'
    : health.state === 'unknown' && health.text.startsWith('Capture health is unknown: '), `${JSON.stringify(health)} metrics ${metrics.status}`);
}

async function main() {
  const port = await free_port();
  const table = graph_table(port);
  const of = (u) => table.filter((g) => g[2] === u).map((g) => g[0]).join(' ');
  const { dest, dir } = install_private(`window 5\n${table.map(([n, r]) => `${n} ${r}`).join('\n')}\n`,
    `unit bits ${of('bits')}\nunit kbits ${of('kbits')}\n`);
  let browser = null;
  let traffic = null;
  try {
    const daemon = start_daemon(dir, 'IST-5:30');
    const base = serve_private(dir, port);
    // Traffic on port a, bounded in time; the daemon publishes three
    // intervals before the first page opens.
    const started = Date.now();
    traffic = setInterval(() => { if (Date.now() - started < 150000) get(`${base}graphs.json`).catch(() => {}); }, 100);
    const third = (Math.floor(Date.now() / 5000) + 4) * 5000 + 1500;
    await new Promise((r) => setTimeout(r, third - Date.now()));
    if (daemon.proc.exitCode !== null) throw new Error(`the daemon ended: ${daemon.err}`);
    browser = await launch_browser('America/New_York');
    await run(browser, base, table, daemon);
  } finally {
    clearInterval(traffic);
    if (browser) await browser.close();
    await end_private(dest, table.map((g) => g[0]));
  }
  console.log(`page e2e: ${tally.passed} passed, ${tally.failed} failed`);
  process.exit(tally.failed === 0 ? 0 : 1);
}

main().catch((err) => {
  console.error(`page e2e: ${err.stack || err}`);
  process.exit(1);
});
