// The built daemon counting real IPv4 and IPv6 traffic that crosses a veth pair into a network namespace of the test's own.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "frames.h"
#include "spawn.h"

namespace {

// Runs argv (a program on PATH) in the network namespace nsfd (-1: this
// one), bounded to 10 s; returns "" or what went wrong.
std::string run_cmd(const std::vector<std::string> &argv, int nsfd = -1)
{
    int err[2];
    if (pipe(err) != 0)
        return "pipe: " + std::string(std::strerror(errno));
    pid_t pid = fork();
    if (pid == 0) {
        dup2(err[1], 1);
        dup2(err[1], 2);
        close(err[0]);
        if (nsfd >= 0 && setns(nsfd, CLONE_NEWNET) != 0)
            _exit(126);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(err[1]);
    bool late;
    std::string out = read_all(err[0], 10000, late);
    close(err[0]);
    int status = wait_exit(pid, 10000);
    if (status == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    std::string cmd;
    for (const std::string &a : argv)
        cmd += (cmd.empty() ? "" : " ") + a;
    return status == 0 ? "" : cmd + ": exit " + std::to_string(status) + ": " + out;
}

// A network namespace held open by a child process, and a veth pair from this
// namespace into it, with private IPv4 and IPv6 addresses on both ends. The
// namespace and the pair go when the object does, and with the test process
// (the holder dies with it, and the pair with the namespace). why is set when
// no namespace can be made here, fault when the pair could not be laid out.
struct veth_ns {
    pid_t holder = -1;
    int ns = -1;
    std::string host_if, ns_if, why, fault;
    std::string host4, peer4, net4, host6, peer6, net6;

    veth_ns()
    {
        const unsigned id = static_cast<unsigned>(getpid());
        host_if = "trxh" + std::to_string(id);
        ns_if = "trxn" + std::to_string(id);
        // A /30 of 10/8 and a /64 of fd77::/16 that no other run of the test shares.
        const unsigned p = id << 2 & 0xffffff;
        const std::string v4 = "10." + std::to_string(p >> 16) + "." + std::to_string(p >> 8 & 0xff) + ".";
        net4 = v4 + std::to_string(p & 0xff);
        host4 = v4 + std::to_string((p & 0xff) + 1);
        peer4 = v4 + std::to_string((p & 0xff) + 2);
        char v6[40];
        std::snprintf(v6, sizeof v6, "fd77:%x:%x::", id >> 16, id & 0xffff);
        net6 = v6;
        host6 = net6 + "1";
        peer6 = net6 + "2";
        if (geteuid() != 0) {
            why = "only root can make a network namespace";
            return;
        }
        why = hold_namespace();
        if (why.empty())
            fault = lay_out();
    }
    ~veth_ns()
    {
        if (holder > 0) {
            run_cmd({"ip", "link", "del", host_if});
            kill(holder, SIGKILL);
            waitpid(holder, nullptr, 0);
        }
        if (ns >= 0)
            close(ns);
    }

    // Starts the holder in a namespace of its own, killed when this process ends.
    std::string hold_namespace()
    {
        int ready[2];
        if (pipe(ready) != 0)
            return "pipe: " + std::string(std::strerror(errno));
        const pid_t parent = getpid();
        holder = fork();
        if (holder == 0) {
            close(ready[0]);
            char ok = prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && getppid() == parent && unshare(CLONE_NEWNET) == 0;
            if (write(ready[1], &ok, 1) != 1 || !ok)
                _exit(1);
            for (;;)
                pause();
        }
        close(ready[1]);
        pollfd p = {ready[0], POLLIN, 0};
        char ok = 0;
        const bool got = poll(&p, 1, 5000) == 1 && read(ready[0], &ok, 1) == 1 && ok;
        close(ready[0]);
        if (holder < 0 || !got)
            return "cannot make a network namespace (unshare CLONE_NEWNET refused)";
        ns = open(("/proc/" + std::to_string(holder) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
        return ns < 0 ? "open the namespace: " + std::string(std::strerror(errno)) : "";
    }

    // The pair, its addresses (no duplicate detection, no link-local address,
    // fixed neighbours), so that nothing but the test's packets crosses it.
    std::string lay_out()
    {
        const std::string mac_h = "02:74:78:00:00:01", mac_n = "02:74:78:00:00:02";
        const std::vector<std::vector<std::string>> here = {
            {"ip", "link", "add", host_if, "address", mac_h, "type", "veth", "peer", "name", ns_if, "address", mac_n,
             "netns", std::to_string(holder)},
            {"ip", "link", "set", host_if, "addrgenmode", "none"},
            {"ip", "addr", "add", host4 + "/30", "dev", host_if},
            {"ip", "addr", "add", host6 + "/64", "dev", host_if, "nodad"},
            {"ip", "link", "set", host_if, "up"},
            {"ip", "neigh", "replace", peer6, "lladdr", mac_n, "dev", host_if, "nud", "permanent"},
            {"ip", "neigh", "replace", peer4, "lladdr", mac_n, "dev", host_if, "nud", "permanent"},
        };
        const std::vector<std::vector<std::string>> there = {
            {"ip", "link", "set", ns_if, "addrgenmode", "none"},
            {"ip", "addr", "add", peer4 + "/30", "dev", ns_if},
            {"ip", "addr", "add", peer6 + "/64", "dev", ns_if, "nodad"},
            {"ip", "link", "set", ns_if, "up"},
            {"ip", "neigh", "replace", host6, "lladdr", mac_h, "dev", ns_if, "nud", "permanent"},
            {"ip", "neigh", "replace", host4, "lladdr", mac_h, "dev", ns_if, "nud", "permanent"},
        };
        for (const auto &cmd : here)
            if (std::string e = run_cmd(cmd); !e.empty())
                return e;
        for (const auto &cmd : there)
            if (std::string e = run_cmd(cmd, ns); !e.empty())
                return e;
        return "";
    }
};

// A socket address of text (IPv4 or IPv6) and port.
sockaddr_storage sock_addr(const std::string &text, uint16_t port, socklen_t &len)
{
    sockaddr_storage ss{};
    if (text.find(':') == std::string::npos) {
        auto *a = reinterpret_cast<sockaddr_in *>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        inet_pton(AF_INET, text.c_str(), &a->sin_addr);
        len = sizeof *a;
    } else {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        inet_pton(AF_INET6, text.c_str(), &a->sin6_addr);
        len = sizeof *a;
    }
    return ss;
}

// A socket of type bound to text and port, listening when a stream; -1 on failure.
int bound_socket(const std::string &text, uint16_t port, int type)
{
    socklen_t len;
    sockaddr_storage ss = sock_addr(text, port, len);
    int fd = socket(ss.ss_family, type | SOCK_CLOEXEC, 0);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&ss), len) == 0 && (type != SOCK_STREAM || listen(fd, 16) == 0))
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

// What the sender in the namespace sends to one address: UDP datagrams of
// 100 bytes to one port, and TCP connections to another, each a SYN, the
// answer, an ACK and a reset (no data, closed at once).
struct sends {
    std::string to;
    int datagrams, connections;
};

// Sends all of them from inside namespace ns in a child process; false when
// a send failed.
bool send_from(int ns, const std::vector<sends> &all, uint16_t udp_port, uint16_t tcp_port)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (setns(ns, CLONE_NEWNET) != 0)
            _exit(2);
        char payload[100] = {};
        for (const sends &s : all) {
            socklen_t len;
            sockaddr_storage u = sock_addr(s.to, udp_port, len);
            int fd = socket(u.ss_family, SOCK_DGRAM, 0);
            for (int i = 0; i < s.datagrams; ++i)
                if (sendto(fd, payload, sizeof payload, 0, reinterpret_cast<sockaddr *>(&u), len) != sizeof payload)
                    _exit(3);
            close(fd);
            sockaddr_storage t = sock_addr(s.to, tcp_port, len);
            for (int i = 0; i < s.connections; ++i) {
                fd = socket(t.ss_family, SOCK_STREAM, 0);
                const linger reset = {1, 0};
                if (connect(fd, reinterpret_cast<sockaddr *>(&t), len) != 0 ||
                    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset) != 0)
                    _exit(4);
                close(fd);
            }
        }
        _exit(0);
    }
    return pid > 0 && wait_exit(pid, 10000) == 0;
}

// The next line of fd within timeout_ms, or "".
std::string next_line(int fd, int timeout_ms)
{
    std::string line;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (line.empty() || line.back() != '\n') {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd p = {fd, POLLIN, 0};
        char c;
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0 || read(fd, &c, 1) != 1)
            return "";
        line += c;
    }
    return line;
}

// The label of grid time t: UTC time of day, as the daemon writes it here.
std::string label_of(time_t t)
{
    char b[16];
    tm tm;
    gmtime_r(&t, &tm);
    std::strftime(b, sizeof b, "%H:%M:%S", &tm);
    return b;
}

// A daemon in a temporary installation, capturing on iface, and its pipes open
// for reading; stopped and reaped when the object goes.
struct counting_daemon {
    std::string dir;
    std::vector<std::string> names;
    std::map<std::string, int> pipes;
    proc d;

    counting_daemon(const std::string &cfg, const std::vector<std::string> &graph_names, const std::string &iface)
        : dir(install_dir_with(cfg)), names(graph_names)
    {
        d = spawn(dir, {"-f", "-i", iface});
        for (const std::string &n : names) {
            const std::string path = dir + "/httpd/cgi-bin/" + n + ".fifo";
            // The pipe exists once the daemon has made it; it then holds it open.
            for (int i = 0; i < 250 && access(path.c_str(), F_OK) != 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            pipes[n] = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        }
    }
    ~counting_daemon()
    {
        kill(d.pid, SIGKILL);
        waitpid(d.pid, nullptr, 0);
        for (auto &[n, fd] : pipes)
            if (fd >= 0)
                close(fd);
        close(d.out);
        close(d.err);
    }
    // Waits for the line of the latest grid time in every pipe; false when
    // one did not come (the daemon's standard error in err).
    bool sync(std::string &err)
    {
        for (const std::string &n : names)
            if (pipes[n] < 0 || next_line(pipes[n], 12000).empty()) {
                bool late;
                kill(d.pid, SIGTERM);
                err = n + ": no sample line; daemon said: " + read_all(d.err, 4000, late);
                return false;
            }
        return true;
    }
    // The sum of the values of each graph's lines up to the one labelled last.
    std::map<std::string, long> values_until(const std::string &last)
    {
        std::map<std::string, long> out;
        for (const std::string &n : names)
            for (int i = 0; i < 3; ++i) {
                const std::string line = next_line(pipes[n], 12000);
                if (line.size() < 10) {
                    out[n] = -1;
                    break;
                }
                out[n] += std::stol(line.substr(9));
                if (line.compare(0, 8, last) == 0)
                    break;
            }
        return out;
    }
};

TEST(RealTraffic, Ipv4AndIpv6PacketsFromANamespaceAreCountedOnTheVethAndOnAny)
{
    veth_ns net;
    if (!net.why.empty())
        GTEST_SKIP() << net.why;
    ASSERT_EQ(net.fault, "");
    const uint16_t udp_port = static_cast<uint16_t>(20000 + getpid() % 5000), tcp_port = udp_port + 5000;
    const std::string u = std::to_string(udp_port), t = std::to_string(tcp_port);
    const std::string common = "nsportu " + u + " 0 1 1 nsportt " + t + " 0 1 1 nssockt " + t + " 0 1 1 ";
    const std::string addrs = "nsip4 " + net.peer4 + " 0 1 1 nsip6 " + net.peer6 + " 0 1 1 nsnet4 " + net.net4 +
                              " 30 0 1 1 nsnet6 " + net.net6 + " 64 0 1 1\n";
    counting_daemon veth("window 1\n" + common + "nsudpproto 17 0 1 1 nstcpproto 6 0 1 1 " + addrs,
                         {"nsportu", "nsportt", "nssockt", "nsudpproto", "nstcpproto", "nsip4", "nsip6", "nsnet4",
                          "nsnet6"},
                         net.host_if);
    // On any, other traffic of this host may use the protocols: only graphs
    // of this test's ports and addresses are watched there.
    counting_daemon any("window 1\n" + common + addrs,
                        {"nsportu", "nsportt", "nssockt", "nsip4", "nsip6", "nsnet4", "nsnet6"}, "any");
    // Receivers, so that nothing answers the datagrams.
    int rx[] = {bound_socket(net.host4, udp_port, SOCK_DGRAM), bound_socket(net.host6, udp_port, SOCK_DGRAM),
                bound_socket(net.host4, tcp_port, SOCK_STREAM), bound_socket(net.host6, tcp_port, SOCK_STREAM)};
    for (int fd : rx)
        ASSERT_GE(fd, 0) << std::strerror(errno);
    std::string err;
    ASSERT_TRUE(veth.sync(err)) << err;
    ASSERT_TRUE(any.sync(err)) << err;
    // Just after a grid time: all is sent well inside one interval.
    ASSERT_TRUE(send_from(net.ns, {{net.host4, 7, 2}, {net.host6, 5, 3}}, udp_port, tcp_port));
    const std::string last = label_of((time(nullptr) / 5 + 1) * 5);
    const std::map<std::string, long> got = veth.values_until(last), got_any = any.values_until(last);
    for (int fd : rx)
        close(fd);
    // 12 datagrams; 5 connections of 4 packets: 7 + 8 packets of the IPv4
    // peer, 5 + 12 of the IPv6 one.
    const std::map<std::string, long> want = {{"nsportu", 12}, {"nsportt", 20}, {"nssockt", 5}, {"nsudpproto", 12},
                                              {"nstcpproto", 20}, {"nsip4", 15}, {"nsip6", 17}, {"nsnet4", 15},
                                              {"nsnet6", 17}};
    EXPECT_EQ(got, want);
    std::map<std::string, long> want_any = want;
    want_any.erase("nsudpproto");
    want_any.erase("nstcpproto");
    EXPECT_EQ(got_any, want_any);
}

}  // namespace
