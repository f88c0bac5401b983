// Live capture benchmark: the host's CPU per packet of the daemon's two ways of counting against tcpdump, the share each counted, the idle daemon, and the wire packets of a transfer with offloads.
//
// Usage: live_bench TRAXEL [--rates R,R,...|top] [--seconds S] [--buffer MIB] [--idle-graphs N]
// As root. On loopback and on a veth pair into a private network namespace,
// a sender floods 64-byte UDP datagrams at each rate ("top": as fast as it
// can) for S seconds, once with nothing capturing and once each with tcpdump
// -w /dev/null (the daemon's kernel filter, the same buffer), the daemon
// counting with libpcap and the daemon counting in the kernel, one at a time.
// A capturer's cost is the CPU time of the sender, the kernel's softirq
// threads and the capturer (path_cpu_ns) per million datagrams above that
// with nothing capturing; its share is what its port graph (or tcpdump)
// counted of them.
// Each phase lies inside one interval of the sample grid, the daemon's
// count being the sample of the grid time after it. Then the daemon idle
// with N graphs (its own CPU per interval), and a bulk TCP transfer out of the
// namespace over the veth pair with TSO and GRO on, counted by both ways and
// tcpdump at once against the TCP segments that the namespace sent and
// received.
#include "harness.h"
#include "netbench.h"

#include "cfg.h"
#include "contract.h"
#include "filter.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pcap/dlt.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

double wall()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Sleeps until offset seconds after the next grid time; returns that grid time.
long long after_grid(double offset)
{
    const double g = std::floor(wall() / sample_interval + 1) * sample_interval;
    sleep_until_ms(now_ms() + (g + offset - wall()) * 1e3);
    return static_cast<long long>(g);
}

// A child process and the read end of its standard error (-1: inherited).
struct proc {
    pid_t pid = -1;
    int err_fd = -1;
};

// Runs argv in dir; with errs, its standard error into a pipe.
bool start(const std::vector<std::string> &argv, const std::string &dir, bool errs, proc &c)
{
    int p[2] = {-1, -1};
    if (errs && pipe2(p, O_CLOEXEC) != 0)
        return false;
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    c.pid = fork();
    if (c.pid == 0) {
        if (chdir(dir.c_str()) != 0 || (errs && dup2(p[1], 2) < 0))
            _exit(127);
        execv(args[0], args.data());
        _exit(127);
    }
    close_fd(p[1], "stderr pipe");
    c.err_fd = p[0];
    return c.pid > 0;
}

// What c writes on standard error until want appears, the pipe ends or limit_ms passes.
std::string read_errs(const proc &c, const char *want, double limit_ms)
{
    std::string got;
    const double end = now_ms() + limit_ms;
    for (double t = now_ms(); t < end && got.find(want) == std::string::npos; t = now_ms()) {
        pollfd pfd{c.err_fd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(end - t) + 1) <= 0)
            continue;
        char b[4096];
        const ssize_t n = read(c.err_fd, b, sizeof b);
        if (n <= 0)
            break;
        got.append(b, static_cast<std::size_t>(n));
    }
    return got;
}

// The number just before the last label in text ("N packets captured"), or -1.
long long count_before(const std::string &text, const char *label)
{
    std::size_t at = text.rfind(label);
    if (at == std::string::npos)
        return -1;
    while (at > 0 && text[at - 1] >= '0' && text[at - 1] <= '9')
        --at;
    return std::atoll(text.c_str() + at);
}

// tcpdump's count of captured packets so far (asked for with SIGUSR1), or -1.
long long dump_count(const proc &dump)
{
    if (kill(dump.pid, SIGUSR1) != 0)
        return -1;
    return count_before(read_errs(dump, "dropped by kernel", 5000), " packets captured");
}

// A capturer on one interface: tcpdump, or the daemon by one method.
struct capturer {
    std::string what;  // "tcpdump", "pcap", "kernel"
    proc p;
    inst in;
    std::string graph;  // the daemon's graph of the flood's port
    int pipe_fd = -1;

    ~capturer()
    {
        end_proc(p.pid, SIGTERM);
        close_fd(p.err_fd, "stderr");
        close_fd(pipe_fd, "pipe");
        if (!in.dir.empty())
            remove_inst(in);
    }
};

// The daemon's configuration: graph on port, and graphs of the other kinds.
std::string bench_cfg(const std::string &graph, int port)
{
    const std::string p = std::to_string(port), q = std::to_string(port + 1);
    return "window 5\n" + graph + " " + p + " 0 1000 800\nlbsock " + q +
           " 0 10 5\nlbproto 47 0 10 5\nlbip6 2001:db8::1 0 10 5\nlbnet 198.18.0.0 15 0 10 5\n";
}

// Starts c on iface counting port (with tcpdump, the daemon's filter);
// returns once it captures.
bool start_capturer(capturer &c, const std::string &traxel, const std::string &iface, int port, int buffer_mib)
{
    c.graph = "lbport" + std::to_string(port);
    std::string err;
    if (!make_inst_cfg(bench_cfg(c.graph, port), {c.graph, "lbsock", "lbproto", "lbip6", "lbnet"}, c.in, err) ||
        !load_graphs((c.in.dir + "/traxel.cfg").c_str(), err)) {
        std::fprintf(stderr, "live_bench: %s\n", err.c_str());
        return false;
    }
    if (c.what == "tcpdump") {
        const std::string filter = capture_filter(graphs, DLT_EN10MB);
        if (!start({"/usr/bin/tcpdump", "-i", iface, "-B", std::to_string(buffer_mib * 1024), "-w", "/dev/null", filter},
                   "/", true, c.p))
            return false;
        return read_errs(c.p, "listening on", 10000).find("listening on") != std::string::npos;
    }
    std::ofstream(c.in.dir + "/capture.cfg") << "interface " << iface << "\nbuffer " << buffer_mib << "\nmethod "
                                              << c.what << "\n";
    c.pipe_fd = open((c.in.cgi + "/" + c.graph + ".fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (c.pipe_fd < 0 || !start({traxel, "-f"}, c.in.dir, true, c.p))
        return false;
    // It counts once it has said how.
    const std::string said = read_errs(c.p, "counting", 10000);
    if (said.find(c.what == "kernel" ? "in the kernel" : "with libpcap") == std::string::npos) {
        std::fprintf(stderr, "live_bench: the daemon did not count by %s: %s\n", c.what.c_str(), said.c_str());
        return false;
    }
    return true;
}

// The sample lines waiting in the pipe fd, by their label's seconds of the day.
std::map<long long, long long> samples(int fd)
{
    std::map<long long, long long> out;
    std::vector<std::string> lines;
    line_reader lr;
    char b[4096];
    for (ssize_t n; (n = read(fd, b, sizeof b)) > 0;)
        lr.feed(b, static_cast<std::size_t>(n), lines);
    for (const std::string &l : lines)
        if (l.size() > 9 && l[2] == ':' && l[5] == ':')
            out[std::atoll(l.c_str()) * 3600 + std::atoll(l.c_str() + 3) * 60 + std::atoll(l.c_str() + 6)] =
                std::atoll(l.c_str() + 9);
    return out;
}

// One phase: datagrams sent, CPU time of the path, and what the capturer counted.
struct phase_result {
    double sent = 0, seconds = 0, cpu_ns = 0, counted = -1;
    long long grid = 0;  // the grid time the phase started after
};

// Sends at rate during one interval, measuring the CPU of its path.
phase_result phase(const std::string &to, int port, double rate, double seconds, capturer *c)
{
    phase_result r;
    const long long before = c && c->what == "tcpdump" ? dump_count(c->p) : 0;
    r.grid = after_grid(0.5);
    const pid_t pid = c ? c->p.pid : 0;
    const long long t0 = path_cpu_ns(pid);
    const double w0 = now_ms();
    r.sent = static_cast<double>(send_udp(to, port, rate, seconds));
    r.seconds = (now_ms() - w0) / 1e3;
    sleep_until_ms(now_ms() + 50);  // the last datagrams' softirq work
    r.cpu_ns = static_cast<double>(path_cpu_ns(pid) - t0);
    if (c && c->what == "tcpdump") {
        // tcpdump's ring hands over a block within a second.
        sleep_until_ms(now_ms() + 1200);
        r.counted = static_cast<double>(dump_count(c->p) - before);
    }
    return r;
}

std::string pct(double share)
{
    return fmt(100 * share, share < 1 && share > 0.9995 ? 2 : 1, " %");
}

// The overhead table: every capturer on both media at every rate.
bool overhead(const std::string &traxel, const std::vector<double> &rates, double seconds, int buffer_mib,
              const veth_pair &veth)
{
    int port = 0;
    const int lo_rx = loopback_receiver(port), veth_rx = veth.peer_receiver(port);
    if (lo_rx < 0 || veth_rx < 0)
        return false;
    struct medium {
        const char *name;
        std::string iface, to;
    } const media[] = {{"loopback", "lo", "127.0.0.1"}, {"veth", veth.host_if, veth.peer4}};
    bool ok = true;
    for (const medium &m : media) {
        std::map<double, phase_result> none;
        for (double rate : rates)
            none[rate] = phase(m.to, port, rate, seconds, nullptr);
        for (const char *what : {"tcpdump", "pcap", "kernel"}) {
            capturer c;
            c.what = what;
            if (!(ok = start_capturer(c, traxel, m.iface, port, buffer_mib))) {
                std::fprintf(stderr, "live_bench: %s did not start on %s\n", what, m.iface.c_str());
                break;
            }
            std::vector<phase_result> rs;
            for (double rate : rates)
                rs.push_back(phase(m.to, port, rate, seconds, &c));
            if (c.pipe_fd >= 0) {
                after_grid(1.0);  // the last phase's sample is written
                const std::map<long long, long long> s = samples(c.pipe_fd);
                for (phase_result &r : rs) {
                    const auto it = s.find((r.grid + sample_interval) % 86400);
                    r.counted = it == s.end() ? -1 : static_cast<double>(it->second);
                }
            }
            for (std::size_t i = 0; i < rates.size(); ++i) {
                const phase_result &r = rs[i], &base = none[rates[i]];
                const double cost = (r.cpu_ns / r.sent - base.cpu_ns / base.sent) / 1e3;
                const std::string at = rates[i] > 0 ? fmt(rates[i] / 1e3, 0, "k pkt/s") : "top rate";
                const std::string name = std::string(what == std::string("tcpdump") ? "tcpdump" : "traxel ") +
                                         (what == std::string("tcpdump") ? "" : what) + ", " + m.name + " " + at;
                print_row(name + ", CPU per Mpkt over none", fmt(cost, 3, " s"),
                          fmt(base.cpu_ns / base.sent / 1e3, 3, " s (none)"), 0, "-", "-");
                print_row(name + ", counted", pct(r.counted / r.sent), fmt(r.sent / r.seconds, 0, " pkt/s sent"),
                          r.counted / r.sent, "100 %", r.counted >= r.sent ? "yes" : "no");
            }
        }
        if (!ok)
            break;
    }
    close_fd(lo_rx, "receiver");
    close_fd(veth_rx, "receiver");
    return ok;
}

// The daemon's own CPU per interval with n graphs and no traffic of theirs.
bool idle(const std::string &traxel, int n)
{
    for (const char *method : {"pcap", "kernel"}) {
        std::string cfg = "window 5\n";
        std::vector<std::string> names;
        for (int i = 0; i < n; ++i) {
            names.push_back("idleport" + std::to_string(i));
            cfg += names.back() + " " + std::to_string(61000 + i) + " 0 10 5\n";
        }
        inst in;
        std::string err;
        proc d;
        if (!make_inst_cfg(cfg, names, in, err)) {
            std::fprintf(stderr, "live_bench: %s\n", err.c_str());
            return false;
        }
        std::ofstream(in.dir + "/capture.cfg") << "interface any\nmethod " << method << "\n";
        bool ok = start({traxel, "-f"}, in.dir, true, d) && read_errs(d, "counting", 10000).find("counting") !=
                                                                std::string::npos;
        double per = 0;
        if (ok) {
            after_grid(1.0);
            const long long c0 = cpu_ns(d.pid);
            const int intervals = 4;
            for (int i = 0; i < intervals; ++i)
                after_grid(1.0);
            per = static_cast<double>(cpu_ns(d.pid) - c0) / 1e6 / intervals;
        }
        end_proc(d.pid, SIGTERM);
        close_fd(d.err_fd, "stderr");
        remove_inst(in);
        if (!ok)
            return false;
        print_row("traxel " + std::string(method) + " idle, " + std::to_string(n) + " graphs, CPU per interval",
                  fmt(per, 3, " ms"), "-", 0, "< 1 ms", per < 1 ? "yes" : "no");
    }
    return true;
}

// A bulk TCP transfer out of the namespace for 2 s, counted by both ways and
// tcpdump at once, against the namespace's own count of its segments: its
// TCP counts each segment it sends, and each ACK it receives.
bool wire(const std::string &traxel, const veth_pair &veth, int buffer_mib)
{
    const std::string in_ns = "ip netns exec " + veth.ns + " ";
    if (std::system(("ethtool -K " + veth.host_if + " tso on gro on >/dev/null && " + in_ns + "ethtool -K " +
                     veth.peer_if + " tso on gro on >/dev/null")
                        .c_str()) != 0) {
        std::fprintf(stderr, "live_bench: ethtool cannot set the offloads\n");
        return false;
    }
    int port = 0;
    const int ls = tcp_listener(veth.host4, port);
    capturer k, p, t;
    k.what = "kernel";
    p.what = "pcap";
    t.what = "tcpdump";
    if (ls < 0 || !start_capturer(k, traxel, veth.host_if, port, buffer_mib) ||
        !start_capturer(p, traxel, veth.host_if, port, buffer_mib) ||
        !start_capturer(t, traxel, veth.host_if, port, buffer_mib))
        return false;
    std::thread sink([ls]() {
        const int c = accept(ls, nullptr, nullptr);
        char b[65536];
        while (c >= 0 && read(c, b, sizeof b) > 0) {
        }
        close_fd(c, "connection");
    });
    const long long dumped = dump_count(t.p), before = veth.peer_tcp_segments();
    const long long g = after_grid(0.5);
    const uint64_t bytes = veth.peer_send_tcp(port, 2.0);
    sink.join();
    close_fd(ls, "listener");
    after_grid(1.0);
    const long long segs = veth.peer_tcp_segments() - before, dumped_now = dump_count(t.p) - dumped;
    const long long label = (g + sample_interval) % 86400;
    const double kc = static_cast<double>(samples(k.pipe_fd)[label]), pc = static_cast<double>(samples(p.pipe_fd)[label]);
    const double s = static_cast<double>(segs);
    print_row("wire packets of a TCP transfer over veth (TSO, GRO), traxel kernel", pct(kc / s),
              std::to_string(segs) + " segments", kc / s, "within 1 %", std::fabs(kc / s - 1) <= 0.01 ? "yes" : "no");
    print_row("wire packets of a TCP transfer over veth (TSO, GRO), traxel pcap", pct(pc / s),
              std::to_string(segs) + " segments", pc / s, "-", "-");
    print_row("wire packets of a TCP transfer over veth (TSO, GRO), tcpdump", pct(static_cast<double>(dumped_now) / s),
              std::to_string(segs) + " segments", static_cast<double>(dumped_now) / s, "-", "-");
    std::printf("note\twire packets: %.0f MB sent in 2 s; the namespace's TCP counted %lld segments (InSegs + "
                "OutSegs)\n",
                static_cast<double>(bytes) / 1e6, segs);
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: live_bench TRAXEL [--rates R,...|top] [--seconds S] [--buffer MIB] "
                             "[--idle-graphs N]\n");
        return 2;
    }
    double seconds = 3;
    int buffer_mib = 128, idle_graphs = 50;
    std::string rates_arg = "1000,100000,top";
    for (int a = 2; a + 1 < argc; a += 2) {
        const std::string k = argv[a], v = argv[a + 1];
        if (k == "--rates")
            rates_arg = v;
        else if (k == "--seconds")
            seconds = std::atof(v.c_str());
        else if (k == "--buffer")
            buffer_mib = std::atoi(v.c_str());
        else if (k == "--idle-graphs")
            idle_graphs = std::atoi(v.c_str());
    }
    const std::vector<double> rates = flood_rates(rates_arg);
    // A phase must end before the grid time after the one it starts at.
    if (seconds <= 0 || seconds > sample_interval - 1.0) {
        std::fprintf(stderr, "live_bench: --seconds must lie in (0, %d]\n", sample_interval - 1);
        return 2;
    }
    // The daemons label their lines in the time zone they inherit.
    setenv("TZ", "UTC0", 1);
    veth_pair veth;
    if (!veth.ok) {
        std::fprintf(stderr, "live_bench: %s\n", veth.why.c_str());
        return 1;
    }
    const std::string traxel = abs_path(argv[1]);
    if (!overhead(traxel, rates, seconds, buffer_mib, veth) || !idle(traxel, idle_graphs) ||
        !wire(traxel, veth, buffer_mib)) {
        std::fprintf(stderr, "live_bench: a capturer did not run to the end\n");
        return 1;
    }
    return 0;
}
