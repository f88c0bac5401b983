// The daemon's CPU per interval for publishing the window of samples, against the rest of its interval's work: sample lines and counters.
//
// Usage: window_bench [--graphs N,N,...] [--win MINUTES] [--intervals N]
// For each number of graphs, a temporary installation of that many port
// graphs with the window, its pipes held open as the daemon holds them, and
// its run/ directory. The interval's work is done as the daemon does it, on
// made-up counts, without waiting for the clock: first a whole window of
// intervals so that every pipe holds its backlog and the window is full,
// then the intervals measured. Per interval, the thread's CPU time of the
// sample lines and the counters (written and published: the baseline) and
// of the window (added to and published) are taken apart; the figures are
// their medians.
#include "harness.h"

#include "cfg.h"
#include "contract.h"
#include "exposition.h"
#include "pipes.h"
#include "publish.h"
#include "sampler.h"
#include "window.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The thread's CPU time in microseconds.
double cpu_us()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

struct figures {
    double rest_us = 0, window_us = 0;
    std::size_t window_bytes = 0;
};

// Runs intervals of n graphs of a window of win minutes in a new installation.
bool measure(int n, int win, int intervals, figures &f)
{
    inst in;
    std::string err;
    bool ok = make_inst(bench_names(n), win, in, err) && load_graphs((in.dir + "/" + cfg_file).c_str(), err);
    std::vector<outlet> outs(graphs.size());
    const std::size_t bound = static_cast<std::size_t>(backlog_lines_per_win) * static_cast<std::size_t>(win);
    for (std::size_t i = 0; ok && i < graphs.size(); ++i)
        ok = open_sample_pipe(in.cgi + "/" + graphs[i].name + ".fifo", bound, pipe_owner_self(), outs[i].pipe, err);
    publish_dir run;
    ok = ok && run.open(in.dir + "/run", true, err);
    if (!ok) {
        std::fprintf(stderr, "window_bench: %s\n", err.c_str());
        remove_inst(in);
        return false;
    }
    sample_window w(graphs.size(), window_slots(win, graphs.size()));
    const int64_t start = grid_next(static_cast<int64_t>(std::time(nullptr)));
    const int warm = win * samples_per_minute;
    std::vector<double> rest, pub;
    for (int k = 0; k < warm + intervals; ++k) {
        const int64_t t = start + static_cast<int64_t>(k) * sample_interval;
        for (std::size_t i = 0; i < graphs.size(); ++i)
            graphs[i].count = (k * 7 + static_cast<int>(i) * 13) % 1000;
        const double a = cpu_us();
        write_samples(t, graphs, outs, bound);
        metrics_snapshot m;
        for (std::size_t i = 0; i < graphs.size(); ++i)
            m.graphs.push_back({graphs[i].name, "packets", outs[i].packets_total, outs[i].bytes_total, outs[i].last,
                                graphs[i].min, graphs[i].max, graphs[i].thres});
        m.last_sample_time = t;
        run.publish(metrics_file, metrics_text(m));
        const double b = cpu_us();
        publish_window(t, graphs, outs, w, run);
        const double c = cpu_us();
        if (k >= warm) {
            rest.push_back(b - a);
            pub.push_back(c - b);
        }
    }
    struct stat st;
    f.window_bytes = stat((in.dir + "/run/" + window_file).c_str(), &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
    f.rest_us = median(rest);
    f.window_us = median(pub);
    outs.clear();
    remove_inst(in);
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<int> counts = {50, 256};
    int win = 30, intervals = 500;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--graphs") {
            counts.clear();
            std::stringstream list(argv[i + 1]);
            for (std::string n; std::getline(list, n, ',');)
                counts.push_back(std::atoi(n.c_str()));
        } else if (opt == "--win") {
            win = std::atoi(argv[i + 1]);
        } else if (opt == "--intervals") {
            intervals = std::atoi(argv[i + 1]);
        } else {
            std::fprintf(stderr, "usage: window_bench [--graphs N,N,...] [--win MINUTES] [--intervals N]\n");
            return 2;
        }
    }
    for (int n : counts) {
        figures f;
        if (!measure(n, win, intervals, f))
            return 1;
        const std::string name = "daemon window, " + std::to_string(n) + " graphs of " + std::to_string(win) + " min";
        print_row(name + ", CPU per interval", fmt(f.window_us, 1, " us"), fmt(f.rest_us, 1, " us (samples+counters)"),
                  f.window_us / f.rest_us, "< 1 ms", f.window_us < 1000 ? "yes" : "no");
        std::printf("note\t%s: window.json of %zu KiB\n", name.c_str(), f.window_bytes / 1024);
    }
    return 0;
}
