// Tests of the check that every graph's feed finds its record as the daemon read it.
#include <gtest/gtest.h>

#include <map>

#include "cfg.h"
#include "feedview.h"
#include "files.h"

namespace {

// For each graph of text, whether its feed finds its record.
std::map<std::string, bool> finds(const std::string &text)
{
    std::string path = temp_dir() + "/traxel.cfg";
    write_file(path, text);
    std::string err;
    std::map<std::string, bool> out;
    if (!load_graphs(path.c_str(), err)) {
        ADD_FAILURE() << err;
        return out;
    }
    for (const graph &g : graphs)
        out[g.name] = feed_finds(path.c_str(), g);
    return out;
}

TEST(FeedView, RecordsOfEveryKindInOneFileAreFound)
{
    std::map<std::string, bool> want = {{"port8080", true},     {"proto-icmp", true}, {"ip-localhost", true},
                                        {"net-loopback", true}, {"sock22", true},     {"lannet", true}};
    EXPECT_EQ(finds("window 5\nport8080 8080 0 400 300\nproto-icmp 1 0 50 20\nip-localhost 127.0.0.1 0 2000 1500\n"
                    "net-loopback 127.0.0.0 255.0.0.0 0 3000 2000\nsock22 22 0 5 1\n"
                    "lannet 192.168.1.0 255.255.255.0 1 2 3\n"),
              want);
}

TEST(FeedView, NameWithTwoKeywordsReadsTwoRecordsAPass)
{
    // The feed of sockport reads a record for "port" and one for "sock" each
    // pass and compares only the second: first in the file, it is skipped.
    // The daemon refuses such a name; a feed serves it all the same.
    const std::string path = temp_dir() + "/traxel.cfg";
    graph sockport, port80;
    sockport.name = "sockport";
    port80.name = "port80";
    sockport.max = sockport.thres = port80.max = port80.thres = 1;
    write_file(path, "window 5 sockport 22 0 1 1 port80 80 0 1 1");
    EXPECT_FALSE(feed_finds(path.c_str(), sockport));
    EXPECT_TRUE(feed_finds(path.c_str(), port80));
    write_file(path, "window 5 port80 80 0 1 1 sockport 22 0 1 1");
    EXPECT_TRUE(feed_finds(path.c_str(), sockport));
    EXPECT_TRUE(feed_finds(path.c_str(), port80));
}

TEST(FeedView, FollowsTheFeedsReaderWhereFormattedInputDiffers)
{
    // A NUL byte separates tokens for the daemon and the feed alike; formatted
    // input took "\0port80" as a name of its own and missed the record.
    const std::string nul = std::string("window 5 port81 81 0 1 1") + '\0' + "port80 80 0 2 2";
    EXPECT_EQ(finds(nul), (std::map<std::string, bool>{{"port81", true}, {"port80", true}}));
}

TEST(FeedView, MissingFileFindsNothing)
{
    graph g;
    g.name = "port80";
    EXPECT_FALSE(feed_finds("/nonexistent/traxel.cfg", g));
}

}  // namespace
