// Daemon counting benchmark: frames counted per second by the daemon against a bare libpcap loop over the same file.
//
// Usage: classify_bench [--frames N] [--runs R]
// The capture file is written here with pcap_open_dead and pcap_dump:
// Ethernet frames cut at the daemon's snap length, TCP, UDP and ICMP between
// a few hundred hosts, a quarter of them over IPv6 (some with a hop-by-hop
// header). The graphs are 50 records of all five kinds, IPv4 and IPv6
// networks and hosts among them, loaded by the daemon's own configuration
// reader. Bare and counting passes take turns.
#include "harness.h"

#include "cfg.h"
#include "classify.h"

#include <arpa/inet.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int snap = 154;  // the daemon's snap length

const int ports[] = {22, 25, 53, 80, 110, 123, 143, 443, 993, 3306, 5432, 6379, 8080, 8443, 9000};
const int socks[] = {22, 25, 80, 443, 3306, 5432, 8080, 9000};
const int protos[] = {1, 6, 17, 41, 47, 50, 58};

// 15 port, 8 sock, 7 proto, 10 net (3 IPv6) and 10 ip (3 IPv6) graphs.
std::string config_text()
{
    std::string t = "window 5\n";
    char b[128];
    for (int p : ports) {
        std::snprintf(b, sizeof b, "port%d %d 0 1000 800\n", p, p);
        t += b;
    }
    for (int p : socks) {
        std::snprintf(b, sizeof b, "sock%d %d 0 1000 800\n", p, p);
        t += b;
    }
    for (int p : protos) {
        std::snprintf(b, sizeof b, "proto%d %d 0 1000 800\n", p, p);
        t += b;
    }
    for (int i = 0; i < 10; ++i) {
        if (i < 7)
            std::snprintf(b, sizeof b, "net%d 10.0.%d.0 255.255.255.0 0 1000 800\n", i, i);
        else
            std::snprintf(b, sizeof b, "net%d fd00:0:0:%d:: 64 0 1000 800\n", i, i - 7);
        t += b;
    }
    for (int i = 0; i < 10; ++i) {
        if (i < 7)
            std::snprintf(b, sizeof b, "ip%d 10.0.%d.%d 0 1000 800\n", i, i % 4, 1 + 7 * i);
        else
            std::snprintf(b, sizeof b, "ip%d fd00:0:0:%d::%x 0 1000 800\n", i, i % 4, 1 + 7 * i);
        t += b;
    }
    return t;
}

void put16(uint8_t *b, unsigned v)
{
    b[0] = static_cast<uint8_t>(v >> 8);
    b[1] = static_cast<uint8_t>(v);
}

// A host of the mix: IPv4 in host order, or IPv6 as 16 bytes.
struct host {
    uint32_t v4 = 0;
    uint8_t v6[16] = {};
};

// One Ethernet frame of wire length len with an IP packet of protocol proto,
// IPv6 when v6 (hop-by-hop options first when hbh).
std::vector<uint8_t> frame(std::mt19937 &rng, int proto, bool v6, bool hbh, const host &src, const host &dst, int len)
{
    std::vector<uint8_t> f(static_cast<std::size_t>(len), 0);
    uint8_t *ip = &f[14], *l4;
    if (!v6) {
        put16(&f[12], 0x0800);
        ip[0] = 0x45;
        put16(ip + 2, static_cast<unsigned>(len - 14));
        ip[8] = 64;
        ip[9] = static_cast<uint8_t>(proto);
        for (int i = 0; i < 4; ++i) {
            ip[12 + i] = static_cast<uint8_t>(src.v4 >> (24 - 8 * i));
            ip[16 + i] = static_cast<uint8_t>(dst.v4 >> (24 - 8 * i));
        }
        l4 = ip + 20;
    } else {
        put16(&f[12], 0x86dd);
        ip[0] = 0x60;
        put16(ip + 4, static_cast<unsigned>(len - 54));
        ip[6] = static_cast<uint8_t>(hbh ? 0 : proto);
        ip[7] = 64;
        std::memcpy(ip + 8, src.v6, 16);
        std::memcpy(ip + 24, dst.v6, 16);
        l4 = ip + 40;
        if (hbh) {
            l4[0] = static_cast<uint8_t>(proto);
            l4 += 8;
        }
    }
    std::uniform_int_distribution<int> eph(32768, 60999), pick(0, 14), pct(0, 99);
    if (proto == 6 || proto == 17) {
        const int well = ports[pick(rng)];
        const bool to_server = pct(rng) < 50;
        put16(l4, static_cast<unsigned>(to_server ? eph(rng) : well));
        put16(l4 + 2, static_cast<unsigned>(to_server ? well : eph(rng)));
        if (proto == 6)
            l4[13] = pct(rng) < 10 ? 0x02 : 0x10;  // some SYNs, mostly ACKs
    }
    return f;
}

// A host of the mix: IPv4, 250 hosts in 10.0.0.0/22 and 50 in 192.168.1.0/24;
// IPv6, 250 in fd00:0:0:0::/62 and 50 in 2001:db8::/64; some in the nets and
// hosts of the graphs. With fresh, any address at all, so the counting meets
// a new one in nearly every frame.
host pick_addr(std::mt19937 &rng, bool fresh, bool v6)
{
    host a;
    std::uniform_int_distribution<int> pick(0, 299);
    const int h = pick(rng);
    if (!v6) {
        a.v4 = fresh       ? static_cast<uint32_t>(rng())
               : h < 250 ? (10u << 24) | static_cast<uint32_t>((h / 63) << 8 | (1 + h % 63))
                           : (192u << 24 | 168u << 16 | 1u << 8) | static_cast<uint32_t>(h - 249);
        return a;
    }
    if (fresh) {
        for (uint8_t &b : a.v6)
            b = static_cast<uint8_t>(rng());
        return a;
    }
    a.v6[0] = h < 250 ? 0xfd : 0x20;
    a.v6[1] = h < 250 ? 0x00 : 0x01;
    a.v6[2] = h < 250 ? 0 : 0x0d;
    a.v6[3] = h < 250 ? 0 : 0xb8;
    a.v6[7] = static_cast<uint8_t>(h < 250 ? h / 63 : 0);
    a.v6[15] = static_cast<uint8_t>(h < 250 ? 1 + h % 63 : h - 249);
    return a;
}

// Writes n frames to path; false with a message on failure.
bool write_capture(const std::string &path, int n, bool fresh)
{
    pcap_t *dead = pcap_open_dead(DLT_EN10MB, snap);
    if (dead == nullptr) {
        std::fprintf(stderr, "classify_bench: pcap_open_dead failed\n");
        return false;
    }
    pcap_dumper_t *d = pcap_dump_open(dead, path.c_str());
    if (d == nullptr) {
        std::fprintf(stderr, "classify_bench: pcap_dump_open %s: %s\n", path.c_str(), pcap_geterr(dead));
        pcap_close(dead);
        return false;
    }
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> pct(0, 99), len(60, 1514);
    for (int i = 0; i < n; ++i) {
        const int r = pct(rng);
        const bool v6 = pct(rng) < 25, hbh = v6 && pct(rng) < 10;
        const int proto = r < 60 ? 6 : r < 90 ? 17 : v6 ? 58 : 1;
        const int l = v6 ? std::max(len(rng), 90) : len(rng);
        const host src = pick_addr(rng, fresh, v6), dst = pick_addr(rng, fresh, v6);
        std::vector<uint8_t> f = frame(rng, proto, v6, hbh, src, dst, l);
        pcap_pkthdr h{};
        h.ts.tv_sec = 1700000000 + i / 1000;
        h.ts.tv_usec = i % 1000 * 1000;
        h.len = static_cast<bpf_u_int32>(l);
        h.caplen = static_cast<bpf_u_int32>(l < snap ? l : snap);
        pcap_dump(reinterpret_cast<u_char *>(d), &h, f.data());
    }
    const bool ok = pcap_dump_flush(d) == 0;
    pcap_dump_close(d);
    pcap_close(dead);
    if (!ok)
        std::fprintf(stderr, "classify_bench: pcap_dump_flush %s failed\n", path.c_str());
    return ok;
}

struct bare_state {
    uint64_t frames = 0, bytes = 0;
};

void on_bare(u_char *user, const pcap_pkthdr *h, const u_char *bytes)
{
    auto *s = reinterpret_cast<bare_state *>(user);
    ++s->frames;
    s->bytes += h->caplen + bytes[0];
}

struct counting {
    int dlt;
    const count_index *ix;
    std::vector<graph> *gs;
    uint64_t frames = 0;
};

count_index graph_index;  // of graphs, built once they are loaded

// The daemon's callback, plus a frame count.
void on_count(u_char *user, const pcap_pkthdr *h, const u_char *bytes)
{
    auto *c = reinterpret_cast<counting *>(user);
    ++c->frames;
    count_frame(*c->ix, c->dlt, bytes, h->caplen, h->len, *c->gs);
}

// A second counting, written apart from the daemon's: every graph tested in
// turn, its addresses read from its texts here. It must agree with the
// daemon graph by graph, and shows what the daemon's index saves.
struct int_graph {
    graph_kind k = graph_kind::port;
    int port = 0, proto = 0;
    bool v6 = false;
    uint32_t net = 0, mask = 0;           // IPv4
    uint8_t net6[16] = {}, mask6[16] = {};  // IPv6
    int64_t count = 0, bytes = 0;
};

std::vector<int_graph> int_graphs;

// Reads a network text and mask or prefix length text (mask empty for a host)
// into g; false when they are not the plain forms this benchmark writes.
bool read_addr(const std::string &text, const std::string &mask, int_graph &g)
{
    g.v6 = text.find(':') != std::string::npos;
    if (g.v6) {
        const int len = mask.empty() ? 128 : std::atoi(mask.c_str());
        for (int i = 0; i < 16; ++i)
            g.mask6[i] = static_cast<uint8_t>(len >= 8 * (i + 1) ? 0xff : len <= 8 * i ? 0 : 0xff << (8 - len % 8));
        return inet_pton(AF_INET6, text.c_str(), g.net6) == 1;
    }
    in_addr a, m;
    m.s_addr = 0xffffffffu;
    if (inet_pton(AF_INET, text.c_str(), &a) != 1 || (!mask.empty() && inet_pton(AF_INET, mask.c_str(), &m) != 1))
        return false;
    g.net = ntohl(a.s_addr);
    g.mask = ntohl(m.s_addr);
    return true;
}

bool load_int_graphs()
{
    for (const graph &g : graphs) {
        int_graph ig;
        ig.k = g.gk;
        ig.port = g.port;
        ig.proto = g.proto;
        if ((g.gk == graph_kind::net && !read_addr(g.net, g.netm, ig)) ||
            (g.gk == graph_kind::ip && !read_addr(g.ip, "", ig))) {
            std::fprintf(stderr, "classify_bench: graph %s: address not read\n", g.name.c_str());
            return false;
        }
        int_graphs.push_back(ig);
    }
    return true;
}

bool in_net(const int_graph &g, const pkt &p, bool source)
{
    if (!p.v6)
        return ((source ? p.src : p.dst) & g.mask) == g.net;
    const addr6 &a = source ? p.src6 : p.dst6;
    for (int i = 0; i < 16; ++i) {
        const auto b = static_cast<uint8_t>((i < 8 ? a.hi >> (56 - 8 * i) : a.lo >> (120 - 8 * i)) & 0xff);
        if ((b & g.mask6[i]) != g.net6[i])
            return false;
    }
    return true;
}

bool int_counts(const int_graph &g, const pkt &p)
{
    switch (g.k) {
    case graph_kind::port:
        return p.ports && (p.sport == g.port || p.dport == g.port);
    case graph_kind::proto:
        return p.has_proto && p.proto == g.proto;
    case graph_kind::sock:
        return p.ports && p.syn && p.dport == g.port;
    case graph_kind::net:
    case graph_kind::ip:
        return g.v6 == p.v6 && (in_net(g, p, true) || in_net(g, p, false));
    }
    return false;
}

void on_int(u_char *user, const pcap_pkthdr *h, const u_char *bytes)
{
    auto *c = reinterpret_cast<counting *>(user);
    ++c->frames;
    pkt p;
    if (parse_frame(c->dlt, bytes, h->caplen, p))
        for (int_graph &g : int_graphs)
            if (int_counts(g, p)) {
                ++g.count;
                g.bytes += h->len - p.link;
            }
}

enum class how { bare, daemon, integers };

// The CPU time of this thread in milliseconds: a pass is timed by the work it
// does, so that other load on the machine does not stretch one pass more than
// another.
double cpu_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// One pass over the file; returns frames per second of CPU time, or -1.
double pass(const std::string &path, how way, uint64_t &frames)
{
    char ebuf[PCAP_ERRBUF_SIZE] = "";
    const double t0 = cpu_ms();
    pcap_t *pc = pcap_open_offline(path.c_str(), ebuf);
    if (pc == nullptr) {
        std::fprintf(stderr, "classify_bench: pcap_open_offline %s: %s\n", path.c_str(), ebuf);
        return -1;
    }
    bare_state b;
    counting c{pcap_datalink(pc), &graph_index, &graphs};
    const int rc = way == how::bare     ? pcap_loop(pc, -1, on_bare, reinterpret_cast<u_char *>(&b))
                   : way == how::daemon ? pcap_loop(pc, -1, on_count, reinterpret_cast<u_char *>(&c))
                                        : pcap_loop(pc, -1, on_int, reinterpret_cast<u_char *>(&c));
    pcap_close(pc);
    const double t1 = cpu_ms();
    if (rc < 0)
        return -1;
    frames = way == how::bare ? b.frames : c.frames;
    return static_cast<double>(frames) / ((t1 - t0) / 1e3);
}

}  // namespace

// Counts the file at cap in turns with the bare loop, the daemon and the model,
// runs times, and prints the rows; false when a pass failed or the two
// countings disagree.
bool measure(const std::string &cap, int n, int runs, const std::string &what)
{
    for (std::size_t g = 0; g < graphs.size(); ++g) {
        graphs[g].count = graphs[g].bytes = 0;
        int_graphs[g].count = int_graphs[g].bytes = 0;
    }
    std::vector<double> bare, counted, ints;
    for (int r = 0; r < runs; ++r) {
        uint64_t fb = 0, fc = 0, fi = 0;
        const double b = pass(cap, how::bare, fb), c = pass(cap, how::daemon, fc),
                     i = pass(cap, how::integers, fi);
        if (b < 0 || c < 0 || i < 0 || fb != static_cast<uint64_t>(n) || fc != fb || fi != fb)
            return false;
        bare.push_back(b);
        counted.push_back(c);
        ints.push_back(i);
    }
    // Both countings must agree graph by graph, or the comparison means nothing.
    int64_t total = 0;
    for (std::size_t g = 0; g < graphs.size(); ++g) {
        total += graphs[g].count;
        if (graphs[g].count != int_graphs[g].count || graphs[g].bytes != int_graphs[g].bytes) {
            std::fprintf(stderr, "classify_bench: graph %s: daemon counted %lld (%lld bytes), model %lld (%lld)\n",
                         graphs[g].name.c_str(), static_cast<long long>(graphs[g].count),
                         static_cast<long long>(graphs[g].bytes), static_cast<long long>(int_graphs[g].count),
                         static_cast<long long>(int_graphs[g].bytes));
            return false;
        }
    }
    const double mb = median(bare), mc = median(counted), mi = median(ints);
    const std::string base = fmt(mb / 1e6, 2, " Mframes/s (bare loop)");
    print_row("daemon counting, " + what, fmt(mc / 1e6, 2, " Mframes/s"), base, mc / mb, ">= 0.8x",
              mc / mb >= 0.8 ? "yes" : "no");
    print_row("  same, every graph tested in turn (model)", fmt(mi / 1e6, 2, " Mframes/s"), base, mi / mb, ">= 0.8x",
              mi / mb >= 0.8 ? "yes" : "no");
    std::printf("note\tdaemon counting, %s: %d frames of %d bytes at most, %d runs; %.2f counts per frame over "
                "%zu graphs, a quarter of the frames IPv6; packets and bytes equal graph by graph in the model\n",
                what.c_str(), n, snap, runs, static_cast<double>(total) / static_cast<double>(n) / runs,
                graphs.size());
    return true;
}

int main(int argc, char **argv)
{
    int n = 300000, runs = 9;
    for (int a = 1; a + 1 < argc; a += 2) {
        if (std::strcmp(argv[a], "--frames") == 0)
            n = std::atoi(argv[a + 1]);
        else if (std::strcmp(argv[a], "--runs") == 0)
            runs = std::atoi(argv[a + 1]);
    }
    char dir[] = "/tmp/traxel-bench.XXXXXX";
    if (n < 1 || runs < 1 || mkdtemp(dir) == nullptr) {
        std::fprintf(stderr, "usage: classify_bench [--frames N] [--runs R] (and a writable /tmp)\n");
        return 2;
    }
    const std::string cfg = std::string(dir) + "/traxel.cfg", hosts = std::string(dir) + "/hosts.pcap",
                      fresh = std::string(dir) + "/fresh.pcap";
    std::ofstream(cfg) << config_text();
    std::string err;
    bool ok = load_graphs(cfg.c_str(), err) && index_graphs(graphs, graph_index, err);
    if (!ok)
        std::fprintf(stderr, "classify_bench: %s\n", err.c_str());
    ok = ok && load_int_graphs() && write_capture(hosts, n, false) && write_capture(fresh, n, true);
    ok = ok && measure(hosts, n, runs, std::to_string(graphs.size()) + " graphs, 300 hosts");
    // A pass over the second file is slow; three runs bound the time.
    const std::string gs = std::to_string(graphs.size()) + " graphs";
    ok = ok && measure(fresh, n, runs < 3 ? runs : 3, gs + ", every address new");
    for (const std::string &f : {hosts, fresh, cfg})
        if (unlink(f.c_str()) != 0 && errno != ENOENT)
            std::fprintf(stderr, "classify_bench: unlink %s: %s\n", f.c_str(), std::strerror(errno));
    if (rmdir(dir) != 0)
        std::fprintf(stderr, "classify_bench: rmdir %s: %s\n", dir, std::strerror(errno));
    return ok ? 0 : 1;
}
