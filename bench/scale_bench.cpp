// Scale benchmark: many concurrent feeds of as many graphs, fed by one writer at several rates, against cat processes.
//
// Usage: scale_bench [--feeds N] [--phases S:D,...] FEED
// Each phase writes one sample per graph every S seconds for D seconds. A
// reader thread takes every feed's output through epoll and stamps each
// "data-" line; a sample is late when it arrives more than 100 ms after its
// write, lost when it never arrives. CPU per feed comes from /proc/<pid>/stat
// (utime + stime, in clock ticks) and, finer, from /proc/<pid>/schedstat;
// memory is Private_Dirty of /proc/<pid>/smaps_rollup.
#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int backlog = 60;         // a full window of win 5 waits when a feed starts
constexpr double late_ms = 100;
constexpr double grace_ms = 1000;   // after a phase, for samples in flight
constexpr double ready_ms = 60000;  // for every feed to end its history phase

struct phase {
    double every_s, for_s;
};

struct proc {
    pid_t pid = -1;
    int out = -1;  // the process's standard output, read by the reader thread
    int w = -1;    // the writer's end of the graph's pipe (read-write, as the daemon holds it)
    line_reader lines;
    bool ready = false;
    std::vector<double> t_w, t_r;  // per sequence number
};

struct run {
    bool is_feed = false;
    std::vector<proc> procs;
    int epfd = -1;
    std::mutex mu;  // guards every proc's lines, ready and t_r
    std::atomic<bool> stop{false};
    int ready = 0, ended = 0;
};

// Takes what arrived from process i; stamps live samples. Called under mu.
void take(run &r, std::size_t i, double now)
{
    proc &p = r.procs[i];
    char buf[16384];
    ssize_t n;
    std::vector<std::string> got;
    while ((n = read(p.out, buf, sizeof buf)) > 0)
        p.lines.feed(buf, static_cast<std::size_t>(n), got);
    if (n == 0) {
        ++r.ended;
        if (epoll_ctl(r.epfd, EPOLL_CTL_DEL, p.out, nullptr) != 0)
            std::fprintf(stderr, "scale_bench: epoll_ctl: %s\n", std::strerror(errno));
    }
    for (const std::string &l : got) {
        long v = -1;
        if (r.is_feed) {
            if (l.rfind("data-", 0) == 0)
                v = std::atol(l.c_str() + 5);
            else if (!p.ready && !l.empty() && l[0] == '<') {
                p.ready = true;
                ++r.ready;
            }
        } else {
            std::size_t sp = l.find(' ');
            if (sp != std::string::npos)
                v = std::atol(l.c_str() + sp + 1);
            if (v == backlog && !p.ready) {
                p.ready = true;
                ++r.ready;
            }
        }
        if (v > backlog && v < static_cast<long>(p.t_r.size()) && p.t_r[v] < 0)
            p.t_r[v] = now;
    }
}

void reader_loop(run &r)
{
    epoll_event ev[256];
    while (!r.stop) {
        int n = epoll_wait(r.epfd, ev, 256, 50);
        if (n < 0 && errno != EINTR) {
            std::fprintf(stderr, "scale_bench: epoll_wait: %s\n", std::strerror(errno));
            return;
        }
        const double now = now_ms();
        std::lock_guard<std::mutex> g(r.mu);
        for (int i = 0; i < n; ++i)
            take(r, ev[i].data.u64, now);
    }
}

// Opens every pipe, leaves the backlog in it and starts the processes.
bool start_all(run &r, const inst &in, const std::string &bin, int total_seq)
{
    for (std::size_t i = 0; i < in.graphs.size(); ++i) {
        const std::string &name = in.graphs[i];
        proc &p = r.procs[i];
        const std::string fifo = in.cgi + "/" + name + ".fifo";
        p.t_w.assign(total_seq, -1);
        p.t_r.assign(total_seq, -1);
        p.w = open_backlog("scale_bench", fifo, backlog);
        if (p.w < 0)
            return false;
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            std::fprintf(stderr, "scale_bench: pipe2: %s\n", std::strerror(errno));
            return false;
        }
        std::string err;
        std::vector<std::string> extra;
        if (!r.is_feed)
            extra.push_back("./" + name + ".fifo");
        // The spawned process gets its end blocking, as a web server's pipe is.
        if (fcntl(fds[1], F_SETFL, 0) != 0)
            std::fprintf(stderr, "scale_bench: fcntl: %s\n", std::strerror(errno));
        p.pid = spawn_feed(bin, name, in.cgi, "dhle,60,300s", fds[1], extra, err);
        close_fd(fds[1], "output pipe");
        p.out = fds[0];
        if (p.pid < 0) {
            std::fprintf(stderr, "scale_bench: %s\n", err.c_str());
            return false;
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        if (epoll_ctl(r.epfd, EPOLL_CTL_ADD, p.out, &ev) != 0) {
            std::fprintf(stderr, "scale_bench: epoll_ctl: %s\n", std::strerror(errno));
            return false;
        }
    }
    return true;
}

struct phase_result {
    long lost = 0, late = 0, unwritten = 0, samples = 0;
    double p99_ms = 0, max_ms = 0;
    double us_per_sample = 0;  // schedstat
    double core_pct = 0;       // stat ticks, per feed
    double core_pct_ns = 0;    // schedstat, per feed
    double rate = 0;           // samples written per second, all graphs
    double wanted = 0;         // the rate the phase asks for
};

// Writes the samples of one phase, numbered from seq, and sums up.
phase_result one_phase(run &r, const phase &ph, int &seq)
{
    phase_result res;
    std::vector<long long> ticks0, ns0;
    for (proc &p : r.procs) {
        ticks0.push_back(cpu_ticks(p.pid));
        ns0.push_back(cpu_ns(p.pid));
    }
    const int first = seq;
    const int ticks = static_cast<int>(ph.for_s / ph.every_s + 0.5);
    const double t0 = now_ms();
    for (int t = 0; t < ticks; ++t, ++seq) {
        sleep_until_ms(t0 + t * ph.every_s * 1e3);
        const std::string l = sample_line(seq);
        for (proc &p : r.procs) {
            p.t_w[seq] = now_ms();
            if (write(p.w, l.data(), l.size()) != static_cast<ssize_t>(l.size())) {
                p.t_w[seq] = -1;
                ++res.unwritten;
            }
        }
    }
    const double t1 = now_ms();
    sleep_until_ms(t1 + grace_ms);
    long long dticks = 0, dns = 0;
    for (std::size_t i = 0; i < r.procs.size(); ++i) {
        dticks += cpu_ticks(r.procs[i].pid) - ticks0[i];
        dns += cpu_ns(r.procs[i].pid) - ns0[i];
    }
    std::vector<double> delay;
    {
        std::lock_guard<std::mutex> g(r.mu);
        for (proc &p : r.procs)
            for (int s = first; s < seq; ++s) {
                if (p.t_w[s] < 0)
                    continue;
                ++res.samples;
                if (p.t_r[s] < 0) {
                    ++res.lost;
                    continue;
                }
                delay.push_back(p.t_r[s] - p.t_w[s]);
                if (delay.back() > late_ms)
                    ++res.late;
            }
    }
    res.p99_ms = percentile(delay, 99);
    res.max_ms = percentile(delay, 100);
    res.us_per_sample = res.samples > 0 ? static_cast<double>(dns) / 1e3 / static_cast<double>(res.samples) : 0;
    const double secs = (t1 - t0 + grace_ms) / 1e3;
    res.core_pct = static_cast<double>(dticks) / static_cast<double>(sysconf(_SC_CLK_TCK)) /
                   secs / static_cast<double>(r.procs.size()) * 100;
    res.core_pct_ns = static_cast<double>(dns) / 1e9 / secs / static_cast<double>(r.procs.size()) * 100;
    res.rate = static_cast<double>(res.samples) / ((t1 - t0) / 1e3 + ph.every_s);
    res.wanted = static_cast<double>(r.procs.size()) / ph.every_s;
    return res;
}

struct outcome {
    double kib_median = 0, kib_max = 0;
    int ended = 0;  // readers whose output ended before the run did
    std::vector<phase_result> phases;
};

// Starts every process of r and waits until each has ended its history phase.
bool set_up(run &r, const inst &in, const std::string &bin, int total, std::thread &reader)
{
    r.procs.resize(in.graphs.size());
    r.epfd = epoll_create1(EPOLL_CLOEXEC);
    if (r.epfd < 0 || !start_all(r, in, bin, total))
        return false;
    reader = std::thread(reader_loop, std::ref(r));
    const double limit = now_ms() + ready_ms;
    int ready = 0;
    while (now_ms() < limit) {
        {
            std::lock_guard<std::mutex> g(r.mu);
            ready = r.ready;
        }
        if (ready == static_cast<int>(r.procs.size()))
            return true;
        sleep_until_ms(now_ms() + 100);
    }
    std::fprintf(stderr, "scale_bench: only %d of %zu readers of %s ended their history phase\n", ready,
                 r.procs.size(), bin.c_str());
    return false;
}

void memory(run &r, outcome &o)
{
    std::vector<double> kib;
    for (proc &p : r.procs)
        kib.push_back(static_cast<double>(private_dirty_kib(p.pid)));
    o.kib_median = median(kib);
    o.kib_max = percentile(kib, 100);
}

// Ends the processes (SIGTERM, then SIGKILL for any left), the reader
// thread and every descriptor of r.
void tear_down(run &r, std::thread &reader)
{
    for (proc &p : r.procs)
        if (p.pid > 0 && kill(p.pid, SIGTERM) != 0)
            std::fprintf(stderr, "scale_bench: kill %d: %s\n", static_cast<int>(p.pid), std::strerror(errno));
    for (proc &p : r.procs)
        end_proc(p.pid, SIGKILL);
    r.stop = true;
    if (reader.joinable())
        reader.join();
    for (proc &p : r.procs) {
        close_fd(p.out, "output pipe");
        close_fd(p.w, "pipe");
    }
    close_fd(r.epfd, "epoll");
}

// Runs the feeds and the cat processes side by side, each set in its own
// installation; the phases alternate between them, so both meet the same
// load of the machine, and each set sleeps while the other is fed.
bool run_both(const std::string &feed, inst &in_f, inst &in_c, const std::vector<phase> &phases, outcome &f,
              outcome &c)
{
    int total = backlog + 1;
    for (const phase &ph : phases)
        total += static_cast<int>(ph.for_s / ph.every_s + 0.5);
    run rf, rc;
    rf.is_feed = true;
    std::thread tf, tc;
    const bool ok = set_up(rf, in_f, feed, total, tf) && set_up(rc, in_c, "/bin/cat", total, tc);
    if (ok) {
        memory(rf, f);
        memory(rc, c);
        int seq_f = backlog + 1, seq_c = backlog + 1;
        for (const phase &ph : phases) {
            f.phases.push_back(one_phase(rf, ph, seq_f));
            c.phases.push_back(one_phase(rc, ph, seq_c));
        }
        std::lock_guard<std::mutex> gf(rf.mu), gc(rc.mu);
        f.ended = rf.ended;
        c.ended = rc.ended;
    }
    tear_down(rf, tf);
    tear_down(rc, tc);
    return ok;
}

bool parse_phases(const char *text, std::vector<phase> &out)
{
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, ',')) {
        phase ph{};
        if (std::sscanf(item.c_str(), "%lf:%lf", &ph.every_s, &ph.for_s) != 2 || ph.every_s <= 0 ||
            ph.for_s < ph.every_s)
            return false;
        out.push_back(ph);
    }
    return !out.empty();
}

void report(int n, const std::vector<phase> &phases, const outcome &f, const outcome &c)
{
    std::string nf = std::to_string(n) + " feeds";
    print_row("scale " + nf + ", private dirty per feed", fmt(f.kib_median, 0, " KiB"),
              fmt(c.kib_median, 0, " KiB (cat)"), f.kib_median / c.kib_median, "< 256 KiB",
              f.kib_median < 256 ? "yes" : "no");
    std::string knee = "none up to the fastest rate";
    std::string writer = "kept every rate";
    for (std::size_t i = 0; i < phases.size(); ++i) {
        const phase_result &a = f.phases[i], &b = c.phases[i];
        const double e = phases[i].every_s;
        const std::string at = " every " + fmt(e, e < 0.1 ? 3 : e < 1 ? 2 : 0, " s");
        const bool met = a.lost == 0 && a.late == 0 && a.unwritten == 0;
        if (!met && knee[0] == 'n')
            knee = "first miss at a sample" + at;
        // One writer thread that falls short of the asked rate is the limit
        // of the run, not of the feeds.
        if (a.rate < 0.9 * a.wanted && writer[0] == 'k')
            writer = "fell short first at a sample" + at + " (" + fmt(a.rate, 0, " of ") +
                     fmt(a.wanted, 0, " samples/s)");
        print_row("scale " + nf + at + ", p99 delay (lost/late)",
                  fmt(a.p99_ms, 1, " ms (") + std::to_string(a.lost) + "/" + std::to_string(a.late) + ")",
                  fmt(b.p99_ms, 1, " ms (") + std::to_string(b.lost) + "/" + std::to_string(b.late) + ") cat",
                  a.p99_ms / b.p99_ms, "0 lost, 0 late > 100 ms", met ? "yes" : "no");
        print_row("scale " + nf + at + ", CPU per sample", fmt(a.us_per_sample, 1, " us"),
                  fmt(b.us_per_sample, 1, " us (cat)"), a.us_per_sample / b.us_per_sample, "-", "-");
        std::printf("note\tscale%s: %.0f of %.0f samples/s written; CPU per feed %.4f %% of a core (schedstat; "
                    "stat ticks %.4f %%), cat %.4f %% (%.4f %%); max delay feed %.1f ms, cat %.1f ms; "
                    "unwritten feed %ld, cat %ld\n",
                    at.c_str(), a.rate, a.wanted, a.core_pct_ns, a.core_pct, b.core_pct_ns, b.core_pct, a.max_ms,
                    b.max_ms, a.unwritten, b.unwritten);
    }
    std::printf("note\tscale: max private dirty feed %.0f KiB, cat %.0f KiB; knee of the feed: %s; "
                "the one writer %s; outputs that ended early: feed %d, cat %d\n",
                f.kib_max, c.kib_max, knee.c_str(), writer.c_str(), f.ended, c.ended);
}

}  // namespace

int main(int argc, char **argv)
{
    int n = 1000;
    const char *phase_text = "5:20,1:8,0.2:6,0.05:5,0.02:5,0.01:4";
    int a = 1;
    for (; a + 1 < argc && argv[a][0] == '-'; a += 2) {
        if (std::strcmp(argv[a], "--feeds") == 0)
            n = std::atoi(argv[a + 1]);
        else if (std::strcmp(argv[a], "--phases") == 0)
            phase_text = argv[a + 1];
    }
    std::vector<phase> phases;
    if (argc - a != 1 || n < 1 || n > 9999 || !parse_phases(phase_text, phases)) {
        std::fprintf(stderr, "usage: scale_bench [--feeds N] [--phases S:D,...] FEED\n");
        return 2;
    }
    // A freshly written program's pages count as dirty until written back.
    sync();
    std::string err;
    if (!raise_nofile(static_cast<std::size_t>(6 * n + 64), err)) {
        std::fprintf(stderr, "scale_bench: %s\n", err.c_str());
        return 1;
    }
    inst in_f, in_c;
    outcome f, c;
    bool ok = make_inst(bench_names(n), 5, in_f, err) && make_inst(bench_names(n), 5, in_c, err);
    if (!ok)
        std::fprintf(stderr, "scale_bench: %s\n", err.c_str());
    else
        ok = run_both(abs_path(argv[a]), in_f, in_c, phases, f, c);
    remove_inst(in_f);
    remove_inst(in_c);
    if (!ok)
        return 1;
    report(n, phases, f, c);
    return 0;
}
