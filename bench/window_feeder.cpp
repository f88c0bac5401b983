// A stand-in for the daemon in the page benchmark: a whole window of samples waiting in every graph's pipe and published, then one sample per graph each interval.
//
// Usage: window_feeder DIR [--no-window]
// In the installation directory DIR, as root: opens every graph's pipe as
// the daemon does (owned by nobody, as a root installation leaves them),
// leaves in it the sample lines of the last window, labelled with their
// times as the daemon labels them, and publishes run/window.json of the same
// samples, or removes it with --no-window. Prints "ready", then writes (and
// publishes) one sample per graph at each grid time until it is killed.
#include "cfg.h"
#include "contract.h"
#include "pipes.h"
#include "publish.h"
#include "sampler.h"
#include "window.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

// Writes the samples of grid time t into every pipe and adds them to w;
// with run, publishes w there.
void feed(int64_t t, std::vector<outlet> &outs, std::size_t bound, sample_window &w, publish_dir *run)
{
    char label[sample_label_max + 1];
    if (!sample_label(t, label))
        return;
    std::vector<std::optional<int>> values(outs.size());
    for (std::size_t i = 0; i < outs.size(); ++i) {
        // A made-up traffic that differs from graph to graph and from time to time.
        const int v = static_cast<int>((t / sample_interval * 37 + static_cast<int64_t>(i) * 101) % 500);
        char line[sample_line_max + 1];
        const int len = std::snprintf(line, sizeof line, sample_fmt, label, v);
        std::string err;
        if (put_sample(outs[i].pipe, line, static_cast<std::size_t>(len), bound, err))
            values[i] = v;
        else
            std::fprintf(stderr, "window_feeder: %s\n", err.c_str());
    }
    w.add(t, values);
    if (run)
        run->publish(window_file, w.text(graphs, label));
}

}  // namespace

int main(int argc, char **argv)
{
    const bool window = !(argc == 3 && std::strcmp(argv[2], "--no-window") == 0);
    const passwd *nobody = getpwnam("nobody");
    std::string err;
    if ((argc != 2 && window) || chdir(argv[1]) != 0 || !nobody) {
        std::fprintf(stderr, "usage: window_feeder DIR [--no-window] (as root, with the user nobody)\n");
        return 2;
    }
    if (!load_graphs(cfg_file, err)) {
        std::fprintf(stderr, "window_feeder: %s\n", err.c_str());
        return 1;
    }
    const std::size_t slots = window_slots(window_minutes, graphs.size());
    const std::size_t bound = slots;
    std::vector<outlet> outs(graphs.size());
    for (std::size_t i = 0; i < graphs.size(); ++i) {
        const std::string fifo = std::string(cgi_dir) + "/" + graphs[i].name + ".fifo";
        if (!open_sample_pipe(fifo, bound, {nobody->pw_uid, nobody->pw_gid, false}, outs[i].pipe, err)) {
            std::fprintf(stderr, "window_feeder: %s\n", err.c_str());
            return 1;
        }
    }
    publish_dir run;
    if (window && !run.open("run", true, err)) {
        std::fprintf(stderr, "window_feeder: %s\n", err.c_str());
        return 1;
    }
    if (!window && unlink("run/window.json") != 0 && errno != ENOENT) {
        std::fprintf(stderr, "window_feeder: unlink run/window.json: %s\n", std::strerror(errno));
        return 1;
    }
    sample_window w(graphs.size(), slots);
    int64_t t = grid_next(static_cast<int64_t>(std::time(nullptr))) - sample_interval;
    for (int64_t s = t - static_cast<int64_t>(slots - 1) * sample_interval; s <= t; s += sample_interval)
        feed(s, outs, bound, w, window && s == t ? &run : nullptr);
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
        t += sample_interval;
        std::this_thread::sleep_until(std::chrono::system_clock::from_time_t(static_cast<time_t>(t)) +
                                      std::chrono::milliseconds(100));
        feed(t, outs, bound, w, window ? &run : nullptr);
    }
}
