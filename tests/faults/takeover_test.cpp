// Bursts of take-overs of one graph: exactly one feed is left, and the pid file names it.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fault_env.h"
#include "host.h"
#include "unique_graph.h"

namespace {

const std::string graph = unique_graph("port", 't');
const std::string cfg = "window 2\n" + graph + " 4803 0 100 50\n";
constexpr int burst = 50;

// Waits up to timeout_ms until the pid file of graph names pid.
bool registered(pid_t pid, int timeout_ms)
{
    for (int waited = 0; waited < timeout_ms; waited += 5) {
        if (pid_in_file(graph) == pid)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pid_in_file(graph) == pid;
}

class TakeOver : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_UNLESS_CAPTURE();
        std::string why;
        ASSERT_TRUE(start_serving(inst, graph, daemon, why)) << why;
    }

    // Expects every feed but the newest to have died of a SIGKILL, the newest
    // to be alive, named by the pid file, and streaming.
    void expect_newest_alone(std::vector<child> &feeds, const std::vector<pid_t> &pids) const
    {
        for (size_t i = 0; i + 1 < feeds.size(); ++i)
            EXPECT_EQ(feeds[i].wait(10000), 128 + SIGKILL) << "feed " << i << " of " << feeds.size();
        EXPECT_TRUE(feeds.back().running());
        EXPECT_TRUE(registered(pids.back(), 2000)) << "pid file names " << pid_in_file(graph);
        std::string seen;
        EXPECT_NE(read_until(feeds.back().out(), "data-", 15000, seen), "") << seen;
    }

    installation inst{cfg, {graph}};
    child daemon;
};

TEST_F(TakeOver, FiftyInQuickSuccessionLeaveTheNewestAlone)
{
    // Each feed starts the moment the one before has registered in the pid
    // file, so each take-over has exactly one owner to kill.
    std::vector<child> feeds;
    std::vector<pid_t> pids;
    for (int i = 0; i < burst; ++i) {
        feeds.push_back(inst.start_feed(graph, "dhle,60,0s"));
        pids.push_back(feeds.back().pid());
        ASSERT_TRUE(registered(pids.back(), 10000)) << "feed " << i;
    }
    for (int i = 1; i < burst; ++i) {
        const std::string out = read_rest(feeds[i].out(), i + 1 < burst ? 2000 : 0);
        EXPECT_NE(out.find("\nold-pid-" + std::to_string(pids[i - 1]) + "\n"), std::string::npos)
            << "feed " << i << ": " << out;
    }
    expect_newest_alone(feeds, pids);
}

// Feeds started together would race between reading the pid file and
// writing their own: one that read the file while another had removed it, or
// had created it but not yet written its pid, would kill nobody, and both
// would stay alive on the one pipe, each taking some of the samples (40 or
// more of the 50 survived before the take-over was done under a lock).
TEST_F(TakeOver, FiftyStartedAtOnceLeaveOneFeed)
{
    std::vector<child> feeds;
    std::vector<pid_t> pids;
    for (int i = 0; i < burst; ++i) {
        feeds.push_back(inst.start_feed(graph, "dhle,60,0s"));
        pids.push_back(feeds.back().pid());
    }
    // Every take-over is over once each feed has printed its new-pid line or
    // ended; the pid file then names the one feed that must be left.
    for (child &f : feeds) {
        std::string seen;
        read_until(f.out(), "new-pid-", 20000, seen);
    }
    // The newest writes its pid just after its line.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const pid_t named = pid_in_file(graph);
    int others = 0;
    bool named_ours = false;
    // 10 s in all for the killed ones to be gone.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (size_t i = 0; i < feeds.size(); ++i) {
        if (pids[i] == named) {
            named_ours = true;
            EXPECT_TRUE(feeds[i].running()) << "the pid file names a dead feed";
        } else {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            others += feeds[i].wait(static_cast<int>(std::max<long long>(left.count(), 0))) != 128 + SIGKILL;
        }
    }
    EXPECT_TRUE(named_ours) << "the pid file names " << named;
    EXPECT_EQ(others, 0) << "feeds alive beside the one that the pid file names";
}

}  // namespace
