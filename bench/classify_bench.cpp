// Daemon counting benchmark: frames counted per second by the daemon against a bare libpcap loop over the same file.
//
// Usage: classify_bench [--frames N] [--runs R]
// The capture file is written here with pcap_open_dead and pcap_dump:
// Ethernet frames cut at the daemon's snap length, TCP, UDP and ICMP between
// a few hundred hosts. The graphs are 50 records of all five kinds, loaded by
// the daemon's own configuration reader. Bare and counting passes take turns.
#include "harness.h"

#include "cfg.h"
#include "classify.h"

#include <pcap/pcap.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int snap = 128;  // the daemon's snap length

const int ports[] = {22, 25, 53, 80, 110, 123, 143, 443, 993, 3306, 5432, 6379, 8080, 8443, 9000};
const int socks[] = {22, 25, 80, 443, 3306, 5432, 8080, 9000};
const int protos[] = {1, 2, 6, 17, 41, 47, 50};

// 15 port, 8 sock, 7 proto, 10 net and 10 ip graphs.
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
        std::snprintf(b, sizeof b, "net%d 10.0.%d.0 255.255.255.0 0 1000 800\n", i, i);
        t += b;
    }
    for (int i = 0; i < 10; ++i) {
        std::snprintf(b, sizeof b, "ip%d 10.0.%d.%d 0 1000 800\n", i, i % 4, 1 + 7 * i);
        t += b;
    }
    return t;
}

void put16(uint8_t *b, unsigned v)
{
    b[0] = static_cast<uint8_t>(v >> 8);
    b[1] = static_cast<uint8_t>(v);
}

// One Ethernet frame of wire length len with an IPv4 packet of protocol proto.
std::vector<uint8_t> frame(std::mt19937 &rng, int proto, uint32_t src, uint32_t dst, int len)
{
    std::vector<uint8_t> f(static_cast<std::size_t>(len), 0);
    put16(&f[12], 0x0800);
    uint8_t *ip = &f[14];
    ip[0] = 0x45;
    put16(ip + 2, static_cast<unsigned>(len - 14));
    ip[8] = 64;
    ip[9] = static_cast<uint8_t>(proto);
    for (int i = 0; i < 4; ++i) {
        ip[12 + i] = static_cast<uint8_t>(src >> (24 - 8 * i));
        ip[16 + i] = static_cast<uint8_t>(dst >> (24 - 8 * i));
    }
    uint8_t *l4 = ip + 20;
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

// An address of the mix: 250 hosts in 10.0.0.0/22 and 50 in 192.168.1.0/24,
// some in the nets and hosts of the graphs; with fresh, any address at all,
// so the counting meets a new one in nearly every frame.
uint32_t pick_addr(std::mt19937 &rng, bool fresh)
{
    if (fresh)
        return static_cast<uint32_t>(rng());
    std::uniform_int_distribution<int> host(0, 299);
    const int h = host(rng);
    return h < 250 ? (10u << 24) | static_cast<uint32_t>((h / 63) << 8 | (1 + h % 63))
                   : (192u << 24 | 168u << 16 | 1u << 8) | static_cast<uint32_t>(h - 249);
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
        const int proto = r < 60 ? 6 : r < 90 ? 17 : 1;
        const int l = len(rng);
        const uint32_t src = pick_addr(rng, fresh), dst = pick_addr(rng, fresh);
        std::vector<uint8_t> f = frame(rng, proto, src, dst, l);
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
    count_frame(*c->ix, c->dlt, bytes, h->caplen, *c->gs);
}

// The same counting with the addresses of net and ip graphs read once into
// integers: the model that the daemon's counting is compared with, to show
// what its per-graph address memory costs.
struct int_graph {
    graph_kind k = graph_kind::port;
    int port = 0, proto = 0;
    uint32_t net = 0, mask = 0, ip = 0;
    bool addr_ok = true;  // subred answers 2 for a bad address: nothing counts
    int64_t count = 0;
};

bool to_u32(const std::string &text, uint32_t &out)
{
    int o[4];
    char tail;
    if (std::sscanf(text.c_str(), "%d.%d.%d.%d%c", &o[0], &o[1], &o[2], &o[3], &tail) != 4)
        return false;
    out = 0;
    for (int v : o) {
        if (v < 0 || v > 255)
            return false;
        out = out << 8 | static_cast<uint32_t>(v);
    }
    return true;
}

std::vector<int_graph> int_graphs;

void load_int_graphs()
{
    for (const graph &g : graphs) {
        int_graph ig;
        ig.k = g.gk;
        ig.port = g.port;
        ig.proto = g.proto;
        if (g.gk == graph_kind::net)
            ig.addr_ok = to_u32(g.net, ig.net) && to_u32(g.netm, ig.mask);
        else if (g.gk == graph_kind::ip)
            ig.addr_ok = to_u32(g.ip, ig.ip);
        int_graphs.push_back(ig);
    }
}

bool int_counts(const int_graph &g, const pkt &p)
{
    switch (g.k) {
    case graph_kind::port:
        return p.ports && (p.sport == g.port || p.dport == g.port);
    case graph_kind::proto:
        return p.proto == g.proto;
    case graph_kind::sock:
        return p.ports && p.syn && p.dport == g.port;
    case graph_kind::net:
        return g.addr_ok && ((p.src & g.mask) == g.net || (p.dst & g.mask) == g.net);
    case graph_kind::ip:
        return g.addr_ok && (p.src == g.ip || p.dst == g.ip);
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
            if (int_counts(g, p))
                ++g.count;
}

enum class how { bare, daemon, integers };

// One pass over the file; returns frames per second, or -1.
double pass(const std::string &path, how way, uint64_t &frames)
{
    char ebuf[PCAP_ERRBUF_SIZE] = "";
    const double t0 = now_ms();
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
    const double t1 = now_ms();
    if (rc < 0)
        return -1;
    frames = way == how::bare ? b.frames : c.frames;
    return static_cast<double>(frames) / ((t1 - t0) / 1e3);
}

}  // namespace

// Counts the file at cap in turns with the bare loop and the integer model,
// runs times, and prints the rows; false when a pass failed or the two
// countings disagree.
bool measure(const std::string &cap, int n, int runs, const std::string &what)
{
    for (std::size_t g = 0; g < graphs.size(); ++g) {
        graphs[g].count = 0;
        int_graphs[g].count = 0;
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
        if (graphs[g].count != int_graphs[g].count) {
            std::fprintf(stderr, "classify_bench: graph %s: daemon counted %lld, integer model %lld\n",
                         graphs[g].name.c_str(), static_cast<long long>(graphs[g].count),
                         static_cast<long long>(int_graphs[g].count));
            return false;
        }
    }
    const double mb = median(bare), mc = median(counted), mi = median(ints);
    const std::string base = fmt(mb / 1e6, 2, " Mframes/s (bare loop)");
    print_row("daemon counting, " + what, fmt(mc / 1e6, 2, " Mframes/s"), base, mc / mb, ">= 0.8x",
              mc / mb >= 0.8 ? "yes" : "no");
    print_row("  same, addresses as integers (model)", fmt(mi / 1e6, 2, " Mframes/s"), base, mi / mb, ">= 0.8x",
              mi / mb >= 0.8 ? "yes" : "no");
    std::printf("note\tdaemon counting, %s: %d frames of %d bytes at most, %d runs; %.2f counts per frame over "
                "%zu graphs, equal graph by graph in the integer model\n",
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
    load_int_graphs();
    ok = ok && write_capture(hosts, n, false) && write_capture(fresh, n, true);
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
