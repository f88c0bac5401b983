// Tests of the daemon's reading of the configuration file.
#include <gtest/gtest.h>

#include <iterator>
#include <tuple>

#include "cfg.h"
#include "frames.h"

namespace {

// Writes text as a configuration file and reads it; returns the error text
// or "" on success.
std::string load(const std::string &text)
{
    static const std::string dir = temp_dir();
    std::string path = dir + "/traxel.cfg";
    write_file(path, text);
    std::string err;
    return load_graphs(path.c_str(), err) ? "" : err.substr(dir.size() + 1);
}

// Records of any layout in any line breaks; each name's kind is that of the
// last keyword in table order, wherever in the name it stands.
TEST(LoadGraphs, LoadsWindowAndRecordsOfAllFiveKinds)
{
    ASSERT_EQ(load("window 5\nport80 80 0 1000 800\nudpproto 17 0 10 5\nsockport 22 0\n 5 1\n"
                   "portnet 127.0.0.0 255.0.0.0 -1 100 50 protoip 127.0.0.1 0 100 50\n"),
              "");
    EXPECT_EQ(window_minutes, 5);
    // Each graph: name, kind, port or protocol, limits, address texts.
    using fields = std::tuple<std::string, graph_kind, int, int, int, int, std::string, std::string>;
    const fields want[] = {
        {"port80", graph_kind::port, 80, 0, 1000, 800, "", ""},
        {"udpproto", graph_kind::proto, 17, 0, 10, 5, "", ""},
        {"sockport", graph_kind::sock, 22, 0, 5, 1, "", ""},
        {"portnet", graph_kind::net, 0, -1, 100, 50, "127.0.0.0", "255.0.0.0"},
        {"protoip", graph_kind::ip, 0, 0, 100, 50, "127.0.0.1", ""},
    };
    ASSERT_EQ(graphs.size(), std::size(want));
    for (std::size_t i = 0; i < graphs.size(); ++i) {
        const graph &g = graphs[i];
        EXPECT_EQ(fields(g.name, g.gk, g.port + g.proto, g.min, g.max, g.thres, g.net + g.ip, g.netm), want[i]);
    }
}

TEST(LoadGraphs, AddressesAreIpv4OrIpv6AndMasksDottedOrPrefixLengths)
{
    ASSERT_EQ(load("window 5 net6-lab fd77:: 64 0 1000 800 ip6-host 2001:0db8:0000:0000:0000:0000:0000:0001 0 1 1\n"
                   "net-lab 10.0.0.0 8 0 100 50 net-all 0.0.0.0 0 0 1 1 net6-all :: 0 0 1 1 net6-one fd77::1 128 0 1 1\n"
                   "net-mask 192.168.0.0 255.255.0.0 0 1 1 ip-host 10.0.0.1 0 1 1"),
              "");
    // Each graph: IPv6, then network and mask as IPv4 integers and as IPv6 halves.
    const uint64_t all = ~uint64_t{0}, fd77 = 0xfd77000000000000, db8 = 0x20010db800000000;
    using form = std::tuple<bool, uint32_t, uint32_t, uint64_t, uint64_t, uint64_t, uint64_t>;
    const form want[] = {
        {true, 0, 0, fd77, 0, all, 0},
        {true, 0, 0, db8, 1, all, all},
        {false, 0x0a000000, 0xff000000, 0, 0, 0, 0},
        {false, 0, 0, 0, 0, 0, 0},
        {true, 0, 0, 0, 0, 0, 0},
        {true, 0, 0, fd77, 1, all, all},
        {false, 0xc0a80000, 0xffff0000, 0, 0, 0, 0},
        {false, 0x0a000001, 0xffffffff, 0, 0, 0, 0},
    };
    ASSERT_EQ(graphs.size(), std::size(want));
    for (std::size_t i = 0; i < graphs.size(); ++i) {
        const graph &g = graphs[i];
        EXPECT_EQ(form(g.v6, g.net_bits, g.mask_bits, g.net6.hi, g.net6.lo, g.mask6.hi, g.mask6.lo), want[i]) << g.name;
    }
    EXPECT_EQ(graphs[1].ip, "2001:0db8:0000:0000:0000:0000:0000:0001");
    EXPECT_EQ(graphs[0].netm, "64");
}

// The refusals that the fault tests see from the built daemon are not repeated here.
TEST(LoadGraphs, BadFilesGiveOneLineNamingFileAndProblem)
{
    struct {
        const char *text, *err;
    } table[] = {
        {"port80 80 0 1 1", "traxel.cfg: does not start with \"window\" and a number of minutes in 1..1440"},
        {"window 5 port80 8x0 0 1 1", "traxel.cfg: record 1 (port80): port \"8x0\" is not a number in 0..65535"},
        {"window 5 port80 80 0 1 1 port99 99999 0 1 1",
         "traxel.cfg: record 2 (port99): port \"99999\" is not a number in 0..65535"},
        {"window 5 tcpproto 300 0 1 1", "traxel.cfg: record 1 (tcpproto): protocol \"300\" is not a number in 0..255"},
        // Numbers past their range are refused, never wrapped.
        {"window 99999999999999999999 port80 80 0 1 1",
         "traxel.cfg: does not start with \"window\" and a number of minutes in 1..1440"},
        {"window 5 port80 18446744073709551696 0 1 1",
         "traxel.cfg: record 1 (port80): port \"18446744073709551696\" is not a number in 0..65535"},
        {"window 5 port80 80 -2147483649 1 1",
         "traxel.cfg: record 1 (port80): minimum \"-2147483649\" is not a number in -2147483648..2147483647"},
        {"window 5 port80 80 0 1 2147483648",
         "traxel.cfg: record 1 (port80): threshold \"2147483648\" is not a number in -2147483648..2147483647"},
        {"window 5 lonet 127.0.0.0 255.0.0.300 0 1 1",
         "traxel.cfg: record 1 (lonet): mask \"255.0.0.300\" is neither a dotted mask nor a prefix length in 0..32"},
        {"window 5 lonet 127.0.0.0 33 0 1 1",
         "traxel.cfg: record 1 (lonet): mask \"33\" is neither a dotted mask nor a prefix length in 0..32"},
        {"window 5 lonet 127.0.0.1 8 0 1 1",
         "traxel.cfg: record 1 (lonet): network \"127.0.0.1\" has bits set past its prefix length 8"},
        {"window 5 localip 10.0.0.256 0 1 1",
         "traxel.cfg: record 1 (localip): host \"10.0.0.256\" is neither a dotted IPv4 nor an IPv6 address"},
        {"window 5 localip localhost 0 1 1",
         "traxel.cfg: record 1 (localip): host \"localhost\" is neither a dotted IPv4 nor an IPv6 address"},
        {"window 5 ip6 fd77::zz 0 1 1", "traxel.cfg: record 1 (ip6): host \"fd77::zz\" is not an IPv6 address"},
        {"window 5 ip6 1111:2222:3333:4444:5555:6666:777.777.777.7777 0 1 1",
         "traxel.cfg: record 1 (ip6): address \"1111:2222:3333:4444:5555:6666:777.777.777.7777\" longer than 45 "
         "characters"},
        {"window 5 net6 fd77::/64 64 0 1 1", "traxel.cfg: record 1 (net6): network \"fd77::/64\" is not an IPv6 address"},
        {"window 5 net6 fd77:: 129 0 1 1",
         "traxel.cfg: record 1 (net6): prefix length \"129\" is not a number in 0..128"},
        {"window 5 net6 fd77:: ffff:ffff:: 0 1 1",
         "traxel.cfg: record 1 (net6): prefix length \"ffff:ffff::\" is not a number in 0..128"},
        {"window 5 net6 fd77::1 64 0 1 1",
         "traxel.cfg: record 1 (net6): network \"fd77::1\" has bits set past its prefix length 64"},
        {"window 5 localip 127.000000000000000.0.1 0 1 1",
         "traxel.cfg: record 1 (localip): address \"127.000000000000000.0.1\" longer than 19 characters"},
        {"window 5 ../port80 80 0 1 1", "traxel.cfg: record 1 (../port80): name must not start with '.' or hold '/'"},
    };
    for (const auto &row : table)
        EXPECT_EQ(load(row.text), row.err) << row.text;
}

TEST(LoadGraphs, FailureKeepsWhatWasLoaded)
{
    ASSERT_EQ(load("window 7 port80 80 0 1 1"), "");
    ASSERT_NE(load("window 5 port80 x 0 1 1"), "");
    EXPECT_EQ(window_minutes, 7);
    ASSERT_EQ(graphs.size(), 1u);
    EXPECT_EQ(graphs[0].port, 80);
}

}  // namespace
