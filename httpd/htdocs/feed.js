// Reading of a graph's feed stream: its lines become history points, limit lines, live samples and notes.
(function (root) {
  'use strict';

  // Lines the feed prints about its own progress; they carry nothing to draw.
  const chatter = /^(MISS-|old-pid-|new-pid-|SON-|time1-|time2-|COMI-|PERO-|data1-|old-\d+-data-|RESCALING-)/;
  const history_line = /^@(\S*) -(-?\d+) (-?\d+)$/;
  const limit_line = /^([\^_<])(\S+) (-?\d+)$/;
  // "data2-" announces the second sample of a feed that found no backlog; the
  // sample itself follows as an echoed line, exactly like a live one.
  const live_line = /^data2?-(-?\d+)$/;
  const limit_names = { '^': 'max', '_': 'min', '<': 'thres' };

  // Returns a parser for the stream of graph name. push(text) takes the next
  // piece of the stream (any split, even inside a line) and returns the events
  // of the lines it completes, in order; end() those of an unended last line.
  // Events: {type: 'history', label, age, value}, {type: 'limit', which
  // ('max', 'min' or 'thres'), value}, {type: 'live', label, value} and
  // {type: 'note', text} for a line that is none of these (a diagnostic).
  function feed_parser(name) {
    let rest = '';
    let echo = null;  // value of the "data-" line whose sample line is next

    function parse_line(line) {
      if (echo !== null) {
        // The sample line as the daemon wrote it: its first token is the
        // sample's time. The value is that of the "data-" line, which is
        // what the feed made of the line.
        const value = echo;
        echo = null;
        return { type: 'live', label: line.trim().split(/\s+/)[0] || '', value };
      }
      if (line === '' || chatter.test(line)) return null;
      let m = history_line.exec(line);
      if (m) return { type: 'history', label: m[1], age: Number(m[2]), value: Number(m[3]) };
      m = live_line.exec(line);
      if (m) {
        echo = Number(m[1]);
        return null;
      }
      m = limit_line.exec(line);
      if (m && m[2] === name) return { type: 'limit', which: limit_names[m[1]], value: Number(m[3]) };
      return { type: 'note', text: line };
    }

    function parse_lines(lines) {
      const events = [];
      for (const raw of lines) {
        const event = parse_line(raw.replace(/\r$/, ''));
        if (event) events.push(event);
      }
      return events;
    }

    return {
      push(text) {
        const lines = (rest + text).split('\n');
        rest = lines.pop();
        return parse_lines(lines);
      },
      end() {
        const last = rest;
        rest = '';
        return last === '' ? [] : parse_lines([last]);
      },
    };
  }

  const api = { feed_parser };
  if (typeof module === 'object' && module.exports) module.exports = api;
  else root.traxel_feed = api;
})(this);
