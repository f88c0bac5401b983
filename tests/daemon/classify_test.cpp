// Tests of the counting: capture files written here, read back and counted against the graphs.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "cfg.h"
#include "classify.h"
#include "frames.h"
#include "live.h"
#include "subred.h"

namespace {

const char graphs_cfg[] =
    "window 5\n"
    "port80 80 0 100 50\n"
    "sock80 80 0 10 5\n"
    "tcpproto 6 0 100 50\n"
    "udpproto 17 0 100 50\n"
    "icmpproto 1 0 100 50\n"
    "tennet 10.0.0.0 255.0.0.0 0 100 50\n"
    "lannet 192.168.1.0 255.255.255.0 0 100 50\n"
    "hostbitsnet 192.168.1.5 255.255.255.0 0 100 50\n"
    "serverip 10.0.0.2 0 100 50\n";

// Loads the graphs above through the configuration reader.
std::vector<graph> test_graphs()
{
    std::string path = temp_dir() + "/traxel.cfg";
    write_file(path, graphs_cfg);
    std::string err;
    if (!load_graphs(path.c_str(), err))
        ADD_FAILURE() << err;
    return graphs;
}

// Counts every frame of the capture file at path; returns count per graph.
std::map<std::string, int64_t> count_file(const std::string &path)
{
    std::vector<graph> gs = test_graphs();
    count_index ix;
    std::string err;
    if (!index_graphs(gs, ix, err))
        ADD_FAILURE() << err;
    char ebuf[PCAP_ERRBUF_SIZE];
    pcap_t *pc = pcap_open_offline(path.c_str(), ebuf);
    if (!pc) {
        ADD_FAILURE() << ebuf;
        return {};
    }
    while (count_pending(pc, ix, gs) > 0) {
    }
    pcap_close(pc);
    std::map<std::string, int64_t> out;
    for (const graph &g : gs)
        out[g.name] = g.count;
    return out;
}

// The mix of packets every link type carries in the table test.
std::vector<bytes> packet_mix()
{
    return {
        // A new connection to port 80.
        ipv4(6, "10.0.0.1", "10.0.0.2", tcp(40000, 80, syn)),
        // Its answer: port 80 as the source, SYN with ACK is no new connection.
        ipv4(6, "10.0.0.2", "10.0.0.1", tcp(80, 40000, syn | ack)),
        // Data to port 80.
        ipv4(6, "10.0.0.1", "10.0.0.2", tcp(40000, 80, ack)),
        // UDP to port 80 from the LAN.
        ipv4(17, "192.168.1.5", "10.0.0.1", udp(53, 80, {1, 2, 3, 4})),
        // ICMP within the LAN.
        ipv4(1, "192.168.1.5", "192.168.1.77", {8, 0, 0, 0, 0, 0, 0, 0}),
        // A later fragment: its first bytes look like ports 80 but are data.
        ipv4(6, "172.16.0.1", "172.16.0.2", tcp(80, 80, syn), 185),
        // A new connection to another port, outside every network.
        ipv4(6, "172.16.0.1", "172.16.0.2", tcp(5000, 22, syn)),
    };
}

const std::map<std::string, int64_t> mix_counts = {
    {"port80", 4},    {"sock80", 1},  {"tcpproto", 5},    {"udpproto", 1},  {"icmpproto", 1},
    {"tennet", 4},    {"lannet", 2},  {"hostbitsnet", 0}, {"serverip", 3},
};

class link_types : public ::testing::TestWithParam<int> {};

TEST_P(link_types, CountsEveryKindOfGraph)
{
    std::vector<rec> recs;
    for (const bytes &ip : packet_mix())
        recs.push_back({frame(GetParam(), ip), 1000, 0});
    std::string path = write_capture("mix" + std::to_string(GetParam()) + ".pcap", GetParam(), recs);
    EXPECT_EQ(count_file(path), mix_counts);
}

INSTANTIATE_TEST_SUITE_P(Frames, link_types,
                         ::testing::Values(DLT_EN10MB, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_RAW, DLT_NULL),
                         [](const auto &info) { return std::string(pcap_datalink_val_to_name(info.param)); });

TEST(Counting, FramesOtherThanIpv4CountNowhere)
{
    bytes arp = {0, 1, 2, 3, 4, 5, 0, 1, 2, 3, 4, 6, 0x08, 0x06};
    arp.resize(42);
    bytes ip6 = ipv4(6, "10.0.0.1", "10.0.0.2", tcp(1, 80, syn));
    ip6[0] = 0x60;
    std::string path = write_capture("other.pcap", DLT_EN10MB, {{arp, 1, 0}, {frame(DLT_EN10MB, ip6), 1, 0}});
    for (const auto &[name, n] : count_file(path))
        EXPECT_EQ(n, 0) << name;
}

TEST(Counting, VlanTaggedEthernetIsDecoded)
{
    bytes f = {0, 1, 2, 3, 4, 5, 0, 1, 2, 3, 4, 6, 0x81, 0x00, 0x00, 0x07, 0x08, 0x00};
    bytes ip = ipv4(17, "10.0.0.2", "8.8.8.8", udp(80, 53, {}));
    f.insert(f.end(), ip.begin(), ip.end());
    auto counts = count_file(write_capture("vlan.pcap", DLT_EN10MB, {{f, 1, 0}}));
    EXPECT_EQ(counts["port80"], 1);
    EXPECT_EQ(counts["serverip"], 1);
}

TEST(Counting, NullFamilyIsTakenInEitherByteOrder)
{
    bytes ip = ipv4(17, "10.0.0.2", "8.8.8.8", udp(80, 53, {}));
    bytes big = {0, 0, 0, 2}, other = {0, 0, 0, 24};
    big.insert(big.end(), ip.begin(), ip.end());
    other.insert(other.end(), ip.begin(), ip.end());
    auto counts = count_file(write_capture("null.pcap", DLT_NULL, {{big, 1, 0}, {other, 1, 0}}));
    EXPECT_EQ(counts["port80"], 1);
    EXPECT_EQ(counts["udpproto"], 1);
}

TEST(Counting, CaptureCutBeforeFlagsCountsPortButNoConnection)
{
    bytes f = frame(DLT_RAW, ipv4(6, "10.0.0.1", "10.0.0.2", tcp(40000, 80, syn)));
    auto counts = count_file(write_capture("cut.pcap", DLT_RAW, {{f, 1, 0, 20 + 4}}));
    EXPECT_EQ(counts["port80"], 1);
    EXPECT_EQ(counts["sock80"], 0);
    EXPECT_EQ(counts["tcpproto"], 1);
}

TEST(Counting, CaptureCutInsideIpHeaderCountsNothing)
{
    bytes f = frame(DLT_EN10MB, ipv4(6, "10.0.0.1", "10.0.0.2", tcp(40000, 80, syn)));
    for (const auto &[name, n] : count_file(write_capture("short.pcap", DLT_EN10MB, {{f, 1, 0, 14 + 19}})))
        EXPECT_EQ(n, 0) << name;
}

TEST(Counting, FramesCutAnywhereDecodeOnlyWithAWholeIpHeader)
{
    // Each cut is copied to a buffer of its own size, so a read past it shows
    // under the address sanitizer.
    const struct {
        int dlt;
        uint32_t link;
    } table[] = {{DLT_EN10MB, 14}, {DLT_LINUX_SLL, 16}, {DLT_LINUX_SLL2, 20}, {DLT_RAW, 0}, {DLT_NULL, 4}};
    for (const auto &row : table)
        for (const bytes &ip : packet_mix()) {
            bytes f = frame(row.dlt, ip);
            for (uint32_t cut = 0; cut <= f.size(); ++cut) {
                std::unique_ptr<uint8_t[]> b(new uint8_t[cut ? cut : 1]);
                std::copy(f.begin(), f.begin() + cut, b.get());
                pkt p;
                EXPECT_EQ(parse_frame(row.dlt, b.get(), cut, p), cut >= row.link + 20) << row.dlt << " " << cut;
            }
        }
}

TEST(Counting, AddressMatchingAgreesWithSubredForEveryAddressSeenTwice)
{
    // The remembered answer must equal the first one, for matches and misses.
    std::vector<graph> gs = test_graphs();
    count_index ix;
    std::string err;
    ASSERT_TRUE(index_graphs(gs, ix, err)) << err;
    const char *addrs[] = {"10.255.0.1", "11.0.0.1", "192.168.1.200", "192.168.2.1", "10.0.0.2"};
    for (int pass = 0; pass < 2; ++pass)
        for (const char *a : addrs) {
            pkt p;
            ASSERT_TRUE(parse_ip(ipv4(1, a, a, {}).data(), 20, p));
            classify(ix, p, gs);
        }
    std::map<std::string, int64_t> got;
    for (const graph &g : gs)
        got[g.name] = g.count;
    EXPECT_EQ(got["tennet"], 4);
    EXPECT_EQ(got["lannet"], 2);
    EXPECT_EQ(got["hostbitsnet"], 0);
    EXPECT_EQ(got["serverip"], 2);
    EXPECT_EQ(got["icmpproto"], 10);
}

TEST(Counting, IndexRefusesPortsAndProtocolsOutOfRange)
{
    // Graphs made by hand, not by load_graphs: nothing may be filed outside
    // the tables, and a refusal leaves the index that was there.
    std::vector<graph> gs = test_graphs();
    count_index ix;
    std::string err;
    ASSERT_TRUE(index_graphs(gs, ix, err)) << err;
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
    classify(ix, p, other);
    classify(ix, p, gs);
    for (const graph &g : other)
        EXPECT_EQ(g.count, 0) << g.name;
    EXPECT_EQ(gs[0].count, 1);
}

}  // namespace

namespace {

std::string dotted(uint32_t a)
{
    return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 0xff) + "." + std::to_string(a >> 8 & 0xff) +
           "." + std::to_string(a & 0xff);
}

// Packet addresses to try: edges of every octet and a spread of others.
std::vector<uint32_t> probe_addresses()
{
    std::vector<uint32_t> out = {0u, 0xffffffffu, 0x0a000001u, 0x0a000002u, 0x0a0000ffu, 0x7f000001u,
                                 0xc0a80105u, 0xc0a8014du, 0xc0a8024du, 0x0affffffu, 0x0b000000u};
    uint32_t x = 2463534242u;  // xorshift: the same spread on every run
    for (int i = 0; i < 3000; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out.push_back(x);
        out.push_back((x & 0xffff00ffu) | 0x0a000000u);  // near the 10/8 and 192.168 cases
        out.push_back((x & 0x000000ffu) | 0xc0a80100u);
    }
    return out;
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
        graph g;
        g.gk = graph_kind::net;
        g.net = n.net;
        g.netm = n.mask;
        ASSERT_TRUE(addr_form(g)) << n.net << " " << n.mask;
        for (uint32_t a : addrs)
            ASSERT_EQ(belongs(g, a), net_belong(dotted(a).c_str(), n.net, n.mask) == 1)
                << dotted(a) << " in " << n.net << " " << n.mask;
    }
    for (const char *h : hosts) {
        graph g;
        g.gk = graph_kind::ip;
        g.ip = h;
        ASSERT_TRUE(addr_form(g)) << h;
        std::vector<uint32_t> with_own = addrs;
        with_own.push_back(g.ip_bits);
        for (uint32_t a : with_own)
            ASSERT_EQ(belongs(g, a), ip_belong(dotted(a).c_str(), h) == 1) << dotted(a) << " is " << h;
    }
}

TEST(AddressForms, RefuseWhatSubredRefuses)
{
    const char *bad[] = {"10.0.0.256", "10.0.0", "ten.0.0.1", "", "10..0.1"};
    for (const char *b : bad) {
        graph g;
        g.gk = graph_kind::ip;
        g.ip = b;
        EXPECT_FALSE(addr_form(g)) << b;
        EXPECT_EQ(ip_belong(b, b), 2) << b;
    }
}

}  // namespace
