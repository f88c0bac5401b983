// Live capture benchmark: CPU per packet of the daemon against tcpdump on the same loopback traffic, and the share each counted.
//
// Usage: live_bench TRAXEL [--rates R,R,...|top] [--runs N] [--seconds S] [--buffer MIB]
// As root. The daemon runs from a temporary installation on lo with a few
// graphs, one of them the port that a sender thread floods with 64-byte
// frames (UDP) at each rate ("top": as fast as it can) for S seconds per
// phase. In every phase tcpdump -w /dev/null captures the same traffic at
// the same time, with the daemon's kernel filter and the same buffer. CPU
// time of both comes from /proc/PID/schedstat over the phase; the daemon's
// count from its sample lines, tcpdump's from its exit report.
#include "harness.h"

#include "cfg.h"
#include "contract.h"
#include "filter.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pcap/dlt.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Ethernet header, IPv4 header, UDP header and data make a 64-byte frame.
constexpr int payload_bytes = 64 - 14 - 20 - 8;
constexpr int batch = 64;  // datagrams per sendmmsg
// After a grid time the daemon has written its samples by then.
constexpr double sample_wait_s = 1.0;

double wall()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Sleeps until sample_wait_s after the first grid time at or after t.
void sleep_past_grid(double t)
{
    const double at = std::ceil(t / sample_interval) * sample_interval + sample_wait_s;
    sleep_until_ms(now_ms() + (at - wall()) * 1e3);
}

// Sends 64-byte frames to 127.0.0.1:port for seconds at rate datagrams per
// second (0: as fast as it can); returns how many were sent.
uint64_t send_udp(int port, double rate, double seconds)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        std::fprintf(stderr, "live_bench: sender socket: %s\n", std::strerror(errno));
        close_fd(fd, "sender");
        return 0;
    }
    char data[payload_bytes] = "traxel live bench";
    iovec iov{data, sizeof data};
    mmsghdr msgs[batch]{};
    for (mmsghdr &m : msgs) {
        m.msg_hdr.msg_iov = &iov;
        m.msg_hdr.msg_iovlen = 1;
    }
    uint64_t sent = 0;
    const double t0 = now_ms(), end = t0 + seconds * 1e3;
    for (double t = t0; t < end; t = now_ms()) {
        const double due = rate > 0 ? rate * (t - t0) / 1e3 - static_cast<double>(sent) : batch;
        if (due < 1) {
            sleep_until_ms(t + 0.2);
            continue;
        }
        const int n = sendmmsg(fd, msgs, due < batch ? static_cast<unsigned>(due) : batch, 0);
        if (n > 0)
            sent += static_cast<uint64_t>(n);
        else if (errno != EAGAIN && errno != ENOBUFS && errno != EINTR) {
            std::fprintf(stderr, "live_bench: sendmmsg: %s\n", std::strerror(errno));
            break;
        }
    }
    close_fd(fd, "sender");
    return sent;
}

// A child process and the read end of its standard error (-1: inherited).
struct child {
    pid_t pid = -1;
    int err_fd = -1;
};

// Runs argv in dir; with errs, its standard error into a pipe.
bool start(const std::vector<std::string> &argv, const std::string &dir, bool errs, child &c)
{
    int p[2] = {-1, -1};
    if (errs && pipe2(p, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "live_bench: pipe: %s\n", std::strerror(errno));
        return false;
    }
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
    if (c.pid < 0) {
        std::fprintf(stderr, "live_bench: fork: %s\n", std::strerror(errno));
        return false;
    }
    return true;
}

// Reads what c writes on standard error until want appears in it, the pipe
// ends or limit_ms passes; returns everything read.
std::string read_errs(child &c, const char *want, double limit_ms)
{
    std::string got;
    const double end = now_ms() + limit_ms;
    for (double t = now_ms(); t < end && (!want || got.find(want) == std::string::npos); t = now_ms()) {
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

// Reads the sample lines waiting in the pipe fd, adding their values to sum;
// returns how many there were.
std::size_t take_samples(int fd, long long &sum)
{
    std::vector<std::string> lines;
    line_reader lr;
    char b[4096];
    ssize_t n;
    while ((n = read(fd, b, sizeof b)) > 0)
        lr.feed(b, static_cast<std::size_t>(n), lines);
    for (const std::string &l : lines) {
        const std::size_t sp = l.find(' ');
        if (sp != std::string::npos)
            sum += std::atoll(l.c_str() + sp + 1);
    }
    return lines.size();
}

// The daemon's kernel drops from its published metrics, or -1 when none.
long long daemon_drops(const std::string &dir)
{
    std::ifstream f(dir + "/run/traxel.prom");
    std::string line;
    long long sum = -1;
    while (std::getline(f, line))
        if (line.rfind("traxel_capture_dropped_packets_total{", 0) == 0 &&
            line.find("where=\"kernel\"") != std::string::npos)
            sum = (sum < 0 ? 0 : sum) + std::atoll(line.c_str() + line.rfind(' ') + 1);
    return sum;
}

// The figures at one moment: CPU times, counts so far, drops so far.
struct mark {
    long long cpu_daemon = -1, cpu_dump = -1;
    long long counted = 0, captured = -1, dump_drops = -1, daemon_drops = -1;
};

struct phase_result {
    double sent = 0, seconds = 0;
    mark from, to;
};

struct setup {
    std::string filter, dir;
    int port = 0, pipe_fd = -1;
    pid_t daemon = -1;
    child dump;
    double seconds = 3;
};

// Takes a mark sample_wait_s after a grid time, when the daemon has written
// the samples of every frame sent before it: the sample lines waiting since
// the last mark, and tcpdump's report of its counts (asked for by SIGUSR1).
bool take_mark(setup &s, mark &m)
{
    sleep_past_grid(wall());
    take_samples(s.pipe_fd, m.counted);
    m.cpu_daemon = cpu_ns(s.daemon);
    m.cpu_dump = cpu_ns(s.dump.pid);
    m.daemon_drops = daemon_drops(s.dir);
    if (kill(s.dump.pid, SIGUSR1) != 0)
        std::fprintf(stderr, "live_bench: kill -USR1 tcpdump: %s\n", std::strerror(errno));
    const std::string said = read_errs(s.dump, "dropped by kernel", 5000);
    m.captured = count_before(said, " packets captured");
    m.dump_drops = count_before(said, " packets dropped by kernel");
    return m.cpu_daemon >= 0 && m.cpu_dump >= 0 && m.captured >= 0;
}

// One phase: sending begins at a mark and the next mark is taken after the
// grid time that follows its end.
bool phase(setup &s, double rate, const mark &from, phase_result &r)
{
    r.from = from;
    const double w0 = now_ms();
    r.sent = static_cast<double>(send_udp(s.port, rate, s.seconds));
    r.seconds = (now_ms() - w0) / 1e3;
    return take_mark(s, r.to) && r.sent > 0;
}

std::string pct(double share)
{
    return fmt(100 * share, share < 1 && share > 0.9995 ? 2 : 1, " %");
}

// Opens a UDP socket on a free port of 127.0.0.1 that takes the sender's
// datagrams (so no ICMP answers them) and drops them unread in its small
// buffer; returns it and sets port, or -1.
int open_receiver(int &port)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof at;
    const int small = 4096;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small) != 0 ||
        bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&at), &len) != 0) {
        std::fprintf(stderr, "live_bench: receiving socket: %s\n", std::strerror(errno));
        close_fd(fd, "receiver");
        return -1;
    }
    port = ntohs(at.sin_port);
    return fd;
}

// Makes the installation for graph (port s.port), starts the daemon in it
// and tcpdump beside it, and waits until both capture.
bool start_both(setup &s, const std::string &traxel, const std::string &graph, int buffer_mib, inst &in)
{
    const std::string p = std::to_string(s.port), q = std::to_string(s.port + 1);
    const std::string cfg = "window 5\n" + graph + " " + p + " 0 1000 800\nlbsock " + q +
                            " 0 10 5\nlbproto 47 0 10 5\nlbip6 2001:db8::1 0 10 5\nlbnet 198.18.0.0 15 0 10 5\n";
    std::string err;
    if (!make_inst_cfg(cfg, {graph, "lbsock", "lbproto", "lbip6", "lbnet"}, in, err) ||
        !load_graphs((in.dir + "/traxel.cfg").c_str(), err)) {
        std::fprintf(stderr, "live_bench: %s\n", err.c_str());
        return false;
    }
    s.dir = in.dir;
    // Loopback is an Ethernet link to libpcap.
    s.filter = capture_filter(graphs, DLT_EN10MB);
    const std::string run_dir = in.dir + "/run";
    const passwd *nobody = getpwnam("nobody");
    if (mkdir(run_dir.c_str(), 0755) != 0 || !nobody || chown(run_dir.c_str(), nobody->pw_uid, nobody->pw_gid) != 0)
        std::fprintf(stderr, "live_bench: %s for nobody: %s\n", run_dir.c_str(), std::strerror(errno));
    std::ofstream(in.dir + "/capture.cfg") << "interface lo\nbuffer " << buffer_mib << "\n";
    s.pipe_fd = open((in.cgi + "/" + graph + ".fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    child daemon;
    if (s.pipe_fd < 0 || !start({traxel, "-f", "-i", "lo"}, in.dir, false, daemon) ||
        !start({"/usr/bin/tcpdump", "-i", "lo", "-B", std::to_string(buffer_mib * 1024), "-w", "/dev/null", s.filter},
               "/", true, s.dump))
        return false;
    s.daemon = daemon.pid;
    const std::string hello = read_errs(s.dump, "listening on", 10000);
    if (hello.find("listening on") == std::string::npos) {
        std::fprintf(stderr, "live_bench: tcpdump did not start: %s\n", hello.c_str());
        return false;
    }
    // The daemon captures once its first sample line has come.
    const double ready_by = now_ms() + 2e3 * sample_interval;
    long long ignored = 0;
    while (take_samples(s.pipe_fd, ignored) == 0 && now_ms() < ready_by && waitpid(s.daemon, nullptr, WNOHANG) == 0)
        sleep_until_ms(now_ms() + 100);
    return waitpid(s.daemon, nullptr, WNOHANG) == 0;
}

// Prints the rows of one rate from its phases.
void print_rate(double rate, const std::vector<phase_result> &v, double seconds)
{
    std::vector<double> d, t, achieved, ratio;
    double worst_daemon = 1, worst_dump = 1;
    long long dd = 0, td = 0;
    bool dd_known = true;
    for (const phase_result &r : v) {
        d.push_back(static_cast<double>(r.to.cpu_daemon - r.from.cpu_daemon) / 1e3 / r.sent);
        t.push_back(static_cast<double>(r.to.cpu_dump - r.from.cpu_dump) / 1e3 / r.sent);
        ratio.push_back(d.back() / t.back());
        achieved.push_back(r.sent / r.seconds);
        // The mark after the phase holds the sample lines of the phase.
        worst_daemon = std::min(worst_daemon, static_cast<double>(r.to.counted) / r.sent);
        worst_dump = std::min(worst_dump, static_cast<double>(r.to.captured - r.from.captured) / r.sent);
        dd_known = dd_known && r.from.daemon_drops >= 0 && r.to.daemon_drops >= 0;
        dd += r.to.daemon_drops - r.from.daemon_drops;
        td += r.to.dump_drops - r.from.dump_drops;
    }
    const std::string at_rate = rate > 0 ? fmt(rate / 1e3, 0, "k pkt/s") : "top rate";
    const double q = median(ratio);
    print_row("live capture " + at_rate + ", CPU per Mpkt", fmt(median(d), 3, " s"), fmt(median(t), 3, " s (tcpdump)"),
              q, "<= 1.5x", q <= 1.5 ? "yes" : "no");
    print_row("live capture " + at_rate + ", counted (worst run)", pct(worst_daemon), pct(worst_dump) + " (tcpdump)",
              worst_daemon / worst_dump, "100 % where tcpdump 100 %",
              worst_dump < 1 ? "-" : worst_daemon >= 1 ? "yes" : "no");
    std::printf("note\tlive capture %s: %.0f pkt/s sent (median of %zu runs of %.0f s); kernel drops over the runs: "
                "daemon %s, tcpdump %lld\n",
                at_rate.c_str(), median(achieved), v.size(), seconds, dd_known ? std::to_string(dd).c_str() : "unknown",
                td);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: live_bench TRAXEL [--rates R,...|top] [--runs N] [--seconds S] [--buffer MIB]\n");
        return 2;
    }
    setup s;
    int buffer_mib = 128, runs = 3;
    std::string rates_arg = "20000,100000,300000,top";
    for (int a = 2; a + 1 < argc; a += 2) {
        const std::string k = argv[a], v = argv[a + 1];
        if (k == "--rates")
            rates_arg = v;
        else if (k == "--runs")
            runs = std::atoi(v.c_str());
        else if (k == "--seconds")
            s.seconds = std::atof(v.c_str());
        else if (k == "--buffer")
            buffer_mib = std::atoi(v.c_str());
    }
    std::vector<double> rates;
    std::stringstream rs(rates_arg);
    for (std::string r; std::getline(rs, r, ',');)
        rates.push_back(r == "top" ? 0 : std::atof(r.c_str()));
    // Each phase must end before the grid time after the mark it starts at.
    if (s.seconds <= 0 || s.seconds > sample_interval - sample_wait_s - 0.5) {
        std::fprintf(stderr, "live_bench: --seconds must lie in (0, %.1f]\n", sample_interval - sample_wait_s - 0.5);
        return 2;
    }
    const int rx = open_receiver(s.port);
    inst in;
    bool ok = rx >= 0 && start_both(s, abs_path(argv[1]), "lbport" + std::to_string(s.port), buffer_mib, in);
    std::map<double, std::vector<phase_result>> results;
    mark m;
    ok = ok && take_mark(s, m);
    for (int run = 0; ok && run < runs; ++run)
        for (double rate : rates) {
            phase_result r;
            if (!(ok = phase(s, rate, m, r)))
                break;
            m = r.to;
            m.counted = 0;
            results[rate].push_back(r);
        }
    end_proc(s.daemon, SIGTERM);
    end_proc(s.dump.pid, SIGTERM);
    close_fd(s.dump.err_fd, "tcpdump stderr");
    close_fd(s.pipe_fd, "pipe");
    close_fd(rx, "receiver");
    remove_inst(in);
    if (!ok) {
        std::fprintf(stderr, "live_bench: the daemon or tcpdump did not run to the end\n");
        return 1;
    }
    for (double rate : rates)
        print_rate(rate, results[rate], s.seconds);
    std::printf("note\tlive capture: kernel filter of the daemon and of tcpdump: %s\n", s.filter.c_str());
    return 0;
}
