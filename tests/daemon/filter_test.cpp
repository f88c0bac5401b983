// Tests of the kernel filter: built for a table of configurations, compiled by libpcap and run over crafted frames of every link type.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <string>
#include <vector>

#include "cfg.h"
#include "classify.h"
#include "filter.h"
#include "frames.h"

namespace {

struct filter_case {
    const char *name;
    const char *records;
    bool upper;       // a port, sock or proto graph: IPv6 chains pass whole
    bool all = false;  // every IPv4 and IPv6 packet counts: no filter at all
};

const filter_case filter_cases[] = {
    {"ports", "port80 80 0 1 1\nport53 53 0 1 1\n", true},
    {"socks", "sock22 22 0 1 1\nsock80 80 0 1 1\nport80 80 0 1 1\n", true},
    {"protos", "proto-icmp 1 0 1 1\nproto-icmp6 58 0 1 1\nproto-gre 47 0 1 1\nproto-frag 44 0 1 1\n", true},
    {"hosts4",
     "ip-srv 10.0.0.2 0 1 1\nnet-lan 192.168.1.0 24 0 1 1\nnet-odd 10.0.0.0 255.0.255.0 0 1 1\n"
     "net-hostbits 172.16.0.9 255.255.0.0 0 1 1\nnet-neg 10.-1.0.0 255.0.0.0 0 1 1\n",
     false},
    {"hosts6", "ip6-srv fd77::2 0 1 1\nnet6-lab fd77:: 64 0 1 1\nip6-mapped ::ffff:10.0.0.2 0 1 1\n", false},
    {"mixed",
     "port443 443 0 1 1\nsock22 22 0 1 1\nproto-gre 47 0 1 1\nnet-lan 192.168.1.0 24 0 1 1\n"
     "net6-doc 2001:db8:: 32 0 1 1\n",
     true},
    {"all4", "net-all 0.0.0.0 0 0 1 1\nport80 80 0 1 1\n", true},
    {"all", "port80 80 0 1 1\nnet-all 0.0.0.0 0 0 1 1\nnet6-all :: 0 0 1 1\n", true, true},
};

// An IP packet, and whether its fixed IPv6 header names an extension header.
struct packet {
    bytes ip;
    bool chain = false;
};

std::vector<packet> packets()
{
    std::vector<packet> out;
    const char *pairs4[][2] = {{"10.0.0.1", "10.0.0.2"}, {"192.168.1.5", "172.16.0.9"}, {"10.7.1.7", "172.16.3.1"}};
    for (auto &a : pairs4)
        for (const bytes &l4 : {tcp(40000, 80, syn), tcp(80, 40000, syn | ack), tcp(5000, 22, syn), tcp(22, 5000, ack),
                                tcp(443, 443, syn), udp(53, 5353, {1}), udp(9999, 9998, {})}) {
            const uint8_t proto = l4.size() == 20 ? 6 : 17;
            out.push_back({ipv4(proto, a[0], a[1], l4)});
            out.push_back({ipv4(proto, a[0], a[1], l4, 185)});  // a later fragment
        }
    for (auto &a : pairs4) {
        out.push_back({ipv4(1, a[0], a[1], bytes(8))});
        out.push_back({ipv4(47, a[0], a[1], bytes(8))});
    }
    const char *pairs6[][2] = {{"fd77::1", "fd77::2"}, {"2001:db8::1", "fd78::3"}, {"::ffff:10.0.0.2", "fd78::9"}};
    for (auto &a : pairs6) {
        out.push_back({ipv6(6, a[0], a[1], tcp(40000, 22, syn))});
        out.push_back({ipv6(6, a[0], a[1], tcp(22, 40000, syn | ack))});
        out.push_back({ipv6(17, a[0], a[1], udp(5353, 53, {}))});
        out.push_back({ipv6(58, a[0], a[1], bytes(8))});
        out.push_back({ipv6(47, a[0], a[1], bytes(8))});
        out.push_back({ipv6(0, a[0], a[1], join({ext6(6), tcp(40000, 22, syn)})), true});
        out.push_back({ipv6(60, a[0], a[1], join({ext6(43, 1), ext6(17, 2), udp(9, 9, {})})), true});
        out.push_back({ipv6(44, a[0], a[1], join({frag6(17, 0), udp(5000, 80, {})})), true});
        out.push_back({ipv6(44, a[0], a[1], join({frag6(6, 185), tcp(80, 80, syn)})), true});
        out.push_back({ipv6(0, a[0], a[1], join({ext6(58), bytes(8)})), true});
    }
    return out;
}

// Every frame that a graph counts passes the filter, and so does every frame
// of the deliberate superset (a VLAN tag in the captured bytes, an IPv6 chain
// where a graph needs its upper layer); every other frame is refused. So the
// graphs count the same with and without the filter. Link types that Linux
// does not capture live get no filter.
TEST(KernelFilter, PassesWhatGraphsCountAndNoMoreThanItsSuperset)
{
    const std::vector<packet> mix = packets();
    for (const filter_case &fc : filter_cases) {
        const std::string path = temp_dir() + "/traxel.cfg";
        write_file(path, std::string("window 5\n") + fc.records);
        std::string err;
        count_index ix;
        ASSERT_TRUE(load_graphs(path.c_str(), err) && index_graphs(graphs, ix, err)) << err;
        for (const link_case &lc : link_cases()) {
            const std::string text = capture_filter(graphs, lc.dlt);
            SCOPED_TRACE(std::string(fc.name) + " on " + lc.name + ": " + text);
            // Live capture on Linux has these link types; the others go unfiltered.
            const bool live = lc.dlt == DLT_EN10MB || lc.dlt == DLT_LINUX_SLL || lc.dlt == DLT_LINUX_SLL2 ||
                              lc.dlt == DLT_RAW;
            EXPECT_EQ(text.empty(), !live || fc.all);
            pcap_t *dead = pcap_open_dead(lc.dlt, 65535);
            bpf_program prog;
            ASSERT_EQ(pcap_compile(dead, &prog, text.c_str(), 1, PCAP_NETMASK_UNKNOWN), 0) << pcap_geterr(dead);
            std::vector<graph> all = graphs, passed = graphs;
            int refused = 0;
            for (const packet &p : mix) {
                const bool v6 = p.ip[0] >> 4 == 6;
                if (!(v6 ? lc.v6 : lc.v4))
                    continue;
                const bytes f = join({v6 ? lc.head6 : lc.head4, p.ip});
                const auto n = static_cast<uint32_t>(f.size());
                std::vector<graph> one = graphs;
                count_frame(ix, lc.dlt, f.data(), n, n, one);
                count_frame(ix, lc.dlt, f.data(), n, n, all);
                bool counted = false;
                for (const graph &g : one)
                    counted = counted || g.count > 0;
                const pcap_pkthdr h{{0, 0}, n, n};
                const bool pass = pcap_offline_filter(&prog, &h, f.data()) != 0;
                EXPECT_EQ(pass, !live || counted || lc.tagged || (p.chain && fc.upper)) << "packet " << &p - mix.data();
                refused += !pass;
                if (pass)
                    count_frame(ix, lc.dlt, f.data(), n, n, passed);
            }
            for (std::size_t g = 0; g < graphs.size(); ++g)
                EXPECT_EQ(passed[g].count, all[g].count) << graphs[g].name;
            EXPECT_TRUE(!live || lc.tagged || fc.all || refused > 0);
            pcap_freecode(&prog);
            pcap_close(dead);
        }
    }
}

}  // namespace
