// The host's clock as the page learns it: the time since the Epoch that a sample label "HH:MM:SS" names, and the host's time of day for the axes.
(function (root) {
  'use strict';

  const day = 86400;
  // Every UTC offset in use is a whole number of quarter hours.
  const zone_step = 900;
  // A browser clock this close to the host's is taken as right: the Date
  // header that tells the host's time has whole seconds.
  const skew_noise = 2;

  const mod = (a, m) => ((a % m) + m) % m;
  // The offset of a time of day, as the zones have it: UTC-12:00 to UTC+14:00.
  const signed = (o) => (o > 14 * 3600 ? o - day : o);

  // Seconds of the day of a label "HH:MM:SS", or null for any other label.
  function clock_seconds(label) {
    const m = /^(\d\d):(\d\d):(\d\d)$/.exec(label);
    if (!m) return null;
    const [h, mi, s] = [Number(m[1]), Number(m[2]), Number(m[3])];
    return h < 24 && mi < 60 && s < 60 ? h * 3600 + mi * 60 + s : null;
  }

  // Returns the clock of the host that labels the samples. Times are seconds
  // since the Epoch; every now argument is the browser's clock.
  function host_clock() {
    let offset = null;  // seconds by which the host's time of day is ahead of UTC
    let skew = 0;       // the host's clock less the browser's

    return {
      // Whether a label can be placed yet.
      known: () => offset !== null,
      // The host's time at browser time now.
      now: (now) => now + skew,
      // Learns the host's time from an answer of its web server: date, the
      // seconds of its Date header (whole), came at browser time now.
      served(date, now) {
        const d = date + 0.5 - now;
        skew = Math.abs(d) < skew_noise ? 0 : d;
      },
      // Learns the offset exactly: the host labelled its time time label.
      sync(time, label) {
        const s = clock_seconds(label);
        if (s !== null) offset = signed(mod(s - time, day));
      },
      // Learns the offset from a sample labelled label that was written just
      // before now: the whole quarter hours nearest to what the clocks say.
      // A host at UTC+1 labels 13:00:00 the sample of 12:00:00 UTC; read at
      // 12:00:00.6 it gives 3599.4 s, so 3600.
      guess(label, now) {
        const s = clock_seconds(label);
        if (s !== null) offset = signed(mod(Math.round(mod(s - (now + skew), day) / zone_step) * zone_step, day));
      },
      // The time that label names nearest to the host's time at now, or null
      // while the offset is unknown or for a label that is not a time of day.
      time_of(label, now) {
        const s = clock_seconds(label);
        if (s === null || offset === null) return null;
        const base = s - offset;
        return base + day * Math.round((now + skew - base) / day);
      },
      // The time of a live sample labelled label that came at now, the graph's
      // latest sample being at prev (null when none) and samples coming every
      // interval seconds; null for a label that is not a time of day. A time
      // that cannot be right, ahead of the host's clock or not after prev
      // while prev lags it by three intervals, means that the host's offset
      // changed (summer time began or ended): the label, just written,
      // teaches it anew.
      place(label, now, prev, interval) {
        if (offset === null) this.guess(label, now);
        const t = this.time_of(label, now), host = now + skew;
        if (t === null || (t <= host + 2 * interval && (prev === null || t > prev || prev >= host - 3 * interval))) return t;
        this.guess(label, now);
        return this.time_of(label, now);
      },
      // A Date whose local fields read the host's time of day at time t, for
      // the charts' time axes.
      date(t) {
        const d = new Date((t + (offset || 0)) * 1000);
        return new Date(d.getUTCFullYear(), d.getUTCMonth(), d.getUTCDate(), d.getUTCHours(), d.getUTCMinutes(),
          d.getUTCSeconds(), d.getUTCMilliseconds());
      },
      // The offset as "UTC+01:00".
      zone() {
        const a = Math.abs(offset || 0), pad = (n) => String(n).padStart(2, '0');
        return `UTC${offset < 0 ? '-' : '+'}${pad(Math.floor(a / 3600))}:${pad(Math.floor(a / 60) % 60)}`;
      },
    };
  }

  const api = { host_clock, clock_seconds };
  if (typeof module === 'object' && module.exports) module.exports = api;
  else root.traxel_clock = api;
})(this);
