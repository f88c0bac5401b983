// Reading of /metrics, the daemon's counters in the text exposition format: the capture's received and dropped packets.
(function (root) {
  'use strict';

  const name_re = /[a-zA-Z_:][a-zA-Z0-9_:]*/y;
  const label_re = /\s*([a-zA-Z_][a-zA-Z0-9_]*)\s*=\s*"((?:[^"\\]|\\.)*)"\s*(,?)/y;

  // The value text of a sample: a number, NaN or an infinity.
  function number(text) {
    if (/^[+]?Inf$/.test(text)) return Infinity;
    if (text === '-Inf') return -Infinity;
    return text === '' ? NaN : Number(text);
  }

  // Label values are escaped with \\, \" and \n.
  function unescape(text) {
    return text.replace(/\\(.)/g, (all, c) => (c === 'n' ? '\n' : c));
  }

  // One sample line as {name, labels, value}, or null for a line that is no
  // sample (a comment, a blank line, or one that does not parse).
  function parse_metric_line(line) {
    if (/^\s*(#|$)/.test(line)) return null;
    name_re.lastIndex = 0;
    const name = name_re.exec(line);
    if (!name) return null;
    let at = name_re.lastIndex;
    const labels = {};
    if (line[at] === '{') {
      at++;
      for (;;) {
        label_re.lastIndex = at;
        const m = label_re.exec(line);
        if (!m) break;
        labels[m[1]] = unescape(m[2]);
        at = label_re.lastIndex;
        if (m[3] !== ',') break;
      }
      const close = /\s*\}/y;
      close.lastIndex = at;
      if (!close.exec(line)) return null;
      at = close.lastIndex;
    }
    const rest = line.slice(at).trim().split(/\s+/);
    if (rest.length > 2 || !/^\s/.test(line.slice(at))) return null;
    const value = number(rest[0]);
    return Number.isNaN(value) && rest[0] !== 'NaN' ? null : { name: name[0], labels, value };
  }

  // The capture totals of an exposition text: per interface, packets
  // received and dropped (in all and by where: "kernel", "interface").
  // Returns [] when the text holds none.
  function capture_totals(text) {
    const by_if = new Map();
    const entry = (name) => {
      if (!by_if.has(name)) by_if.set(name, { interface: name, received: 0, dropped: 0, where: {} });
      return by_if.get(name);
    };
    for (const line of text.split('\n')) {
      const s = parse_metric_line(line);
      if (!s || s.labels.interface === undefined) continue;
      if (s.name === 'traxel_capture_received_packets_total') entry(s.labels.interface).received += s.value;
      if (s.name === 'traxel_capture_dropped_packets_total') {
        const e = entry(s.labels.interface), where = s.labels.where || 'unknown';
        e.dropped += s.value;
        e.where[where] = (e.where[where] || 0) + s.value;
      }
    }
    return [...by_if.values()];
  }

  // The time (seconds since the Epoch) of the last samples the daemon wrote,
  // or null when the text does not tell it.
  function sample_time(text) {
    for (const line of text.split('\n')) {
      const s = parse_metric_line(line);
      if (s && s.name === 'traxel_last_sample_timestamp_seconds' && Number.isFinite(s.value)) return s.value;
    }
    return null;
  }

  const api = { parse_metric_line, capture_totals, sample_time };
  if (typeof module === 'object' && module.exports) module.exports = api;
  else root.traxel_metrics = api;
})(this);
