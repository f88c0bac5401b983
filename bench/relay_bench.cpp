// Relay latency benchmark: from a sample written into the pipe until the feed's "data-" line is read, against cat.
//
// Usage: relay_bench [--samples N] [--runs R] FEED
// The writer holds the pipe open for reading and writing as the daemon does,
// leaves a full window of backlog, starts the reader, waits for the end of
// the history phase and then writes one sample every 2 ms, time-stamping each
// write and each arrival on the monotonic clock. Feed and cat take turns.
#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int backlog = 60;        // a full window of win 5
constexpr double gap_ms = 2.0;     // between two live samples
constexpr double ready_ms = 5000;  // for the history phase to end
constexpr double drain_ms = 2000;  // for the last samples to arrive

struct reader {
    bool is_feed = false;  // the feed prints "data-V"; cat echoes "LABEL V"
    pid_t pid = -1;
    int out = -1;          // the reader's standard output
    line_reader lines;
    bool ready = false;    // history phase over
};

// Takes the lines that arrived; stamps the arrival of every live sample.
bool drain(reader &r, std::vector<double> &t_r, double now)
{
    char buf[65536];
    ssize_t n = read(r.out, buf, sizeof buf);
    if (n <= 0)
        return n < 0 && errno == EAGAIN;
    std::vector<std::string> got;
    r.lines.feed(buf, static_cast<std::size_t>(n), got);
    for (const std::string &l : got) {
        long v = -1;
        if (r.is_feed && l.rfind("data-", 0) == 0)
            v = std::atol(l.c_str() + 5);
        else if (r.is_feed && l.size() > 0 && l[0] == '<')
            r.ready = true;
        else if (!r.is_feed) {
            std::size_t sp = l.find(' ');
            if (sp != std::string::npos)
                v = std::atol(l.c_str() + sp + 1);
            if (v == backlog)
                r.ready = true;
        }
        if (v > backlog && v < static_cast<long>(t_r.size()) && t_r[v] < 0)
            t_r[v] = now;
    }
    return true;
}

// Waits up to ms for output of r, then takes it.
bool wait_out(reader &r, std::vector<double> &t_r, double ms)
{
    pollfd p{r.out, POLLIN, 0};
    timespec ts{static_cast<time_t>(ms / 1e3), static_cast<long>(std::fmod(ms, 1e3) * 1e6)};
    int rc = ppoll(&p, 1, &ts, nullptr);
    if (rc < 0)
        return errno == EINTR;
    return rc == 0 || drain(r, t_r, now_ms());
}

// Writes the live samples one every gap_ms, stamping each write, and waits
// for the last to arrive; returns the number of samples that never arrived.
int live_phase(reader &r, int w, std::vector<double> &t_w, std::vector<double> &t_r, std::vector<double> &lat)
{
    const int total = static_cast<int>(t_w.size());
    double next = now_ms();
    for (int s = backlog + 1; s < total; ++s) {
        while (now_ms() < next)
            wait_out(r, t_r, next - now_ms());
        const std::string l = sample_line(s);
        t_w[s] = now_ms();
        if (write(w, l.data(), l.size()) != static_cast<ssize_t>(l.size()))
            std::fprintf(stderr, "relay_bench: write: %s\n", std::strerror(errno));
        wait_out(r, t_r, 0);
        next += gap_ms;
    }
    const double end = now_ms() + drain_ms;
    while (t_r[total - 1] < 0 && now_ms() < end && wait_out(r, t_r, 10)) {
    }
    int lost = 0;
    for (int s = backlog + 1; s < total; ++s) {
        if (t_r[s] < 0)
            ++lost;
        else
            lat.push_back(t_r[s] - t_w[s]);
    }
    return lost;
}

// One run; fills lat with the latency of each sample in ms; returns the
// number of samples that never arrived, or -1 when the run failed.
int one_run(reader &r, const std::string &bin, const inst &in, int samples, std::vector<double> &lat)
{
    const std::string &name = in.graphs[0];
    const std::string fifo = in.cgi + "/" + name + ".fifo";
    const int w = open_backlog("relay_bench", fifo, backlog);
    if (w < 0)
        return -1;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "relay_bench: pipe2: %s\n", std::strerror(errno));
        close_fd(w, "pipe");
        return -1;
    }
    const int total = backlog + samples + 1;
    std::vector<double> t_w(total, -1), t_r(total, -1);
    remove_pid_file(name);
    std::string err;
    std::vector<std::string> extra;
    if (!r.is_feed)
        extra.push_back("./" + name + ".fifo");
    r.pid = spawn_feed(bin, name, in.cgi, "dhle,60,300s", fds[1], extra, err);
    close_fd(fds[1], "output pipe");
    r.out = fds[0];
    int lost = -1;
    if (r.pid < 0)
        std::fprintf(stderr, "relay_bench: %s\n", err.c_str());
    else if (fcntl(r.out, F_SETFL, O_NONBLOCK) != 0)
        std::fprintf(stderr, "relay_bench: fcntl: %s\n", std::strerror(errno));
    else {
        const double limit = now_ms() + ready_ms;
        while (!r.ready && now_ms() < limit && wait_out(r, t_r, 10)) {
        }
        if (r.ready)
            lost = live_phase(r, w, t_w, t_r, lat);
        else
            std::fprintf(stderr, "relay_bench: %s did not end its history phase\n", bin.c_str());
    }
    end_proc(r.pid, SIGTERM);
    close_fd(r.out, "output pipe");
    close_fd(w, "pipe");
    return lost;
}

}  // namespace

int main(int argc, char **argv)
{
    int samples = 2000, runs = 5;
    int a = 1;
    for (; a + 1 < argc && argv[a][0] == '-'; a += 2) {
        if (std::strcmp(argv[a], "--samples") == 0)
            samples = std::atoi(argv[a + 1]);
        else if (std::strcmp(argv[a], "--runs") == 0)
            runs = std::atoi(argv[a + 1]);
    }
    if (argc - a != 1 || samples < 10 || runs < 1) {
        std::fprintf(stderr, "usage: relay_bench [--samples N] [--runs R] FEED\n");
        return 2;
    }
    const std::string feed = abs_path(argv[a]), cat = "/bin/cat";
    inst in;
    std::string err;
    if (!make_inst(bench_names(1), 5, in, err)) {
        std::fprintf(stderr, "relay_bench: %s\n", err.c_str());
        remove_inst(in);
        return 1;
    }
    std::vector<double> p50[2], p99[2];
    int lost[2] = {0, 0};
    int status = 0;
    for (int run = 0; run < runs && status == 0; ++run)
        for (int which = 0; which < 2; ++which) {
            reader r;
            r.is_feed = which == 0;
            std::vector<double> lat;
            int l = one_run(r, which == 0 ? feed : cat, in, samples, lat);
            if (l < 0) {
                status = 1;
                break;
            }
            lost[which] += l;
            p50[which].push_back(percentile(lat, 50) * 1e3);
            p99[which].push_back(percentile(lat, 99) * 1e3);
        }
    remove_inst(in);
    if (status != 0)
        return status;
    const double f50 = median(p50[0]), c50 = median(p50[1]);
    const double f99 = median(p99[0]), c99 = median(p99[1]);
    print_row("relay latency p50", fmt(f50, 1, " us"), fmt(c50, 1, " us (cat)"), f50 / c50,
              "<= 1.2x", f50 / c50 <= 1.2 ? "yes" : "no");
    print_row("relay latency p99", fmt(f99, 1, " us"), fmt(c99, 1, " us (cat)"), f99 / c99,
              "<= 1.2x", f99 / c99 <= 1.2 ? "yes" : "no");
    std::printf("note\trelay: %d runs of %d samples each, one every %.0f ms; samples lost: feed %d, cat %d\n",
                runs, samples, gap_ms, lost[0], lost[1]);
    return lost[0] + lost[1] == 0 ? 0 : 1;
}
