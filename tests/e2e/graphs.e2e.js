// End-to-end test in a real browser of the installed system as served: the graphs over one connection, the launcher, and both behind a password.
//
// Needs the system running (scripts/serve.sh; scripts/test.sh serves a
// private one) and fails, not skips, when it does not answer. Environment:
// TRAXEL_URL (default http://127.0.0.1:8080/),
// TRAXEL_INSTALL_DIR (default /usr/local/traxel), TRAXEL_SHOTS (directory of
// the screenshots, default the working directory), NODE_PATH to playwright-core.
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { tally, check, get, launch_browser } = require('./support.js');

const base = process.env.TRAXEL_URL || 'http://127.0.0.1:8080/';
const install_dir = process.env.TRAXEL_INSTALL_DIR || '/usr/local/traxel';
const shots = process.env.TRAXEL_SHOTS || '.';
// Samples come every 5 s; 45 s leaves room for several on a loaded machine.
const sample_wait_ms = 45000;
const traffic_limit_ms = 240000;

// Loopback traffic on the web server's port while the test runs: one small
// request every 100 ms, bounded in time whatever happens to the test.
function start_traffic() {
  const started = Date.now();
  let stopped = false;
  const tick = () => {
    if (stopped || Date.now() - started > traffic_limit_ms) return;
    get(`${base}graphs.json`).catch(() => {}).finally(() => setTimeout(tick, 100));
  };
  tick();
  return () => { stopped = true; };
}

// The numbers of a port graph's record in the installed configuration:
// [port, min, max, thres].
function port_record(name) {
  const tokens = fs.readFileSync(path.join(install_dir, 'traxel.cfg'), 'utf8').split(/\s+/);
  const at = tokens.indexOf(name);
  if (at < 0) throw new Error(`graph ${name} not in ${install_dir}/traxel.cfg`);
  return tokens.slice(at + 1, at + 5).map(Number);
}

// Waits until the graph section's data attributes satisfy test, or throws.
async function wait_graph(page, name, what, test, arg) {
  try {
    await page.waitForFunction(
      ({ name, test, arg }) => {
        const d = document.querySelector(`section[data-graph="${name}"]`)?.dataset;
        return d && new Function('d', 'arg', `return ${test};`)(d, arg);
      },
      { name, test, arg }, { timeout: sample_wait_ms, polling: 250 });
    return true;
  } catch (err) {
    const d = await page.evaluate((n) => ({ ...document.querySelector(`section[data-graph="${n}"]`)?.dataset }), name);
    check(what, false, `${test} not met within ${sample_wait_ms / 1000} s; attributes ${JSON.stringify(d)}`);
    return false;
  }
}

async function graph_data(page, name) {
  return page.evaluate((n) => ({ ...document.querySelector(`section[data-graph="${n}"]`).dataset }), name);
}

async function open_graphs(context) {
  const page = await context.newPage({ viewport: { width: 1000, height: 1600 } });
  page.on('pageerror', (err) => check('page runs without script errors', false, err.message));
  page.cgi = [];
  page.on('request', (r) => { if (r.url().includes('/cgi-bin/')) page.cgi.push(r.url()); });
  await page.goto(base);
  await page.waitForSelector('body[data-ready="yes"]', { timeout: 10000 });
  return page;
}

async function graphs_page(context, graph, limits) {
  const page = await open_graphs(context);
  const [, min, max, thres] = limits;
  if (!await wait_graph(page, graph, 'the window arrives', 'Number(d.points) >= 1 && d.thres !== ""')) return page;
  const d = await graph_data(page, graph);
  check('limit lines are those of the configuration',
    d.max === String(max) && d.min === String(min) && d.thres === String(thres), JSON.stringify(d));
  // Every sample is a point once, in the window and in the past.
  const ages = await page.evaluate((n) => {
    const w = window.traxel.graphs[n].line.window(Date.now() / 1000 + 3600, 1e9);
    return w.xs.filter((x, i) => w.ys[i] !== null).map((x) => Date.now() / 1000 - x);
  }, graph);
  check('points lie in the window, in the past', ages.length >= 1 && new Set(ages).size === ages.length &&
    ages.every((a) => a >= -1 && a <= 300 + 30), ages.join(' '));

  check('the page takes every graph over one connection', page.cgi.length === 1 && page.cgi[0].includes('/cgi-bin/feeds?'), page.cgi.join(' '));
  const live0 = Number(d.live);
  if (await wait_graph(page, graph, 'live points arrive', 'Number(d.live) >= arg', live0 + 1)) {
    const d2 = await graph_data(page, graph);
    check('live points arrive', true);
    const age = Date.now() / 1000 - Number(d2.newest);
    check('a live sample is placed at its time', Number(d2.newest) % 5 === 0 && age > -1 && age < 15, `${d2.newest} ${age}`);
    check('traffic on the port is counted', Number(d2.lastValue) > 0, d2.lastValue);
    check('feed is live', d2.state === 'live', d2.state);
  }
  await page.screenshot({ path: path.join(shots, 'e2e-graphs.png'), fullPage: true });
  return page;
}

const daemon_line = 'traxel: already running in this installation; not started again\n';

// The launch form posts to the launcher; a running daemon makes the second
// one say so on the launcher's output and leave. That line comes before or
// after the launcher's own text, or not at all when the web server ends the
// answer as soon as the launcher exits.
async function launch(page) {
  await page.goto(`${base}launch.html`);
  const posted = page.waitForRequest((r) => r.url() === `${base}cgi-bin/start`, { timeout: 10000 });
  await page.click('#launch button[type="submit"]');
  const req = await posted;
  check('launch form posts url-encoded to the launcher',
    req.method() === 'POST' && req.headers()['content-type'] === 'application/x-www-form-urlencoded',
    `${req.method()} ${req.headers()['content-type']}`);
  await page.waitForSelector('#answer:is([data-state="done"], [data-state="failed"], [data-state="lost"])',
    { timeout: 20000 });
  const state = await page.getAttribute('#answer', 'data-state');
  const answer = await page.textContent('#answer');
  const own = answer.replace(daemon_line, '').replace(daemon_line.trimEnd(), '');
  check('launch page shows the launcher\'s answer', state === 'done' && own === 'traxel &finished!!!',
    `${state} ${JSON.stringify(answer)}`);
  await page.screenshot({ path: path.join(shots, 'e2e-launch.png'), fullPage: true });
}

// With the password file that site.cfg(5) tells the admin to make, the
// launcher and the feeds ask a password and the rest stays open: a viewer
// without one still gets the page, the graph list and /metrics.
async function password(browser, port_graph) {
  const file = path.join(install_dir, 'httpd/cgi-bin/.htpasswd');
  const made = spawnSync('htpasswd', ['-c', '-b', '-B', file, 'admin', 'e2e-secret'], { encoding: 'utf8' });
  if (made.status !== 0) throw new Error(`htpasswd: ${made.stderr}${made.error || ''}`);
  fs.chmodSync(file, 0o644);
  try {
    const open = await Promise.all(['', 'graphs.json', 'metrics'].map((p) => get(`${base}${p}`).then((r) => r.status)));
    const closed = await Promise.all([`cgi-bin/feeds?k=0&g=${port_graph}`, `cgi-bin/${port_graph}?dhle,60,0s`, "cgi-bin/start"]
      .map((p) => get(`${base}${p}`).then((r) => r.status)));
    check('without the password the pages and /metrics answer, the feeds do not',
      open.every((st) => st === 200) && closed.every((st) => st === 401), `${open} ${closed}`);
    const page = await graphs_page(await browser.newContext({ httpCredentials: { username: 'admin', password: 'e2e-secret' } }),
      port_graph, port_record(port_graph));
    await launch(page);
  } finally {
    fs.rmSync(file, { force: true });
  }
}

async function main() {
  let conf;
  try {
    const res = await get(`${base}graphs.json`);
    if (res.status !== 200) throw new Error(`HTTP ${res.status}`);
    conf = JSON.parse(res.body);
  } catch (err) {
    console.error(`e2e: the installed system does not answer at ${base}graphs.json (${err.message});` +
      ' start it with scripts/serve.sh');
    process.exit(1);
  }
  const port = Number(new URL(base).port || 80);
  const port_graph = conf.graphs.find((g) => g.kind === 'port' && port_record(g.name)[0] === port);
  if (!port_graph) throw new Error(`no graph of port ${port} in the installation`);
  const limits = port_record(port_graph.name);

  const stop_traffic = start_traffic();
  const browser = await launch_browser();
  try {
    const page = await graphs_page(await browser.newContext(), port_graph.name, limits);
    await launch(page);
    await page.context().close();
    await password(browser, port_graph.name);
  } finally {
    await browser.close();
    stop_traffic();
  }
  console.log(`e2e: ${tally.passed} passed, ${tally.failed} failed`);
  process.exit(tally.failed === 0 ? 0 : 1);
}

main().catch((err) => {
  console.error(`e2e: ${err.stack || err}`);
  process.exit(1);
});
