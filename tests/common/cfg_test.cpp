// Tests of the daemon's reading of the configuration file.
#include <gtest/gtest.h>

#include <iterator>
#include <tuple>

#include "cfg.h"
#include "files.h"

namespace {

// Writes text as a configuration file and reads it; returns the error text,
// the file named as "traxel.cfg" on each line, or "" on success.
std::string load(const std::string &text)
{
    static const std::string dir = temp_dir();
    std::string path = dir + "/traxel.cfg";
    write_file(path, text);
    std::string err;
    if (load_graphs(path.c_str(), err))
        return "";
    for (std::size_t at; (at = err.find(dir + "/")) != std::string::npos;)
        err.erase(at, dir.size() + 1);
    return err;
}

TEST(LoadGraphs, LoadsWindowAndRecordsOfAllFiveKinds)
{
    ASSERT_EQ(load("window 5\nport80 80 0 1000 800\nicmpproto 1 0 10 5\nsock22 22 0\n 5 1\n"
                   "lonet 127.0.0.0 255.0.0.0 -1 100 50 localip 127.0.0.1 0 100 50\n"),
              "");
    EXPECT_EQ(window_minutes, 5);
    ASSERT_EQ(graphs.size(), 5u);
    const graph &p = graphs[0], &pr = graphs[1], &s = graphs[2], &n = graphs[3], &i = graphs[4];
    EXPECT_EQ(p.name, "port80");
    EXPECT_EQ(p.gk, graph_kind::port);
    EXPECT_EQ(p.port, 80);
    EXPECT_EQ(p.min, 0);
    EXPECT_EQ(p.max, 1000);
    EXPECT_EQ(p.thres, 800);
    EXPECT_EQ(pr.gk, graph_kind::proto);
    EXPECT_EQ(pr.proto, 1);
    EXPECT_EQ(s.gk, graph_kind::sock);
    EXPECT_EQ(s.port, 22);
    EXPECT_EQ(s.thres, 1);
    EXPECT_EQ(n.gk, graph_kind::net);
    EXPECT_EQ(n.net, "127.0.0.0");
    EXPECT_EQ(n.netm, "255.0.0.0");
    EXPECT_EQ(n.min, -1);
    EXPECT_EQ(i.gk, graph_kind::ip);
    EXPECT_EQ(i.ip, "127.0.0.1");
    EXPECT_EQ(i.thres, 50);
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

TEST(LoadGraphs, KindIsTheLastKeywordInTableOrder)
{
    struct {
        const char *name;
        graph_kind k;
    } table[] = {
        {"port80", graph_kind::port}, {"udpproto", graph_kind::proto}, {"sockport", graph_kind::sock},
        {"portnet", graph_kind::net}, {"ipnet", graph_kind::ip},       {"protoip", graph_kind::ip},
    };
    for (const auto &row : table) {
        graph_kind k = graph_kind::port;
        EXPECT_TRUE(graph_kind_of(row.name, k)) << row.name;
        EXPECT_EQ(k, row.k) << row.name;
    }
    graph_kind k;
    EXPECT_FALSE(graph_kind_of("traffic", k));
}

TEST(LoadGraphs, BadFilesGiveOneLineNamingFileAndProblem)
{
    struct {
        std::string text;
        const char *err;
    } table[] = {
        {"", "traxel.cfg: does not start with \"window\" and a number of minutes in 1..1440"},
        {"port80 80 0 1 1", "traxel.cfg: does not start with \"window\" and a number of minutes in 1..1440"},
        {"window 0 port80 80 0 1 1", "traxel.cfg: does not start with \"window\" and a number of minutes in 1..1440"},
        {"window 5", "traxel.cfg: no graph records"},
        {"window 5 port80 8x0 0 1 1", "traxel.cfg: record 1 (port80): port \"8x0\" is not a number in 0..65535"},
        {"window 5 port80 80 0 1 1 port99 99999 0 1 1",
         "traxel.cfg: record 2 (port99): port \"99999\" is not a number in 0..65535"},
        {"window 5 tcpproto 300 0 1 1", "traxel.cfg: record 1 (tcpproto): protocol \"300\" is not a number in 0..255"},
        {"window 5 port80 80 0 lots 1",
         "traxel.cfg: record 1 (port80): maximum \"lots\" is not a number in -2147483648..2147483647"},
        // Numbers past their range are refused, never wrapped.
        {"window 99999999999999999999 port80 80 0 1 1",
         "traxel.cfg: does not start with \"window\" and a number of minutes in 1..1440"},
        {"window 5 port80 18446744073709551696 0 1 1",
         "traxel.cfg: record 1 (port80): port \"18446744073709551696\" is not a number in 0..65535"},
        {"window 5 port80 80 -2147483649 1 1",
         "traxel.cfg: record 1 (port80): minimum \"-2147483649\" is not a number in -2147483648..2147483647"},
        {"window 5 port80 80 0 1 2147483648",
         "traxel.cfg: record 1 (port80): threshold \"2147483648\" is not a number in -2147483648..2147483647"},
        {"window 5 port80 80 0 1", "traxel.cfg: record 1 (port80): the file ends inside the record"},
        {"window 5 lonet 127.0.0.0 255.0.0.300 0 1 1",
         "traxel.cfg: record 1 (lonet): mask \"255.0.0.300\" is neither a dotted mask nor a prefix length in 0..32"},
        {"window 5 lonet 127.0.0 8 0 1 1",
         "traxel.cfg: record 1 (lonet): network \"127.0.0\" is neither a dotted IPv4 nor an IPv6 address"},
        {"window 5 lonet 127.0.0.0 33 0 1 1",
         "traxel.cfg: record 1 (lonet): mask \"33\" is neither a dotted mask nor a prefix length in 0..32"},
        {"window 5 lonet 127.0.0.1 8 0 1 1",
         "traxel.cfg: record 1 (lonet): network \"127.0.0.1\" has bits set past its prefix length 8"},
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
        {"window 5 traffic 1 2 3 4", "traxel.cfg: record 1 (traffic): name holds none of the words port, proto, sock, net, ip"},
        {"window 5 port8000000000 80 0 1 1",
         "traxel.cfg: record 1 (port8000000000): name longer than 12 characters"},
        {"window 5 ../port80 80 0 1 1", "traxel.cfg: record 1 (../port80): name must not start with '.'"},
        {"window 5 port80 80 0 1 1 port80 81 0 1 1", "traxel.cfg: record 2 (port80): a second record of this name"},
        // Where the installation had a reader of its own: numbers past their
        // range, names the feed or a shell cannot take.
        {"window 1441 port80 80 0 1 1",
         "traxel.cfg: does not start with \"window\" and a number of minutes in 1..1440"},
        {"window 5 port80 65536 0 1 1",
         "traxel.cfg: record 1 (port80): port \"65536\" is not a number in 0..65535"},
        {"window 5 udpproto 256 0 1 1",
         "traxel.cfg: record 1 (udpproto): protocol \"256\" is not a number in 0..255"},
        {"window 5 port;x 80 0 1 1",
         "traxel.cfg: record 1 (port;x): name holds \";\", not a letter, digit, '.', '_' or '-'"},
        {"window 5 sockport 22 0 1 1",
         "traxel.cfg: record 1 (sockport): name holds more than one of the words port, proto, sock, net, ip "
         "(port and sock)"},
        // A NUL byte is white space, as the feed reads it.
        {std::string("window 5 port80 80 0 1 1\0port81 81 0 1 1", 40), ""},
        {std::string("window 5 port80 80\0 0 1 1", 25), ""},
    };
    for (const auto &row : table)
        EXPECT_EQ(load(row.text), row.err) << row.text;
}

TEST(LoadGraphs, EveryFaultIsSaidWhileTheReadingStaysInStep)
{
    // A bad field, or a bad name with one kind word, leaves the record's
    // length known, so the next record reads; a name that names no single
    // kind does not, so reading stops.
    EXPECT_EQ(load("window 0 port80 80 0 x 1 port81 99999 0 1 1 port80 80 0 1 1 .port82 82 0 1 1 sockport 22 0 1 1 "
                   "port83 8x 0 1 1"),
              "traxel.cfg: does not start with \"window\" and a number of minutes in 1..1440\n"
              "traxel.cfg: record 1 (port80): maximum \"x\" is not a number in -2147483648..2147483647\n"
              "traxel.cfg: record 2 (port81): port \"99999\" is not a number in 0..65535\n"
              "traxel.cfg: record 3 (port80): a second record of this name\n"
              "traxel.cfg: record 4 (.port82): name must not start with '.'\n"
              "traxel.cfg: record 5 (sockport): name holds more than one of the words port, proto, sock, net, ip "
              "(port and sock)");
    // What names the graphs (capture.cfg's unit lines) is checked against
    // every record whose name read.
    int win = 0;
    std::vector<graph> gs;
    std::string err;
    const std::string path = temp_dir() + "/traxel.cfg";
    write_file(path, "window 5 port80 x 0 1 1 lonet 10.0.0.0 8 0 1 1");
    EXPECT_FALSE(read_graphs(path.c_str(), win, gs, err));
    ASSERT_EQ(gs.size(), 2u);
    EXPECT_EQ(gs[0].name, "port80");
    EXPECT_EQ(gs[1].net_bits, 0x0a000000u);
}

TEST(LoadGraphs, FailureKeepsWhatWasLoaded)
{
    ASSERT_EQ(load("window 7 port80 80 0 1 1"), "");
    ASSERT_NE(load("window 5 port80 x 0 1 1"), "");
    EXPECT_EQ(window_minutes, 7);
    ASSERT_EQ(graphs.size(), 1u);
    EXPECT_EQ(graphs[0].port, 80);
}

TEST(LoadGraphs, MissingFileNamesFileAndReason)
{
    std::string err;
    EXPECT_FALSE(load_graphs("/nonexistent/traxel.cfg", err));
    EXPECT_EQ(err, "/nonexistent/traxel.cfg: No such file or directory");
}

}  // namespace
