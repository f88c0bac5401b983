// A pipe that nobody reads: the daemon keeps running, drops what a feed no longer needs, and a new feed replays the newest window.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "fault_env.h"
#include "host.h"
#include "unique_graph.h"

namespace {

const std::string graph = unique_graph("port", 'b');

// The configuration with a window of win minutes.
std::string cfg_with(int win)
{
    return "window " + std::to_string(win) + "\n" + graph + " 4802 0 100 50\n";
}

// The first 5-second grid time strictly after t.
time_t grid_after(time_t t) { return t - t % 5 + 5; }

// Sleeps until ms milliseconds past the second t of the time of day.
void sleep_until(time_t t, int ms)
{
    std::this_thread::sleep_until(std::chrono::system_clock::from_time_t(t) + std::chrono::milliseconds(ms));
}

// The label "HH:MM:SS" of the time t, in UTC as the daemon runs here.
std::string label_of(time_t t)
{
    char buf[16];
    struct tm tm;
    gmtime_r(&t, &tm);
    std::strftime(buf, sizeof buf, "%H:%M:%S", &tm);
    return buf;
}

// The daemon serving graph from a temporary installation, started in SetUp.
class serving : public ::testing::Test {
protected:
    explicit serving(int win) : inst(cfg_with(win), {graph}) {}

    void SetUp() override
    {
        started = std::time(nullptr);
        SKIP_UNLESS_CAPTURE();
        std::string why;
        ASSERT_TRUE(start_serving(inst, graph, daemon, why)) << why;
    }

    installation inst;
    child daemon;
    time_t started = 0;
};

// Window 1, the shortest: at most 12 lines wait, so a pipe left unread for
// 13 samples, a minute, goes over the bound. The feed's late-read bound is
// then 0 s: its reads of the backlog must share one whole second.
class BacklogBound : public serving {
protected:
    BacklogBound() : serving(1) {}
};

// Window 2: a late-read bound of 1 s that backlog reads (microseconds apart)
// never reach.
class Backlog : public serving {
protected:
    Backlog() : serving(2) {}
};

TEST_F(BacklogBound, UnreadPipeKeepsTheNewestWindowForTheNextFeed)
{
    constexpr int win_lines = 12;
    // 14 samples or more are written before the feed comes, half-way between
    // two grid times and just after a whole second (for its reads): the first
    // two or more were dropped.
    const time_t connect = grid_after(started) + 13 * 5 + 2;
    sleep_until(connect, 20);
    ASSERT_TRUE(daemon.running());
    child feed = inst.start_feed(graph, "dhle,60,60s");
    std::string seen;
    ASSERT_NE(read_until(feed.out(), "<" + graph + " ", 10000, seen), "") << seen;

    const time_t newest = connect - 2;
    const std::vector<std::string> got = lines_of(seen);
    const std::string p = std::to_string(feed.pid());
    std::vector<std::string> want = {"Content-type: text/html", "", "MISS-60--pid-" + p, "new-pid-" + p,
                                     "SON-60-SEGUNDOS"};
    ASSERT_GE(got.size(), want.size() + 5 + 2 * win_lines + 3) << seen;
    ASSERT_TRUE(std::equal(want.begin(), want.end(), got.begin())) << seen;
    EXPECT_TRUE(std::regex_match(got[5], std::regex("time1-[0-9]+"))) << got[5];
    EXPECT_EQ(got[6], "COMI-1-DATO");
    EXPECT_TRUE(std::regex_match(got[7], std::regex("time2-[0-9]+"))) << got[7];
    EXPECT_EQ(got[8], "COMI-2do-DATO");
    EXPECT_EQ(got[9], "PERO-ESTAN-EN-COLA");
    // The history is the last 12 grid times, oldest first, each point aged
    // by its index.
    const std::regex point("old-([0-9]+)-data-([0-9]+)");
    for (int i = win_lines; i >= 1; --i) {
        const size_t at = 10 + 2 * (win_lines - i);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(got[at], m, point)) << got[at];
        EXPECT_EQ(m[1], std::to_string(i));
        EXPECT_EQ(got[at + 1], "@" + label_of(newest - 5 * (i - 1)) + " -" + std::to_string(5 * i) + " " +
                                   m[2].str());
    }
    const size_t lim = 10 + 2 * win_lines;
    EXPECT_EQ(got[lim], "^" + graph + " 100");
    EXPECT_EQ(got[lim + 1], "_" + graph + " 0");
    EXPECT_EQ(got[lim + 2], "<" + graph + " 50");
    EXPECT_EQ(got.size(), lim + 3) << seen;

    // Then the live stream goes on from the next grid time.
    seen.clear();
    ASSERT_NE(read_until(feed.out(), "data-", 10000, seen), "") << seen;
    EXPECT_EQ(read_line(feed.out(), 2000).substr(0, 9), label_of(newest + 5) + " ");
    EXPECT_TRUE(daemon.running());
}

TEST_F(Backlog, PipeFilledByAnotherWriterDoesNotStopTheDaemon)
{
    // Fill the pipe to the brim with lines the daemon did not write, 2 s
    // past a grid time: well clear of the daemon's writes (10 ms after a grid
    // time counting in the kernel, 450 ms with libpcap), so none of them
    // falls into the filling.
    const time_t g = grid_after(std::time(nullptr)) + 5;
    sleep_until(g - 5, 2000);
    const int fd = open(inst.fifo(graph).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    const char junk[] = "12:00:00 999999\n";
    size_t filled = 0;
    ssize_t n;
    while ((n = write(fd, junk, sizeof junk - 1)) > 0)
        filled += static_cast<size_t>(n);
    const int werr = errno;
    close(fd);
    ASSERT_EQ(werr, EAGAIN);
    ASSERT_GE(filled, 4096u);

    // On its next grid time the daemon finds bytes it cannot account for,
    // drops them all and writes its own line; a feed one second later reads
    // that line at once and waits 4 s for the next, a late read.
    sleep_until(g + 1, 0);
    ASSERT_TRUE(daemon.running());
    child feed = inst.start_feed(graph, "dhle,60,120s");
    std::string seen;
    ASSERT_NE(read_until(feed.out(), "<" + graph + " ", 15000, seen), "") << seen;
    const std::string p = std::to_string(feed.pid());
    const std::regex want("Content-type: text/html\n\nMISS-120--pid-" + p + "\nnew-pid-" + p +
                          "\nSON-120-SEGUNDOS\ntime1-[0-9]+\nCOMI-1-DATO\ntime2-[0-9]+\nCOMI-2do-DATO\n"
                          "PERO-ES-1a-VEZ\ndata1-([0-9]+)\n@" +
                          label_of(g) + " -2 ([0-9]+)\ndata2-([0-9]+)\n" + label_of(g + 5) + " ([0-9]+)\n\n\\^" +
                          graph + " 100\n_" + graph + " 0\n<" + graph + " 50\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(seen, m, want)) << seen;
    EXPECT_EQ(m[1], m[2]);
    EXPECT_EQ(m[3], m[4]);
    EXPECT_EQ(seen.find("999999"), std::string::npos);
    EXPECT_TRUE(daemon.running());
}

}  // namespace
