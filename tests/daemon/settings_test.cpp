// Tests of the built daemon under capture.cfg: refused lines, units of the samples, the published counters, drops.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <thread>

#include "frames.h"
#include "spawn.h"

namespace {

const std::string graphs_cfg = "window 1\nport47981 47981 0 1 1\nport47982 47982 0 1 1\nport47983 47983 0 1 1\n"
                               "sock47984 47984 0 1 1\n";

TEST(Settings, ABadLineRefusesTheStartWithItsNumber)
{
    const std::string keys = "(keys: interface, unit, user, buffer, textfile)";
    const struct {
        std::string text, line;
    } table[] = {
        {"interface\n", "1: interface needs a value"},
        {"# comment\n\nbuffer 0  # none\n", "3: buffer \"0\" is not a number of MiB in 1..1024"},
        {"buffer 12k\n", "1: buffer \"12k\" is not a number of MiB in 1..1024"},
        {"buffer 1025\n", "1: buffer \"1025\" is not a number of MiB in 1..1024"},
        {"colour blue\n", "1: unknown key \"colour\" " + keys},
        {"interface lo eth0\n", "1: interface takes one value, not 2"},
        {"interface a-name-of-16-chars\n", "1: interface name \"a-name-of-16-chars\" longer than 15 characters"},
        {"unit bytes\n", "1: unit \"bytes\" is not packets, bits or kbits"},
        {"unit bits port47981 port99\n", "1: no graph \"port99\" in traxel.cfg"},
        {"unit kbits sock47984\n", "1: graph sock47984 counts new connections; its unit can only be packets"},
        {"user no-such-user-1\n", "1: no user \"no-such-user-1\""},
        {"user root\n", "1: user \"root\" is root; name an unprivileged user"},
        {"textfile metrics\n", "1: textfile \"metrics\" is not an absolute path"},
    };
    for (const auto &row : table) {
        std::string dir = install_dir_with(graphs_cfg);
        write_file(dir + "/capture.cfg", row.text);
        result r = run(dir, {});
        EXPECT_EQ(r.err, "traxel: capture.cfg:" + row.line + "\n") << row.text;
        EXPECT_EQ(r.status, 1) << row.text;
        // Refused before anything was made or captured.
        EXPECT_NE(access((dir + "/httpd/cgi-bin/port47981.fifo").c_str(), F_OK), 0) << row.text;
    }
}

// Sends n datagrams of size bytes to port on loopback.
void send_udp(uint16_t port, int n, std::size_t size)
{
    int tx = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(tx, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string payload(size, 'x');
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(sendto(tx, payload.data(), size, 0, reinterpret_cast<sockaddr *>(&a), sizeof a),
                  static_cast<ssize_t>(size));
    close(tx);
}

// The text of the file at path once it holds want, waiting up to 3 s; what
// it holds then otherwise.
std::string file_with(const std::string &path, const std::string &want)
{
    std::string text;
    for (int i = 0; i < 150; ++i) {
        std::ifstream in(path);
        text.assign(std::istreambuf_iterator<char>(in), {});
        if (text.find(want) != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return text;
}

TEST(Settings, UnitsShapeTheSamplesAndTheCountersArePublishedEachInterval)
{
    const passwd *nobody = getpwnam("nobody");
    if (geteuid() != 0 || !nobody)
        GTEST_SKIP() << "needs root to capture and the user nobody";
    std::string dir = install_dir_with(graphs_cfg), textdir = temp_dir();
    ASSERT_EQ(chown(textdir.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    // Later lines win; a line for all graphs passes the sock graph by.
    write_file(dir + "/capture.cfg", "interface lo\nbuffer 4\nunit bits\nunit kbits port47982 # trailing comment\n"
                                     "unit packets port47983\ntextfile " + textdir + "\n");
    running_daemon d(dir, {"-f"});
    const std::string cgi = dir + "/httpd/cgi-bin/";
    const std::string first = d.first_sample(cgi + "port47981.fifo");
    ASSERT_NE(first, "");
    int rd[3];
    for (int i = 0; i < 3; ++i) {
        rd[i] = open((cgi + "port4798" + std::to_string(i + 1) + ".fifo").c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(rd[i], 0);
        // The other graphs' lines of that grid time may still be on their way.
        for (std::string l; i > 0 && (l = read_line(rd[i], 2000)).compare(0, 8, first, 0, 8) != 0;)
            ASSERT_NE(l, "") << "no line labelled " << first;
    }
    // Just after a sample: the next one covers the sends whole. Each
    // datagram is 20 + 8 + 1000 bytes at the IP layer: 7196 bytes in 5 s.
    for (uint16_t port : {47981, 47982, 47983})
        send_udp(port, 7, 1000);
    std::string got[3];
    for (int i = 0; i < 3; ++i) {
        got[i] = read_line(rd[i], 12000);
        close(rd[i]);
    }
    EXPECT_EQ(got[0].substr(8), " 11514\n");  // 7196 * 8 / 5 bit/s
    EXPECT_EQ(got[1].substr(8), " 12\n");     // 11.5 kbit/s, rounded
    EXPECT_EQ(got[2].substr(8), " 7\n");
    const std::string wanted = "traxel_graph_sample{graph=\"port47981\"} 11514\n";
    for (const std::string &prom : {dir + "/run/traxel.prom", textdir + "/traxel.prom"}) {
        std::string text = file_with(prom, wanted);
        for (const std::string &line :
             {wanted, std::string("traxel_bytes_total{graph=\"port47982\"} 7196\n"),
              std::string("traxel_packets_total{graph=\"port47983\"} 7\n"),
              std::string("traxel_graph_sample_unit_info{graph=\"port47982\",unit=\"kbits\"} 1\n"),
              std::string("traxel_graph_sample_unit_info{graph=\"sock47984\",unit=\"connections\"} 1\n"),
              std::string("traxel_capture_dropped_packets_total{interface=\"lo\",where=\"kernel\"} 0\n")})
            EXPECT_NE(text.find(line), std::string::npos) << prom << " lacks " << line << text;
    }
    struct stat st;
    ASSERT_EQ(stat((dir + "/run").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, nobody->pw_uid);
}

TEST(Drops, PacketsLostForWantOfBufferAreSaidAndCounted)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to capture";
    std::string dir = install_dir_with("window 1\nport47985 47985 0 1 1\n");
    write_file(dir + "/capture.cfg", "interface lo\nbuffer 1\n");
    running_daemon d(dir, {"-f"});
    ASSERT_NE(d.first_sample(dir + "/httpd/cgi-bin/port47985.fifo"), "");
    // A stopped daemon reads nothing: far more frames than 1 MiB holds.
    ASSERT_EQ(kill(d.p.pid, SIGSTOP), 0);
    send_udp(47985, 30000, 1);
    ASSERT_EQ(kill(d.p.pid, SIGCONT), 0);
    std::string said = read_line(d.p.err, 12000);
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
