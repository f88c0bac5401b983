// A long backlog trimmed by the daemon's pipe code while a feed with a slow client reads it: no torn line reaches the client.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "contract.h"
#include "fault_env.h"
#include "pipes.h"
#include "unique_graph.h"

namespace {

const std::string graph = unique_graph("port", 'n');
constexpr int win = 35;
constexpr std::size_t bound = static_cast<std::size_t>(backlog_lines_per_win) * win;

// Sample line n, 13 to 14 bytes: the full backlog is over 5 KiB, more than a
// stream's buffer of 4 KiB takes in one read.
std::string line_of(int n) { return "12:00:00 " + std::to_string(1000 + n) + "\n"; }

TEST(TornLines, TrimmingUnderASlowClientTearsNoLine)
{
    installation inst("window " + std::to_string(win) + "\n" + graph + " 4809 0 100 50\n", {graph});
    sample_pipe p;
    std::string err;
    ASSERT_TRUE(open_sample_pipe(inst.fifo(graph), bound, pipe_owner_self(), p, err)) << err;
    int n = 0;
    for (; n < static_cast<int>(bound); ++n)
        ASSERT_TRUE(put_sample(p, line_of(n).data(), line_of(n).size(), bound, err)) << err;
    // The client reads nothing for a while, through a pipe of one page: the
    // feed stops in the middle of its history, holding what it read last.
    child feed = inst.start_feed(graph, "dhle,60," + std::to_string(win * 60) + "s");
    ASSERT_GE(fcntl(feed.out(), F_SETPIPE_SZ, 4096), 0);
    std::string seen;
    ASSERT_NE(read_until(feed.out(), "PERO-ESTAN-EN-COLA", 10000, seen), "") << seen;
    usleep(300000);
    // Meanwhile the daemon writes on (as over half an hour) until its lines
    // trim the oldest, at the line that the feed has begun to read.
    for (int i = 0; i < static_cast<int>(bound); ++i, ++n)
        ASSERT_TRUE(put_sample(p, line_of(n).data(), line_of(n).size(), bound, err)) << err;
    p = sample_pipe();  // the daemon ends; the feed ends at the end of its data
    seen += read_rest(feed.out(), 20000);
    EXPECT_EQ(feed.wait(5000), 0);
    // Every line is the feed's own or a whole sample line.
    const std::regex point("@12:00:00 -[0-9]+ 1[0-9]{3}"), echo("12:00:00 1[0-9]{3}");
    const std::regex own("|Content-type: text/html|(MISS|new-pid|SON|time1|time2|COMI|PERO|old|data|data1|data2|"
                         "RESCALING)-.*|[<^_]" + graph + " [0-9]+");
    int points = 0;
    for (const std::string &l : lines_of(seen)) {
        if (l[0] == '@') {
            EXPECT_TRUE(std::regex_match(l, point)) << "torn history point: " << l;
            ++points;
        } else if (!std::regex_match(l, own)) {
            EXPECT_TRUE(std::regex_match(l, echo)) << "torn live line: " << l;
        }
    }
    EXPECT_EQ(points, win * backlog_lines_per_win) << seen;
}

}  // namespace
