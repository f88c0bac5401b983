// Tests of the benchmarks' shared pieces: figures, sample lines, the temporary installation and process handling.
#include "harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct rank_case {
    std::vector<double> v;
    double p;
    double want;
};

TEST(Percentile, TakesNearestRank)
{
    const std::vector<double> ten{7, 3, 10, 1, 9, 2, 8, 4, 6, 5};
    const rank_case cases[] = {
        {ten, 50, 5}, {ten, 99, 10}, {ten, 10, 1}, {ten, 11, 2}, {ten, 100, 10}, {ten, 0, 1}, {{}, 50, 0},
        {{42}, 99, 42},
    };
    for (const rank_case &c : cases)
        EXPECT_EQ(percentile(c.v, c.p), c.want) << "p" << c.p << " of " << c.v.size() << " values";
}

TEST(Median, OfAnEvenCountIsTheLowerMiddle)
{
    EXPECT_EQ(median({4, 1, 3, 2}), 2);
    EXPECT_EQ(median({5, 1, 3}), 3);
}

TEST(LineReader, JoinsLinesSplitAcrossReads)
{
    line_reader r;
    std::vector<std::string> out;
    const std::string a = "data-1\n00:0", b = "0:01 1\n\n<bnch";
    r.feed(a.data(), a.size(), out);
    ASSERT_EQ(out, std::vector<std::string>{"data-1"});
    r.feed(b.data(), b.size(), out);
    EXPECT_EQ(out, (std::vector<std::string>{"data-1", "00:00:01 1", ""}));
    EXPECT_EQ(r.buf, "<bnch");
}

TEST(SampleLine, IsALabelABlankTheNumberAndANewline)
{
    const std::pair<int, const char *> cases[] = {
        {1, "00:00:01 1\n"}, {61, "00:01:01 61\n"}, {3661, "01:01:01 3661\n"}, {86401, "00:00:01 86401\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(sample_line(c.first), c.second);
}

TEST(BenchNames, AreTwelveCharactersOfThePortKind)
{
    const std::vector<std::string> names = bench_names(3);
    EXPECT_EQ(names, (std::vector<std::string>{"bnchport0001", "bnchport0002", "bnchport0003"}));
    EXPECT_EQ(bench_names(1000).back(), "bnchport1000");
}

TEST(Fmt, RoundsToThePrecisionAndAppendsTheUnit)
{
    EXPECT_EQ(fmt(2.3456, 2, " ms"), "2.35 ms");
    EXPECT_EQ(fmt(208, 0, " KiB"), "208 KiB");
}

TEST(MakeInst, LaysOutConfigurationAndPipesAndRemoveInstTakesThemAway)
{
    inst in;
    std::string err;
    ASSERT_TRUE(make_inst(bench_names(2), 5, in, err)) << err;
    std::ifstream cfg(in.dir + "/traxel.cfg");
    std::stringstream text;
    text << cfg.rdbuf();
    EXPECT_EQ(text.str(), "window 5\nbnchport0001 10000 0 1000 800\nbnchport0002 10001 0 1000 800\n");
    EXPECT_EQ(in.cgi, in.dir + "/httpd/cgi-bin");
    for (const std::string &n : in.graphs) {
        struct stat st {};
        ASSERT_EQ(stat((in.cgi + "/" + n + ".fifo").c_str(), &st), 0) << n;
        EXPECT_TRUE(S_ISFIFO(st.st_mode)) << n;
    }
    const std::string dir = in.dir;
    remove_inst(in);
    struct stat st {};
    EXPECT_NE(stat(dir.c_str(), &st), 0);
}

// Reads what a child writes until it closes its end.
std::string read_all(int fd)
{
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<std::size_t>(n));
    return out;
}

TEST(SpawnFeed, RunsTheProgramAsAWebServerRunsACgiProgram)
{
    inst in;
    std::string err;
    ASSERT_TRUE(make_inst(bench_names(1), 5, in, err)) << err;
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    pid_t pid = spawn_feed("/bin/sh", "bnchport0001", in.cgi, "dhle,60,300s", fds[1],
                           {"-c", "echo \"$0 $REQUEST_METHOD $QUERY_STRING $(pwd)\""}, err);
    close_fd(fds[1], "pipe");
    ASSERT_GT(pid, 0) << err;
    EXPECT_EQ(read_all(fds[0]), "bnchport0001 GET dhle,60,300s " + in.cgi + "\n");
    close_fd(fds[0], "pipe");
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    remove_inst(in);
}

TEST(SpawnFeed, ReportsAProgramThatDoesNotExist)
{
    std::string err;
    EXPECT_EQ(spawn_feed("/nonexistent/plotfeed", "bnchport0001", "/", "", 1, {}, err), -1);
    EXPECT_EQ(err, "posix_spawn /nonexistent/plotfeed: No such file or directory");
}

TEST(ProcFigures, AreReadForALiveProcessAndMinusOneForAGoneOne)
{
    EXPECT_GE(cpu_ticks(getpid()), 0);
    EXPECT_GT(cpu_ns(getpid()), 0);
    EXPECT_GT(private_dirty_kib(getpid()), 0);

    std::string err;
    pid_t pid = spawn_feed("/bin/sleep", "sleep", "/", "", 1, {"10"}, err);
    ASSERT_GT(pid, 0) << err;
    EXPECT_TRUE(wait_sleeping(pid, 2000));
    EXPECT_GE(cpu_ticks(pid), 0);
    end_proc(pid, SIGKILL);
    EXPECT_EQ(cpu_ticks(pid), -1);
    EXPECT_EQ(cpu_ns(pid), -1);
    EXPECT_EQ(private_dirty_kib(pid), -1);
    EXPECT_FALSE(wait_sleeping(pid, 10));
}

TEST(RaiseNofile, KeepsALimitThatIsHighEnough)
{
    std::string err;
    EXPECT_TRUE(raise_nofile(16, err)) << err;
}

}  // namespace
