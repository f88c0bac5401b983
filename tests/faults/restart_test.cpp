// The daemon killed and started again while a feed streams: the feed ends at the end of data, a new feed gets the new data.
#include <gtest/gtest.h>

#include <signal.h>

#include <regex>
#include <string>

#include "fault_env.h"

namespace {

const std::string graph = "fr-port4801";
const std::string cfg = "window 2\n" + graph + " 4801 0 100 50\n";

// The start-up and limit lines of a feed asked for no history.
std::string head(pid_t pid, const std::string &old_pid_line)
{
    const std::string p = std::to_string(pid);
    return "Content-type: text/html\n\nMISS-0--pid-" + p + "\n" + old_pid_line + "new-pid-" + p +
           "\nSON-MENOS-DE-120-SEGUNDOS\n^" + graph + " 100\n_" + graph + " 0\n<" + graph + " 50\n";
}

// Live samples: each a "data-" line, the echoed sample line and the empty
// line that the echo's own newline makes.
const std::regex live_samples("(data-[0-9]+\n[0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]+\n\n)*");

// Reads the head and the first live sample of feed; returns the sample's label
// line.
std::string first_sample(child &feed, const std::string &want_head)
{
    std::string seen;
    // The first sample comes on the next 5-second grid time.
    const std::string data = read_until(feed.out(), "data-", 15000, seen);
    EXPECT_EQ(seen, want_head + data);
    const std::string label = read_line(feed.out(), 2000);
    EXPECT_EQ(read_line(feed.out(), 2000), "\n");
    return label;
}

class DaemonRestart : public ::testing::TestWithParam<int> {};

TEST_P(DaemonRestart, FeedEndsCleanlyAndNewFeedGetsNewData)
{
    installation inst(cfg, {graph});
    child daemon;
    std::string why;
    if (!start_serving(inst, graph, daemon, why)) {
        if (why.find("capture not permitted") != std::string::npos)
            GTEST_SKIP() << why;
        FAIL() << why;
    }
    child feed = inst.start_feed(graph, "dhle,60,0s");
    const pid_t feed_pid = feed.pid();
    const std::string label1 = first_sample(feed, head(feed.pid(), ""));
    ASSERT_NE(label_seconds(label1), -1) << label1;

    ASSERT_EQ(kill(daemon.pid(), GetParam()), 0);
    const int daemon_status = daemon.wait(5000);
    EXPECT_EQ(daemon_status, GetParam() == SIGTERM ? 0 : 128 + GetParam());
    // The writer is gone: the feed sees the end of data and leaves with 0,
    // after whole samples only.
    EXPECT_EQ(feed.wait(10000), 0);
    const std::string rest = read_rest(feed.out(), 2000);
    EXPECT_TRUE(std::regex_match(rest, live_samples)) << rest;

    const int restart = seconds_of_day_now();
    ASSERT_TRUE(start_serving(inst, graph, daemon, why)) << why;
    child feed2 = inst.start_feed(graph, "dhle,60,0s");
    const std::string label2 =
        first_sample(feed2, head(feed2.pid(), "old-pid-" + std::to_string(feed_pid) + "\n"));
    // A sample of the new run: labelled at or after the restart.
    const int age = (label_seconds(label2) - restart + 86400) % 86400;
    EXPECT_LT(age, 20) << "restart at " << restart << ", sample " << label2;
}

INSTANTIATE_TEST_SUITE_P(Signals, DaemonRestart, ::testing::Values(SIGKILL, SIGTERM),
                         [](const ::testing::TestParamInfo<int> &i) { return i.param == SIGKILL ? "Kill" : "Term"; });

}  // namespace
