// Tests of the built daemon at work: start-up faults, one instance, detaching, the 5-second lines, SIGTERM.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <thread>

#include "files.h"
#include "host.h"
#include "loopback.h"
#include "spawn.h"

namespace {

// A port that nothing else on the test host uses.
constexpr uint16_t test_port = 47999;

const std::string cfg = "window 1\nudpport " + std::to_string(test_port) + " 0 100 50\nloip 127.0.0.1 0 100 50\n";

const char running_line[] = "traxel: already running in this installation; not started again\n";

// Whether line is "HH:MM:SS V\n" with the seconds on the 5-second grid and
// the value want.
bool grid_line(const std::string &line, int want)
{
    const std::string tail = " " + std::to_string(want) + "\n";
    if (line.size() != 8 + tail.size() || line.compare(8, std::string::npos, tail) != 0)
        return false;
    for (int i : {0, 1, 3, 4, 6, 7})
        if (line[i] < '0' || line[i] > '9')
            return false;
    return line[2] == ':' && line[5] == ':' && line.substr(0, 2) < "24" && line[3] < '6' && line[6] < '6' &&
           (line[7] == '0' || line[7] == '5');
}

// A daemon started in the foreground in its own installation directory;
// skips the test when this host does not permit capture, and fails it when
// the daemon does not start.
struct running : ::testing::Test {
    std::string dir = install_dir_with(cfg);
    std::string fifo = dir + "/httpd/cgi-bin/udpport.fifo";
    child d;

    void SetUp() override
    {
        SKIP_UNLESS_CAPTURE();
        d = spawn_daemon(dir, {"-f"});
        if (!pipe_held(fifo, 10000))
            FAIL() << "daemon did not start: " << read_rest(d.err(), 10000);
    }
};

TEST_F(running, SecondStartSaysSoAndExitsZero)
{
    result r = run(dir, {});
    EXPECT_EQ(r.err, running_line);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
}

TEST_F(running, WritesOneLinePerIntervalOnTheGridWithTheCount)
{
    int rd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(rd, 0);
    // Take every line that waits, so the next one is written after the sends.
    std::string first = read_line(rd, 12000);
    ASSERT_NE(first, "");
    while (!read_line(rd, 0).empty()) {
    }
    int rx = socket(AF_INET, SOCK_DGRAM, 0), tx = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(rx, 0);
    ASSERT_GE(tx, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(test_port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << std::strerror(errno);
    for (int i = 0; i < 7; ++i)
        ASSERT_EQ(sendto(tx, "x", 1, 0, reinterpret_cast<sockaddr *>(&a), sizeof a), 1);
    close(tx);
    close(rx);
    std::string second = read_line(rd, 12000);
    // The precise clock: time() may still show the second before the grid time.
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    const time_t now = ts.tv_sec;
    close(rd);
    ASSERT_TRUE(grid_line(second, 7)) << second;
    EXPECT_EQ((label_seconds(second) - label_seconds(first) + 86400) % 86400, 5) << first << second;
    // Written when its grid time came: the label is the time of day (UTC
    // here), at most a few seconds before the read; earlier is wrapped large.
    int late = static_cast<int>(now % 86400) - label_seconds(second);
    EXPECT_LT((late + 86400) % 86400, 4) << second;
}

TEST_F(running, SigtermEndsItAndReadersSeeTheEnd)
{
    int rd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(rd, 0);
    ASSERT_EQ(kill(d.pid(), SIGTERM), 0);
    EXPECT_EQ(d.wait(10000), 0);
    char buf[256];
    ssize_t n;
    while ((n = read(rd, buf, sizeof buf)) > 0) {
    }
    EXPECT_EQ(n, 0) << std::strerror(errno);
    close(rd);
    // The lock went with it: a new start runs.
    running_daemon again(dir, {"-f"});
    EXPECT_TRUE(pipe_held(fifo, 10000));
}

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
    SKIP_UNLESS_CAPTURE();
    running_daemon d(dir, {"-f", "-i", "lo"});
    ASSERT_NE(d.first_sample(fifo), "") << "the daemon wrote no sample line";
    const int rd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(rd, 0);
    const time_t grid = next_grid_time();
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
        const std::string line = read_line(rd, 12000);
        ASSERT_EQ(label_seconds(line), (grid + 5 * i) % 86400) << line;
        counts[i] = std::stoll(line.substr(9));
    }
    close(rd);
    EXPECT_EQ(counts[0] + counts[1], 500);
    if (clean) {
        EXPECT_EQ(counts[0], 300);
        EXPECT_EQ(counts[1], 200);
    }
}

// The pid of a traxel process whose working directory is dir, or -1.
pid_t daemon_in(const std::string &dir)
{
    DIR *procs = opendir("/proc");
    if (!procs)
        return -1;
    pid_t found = -1;
    while (dirent *e = readdir(procs)) {
        char link[PATH_MAX];
        std::string base = std::string("/proc/") + e->d_name;
        ssize_t n = readlink((base + "/cwd").c_str(), link, sizeof link - 1);
        if (n <= 0 || std::string(link, static_cast<std::size_t>(n)) != dir)
            continue;
        n = readlink((base + "/exe").c_str(), link, sizeof link - 1);
        if (n > 0 && std::string(link, static_cast<std::size_t>(n)) == TRAXEL_BIN)
            found = std::atoi(e->d_name);
    }
    closedir(procs);
    return found;
}

TEST(Detaching, StartedAsTheLauncherDoesItLetsTheStartersOutputEnd)
{
    SKIP_UNLESS_CAPTURE();
    std::string dir = install_dir_with(cfg);
    child p = spawn_daemon(dir, {});
    bool late_out, late_err;
    std::string out = read_rest(p.out(), 10000, &late_out);
    std::string err = read_rest(p.err(), 10000, &late_err);
    int status = p.wait(10000);
    EXPECT_FALSE(late_out);
    EXPECT_FALSE(late_err);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
    EXPECT_EQ(status, 0);
    pid_t d = daemon_in(dir);
    ASSERT_GT(d, 0);
    EXPECT_TRUE(pipe_held(dir + "/httpd/cgi-bin/loip.fifo", 10000));
    // The lock outlived the first process of the start, and names the daemon.
    result again = run(dir, {});
    EXPECT_EQ(again.err, running_line);
    EXPECT_EQ(again.status, 0);
    char named[16];
    std::snprintf(named, sizeof named, "%10d\n", static_cast<int>(d));
    EXPECT_EQ(file_text(dir + "/run/traxel.lock"), named);
    ASSERT_EQ(kill(d, SIGTERM), 0);
    for (int i = 0; i < 500 && daemon_in(dir) > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(daemon_in(dir), -1);
}

TEST(Scale, ElevenHundredGraphsStartUnderTheDefaultOpenFileLimit)
{
    // One descriptor per graph: the daemon raises the soft limit of 1024, as
    // a login or a service gets it, up to the hard one.
    SKIP_UNLESS_CAPTURE();
    REQUIRE_TOOL("/usr/bin/prlimit", "util-linux");
    std::string text = "window 1\n";
    for (int i = 0; i < 1100; ++i)
        text += "port" + std::to_string(i) + " " + std::to_string(40000 + i) + " 0 1 1\n";
    const std::string dir = install_dir_with(text);
    child d = spawn_daemon(dir, {"--nofile=1024:4096", TRAXEL_BIN, "-f", "-i", "lo"}, static_cast<uid_t>(-1),
                           static_cast<gid_t>(-1), "/usr/bin/prlimit");
    EXPECT_EQ(read_line(d.err(), 20000).rfind("traxel: counting 1100 graphs on lo ", 0), 0u);
    for (const char *g : {"port0", "port1099"})
        EXPECT_TRUE(pipe_held(dir + "/httpd/cgi-bin/" + g + ".fifo", 10000)) << g;
    ASSERT_EQ(kill(d.pid(), SIGTERM), 0);
    EXPECT_EQ(d.wait(10000), 0);
    EXPECT_EQ(read_rest(d.err(), 1000), "");
}

TEST(StartFaults, LockHeldByAnotherProgramIsNoDaemonRunning)
{
    // Only the daemon's user can open the lock; a process of that user that
    // holds it is named, and the start fails.
    std::string dir = install_dir_with(cfg);
    ASSERT_EQ(mkdir((dir + "/run").c_str(), 0755), 0);
    const int fd = open((dir + "/run/traxel.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    const std::string me = std::to_string(getpid());
    ASSERT_EQ(write(fd, me.data(), me.size()), static_cast<ssize_t>(me.size()));
    result r = run(dir, {});
    EXPECT_EQ(r.err, "traxel: run/traxel.lock is held by process " + me + " that is no traxel daemon; not started\n");
    EXPECT_EQ(r.status, 1);
    close(fd);
}

TEST(StartFaults, BadConfigurationIsOneLineAndExitOne)
{
    std::string dir = install_dir_with("window 5\nport80 eighty 0 1 1\n");
    result r = run(dir, {});
    EXPECT_EQ(r.err, "traxel: traxel.cfg: record 1 (port80): port \"eighty\" is not a number in 0..65535\n");
    EXPECT_EQ(r.status, 1);
}

TEST(StartFaults, MissingConfigurationIsNamed)
{
    std::string dir = install_dir_with("");
    ASSERT_EQ(unlink((dir + "/traxel.cfg").c_str()), 0);
    result r = run(dir, {});
    EXPECT_EQ(r.err, "traxel: traxel.cfg: No such file or directory\n");
    EXPECT_EQ(r.status, 1);
}

TEST(StartFaults, MissingCgiDirectoryIsNamed)
{
    std::string dir = install_dir_with(cfg);
    ASSERT_EQ(rmdir((dir + "/httpd/cgi-bin").c_str()), 0);
    result r = run(dir, {});
    EXPECT_EQ(r.err, "traxel: graph udpport not served: mkfifo httpd/cgi-bin/udpport.fifo: No such file or directory\n"
                     "traxel: graph loip not served: mkfifo httpd/cgi-bin/loip.fifo: No such file or directory\n"
                     "traxel: no graph can be served\n");
    EXPECT_EQ(r.status, 1);
}

TEST(StartFaults, GraphItsFeedCannotFindIsWarnedOf)
{
    // The feed of loip reads lonet's six tokens in its own layout of five
    // and falls out of step.
    std::string dir = install_dir_with("window 5 lonet 127.0.0.0 8 0 1 1 loip 127.0.0.1 0 1 1");
    ASSERT_EQ(rmdir((dir + "/httpd/cgi-bin").c_str()), 0);
    result r = run(dir, {});
    EXPECT_EQ(r.err,
              "traxel: traxel.cfg: graph loip: its feed will not find this record (records before it do not "
              "read in its layout)\n"
              "traxel: graph lonet not served: mkfifo httpd/cgi-bin/lonet.fifo: No such file or directory\n"
              "traxel: graph loip not served: mkfifo httpd/cgi-bin/loip.fifo: No such file or directory\n"
              "traxel: no graph can be served\n");
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
    give_to(dir, nobody);
    child p = spawn_daemon(dir, {}, nobody->pw_uid, nobody->pw_gid, reachable_daemon());
    EXPECT_EQ(read_rest(p.err(), 10000), "traxel: cannot capture on any: capture not permitted (run as root, or give "
                                        "the program cap_net_raw,cap_net_admin)\n");
    EXPECT_EQ(p.wait(10000), 1);
}

// Help goes to standard output with status 0; an unknown option or a
// stray argument gets the same text on standard error with status 2.
TEST(Usage, HelpOnStandardOutputAndMisuseOnStandardError)
{
    const result help = run("/", {"-h"});
    EXPECT_EQ(help.out.rfind("usage: traxel [-f] [-i interface]\n", 0), 0u) << help.out;
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.status, 0);
    const result longer = run("/", {"--help"});
    EXPECT_EQ(longer.out, help.out);
    EXPECT_EQ(longer.status, 0);
    for (const std::vector<std::string> &args : {std::vector<std::string>{"-q"}, {"-f", "stray"}}) {
        const result r = run("/", args);
        EXPECT_EQ(r.err.substr(r.err.find("usage:")), help.out) << args[0];
        EXPECT_EQ(r.status, 2) << args[0];
    }
}

}  // namespace
