// Tests of the built daemon at work: the 5-second lines, detaching, one instance, start-up faults.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "frames.h"
#include "loopback.h"
#include "spawn.h"

namespace {

const std::string cfg = "window 1\nudpport 47999 0 100 50\nloip 127.0.0.1 0 100 50\n";

const char running_line[] = "traxel: already running in this installation; not started again\n";

// Datagrams sent just before a grid time, while the kernel still holds them
// in a block of its ring with others sent just after it, count once each, in
// the interval of their time stamps: the sample of that grid time waits for
// the block. Only when this test's own sends straddle the grid time (a loaded
// host) is the split left unchecked, and only their sum is.
TEST(BatchedRing, FramesAroundAGridTimeCountOnceInTheirIntervals)
{
    const udp_sink rx;
    const std::string dir = install_dir_with("window 1\nringport " + std::to_string(rx.port) + " 0 1 1\n");
    const std::string fifo = dir + "/httpd/cgi-bin/ringport.fifo";
    running_daemon d(dir, {"-f", "-i", "lo"});
    if (d.first_sample(fifo).empty())
        GTEST_SKIP() << "the daemon does not capture on lo here";
    const int rd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(rd, 0);
    const time_t grid = (time(nullptr) / 5 + 1) * 5;
    const auto at = std::chrono::system_clock::from_time_t(grid);
    // Sends n datagrams from when on; true when they all went out before
    // the grid time (before), or all after it.
    auto burst = [&](int n, std::chrono::system_clock::time_point when, bool before) {
        std::this_thread::sleep_until(when);
        const bool started_after = std::chrono::system_clock::now() >= at;
        send_udp(rx.port, n, 1);
        return before ? std::chrono::system_clock::now() < at : started_after;
    };
    const bool clean = burst(300, at - std::chrono::milliseconds(30), true) &
                       burst(200, at + std::chrono::milliseconds(30), false);
    long long counts[2];
    for (int i = 0; i < 2; ++i) {
        // Labelled with its grid time of day (UTC here), then the count.
        const time_t t = grid + 5 * i;
        char label[16];
        struct tm tm;
        ASSERT_GT(std::strftime(label, sizeof label, "%H:%M:%S ", gmtime_r(&t, &tm)), 0u);
        const std::string line = read_line(rd, 12000);
        ASSERT_EQ(line.compare(0, 9, label), 0) << line;
        counts[i] = std::stoll(line.substr(9));
        EXPECT_EQ(line, label + std::to_string(counts[i]) + "\n");
    }
    close(rd);
    EXPECT_EQ(counts[0] + counts[1], 500);
    if (clean) {
        EXPECT_EQ(counts[0], 300);
        EXPECT_EQ(counts[1], 200);
    }
}

TEST(Detaching, StartedAsTheLauncherDoesItLetsTheStartersOutputEnd)
{
    std::string dir = install_dir_with(cfg);
    child p = spawn_daemon(dir, {});
    bool late_out, late_err;
    std::string out = read_rest(p.out(), 4000, &late_out);
    std::string err = read_rest(p.err(), 4000, &late_err);
    int status = p.wait(4000);
    if (err.find("cannot capture") != std::string::npos)
        GTEST_SKIP() << err;
    EXPECT_FALSE(late_out);
    EXPECT_FALSE(late_err);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
    EXPECT_EQ(status, 0);
    // The starter is gone; the daemon it left runs on in dir.
    const std::vector<pid_t> in_dir = processes_in(dir);
    ASSERT_EQ(in_dir.size(), 1u);
    const pid_t d = in_dir[0];
    EXPECT_TRUE(pipe_held(dir + "/httpd/cgi-bin/loip.fifo", 4000));
    // The lock outlived the first process of the start.
    result again = run(dir, {});
    EXPECT_EQ(again.err, running_line);
    EXPECT_EQ(again.out, "");
    EXPECT_EQ(again.status, 0);
    ASSERT_EQ(kill(d, SIGTERM), 0);
    for (int i = 0; i < 200 && process_alive(d); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(process_alive(d));
}

// Also names the pipe it cannot make, the last of the start-up faults.
TEST(StartFaults, GraphItsFeedCannotFindIsWarnedOf)
{
    std::string dir = install_dir_with("window 5 sockport 22 0 1 1 port80 80 0 1 1");
    ASSERT_EQ(rmdir((dir + "/httpd/cgi-bin").c_str()), 0);
    result r = run(dir, {});
    EXPECT_EQ(r.err,
              "traxel: traxel.cfg: graph sockport: its feed will not find this record (records before it do not "
              "read in its layout)\n"
              "traxel: mkfifo httpd/cgi-bin/sockport.fifo: No such file or directory\n");
    EXPECT_EQ(r.status, 1);
}

TEST(StartFaults, UnknownInterfaceIsNamed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can tell a missing interface from a refused capture";
    result r = run(install_dir_with(cfg), {"-i", "nosuchif0"});
    EXPECT_EQ(r.err, "traxel: cannot capture on nosuchif0: no such interface\n");
    EXPECT_EQ(r.status, 1);
}

TEST(StartFaults, CaptureNotPermittedIsSaid)
{
    const struct passwd *nobody = getpwnam("nobody");
    if (geteuid() != 0 || !nobody)
        GTEST_SKIP() << "needs root to run the daemon as nobody";
    std::string dir = install_dir_with(cfg);
    ASSERT_EQ(chown((dir + "/httpd/cgi-bin").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    child p = spawn_daemon(dir, {}, nobody->pw_uid, nobody->pw_gid, reachable_daemon());
    EXPECT_EQ(read_rest(p.err(), 4000), "traxel: cannot capture on any: capture not permitted (run as root, or give "
                                        "the program cap_net_raw,cap_net_admin)\n");
    EXPECT_EQ(p.wait(4000), 1);
}

TEST(StartFaults, UnknownOptionShowsUsage)
{
    result r = run("/", {"-q"});
    EXPECT_EQ(r.err.substr(r.err.find("usage:")),
              "usage: traxel [-f] [-i interface]\n       traxel -r file [-n] [-e] [-x]\n");
    EXPECT_EQ(r.status, 2);
}

}  // namespace
