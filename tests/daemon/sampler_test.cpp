// Tests of the 5-second grid and the sample lines, driven by a fake clock.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "cfg.h"
#include "frames.h"
#include "sampler.h"

namespace {

// Local time is UTC for these tests, so labels are known.
struct sampler : ::testing::Test {
    void SetUp() override
    {
        setenv("TZ", "UTC0", 1);
        tzset();
    }
};

std::string drain(int fd)
{
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<std::size_t>(n));
    return out;
}

TEST_F(sampler, GridTimesAreMultiplesOfFiveSeconds)
{
    struct {
        int64_t now, next;
    } table[] = {{0, 5}, {4, 5}, {5, 10}, {1000000003, 1000000005}, {-1, 0}, {-5, 0}, {-6, -5}};
    for (const auto &row : table)
        EXPECT_EQ(grid_next(row.now), row.next) << row.now;
}

TEST_F(sampler, OneSampleAtEachGridTime)
{
    // Each step: the time of day seen, and the label due then (-1 none).
    struct {
        int64_t now, due;
    } steps[] = {
        {1003, -1}, {1004, -1}, {1005, 1005}, {1005, -1}, {1009, -1}, {1010, 1010},
        // A jump over several grid times gives one sample for all of them.
        {1027, 1025}, {1029, -1}, {1030, 1030},
        // A step back of more than an interval starts the grid again.
        {900, -1}, {903, -1}, {905, 905},
    };
    int64_t next = grid_next(1003);
    for (const auto &s : steps)
        EXPECT_EQ(sample_due(next, s.now), s.due) << s.now;
}

TEST_F(sampler, LabelIsLocalTimeOfDay)
{
    char label[sample_label_max + 1];
    ASSERT_TRUE(sample_label(1000000005, label));
    EXPECT_STREQ(label, "01:46:45");
    ASSERT_TRUE(sample_label(86400 * 3 + 23 * 3600 + 59 * 60 + 55, label));
    EXPECT_STREQ(label, "23:59:55");
}

TEST_F(sampler, EachGraphGetsItsLineAndStartsAgainAtZero)
{
    std::string dir = temp_dir();
    write_file(dir + "/traxel.cfg", "window 1 port80 80 0 1 1 icmpproto 1 0 1 1 port81 81 0 1 1");
    std::string err;
    ASSERT_TRUE(load_graphs((dir + "/traxel.cfg").c_str(), err)) << err;
    std::vector<outlet> outs(3);
    // port80 goes without a pipe (its path was refused): the others keep theirs.
    ASSERT_EQ(open_sample_pipe(dir + "/icmpproto.fifo", 12, pipe_owner_self(), outs[1].pipe, err), pipe_open::ok);
    ASSERT_EQ(open_sample_pipe(dir + "/port81.fifo", 12, pipe_owner_self(), outs[2].pipe, err), pipe_open::ok);
    graphs[0].count = 5;
    graphs[1].count = 3000000000;  // more than a line can tell
    graphs[2].count = 42;
    write_samples(1000000005, graphs, outs, 12);
    write_samples(1000000010, graphs, outs, 12);
    EXPECT_EQ(drain(outs[1].pipe.fd), "01:46:45 2147483647\n01:46:50 0\n");
    EXPECT_EQ(drain(outs[2].pipe.fd), "01:46:45 42\n01:46:50 0\n");
    EXPECT_EQ(outs[0].packets_total, 5u);
    EXPECT_EQ(outs[2].packets_total, 42u);
}

TEST_F(sampler, ASampleNotWrittenKeepsItsCountForTheNext)
{
    std::string dir = temp_dir();
    write_file(dir + "/traxel.cfg", "window 1 port80 80 0 1 1 port81 81 0 1 1");
    std::string err;
    ASSERT_TRUE(load_graphs((dir + "/traxel.cfg").c_str(), err)) << err;
    std::vector<outlet> outs(2);
    ASSERT_EQ(open_sample_pipe(dir + "/port80.fifo", 12, pipe_owner_self(), outs[0].pipe, err), pipe_open::ok);
    ASSERT_EQ(open_sample_pipe(dir + "/port81.fifo", 12, pipe_owner_self(), outs[1].pipe, err), pipe_open::ok);
    // port80's pipe fails for a while: its writes go to a read-only descriptor.
    int good = outs[0].pipe.fd;
    outs[0].pipe.fd = open((dir + "/port80.fifo").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(outs[0].pipe.fd, 0);
    graphs[0].count = 7;
    graphs[1].count = 1;
    write_samples(1000000005, graphs, outs, 12);
    graphs[0].count = 3;
    graphs[1].count = 2;
    write_samples(1000000010, graphs, outs, 12);
    close(outs[0].pipe.fd);
    outs[0].pipe.fd = good;
    graphs[0].count = 1;
    write_samples(1000000015, graphs, outs, 12);
    EXPECT_EQ(drain(good), "01:46:55 11\n");
    EXPECT_EQ(drain(outs[1].pipe.fd), "01:46:45 1\n01:46:50 2\n01:46:55 0\n");
    EXPECT_EQ(outs[0].packets_total, 11u);
}

TEST_F(sampler, UnreadForLongOnlyTheNewestWindowWaits)
{
    // Window 1: 12 lines. Run the grid for 100 intervals with no reader.
    std::string dir = temp_dir();
    write_file(dir + "/traxel.cfg", "window 1 port80 80 0 1 1");
    std::string err;
    ASSERT_TRUE(load_graphs((dir + "/traxel.cfg").c_str(), err)) << err;
    std::vector<outlet> outs(1);
    ASSERT_EQ(open_sample_pipe(dir + "/port80.fifo", 12, pipe_owner_self(), outs[0].pipe, err), pipe_open::ok);
    int64_t next = grid_next(43200);
    for (int64_t now = 43200; now <= 43200 + 500; ++now) {
        int64_t t = sample_due(next, now);
        graphs[0].count = now % 7;
        if (t >= 0)
            write_samples(t, graphs, outs, 12);
    }
    std::string want;
    for (int64_t t = 43700 - 55; t <= 43700; t += 5) {
        char label[sample_label_max + 1];
        ASSERT_TRUE(sample_label(t, label));
        want += std::string(label) + " " + std::to_string(t % 7) + "\n";
    }
    EXPECT_EQ(drain(outs[0].pipe.fd), want);
    EXPECT_EQ(want.substr(0, 11), "12:07:25 0\n");
}

}  // namespace
