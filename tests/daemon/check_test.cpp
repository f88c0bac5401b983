// Tests of the built daemon's check of its configuration (traxel -n), which the installation lays out from.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>

#include "files.h"
#include "spawn.h"

namespace {

TEST(Check, PrintsWhatTheInstallationLaysOutAndTouchesNothing)
{
    const std::string dir = install_dir_with("window 30\nport80-http 80 0 1 1\nsock22 22 0 1 1\n"
                                             "proto-icmp6 58 0 1 1\nip-host 10.0.0.1 0 1 1\nnet6-lab fd77:: 64 0 1 1\n");
    write_file(dir + "/capture.cfg", "unit kbits\nunit bits ip-host\ninterface nosuchif0\n");
    // A running daemon's lock does not stand in the way.
    const int lock = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(lock, LOCK_EX | LOCK_NB), 0);
    result r = run(dir, {"-n"});
    close(lock);
    EXPECT_EQ(r.out, "window 30\ninterval 5\nper-connection 256\n"
                     "graph port80-http port kbits\ngraph sock22 sock connections\ngraph proto-icmp6 proto kbits\n"
                     "graph ip-host ip bits\ngraph net6-lab net kbits\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    // No pipe, no state directory.
    EXPECT_TRUE(std::filesystem::is_empty(dir + "/httpd/cgi-bin"));
    EXPECT_FALSE(std::filesystem::exists(dir + "/run"));
}

TEST(Check, EveryFaultOfBothFilesIsOneLineAndTheStatusOne)
{
    const struct {
        const char *cfg, *settings, *err;
    } cases[] = {
        {"window 5 port80 80 0 x 1 tcpproto 300 0 1 1 lonet 10.0.0.0 8 0 1 1",
         "unit bits lonet\nunit bytes\nbuffer 0\nunit kbits port99\n",
         "traxel: traxel.cfg: record 1 (port80): maximum \"x\" is not a number in -2147483648..2147483647\n"
         "traxel: traxel.cfg: record 2 (tcpproto): protocol \"300\" is not a number in 0..255\n"
         "traxel: capture.cfg:2: unit \"bytes\" is not packets, bits or kbits\n"
         "traxel: capture.cfg:3: buffer \"0\" is not a number of MiB in 1..1024\n"
         "traxel: capture.cfg:4: no graph \"port99\" in traxel.cfg\n"},
        // A record whose field is bad still names its graph for capture.cfg.
        {"window 5 sock22 x 0 1 1", "unit bits sock22\n",
         "traxel: traxel.cfg: record 1 (sock22): port \"x\" is not a number in 0..65535\n"
         "traxel: capture.cfg:1: graph sock22 counts new connections; its unit can only be packets\n"},
        {"window 5 port80 80 0 1 1", "unit packets\nkey value\n",
         "traxel: capture.cfg:2: unknown key \"key\" (keys: interface, unit, user, buffer, textfile, method)\n"},
    };
    for (const auto &c : cases) {
        const std::string dir = install_dir_with(c.cfg);
        write_file(dir + "/capture.cfg", c.settings);
        result r = run(dir, {"-n"});
        EXPECT_EQ(r.err, c.err) << c.cfg;
        EXPECT_EQ(r.out, "") << c.cfg;
        EXPECT_EQ(r.status, 1) << c.cfg;
    }
}

TEST(Check, AGraphItsFeedWillNotFindIsAWarning)
{
    result r = run(install_dir_with("window 5 lonet 127.0.0.0 8 0 1 1 loip 127.0.0.1 0 1 1"), {"-n"});
    EXPECT_EQ(r.err, "traxel: traxel.cfg: graph loip: its feed will not find this record (records before it do not "
                     "read in its layout)\n");
    EXPECT_EQ(r.out, "window 5\ninterval 5\nper-connection 256\ngraph lonet net packets\ngraph loip ip packets\n");
    EXPECT_EQ(r.status, 0);
}

}  // namespace
