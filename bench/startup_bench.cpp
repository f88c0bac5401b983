// Feed start-up benchmark: time from the spawn of a feed until it opens its graph's pipe, against a minimal C program.
//
// Usage: startup_bench [--rounds N] BASELINE LABEL=FEED...
// A writer opens the pipe for writing, blocking, right after the spawn; the
// open returns when the feed opens it for reading, which is the feed's last
// start-up step. Programs are measured in turn, round after round, so that
// the load of the machine falls on all of them alike.
#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct prog {
    std::string label, path;
    std::vector<std::string> extra;  // arguments after the program name
    bool row = true;                 // a row of the table, or only a note
    std::vector<double> ms;
    std::vector<double> kib;
};

// The graph measured: the third of five records, so the configuration is
// scanned past other records as in a small installation.
constexpr int graph_count = 5;
constexpr int graph_index = 2;
// A feed that has not opened its pipe by then has failed.
constexpr int open_limit_s = 5;
// Memory is read in this many rounds; it hardly varies.
constexpr int mem_rounds = 10;

void on_alarm(int) {}

// Arms (s > 0) or disarms the one-shot timer that interrupts a blocked open.
void set_timer(int s)
{
    itimerval it{};
    it.it_value.tv_sec = s;
    if (setitimer(ITIMER_REAL, &it, nullptr) != 0)
        std::fprintf(stderr, "startup_bench: setitimer: %s\n", std::strerror(errno));
}

// One start-up of p; returns its time in ms, or a negative number on failure.
double one_start(prog &p, const inst &in, const std::string &name, int devnull, bool want_mem)
{
    remove_pid_file(name);
    const std::string fifo = in.cgi + "/" + name + ".fifo";
    std::string err;
    const double t0 = now_ms();
    pid_t pid = spawn_feed(p.path, name, in.cgi, "dhle,60,300s", devnull, p.extra, err);
    if (pid < 0) {
        std::fprintf(stderr, "startup_bench: %s\n", err.c_str());
        return -1;
    }
    set_timer(open_limit_s);
    int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    const int open_errno = errno;
    const double t1 = now_ms();
    set_timer(0);
    if (fd < 0) {
        std::fprintf(stderr, "startup_bench: open %s for %s: %s\n", fifo.c_str(), p.label.c_str(),
                     open_errno == EINTR ? "no reader within the time limit" : std::strerror(open_errno));
        end_proc(pid, SIGKILL);
        return -1;
    }
    if (want_mem && wait_sleeping(pid, 1000)) {
        long kib = private_dirty_kib(pid);
        if (kib >= 0)
            p.kib.push_back(static_cast<double>(kib));
    }
    end_proc(pid, SIGKILL);
    close_fd(fd, fifo.c_str());
    return t1 - t0;
}

void report(const std::vector<prog> &progs)
{
    const prog &base = progs[0];
    const double b_ms = median(base.ms), b_kib = median(base.kib);
    for (std::size_t i = 1; i < progs.size(); ++i) {
        const prog &p = progs[i];
        if (!p.row)
            continue;
        const double ms = median(p.ms), kib = median(p.kib);
        const double r = ms / b_ms;
        print_row("feed start-up, " + p.label, fmt(ms, 3, " ms"), fmt(b_ms, 3, " ms (C)"), r,
                  "<= 1.5x", r <= 1.5 ? "yes" : "no");
        print_row("feed private dirty, " + p.label, fmt(kib, 0, " KiB"), fmt(b_kib, 0, " KiB (C)"),
                  kib / b_kib, "< 256 KiB", kib < 256 ? "yes" : "no");
    }
    for (const prog &p : progs)
        std::printf("note\tstart-up %s: median %.3f ms, p10 %.3f, p90 %.3f over %zu runs\n",
                    p.label.c_str(), median(p.ms), percentile(p.ms, 10), percentile(p.ms, 90),
                    p.ms.size());
    std::printf("note\tstart-up: the shell that runs rm takes %.3f ms of the C baseline's %.3f ms\n",
                b_ms - median(progs[1].ms), b_ms);
}

}  // namespace

int main(int argc, char **argv)
{
    int rounds = 200;
    int a = 1;
    if (a + 1 < argc && std::strcmp(argv[a], "--rounds") == 0) {
        rounds = std::atoi(argv[a + 1]);
        a += 2;
    }
    if (argc - a < 2 || rounds < 1) {
        std::fprintf(stderr, "usage: startup_bench [--rounds N] BASELINE LABEL=FEED...\n");
        return 2;
    }
    // The baseline, then the same without the shell for rm (a note only).
    std::vector<prog> progs{{"C baseline", abs_path(argv[a]), {}, true, {}, {}},
                            {"C baseline, unlink instead of the shell's rm", abs_path(argv[a]), {"unlink"}, false,
                             {}, {}}};
    for (int i = a + 1; i < argc; ++i) {
        const char *eq = std::strchr(argv[i], '=');
        if (eq == nullptr) {
            std::fprintf(stderr, "startup_bench: %s is not LABEL=FEED\n", argv[i]);
            return 2;
        }
        progs.push_back({std::string(argv[i], static_cast<std::size_t>(eq - argv[i])), abs_path(eq + 1), {}, true,
                         {}, {}});
    }

    // A freshly written program's pages count as dirty until written back.
    sync();
    struct sigaction sa {};
    sa.sa_handler = on_alarm;  // no SA_RESTART: the blocked open returns EINTR
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGALRM, &sa, nullptr) != 0) {
        std::fprintf(stderr, "startup_bench: sigaction SIGALRM: %s\n", std::strerror(errno));
        return 1;
    }
    int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devnull < 0) {
        std::fprintf(stderr, "startup_bench: open /dev/null: %s\n", std::strerror(errno));
        return 1;
    }
    inst in;
    std::string err;
    if (!make_inst(bench_names(graph_count), 5, in, err)) {
        std::fprintf(stderr, "startup_bench: %s\n", err.c_str());
        remove_inst(in);
        return 1;
    }
    const std::string name = in.graphs[graph_index];
    int status = 0;
    for (int r = 0; r < rounds && status == 0; ++r)
        for (prog &p : progs) {
            double ms = one_start(p, in, name, devnull, r < mem_rounds);
            if (ms < 0) {
                status = 1;
                break;
            }
            p.ms.push_back(ms);
        }
    remove_inst(in);
    close_fd(devnull, "/dev/null");
    if (status == 0)
        report(progs);
    return status;
}
