// Shared pieces of the capture benchmarks: the host's CPU time, a veth pair into a network namespace, a UDP flood.
#include "netbench.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "harness.h"

namespace {

// Ethernet header, IPv4 header, UDP header and data make a 64-byte frame.
constexpr int payload_bytes = 64 - 14 - 20 - 8;
constexpr int batch = 64;  // datagrams per sendmmsg

bool sh(const std::string &cmd)
{
    return std::system(cmd.c_str()) == 0;
}

// A socket of type bound to addr4:port (port 0: a free one, port then set
// to it), with a receive buffer of rcvbuf bytes when above 0, listening
// when a stream. -1 on failure, said on standard error.
int bound(const std::string &addr4, int &port, int type, int rcvbuf)
{
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t len = sizeof at;
    if (fd < 0 || inet_pton(AF_INET, addr4.c_str(), &at.sin_addr) != 1 ||
        (rcvbuf > 0 && setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf) != 0) ||
        bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0 ||
        (type == SOCK_STREAM && listen(fd, 1) != 0) ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&at), &len) != 0) {
        std::fprintf(stderr, "bench: socket on %s: %s\n", addr4.c_str(), std::strerror(errno));
        close_fd(fd, "socket");
        return -1;
    }
    port = ntohs(at.sin_port);
    return fd;
}

// A UDP socket bound to addr4:port that drops what it gets unread in its
// small buffer (so no ICMP answers a flood).
int small_receiver(const std::string &addr4, int &port)
{
    return bound(addr4, port, SOCK_DGRAM, 4096);
}

// A socket of type connected to addr4:port; -1 on failure, said on standard error.
int connected(const std::string &addr4, int port, int type)
{
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || inet_pton(AF_INET, addr4.c_str(), &to.sin_addr) != 1 ||
        connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        std::fprintf(stderr, "bench: connect to %s: %s\n", addr4.c_str(), std::strerror(errno));
        close_fd(fd, "sender");
        return -1;
    }
    return fd;
}

}  // namespace

std::vector<double> flood_rates(const std::string &arg)
{
    std::vector<double> rates;
    std::stringstream in(arg);
    for (std::string r; std::getline(in, r, ',');)
        rates.push_back(r == "top" ? 0 : std::atof(r.c_str()));
    return rates;
}

long long path_cpu_ns(pid_t capturer)
{
    // The softirq threads, one per CPU, found once.
    static const std::vector<pid_t> softirq = [] {
        std::vector<pid_t> out;
        DIR *d = opendir("/proc");
        for (dirent *e; d && (e = readdir(d));) {
            std::ifstream comm(std::string("/proc/") + e->d_name + "/comm");
            std::string name;
            if (std::getline(comm, name) && name.rfind("ksoftirqd/", 0) == 0)
                out.push_back(static_cast<pid_t>(std::atoi(e->d_name)));
        }
        if (d)
            closedir(d);
        return out;
    }();
    long long ns = 0;
    std::ifstream self("/proc/thread-self/schedstat");
    if (!(self >> ns))
        return -1;
    for (pid_t p : softirq)
        ns += std::max(cpu_ns(p), 0LL);
    if (capturer > 0) {
        const long long c = cpu_ns(capturer);
        if (c < 0)
            return -1;
        ns += c;
    }
    return ns;
}

veth_pair::veth_pair()
{
    const std::string id = std::to_string(getpid());
    ns = "trxb" + id;
    host_if = "trxbh" + id;
    peer_if = "trxbn" + id;
    // A /30 of 10/8 that no other run shares.
    const unsigned p = static_cast<unsigned>(getpid()) << 2 & 0xffffff;
    const std::string v4 = "10." + std::to_string(p >> 16) + "." + std::to_string(p >> 8 & 0xff) + ".";
    host4 = v4 + std::to_string((p & 0xff) + 1);
    peer4 = v4 + std::to_string((p & 0xff) + 2);
    ok = sh("ip netns add " + ns) &&
         sh("ip link add " + host_if + " type veth peer name " + peer_if + " netns " + ns) &&
         sh("ip addr add " + host4 + "/30 dev " + host_if + " && ip link set " + host_if + " up") &&
         sh("ip -n " + ns + " addr add " + peer4 + "/30 dev " + peer_if + " && ip -n " + ns + " link set " +
            peer_if + " up && ip -n " + ns + " link set lo up");
    if (!ok)
        why = "cannot lay out a veth pair into a network namespace (ip netns, ip link)";
}

veth_pair::~veth_pair()
{
    sh("ip link del " + host_if + " 2>/dev/null; ip netns del " + ns + " 2>/dev/null");
}

// What f returns run in the namespace ns (the calling thread enters it and
// comes back), or failed when the namespace cannot be entered.
template <class T, class F> T in_namespace(const std::string &ns, T failed, F f)
{
    const int self = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int there = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    T out = failed;
    if (self >= 0 && there >= 0 && setns(there, CLONE_NEWNET) == 0) {
        out = f();
        if (setns(self, CLONE_NEWNET) != 0) {
            std::fprintf(stderr, "bench: setns back: %s\n", std::strerror(errno));
            std::exit(1);
        }
    } else {
        std::fprintf(stderr, "bench: enter namespace %s: %s\n", ns.c_str(), std::strerror(errno));
    }
    close_fd(self, "namespace");
    close_fd(there, "namespace");
    return out;
}

int veth_pair::peer_receiver(int port) const
{
    return in_namespace(ns, -1, [&]() { return small_receiver(peer4, port); });
}

uint64_t veth_pair::peer_send_tcp(int port, double seconds) const
{
    return in_namespace(ns, uint64_t{0}, [&]() { return send_tcp(host4, port, seconds); });
}

long long veth_pair::peer_tcp_segments() const
{
    return in_namespace(ns, -1LL, []() {
               std::ifstream f("/proc/thread-self/net/snmp");
               std::string names, values;
               while (std::getline(f, names))
                   if (names.rfind("Tcp: ", 0) == 0 && std::getline(f, values)) {
                       std::istringstream n(names), v(values);
                       long long sum = 0;
                       for (std::string a, b; n >> a && v >> b;)
                           if (a == "InSegs" || a == "OutSegs")
                               sum += std::atoll(b.c_str());
                       return sum;
                   }
               return -1LL;
           });
}

int loopback_receiver(int &port)
{
    port = 0;
    return small_receiver("127.0.0.1", port);
}

uint64_t send_udp(const std::string &addr4, int port, double rate, double seconds)
{
    const int fd = connected(addr4, port, SOCK_DGRAM);
    if (fd < 0)
        return 0;
    char data[payload_bytes] = "traxel bench";
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
            std::fprintf(stderr, "bench: sendmmsg: %s\n", std::strerror(errno));
            break;
        }
    }
    close_fd(fd, "sender");
    return sent;
}

int tcp_listener(const std::string &addr4, int &port)
{
    port = 0;
    return bound(addr4, port, SOCK_STREAM, 0);
}

uint64_t send_tcp(const std::string &addr4, int port, double seconds)
{
    const int fd = connected(addr4, port, SOCK_STREAM);
    if (fd < 0)
        return 0;
    static char chunk[1 << 16];
    uint64_t sent = 0;
    for (const double end = now_ms() + seconds * 1e3; now_ms() < end;) {
        const ssize_t n = write(fd, chunk, sizeof chunk);
        if (n <= 0)
            break;
        sent += static_cast<uint64_t>(n);
    }
    close_fd(fd, "sender");
    return sent;
}
