// The wall-clock 5-second grid on which the daemon writes one sample line per graph.
#include "sampler.h"

#include <climits>
#include <cstdio>
#include <ctime>
#include <string>

#include "report.h"

namespace {

// Floor division, so that times before the Epoch fall on the grid too.
int64_t grid_floor(int64_t t)
{
    int64_t r = t % sample_interval;
    return t - (r < 0 ? r + sample_interval : r);
}

// "graph NAME: ..." for a sample of v that does not fit a line.
std::string saturation_note(const graph &g, const outlet &o, int64_t v)
{
    std::string note = "graph " + g.name + ": sample " + std::to_string(v) + " " + unit_name(o.unit, g.gk) +
                       " above " + std::to_string(INT_MAX) + ", written as " + std::to_string(INT_MAX);
    return o.unit == sample_unit::bits ? note + " (unit kbits would fit)" : note;
}

}  // namespace

int64_t sample_value(const outlet &o, int64_t t)
{
    if (o.unit == sample_unit::packets)
        return o.held;
    // After samples that could not be written, or a jump of the clock, the
    // bytes held span more than one interval.
    const int64_t span = o.since >= 0 && t - o.since > sample_interval ? t - o.since : sample_interval;
    const int64_t per = span * (o.unit == sample_unit::kbits ? 1000 : 1);
    if (o.held_bytes > (INT64_MAX - per) / 8)
        return INT64_MAX;
    return (o.held_bytes * 8 + per / 2) / per;
}

int64_t grid_next(int64_t now)
{
    return grid_floor(now) + sample_interval;
}

int64_t sample_due(int64_t &next, int64_t now)
{
    if (now < next - sample_interval) {
        next = grid_next(now);
        return -1;
    }
    if (now < next)
        return -1;
    int64_t t = grid_floor(now);
    next = t + sample_interval;
    return t;
}

bool sample_label(int64_t t, char (&label)[sample_label_max + 1])
{
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    if (!localtime_r(&tt, &tm))
        return false;
    return std::strftime(label, sizeof label, "%H:%M:%S", &tm) == 8;
}

void write_samples(int64_t t, std::vector<graph> &gs, std::vector<outlet> &outs, std::size_t bound)
{
    if (outs.size() != gs.size()) {
        report("internal fault: " + std::to_string(outs.size()) + " outlets for " + std::to_string(gs.size()) +
               " graphs; no samples written");
        return;
    }
    char label[sample_label_max + 1];
    const bool labelled = sample_label(t, label);
    if (!labelled)
        report("cannot convert time " + std::to_string(t) + " to local time");
    for (std::size_t i = 0; i < gs.size(); ++i) {
        graph &g = gs[i];
        outlet &o = outs[i];
        o.packets_total += static_cast<uint64_t>(g.count);
        o.bytes_total += static_cast<uint64_t>(g.bytes);
        o.held += g.count;
        o.held_bytes += g.bytes;
        g.count = g.bytes = 0;
        if (!o.pipe.fd.valid()) {
            o.held = o.held_bytes = 0;
            continue;
        }
        if (!labelled)
            continue;
        const int64_t v = sample_value(o, t);
        if (v > INT_MAX && !o.saturated) {
            report(saturation_note(g, o, v));
            o.saturated = true;
        }
        const int value = v > INT_MAX ? INT_MAX : static_cast<int>(v);
        char line[sample_line_max + 1];
        int len = std::snprintf(line, sizeof line, sample_fmt, label, value);
        std::string err;
        if (len <= 0 || static_cast<std::size_t>(len) >= sizeof line) {
            report("sample line of " + g.name + " does not fit");
            continue;
        }
        bool ok = put_sample(o.pipe, line, static_cast<std::size_t>(len), bound, err);
        if (!ok && !o.pipe.failing)
            report(err);
        o.pipe.failing = !ok;
        if (ok) {
            o.held = o.held_bytes = 0;
            o.since = t;
            o.last = value;
        }
    }
}
