// Page benchmark: 50 graphs through the multiplexed feed against 50 single feeds, for memory and for latency from pipe to client.
//
// Usage: feeds_bench [--graphs N] [--rounds R] [--runs K] FEED FEEDS
// Each run sets up one installation of N graphs, leaves a full window of
// backlog in every pipe and starts either N feeds, each read on its own pipe
// as a browser reads one connection each, or the multiplexer FEEDS for all N,
// read on one pipe. After every history phase it writes R rounds of one
// sample per graph, all graphs at once as the daemon does, one round every
// 20 ms, and stamps each write and each arrival of its "data-" line. Then it
// sums Private_Dirty of what serves the page. The two ways take turns.
#include "contract.h"
#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int backlog = 60;        // a full window of win 5
constexpr double gap_ms = 20.0;    // between two rounds
constexpr double ready_ms = 20000; // for every history phase to end
constexpr double drain_ms = 3000;  // for the last samples to arrive

// What serves the page in one run, and what arrived from it.
struct page {
    bool mux = false;
    std::vector<pid_t> pids;          // the feeds, and the multiplexer first when mux
    std::vector<int> outs;            // one pipe per feed, or the multiplexer's
    std::vector<line_reader> lines;
    std::map<std::string, int> index; // graph name -> its number
    int ready = 0;                    // graphs whose limits arrived
    long first_kib = 0;               // Private_Dirty of the multiplexer alone
    double cpu_ms = 0, first_cpu_ms = 0;  // CPU time of all, and of the multiplexer alone
    std::vector<std::vector<double>> t_r;  // [graph][seq] arrival
};

// Takes one line of graph g (-1: find it from the tag).
void take(page &p, int g, const std::string &line, double now)
{
    std::string text = line;
    if (p.mux) {
        const std::size_t sp = line.find(' ');
        if (line.empty() || line[0] == '+' || line[0] == '!' || line[0] == '=' || sp == std::string::npos)
            return;
        auto it = p.index.find(line.substr(0, sp));
        if (it == p.index.end())
            return;
        g = it->second;
        text = line.substr(sp + 1);
    }
    if (!text.empty() && text[0] == '<')
        ++p.ready;
    else if (text.rfind("data-", 0) == 0) {
        const long v = std::atol(text.c_str() + 5);
        std::vector<double> &t = p.t_r[static_cast<std::size_t>(g)];
        if (v > backlog && v < static_cast<long>(t.size()) && t[v] < 0)
            t[v] = now;
    }
}

// Waits up to ms for output, then takes what came.
void wait_out(page &p, double ms)
{
    std::vector<pollfd> fds;
    for (int fd : p.outs)
        fds.push_back({fd, POLLIN, 0});
    timespec ts{static_cast<time_t>(ms / 1e3), static_cast<long>((ms - static_cast<long>(ms / 1e3) * 1e3) * 1e6)};
    if (ppoll(fds.data(), fds.size(), &ts, nullptr) <= 0)
        return;
    const double now = now_ms();
    char buf[65536];
    for (std::size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents == 0)
            continue;
        const ssize_t n = read(fds[i].fd, buf, sizeof buf);
        if (n <= 0)
            continue;
        std::vector<std::string> got;
        p.lines[i].feed(buf, static_cast<std::size_t>(n), got);
        for (const std::string &l : got)
            take(p, p.mux ? -1 : static_cast<int>(i), l, now);
    }
}

// Starts what serves the page; false with err.
bool start(page &p, const inst &in, const std::string &feed, const std::string &feeds, std::string &err)
{
    std::string query = "k=300&g=";
    for (std::size_t g = 0; g < in.graphs.size(); ++g) {
        p.index[in.graphs[g]] = static_cast<int>(g);
        query += (g ? "," : "") + in.graphs[g];
    }
    const std::size_t n = p.mux ? 1 : in.graphs.size();
    for (std::size_t i = 0; i < n; ++i) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            err = std::string("pipe2: ") + std::strerror(errno);
            return false;
        }
        const pid_t pid = p.mux ? spawn_feed(feeds, "feeds", in.cgi, query, fds[1], {}, err)
                                : spawn_feed(feed, in.graphs[i], in.cgi, "dhle,60,300s", fds[1], {}, err);
        close_fd(fds[1], "output pipe");
        p.outs.push_back(fds[0]);
        p.lines.emplace_back();
        if (pid < 0)
            return false;
        p.pids.push_back(pid);
    }
    return true;
}

// The multiplexer's feeds, from the /proc children of its pid.
void add_children(page &p)
{
    const std::string path = "/proc/" + std::to_string(p.pids[0]) + "/task/" + std::to_string(p.pids[0]) + "/children";
    if (FILE *f = std::fopen(path.c_str(), "r")) {
        int pid;
        while (std::fscanf(f, "%d", &pid) == 1)
            p.pids.push_back(pid);
        std::fclose(f);
    }
}

// One run; appends each sample's latency in ms to lat and returns the
// private memory in KiB of what served the page, or -1 when the run failed.
long one_run(page &p, const inst &in, const std::string &feed, const std::string &feeds, int rounds,
             std::vector<double> &lat, int &lost)
{
    const std::size_t n = in.graphs.size();
    std::vector<int> w;
    for (const std::string &g : in.graphs) {
        remove_pid_file(g);
        const int fd = open_backlog("feeds_bench", in.cgi + "/" + g + ".fifo", backlog);
        if (fd < 0) {
            for (int o : w)
                close_fd(o, "pipe");
            return -1;
        }
        w.push_back(fd);
    }
    const int total = backlog + rounds + 1;
    p.t_r.assign(n, std::vector<double>(static_cast<std::size_t>(total), -1));
    std::vector<std::vector<double>> t_w(n, std::vector<double>(static_cast<std::size_t>(total), -1));
    std::string err;
    long kib = -1;
    if (!start(p, in, feed, feeds, err))
        std::fprintf(stderr, "feeds_bench: %s\n", err.c_str());
    else {
        const double limit = now_ms() + ready_ms;
        while (p.ready < static_cast<int>(n) && now_ms() < limit)
            wait_out(p, 10);
        if (p.ready < static_cast<int>(n))
            std::fprintf(stderr, "feeds_bench: %d of %zu history phases ended\n", p.ready, n);
        else {
            double next = now_ms();
            for (int s = backlog + 1; s < total; ++s) {
                while (now_ms() < next)
                    wait_out(p, next - now_ms());
                const std::string l = sample_line(s);
                for (std::size_t g = 0; g < n; ++g) {
                    t_w[g][s] = now_ms();
                    if (write(w[g], l.data(), l.size()) != static_cast<ssize_t>(l.size()))
                        std::fprintf(stderr, "feeds_bench: write: %s\n", std::strerror(errno));
                }
                next += gap_ms;
            }
            const double end = now_ms() + drain_ms;
            auto all_in = [&] {
                for (std::size_t g = 0; g < n; ++g)
                    if (p.t_r[g][total - 1] < 0)
                        return false;
                return true;
            };
            while (now_ms() < end && !all_in())
                wait_out(p, 10);
            for (std::size_t g = 0; g < n; ++g)
                for (int s = backlog + 1; s < total; ++s) {
                    if (p.t_r[g][s] < 0)
                        ++lost;
                    else
                        lat.push_back(p.t_r[g][s] - t_w[g][s]);
                }
            if (p.mux)
                add_children(p);
            kib = 0;
            for (pid_t pid : p.pids) {
                wait_sleeping(pid, 1000);
                const long k = private_dirty_kib(pid);
                const double ms = static_cast<double>(cpu_ns(pid)) / 1e6;
                p.cpu_ms += ms;
                if (pid == p.pids[0]) {
                    p.first_kib = k;
                    p.first_cpu_ms = ms;
                }
                kib = k < 0 || kib < 0 ? -1 : kib + k;
            }
            if (p.mux && p.pids.size() != n + 1)
                kib = -1;
        }
    }
    // The multiplexer ends its feeds itself when it ends.
    for (std::size_t i = 0; i < (p.mux ? 1 : p.pids.size()); ++i)
        end_proc(p.pids[i], SIGTERM);
    for (int fd : p.outs)
        close_fd(fd, "output pipe");
    for (int fd : w)
        close_fd(fd, "pipe");
    return kib;
}

}  // namespace

int main(int argc, char **argv)
{
    int graphs = 50, rounds = 200, runs = 3;
    int a = 1;
    for (; a + 1 < argc && argv[a][0] == '-'; a += 2) {
        if (std::strcmp(argv[a], "--graphs") == 0)
            graphs = std::atoi(argv[a + 1]);
        else if (std::strcmp(argv[a], "--rounds") == 0)
            rounds = std::atoi(argv[a + 1]);
        else if (std::strcmp(argv[a], "--runs") == 0)
            runs = std::atoi(argv[a + 1]);
    }
    if (argc - a != 2 || graphs < 1 || graphs > graphs_per_connection || rounds < 10 || runs < 1) {
        std::fprintf(stderr, "usage: feeds_bench [--graphs N] [--rounds R] [--runs K] FEED FEEDS\n");
        return 2;
    }
    const std::string feed = abs_path(argv[a]), feeds = abs_path(argv[a + 1]);
    inst in;
    std::string err;
    if (!make_inst(bench_names(graphs), 5, in, err)) {
        std::fprintf(stderr, "feeds_bench: %s\n", err.c_str());
        remove_inst(in);
        return 1;
    }
    // The multiplexer runs each graph's program of the CGI directory.
    for (const std::string &g : in.graphs)
        if (symlink(feed.c_str(), (in.cgi + "/" + g).c_str()) != 0)
            std::fprintf(stderr, "feeds_bench: symlink %s: %s\n", g.c_str(), std::strerror(errno));
    std::vector<double> p50[2], p99[2], mem[2], mux_mem, cpu[2], mux_cpu;
    int lost[2] = {0, 0};
    int status = 0;
    for (int run = 0; run < runs && status == 0; ++run)
        for (int which = 0; which < 2; ++which) {
            page p;
            p.mux = which == 1;
            std::vector<double> lat;
            const long kib = one_run(p, in, feed, feeds, rounds, lat, lost[which]);
            if (kib < 0) {
                status = 1;
                break;
            }
            mem[which].push_back(static_cast<double>(kib));
            cpu[which].push_back(p.cpu_ms);
            if (p.mux) {
                mux_mem.push_back(static_cast<double>(p.first_kib));
                mux_cpu.push_back(p.first_cpu_ms);
            }
            p50[which].push_back(percentile(lat, 50) * 1e3);
            p99[which].push_back(percentile(lat, 99) * 1e3);
        }
    remove_inst(in);
    if (status != 0)
        return status;
    const std::string n = std::to_string(graphs), alone = " KiB (" + n + " feeds)";
    const double m1 = median(mem[1]), m0 = median(mem[0]);
    print_row("page of " + n + " graphs, private dirty", fmt(m1, 0, " KiB (feeds)"), fmt(m0, 0, alone.c_str()),
              m1 / m0, "<= 1.1x", m1 / m0 <= 1.1 ? "yes" : "no");
    const double f50 = median(p50[1]), s50 = median(p50[0]), f99 = median(p99[1]), s99 = median(p99[0]);
    print_row("page of " + n + " graphs, latency p50", fmt(f50, 1, " us"), fmt(s50, 1, " us (single feeds)"), f50 / s50, "-", "-");
    print_row("page of " + n + " graphs, latency p99", fmt(f99, 1, " us"), fmt(s99, 1, " us (single feeds)"), f99 / s99,
              "<= 1.2x", f99 / s99 <= 1.2 ? "yes" : "no");
    std::printf("note\tpage: %d runs of %d rounds of %d samples, a round every %.0f ms; samples lost: single feeds %d, feeds %d;"
                " the multiplexer itself %.0f KiB of the figure\n",
                runs, rounds, graphs, gap_ms, lost[0], lost[1], median(mux_mem));
    std::printf("note\tpage: CPU time of a run, history included: single feeds %.1f ms, feeds and its feeds %.1f ms,"
                " of which the multiplexer %.1f ms\n", median(cpu[0]), median(cpu[1]), median(mux_cpu));
    return lost[0] + lost[1] == 0 ? 0 : 1;
}
