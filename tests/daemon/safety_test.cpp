// Tests of the running daemon's safety: the privileges it gives up and the files it refuses to write.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>

#include "frames.h"
#include "reachable.h"
#include "spawn.h"

namespace {

// The fields of /proc/<pid>/status, their values with blanks between.
std::map<std::string, std::string> status_of(pid_t pid)
{
    std::map<std::string, std::string> out;
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        std::size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string v = line.substr(colon + 1);
        for (char &c : v)
            if (c == '\t')
                c = ' ';
        std::size_t a = v.find_first_not_of(' '), b = v.find_last_not_of(' ');
        out[line.substr(0, colon)] = a == std::string::npos ? "" : v.substr(a, b - a + 1);
    }
    return out;
}

const std::string none = "0000000000000000";

// The daemon's user holds no capability in any set and cannot get one.
void expect_unprivileged(pid_t pid, const passwd *pw)
{
    std::map<std::string, std::string> st = status_of(pid);
    std::string uid = std::to_string(pw->pw_uid), gid = std::to_string(pw->pw_gid);
    EXPECT_EQ(st["Uid"], uid + " " + uid + " " + uid + " " + uid);
    EXPECT_EQ(st["Gid"], gid + " " + gid + " " + gid + " " + gid);
    for (const char *set : {"CapEff", "CapPrm", "CapInh", "CapAmb"})
        EXPECT_EQ(st[set], none) << set;
    EXPECT_EQ(st["NoNewPrivs"], "1");
}

TEST(Privileges, ARootStartRunsAsNobodyWithNoCapabilityLeft)
{
    const passwd *nobody = getpwnam("nobody");
    if (geteuid() != 0 || !nobody)
        GTEST_SKIP() << "needs root and the user nobody";
    std::string dir = install_dir_with("window 1\nport47997 47997 0 1 1\n");
    running_daemon d(dir, {"-f", "-i", "lo"});
    std::string fifo = dir + "/httpd/cgi-bin/port47997.fifo";
    ASSERT_NE(d.first_sample(fifo), "");
    expect_unprivileged(d.p.pid, nobody);
    std::map<std::string, std::string> st = status_of(d.p.pid);
    EXPECT_EQ(st["Groups"], "");
    EXPECT_EQ(st["CapBnd"], none);
    // What it made as root it gave to its user, so a start as that user works.
    struct stat fs;
    ASSERT_EQ(stat(fifo.c_str(), &fs), 0);
    EXPECT_EQ(fs.st_uid, nobody->pw_uid);
    EXPECT_EQ(fs.st_mode & 07777, 0644u);
}

TEST(Privileges, FileCapabilitiesAreGivenUpOnceTheCaptureIsOpen)
{
    const passwd *nobody = getpwnam("nobody");
    if (geteuid() != 0 || !nobody)
        GTEST_SKIP() << "needs root and the user nobody";
    std::string dir = install_dir_with("window 1\nport47996 47996 0 1 1\n");
    ASSERT_EQ(chown((dir + "/httpd/cgi-bin").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    const reachable_dir copy;
    std::string bin = copy.add(TRAXEL_BIN, "traxel");
    if (std::system(("setcap cap_net_raw,cap_net_admin+ep " + bin + " 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "setcap is not available here";
    running_daemon d(dir, {"-f", "-i", "lo"}, nobody->pw_uid, nobody->pw_gid, bin);
    ASSERT_NE(d.first_sample(dir + "/httpd/cgi-bin/port47996.fifo"), "");
    expect_unprivileged(d.p.pid, nobody);
}

// Reads fd, a pipe without writers or a file, to its end.
std::string rest_of(int fd)
{
    std::string out;
    char buf[256];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<std::size_t>(n));
    return out;
}

TEST(Pipes, WhatIsNotTheGraphsOwnPipeIsRefusedAndTheOthersAreServed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to plant a pipe of another user";
    std::string dir = install_dir_with("window 1\nport47991 47991 0 1 1\nport47992 47992 0 1 1\n"
                                       "port47993 47993 0 1 1\nport47994 47994 0 1 1\n");
    std::string cgi = dir + "/httpd/cgi-bin/", outside = temp_dir();
    // Planted: links to a pipe and to a file elsewhere, and a pipe of uid 4242.
    std::string pipe_target = outside + "/target.fifo", file_target = outside + "/target";
    ASSERT_EQ(mkfifo(pipe_target.c_str(), 0666), 0);
    write_file(file_target, "precious\n");
    ASSERT_EQ(symlink(pipe_target.c_str(), (cgi + "port47991.fifo").c_str()), 0);
    ASSERT_EQ(symlink(file_target.c_str(), (cgi + "port47992.fifo").c_str()), 0);
    ASSERT_EQ(mkfifo((cgi + "port47993.fifo").c_str(), 0666), 0);
    ASSERT_EQ(chown((cgi + "port47993.fifo").c_str(), 4242, 4242), 0);
    ASSERT_EQ(chmod((cgi + "port47993.fifo").c_str(), 0666), 0);
    int planted = open(pipe_target.c_str(), O_RDONLY | O_NONBLOCK);
    int foreign = open((cgi + "port47993.fifo").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(planted, 0);
    ASSERT_GE(foreign, 0);

    running_daemon d(dir, {"-f", "-i", "lo"});
    ASSERT_NE(d.first_sample(cgi + "port47994.fifo"), "");
    std::string said;
    for (int i = 0; i < 3; ++i)
        said += read_line(d.p.err, 1000);
    const std::string head = "traxel: graph ", mid = " not served: httpd/cgi-bin/";
    EXPECT_EQ(said, head + "port47991" + mid + "port47991.fifo is a symbolic link\n" + head + "port47992" + mid +
                        "port47992.fifo is a symbolic link\n" + head + "port47993" + mid +
                        "port47993.fifo belongs to uid 4242, neither to uid 65534 nor to root\n");
    // A sample has been written, and none of it went where it does not belong.
    EXPECT_EQ(rest_of(planted), "");
    EXPECT_EQ(rest_of(foreign), "");
    close(planted);
    close(foreign);
    std::ifstream in(file_target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious\n");
    struct stat st;
    ASSERT_EQ(stat((cgi + "port47993.fifo").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4242u);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
}

}  // namespace
