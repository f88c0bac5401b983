// Tests of the page's charts (httpd/htdocs): samples placed at the host's times, the timeline, the published window, the y range and the limit labels.
'use strict';
const test = require('node:test');
const assert = require('node:assert');
const path = require('node:path');
const htdocs = path.join(__dirname, '../../httpd/htdocs');
const { host_clock } = require(path.join(htdocs, 'clock.js'));
const { timeline } = require(path.join(htdocs, 'timeline.js'));
const { read_window } = require(path.join(htdocs, 'published.js'));
const { y_range, label_rows } = require(path.join(htdocs, 'axes.js'));

// Midnight UTC of a day.
const D = 1796688000;

test('SamplesArePlacedAtTheHostsTimeWhateverItsZone', () => {
  // [case, steps on a new clock ([method, ...arguments]), the call whose time
  // is wanted, that time].
  const cases = [
    ['published at UTC+1', [['sync', D + 43200, '13:00:00']], ['time_of', '13:00:05', D + 43205.6], D + 43205],
    ['UTC-5 across midnight', [['sync', D + 17995, '23:59:55']], ['time_of', '00:00:00', D + 18000.4], D + 18000],
    ['a backlog older than a window', [['sync', D + 43200, '12:00:00']], ['time_of', '11:35:00', D + 43200.5], D + 41700],
    ['learnt live at UTC+5:30', [['guess', '17:30:05', D + 43205.6]], ['time_of', '17:30:10', D + 43210.3], D + 43210],
    ['a browser 3 minutes slow, told by the Date header', [['served', D + 43200, D + 43020], ['guess', '12:00:05', D + 43025.6]],
      ['time_of', '12:00:05', D + 43025.6], D + 43205],
    ['summer time begins', [['sync', D + 3595, '01:59:55']], ['place', '03:00:00', D + 3600.5, D + 3595, 5], D + 3600],
    ['summer time ends: an old label while the chart is current is a backlog',
      [['sync', D + 3595, '03:59:55']], ['place', '03:00:00', D + 3600.5, D + 3595, 5], D],
    ['summer time ends: old labels while the chart lags teach the offset',
      [['sync', D + 3595, '03:59:55']], ['place', '03:00:15', D + 3615.5, D + 3595, 5], D + 3615],
    ['the first live label teaches the offset', [], ['place', '09:00:00', D + 32400.4, null, 5], D + 32400],
    ['a label that is no time of day', [['sync', D, '00:00:00']], ['place', 'cpu', D + 5.5, D, 5], null],
  ];
  for (const [name, steps, [what, ...args], want] of cases) {
    const clock = host_clock();
    for (const [m, ...a] of steps) clock[m](...a);
    assert.strictEqual(clock[what](...args), want, name);
  }
  const zones = [['05:30:00', '+05:30'], ['19:00:00', '-05:00'], ['00:00:00', '+00:00']].map(([label]) => {
    const clock = host_clock();
    clock.sync(D, label);
    return [clock.zone(), clock.date(D + 60).getHours()];
  });
  assert.deepStrictEqual(zones, [['UTC+05:30', 5], ['UTC-05:00', 19], ['UTC+00:00', 0]]);
});

test('TimelineHoldsEachTimeOnceAndShowsGapsInTheWindow', () => {
  const line = timeline(5);
  assert.deepStrictEqual([1000, 1005, 1040].map((t) => line.put(t, t - 1000)), [true, true, true]);
  // Late and repeated samples take their place; only a later time is new.
  assert.deepStrictEqual([line.put(995, 7), line.put(1005, 9), line.put(1045, 45)], [false, false, true]);
  assert.strictEqual(line.merge([990, 995, 1000, 1010, 1050], [1, 1, 1, 10, 50]), 3);
  assert.deepStrictEqual(line.last(), { t: 1050, value: 50 });
  // 1010 to 1040 is more than two intervals: a null marks the gap. The
  // points before 1050 - 60 are forgotten.
  assert.deepStrictEqual(line.window(1050, 60), {
    xs: [990, 995, 1000, 1005, 1010, 1015, 1040, 1045, 1050],
    ys: [1, 7, 0, 9, 10, null, 40, 45, 50],
  });
  assert.deepStrictEqual(line.window(1060, 20).xs, [1040, 1045, 1050]);
  assert.strictEqual(line.merge([1040], [40]), 0);
});

test('PublishedWindowGivesEachGraphItsTimesValuesAndLimits', () => {
  const w = read_window(JSON.parse('{"interval":5,"time":1796756575,"label":"12:02:55","start":1796756560,"graphs":{\n' +
    '"port80":{"min":0,"max":100000,"thres":80000,"values":[3,null,12,7]},\n' +
    '"net-lo":{"min":0,"max":10,"thres":5,"values":[null,null,null,0]}}}\n'));
  assert.deepStrictEqual([w.time, w.label], [1796756575, '12:02:55']);
  assert.deepStrictEqual(w.graphs.get('port80'), {
    limits: { max: 100000, min: 0, thres: 80000 }, xs: [1796756560, 1796756570, 1796756575], ys: [3, 12, 7],
  });
  assert.deepStrictEqual(w.graphs.get('net-lo').xs, [1796756575]);
  for (const bad of [null, [], { interval: 5, time: 10, start: 20, label: '', graphs: {} }, { interval: 0, time: 1, start: 1, label: '', graphs: {} }]) {
    assert.throws(() => read_window(bad), /not a published window/, JSON.stringify(bad));
  }
});

test('YRangeShowsTheSamplesInViewAndDrawsOnlyLimitsNearThem', () => {
  // [case, lowest and highest sample in view, limits (max, min, thres), range, limits drawn].
  const cases = [
    ['3 Mbit/s under 1 Gbit/s', 0, 3000, [1000000, 0, 800000], [0, 3300], [0]],
    ['traffic near its limits', 0, 700, [1000, 0, 800], [0, 1100], [1000, 0, 800]],
    ['a limit at three times the traffic', 10, 100, [300, 0, 301], [0, 330], [300, 0]],
    ['no samples yet', null, null, [400, 0, 1], [0, 1.1], [0, 1]],
    ['limits not known yet', 0, 0, [null, null, null], [0, 1.1], []],
    ['a negative sample', -5, 10, [20, -10, 15], [-5, 22], [20, 15]],
  ];
  for (const [name, lo, hi, limits, range, drawn] of cases) {
    const v = y_range(lo, hi, limits);
    assert.deepStrictEqual([v.range.map((x) => Number(x.toFixed(6))), v.drawn], [range, drawn], name);
  }
});

test('LimitLabelsNeverOverlap', () => {
  // [case, line heights, labels' baselines (null: not drawn)], labels 11
  // pixels high in a plot from 10 to 200.
  const cases = [
    ['apart', [150, 60, 100], [148, 58, 98]],
    ['close: the lower one goes under its line', [100, 104, 190], [98, 117, 188]],
    ['crowded at the bottom: only one fits', [195, 200, 196], [193, null, null]],
    ['at the top: under the line', [12], [25]],
  ];
  for (const [name, ys, want] of cases) assert.deepStrictEqual(label_rows(ys, 11, 10, 200), want, name);
});
