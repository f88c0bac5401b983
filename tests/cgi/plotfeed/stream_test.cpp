// Tests of history replay, limits and live stream on a scripted pipe and clock.
#include "read_cfg.h"
#include "startup.h"
#include "stream.h"

#include "memfile.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

// One line of the pipe and the clock's reading right after it was read.
struct sample {
    std::string line;
    std::int32_t at;
};

// Serves the script in order, then reports `last`; records which read each
// re-installation of the handlers came before.
struct scripted_io final : feed_io {
    std::vector<sample> script;
    rd last = rd::end;
    size_t next = 0;
    std::int32_t clock = 0;
    std::vector<size_t> rearmed_before;

    rd read_line(char *buf, int size) override
    {
        if (next == script.size())
            return last;
        std::snprintf(buf, static_cast<size_t>(size), "%s", script[next].line.c_str());
        clock = script[next++].at;
        return rd::ok;
    }
    std::int32_t now() override { return clock; }
    void rearm() override { rearmed_before.push_back(next); }
};

struct streamed {
    int status;
    std::string out;
};

// Runs the stream for graph port80 (limits 0, 1000, 800) with a fresh label
// and value.
streamed run(scripted_io &io, int window, int seconds)
{
    win = window;
    k = seconds;
    min = 0;
    max = 1000;
    thres = 800;
    aux[0] = '\0';
    data = 0;
    output_file out;
    const int status = feed_stream(io, "port80", out.get());
    return {status, out.text()};
}

// count lines "eth0 <n>" numbered from first, all read at time at.
std::vector<sample> backlog(int first, int count, std::int32_t at)
{
    std::vector<sample> v;
    for (int n = first; n < first + count; ++n)
        v.push_back({"eth0 " + std::to_string(n) + "\n", at});
    return v;
}

const char limits[] = "^port80 1000\n_port80 0\n<port80 800\n";

TEST(Stream, FullBacklogBecomesWholeWindowOfHistory)
{
    scripted_io io;
    io.script = backlog(1, 13, 1000);
    const streamed r = run(io, 1, 60);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("SON-60-SEGUNDOS\ntime1-1000\nCOMI-1-DATO\n"
                                 "time2-1000\nCOMI-2do-DATO\nPERO-ESTAN-EN-COLA\n"
                                 "old-12-data-1\n@eth0 -60 1\nold-11-data-2\n@eth0 -55 2\n"
                                 "old-10-data-3\n@eth0 -50 3\nold-9-data-4\n@eth0 -45 4\n"
                                 "old-8-data-5\n@eth0 -40 5\nold-7-data-6\n@eth0 -35 6\n"
                                 "old-6-data-7\n@eth0 -30 7\nold-5-data-8\n@eth0 -25 8\n"
                                 "old-4-data-9\n@eth0 -20 9\nold-3-data-10\n@eth0 -15 10\n"
                                 "old-2-data-11\n@eth0 -10 11\nold-1-data-12\n@eth0 -5 12\n") +
                         limits + "data-13\neth0 13\n\n");
}

TEST(Stream, SixtyWaitingLinesGiveAgesFrom300DownTo5)
{
    scripted_io io;
    io.script = backlog(1, 60, 1000);
    const streamed r = run(io, 5, 300);
    EXPECT_NE(r.out.find("PERO-ESTAN-EN-COLA\nold-60-data-1\n@eth0 -300 1\n"
                         "old-59-data-2\n@eth0 -295 2\nold-58-data-3\n"),
              std::string::npos);
    const std::string tail = std::string("old-1-data-60\n@eth0 -5 60\n") + limits;
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
}

struct first_time_case {
    int win;
    std::int32_t gap;  // seconds between the first two reads
    const char *age_line;
};

TEST(Stream, LateSecondReadTakesFirstTimePath)
{
    // Longer windows keep the bound of 2 s: a gap of 3 s is late.
    const first_time_case cases[] = {{5, 5, "@eth0 -5 1\n"}, {10, 3, "@eth0 -10 1\n"}};
    for (const first_time_case &c : cases) {
        SCOPED_TRACE(c.win);
        scripted_io io;
        io.script = {{"eth0 1\n", 1000}, {"eth0 2\n", 1000 + c.gap}, {"eth0 3\n", 1020}};
        const streamed r = run(io, c.win, c.win * 60);
        EXPECT_EQ(r.out, "SON-" + std::to_string(c.win * 60) +
                             "-SEGUNDOS\ntime1-1000\nCOMI-1-DATO\ntime2-" +
                             std::to_string(1000 + c.gap) + "\n"
                             "COMI-2do-DATO\nPERO-ES-1a-VEZ\ndata1-1\n" +
                             c.age_line + "data2-2\neth0 2\n\n" + limits +
                             "data-3\neth0 3\n\n");
    }
}

TEST(Stream, SecondReadAtBoundIsStillBacklog)
{
    scripted_io io;
    io.script = {{"eth0 1\n", 1000}, {"eth0 2\n", 1002}};
    EXPECT_NE(run(io, 5, 300).out.find("time2-1002\nCOMI-2do-DATO\nPERO-ESTAN-EN-COLA\n"),
              std::string::npos);
}

TEST(Stream, LateReadAfterBacklogRescales)
{
    // 20 lines wait; the 21st comes 4 s later and is the point of index 40.
    scripted_io io;
    io.script = backlog(1, 20, 1000);
    io.script.push_back({"eth0 21\n", 1004});
    io.script.push_back({"eth0 22\n", 1009});
    const streamed r = run(io, 5, 300);
    const std::string tail = std::string("old-41-data-20\n@eth0 -205 20\nold-40-data-21\n"
                                         "@eth0 -200 21\nRESCALING-port80\n") +
                             limits + "data-22\neth0 22\n\n";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_EQ(r.out.find("RESCALING"), r.out.rfind("RESCALING"));
}

TEST(Stream, FirstReadOfHistoryLoopIsNeverLate)
{
    // Two lines wait; the third read waits 5 s but is compared with itself,
    // the fourth waits 5 s more and ends the history.
    scripted_io io;
    io.script = {{"eth0 1\n", 1000}, {"eth0 2\n", 1000}, {"eth0 3\n", 1005}, {"eth0 4\n", 1010}};
    const streamed r = run(io, 1, 60);
    EXPECT_EQ(r.out, std::string("SON-60-SEGUNDOS\ntime1-1000\nCOMI-1-DATO\ntime2-1000\n"
                                 "COMI-2do-DATO\nPERO-ESTAN-EN-COLA\nold-12-data-1\n"
                                 "@eth0 -60 1\nold-11-data-2\n@eth0 -55 2\nold-10-data-3\n"
                                 "@eth0 -50 3\nold-9-data-4\n@eth0 -45 4\n"
                                 "RESCALING-port80\n") +
                         limits);
}

TEST(Stream, PartialPathGivesRequestedSeconds)
{
    scripted_io io;
    io.script = backlog(1, 3, 1000);
    io.script.push_back({"eth0 4\n", 1004});
    const streamed r = run(io, 5, 60);
    EXPECT_EQ(r.out, std::string("SON-MENOS-DE-300-SEGUNDOS\nold-12-data-1\n@eth0 -60 1\n"
                                 "old-11-data-2\n@eth0 -55 2\nold-10-data-3\n@eth0 -50 3\n"
                                 "old-9-data-4\n@eth0 -45 4\nRESCALING-port80\n") +
                         limits);
}

TEST(Stream, PartialPathWithoutLateReadReadsAllPoints)
{
    scripted_io io;
    io.script = backlog(1, 3, 1000);
    const streamed r = run(io, 1, 15);
    EXPECT_EQ(r.out, std::string("SON-MENOS-DE-60-SEGUNDOS\nold-3-data-1\n@eth0 -15 1\n"
                                 "old-2-data-2\n@eth0 -10 2\nold-1-data-3\n@eth0 -5 3\n") +
                         limits);
}

TEST(Stream, ShortRequestGoesStraightToLimits)
{
    for (int seconds : {0, 4, -5}) {
        SCOPED_TRACE(seconds);
        scripted_io io;
        io.script = {{"cpu 42\n", 1000}};
        const streamed r = run(io, 5, seconds);
        EXPECT_EQ(r.out, std::string("SON-MENOS-DE-300-SEGUNDOS\n") + limits +
                             "data-42\ncpu 42\n\n");
    }
}

TEST(Stream, RequestAboveWindowTakesPartialPath)
{
    scripted_io io;
    io.script = backlog(1, 21, 1000);
    const streamed r = run(io, 1, 100);
    EXPECT_EQ(r.out.find("SON-MENOS-DE-60-SEGUNDOS\nold-20-data-1\n@eth0 -100 1\n"), 0u);
    EXPECT_NE(r.out.find(std::string("old-1-data-20\n@eth0 -5 20\n") + limits +
                         "data-21\neth0 21\n\n"),
              std::string::npos);
}

TEST(Stream, SampleWithoutNumberRepeatsLastValue)
{
    scripted_io io;
    io.script = {{"cpu 42\n", 1000}, {"mem\n", 1000}, {"\n", 1000}, {"   \n", 1000}};
    const streamed r = run(io, 5, 0);
    EXPECT_EQ(r.out, std::string("SON-MENOS-DE-300-SEGUNDOS\n") + limits +
                         "data-42\ncpu 42\n\ndata-42\nmem\n\ndata-42\n\n\ndata-42\n   \n\n");
}

TEST(Stream, LineThatNoSampleLineCouldBeIsLeftOut)
{
    // The stream is text/html: markup, quotes or control characters that
    // another writer put into the pipe never reach the client, in history or
    // live, and the line after takes the place of the one left out.
    const struct {
        const char *line;
        bool passed;
    } lines[] = {
        {"12:00:05 42\n", true},     {"\n", true},           {"a.b_c-d+e\t7\n", true},
        {"<script src=//x></script> 7\n", false},           {"cpu \"7\"\n", false},
        {"cpu 7\x1b[2J\n", false},   {"cpu&amp; 7\n", false}, {"cpu 7\r\n", false},
        {"Ünï 7\n", false},          {"cpu 7\ncpu 8\n", false},
    };
    for (const auto &l : lines)
        EXPECT_EQ(sample_text(l.line), l.passed) << l.line;
    scripted_io io;
    io.script = {{"<b>x</b> 1\n", 1000}, {"eth0 1\n", 1000}, {"'x' 9\n", 1000}, {"eth0 2\n", 1000}};
    const streamed r = run(io, 5, 5);
    EXPECT_EQ(r.out, std::string("SON-MENOS-DE-300-SEGUNDOS\nold-1-data-1\n@eth0 -5 1\n") + limits +
                         "data-2\neth0 2\n\n");
}

TEST(Stream, ReadErrorEndsStreamWithStatusOne)
{
    scripted_io io;
    io.script = {{"cpu 42\n", 1000}};
    io.last = rd::error;
    const streamed r = run(io, 5, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string("SON-MENOS-DE-300-SEGUNDOS\n") + limits + "data-42\ncpu 42\n\n");
}

TEST(Stream, EndOfDataDuringHistoryEndsStream)
{
    scripted_io io;
    io.script = {{"eth0 1\n", 1000}};
    const streamed r = run(io, 5, 300);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "SON-300-SEGUNDOS\ntime1-1000\nCOMI-1-DATO\n");
}

TEST(Stream, HandlersAreRearmedBeforeLoopAndLiveReadsOnly)
{
    // Full window of 12: reads 0 and 1 unarmed, 2..11 the loop, 12.. live.
    scripted_io io;
    io.script = backlog(1, 13, 1000);
    run(io, 1, 60);
    EXPECT_EQ(io.rearmed_before, (std::vector<size_t>{2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}));
    scripted_io partial;
    partial.script = backlog(1, 4, 1000);
    run(partial, 1, 15);
    EXPECT_EQ(partial.rearmed_before, (std::vector<size_t>{3, 4}));
}

TEST(Stream, TimeLinesShowStampsUnsigned)
{
    scripted_io io;
    io.script = {{"eth0 1\n", -1}, {"eth0 2\n", -1}};
    EXPECT_EQ(run(io, 5, 300).out.find("SON-300-SEGUNDOS\ntime1-4294967295\nCOMI-1-DATO\n"
                                       "time2-4294967295\n"),
              0u);
}

struct late_case {
    int win;
    std::int32_t t1, t2;
    bool late;
};

TEST(LateRead, GapOverHalfWindowAtMostTwoSecondsIsLate)
{
    const late_case cases[] = {
        {5, 10, 12, false},
        {5, 10, 13, true},
        {5, 10, 9, false},  // a clock stepped back
        {10, 0, 2, false},
        {10, 0, 3, true},
        {30, 0, 3, true},
        {3, 0, 2, true},
        {1, 0, 1, true},
        {1, 0, 0, false},
        {5, INT32_MAX, INT32_MIN, false},  // no wrap-around in the difference
        {5, INT32_MIN, INT32_MAX, true},
    };
    for (const late_case &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.win << " " << c.t1 << " " << c.t2);
        win = c.win;
        EXPECT_EQ(late_read(c.t1, c.t2), c.late);
    }
}

struct parse_case {
    const char *line;
    const char *label;
    int value;
};

TEST(ParseSample, LabelBeforeNumber)
{
    const std::string long_label(45, 'a');
    const std::string long_line = long_label + " 17\n";  // 49 characters
    const parse_case cases[] = {
        {"cpu 42\n", "cpu", 42},
        {"  lo\t-7\n", "lo", -7},
        {"eth1\n", "eth1", 5},
        {"\n", "old", 5},
        {"   \n", "old", 5},
        {"x 99999999999\n", "x", 5},
        {"y z\n", "y", 5},
        {long_line.c_str(), long_label.c_str(), 17},
    };
    for (const parse_case &c : cases) {
        SCOPED_TRACE(c.line);
        std::snprintf(aux, sizeof aux, "old");
        data = 5;
        parse_sample(c.line);
        EXPECT_STREQ(aux, c.label);
        EXPECT_EQ(data, c.value);
    }
}

}  // namespace
