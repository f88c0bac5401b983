// Tests of loading a graph's window and record from the configuration file.
#include "contract.h"
#include "read_cfg.h"

#include "memfile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct loaded {
    int status;
    std::string out;
};

// Reads cfg for the graph name with every loaded value zero beforehand, as
// in a fresh process.
loaded load(const std::string &cfg, const char *name)
{
    win = min = max = thres = port = proto = 0;
    net[0] = netm[0] = ip[0] = '\0';
    input_file in(cfg);
    output_file out;
    const int status = read_cfg_from(in.get(), name, out.get());
    return {status, out.text()};
}

TEST(ReadCfg, SinglePortRecordLoadsWindowAndLimits)
{
    const loaded r = load("window 5\nport80 80 0 1000 800\n", "port80");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(win, 5);
    EXPECT_EQ(port, 80);
    EXPECT_EQ(min, 0);
    EXPECT_EQ(max, 1000);
    EXPECT_EQ(thres, 800);
}

TEST(ReadCfg, OwnRecordOverwritesEarlierRecordOfSameKind)
{
    const loaded r = load("window 5\nnetA 10.0.0.0 255.0.0.0 0 10 5\n"
                          "netlab 192.168.1.0 255.255.255.0 0 100 50\n",
                          "netlab");
    ASSERT_EQ(r.status, 0);
    EXPECT_STREQ(net, "192.168.1.0");
    EXPECT_STREQ(netm, "255.255.255.0");
    EXPECT_EQ(min, 0);
    EXPECT_EQ(max, 100);
    EXPECT_EQ(thres, 50);
}

TEST(ReadCfg, LineBreaksInsideRecordChangeNothing)
{
    const loaded r = load("window\n5 port80\n80\n0\n\n1000 800", "port80");
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(win, 5);
    EXPECT_EQ(port, 80);
    EXPECT_EQ(max, 1000);
    EXPECT_EQ(thres, 800);
}

TEST(ReadCfg, SearchStopsAtFirstOwnRecord)
{
    const loaded r = load("window 5 port80 80 0 1000 800 port80 81 1 2 3", "port80");
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(port, 80);
    EXPECT_EQ(thres, 800);
}

struct layout_case {
    const char *name;
    const char *cfg;
    int port, proto, min, max, thres;
    const char *ip;
};

TEST(ReadCfg, EachKindLoadsItsLayout)
{
    const layout_case cases[] = {
        {"sock22", "window 1 sock22 22 1 2 3", 22, 0, 1, 2, 3, ""},
        {"proto6", "window 1 proto6 6 4 5 6", 0, 6, 4, 5, 6, ""},
        {"ip9", "window 1 ip9 10.0.0.9 7 8 9", 0, 0, 7, 8, 9, "10.0.0.9"},
        // Numeric records read cleanly in the ip layout, the number as text.
        {"ip9", "window 1 port80 80 0 1000 800 ip9 10.0.0.9 7 8 9", 0, 0, 7, 8, 9, "10.0.0.9"},
        {"proto6", "window 1 port80 80 0 1000 800 sock22 22 1 2 3 proto6 6 4 5 6", 0, 6, 4, 5,
         6, ""},
    };
    for (const layout_case &c : cases) {
        SCOPED_TRACE(c.cfg);
        ASSERT_EQ(load(c.cfg, c.name).status, 0);
        EXPECT_EQ(port, c.port);
        EXPECT_EQ(proto, c.proto);
        EXPECT_EQ(min, c.min);
        EXPECT_EQ(max, c.max);
        EXPECT_EQ(thres, c.thres);
        EXPECT_STREQ(ip, c.ip);
    }
}

TEST(ReadCfg, BadNumberKeepsItAndLaterFields)
{
    const loaded r = load("window 5 port80 80 7 zz 9", "port80");
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(port, 80);
    EXPECT_EQ(min, 7);
    EXPECT_EQ(max, 0);
    EXPECT_EQ(thres, 0);
}

TEST(ReadCfg, RestOfTokenAfterNumberIsNextName)
{
    // "4port80" gives thres 4 and leaves "port80" as the next record's name.
    const loaded r = load("window 5 portA 1 2 3 4port80 5 6 7 8", "port80");
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(port, 5);
    EXPECT_EQ(thres, 8);
}

TEST(ReadCfg, IpRecordBeforeOwnPutsReadingOutOfStep)
{
    // In the port layout the dotted address leaves ".0.0.1" as a name, whose
    // record then swallows the 9 of "9port": the graph's record is missed.
    const loaded r = load("window 5 ip1 10.0.0.1 1 2 3 9port 90 0 1000 800", "9port");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "No record for graph 9port in the configuration file.\n");
    EXPECT_EQ(thres, 800);
    EXPECT_EQ(port, 90);
}

TEST(ReadCfg, SeveralKeywordsReadOneRecordEachPerPass)
{
    const loaded r = load("window 5 a1 10.0.0.0 255.0.0.0 1 2 3 netip 10.0.0.9 7 8 9", "netip");
    ASSERT_EQ(r.status, 0);
    EXPECT_STREQ(net, "10.0.0.0");
    EXPECT_STREQ(netm, "255.0.0.0");
    EXPECT_STREQ(ip, "10.0.0.9");
    EXPECT_EQ(min, 7);
    EXPECT_EQ(thres, 9);
}

TEST(ReadCfg, OnlyLastNameOfPassIsCompared)
{
    // The net layout reads the graph's own record, the ip layout then the
    // next one, whose name is compared: the search runs off the end.
    const loaded r = load("window 5 netip 10.0.0.0 255.0.0.0 0 10 5 x1 10.0.0.1 1 2 3", "netip");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "No record for graph netip in the configuration file.\n");
}

TEST(ReadCfg, LongTokensAreReadWholeAndKeptToTheirFields)
{
    // Addresses longer than their fields, before and as the graph's record:
    // the reading stays in step, each field keeps the start of its token.
    const std::string cfg = "window 5\n"
                            "port8080 8080 0 1000 800\n"
                            "ip6-lab fd77:1234:5678:9abc:def0:1234:5678:9abc 0 100 50\n"
                            "ip6-gw 2001:0db8:0000:0000:0000:ff00:0042:8329 1 200 150\n"
                            "ip-own 127.0.0.1 2 300 250\n"
                            "net6-lab fd77:: 64 0 1000 800\n"
                            "net-lab 10.0.0.0 8 0 100 50\n"
                            "net-own 192.168.1.0 24 5 500 400\n" +
                            std::string(250, 'x') + " 1 2 3 4\nport80 80 6 600 500\n";
    const struct {
        const char *name;
        int min, max, thres;
        const char *addr;  // ip, or net then netm
        const char *mask;
    } cases[] = {
        {"ip6-lab", 0, 100, 50, "fd77:1234:5678:9abc", ""},
        {"ip6-gw", 1, 200, 150, "2001:0db8:0000:0000", ""},
        {"ip-own", 2, 300, 250, "127.0.0.1", ""},
        {"net6-lab", 0, 1000, 800, "fd77::", "64"},
        {"net-lab", 0, 100, 50, "10.0.0.0", "8"},
        {"net-own", 5, 500, 400, "192.168.1.0", "24"},
        {"port80", 6, 600, 500, "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const loaded r = load(cfg, c.name);
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(min, c.min);
        EXPECT_EQ(max, c.max);
        EXPECT_EQ(thres, c.thres);
        EXPECT_STREQ(std::strstr(c.name, "net") != nullptr ? net : ip, c.addr);
        EXPECT_STREQ(netm, c.mask);
    }
}

TEST(ReadCfg, LargestWindowIsAccepted)
{
    EXPECT_EQ(load("window 35791394 port80 80 0 1000 800", "port80").status, 0);
    EXPECT_EQ(win, feed_win_max);
}

struct failure_case {
    const char *cfg;
    const char *name;
    const char *line;
};

TEST(ReadCfg, FailuresEndWithOneLine)
{
    const char *no_window = "No window of 1 to 35791394 minutes in the configuration file.\n";
    const failure_case cases[] = {
        {"port80 80 0 1000 800", "port80", no_window},
        {"\nwindow 5 port80 80 0 1000 800", "port80", no_window},
        {"window x port80 80 0 1000 800", "port80", no_window},
        {"window 0 port80 80 0 1000 800", "port80", no_window},
        {"window -5 port80 80 0 1000 800", "port80", no_window},
        {"window 35791395 port80 80 0 1000 800", "port80", no_window},
        {"window 99999999999 port80 80 0 1000 800", "port80", no_window},
        {"", "port80", no_window},
        {"window 5 cpu1 1 2 3 4", "cpu1",
         "Graph name cpu1 holds none of the kinds port, proto, sock, net, ip.\n"},
        {"window 5 port81 81 0 1000 800", "port80",
         "No record for graph port80 in the configuration file.\n"},
        {"window 5", "port80", "No record for graph port80 in the configuration file.\n"},
        {"window 5 Port80 80 0 1000 800", "port80",
         "No record for graph port80 in the configuration file.\n"},
    };
    for (const failure_case &c : cases) {
        SCOPED_TRACE(c.cfg);
        const loaded r = load(c.cfg, c.name);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c.line);
    }
}

}  // namespace
