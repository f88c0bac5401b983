// End-to-end test in a real browser of a private 12-graph installation served by its own mini_httpd: every graph live over one connection, history at its true time, units, limits, thresholds, take-over.
//
// Installs the build with DESTDIR under /tmp, starts the daemon (TZ=UTC0, on
// lo) and mini_httpd on a free port of 127.0.0.1, and removes it all at the
// end. Needs root (capture, and CGI programs run as nobody). Environment:
// TRAXEL_BUILD_DIR, CMAKE_COMMAND, TRAXEL_INSTALL_DIR, TRAXEL_SHOTS, NODE_PATH.
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const http = require('node:http');
const net = require('node:net');
const { spawn, spawnSync } = require('node:child_process');
const { chromium } = require('playwright-core');
const { tally, check, get } = require('./support.js');

const build = process.env.TRAXEL_BUILD_DIR;
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
    [`net${id}a`, '10.0.0.0 255.0.0.0 0 3000 2000', 'kbits'], [`net${id}b`, '127.0.0.0 255.0.0.0 0 3000 2000', 'packets'],
  ];
}

function free_port() {
  return new Promise((resolve, reject) => {
    const s = net.createServer().listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    }).on('error', reject);
  });
}

// Installs the build into a new tree below /tmp with the 12 graphs and
// their units; returns the installation directory.
function install(dest, port) {
  const dir = path.join(dest, process.env.TRAXEL_INSTALL_DIR);
  fs.mkdirSync(dir, { recursive: true });
  const table = graph_table(port);
  fs.writeFileSync(path.join(dir, 'traxel.cfg'), `window 5\n${table.map(([n, r]) => `${n} ${r}`).join('\n')}\n`);
  const of = (u) => table.filter((g) => g[2] === u).map((g) => g[0]).join(' ');
  fs.writeFileSync(path.join(dir, 'capture.cfg'), `unit bits ${of('bits')}\nunit kbits ${of('kbits')}\n`);
  // The web server's user must reach the tree; only the new directories.
  for (let d = dir; d.startsWith(dest); d = path.dirname(d)) fs.chmodSync(d, 0o755);
  const r = spawnSync(process.env.CMAKE_COMMAND, ['--install', build], { env: { ...process.env, DESTDIR: dest }, encoding: 'utf8' });
  if (r.status !== 0) throw new Error(`cmake --install: ${r.stdout}${r.stderr}`);
  return dir;
}

// The time a sample label "HH:MM:SS" of the daemon (in UTC) names: the
// moment of that time of day nearest to t.
function label_time(label, t) {
  const [h, m, s] = label.split(':').map(Number);
  const day = Math.floor(t / 86400) * 86400;
  return [day - 86400, day, day + 86400].map((d) => d + h * 3600 + m * 60 + s)
    .reduce((a, b) => (Math.abs(b - t) < Math.abs(a - t) ? b : a));
}

// Waits until test(sections' data, arg) holds in the page, up to ms.
async function wait_for(page, what, test, arg, ms) {
  try {
    await page.waitForFunction(({ test, arg }) => {
      const ds = [...document.querySelectorAll('section.graph')].map((s) => ({ ...s.dataset }));
      return new Function('ds', 'arg', `return ${test};`)(ds, arg);
    }, { test, arg }, { timeout: ms, polling: 250 });
    return true;
  } catch (err) {
    const ds = await page.evaluate(() => [...document.querySelectorAll('section.graph')].map((s) => ({ ...s.dataset })));
    check(what, false, `not within ${ms / 1000} s: ${JSON.stringify(ds)}`);
    return false;
  }
}

async function run(page, base, table) {
  const names = table.map((g) => g[0]);
  const requests = [];
  page.on('request', (r) => requests.push(r.url()));
  page.on('pageerror', (err) => check('page runs without script errors', false, err.message));
  await page.goto(base);
  await page.waitForSelector('body[data-ready="yes"]', { timeout: 10000 });

  // Two samples waited in every pipe: each history ends with RESCALING.
  if (await wait_for(page, 'every graph gets its history', 'ds.length === 12 && ds.every((d) => d.history >= 2 && d.thres !== "")', null, 20000)) {
    const pts = await page.evaluate(() => Object.values(window.traxel.graphs).map((g) => {
      const w = g.line.window(Date.now() / 1000, g.span);
      return w.labels.map((l, i) => [l, w.xs[i]]);
    }));
    const off = pts.flat().map(([l, x]) => x - label_time(l, x));
    check('history is drawn at the time its samples were taken', off.length >= 24 && off.every((d) => d >= -0.5 && d <= 2),
      JSON.stringify(pts[0]) + ` offsets ${off.map((d) => d.toFixed(2)).join(' ')}`);
    const draws = await page.evaluate(() => [...document.querySelectorAll('section.graph')].map((s) => Number(s.dataset.draws || 0)));
    check('charts off screen are not drawn', draws[0] >= 1 && draws[11] === 0, draws.join(' '));
  }
  await page.setViewportSize({ width: 1280, height: 2400 });
  if (await wait_for(page, '12 charts move at once', 'ds.every((d) => d.live >= 1 && d.state === "live")', null, 20000)) {
    check('12 charts move at once', true);
    const feeds = requests.filter((u) => u.includes('/cgi-bin/feeds?'));
    const single = requests.filter((u) => /\/cgi-bin\/(?!feeds\?)/.test(u));
    check('one connection carries every graph', feeds.length === 1 && single.length === 0 &&
      names.every((n) => decodeURIComponent(feeds[0]).includes(n)), requests.join(' '));
  }
  const shown = await page.evaluate(() => [...document.querySelectorAll('section.graph')].map((s) =>
    ({ ...s.dataset, title: s.querySelector('h2').textContent, limits: s.querySelector('.limits').textContent })));
  const want = Object.fromEntries(table.map(([n, r, u]) => [n, { unit: u, lim: r.split(' ').slice(-3) }]));
  check('each chart has its limits and unit', shown.every((d) => {
    const w = want[d.graph];
    return d.unit === w.unit && [d.min, d.max, d.thres].join(' ') === w.lim.join(' ');
  }), JSON.stringify(shown.map((d) => [d.graph, d.unit, d.min, d.max, d.thres])));
  const by = Object.fromEntries(shown.map((d) => [d.graph, d]));
  check('units are read as a person reads them',
    by[names[1]].limits === 'Limits: max 1 Mbit/s, min 0 bit/s, threshold 800 kbit/s' &&
    by[names[3]].title.includes('bit/s') && by[names[6]].title.includes('new connections per 5 s') &&
    by[names[2]].limits === 'Limits: max 100 packets, min 0 packets, threshold 50 packets',
    JSON.stringify([by[names[1]], by[names[3]].title, by[names[6]].title, by[names[2]].limits]));

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
  await page.screenshot({ path: path.join(shots, 'e2e-page-12.png'), fullPage: true });

  // A plain request for one graph takes it over; the page says so and does
  // not fight; the others go on. Taking it back ends the plain feed.
  const other = names[4];
  let plain_ended = false;
  // The feed ends its CGI header lines with a bare newline, which mini_httpd
  // passes on and node's strict parser refuses.
  const plain = http.get(`${base}cgi-bin/${other}?dhle,60,0s`, { insecureHTTPParser: true }, (res) => { res.resume(); res.on('end', () => { plain_ended = 'end'; }); });
  plain.on('error', (e) => { plain_ended = String(e); });
  if (await wait_for(page, 'the page shows the graph taken over', 'ds.find((d) => d.graph === arg).state === "taken-over"', other, 15000)) {
    const text = await page.textContent(`section[data-graph="${other}"] .status`);
    const live = await page.evaluate(() => Object.values(window.traxel.graphs).filter((g) => g.state === 'live').length);
    await page.screenshot({ path: path.join(shots, 'e2e-page-taken-over.png'), fullPage: true });
    check('the page shows the graph taken over, does not fight for it, and the others stay live',
      text.startsWith('Taken over by another viewer') && live === 11 && !plain_ended &&
      await page.isVisible(`section[data-graph="${other}"] button.connect`), `${text} / ${live} live / ${plain_ended}`);
    const history = Number((await page.getAttribute(`section[data-graph="${other}"]`, 'data-history')));
    await page.click(`section[data-graph="${other}"] button.connect`);
    if (await wait_for(page, 'taking it back brings it back', 'ds.every((d) => d.state === "live") && ds.find((d) => d.graph === arg[0]).history > arg[1]',
      [other, history], 15000)) {
      check('taking it back brings it back and ends the other feed', plain_ended, 'plain feed still running');
    }
  }
  plain.destroy();
  const health = await page.evaluate(() => ({ ...document.getElementById('capture-health').dataset, text: document.getElementById('capture-health').textContent }));
  const metrics = await get(`${base}metrics`).catch((e) => ({ status: 0, body: String(e) }));
  const has = metrics.status === 200 && metrics.body.includes('traxel_capture_received_packets_total{');
  check('capture health is shown as /metrics allows', has ? /packets received/.test(health.text) && health.state !== 'unknown'
    : health.state === 'unknown' && health.text.startsWith('Capture health is unknown: '), `${JSON.stringify(health)} metrics ${metrics.status}`);
}

async function main() {
  const port = await free_port();
  const dest = fs.mkdtempSync('/tmp/traxel-page-e2e-');
  const table = graph_table(port);
  const procs = [];
  let browser = null;
  let traffic = null;
  try {
    const dir = install(dest, port);
    const daemon = spawn('./traxel', ['-f', '-i', 'lo'], { cwd: dir, env: { ...process.env, TZ: 'UTC0' }, stdio: ['ignore', 'ignore', 'pipe'] });
    procs.push(daemon);
    let daemon_err = '';
    daemon.stderr.on('data', (c) => { daemon_err += c; });
    procs.push(spawn('/usr/sbin/mini_httpd', ['-D', '-h', '127.0.0.1', '-p', String(port), '-d', path.join(dir, 'httpd/htdocs'),
      '-c', 'cgi-bin/*|metrics', '-u', 'nobody', '-l', path.join(dir, 'mini_httpd.log')], { stdio: 'ignore' }));
    const base = `http://127.0.0.1:${port}/`;
    // Traffic on port a, bounded in time; then two samples wait in each pipe.
    const started = Date.now();
    traffic = setInterval(() => { if (Date.now() - started < 90000) get(`${base}graphs.json`).catch(() => {}); }, 100);
    const second = (Math.floor(Date.now() / 5000) + 2) * 5000 + 700;
    await new Promise((r) => setTimeout(r, second - Date.now()));
    if (daemon.exitCode !== null) throw new Error(`the daemon ended: ${daemon_err}`);
    browser = await chromium.launch({
      executablePath: '/usr/bin/chromium', headless: true,
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    });
    const page = await (await browser.newContext({ viewport: { width: 1280, height: 720 } })).newPage();
    await run(page, base, table);
  } finally {
    clearInterval(traffic);
    if (browser) await browser.close();
    for (const p of procs) p.kill('SIGTERM');
    await new Promise((r) => setTimeout(r, 300));
    for (const [n] of table) fs.rmSync(`/tmp/${n}.pid`, { force: true });
    fs.rmSync(dest, { recursive: true, force: true });
  }
  console.log(`page e2e: ${tally.passed} passed, ${tally.failed} failed`);
  process.exit(tally.failed === 0 ? 0 : 1);
}

main().catch((err) => {
  console.error(`page e2e: ${err.stack || err}`);
  process.exit(1);
});
