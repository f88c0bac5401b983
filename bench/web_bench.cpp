// Web path benchmark: concurrent browser-like clients of the feed through mini_httpd on loopback, every sample counted per client.
//
// Usage: web_bench [--clients N] [--every S] [--for D] FEED
// Lays out a temporary installation (the feed, one link per graph, the page
// directory with its cgi-bin link), starts its own mini_httpd on a free port
// of 127.0.0.1 in the 18000s, connects one client per graph, waits for every
// feed to end its history phase and then writes one sample per graph every S
// seconds for D seconds. Each client counts the "data-" lines it receives.
#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int backlog = 60;
constexpr double late_ms = 100;

struct client {
    int fd = -1;
    line_reader lines;
    bool ready = false, closed = false;
    long got = 0;
    std::vector<double> t_r;
};

// A port of 127.0.0.1 in 18000..18999 that nothing listens on; 0 when none.
int free_port()
{
    for (int port = 18000 + getpid() % 500; port < 19000; ++port) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0)
            return 0;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool ok = bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        close(s);
        if (ok)
            return port;
    }
    return 0;
}

// Connects to 127.0.0.1:port; -1 on failure.
int dial(int port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// The feed, one link to it per graph, and htdocs/cgi-bin as the server sees it.
bool lay_out(const inst &in, const std::string &feed, std::string &err)
{
    const std::string bin = in.cgi + "/plotfeed";
    std::ifstream src(feed, std::ios::binary);
    std::ofstream dst(bin, std::ios::binary);
    dst << src.rdbuf();
    dst.close();
    if (!src || !dst || chmod(bin.c_str(), 0755) != 0) {
        err = "copy " + feed + " to " + bin + " failed";
        return false;
    }
    for (const std::string &n : in.graphs)
        if (symlink("plotfeed", (in.cgi + "/" + n).c_str()) != 0) {
            err = "symlink " + n + ": " + std::strerror(errno);
            return false;
        }
    // The server's user (nobody) must reach the installation and read its pipes.
    if (symlink("../cgi-bin", (in.dir + "/httpd/htdocs/cgi-bin").c_str()) != 0 ||
        chmod(in.dir.c_str(), 0755) != 0) {
        err = std::string("symlink htdocs/cgi-bin: ") + std::strerror(errno);
        return false;
    }
    return true;
}

// Takes what arrived for client c; stamps every live sample.
void take(client &c, double now)
{
    char buf[16384];
    ssize_t n;
    std::vector<std::string> got;
    while ((n = read(c.fd, buf, sizeof buf)) > 0)
        c.lines.feed(buf, static_cast<std::size_t>(n), got);
    if (n == 0 || (n < 0 && errno != EAGAIN))
        c.closed = true;
    for (const std::string &l : got) {
        if (!l.empty() && l[0] == '<')
            c.ready = true;
        if (l.rfind("data-", 0) != 0)
            continue;
        long v = std::atol(l.c_str() + 5);
        if (v > backlog && v < static_cast<long>(c.t_r.size()) && c.t_r[v] < 0) {
            c.t_r[v] = now;
            ++c.got;
        }
    }
}

// Waits up to ms for output on any client and takes it.
void pump(int ep, std::vector<client> &cs, int ms)
{
    epoll_event ev[256];
    int n = epoll_wait(ep, ev, 256, ms);
    const double now = now_ms();
    for (int i = 0; i < n; ++i) {
        client &c = cs[ev[i].data.u64];
        take(c, now);
        if (c.closed)
            epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
    }
}

// Ends the feeds that the server started, named by their pid files, after
// checking that each pid still runs a feed of that graph.
void end_feeds(const inst &in)
{
    for (const std::string &n : in.graphs) {
        std::ifstream pf("/tmp/" + n + ".pid");
        int pid = 0;
        if (!(pf >> pid) || pid <= 0)
            continue;
        std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
        std::string name;
        if (comm >> name && name == n && kill(pid, SIGKILL) != 0)
            std::fprintf(stderr, "web_bench: kill %d: %s\n", pid, std::strerror(errno));
    }
}

}  // namespace

int main(int argc, char **argv)
{
    int n = 200;
    double every = 0.1, dur = 10;
    int a = 1;
    for (; a + 1 < argc && argv[a][0] == '-'; a += 2) {
        if (std::strcmp(argv[a], "--clients") == 0)
            n = std::atoi(argv[a + 1]);
        else if (std::strcmp(argv[a], "--every") == 0)
            every = std::atof(argv[a + 1]);
        else if (std::strcmp(argv[a], "--for") == 0)
            dur = std::atof(argv[a + 1]);
    }
    if (argc - a != 1 || n < 1 || n > 9999 || every <= 0 || dur < every) {
        std::fprintf(stderr, "usage: web_bench [--clients N] [--every S] [--for D] FEED\n");
        return 2;
    }
    std::string err;
    inst in;
    signal(SIGPIPE, SIG_IGN);
    if (!raise_nofile(static_cast<std::size_t>(3 * n + 64), err) || !make_inst(bench_names(n), 5, in, err) ||
        !lay_out(in, abs_path(argv[a]), err)) {
        std::fprintf(stderr, "web_bench: %s\n", err.c_str());
        remove_inst(in);
        return 1;
    }
    const int ticks = static_cast<int>(dur / every + 0.5), total = backlog + ticks + 1;
    std::vector<int> w(n, -1);
    for (int i = 0; i < n; ++i) {
        w[i] = open((in.cgi + "/" + in.graphs[i] + ".fifo").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        for (int s = 1; s <= backlog && w[i] >= 0; ++s) {
            std::string l = sample_line(s);
            if (write(w[i], l.data(), l.size()) < 0)
                std::fprintf(stderr, "web_bench: write: %s\n", std::strerror(errno));
        }
    }
    const int port = free_port();
    pid_t httpd = -1;
    if (port > 0) {
        const std::string ps = std::to_string(port), docs = in.dir + "/httpd/htdocs",
                          log = in.dir + "/mini_httpd.log";
        std::vector<std::string> args{"-D", "-h", "127.0.0.1", "-p", ps, "-d", docs, "-c", "cgi-bin/*",
                                      "-u", "nobody", "-l", log};
        int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
        httpd = spawn_feed("/usr/sbin/mini_httpd", "mini_httpd", in.dir, "", devnull, args, err);
        close(devnull);
    }
    int status = 1;
    std::vector<client> cs(n);
    int ep = epoll_create1(EPOLL_CLOEXEC);
    bool up = false;
    for (int i = 0; i < 100 && httpd > 0 && !up; ++i) {
        int s = dial(port);
        up = s >= 0;
        if (up)
            close(s);
        else
            sleep_until_ms(now_ms() + 50);
    }
    if (!up)
        std::fprintf(stderr, "web_bench: mini_httpd does not answer on 127.0.0.1:%d %s\n", port, err.c_str());
    int connected = 0;
    for (int i = 0; up && i < n; ++i) {
        client &c = cs[i];
        c.t_r.assign(total, -1);
        c.fd = dial(port);
        if (c.fd < 0)
            continue;
        const std::string req = "GET /cgi-bin/" + in.graphs[i] + "?dhle,60,300s HTTP/1.1\r\nHost: 127.0.0.1:" +
                                std::to_string(port) +
                                "\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64) traxel-bench\r\n"
                                "Accept: text/html,*/*\r\nAccept-Encoding: gzip, deflate\r\n"
                                "Connection: keep-alive\r\n\r\n";
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = static_cast<uint64_t>(i);
        if (write(c.fd, req.data(), req.size()) == static_cast<ssize_t>(req.size()) &&
            fcntl(c.fd, F_SETFL, O_NONBLOCK) == 0 && epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev) == 0)
            ++connected;
    }
    int ready = 0;
    const double limit = now_ms() + 30000;
    while (up && ready < n && now_ms() < limit) {
        pump(ep, cs, 50);
        ready = 0;
        for (const client &c : cs)
            ready += c.ready;
    }
    std::vector<std::vector<double>> t_w(n, std::vector<double>(total, -1));
    long written = 0;
    if (up && ready == n) {
        const double t0 = now_ms();
        for (int t = 0; t < ticks; ++t) {
            while (now_ms() < t0 + t * every * 1e3)
                pump(ep, cs, static_cast<int>(t0 + t * every * 1e3 - now_ms()) + 1);
            const std::string l = sample_line(backlog + 1 + t);
            for (int i = 0; i < n; ++i) {
                t_w[i][backlog + 1 + t] = now_ms();
                if (write(w[i], l.data(), l.size()) == static_cast<ssize_t>(l.size()))
                    ++written;
            }
        }
        const double end = now_ms() + 2000;
        while (now_ms() < end)
            pump(ep, cs, 50);
        status = 0;
    } else if (up)
        std::fprintf(stderr, "web_bench: %d of %d clients connected, %d feeds ended their history\n", connected,
                     n, ready);
    long got = 0, least = -1, most = 0, late = 0;
    std::vector<double> delay;
    for (int i = 0; i < n; ++i) {
        got += cs[i].got;
        least = least < 0 || cs[i].got < least ? cs[i].got : least;
        most = cs[i].got > most ? cs[i].got : most;
        for (int s = backlog + 1; s < total; ++s)
            if (cs[i].t_r[s] >= 0 && t_w[i][s] >= 0) {
                delay.push_back(cs[i].t_r[s] - t_w[i][s]);
                late += delay.back() > late_ms;
            }
        if (cs[i].fd >= 0)
            close(cs[i].fd);
    }
    end_feeds(in);
    end_proc(httpd, SIGTERM);
    for (int fd : w)
        if (fd >= 0)
            close(fd);
    if (ep >= 0)
        close(ep);
    remove_inst(in);
    if (status != 0)
        return status;
    print_row("web path, " + std::to_string(n) + " clients via mini_httpd", std::to_string(got) + " delivered",
              std::to_string(written) + " written", static_cast<double>(got) / static_cast<double>(written),
              "every sample", got == written ? "yes" : "no");
    std::printf("note\tweb path: one sample per client every %.2f s for %.0f s; per client %ld to %ld of %d; "
                "delay p50 %.1f ms, p99 %.1f ms, max %.1f ms; %ld late > 100 ms\n",
                every, dur, least, most, ticks, percentile(delay, 50), percentile(delay, 99),
                percentile(delay, 100), late);
    return 0;
}
