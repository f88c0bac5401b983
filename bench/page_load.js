// Page benchmark in the real browser: the time from navigation until every chart in view shows its full window, drawn from the published window, against the same page without it (the feeds' history).
//
// Usage: node bench/page_load.js FEEDER [--runs N] [--graphs N] [--win MINUTES]
// As root, with TRAXEL_BUILD_DIR (a build of the system), CMAKE_COMMAND,
// TRAXEL_INSTALL_DIR and NODE_PATH (the build's web/node_modules) set.
// Installs the build into a tree under /tmp with N port graphs (default 50)
// of the window (default 30 minutes) and serves it with mini_httpd. For each
// run and each way, FEEDER (window_feeder) starts afresh, so that a whole
// window waits in every pipe and, one way, in window.json; a new browser
// context then opens the page, 1280 by 720 pixels, and the time is taken
// from navigation until every chart in view has drawn the whole window (all
// but the oldest sample, which the window may have left), or without
// window.json all that its feed's history gave. Prints the result rows of
// scripts/bench.sh.
'use strict';
const path = require('node:path');
const { spawn } = require('node:child_process');
const support = require(path.join(__dirname, '../tests/e2e/support.js'));

const args = process.argv.slice(2);
const opt = (name, dflt) => (args.includes(name) ? Number(args[args.indexOf(name) + 1]) : dflt);
const feeder = args[0];
const runs = opt('--runs', 5), count = opt('--graphs', 50), win = opt('--win', 30);
const id = String(process.pid % 100000).padStart(5, '0');
const names = Array.from({ length: count }, (_, i) => `port${id}_${String(i).padStart(2, '0')}`);

// Starts the feeder in dir; resolves with its process once it is ready.
function start_feeder(dir, window) {
  return new Promise((resolve, reject) => {
    const p = spawn(feeder, window ? [dir] : [dir, '--no-window'], { stdio: ['ignore', 'pipe', 'inherit'] });
    p.stdout.on('data', (c) => { if (String(c).includes('ready')) resolve(p); });
    p.on('exit', (code) => reject(new Error(`window_feeder ended with ${code}`)));
  });
}

// The milliseconds from navigation, in a new context of browser, until every
// chart in view shows at least full points, or all that its feed's history
// gave (placed once the first live sample came); and the fewest points of a
// chart in view then.
async function load(browser, base, full) {
  const context = await browser.newContext({ viewport: { width: 1280, height: 720 } });
  const page = await context.newPage();
  await page.goto(base);
  const at = await page.waitForFunction((n) => {
    const gs = Object.values(window.traxel.graphs).filter((g) => g.visible);
    const done = gs.length > 0 && gs.every((g) => g.el.dataset.points &&
      (Number(g.el.dataset.points) >= n || (g.live > 0 && g.pending.length === 0)));
    return done && { ms: performance.now(), least: Math.min(...gs.map((g) => Number(g.el.dataset.points))) };
  }, full, { timeout: 30000, polling: 'raf' });
  const got = await at.jsonValue();
  await context.close();
  return got;
}

function median(v) {
  const s = [...v].sort((a, b) => a - b);
  return s.length % 2 ? s[(s.length - 1) / 2] : (s[s.length / 2 - 1] + s[s.length / 2]) / 2;
}

async function main() {
  const port = await support.free_port();
  const cfg = `window ${win}\n${names.map((n, i) => `${n} ${20000 + i} 0 1000 800`).join('\n')}\n`;
  const { dest, dir } = support.install_private(cfg, 'unit packets\n');
  const base = support.serve_private(dir, port);
  const browser = await support.launch_browser();
  const got = { file: [], none: [] };
  try {
    for (let r = 0; r < runs; r++) {
      for (const way of ['file', 'none']) {
        const p = await start_feeder(dir, way === 'file');
        try {
          got[way].push(await load(browser, base, win * 12 - 1));
        } finally {
          p.removeAllListeners('exit');
          p.kill('SIGTERM');
          await new Promise((res) => setTimeout(res, 500));
        }
      }
    }
  } finally {
    await browser.close();
    await support.end_private(dest, names);
  }
  const [f, n] = ['file', 'none'].map((w) => median(got[w].map((g) => g.ms)));
  const name = `page load, ${count} graphs of ${win} min, window in view`;
  console.log(['row', name, `${f.toFixed(0)} ms`, `${n.toFixed(0)} ms (no window.json)`, (f / n).toFixed(2), '< 1 s',
    f < 1000 ? 'yes' : 'no'].join('\t'));
  const runs_of = (w) => got[w].map((g) => `${g.ms.toFixed(0)} ms (${g.least})`).join(', ');
  console.log(`note\t${name}: with window.json ${runs_of('file')}; without ${runs_of('none')}; ` +
    `in brackets the fewest points of a chart in view, of ${win * 12}`);
}

main().catch((err) => {
  console.error(`page_load: ${err.stack || err}`);
  process.exit(1);
});
