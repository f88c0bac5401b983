// Tests of the page's feed reader (httpd/htdocs/feed.js) on feed streams as the feed program prints them.
'use strict';
const test = require('node:test');
const assert = require('node:assert');
const path = require('node:path');
const { feed_parser } = require(path.join(__dirname, '../../httpd/htdocs/feed.js'));

// A feed that found a backlog: start-up, history, limits, two live samples.
const backlog_stream = [
  'MISS-300--pid-4242',
  'old-pid-4100',
  'new-pid-4242',
  'SON-300-SEGUNDOS',
  'time1-1796756562',
  'COMI-1-DATO',
  'time2-1796756562',
  'COMI-2do-DATO',
  'PERO-ESTAN-EN-COLA',
  'old-60-data-3',
  '@12:00:00 -300 3',
  'old-59-data-0',
  '@12:00:05 -295 0',
  'old-58-data-12',
  '@12:00:10 -290 12',
  'RESCALING-port8080',
  '^port8080 400',
  '_port8080 0',
  '<port8080 300',
  'data-7',
  '12:05:00 7',
  '',
  'data-0',
  '12:05:05 0',
  '',
].join('\n') + '\n';

const backlog_events = [
  { type: 'history', label: '12:00:00', age: 300, value: 3 },
  { type: 'history', label: '12:00:05', age: 295, value: 0 },
  { type: 'history', label: '12:00:10', age: 290, value: 12 },
  { type: 'limit', which: 'max', value: 400 },
  { type: 'limit', which: 'min', value: 0 },
  { type: 'limit', which: 'thres', value: 300 },
  { type: 'live', label: '12:05:00', value: 7 },
  { type: 'live', label: '12:05:05', value: 0 },
];

// Feeds line by line, in one piece, and in pieces of every size from 1 to 7
// characters: the browser hands the stream over in arbitrary chunks.
function parse_in_chunks(stream, size) {
  const p = feed_parser('port8080');
  const events = [];
  for (let i = 0; i < stream.length; i += size) events.push(...p.push(stream.slice(i, i + size)));
  events.push(...p.end());
  return events;
}

test('BacklogStreamGivesHistoryLimitsAndLiveInOrder', () => {
  for (const size of [backlog_stream.length, 1, 2, 3, 5, 7]) {
    assert.deepStrictEqual(parse_in_chunks(backlog_stream, size), backlog_events, `chunk size ${size}`);
  }
});

test('FirstTimeStreamTreatsSecondSampleAsLive', () => {
  // No backlog: the first sample is history aged win seconds, the second
  // comes as "data2-" and its echo.
  const stream = 'MISS-300--pid-9\nnew-pid-9\nSON-300-SEGUNDOS\ntime1-10\nCOMI-1-DATO\ntime2-15\n' +
    'COMI-2do-DATO\nPERO-ES-1a-VEZ\ndata1-10\n@19:02:40 -5 10\ndata2-7\n19:02:45 7\n\n' +
    '^port8080 400\n_port8080 0\n<port8080 300\ndata-2\n19:02:50 2\n\n';
  assert.deepStrictEqual(parse_in_chunks(stream, 4), [
    { type: 'history', label: '19:02:40', age: 5, value: 10 },
    { type: 'live', label: '19:02:45', value: 7 },
    { type: 'limit', which: 'max', value: 400 },
    { type: 'limit', which: 'min', value: 0 },
    { type: 'limit', which: 'thres', value: 300 },
    { type: 'live', label: '19:02:50', value: 2 },
  ]);
});

test('LinesOtherThanDataBecomeNotes', () => {
  const cases = [
    ['no-puedo-abrir-cfg-file\n', 'no-puedo-abrir-cfg-file'],
    ['No se puede abrir fifo file en r\n', 'No se puede abrir fifo file en r'],
    ["rm: cannot remove '/tmp/port8080.pid': No such file or directory\n",
      "rm: cannot remove '/tmp/port8080.pid': No such file or directory"],
    // Limit lines of another graph are not this graph's limits.
    ['^port80 400\n', '^port80 400'],
    ['No se puede abrir archivo SAVE\r\n', 'No se puede abrir archivo SAVE'],
  ];
  for (const [stream, text] of cases) {
    assert.deepStrictEqual(parse_in_chunks(stream, 3), [{ type: 'note', text }], stream);
  }
});

test('LiveSampleTakesValueOfDataLineAndFirstTokenAsLabel', () => {
  // A sample line without a number repeats the previous value with the new label.
  const cases = [
    ['data-42\ncpu 42\n\n', { type: 'live', label: 'cpu', value: 42 }],
    ['data-42\nlate\n\n', { type: 'live', label: 'late', value: 42 }],
    ['data--3\n12:00:00 -3\n\n', { type: 'live', label: '12:00:00', value: -3 }],
    ['data-5\n\n\n', { type: 'live', label: '', value: 5 }],
  ];
  for (const [stream, event] of cases) {
    assert.deepStrictEqual(parse_in_chunks(stream, 2), [event], stream);
  }
});

test('UnendedLastLineIsParsedAtEnd', () => {
  const p = feed_parser('net-lo');
  assert.deepStrictEqual(p.push('^net-lo 10\n<net-lo 5'), [{ type: 'limit', which: 'max', value: 10 }]);
  assert.deepStrictEqual(p.end(), [{ type: 'limit', which: 'thres', value: 5 }]);
  assert.deepStrictEqual(p.end(), []);
});
