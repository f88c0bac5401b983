// The daemon killed and started again while feeds stream: each feed ends at the end of data, new feeds get the new data.
#include <gtest/gtest.h>

#include <signal.h>

#include <regex>
#include <string>
#include <vector>

#include "fault_env.h"
#include "host.h"
#include "unique_graph.h"

namespace {

// Two graphs of different kinds, so each feed reads the other's record in
// its own layout on the way to its own.
const std::vector<std::string> graphs = {unique_graph("port", 'r'), unique_graph("proto", 'r')};
const std::string cfg = "window 2\n" + graphs[0] + " 4801 0 100 50\n" + graphs[1] + " 17 0 300 200\n";
const char *const limits[] = {"100", "0", "50", "300", "0", "200"};

// The start-up and limit lines of feed i asked for no history.
std::string head(size_t i, pid_t pid, const std::string &old_pid_line)
{
    const std::string p = std::to_string(pid);
    const std::string &g = graphs[i];
    return "Content-type: text/html\n\nMISS-0--pid-" + p + "\n" + old_pid_line + "new-pid-" + p +
           "\nSON-MENOS-DE-120-SEGUNDOS\n^" + g + " " + limits[3 * i] + "\n_" + g + " " + limits[3 * i + 1] +
           "\n<" + g + " " + limits[3 * i + 2] + "\n";
}

// Live samples: each a "data-" line, the echoed sample line and the empty
// line that the echo's own newline makes.
const std::regex live_samples("(data-[0-9]+\n[0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]+\n\n)*");

// Reads the head and the first live sample of feed; returns the sample's
// label line.
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

TEST_P(DaemonRestart, FeedsEndCleanlyAndNewFeedsGetNewData)
{
    SKIP_UNLESS_CAPTURE();
    installation inst(cfg, graphs);
    child daemon;
    std::string why;
    ASSERT_TRUE(start_serving(inst, graphs[0], daemon, why)) << why;
    std::vector<child> feeds;
    std::vector<pid_t> pids;
    for (size_t i = 0; i < graphs.size(); ++i) {
        feeds.push_back(inst.start_feed(graphs[i], "dhle,60,0s"));
        pids.push_back(feeds[i].pid());
    }
    for (size_t i = 0; i < graphs.size(); ++i) {
        const std::string label = first_sample(feeds[i], head(i, pids[i], ""));
        ASSERT_NE(label_seconds(label), -1) << label;
    }

    ASSERT_EQ(kill(daemon.pid(), GetParam()), 0);
    EXPECT_EQ(daemon.wait(5000), GetParam() == SIGTERM ? 0 : 128 + GetParam());
    // The writer is gone: each feed sees the end of data and leaves with 0,
    // after whole samples only.
    for (size_t i = 0; i < graphs.size(); ++i) {
        EXPECT_EQ(feeds[i].wait(10000), 0) << graphs[i];
        const std::string rest = read_rest(feeds[i].out(), 2000);
        EXPECT_TRUE(std::regex_match(rest, live_samples)) << graphs[i] << ": " << rest;
    }

    const int restart = seconds_of_day_now();
    ASSERT_TRUE(start_serving(inst, graphs[0], daemon, why)) << why;
    for (size_t i = 0; i < graphs.size(); ++i) {
        child feed = inst.start_feed(graphs[i], "dhle,60,0s");
        const pid_t pid = feed.pid();
        const std::string label = first_sample(feed, head(i, pid, "old-pid-" + std::to_string(pids[i]) + "\n"));
        // A sample of the new run: labelled at or after the restart.
        const int age = (label_seconds(label) - restart + 86400) % 86400;
        EXPECT_LT(age, 20) << graphs[i] << ": restart at " << restart << ", sample " << label;
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, DaemonRestart, ::testing::Values(SIGKILL, SIGTERM),
                         [](const ::testing::TestParamInfo<int> &i) { return i.param == SIGKILL ? "Kill" : "Term"; });

}  // namespace
