// The units in which a person reads a graph's samples: packets or new connections per sample interval, bit/s with SI prefixes.
(function (root) {
  'use strict';

  // Per unit word of graphs.json: the axis title (of a count, per sample
  // interval), the factor to the base unit, and the base unit's name (null
  // for counts, which stay plain).
  const units = {
    packets: { axis: 'packets', factor: 1, base: null, count: 'packets' },
    connections: { axis: 'new connections', factor: 1, base: null, count: 'new connections' },
    bits: { axis: 'bit/s', factor: 1, base: 'bit/s' },
    kbits: { axis: 'bit/s', factor: 1000, base: 'bit/s' },
  };

  // The unit of a graph: its own word, else packets (new connections for a
  // sock graph, whose packets are its new connections).
  function unit_of(info) {
    const word = info.unit === 'packets' && info.kind === 'sock' ? 'connections' : info.unit;
    return units[word] ? word : info.kind === 'sock' ? 'connections' : 'packets';
  }

  // v with at most three significant digits and no trailing zeros.
  function short(v) {
    return String(Number(v.toPrecision(3)));
  }

  // Sample value v of unit word as a person reads it: "12 packets",
  // "1.5 Mbit/s" (k, M and G prefixes); bare, without the unit, for axis ticks
  // of counts.
  function format(word, v, bare) {
    const u = units[word] || units.packets;
    if (u.base === null) return bare ? String(v) : `${v} ${u.count}`;
    const b = v * u.factor, a = Math.abs(b);
    const [div, prefix] = a >= 1e9 ? [1e9, 'G'] : a >= 1e6 ? [1e6, 'M'] : a >= 1e3 ? [1e3, 'k'] : [1, ''];
    return `${short(b / div)} ${prefix}${u.base}`;
  }

  // The axis title of unit word, for samples every interval seconds.
  function axis_title(word, interval) {
    const u = units[word] || units.packets;
    return u.base === null ? `${u.axis} per ${interval} s` : u.axis;
  }

  const api = { unit_of, format, axis_title };
  if (typeof module === 'object' && module.exports) module.exports = api;
  else root.traxel_units = api;
})(this);
