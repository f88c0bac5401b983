// End-to-end test of the shipped configurations of Apache, lighttpd and nginx with fcgiwrap, side by side on one private installation with one daemon.
//
// Installs the build with DESTDIR under /tmp for the web-user www-data, as
// Debian's servers run CGI programs, makes the servers' files for that tree as
// an install does, and starts the daemon (on lo) and private instances of
// Debian's apache2 (mod_cgid), lighttpd, and nginx with fcgiwrap (the
// drop-in's options), each on a free port of 127.0.0.1 and including its file
// as a2enconf, lighty-enable-mod and a server block would. Each server has
// graphs of its own, so that its checks run beside the others': a graph's feed
// brings two live samples; a client that leaves ends that feed, and the
// page's connection with its feed; the page in chromium shows its graphs live
// over one connection; /metrics answers with its type; the launcher answers a
// POST. Needs root. Environment: TRAXEL_BUILD_DIR, CMAKE_COMMAND,
// TRAXEL_INSTALL_DIR, TRAXEL_SOURCE_DIR, TRAXEL_SHOTS, NODE_PATH.
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const http = require('node:http');
const { spawn, spawnSync } = require('node:child_process');
const { tally, check, get, free_port, install_private, start_daemon, end_private, launch_browser, wait_for } = require('./support.js');

const id = String(process.pid % 100000).padStart(5, '0');
const servers = ['apache2', 'lighttpd', 'nginx'];
const sbin = (p) => `/usr/sbin/${p}`;
// Per server: a graph for its feed alone, one for the page's connection, and
// two that its page shows (its graph list is the installation's less the others).
const graphs = Object.fromEntries(servers.map((s) => [s, [1, 2, 3, 4].map((n) => `port${id}${s[0]}${n}`)]));
const all_graphs = Object.values(graphs).flat();
// Apache learns that a client left when its second write after that fails:
// a graph's feed writes samples only, so at the second sample, 10 s at worst;
// the page's connection says something every half interval, so within 5 s.
// Each with a margin for a loaded machine.
const feed_leave_ms = 11000;
const page_leave_ms = 8000;

// Each server's configuration: Debian's own less paths and port, the
// server's graph list in place of the installation's, and the shipped file
// where the admin's tool puts it (w: the server's directory, f: that file).
const mirrors = {
  apache2: (w, port, f) => `ServerRoot /etc/apache2
DefaultRuntimeDir ${w}
PidFile ${w}/apache2.pid
ServerName 127.0.0.1
User www-data
Group www-data
ErrorLog ${w}/error.log
Listen 127.0.0.1:${port}
IncludeOptional mods-enabled/*.load
IncludeOptional mods-enabled/*.conf
<IfModule !cgid_module>
    Include mods-available/cgid.load
    Include mods-available/cgid.conf
</IfModule>
<Directory />
    Require all denied
</Directory>
Alias /traxel/graphs.json ${w}/graphs.json
<Directory ${w}>
    Require all granted
</Directory>
Include ${f}
`,
  lighttpd: (w, port, f) => `server.modules = ("mod_indexfile", "mod_access", "mod_alias", "mod_redirect")
server.document-root = "${w}"
server.errorlog = "${w}/error.log"
server.pid-file = "${w}/lighttpd.pid"
server.username = "www-data"
server.groupname = "www-data"
server.bind = "127.0.0.1"
server.port = ${port}
index-file.names = ("index.php", "index.html")
include_shell "/usr/share/lighttpd/create-mime.conf.pl"
alias.url = ("/traxel/graphs.json" => "${w}/graphs.json")
include "${f}"
server.modules += ("mod_dirlisting", "mod_staticfile")
`,
  nginx: (w, port, f) => `user www-data;
pid ${w}/nginx.pid;
error_log ${w}/error.log;
events {}
http {
    include /etc/nginx/mime.types;
    access_log off;
    gzip on;
    client_body_temp_path ${w}/body;
    fastcgi_temp_path ${w}/fastcgi;
    server {
        listen 127.0.0.1:${port};
        root ${w};
        location = /traxel/graphs.json {
            alias ${w}/graphs.json;
        }
        include ${f};
    }
}
`,
};

// Starts fcgiwrap and the servers of the installation dir, each in a process
// group of its own (pushed on procs); returns each server's URL.
function start_servers(dir, work, procs) {
  const run = (cmd, args, opts = {}) => {
    const p = spawn(cmd, args, { detached: true, stdio: ['ignore', 'ignore', 'pipe'], ...opts });
    p.said = '';
    p.stderr.on('data', (c) => { p.said += c; });
    procs.push(p);
  };
  const opts = /^Environment=DAEMON_OPTS=(.*)$/m.exec(fs.readFileSync(`${dir}/servers/fcgiwrap.conf`, 'utf8'))[1];
  run('setpriv', ['--reuid=www-data', '--regid=www-data', '--init-groups', sbin('fcgiwrap'), ...opts.split(' '),
    '-s', `unix:${work}/fcgiwrap/socket`]);
  const list = JSON.parse(fs.readFileSync(`${dir}/httpd/htdocs/graphs.json`, 'utf8'));
  // nginx reads fastcgi_params beside its configuration, as in /etc/nginx.
  fs.symlinkSync('/etc/nginx/fastcgi_params', `${work}/nginx/fastcgi_params`);
  return Promise.all(servers.map(async (s) => {
    const w = `${work}/${s}`;
    const port = await free_port();
    fs.writeFileSync(`${w}/graphs.json`, JSON.stringify({ ...list, graphs: list.graphs.filter((g) => graphs[s].slice(2).includes(g.name)) }));
    fs.writeFileSync(`${w}/${s}.conf`, mirrors[s](w, port, `${dir}/servers/${s}.conf`));
    return [s, `http://127.0.0.1:${port}/traxel/`];
  })).then((bases) => {
    const env = { ...process.env, APACHE_RUN_DIR: `${work}/apache2`, APACHE_LOCK_DIR: `${work}/apache2`, APACHE_LOG_DIR: `${work}/apache2` };
    run(sbin('apache2'), ['-f', `${work}/apache2/apache2.conf`, '-DFOREGROUND'], { env });
    run(sbin('lighttpd'), ['-D', '-f', `${work}/lighttpd/lighttpd.conf`]);
    run(sbin('nginx'), ['-c', `${work}/nginx/nginx.conf`, '-g', 'daemon off;']);
    return Object.fromEntries(bases);
  });
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const stat = (pid) => fs.readFileSync(`/proc/${pid}/stat`, 'utf8').replace(/^.*\) /s, '').split(' ');
// Whether process pid has ended (gone, or a zombie not yet reaped).
const ended = (pid) => { try { return stat(pid)[0] === 'Z'; } catch { return true; } };

// Streams GET url, each line with its arrival time, until done(lines) holds
// (20 s at most); then takes pids(lines), leaves (closes the connection) and
// waits for those processes to end. Resolves to {status, lines, took}: the
// seconds they took, or null past limit_ms.
function stream_and_leave(url, limit_ms, done, pids) {
  return new Promise((resolve) => {
    const lines = [];
    let rest = '';
    let status = 0;
    let gone = false;
    const req = http.get(url, { agent: false });
    const leave = async () => {
      if (gone) return;
      gone = true;
      clearTimeout(timer);
      const watched = status === 200 ? pids(lines) : [];
      req.destroy();
      const from = Date.now();
      while (!watched.every(ended) && Date.now() - from < limit_ms) await sleep(100);
      resolve({ status, lines, took: watched.length && watched.every(ended) ? (Date.now() - from) / 1000 : null });
    };
    const timer = setTimeout(leave, 20000);
    req.on('response', (res) => {
      status = res.statusCode;
      res.setEncoding('utf8');
      res.on('data', (chunk) => {
        const parts = (rest + chunk).split('\n');
        rest = parts.pop();
        for (const text of parts) lines.push([Date.now(), text]);
        if (done(lines)) leave();
      });
      res.on('end', leave);
    });
    req.on('error', leave);
  });
}

// A graph's feed, then the page's connection: live lines, and their end
// once the client left. Resolves to the seconds each took to end.
async function feeds_leave(s, base) {
  // With no history asked for, the lines waiting in the pipe come at once,
  // the live ones an interval apart.
  const live = (lines) => lines.filter(([t, l]) => l.startsWith('data-') && t - lines[0][0] > 1000);
  const [g1, g2] = graphs[s];
  const one = stream_and_leave(`${base}cgi-bin/${g1}?dhle,60,0s`, feed_leave_ms, (lines) => live(lines).length >= 2,
    (lines) => lines.map(([, l]) => Number((/^MISS-0--pid-(\d+)$/.exec(l) || [])[1])).filter((p) => p > 0));
  const mux = stream_and_leave(`${base}cgi-bin/feeds?k=0&g=${g2}`, page_leave_ms, (lines) => lines.some(([, l]) => l.startsWith(`${g2} data-`)),
    (lines) => lines.map(([, l]) => Number((new RegExp(`^\\+${g2} (\\d+)$`).exec(l) || [])[1])).filter((p) => p > 0)
      .flatMap((p) => [p, Number(stat(p)[1])]));
  const [a, b] = await Promise.all([one, mux]);
  const got = live(a.lines);
  // Written an interval apart, they arrive apart, where a server that held
  // the stream would pass them on together; a loaded machine may delay
  // either by a second or two.
  const gap = got.length === 2 ? got[1][0] - got[0][0] : 0;
  check(`${s}: a graph's feed brings two live samples`, a.status === 200 && gap > 2000 && gap < 8000,
    `status ${a.status}, ${got.length} live lines ${gap} ms apart: ${JSON.stringify(a.lines.map((l) => l[1]))}`);
  check(`${s}: a client that leaves ends the graph's feed within two intervals`, a.took !== null, JSON.stringify(a.lines.slice(0, 3)));
  check(`${s}: a client that leaves ends the page's connection and its feeds within one interval`, b.status === 200 && b.took !== null,
    `status ${b.status}: ${JSON.stringify(b.lines.map((l) => l[1]))}`);
  return [a.took, b.took];
}

// /metrics with its type, window.json through its link to the daemon's
// run/, and the launcher's answer to a POST that it
// refuses, without a body, which Apache would hold or break off when a
// program leaves it unread (a launch would start the daemon of the
// installation built in, not this tree's).
async function files_and_launcher(s, base) {
  const failed = (e) => ({ status: 0, body: String(e) });
  const m = await get(`${base}metrics`).catch(failed);
  check(`${s}: /metrics answers with its type`, m.status === 200 && m.type === 'text/plain; version=0.0.4' &&
    m.body.includes(`traxel_packets_total{graph="${graphs[s][0]}"`), `${m.status} ${m.type}: ${m.body.slice(0, 200)}`);
  const w = await get(`${base}window.json`).catch(failed);
  check(`${s}: window.json is served`, w.status === 200 && w.body.includes(`"${graphs[s][0]}"`), `${w.status}: ${w.body.slice(0, 200)}`);
  const l = await get(`${base}cgi-bin/start`, { method: 'POST', headers: { 'Content-Type': 'text/plain', 'Content-Length': 0 } }, '')
    .catch(failed);
  check(`${s}: the launcher answers`, l.status === 200 && l.body === 'This script can only be used to decode form results. \n',
    `${l.status}: ${JSON.stringify(l.body)}`);
}

// The page: its graphs live over one connection, and the capture's health
// read from /metrics.
async function page_check(browser, s, base) {
  const page = await browser.newPage();
  const requests = [];
  page.on('request', (r) => requests.push(r.url()));
  page.on('pageerror', (err) => check(`${s}: the page runs without script errors`, false, err.message));
  await page.goto(base);
  if (await wait_for(page, `${s}: the page shows its graphs live`,
    'ds.length === 2 && ds.every((d) => d.live >= 1 && d.state === "live")', null, 20000)) {
    check(`${s}: the page shows its graphs live over one connection`,
      requests.filter((u) => u.includes('/cgi-bin/feeds?')).length === 1 && !requests.some((u) => /\/cgi-bin\/(?!feeds\?)/.test(u)),
      requests.join(' '));
    await page.screenshot({ path: path.join(process.env.TRAXEL_SHOTS || '.', `e2e-servers-${s}.png`) });
  }
  const health = await page.waitForFunction(() => document.getElementById('capture-health').dataset.state, null, { timeout: 10000 })
    .then((h) => h.jsonValue(), () => undefined);
  check(`${s}: the page reads /metrics`, health !== undefined && health !== 'unknown', String(health));
  await page.close();
}

async function main() {
  if (process.getuid() !== 0) throw new Error('needs root: the daemon captures and the servers run as www-data');
  const missing = [...servers, 'fcgiwrap'].map(sbin).filter((t) => !fs.existsSync(t));
  if (missing.length > 0) {
    console.log(`servers e2e: ${missing.join(' ')} not installed (Debian packages apache2, lighttpd, nginx-light, fcgiwrap)`);
    process.exit(process.env.TRAXEL_TOOLS_REQUIRED ? 1 : 77);
  }
  const started = Date.now();
  const { dest, dir } = install_private(`window 5\n${all_graphs.map((g, i) => `${g} ${47900 + i} 0 100 50`).join('\n')}\n`,
    'unit packets\n', 'web-user www-data\nboot no\n');
  const work = `${dest}/servers`;
  const procs = [];
  let browser = null;
  try {
    // The servers write here as www-data: fcgiwrap and mod_cgid their
    // sockets, nginx its buffers.
    for (const d of [...servers, 'fcgiwrap', 'apache2/socks']) {
      fs.mkdirSync(`${work}/${d}`, { recursive: true });
      spawnSync('chown', ['www-data:www-data', `${work}/${d}`]);
    }
    // The servers' files as the install made them, but for the tree's place
    // and the private fcgiwrap.
    const made = spawnSync(process.env.CMAKE_COMMAND, [`-DTRAXEL_DIR=${dir}`, `-DTRAXEL_HOME=${dir}`, '-Dsite_listen=127.0.0.1',
      '-Dsite_port=8080', '-Dsite_web_user=www-data', '-Dsite_web_group=www-data', '-Dsite_boot=no', '-Dsite_user=www-data',
      `-Dfcgiwrap_socket=${work}/fcgiwrap/socket`, '-P', `${process.env.TRAXEL_SOURCE_DIR}/dist/site.cmake`],
    { env: { ...process.env, DESTDIR: dir }, encoding: 'utf8' });
    if (made.status !== 0) throw new Error(`site.cmake: ${made.stdout}${made.stderr}`);
    start_daemon(dir);
    const base = await start_servers(dir, work, procs);
    for (const s of servers) {
      let up = false;
      for (let i = 0; i < 50 && !up; i++) {
        up = (await get(`${base[s]}graphs.json`).catch(() => ({}))).status === 200;
        if (!up) await sleep(200);
      }
      check(`${s}: serves the pages`, up, procs.map((p) => p.said).join(''));
    }
    const set_up = Date.now();
    browser = await launch_browser();
    const left = await Promise.all(servers.map(async (s) => {
      const [took] = await Promise.all([feeds_leave(s, base[s]), page_check(browser, s, base[s])]);
      await files_and_launcher(s, base[s]);
      return `${s} ${took.join(' s and ')} s`;
    }));
    console.log(`feeds ended after the client left: ${left.join(', ')}`);
    console.log(`servers e2e: set up in ${(set_up - started) / 1000} s, checked in ${(Date.now() - set_up) / 1000} s`);
  } finally {
    if (browser) await browser.close();
    for (const p of procs) {
      try {
        process.kill(-p.pid, 'SIGTERM');
      } catch {
        // Already gone.
      }
    }
    await end_private(dest, all_graphs);
  }
  console.log(`servers e2e: ${tally.passed} passed, ${tally.failed} failed`);
  process.exit(tally.failed === 0 ? 0 : 1);
}

main().catch((err) => {
  console.error(`servers e2e: ${err.stack || err}`);
  process.exit(1);
});
