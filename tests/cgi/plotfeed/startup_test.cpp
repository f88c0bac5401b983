// Tests of the feed's query decoding and take-over rule.
#include "startup.h"
#include "takeover.h"

#include "child.h"
#include "files.h"
#include "memfile.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct decoded {
    int count;
    std::string out;
};

decoded decode(std::string query)
{
    output_file out;
    const int count = decode_query(query.data(), out.get());
    return {count, out.text()};
}

TEST(DecodeQuery, SplitsAndDecodesEntries)
{
    ASSERT_EQ(decode("a+b%41=c").count, 1);
    EXPECT_STREQ(entries[0].name, "a bA");
    EXPECT_STREQ(entries[0].val, "c");
    ASSERT_EQ(decode("dhle,60,300s&x=1").count, 2);
    EXPECT_STREQ(entries[0].name, "dhle,60,300s");
    EXPECT_STREQ(entries[0].val, "");
    EXPECT_STREQ(entries[1].name, "x");
    EXPECT_STREQ(entries[1].val, "1");
    EXPECT_EQ(decode("").count, 0);
}

TEST(DecodeQuery, RefusesMoreThanTenThousandEntries)
{
    std::string query = "a";
    for (int i = 1; i < max_entries; ++i)
        query += "&a";
    EXPECT_EQ(decode(query).count, max_entries);
    const decoded r = decode(query + "&a");
    EXPECT_EQ(r.count, -1);
    EXPECT_EQ(r.out, "Query of more than 10000 entries refused.\n");
}

TEST(DecodeQuery, RefusesFieldOver127Characters)
{
    const decoded fits = decode(std::string(127, 'n') + "&x");
    EXPECT_EQ(fits.count, 2);
    EXPECT_EQ(std::string(entries[0].name), std::string(127, 'n'));
    const decoded r = decode("x&" + std::string(128, 'n'));
    EXPECT_EQ(r.count, -1);
    EXPECT_EQ(r.out, "Query field of more than 127 characters refused.\n");
}

TEST(ScanK, FirstEntryNamesHistorySeconds)
{
    const struct {
        const char *query;
        int k;
    } cases[] = {
        {"dhle,60,300s", 300},  {"dhle,60,300s&x=1", 300}, {"foo=1", 0},
        {"", 0},                {"dhle,60,-5s", -5},       {"dhle,60,60", 60},
        {"dhle,61,300s", 0},    {"dhle,60,xs", 0},         {"x=1&dhle,60,300s", 0},
        {"dhle,60,99999999999s", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.query);
        EXPECT_EQ(scan_k(decode(c.query).count), c.k);
    }
}

// A process that waits until killed: this program under the command name
// comm, or (with other_exe) the program sleep run through a link named comm.
pid_t stand_in(const std::string &comm, bool other_exe)
{
    const std::string link = temp_dir() + "/" + comm;
    if (other_exe && symlink("/bin/sleep", link.c_str()) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        if (other_exe)
            execl(link.c_str(), comm.c_str(), "60", static_cast<char *>(nullptr));
        else if (prctl(PR_SET_NAME, comm.c_str()) == 0)
            for (;;)
                pause();
        _exit(127);
    }
    // Its command name is set once /proc shows it.
    for (int i = 0; i < 200 && file_text("/proc/" + std::to_string(pid) + "/comm") != comm + "\n"; ++i)
        usleep(5000);
    return pid;
}

TEST(MayKill, OnlyAnotherFeedOfTheSameGraph)
{
    const pid_t feed = stand_in("port8", false), sleeper = stand_in("port8", true);
    ASSERT_GT(feed, 0);
    ASSERT_GT(sleeper, 0);
    const pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    waitpid(gone, nullptr, 0);
    const struct {
        int pid;
        const char *graph;
        bool ok;
    } cases[] = {
        {feed, "port8", true},     {feed, "port9", false},     {sleeper, "port8", false},
        {gone, "port8", false},    {0, "port8", false},        {-1, "port8", false},
        {-987, "port8", false},    {static_cast<int>(getpid()), "port8", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(may_kill(c.pid, c.graph), c.ok) << c.pid << " " << c.graph;
    for (pid_t p : {feed, sleeper}) {
        kill(p, SIGKILL);
        waitpid(p, nullptr, 0);
    }
}

}  // namespace
