// Tests of the built daemon's check of its configuration and site file (traxel -n), which the installation lays out from.
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
                     "graph ip-host ip bits\ngraph net6-lab net kbits\nlisten 127.0.0.1\nport 8080\nweb-user nobody\nboot yes\nuser nobody\n");
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
         "traxel: capture.cfg:3: buffer \"0\" is not a number of MiB in 1..1024\n"},
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
    EXPECT_EQ(r.out, "window 5\ninterval 5\nper-connection 256\ngraph lonet net packets\ngraph loip ip packets\nlisten 127.0.0.1\nport 8080\nweb-user nobody\nboot yes\nuser nobody\n");
    EXPECT_EQ(r.status, 0);
}

// site.cfg beside the other two: every fault one line, and on success its
// keys; a unit line naming a graph that traxel.cfg lacks only warned of.
TEST(Check, SiteFileAndShippedSettingsBesideAnyGraphs)
{
    const struct {
        std::string capture, site;
        int status;
        std::string out, err;
    } table[] = {
        // The shipped settings beside a traxel.cfg of other graphs: warned of,
        // the graphs that exist take the unit.
        // The daemon runs as the web server's user unless capture.cfg says
        // otherwise.
        {"unit bits port80 port99\ntextfile /var/tmp\n", "listen ::1\nport 9000\nweb-user daemon\nboot no\n", 0,
         "window 1\ninterval 5\nper-connection 256\ngraph port80 port bits\ngraph sock22 sock connections\nlisten ::1\n"
         "port 9000\nweb-user daemon\nboot no\nuser daemon\ntextfile /var/tmp\n",
         "traxel: capture.cfg:1: no graph \"port99\" in traxel.cfg; the unit applies to the others\n"},
        {"\nuser nobody\n", "web-user daemon\n", 0,
         "window 1\ninterval 5\nper-connection 256\ngraph port80 port packets\ngraph sock22 sock connections\n"
         "listen 127.0.0.1\nport 8080\nweb-user daemon\nboot yes\nuser nobody\n",
         "traxel: capture.cfg:2: user nobody is not the web-user daemon of site.cfg: a daemon that the launcher starts "
         "runs as daemon and cannot write the pipes that a start as root gives nobody\n"},
        {"unit bytes\nbuffer 0\n", "port 65536\nlisten 10.0.0.1\nboot maybe\ncolour blue\n", 1, "",
         "traxel: capture.cfg:1: unit \"bytes\" is not packets, bits or kbits\n"
         "traxel: capture.cfg:2: buffer \"0\" is not a number of MiB in 1..1024\n"
         "traxel: site.cfg:1: port \"65536\" is not a number in 1..65535\n"
         "traxel: site.cfg:2: listen 10.0.0.1 is not a loopback address, and httpd/cgi-bin/.htpasswd cannot be read "
         "(No such file or directory): make it first, as in site.cfg(5), so that the launcher and the feeds ask a "
         "password\n"
         "traxel: site.cfg:3: boot \"maybe\" is not yes or no\n"
         "traxel: site.cfg:4: unknown key \"colour\" (keys: listen, port, web-user, boot)\n"},
        {"", "listen 127.0.0.9 8080\nweb-user root\nlisten localhost\n", 1, "",
         "traxel: site.cfg:1: listen takes one value, not 2\n"
         "traxel: site.cfg:2: web-user \"root\" is root; name an unprivileged user\n"
         "traxel: site.cfg:3: listen \"localhost\" is not an IPv4 or IPv6 address\n"},
    };
    for (const auto &row : table) {
        std::string dir = install_dir_with("window 1\nport80 80 0 1 1\nsock22 22 0 1 1\n");
        write_file(dir + "/capture.cfg", row.capture);
        write_file(dir + "/site.cfg", row.site);
        result r = run(dir, {"-n"});
        EXPECT_EQ(r.status, row.status) << row.site;
        EXPECT_EQ(r.out, row.out) << row.site;
        EXPECT_EQ(r.err, row.err) << row.site;
    }
    // With the password file, any address will do.
    std::string dir = install_dir_with("window 1\nport80 80 0 1 1\n");
    write_file(dir + "/site.cfg", "listen 0.0.0.0\n");
    write_file(dir + "/httpd/cgi-bin/.htpasswd", "admin:$2y$05$abcdefghijklmnopqrstuv\n");
    result r = run(dir, {"-n"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("listen 0.0.0.0\n"), std::string::npos) << r.out;
}

}  // namespace
