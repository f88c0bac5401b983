// Tests of the counting: frames of every decoded link type, IPv4 and IPv6, written to capture files, read back and counted.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "cfg.h"
#include "classify.h"
#include "frames.h"
#include "mix.h"
#include "live.h"
#include "subred.h"

namespace {

using tally = std::map<std::string, std::pair<int64_t, int64_t>>;  // graph: packets, bytes

// Counts every frame of the capture file at path; returns what each graph counted.
tally count_file(const std::string &path)
{
    count_index ix;
    std::vector<graph> gs = test_graphs(ix);
    char ebuf[PCAP_ERRBUF_SIZE];
    pcap_t *pc = pcap_open_offline(path.c_str(), ebuf);
    if (!pc) {
        ADD_FAILURE() << ebuf;
        return {};
    }
    while (count_pending(pc, ix, gs) > 0) {
    }
    pcap_close(pc);
    tally out;
    for (const graph &g : gs)
        out[g.name] = {g.count, g.bytes};
    return out;
}

class link_types : public ::testing::TestWithParam<link_case> {};

// Every packet of the mix that the link type carries, framed, counts once in
// each graph that counts it, with its bytes from the IP header on, though
// only 96 bytes of each packet were captured. Cut anywhere, a frame decodes
// only with a whole fixed header: each cut is copied to a buffer of its own
// size, so a read past it shows under the address sanitizer.
TEST_P(link_types, CountPacketsAndBytesOfEveryKindOfGraph)
{
    const link_case &lc = GetParam();
    std::vector<rec> recs;
    tally want;
    for (const char *name : {"port80", "sock80", "tcpproto", "udpproto", "icmpproto", "icmp6proto", "tennet", "lannet",
                             "hostbitsnet", "serverip", "labnet6", "serverip6"})
        want[name] = {0, 0};
    for (const sent &s : packet_mix()) {
        const bool v6 = s.ip[0] >> 4 == 6;
        if (!(v6 ? lc.v6 : lc.v4))
            continue;
        const bytes &head = v6 ? lc.head6 : lc.head4;
        const bytes f = join({head, s.ip});
        recs.push_back({f, 1000, 0, static_cast<uint32_t>(head.size() + 96)});
        for (const std::string &g : s.by) {
            ++want[g].first;
            want[g].second += static_cast<int64_t>(s.ip.size());
        }
        for (uint32_t cut = 0; cut <= f.size(); ++cut) {
            std::unique_ptr<uint8_t[]> b(new uint8_t[cut ? cut : 1]);
            std::copy(f.begin(), f.begin() + cut, b.get());
            pkt p;
            const bool whole = cut >= head.size() + (v6 ? 40 : 20);
            ASSERT_EQ(parse_frame(lc.dlt, b.get(), cut, p), whole) << cut;
            if (whole) {
                ASSERT_EQ(p.link, head.size());
            }
        }
    }
    EXPECT_EQ(count_file(write_capture(std::string(lc.name) + ".pcap", lc.dlt, recs)), want);
}

INSTANTIATE_TEST_SUITE_P(Frames, link_types, ::testing::ValuesIn(link_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Decoding, FramesWithoutIpCountNowhere)
{
    const bytes ip4 = ipv4(17, "10.0.0.2", "10.0.0.1", udp(80, 80, {})), ip6 = ipv6(17, "fd77::2", "fd77::1", udp(80, 80, {}));
    const bytes tag = {0x81, 0x00, 0x00, 0x07};
    const struct {
        const char *what;
        int dlt;
        bytes frame;
    } table[] = {
        {"ARP", DLT_EN10MB, join({macs, {0x08, 0x06}, bytes(28)})},
        {"IPv6 where IPv4 is announced", DLT_EN10MB, join({macs, {0x08, 0x00}, ip6})},
        {"IPv4 where IPv6 is announced", DLT_LINUX_SLL, join({cooked, {0x86, 0xdd}, ip4})},
        {"five VLAN tags", DLT_EN10MB, join({macs, tag, tag, tag, tag, tag, {0x08, 0x00}, ip4})},
        {"cooked ARP", DLT_LINUX_SLL2, join({{0x08, 0x06}, cooked2_tail, bytes(28)})},
        {"IPv6 on an IPv4 link", DLT_IPV4, ip6},
        {"version 5", DLT_RAW, join({{0x50}, bytes(ip4.begin() + 1, ip4.end())})},
        {"null family 7", DLT_NULL, null_frame(7, ip4)},
        {"loop family in host order", DLT_LOOP, join({family_word(2, false), ip4})},
        {"IPv4 header length below 20", DLT_RAW, join({{0x44}, bytes(ip4.begin() + 1, ip4.end())})},
        {"a link type not decoded", DLT_IEEE802_11, join({bytes(24), ip4})},
    };
    for (const auto &row : table) {
        pkt p;
        EXPECT_FALSE(parse_frame(row.dlt, row.frame.data(), static_cast<uint32_t>(row.frame.size()), p)) << row.what;
    }
    EXPECT_FALSE(link_known(DLT_IEEE802_11));
}

TEST(Decoding, Ipv6ExtensionHeadersAreWalkedToTheUpperLayer)
{
    const char *a = "fd77::1", *b = "fd77::2";
    const struct {
        const char *what;
        bytes ip;
        uint32_t cut;  // bytes captured (0: all)
        bool has_proto;
        uint8_t proto;
        bool ports, syn;
    } table[] = {
        {"hop-by-hop, TCP", ipv6(0, a, b, join({ext6(6), tcp(1000, 80, syn)})), 0, true, 6, true, true},
        {"hop-by-hop, routing, options, UDP", ipv6(0, a, b, join({ext6(43), ext6(60, 2), ext6(17, 1), udp(1, 80, {})})),
         0, true, 17, true, false},
        {"first fragment", ipv6(44, a, b, join({frag6(17, 0), udp(1000, 80, {})})), 0, true, 17, true, false},
        {"later fragment", ipv6(44, a, b, join({frag6(17, 1), udp(1000, 80, {})})), 0, true, 17, false, false},
        {"no next header", ipv6(59, a, b, {}), 0, true, 59, false, false},
        {"ESP ends the walk", ipv6(60, a, b, join({ext6(50), bytes(16)})), 0, true, 50, false, false},
        {"TCP cut before its flags", ipv6(6, a, b, tcp(1000, 80, syn)), 40 + 4, true, 6, true, false},
        {"TCP cut before its ports", ipv6(0, a, b, join({ext6(6), tcp(1000, 80, syn)})), 40 + 8 + 3, true, 6, false,
         false},
        {"chain cut in its second header", ipv6(0, a, b, join({ext6(60), ext6(17), udp(1, 80, {})})), 40 + 8 + 7,
         false, 0, false, false},
        {"last header longer than captured", ipv6(60, a, b, join({ext6(17, 20), udp(1, 80, {})})), 40 + 64, true, 17,
         false, false},
        {"nine option headers", ipv6(60, a, b, join({ext6(60), ext6(60), ext6(60), ext6(60), ext6(60), ext6(60),
                                                     ext6(60), ext6(60), ext6(17), udp(1, 80, {})})),
         0, false, 0, false, false},
    };
    for (const auto &row : table) {
        const uint32_t n = row.cut ? row.cut : static_cast<uint32_t>(row.ip.size());
        ASSERT_LE(n, row.ip.size()) << row.what;
        std::unique_ptr<uint8_t[]> buf(new uint8_t[n]);
        std::copy(row.ip.begin(), row.ip.begin() + n, buf.get());
        pkt p;
        ASSERT_TRUE(parse_frame(DLT_IPV6, buf.get(), n, p)) << row.what;
        EXPECT_TRUE(p.v6) << row.what;
        EXPECT_EQ(p.has_proto, row.has_proto) << row.what;
        EXPECT_EQ(p.proto, row.proto) << row.what;
        EXPECT_EQ(p.ports, row.ports) << row.what;
        EXPECT_EQ(p.syn, row.syn) << row.what;
        if (row.ports) {
            EXPECT_EQ(p.dport, 80) << row.what;
        }
        EXPECT_EQ(p.src6.lo, 1u) << row.what;
    }
}

TEST(Counting, IndexRefusesPortsAndProtocolsOutOfRange)
{
    // Graphs made by hand, not by load_graphs: nothing may be filed outside
    // the tables, and a refusal leaves the index that was there.
    count_index ix;
    std::vector<graph> gs = test_graphs(ix);
    std::string err;
    for (auto [kind, port, proto, what] : {std::tuple{graph_kind::port, 65536, 0, "port 65536"},
                                           {graph_kind::sock, -1, 0, "port -1"},
                                           {graph_kind::proto, 0, 256, "protocol 256"}}) {
        std::vector<graph> bad = gs;
        bad[2].gk = kind;
        bad[2].port = port;
        bad[2].proto = proto;
        EXPECT_FALSE(index_graphs(bad, ix, err));
        EXPECT_EQ(err, std::string("graph tcpproto: ") + what + " out of range");
    }
    EXPECT_EQ(ix.size, gs.size());
    // A list of another length is not counted with this index.
    std::vector<graph> other = gs;
    other.pop_back();
    pkt p;
    ASSERT_TRUE(parse_ip(ipv4(6, "10.0.0.1", "10.0.0.2", tcp(40000, 80, syn)).data(), 40, p));
    classify(ix, p, 40, other);
    classify(ix, p, 40, gs);
    for (const graph &g : other)
        EXPECT_EQ(g.count, 0) << g.name;
    EXPECT_EQ(gs[0].count, 1);
    EXPECT_EQ(gs[0].bytes, 40);
}

std::string dotted(uint32_t a)
{
    return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 0xff) + "." + std::to_string(a >> 8 & 0xff) +
           "." + std::to_string(a & 0xff);
}

// xorshift: the same numbers on every run.
struct xorshift {
    uint32_t x;
    uint32_t operator()(uint32_t n = 0)
    {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return n ? x % n : x;
    }
};

// Packet addresses to try: edges of every octet and a spread of others.
std::vector<uint32_t> probe_addresses()
{
    std::vector<uint32_t> out = {0u, 0xffffffffu, 0x0a000001u, 0x0a000002u, 0x0a0000ffu, 0x7f000001u,
                                 0xc0a80105u, 0xc0a8014du, 0xc0a8024du, 0x0affffffu, 0x0b000000u};
    xorshift rng{2463534242u};
    for (int i = 0; i < 3000; ++i) {
        const uint32_t x = rng();
        out.push_back(x);
        out.push_back((x & 0xffff00ffu) | 0x0a000000u);  // near the 10/8 and 192.168 cases
        out.push_back((x & 0x000000ffu) | 0xc0a80100u);
    }
    return out;
}

// A graph made by hand: kind k on key (port or protocol) or the address
// texts a and m, loaded into integers as the configuration reader does.
graph hand_graph(graph_kind k, int key, const std::string &a = "", const std::string &m = "")
{
    graph g;
    g.gk = k;
    g.port = g.proto = key;
    g.net = g.ip = a;
    g.netm = m;
    if (k == graph_kind::net || k == graph_kind::ip) {
        EXPECT_EQ(addr_form(g), "") << a << " " << m;
    }
    return g;
}

// Whether g counts p, testing g alone.
bool model_counts(const graph &g, const pkt &p)
{
    auto in = [&g](uint32_t a, const addr6 &a6) {
        return g.v6 ? (a6.hi & g.mask6.hi) == g.net6.hi && (a6.lo & g.mask6.lo) == g.net6.lo
                    : !g.never && (a & g.mask_bits) == g.net_bits;
    };
    switch (g.gk) {
    case graph_kind::port:
        return p.ports && (p.sport == g.port || p.dport == g.port);
    case graph_kind::sock:
        return p.ports && p.syn && p.dport == g.port;
    case graph_kind::proto:
        return p.has_proto && p.proto == g.proto;
    default:
        return g.v6 == p.v6 && (in(p.src, p.src6) || in(p.dst, p.dst6));
    }
}

// Whether g, tested alone, counts an IPv4 packet from and to addr.
bool counts_v4(const graph &g, uint32_t addr)
{
    pkt p;
    p.src = p.dst = addr;
    return model_counts(g, p);
}

// The integer forms kept at load decide every packet address exactly as
// net_belong and ip_belong decide its dotted text.
TEST(AddressForms, AgreeWithSubredForEveryAddress)
{
    struct {
        const char *net, *mask;
    } nets[] = {
        {"10.0.0.0", "255.0.0.0"},       {"192.168.1.0", "255.255.255.0"}, {"192.168.1.5", "255.255.255.0"},
        {"0.0.0.0", "0.0.0.0"},          {"010.0.0.0", "255.0.0.0"},       {" 10. 0.0.0", "255.0.0.0"},
        {"10.0.0.0/8", "255.0.0.0"},     {"10.-1.0.0", "255.0.0.0"},       {"10.0.0.0", "255.255.-255.0"},
        {"10.0.0.1", "-1.-1.-1.-1"},     {"192.168.1.0", "255.255.255.252"}, {"127.0.0.0", "255.0.0.0 junk"},
    };
    const char *hosts[] = {"10.0.0.2", "192.168.1.77", "010.000.000.002", "10.0.0.1/24", "10.0.0.-2", "+10.0.0.2",
                           "0.0.0.0", "255.255.255.255"};
    const std::vector<uint32_t> addrs = probe_addresses();
    for (const auto &n : nets) {
        const graph g = hand_graph(graph_kind::net, 0, n.net, n.mask);
        for (uint32_t a : addrs)
            ASSERT_EQ(counts_v4(g, a), net_belong(dotted(a).c_str(), n.net, n.mask) == 1)
                << dotted(a) << " in " << n.net << " " << n.mask;
    }
    for (const char *h : hosts) {
        const graph g = hand_graph(graph_kind::ip, 0, h);
        std::vector<uint32_t> with_own = addrs;
        with_own.push_back(g.net_bits);
        for (uint32_t a : with_own)
            ASSERT_EQ(counts_v4(g, a), ip_belong(dotted(a).c_str(), h) == 1) << dotted(a) << " is " << h;
    }
}

TEST(AddressForms, RefuseWhatSubredRefuses)
{
    const char *bad[] = {"10.0.0.256", "10.0.0", "ten.0.0.1", "", "10..0.1"};
    for (const char *b : bad) {
        graph g;
        g.gk = graph_kind::ip;
        g.ip = b;
        EXPECT_NE(addr_form(g), "") << b;
        EXPECT_EQ(ip_belong(b, b), 2) << b;
    }
}

// The index counts every packet in exactly the graphs that, tested one by
// one, count it: graphs sharing a key, networks nested in each other and
// sharing a mask, dotted masks that are no prefix, both ends in one network,
// addresses in none, one, two or more networks, each met again and again;
// once without and once with a network of every IPv4 address.
TEST(Counting, IndexAgreesWithTestingEveryGraph)
{
    for (bool all : {false, true}) {
        std::vector<graph> gs = {
            hand_graph(graph_kind::port, 80), hand_graph(graph_kind::port, 80), hand_graph(graph_kind::port, 443),
            hand_graph(graph_kind::sock, 80), hand_graph(graph_kind::sock, 22), hand_graph(graph_kind::proto, 6),
            hand_graph(graph_kind::proto, 6), hand_graph(graph_kind::proto, 58),
            hand_graph(graph_kind::net, 0, "10.0.0.0", "8"), hand_graph(graph_kind::net, 0, "10.1.0.0", "16"),
            hand_graph(graph_kind::net, 0, "10.1.2.0", "24"), hand_graph(graph_kind::net, 0, "10.2.2.0", "24"),
            hand_graph(graph_kind::net, 0, "10.1.2.0", "24"), hand_graph(graph_kind::net, 0, "10.0.0.0", "255.0.255.0"),
            hand_graph(graph_kind::net, 0, "10.1.2.5", "255.255.255.0"), hand_graph(graph_kind::ip, 0, "10.1.2.3"),
            hand_graph(graph_kind::ip, 0, "10.-1.2.3"), hand_graph(graph_kind::net, 0, "fd00::", "8"),
            hand_graph(graph_kind::net, 0, "fd00:1::", "32"), hand_graph(graph_kind::net, 0, "fd00:1::", "96"),
            hand_graph(graph_kind::ip, 0, "fd00:1::3"), hand_graph(graph_kind::ip, 0, "fd00:1::3"),
        };
        if (all)
            gs.push_back(hand_graph(graph_kind::net, 0, "0.0.0.0", "0"));
        count_index ix;
        std::string err;
        ASSERT_TRUE(index_graphs(gs, ix, err)) << err;
        std::vector<int64_t> want(gs.size());
        xorshift next{88172645u};
        const uint32_t hosts4[] = {0x0a010203, 0x0a010205, 0x0a020203, 0x0a000007, 0x0a050005, 0xc0a80001, 0x0a0102ff};
        const uint64_t hosts6[] = {0xfd00000100000000, 0xfd00000200000000, 0x20010db800000000};
        const uint16_t ports[] = {80, 443, 22, 5000};
        for (int i = 0; i < 20000; ++i) {
            pkt p;
            p.v6 = next(4) == 0;
            p.src = hosts4[next(7)];
            p.dst = next(3) ? hosts4[next(7)] : p.src;
            p.src6 = {hosts6[next(3)], next(4)};
            p.dst6 = {hosts6[next(3)], next(4)};
            p.has_proto = next(10) != 0;
            p.proto = static_cast<uint8_t>(next(3) ? 6 : 58);
            p.ports = next(5) != 0;
            p.sport = ports[next(4)];
            p.dport = ports[next(4)];
            p.syn = next(2) != 0;
            classify(ix, p, 1, gs);
            for (std::size_t g = 0; g < gs.size(); ++g)
                want[g] += model_counts(gs[g], p);
        }
        for (std::size_t g = 0; g < gs.size(); ++g)
            EXPECT_EQ(gs[g].count, want[g]) << "graph " << g << (all ? " with 0.0.0.0/0" : "");
    }
}

}  // namespace
