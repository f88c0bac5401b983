// What the browser tests share: their tally of checks, a short GET, traffic, the browser and the page's graph data.
'use strict';
const http = require('node:http');
const { chromium } = require('playwright-core');

const tally = { passed: 0, failed: 0 };

// Counts and prints one check, with detail when it failed.
function check(name, ok, detail) {
  if (ok) tally.passed++;
  else tally.failed++;
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${name}${ok ? '' : `: ${detail}`}`);
}

// Answers {status, body} of GET url, or rejects with the reason within 5 s.
function get(url) {
  return new Promise((resolve, reject) => {
    const req = http.get(url, { timeout: 5000 }, (res) => {
      let body = '';
      res.setEncoding('utf8');
      res.on('data', (c) => { body += c; });
      res.on('end', () => resolve({ status: res.statusCode, body }));
    });
    req.on('timeout', () => req.destroy(new Error('no answer within 5 s')));
    req.on('error', reject);
  });
}

// Loopback traffic: GET url every 100 ms for at most ms, or until the returned function is called.
function start_traffic(url, ms) {
  const started = Date.now();
  const timer = setInterval(() => (Date.now() - started < ms ? get(url).catch(() => {}) : clearInterval(timer)), 100);
  return () => clearInterval(timer);
}

// Starts headless chromium with a new empty profile.
function open_browser() {
  return chromium.launch({
    executablePath: '/usr/bin/chromium', headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
}

// Opens url in a context of its own and waits until the page is ready; script
// errors count as failed checks, and page.requests lists every URL it asked for.
async function open_page(browser, url, viewport) {
  const page = await (await browser.newContext({ viewport })).newPage();
  page.requests = [];
  page.on('request', (r) => page.requests.push(r.url()));
  page.on('pageerror', (err) => check('page runs without script errors', false, err.message));
  await page.goto(url);
  await page.waitForSelector('body[data-ready="yes"]', { timeout: 10000 });
  return page;
}

// The data attributes of every graph section of the page.
function graph_data(page) {
  return page.evaluate(() => [...document.querySelectorAll('section.graph')].map((s) => ({ ...s.dataset })));
}

// Waits up to ms until test (an expression of ds, the sections' data, and
// arg) holds in the page; otherwise fails check what with the data seen.
async function wait_for(page, what, test, arg, ms) {
  try {
    await page.waitForFunction(({ test, arg }) => {
      const ds = [...document.querySelectorAll('section.graph')].map((s) => ({ ...s.dataset }));
      return new Function('ds', 'arg', `return ${test};`)(ds, arg);
    }, { test, arg }, { timeout: ms, polling: 250 });
    return true;
  } catch (err) {
    check(what, false, `not within ${ms / 1000} s: ${JSON.stringify(await graph_data(page))}`);
    return false;
  }
}

// Runs main, then prints the tally under name; exits 0 only when every check passed.
function run_main(name, main) {
  main().then(() => {
    console.log(`${name}: ${tally.passed} passed, ${tally.failed} failed`);
    process.exit(tally.failed === 0 ? 0 : 1);
  }, (err) => {
    console.error(`${name}: ${err.stack || err}`);
    process.exit(1);
  });
}

module.exports = { check, get, start_traffic, open_browser, open_page, graph_data, wait_for, run_main };
