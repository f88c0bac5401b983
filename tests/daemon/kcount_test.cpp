// Tests of the counting in the kernel against the counting in user space: the same frames, the same counts.
#include <gtest/gtest.h>

#include <bpf/bpf.h>
#include <pcap/dlt.h>
#include <unistd.h>

#include <cstring>
#include <map>

#include "count.skel.h"
#include "kcount.h"
#include "mix.h"

namespace {

using tally = std::map<std::string, std::pair<int64_t, int64_t>>;  // graph: packets, bytes

// Every packet of the mix in Ethernet frames with no, one and two VLAN tags,
// and frames that the counting must pass over or stop short in. (A frame
// too short for the IPv6 header it announces the kernel does not run.)
std::vector<bytes> frames()
{
    std::vector<bytes> out;
    for (const link_case &lc : link_cases())
        if (lc.dlt == DLT_EN10MB)
            for (const sent &s : packet_mix())
                out.push_back(join({s.ip[0] >> 4 == 6 ? lc.head6 : lc.head4, s.ip}));
    const bytes tag = {0x81, 0x00, 0x00, 0x07}, t4 = {0x08, 0x00}, t6 = {0x86, 0xdd};
    const char *a = "fd77::1", *b = "fd77::2";
    const bytes ip4 = ipv4(17, "10.0.0.2", "10.0.0.1", udp(80, 80, {}));
    for (const bytes &f : {
             join({macs, tag, tag, tag, tag, tag, t4, ip4}),  // five tags: too many
             join({macs, {0x08, 0x06}, bytes(28)}),           // ARP
             join({macs, t4, {0x46}, bytes(ip4.begin() + 1, ip4.end()), bytes(4)}),  // a header of 24 bytes
             join({macs, t6, ipv6(0, a, b, join({ext6(43), ext6(60, 2), ext6(17, 1), udp(1, 80, {})}))}),
             join({macs, t6, ipv6(60, a, b, join({ext6(60), ext6(60), ext6(60), ext6(60), ext6(60), ext6(60),
                                                   ext6(60), ext6(60), ext6(17), udp(1, 80, {})}))}),
             join({macs, t6, ipv6(60, a, b, join({ext6(50), bytes(16)}))}),  // ESP ends the walk
             join({macs, t6, ipv6(6, a, b, tcp(1000, 80, syn))}),
             join({macs, t4, ipv4(6, "10.0.0.2", "10.0.0.2", tcp(80, 80, syn))}),  // both ends the same
         })
        out.push_back(f);
    return out;
}

// The frames, counted by the daemon's counting and by the kernel programs
// run on them one by one, give every graph the same packets and bytes.
TEST(KernelFrames, CountAsTheDaemonCounts)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to load the counting programs";
    count_index ix;
    std::vector<graph> gs = test_graphs(ix);
    count_load l;
    std::string err;
    ASSERT_TRUE(load_count(gs, true, l, err)) << err;
    const int prog = bpf_program__fd(l.sk->progs.count_tc);
    for (const bytes &f : frames()) {
        const auto len = static_cast<uint32_t>(f.size());
        count_frame(ix, DLT_EN10MB, f.data(), len, len, gs);
        LIBBPF_OPTS(bpf_test_run_opts, run, .data_in = f.data(), .data_size_in = len);
        ASSERT_EQ(bpf_prog_test_run_opts(prog, &run), 0) << std::strerror(errno);
    }
    std::vector<rule_count> totals;
    ASSERT_TRUE(rule_totals(bpf_map__fd(l.sk->maps.counts), l.rules, totals));
    tally user, kernel;
    for (std::size_t i = 0; i < gs.size(); ++i) {
        user[gs[i].name] = {gs[i].count, gs[i].bytes};
        const int r = l.rule_of[i];
        kernel[gs[i].name] = r < 0 ? std::pair<int64_t, int64_t>{0, 0}
                                   : std::pair<int64_t, int64_t>{static_cast<int64_t>(totals[r].packets),
                                                                 static_cast<int64_t>(totals[r].bytes)};
    }
    EXPECT_EQ(kernel, user);
    EXPECT_GT(user["port80"].first, 0);
    // Every frame is seen.
    EXPECT_EQ(totals[l.rules].packets, frames().size());
}

}  // namespace
