// The built daemon counting real IPv4 and IPv6 traffic that crosses a veth pair into a network namespace of the test's own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "files.h"
#include "spawn.h"

namespace {

// A network namespace held open by a child process, and a veth pair from this
// namespace into it, with private IPv4 and IPv6 addresses on both ends. The
// namespace and the pair go when the object does, and with the test process
// (the holder dies with it, and the pair with the namespace). why is set when
// no namespace can be made here, laid to 0 once the pair is laid out.
struct veth_ns {
    pid_t holder = -1;
    int ns = -1, laid = -1;
    std::string host_if, ns_if, why;
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
        why = geteuid() != 0 ? "only root can make a network namespace" : hold_namespace();
        if (why.empty())
            laid = std::system(lay_out().c_str());
    }
    ~veth_ns()
    {
        if (holder > 0) {
            [[maybe_unused]] int rc = std::system(("ip link del " + host_if + " 2>/dev/null").c_str());
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

    // The commands that lay out the pair: no duplicate address detection, no
    // link-local addresses and fixed IPv6 neighbours, so that nothing but the
    // test's IP packets crosses it.
    std::string lay_out() const
    {
        const std::string mac_h = "02:74:78:00:00:01", mac_n = "02:74:78:00:00:02";
        auto side = [](const std::string &dev, const std::string &addr4, const std::string &addr6,
                       const std::string &peer6, const std::string &peer_mac) {
            return "ip link set " + dev + " addrgenmode none && ip addr add " + addr4 + "/30 dev " + dev +
                   " && ip addr add " + addr6 + "/64 dev " + dev + " nodad && ip link set " + dev +
                   " up && ip neigh replace " + peer6 + " lladdr " + peer_mac + " dev " + dev + " nud permanent";
        };
        return "ip link add " + host_if + " address " + mac_h + " type veth peer name " + ns_if + " address " + mac_n +
               " netns " + std::to_string(holder) + " && " + side(host_if, host4, host6, peer6, mac_n) +
               " && nsenter --net=/proc/" + std::to_string(holder) + "/ns/net sh -c '" +
               side(ns_if, peer4, peer6, host6, mac_h) + "'";
    }
};

// The socket address of a numeric host text and port (freeaddrinfo it), or nullptr.
addrinfo *sock_addr(const std::string &host, uint16_t port, int type)
{
    addrinfo hints{}, *ai = nullptr;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = type;
    return getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &ai) == 0 ? ai : nullptr;
}

// A socket of type bound to host and port, listening when a stream; -1 on failure.
int bound_socket(const std::string &host, uint16_t port, int type)
{
    addrinfo *ai = sock_addr(host, port, type);
    int fd = ai ? socket(ai->ai_family, type | SOCK_CLOEXEC, 0) : -1;
    if (fd >= 0 && (bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || (type == SOCK_STREAM && listen(fd, 16) != 0))) {
        close(fd);
        fd = -1;
    }
    if (ai)
        freeaddrinfo(ai);
    return fd;
}

// Sends from inside namespace ns, in a child process, to each host: datagrams
// UDP datagrams of 100 bytes to udp_port, and connections TCP connections to
// tcp_port, each a SYN, the answer, an ACK and a reset (closed at once, no
// data). False when a send failed.
bool send_from(int ns, const std::vector<std::string> &hosts, int datagrams, int connections, uint16_t udp_port,
               uint16_t tcp_port)
{
    pid_t pid = fork();
    if (pid == 0) {
        const char payload[100] = {};
        const linger reset = {1, 0};
        if (setns(ns, CLONE_NEWNET) != 0)
            _exit(2);
        for (const std::string &h : hosts) {
            addrinfo *u = sock_addr(h, udp_port, SOCK_DGRAM), *t = sock_addr(h, tcp_port, SOCK_STREAM);
            int fd = u ? socket(u->ai_family, SOCK_DGRAM, 0) : -1;
            if (fd < 0 || !t)
                _exit(3);
            for (int i = 0; i < datagrams; ++i)
                if (sendto(fd, payload, sizeof payload, 0, u->ai_addr, u->ai_addrlen) != sizeof payload)
                    _exit(3);
            for (int i = 0; i < connections; ++i) {
                fd = socket(t->ai_family, SOCK_STREAM, 0);
                if (connect(fd, t->ai_addr, t->ai_addrlen) != 0 ||
                    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset) != 0)
                    _exit(4);
                close(fd);
            }
        }
        _exit(0);
    }
    return pid > 0 && child(pid, -1, -1).wait(10000) == 0;
}

// Graph records after their names: the counted port, protocol or address,
// and limits.
using records = std::map<std::string, std::string>;

// A daemon in a temporary installation of graphs recs, with the settings
// capture_cfg, capturing on iface, and its pipes open for reading; stopped and
// reaped when the object goes.
struct counting_daemon {
    std::map<std::string, int> pipes;
    child d;

    // In the network namespace of process in_ns when it is above 0.
    counting_daemon(const records &recs, const std::string &capture_cfg, const std::string &iface, pid_t in_ns = 0)
    {
        std::string cfg = "window 1\n";
        for (const auto &[name, fields] : recs)
            cfg += name + " " + fields + " 0 1 1\n";
        const std::string dir = install_dir_with(cfg);
        write_file(dir + "/capture.cfg", capture_cfg);
        if (in_ns > 0)
            d = spawn_daemon(dir, {"--net=/proc/" + std::to_string(in_ns) + "/ns/net", TRAXEL_BIN, "-f", "-i", iface},
                             static_cast<uid_t>(-1), static_cast<gid_t>(-1), "/usr/bin/nsenter");
        else
            d = spawn_daemon(dir, {"-f", "-i", iface});
        for (const auto &[name, fields] : recs) {
            const std::string path = dir + "/httpd/cgi-bin/" + name + ".fifo";
            // The pipe exists once the daemon has made it; it then holds it open.
            for (int i = 0; i < 250 && access(path.c_str(), F_OK) != 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            pipes[name] = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        }
    }
    ~counting_daemon()
    {
        for (auto &[name, fd] : pipes)
            close(fd);
    }
    // Waits for the line of the latest grid time in every pipe; "" or why not.
    std::string sync()
    {
        for (auto &[name, fd] : pipes)
            if (read_line(fd, 12000).empty()) {
                kill(d.pid(), SIGTERM);
                return name + ": no sample line; daemon said: " + read_rest(d.err(), 4000);
            }
        return "";
    }
    // The sum of the values of each graph's lines up to the one of grid time
    // last (UTC, the daemon's time zone here).
    std::map<std::string, long> values_until(time_t last)
    {
        std::map<std::string, long> out;
        for (auto &[name, fd] : pipes)
            for (int i = 0; i < 3; ++i) {
                const std::string line = read_line(fd, 12000);
                out[name] += line.size() < 10 ? -1000 : std::stol(line.substr(9));
                if (line.size() < 10 || label_seconds(line) == last % 86400)
                    break;
            }
        return out;
    }
};

// Both ways of counting: in the kernel, and on frames copied by libpcap.
class RealTraffic : public ::testing::TestWithParam<std::string> {};

TEST_P(RealTraffic, Ipv4AndIpv6PacketsFromANamespaceAreCountedOnTheVethAndOnAny)
{
    veth_ns net;
    if (!net.why.empty())
        GTEST_SKIP() << net.why;
    ASSERT_EQ(net.laid, 0) << "the veth pair was not laid out";
    const uint16_t udp_port = static_cast<uint16_t>(20000 + getpid() % 5000), tcp_port = udp_port + 5000;
    // On any, other traffic of this host may use the protocols: only graphs
    // of this test's ports and addresses are watched there.
    records on_any = {{"nsportu", std::to_string(udp_port)}, {"nsportbits", std::to_string(udp_port)},
                      {"nsportt", std::to_string(tcp_port)}, {"nssockt", std::to_string(tcp_port)},
                      {"nsip4", net.peer4},                  {"nsip6", net.peer6},
                      {"nsnet4", net.net4 + " 30"},          {"nsnet6", net.net6 + " 64"}};
    records on_veth = on_any;
    on_veth.insert({{"nsudpproto", "17"}, {"nstcpproto", "6"}});
    const std::string settings = "buffer 4\nunit bits nsportbits\nmethod " + GetParam() + "\n";
    counting_daemon veth(on_veth, settings, net.host_if), any(on_any, settings, "any");
    // Receivers, so that nothing answers the datagrams.
    int rx[] = {bound_socket(net.host4, udp_port, SOCK_DGRAM), bound_socket(net.host6, udp_port, SOCK_DGRAM),
                bound_socket(net.host4, tcp_port, SOCK_STREAM), bound_socket(net.host6, tcp_port, SOCK_STREAM)};
    for (int fd : rx)
        ASSERT_GE(fd, 0) << std::strerror(errno);
    ASSERT_EQ(veth.sync(), "");
    ASSERT_EQ(any.sync(), "");
    // Just after a grid time: all is sent well inside one interval.
    ASSERT_TRUE(send_from(net.ns, {net.host4, net.host6}, 6, 3, udp_port, tcp_port));
    const time_t last = next_grid_time();
    const std::map<std::string, long> got = veth.values_until(last), got_any = any.values_until(last);
    for (int fd : rx)
        close(fd);
    // Per peer 6 datagrams and 3 connections of 4 packets. The datagrams'
    // bytes from the IP header on: 6 x (20 + 8 + 100) + 6 x (40 + 8 + 100) =
    // 1656 in the 5 s, 2649.6 bit/s.
    std::map<std::string, long> want = {{"nsportu", 12}, {"nsportbits", 2650}, {"nsportt", 24}, {"nssockt", 6},
                                        {"nsip4", 18},   {"nsip6", 18},        {"nsnet4", 18},  {"nsnet6", 18}};
    EXPECT_EQ(got_any, want);
    want.insert({{"nsudpproto", 12}, {"nstcpproto", 24}});
    EXPECT_EQ(got, want);
}

INSTANTIATE_TEST_SUITE_P(Methods, RealTraffic, ::testing::Values("kernel", "pcap"),
                         [](const auto &info) { return info.param; });

// The TCP segments of the namespace's connections, sent and received, from
// its own counters (/proc/net/snmp seen from its holder). OutSegs leaves out
// retransmissions, which the wire carries too: a loaded host drops some.
long tcp_segments(pid_t holder)
{
    const std::vector<std::string> l = lines_of(file_text("/proc/" + std::to_string(holder) + "/net/snmp"));
    for (std::size_t i = 0; i + 1 < l.size(); ++i)
        if (l[i].rfind("Tcp: ", 0) == 0 && l[i + 1].rfind("Tcp: ", 0) == 0) {
            std::istringstream names(l[i]), values(l[i + 1]);
            long sum = 0;
            for (std::string n, v; names >> n && values >> v;)
                if (n == "InSegs" || n == "OutSegs" || n == "RetransSegs")
                    sum += std::stol(v);
            return sum;
        }
    return -1;
}

// A bulk TCP transfer over the veth pair, with segmentation offloaded (TSO
// on the sending end, GRO on the receiving one), counts in the kernel as
// the segments the wire carried: as many as the namespace's TCP sent and
// received, within 1 %, where the capture sees far fewer, larger packets.
TEST(WirePackets, TcpSegmentsOfATransferWithOffloadCountAsOnTheWire)
{
    veth_ns net;
    if (!net.why.empty())
        GTEST_SKIP() << net.why;
    ASSERT_EQ(net.laid, 0) << "the veth pair was not laid out";
    const std::string in_ns = "nsenter --net=/proc/" + std::to_string(net.holder) + "/ns/net ";
    ASSERT_EQ(std::system(("ethtool -K " + net.host_if + " tso on gro on >/dev/null 2>&1 && " + in_ns + "ethtool -K " +
                           net.ns_if + " tso on gro on >/dev/null 2>&1")
                              .c_str()),
              0)
        << "ethtool cannot set the offloads";
    const uint16_t port = static_cast<uint16_t>(30000 + getpid() % 5000);
    counting_daemon d({{"tsoport", std::to_string(port)}}, "method kernel\n", net.host_if);
    const int listener = bound_socket(net.host4, port, SOCK_STREAM);
    ASSERT_GE(listener, 0) << std::strerror(errno);
    ASSERT_EQ(d.sync(), "");
    const long before = tcp_segments(net.holder);
    // From the namespace, 8 MiB in writes of 64 KiB; the host reads it all.
    pid_t pid = fork();
    if (pid == 0) {
        addrinfo *to = sock_addr(net.host4, port, SOCK_STREAM);
        const int fd = to && setns(net.ns, CLONE_NEWNET) == 0 ? socket(AF_INET, SOCK_STREAM, 0) : -1;
        static char chunk[65536];
        if (fd < 0 || connect(fd, to->ai_addr, to->ai_addrlen) != 0)
            _exit(2);
        for (int i = 0; i < 128; ++i)
            if (write(fd, chunk, sizeof chunk) != static_cast<ssize_t>(sizeof chunk))
                _exit(3);
        _exit(0);
    }
    const int conn = accept(listener, nullptr, nullptr);
    ASSERT_GE(conn, 0) << std::strerror(errno);
    char buf[65536];
    long got = 0;
    for (ssize_t n; (n = read(conn, buf, sizeof buf)) > 0;)
        got += n;
    close(conn);
    close(listener);
    ASSERT_EQ(child(pid, -1, -1).wait(10000), 0);
    ASSERT_EQ(got, 128L * 65536);
    // The closing exchange is over once the daemon has written its next line.
    const time_t last = next_grid_time();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long segments = tcp_segments(net.holder) - before;
    const long counted = d.values_until(last)["tsoport"];
    EXPECT_NEAR(counted, segments, segments / 100) << "counted " << counted << " of " << segments << " segments";
    // Far more segments than packets of the size the sender handed over.
    EXPECT_GT(segments, 128 * 65536 / 1500);
}

// A named interface that goes away and comes back (here a veth pair, in a
// namespace of the test's own, deleted and laid out again) ends nothing: the
// daemon says so, writes samples of 0 meanwhile and counts again within two
// intervals of its return.
TEST_P(RealTraffic, AnInterfaceThatGoesAndComesBackIsCountedAgain)
{
    veth_ns net;
    if (!net.why.empty())
        GTEST_SKIP() << net.why;
    ASSERT_EQ(net.laid, 0) << "the veth pair was not laid out";
    const uint16_t port = static_cast<uint16_t>(35000 + getpid() % 5000);
    counting_daemon d({{"backport", std::to_string(port)}}, "method " + GetParam() + "\n", net.ns_if, net.holder);
    ASSERT_EQ(d.sync(), "");
    ASSERT_EQ(std::system(("ip link del " + net.host_if).c_str()), 0);
    const int fd = d.pipes["backport"];
    ASSERT_EQ(read_line(fd, 12000).substr(8), " 0\n");
    ASSERT_EQ(std::system(net.lay_out().c_str()), 0);
    const auto back = std::chrono::steady_clock::now();
    addrinfo *to = sock_addr(net.peer4, port, SOCK_DGRAM);
    const int tx = to ? socket(AF_INET, SOCK_DGRAM, 0) : -1;
    ASSERT_GE(tx, 0);
    // Datagrams every 100 ms (nothing listens: each is answered by an ICMP
    // error, which the graph of the port counts too) until a sample counts
    // some, within two intervals and the time a line takes.
    std::string line;
    for (int i = 0; i < 120 && (line.empty() || line.substr(8) == " 0\n"); ++i) {
        ASSERT_GE(sendto(tx, "x", 1, 0, to->ai_addr, to->ai_addrlen), 0) << std::strerror(errno);
        line = read_line(fd, 100);
    }
    freeaddrinfo(to);
    close(tx);
    EXPECT_NE(line.substr(8), " 0\n");
    EXPECT_LE(std::chrono::steady_clock::now() - back, std::chrono::seconds(11));
    kill(d.d.pid(), SIGTERM);
    EXPECT_EQ(d.d.wait(4000), 0);
    const std::string said = read_rest(d.d.err(), 1000);
    EXPECT_NE(said.find("traxel: interface " + net.ns_if + " is gone; its graphs count 0 until it is back\n"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("traxel: interface " + net.ns_if + " is back; counting again\n"), std::string::npos) << said;
}

}  // namespace
