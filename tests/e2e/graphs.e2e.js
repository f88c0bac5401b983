// End-to-end test in a real browser of the system scripts/serve.sh installed and serves on 127.0.0.1:8080: its port graph live, the launcher.
//
// page.e2e.js tests the page in depth on a private installation; this one the
// installation people use. It fails, not skips, when nothing answers.
// Environment: TRAXEL_URL, TRAXEL_INSTALL_DIR, TRAXEL_SHOTS (where screenshots go), NODE_PATH.
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { check, get, start_traffic, open_browser, open_page, wait_for, run_main } = require('./support.js');

const base = process.env.TRAXEL_URL || 'http://127.0.0.1:8080/';
const install_dir = process.env.TRAXEL_INSTALL_DIR || '/usr/local/traxel';
const shots = process.env.TRAXEL_SHOTS || '.';

// The name of the port graph of the installed configuration that counts the web server's port.
function port_graph(conf) {
  const tokens = fs.readFileSync(path.join(install_dir, 'traxel.cfg'), 'utf8').split(/\s+/);
  const graph = conf.graphs.find((g) => g.kind === 'port' && tokens[tokens.indexOf(g.name) + 1] === '8080');
  if (!graph) throw new Error(`no graph of port 8080 in ${install_dir}/traxel.cfg`);
  return graph.name;
}

// The page takes its graphs over one connection, and the port graph counts
// our traffic in live samples labelled with their time. Samples come every
// 5 s; 45 s leaves room for several on a loaded machine.
async function graphs_page(browser, graph) {
  const page = await open_page(browser, base, { width: 1000, height: 1600 });
  const live = 'ds.some((d) => d.graph === arg && d.state === "live" && Number(d.history) >= 1 && Number(d.live) >= 1 &&' +
    ' /^\\d\\d:\\d\\d:\\d\\d$/.test(d.lastLabel) && Number(d.lastValue) > 0)';
  if (await wait_for(page, 'the port graph counts the traffic live', live, graph, 45000)) {
    check('the port graph counts the traffic live', true);
  }
  const cgi = page.requests.filter((u) => u.includes('/cgi-bin/'));
  check('the page takes every graph over one connection', cgi.length === 1 && cgi[0].includes('/cgi-bin/feeds?'), cgi.join(' '));
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

async function main() {
  const res = await get(`${base}graphs.json`).catch((err) => ({ status: err.message }));
  if (res.status !== 200) {
    throw new Error(`the installed system does not answer at ${base}graphs.json (${res.status}); start it with scripts/serve.sh`);
  }
  const graph = port_graph(JSON.parse(res.body));
  const stop_traffic = start_traffic(`${base}graphs.json`, 240000);
  const browser = await open_browser();
  try {
    await launch(await graphs_page(browser, graph));
  } finally {
    await browser.close();
    stop_traffic();
  }
}

run_main('e2e', main);
