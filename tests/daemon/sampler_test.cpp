// Tests of the 5-second grid and the sample lines, driven by a fake clock.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "cfg.h"
#include "child.h"
#include "files.h"
#include "live.h"
#include "sampler.h"

namespace {

// Local time is UTC for these tests, so labels are known.
struct sampler : ::testing::Test {
    std::string dir = temp_dir();
    std::vector<outlet> outs;

    void SetUp() override
    {
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    // Loads the graphs of cfg and opens the pipe of each in dir, but the
    // graph numbered skip.
    void serve(const std::string &cfg, std::size_t skip = SIZE_MAX)
    {
        write_file(dir + "/traxel.cfg", cfg);
        std::string err;
        ASSERT_TRUE(load_graphs((dir + "/traxel.cfg").c_str(), err)) << err;
        outs.clear();
        outs.resize(graphs.size());
        for (std::size_t i = 0; i < graphs.size(); ++i) {
            if (i == skip)
                continue;
            std::string path = dir + "/" + graphs[i].name + ".fifo";
            ASSERT_TRUE(open_sample_pipe(path, 12, pipe_owner_self(), outs[i].pipe, err)) << err;
        }
    }
};

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
    // port80 goes without a pipe (its path was refused): the others keep theirs.
    serve("window 1 port80 80 0 1 1 icmpproto 1 0 1 1 port81 81 0 1 1", 0);
    graphs[0].count = 5;
    graphs[1].count = 3000000000;  // more than a line can tell
    graphs[2].count = 42;
    write_samples(1000000005, graphs, outs, 12);
    write_samples(1000000010, graphs, outs, 12);
    EXPECT_EQ(drain(outs[1].pipe.fd.get()), "01:46:45 2147483647\n01:46:50 0\n");
    EXPECT_EQ(drain(outs[2].pipe.fd.get()), "01:46:45 42\n01:46:50 0\n");
    EXPECT_EQ(outs[0].packets_total, 5u);
    EXPECT_EQ(outs[2].packets_total, 42u);
}

TEST_F(sampler, ASampleNotWrittenKeepsItsCountForTheNext)
{
    serve("window 1 port80 80 0 1 1 port81 81 0 1 1");
    // port80's pipe fails for a while: its writes go to a read-only descriptor.
    unique_fd good = std::move(outs[0].pipe.fd);
    outs[0].pipe.fd.reset(open((dir + "/port80.fifo").c_str(), O_RDONLY | O_NONBLOCK));
    ASSERT_GE(outs[0].pipe.fd.get(), 0);
    graphs[0].count = 7;
    graphs[1].count = 1;
    write_samples(1000000005, graphs, outs, 12);
    graphs[0].count = 3;
    graphs[1].count = 2;
    write_samples(1000000010, graphs, outs, 12);
    outs[0].pipe.fd = std::move(good);
    graphs[0].count = 1;
    write_samples(1000000015, graphs, outs, 12);
    EXPECT_EQ(drain(outs[0].pipe.fd.get()), "01:46:55 11\n");
    EXPECT_EQ(drain(outs[1].pipe.fd.get()), "01:46:45 1\n01:46:50 2\n01:46:55 0\n");
    EXPECT_EQ(outs[0].packets_total, 11u);
}

TEST_F(sampler, UnreadForLongOnlyTheNewestWindowWaits)
{
    // Window 1: 12 lines. Run the grid for 100 intervals with no reader.
    serve("window 1 port80 80 0 1 1");
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
    EXPECT_EQ(drain(outs[0].pipe.fd.get()), want);
    EXPECT_EQ(want.substr(0, 11), "12:07:25 0\n");
}

TEST_F(sampler, BitRatesSpanTheTimeSinceTheLastSampleWritten)
{
    struct {
        sample_unit unit;
        int64_t held_bytes, since, t, want;
    } table[] = {
        {sample_unit::bits, 1250, 995, 1000, 2000},     // 10000 bits in 5 s
        {sample_unit::bits, 1250, -1, 1000, 2000},      // the first sample: one interval
        {sample_unit::bits, 1250, 985, 1000, 667},      // two samples not written: 15 s
        {sample_unit::bits, 1250, 1005, 1000, 2000},    // clock stepped back: one interval
        {sample_unit::kbits, 1187, 995, 1000, 2},       // 1.899 kbit/s rounds up
        {sample_unit::kbits, 312, 995, 1000, 0},        // 0.4992 rounds down
        {sample_unit::bits, INT64_MAX / 4, 995, 1000, INT64_MAX},
    };
    for (const auto &row : table) {
        outlet o;
        o.unit = row.unit;
        o.held = 99;
        o.held_bytes = row.held_bytes;
        o.since = row.since;
        EXPECT_EQ(sample_value(o, row.t), row.want) << row.held_bytes << " since " << row.since;
    }
}

TEST(CaptureCounters, GrowAcrossAWrapAndStartAgainAfterARestart)
{
    EXPECT_EQ(counter_delta(10, 25), 15u);
    EXPECT_EQ(counter_delta(UINT32_MAX - 4, 10), 15u);  // wrapped
    EXPECT_EQ(counter_delta(5000, 30), 30u);            // restarted
}

}  // namespace
