// Tests of the graph-name rule: the feed's check of characters and length, and the whole rule of a configured graph.
#include "graphname.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(GraphName, OnlyShortSafeNamesPass)
{
    const struct {
        const char *name;
        bool ok;
    } cases[] = {
        {"port80", true},         {"net.lab_1-A", true}, {"port12345678", true},
        {"port123456789", false}, {"", false},           {"port 80", false},
        {"port;rm", false},       {"../port", false},    {"port$1", false},
        {"port\n", false},        {"p\xc3\xb1", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(graph_name_ok(c.name), c.ok);
    }
}

// The whole rule of a configured graph: what the daemon, its check (-n) and
// so the installation refuse, where each had a rule of its own.
TEST(GraphName, ConfiguredNamesHoldOneKindWordAndNoOtherCharacters)
{
    const struct {
        const char *name, *fault;
    } cases[] = {
        {"port80", ""},
        {"net.lab_1-A", ""},
        {"port12345678", ""},
        {"port123456789", "name longer than 12 characters"},
        {"port;x", "name holds \";\", not a letter, digit, '.', '_' or '-'"},
        {"port\x1b[2J", "name holds byte 0x1b, not a letter, digit, '.', '_' or '-'"},
        {"p\xc3\xb1port", "name holds byte 0xc3, not a letter, digit, '.', '_' or '-'"},
        {".port80", "name must not start with '.'"},
        {"..", "name must not start with '.'"},
        {"traffic", "name holds none of the words port, proto, sock, net, ip"},
        {"sockport", "name holds more than one of the words port, proto, sock, net, ip (port and sock)"},
        {"netip", "name holds more than one of the words port, proto, sock, net, ip (net and ip)"},
        {"", "name is empty"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(graph_name_fault(c.name), c.fault) << c.name;
}

}  // namespace
