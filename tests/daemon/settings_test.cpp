// Tests of the built daemon: capture.cfg lines it refuses, and packets lost for want of buffer.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>

#include "files.h"
#include "host.h"
#include "loopback.h"
#include "spawn.h"

namespace {

// A user whose primary group is root, made for a test and removed after it.
struct group_root_user {
    std::string name = "trx0g" + std::to_string(getpid() % 100000);
    bool made = geteuid() == 0 &&
                std::system(("useradd -M -N -g 0 -s /usr/sbin/nologin " + name + " 2>/dev/null").c_str()) == 0;
    ~group_root_user()
    {
        if (made) {
            EXPECT_EQ(std::system(("userdel " + name).c_str()), 0);
        }
    }
};

TEST(Settings, ABadLineRefusesTheStartWithItsNumber)
{
    const group_root_user g0;
    const struct {
        std::string text, line;
    } table[] = {
        {"interface\n", "1: interface needs a value"},
        {"# comment\n\nbuffer 0  # none\n", "3: buffer \"0\" is not a number of MiB in 1..1024"},
        {"colour blue\n", "1: unknown key \"colour\" (keys: interface, unit, user, buffer, textfile, method)"},
        {"interface lo eth0\n", "1: interface takes one value, not 2"},
        {"unit bytes\n", "1: unit \"bytes\" is not packets, bits or kbits"},
        {"unit kbits sock22\n", "1: graph sock22 counts new connections; its unit can only be packets"},
        {"user no-such-user-1\n", "1: no user \"no-such-user-1\""},
        {"user root\n", "1: user \"root\" is root; name an unprivileged user"},
        {"method ebpf\n", "1: method \"ebpf\" is not auto, kernel or pcap"},
        {"user " + g0.name + "\n", "1: user \"" + g0.name + "\" has group root as its primary group; name an "
                                   "unprivileged user"},
    };
    for (const auto &row : table) {
        if (row.text == "user " + g0.name + "\n" && !g0.made)
            continue;
        std::string dir = install_dir_with("window 1\nport80 80 0 1 1\nsock22 22 0 1 1\n");
        write_file(dir + "/capture.cfg", row.text);
        result r = run(dir, {});
        EXPECT_EQ(r.err, "traxel: capture.cfg:" + row.line + "\n") << row.text;
        EXPECT_EQ(r.status, 1) << row.text;
        // Refused before anything was made or captured.
        EXPECT_NE(access((dir + "/httpd/cgi-bin/port80.fifo").c_str(), F_OK), 0) << row.text;
    }
}

TEST(Drops, PacketsLostForWantOfBufferAreSaidAndCounted)
{
    SKIP_UNLESS_CAPTURE();
    std::string dir = install_dir_with("window 1\nport47985 47985 0 1 1\n");
    write_file(dir + "/capture.cfg", "interface lo\nbuffer 1\nmethod pcap\n");
    running_daemon d(dir, {"-f"});
    ASSERT_NE(d.first_sample(dir + "/httpd/cgi-bin/port47985.fifo"), "");
    // A stopped daemon reads nothing: far more frames than 1 MiB holds.
    ASSERT_EQ(kill(d.p.pid(), SIGSTOP), 0);
    send_udp(47985, 30000, 1);
    ASSERT_EQ(kill(d.p.pid(), SIGCONT), 0);
    EXPECT_EQ(read_line(d.p.err(), 0), "traxel: counting 1 graph on lo with libpcap\n");
    std::string said = read_line(d.p.err(), 12000);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(said, m,
                                 std::regex("traxel: capture on lo: ([0-9]+) packets lost in this interval, counts "
                                            "are short \\(([0-9]+) for want of room in the kernel's buffer, "
                                            "([0-9]+) by the interface\\)\n")))
        << said;
    EXPECT_GT(std::stol(m[2]), 0);
    EXPECT_EQ(std::stol(m[1]), std::stol(m[2]) + std::stol(m[3]));
    const std::string counted =
        "traxel_capture_dropped_packets_total{interface=\"lo\",where=\"kernel\"} " + m[2].str() + "\n";
    std::string text = file_with(dir + "/run/traxel.prom", counted);
    EXPECT_NE(text.find(counted), std::string::npos) << text;
}

}  // namespace
