// Tests of the page's readers (httpd/htdocs): feed streams as the feed prints them, the multiplexed stream, /metrics.
'use strict';
const test = require('node:test');
const assert = require('node:assert');
const path = require('node:path');
const htdocs = path.join(__dirname, '../../httpd/htdocs');
const { feed_parser, mux_parser } = require(path.join(htdocs, 'feed.js'));
const { capture_totals, sample_time } = require(path.join(htdocs, 'metrics.js'));

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
  { type: 'rescaling' },
  { type: 'limit', which: 'max', value: 400 },
  { type: 'limit', which: 'min', value: 0 },
  { type: 'limit', which: 'thres', value: 300 },
  { type: 'live', label: '12:05:00', value: 7 },
  { type: 'live', label: '12:05:05', value: 0 },
];

// Feeds line by line, in one piece, and in pieces of every size from 1 to 7
// characters: the browser hands the stream over in arbitrary chunks.
function parse_in_chunks(stream, size, p = feed_parser('port8080')) {
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

test('MultiplexedStreamSplitsIntoGraphLinesAndItsOwnLines', () => {
  const stream = '+port80 41\n+net-lo 42\nport80 MISS-0--pid-41\nnet-lo data-3\nport80 \n!net-lo 7\n' +
    '=port80 taken-over 99\n=net-lo exit 0\nstray\n';
  for (const size of [1, 4, stream.length]) {
    assert.deepStrictEqual(parse_in_chunks(stream, size, mux_parser()), [
      { type: 'started', graph: 'port80', pid: 41 },
      { type: 'started', graph: 'net-lo', pid: 42 },
      { type: 'line', graph: 'port80', text: 'MISS-0--pid-41' },
      { type: 'line', graph: 'net-lo', text: 'data-3' },
      { type: 'line', graph: 'port80', text: '' },
      { type: 'lost', graph: 'net-lo', count: 7 },
      { type: 'ended', graph: 'port80', how: 'taken-over 99' },
      { type: 'ended', graph: 'net-lo', how: 'exit 0' },
      { type: 'other', text: 'stray' },
    ], `chunk size ${size}`);
  }
});

test('CaptureTotalsAreReadFromTheExposition', () => {
  const text = [
    '# HELP traxel_capture_received_packets_total Packets the capture received.',
    '# TYPE traxel_capture_received_packets_total counter',
    'traxel_capture_received_packets_total{interface="lo"} 1234',
    'traxel_capture_received_packets_total{interface="eth0"} 1e3',
    'traxel_capture_dropped_packets_total{interface="lo",where="kernel"} 7',
    'traxel_capture_dropped_packets_total{where="interface", interface="lo"} 2 1796777000000',
    'traxel_capture_dropped_packets_total{interface="eth0",where="kernel"} 0',
    'traxel_graph_sample{graph="port80"} 5',
    'traxel_capture_dropped_packets_total{interface="lo} 9',
    'traxel_build_info{version="0.1.0",note="a \\"quoted\\" } brace"} 1',
  ].join('\n');
  assert.deepStrictEqual(capture_totals(text), [
    { interface: 'lo', received: 1234, dropped: 9, where: { kernel: 7, interface: 2 } },
    { interface: 'eth0', received: 1000, dropped: 0, where: { kernel: 0 } },
  ]);
  assert.deepStrictEqual(capture_totals('# no capture yet\n'), []);
  assert.deepStrictEqual([sample_time(`${text}\ntraxel_last_sample_timestamp_seconds 1796756575\n`), sample_time(text)],
    [1796756575, null]);
});
