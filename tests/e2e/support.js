// What the browser tests share: their tally of checks and a short GET.
'use strict';
const http = require('node:http');

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

module.exports = { tally, check, get };
