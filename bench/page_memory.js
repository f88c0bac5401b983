// Page benchmark in the real browser: the page's memory after an hour open with the daemon restarted twice, against its memory when its window was first full.
//
// Usage: node bench/page_memory.js [--minutes M] [--graphs N] [--win MINUTES]
// As root, with TRAXEL_BUILD_DIR, CMAKE_COMMAND, TRAXEL_INSTALL_DIR and
// NODE_PATH set as for bench/page_load.js. Installs the build into a tree
// under /tmp with N port graphs (default 50) of the window (default 30
// minutes), runs its daemon on lo and mini_httpd, sends each graph's port a
// few datagrams a second, and keeps the page open for M minutes (default
// 60), restarting the daemon after a third and two thirds of them. Every 5
// minutes it collects the page's garbage and reads its JavaScript heap, DOM
// nodes and event listeners (Chrome's performance metrics). The baseline is
// the heap once the window was first full, the figure the heap at the end;
// all the readings go into a note. Prints the result rows of scripts/bench.sh.
'use strict';
const dgram = require('node:dgram');
const path = require('node:path');
const support = require(path.join(__dirname, '../tests/e2e/support.js'));

const args = process.argv.slice(2);
const opt = (name, dflt) => (args.includes(name) ? Number(args[args.indexOf(name) + 1]) : dflt);
const minutes = opt('--minutes', 60), count = opt('--graphs', 50), win = opt('--win', 30);
const id = String(process.pid % 100000).padStart(5, '0');
const names = Array.from({ length: count }, (_, i) => `port${id}_${String(i).padStart(2, '0')}`);
const first_port = 21000;
const step_min = 5;

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// The page's heap after a garbage collection, with its DOM nodes and listeners.
async function reading(cdp) {
  await cdp.send('HeapProfiler.collectGarbage');
  const { metrics } = await cdp.send('Performance.getMetrics');
  const m = Object.fromEntries(metrics.map((x) => [x.name, x.value]));
  return { heap: m.JSHeapUsedSize, nodes: m.Nodes, listeners: m.JSEventListeners };
}

async function main() {
  const port = await support.free_port();
  const cfg = `window ${win}\n${names.map((n, i) => `${n} ${first_port + i} 0 1000 800`).join('\n')}\n`;
  const { dest, dir } = support.install_private(cfg, 'unit packets\n');
  const daemon = support.start_daemon(dir, process.env.TZ || 'UTC0');
  const base = support.serve_private(dir, port);
  // Loopback datagrams to every graph's port, more to some, until the end.
  const sock = dgram.createSocket('udp4');
  let tick = 0;
  const traffic = setInterval(() => {
    tick++;
    for (let i = 0; i < count; i++) if ((tick + i) % (1 + (i % 7)) === 0) sock.send('traxel', first_port + i, '127.0.0.1');
  }, 200);
  const browser = await support.launch_browser();
  const readings = [];
  try {
    const page = await (await browser.newContext({ viewport: { width: 1280, height: 900 } })).newPage();
    const cdp = await page.context().newCDPSession(page);
    await cdp.send('Performance.enable');
    await page.goto(base);
    await page.waitForSelector('body[data-ready="yes"]');
    const restarts = [minutes / 3, (2 * minutes) / 3].map((m) => Math.round(m));
    for (let m = step_min; m <= minutes; m += step_min) {
      for (let s = m - step_min + 1; s <= m; s++) {
        await sleep(60000);
        if (restarts.includes(s)) await daemon.restart();
      }
      readings.push({ minute: m, ...(await reading(cdp)) });
      console.error(`page_memory: ${JSON.stringify(readings[readings.length - 1])}`);
    }
  } finally {
    clearInterval(traffic);
    sock.close();
    await browser.close();
    await support.end_private(dest, names);
  }
  const full = readings.find((r) => r.minute >= win) || readings[0];
  const end = readings[readings.length - 1];
  const name = `page memory, ${count} graphs of ${win} min, ${minutes} min open, 2 daemon restarts`;
  const kib = (b) => `${(b / 1024).toFixed(0)} KiB`;
  console.log(['row', name, kib(end.heap), `${kib(full.heap)} (window first full)`, (end.heap / full.heap).toFixed(2),
    '<= 1.1x', end.heap <= 1.1 * full.heap ? 'yes' : 'no'].join('\t'));
  console.log(`note\t${name}: minute heap/nodes/listeners ${readings.map((r) => `${r.minute}: ${kib(r.heap)}/${r.nodes}/${r.listeners}`).join(', ')}`);
}

main().catch((err) => {
  console.error(`page_memory: ${err.stack || err}`);
  process.exit(1);
});
