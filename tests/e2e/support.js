// What the browser tests and benchmarks share: a tally of checks, a short request, a private installation with its daemon and web server, the browser and a wait on the page's charts.
'use strict';
const fs = require('node:fs');
const http = require('node:http');
const net = require('node:net');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { chromium } = require('playwright-core');

const tally = { passed: 0, failed: 0 };

// Counts and prints one check, with detail when it failed.
function check(name, ok, detail) {
  if (ok) tally.passed++;
  else tally.failed++;
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${name}${ok ? '' : `: ${detail}`}`);
}

// Answers {status, type, body} of GET url (or of a request with options and
// body), or rejects with the reason within 5 s.
function get(url, options = {}, body = null) {
  return new Promise((resolve, reject) => {
    const req = http.request(url, { timeout: 5000, ...options }, (res) => {
      let text = '';
      res.setEncoding('utf8');
      res.on('data', (c) => { text += c; });
      res.on('end', () => resolve({ status: res.statusCode, type: res.headers['content-type'], body: text }));
    });
    req.on('timeout', () => req.destroy(new Error('no answer within 5 s')));
    req.on('error', reject);
    req.end(body);
  });
}

// A TCP port of 127.0.0.1 that nothing listens on.
function free_port() {
  return new Promise((resolve, reject) => {
    const s = net.createServer().listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    }).on('error', reject);
  });
}

// Installs the build (TRAXEL_BUILD_DIR, with CMAKE_COMMAND and DESTDIR) into
// a new tree below /tmp whose traxel.cfg and capture.cfg hold cfg and
// capture, and site.cfg site when given. Returns {dest, dir}: the tree and
// the installation directory in it (TRAXEL_INSTALL_DIR).
function install_private(cfg, capture, site = null) {
  const dest = fs.mkdtempSync('/tmp/traxel-private-');
  const dir = path.join(dest, process.env.TRAXEL_INSTALL_DIR);
  fs.mkdirSync(dir, { recursive: true });
  fs.writeFileSync(path.join(dir, 'traxel.cfg'), cfg);
  fs.writeFileSync(path.join(dir, 'capture.cfg'), capture);
  if (site !== null) fs.writeFileSync(path.join(dir, 'site.cfg'), site);
  // The web server's user must reach the tree; only the new directories.
  for (let d = dir; d.startsWith(dest); d = path.dirname(d)) fs.chmodSync(d, 0o755);
  const r = spawnSync(process.env.CMAKE_COMMAND, ['--install', process.env.TRAXEL_BUILD_DIR],
    { env: { ...process.env, DESTDIR: dest }, encoding: 'utf8' });
  if (r.status !== 0) throw new Error(`cmake --install: ${r.stdout}${r.stderr}`);
  return { dest, dir };
}

// The processes of private installations, ended by end_private.
const procs = [];

// Starts the installation dir's web server on port of 127.0.0.1 as the
// installed configuration does; returns the base URL.
function serve_private(dir, port) {
  procs.push(spawn('/usr/sbin/mini_httpd', ['-D', '-h', '127.0.0.1', '-p', String(port), '-d', path.join(dir, 'httpd/htdocs'),
    '-c', 'cgi-bin/*|metrics', '-u', 'nobody', '-l', path.join(dir, 'mini_httpd.log')], { stdio: 'ignore' }));
  return `http://127.0.0.1:${port}/`;
}

// The installation dir's daemon on lo in the foreground, its clock in time
// zone tz. Returns {proc, err (its standard error so far), restart()}.
function start_daemon(dir, tz) {
  const d = { err: '', proc: null };
  const start = () => {
    d.proc = spawn('./traxel', ['-f', '-i', 'lo'], { cwd: dir, env: { ...process.env, TZ: tz }, stdio: ['ignore', 'ignore', 'pipe'] });
    d.proc.stderr.on('data', (c) => { d.err += c; });
    procs.push(d.proc);
  };
  // Ends the daemon with SIGTERM and starts it again.
  d.restart = async () => {
    const ended = new Promise((r) => d.proc.once('exit', r));
    d.proc.kill('SIGTERM');
    await ended;
    start();
  };
  start();
  return d;
}

// Ends every process started for the installation in dest and removes the
// tree and the pid files of graphs.
async function end_private(dest, graphs) {
  for (const p of procs.splice(0)) p.kill('SIGTERM');
  await new Promise((r) => setTimeout(r, 300));
  for (const n of graphs) fs.rmSync(`/tmp/${n}.pid`, { force: true });
  fs.rmSync(dest, { recursive: true, force: true });
}

// Debian's chromium, headless, with a new empty profile; its clock in time
// zone tz, or the process's.
function launch_browser(tz = process.env.TZ) {
  return chromium.launch({
    executablePath: '/usr/bin/chromium', headless: true, env: tz ? { ...process.env, TZ: tz } : process.env,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
}

// Waits until test, an expression over ds (the data attributes of the
// page's graph sections) and arg, holds in the page, up to ms; otherwise a
// failed check what says what the sections held.
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

module.exports = { tally, check, get, free_port, install_private, serve_private, start_daemon, end_private, launch_browser, wait_for };
