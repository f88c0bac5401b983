// Web path benchmark: browser-like clients of the feed through mini_httpd on loopback, every sample counted per client.
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
        close_fd(s, "probe socket");
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
        close_fd(s, "client socket");
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
        if (c.closed && epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr) != 0)
            std::fprintf(stderr, "web_bench: epoll_ctl: %s\n", std::strerror(errno));
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


// One run: the installation, the pipes' writer ends, the server and the clients.
struct web {
    inst in;
    int port = 0;
    pid_t httpd = -1;
    int ep = -1;
    std::vector<int> w;  // the writer's ends of the pipes, read-write as the daemon holds them
    std::vector<client> cs;
    std::vector<std::vector<double>> t_w;
    int ticks = 0, total = 0;
    long written = 0;
};

// Opens every pipe and leaves a full window of backlog in it.
bool open_pipes(web &wb)
{
    for (const std::string &name : wb.in.graphs) {
        const std::string path = wb.in.cgi + "/" + name + ".fifo";
        const int fd = open_backlog("web_bench", path, backlog);
        if (fd < 0)
            return false;
        wb.w.push_back(fd);
    }
    return true;
}

// Starts mini_httpd in the foreground on a free port and waits until it accepts.
bool start_server(web &wb)
{
    wb.port = free_port();
    if (wb.port == 0) {
        std::fprintf(stderr, "web_bench: no free port in 127.0.0.1:18000-18999\n");
        return false;
    }
    const std::vector<std::string> args{"-D", "-h", "127.0.0.1", "-p", std::to_string(wb.port),
                                        "-d", wb.in.dir + "/httpd/htdocs", "-c", "cgi-bin/*",
                                        "-u", "nobody", "-l", wb.in.dir + "/mini_httpd.log"};
    int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    std::string err = "open /dev/null failed";
    if (devnull >= 0) {
        wb.httpd = spawn_feed("/usr/sbin/mini_httpd", "mini_httpd", wb.in.dir, "", devnull, args, err);
        close_fd(devnull, "/dev/null");
    }
    for (int i = 0; i < 100 && wb.httpd > 0; ++i) {
        int s = dial(wb.port);
        if (s >= 0) {
            close_fd(s, "probe socket");
            return true;
        }
        sleep_until_ms(now_ms() + 50);
    }
    std::fprintf(stderr, "web_bench: mini_httpd does not answer on 127.0.0.1:%d %s\n", wb.port,
                 wb.httpd > 0 ? "" : err.c_str());
    return false;
}

// Connects one client per graph, sends a browser's request and waits until
// every feed has ended its history phase; 30 s at most.
bool connect_clients(web &wb)
{
    const std::size_t n = wb.in.graphs.size();
    wb.cs.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        client &c = wb.cs[i];
        c.t_r.assign(wb.total, -1);
        c.fd = dial(wb.port);
        const std::string req = "GET /cgi-bin/" + wb.in.graphs[i] + "?dhle,60,300s HTTP/1.1\r\n"
                                "Host: 127.0.0.1:" + std::to_string(wb.port) + "\r\n"
                                "User-Agent: Mozilla/5.0 (X11; Linux x86_64) traxel-bench\r\n"
                                "Accept: text/html,*/*\r\nAccept-Encoding: gzip, deflate\r\n"
                                "Connection: keep-alive\r\n\r\n";
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        if (c.fd < 0 || write(c.fd, req.data(), req.size()) != static_cast<ssize_t>(req.size()) ||
            fcntl(c.fd, F_SETFL, O_NONBLOCK) != 0 || epoll_ctl(wb.ep, EPOLL_CTL_ADD, c.fd, &ev) != 0) {
            std::fprintf(stderr, "web_bench: client %zu: %s\n", i, std::strerror(errno));
            return false;
        }
    }
    std::size_t ready = 0;
    const double limit = now_ms() + 30000;
    while (ready < n && now_ms() < limit) {
        pump(wb.ep, wb.cs, 50);
        ready = 0;
        for (const client &c : wb.cs)
            ready += c.ready;
    }
    if (ready < n)
        std::fprintf(stderr, "web_bench: %zu of %zu feeds ended their history phase\n", ready, n);
    return ready == n;
}

// Writes one sample per graph every `every` seconds, then lets the last ones arrive.
void feed_samples(web &wb, double every)
{
    wb.t_w.assign(wb.in.graphs.size(), std::vector<double>(wb.total, -1));
    const double t0 = now_ms();
    for (int t = 0; t < wb.ticks; ++t) {
        const double at = t0 + t * every * 1e3;
        while (now_ms() < at)
            pump(wb.ep, wb.cs, static_cast<int>(at - now_ms()) + 1);
        const int seq = backlog + 1 + t;
        const std::string l = sample_line(seq);
        for (std::size_t i = 0; i < wb.w.size(); ++i) {
            wb.t_w[i][seq] = now_ms();
            if (write(wb.w[i], l.data(), l.size()) == static_cast<ssize_t>(l.size()))
                ++wb.written;
            else
                wb.t_w[i][seq] = -1;
        }
    }
    const double end = now_ms() + 2000;
    while (now_ms() < end)
        pump(wb.ep, wb.cs, 50);
}

void report(const web &wb, double every, double dur)
{
    long got = 0, least = -1, most = 0, late = 0;
    std::vector<double> delay;
    for (std::size_t i = 0; i < wb.cs.size(); ++i) {
        const client &c = wb.cs[i];
        got += c.got;
        least = least < 0 || c.got < least ? c.got : least;
        most = c.got > most ? c.got : most;
        for (int s = backlog + 1; s < wb.total; ++s)
            if (c.t_r[s] >= 0 && wb.t_w[i][s] >= 0) {
                delay.push_back(c.t_r[s] - wb.t_w[i][s]);
                late += delay.back() > late_ms;
            }
    }
    print_row("web path, " + std::to_string(wb.cs.size()) + " clients via mini_httpd",
              std::to_string(got) + " delivered", std::to_string(wb.written) + " written",
              static_cast<double>(got) / static_cast<double>(wb.written), "every sample",
              got == wb.written ? "yes" : "no");
    std::printf("note\tweb path: one sample per client every %.2f s for %.0f s; per client %ld to %ld of %d; "
                "delay p50 %.1f ms, p99 %.1f ms, max %.1f ms; %ld late > 100 ms\n",
                every, dur, least, most, wb.ticks, percentile(delay, 50), percentile(delay, 99),
                percentile(delay, 100), late);
}

// Closes the clients, ends the feeds and the server, removes the installation.
void tear_down(web &wb)
{
    for (client &c : wb.cs)
        if (c.fd >= 0)
            close_fd(c.fd, "client socket");
    end_feeds(wb.in);
    end_proc(wb.httpd, SIGTERM);
    for (int fd : wb.w)
        close_fd(fd, "pipe");
    if (wb.ep >= 0)
        close_fd(wb.ep, "epoll");
    remove_inst(wb.in);
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
    // A client gone away must not end the benchmark.
    signal(SIGPIPE, SIG_IGN);
    web wb;
    wb.ticks = static_cast<int>(dur / every + 0.5);
    wb.total = backlog + wb.ticks + 1;
    std::string err;
    bool ok = raise_nofile(static_cast<std::size_t>(3 * n + 64), err) &&
              make_inst(bench_names(n), 5, wb.in, err) && lay_out(wb.in, abs_path(argv[a]), err);
    if (!ok)
        std::fprintf(stderr, "web_bench: %s\n", err.c_str());
    wb.ep = ok ? epoll_create1(EPOLL_CLOEXEC) : -1;
    ok = ok && wb.ep >= 0 && open_pipes(wb) && start_server(wb) && connect_clients(wb);
    if (ok)
        feed_samples(wb, every);
    tear_down(wb);
    if (!ok)
        return 1;
    report(wb, every, dur);
    return 0;
}
