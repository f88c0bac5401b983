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

}  // namespace

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
        outlet &o = outs[i];
        o.packets_total += static_cast<uint64_t>(gs[i].count);
        o.held += gs[i].count;
        gs[i].count = 0;
        if (o.pipe.fd < 0) {
            o.held = 0;
            continue;
        }
        if (!labelled)
            continue;
        int value = o.held > INT_MAX ? INT_MAX : static_cast<int>(o.held);
        char line[sample_line_max + 1];
        int len = std::snprintf(line, sizeof line, sample_fmt, label, value);
        std::string err;
        if (len <= 0 || static_cast<std::size_t>(len) >= sizeof line) {
            report("sample line of " + gs[i].name + " does not fit");
            continue;
        }
        bool ok = put_sample(o.pipe, line, static_cast<std::size_t>(len), bound, err);
        if (!ok && !o.pipe.failing)
            report(err);
        o.pipe.failing = !ok;
        if (ok) {
            o.held = 0;
            o.last = value;
        }
    }
}
