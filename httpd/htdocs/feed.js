// Reading of feed streams: a graph's lines become history points, limit lines, live samples and notes; a page's multiplexed stream becomes the lines of each graph.
(function (root) {
  'use strict';

  // Lines the feed prints about its own progress; they carry nothing to draw.
  const chatter = /^(MISS-|old-pid-|new-pid-|SON-|time1-|time2-|COMI-|PERO-|data1-|old-\d+-data-)/;
  const history_line = /^@(\S*) -(-?\d+) (-?\d+)$/;
  const limit_line = /^([\^_<])(\S+) (-?\d+)$/;
  // "data2-" announces the second sample of a feed that found no backlog; the
  // sample itself follows as an echoed line, exactly like a live one.
  const live_line = /^data2?-(-?\d+)$/;
  const limit_of_prefix = { '^': 'max', '_': 'min', '<': 'thres' };

  // Reads a stream handed over in arbitrary pieces line by line: push(text)
  // returns the events that parse (a line to an event or null) makes of the
  // lines it completes, in order; end() those of an unended last line.
  function line_reader(parse) {
    let rest = '';
    const events = (lines) => lines.map(parse).filter((e) => e !== null);
    return {
      push(text) {
        const lines = (rest + text).split('\n');
        rest = lines.pop();
        return events(lines);
      },
      end() {
        const last = rest;
        rest = '';
        return last === '' ? [] : events([last]);
      },
    };
  }

  // Returns a parser for the stream of graph name. line(text) takes one line
  // and returns its event or null; push(text) takes the next piece of the
  // stream (any split, even inside a line) and returns the events of the lines
  // it completes, in order; end() those of an unended last line.
  // Events: {type: 'history', label, age, value}, {type: 'rescaling'} (the
  // history point just before was the first live sample), {type: 'limit',
  // which ('max', 'min' or 'thres'), value}, {type: 'live', label, value} and
  // {type: 'note', text} for a line that is none of these (a diagnostic).
  function feed_parser(name) {
    let echo = null;  // value of the "data-" line whose sample line is next

    function feed_event(raw) {
      const line = raw.replace(/\r$/, '');
      if (echo !== null) {
        // The sample line as the daemon wrote it: its first token is the
        // sample's time. The value is that of the "data-" line, which is
        // what the feed made of the line.
        const value = echo;
        echo = null;
        return { type: 'live', label: line.trim().split(/\s+/)[0] || '', value };
      }
      if (line === '' || chatter.test(line)) return null;
      if (line === `RESCALING-${name}`) return { type: 'rescaling' };
      let m = history_line.exec(line);
      if (m) return { type: 'history', label: m[1], age: Number(m[2]), value: Number(m[3]) };
      m = live_line.exec(line);
      if (m) {
        echo = Number(m[1]);
        return null;
      }
      m = limit_line.exec(line);
      if (m && m[2] === name) return { type: 'limit', which: limit_of_prefix[m[1]], value: Number(m[3]) };
      return { type: 'note', text: line };
    }

    return { line: feed_event, ...line_reader(feed_event) };
  }

  // Returns a parser for the response of the multiplexed feed of a page,
  // with push and end as above. Events: {type: 'line', graph, text} (a line
  // of the graph's feed), {type: 'started', graph, pid}, {type: 'lost',
  // graph, count} and {type: 'ended', graph, how} (as "exit 1", "signal 9" or
  // "taken-over 4242"), and {type: 'other', text} for anything else.
  function mux_parser() {
    const own = { '+': 'started', '!': 'lost', '=': 'ended' };

    function mux_event(line) {
      const sp = line.indexOf(' ');
      if (sp < 1) return line === '' ? null : { type: 'other', text: line };
      const type = own[line[0]];
      const graph = type ? line.slice(1, sp) : line.slice(0, sp);
      const rest = line.slice(sp + 1);
      if (!type) return { type: 'line', graph, text: rest };
      if (type === 'started') return { type, graph, pid: Number(rest) };
      if (type === 'lost') return { type, graph, count: Number(rest) };
      return { type, graph, how: rest };
    }

    return line_reader(mux_event);
  }

  const api = { feed_parser, mux_parser };
  if (typeof module === 'object' && module.exports) module.exports = api;
  else root.traxel_feed = api;
})(this);
