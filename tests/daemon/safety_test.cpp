// Tests of the running daemon given capture.cfg: the privileges it gives up, the files it refuses, units, published counters and window.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include "files.h"
#include "host.h"
#include "loopback.h"
#include "spawn.h"

namespace {

// The fields of /proc/<pid>/status, their words one blank apart.
std::map<std::string, std::string> status_of(pid_t pid)
{
    std::map<std::string, std::string> out;
    for (const std::string &line : lines_of(file_text("/proc/" + std::to_string(pid) + "/status"))) {
        std::istringstream words(line.substr(line.find(':') + 1));
        std::string &v = out[line.substr(0, line.find(':'))];
        for (std::string w; words >> w;)
            v += (v.empty() ? "" : " ") + w;
    }
    return out;
}

// The daemon runs as pw and holds no capability in any set, nor can it get
// one; with from_root, no groups and no bounding set either.
void expect_unprivileged(pid_t pid, const passwd *pw, bool from_root)
{
    std::map<std::string, std::string> st = status_of(pid);
    std::string uid = std::to_string(pw->pw_uid), gid = std::to_string(pw->pw_gid);
    EXPECT_EQ(st["Uid"], uid + " " + uid + " " + uid + " " + uid);
    EXPECT_EQ(st["Gid"], gid + " " + gid + " " + gid + " " + gid);
    for (const char *set : {"CapEff", "CapPrm", "CapInh", "CapAmb"})
        EXPECT_EQ(st[set], "0000000000000000") << set;
    EXPECT_EQ(st["NoNewPrivs"], "1");
    if (from_root) {
        EXPECT_EQ(st["CapBnd"], "0000000000000000");
        EXPECT_EQ(st["Groups"], "");
    }
}

// The inodes of the packet sockets of the host's network namespace.
std::set<std::string> packet_sockets()
{
    std::set<std::string> out;
    for (const std::string &line : lines_of(file_text("/proc/net/packet"))) {
        std::istringstream words(line);
        std::string w;
        for (int i = 0; i < 8 && words >> w; ++i) {
        }
        if (words >> w)
            out.insert(w);
    }
    return out;
}

// Whether process pid holds a packet socket.
bool holds_packet_socket(pid_t pid)
{
    const std::set<std::string> packet = packet_sockets();
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd/";
    for (int fd = 0; fd < 64; ++fd) {
        char link[64];
        const ssize_t n = readlink((fds + std::to_string(fd)).c_str(), link, sizeof link - 1);
        const std::string l(link, n > 0 ? static_cast<std::size_t>(n) : 0);
        if (l.rfind("socket:[", 0) == 0 && packet.count(l.substr(8, l.size() - 9)))
            return true;
    }
    return false;
}

// Started as the launcher starts it (as nobody, with the installation's file
// capabilities), the daemon counts in the kernel, holding no packet socket;
// with only those of capture it counts with libpcap and says why, its socket
// kept from sending. Either way it gives up every capability.
TEST(Privileges, FileCapabilitiesAreGivenUpOnceCountingStarted)
{
    const passwd *nobody = getpwnam("nobody");
    if (geteuid() != 0 || !nobody)
        GTEST_SKIP() << "needs root and the user nobody";
    const struct {
        const char *caps, *line;
        bool socket;
    } table[] = {
        {"cap_net_raw,cap_net_admin,cap_bpf,cap_perfmon", "traxel: counting 1 graph on lo in the kernel\n", false},
        {"cap_net_raw,cap_net_admin",
         "traxel: counting 1 graph on lo with libpcap; cannot count in the kernel: loading the counting programs: "
         "Operation not permitted (run as root, or give the program cap_bpf,cap_perfmon)\n",
         true},
    };
    for (const auto &row : table) {
        std::string dir = install_dir_with("window 1\nport47996 47996 0 1 1\n");
        give_to(dir, nobody);
        const std::string bin = reachable_daemon();
        REQUIRE_TOOL("/usr/sbin/setcap", "libcap2-bin");
        ASSERT_EQ(std::system(("setcap " + std::string(row.caps) + "+ep " + bin).c_str()), 0) << row.caps;
        running_daemon d(dir, {"-f", "-i", "lo"}, nobody->pw_uid, nobody->pw_gid, bin);
        ASSERT_NE(d.first_sample(dir + "/httpd/cgi-bin/port47996.fifo"), "") << row.caps;
        EXPECT_EQ(read_line(d.p.err(), 0), row.line);
        expect_unprivileged(d.p.pid(), nobody, false);
        EXPECT_EQ(holds_packet_socket(d.p.pid()), row.socket) << row.caps;
        EXPECT_EQ(status_of(d.p.pid())["Seccomp"], row.socket ? "2" : "0") << row.caps;
    }
}

TEST(RootStart, GivesUpRootServesOnlyItsOwnPipesInTheirUnitsAndPublishes)
{
    const passwd *nobody = getpwnam("nobody");
    if (geteuid() != 0 || !nobody)
        GTEST_SKIP() << "needs root and the user nobody";
    std::string dir = install_dir_with("window 1\nport47981 47981 0 1 1\nport47982 47982 0 1 1\n"
                                       "port47983 47983 0 1 1\nsock47984 47984 0 1 1\nport47991 1 0 1 1\n"
                                       "port47992 2 0 1 1\nport47993 3 0 1 1\n");
    std::string cgi = dir + "/httpd/cgi-bin/", outside = temp_dir(), textdir = temp_dir();
    ASSERT_EQ(chown(textdir.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    // Later unit lines win; a line for all graphs passes the sock graph by.
    write_file(dir + "/capture.cfg", "interface lo\nbuffer 4\nunit bits\nunit kbits port47982 # comment\n"
                                     "unit packets port47983\ntextfile " + textdir + "\n");
    // Planted: links to a pipe and to a file elsewhere, a pipe of uid 4242.
    std::string pipe_target = outside + "/target.fifo", file_target = outside + "/target";
    ASSERT_EQ(mkfifo(pipe_target.c_str(), 0600), 0);
    write_file(file_target, "precious\n");
    ASSERT_EQ(symlink(pipe_target.c_str(), (cgi + "port47991.fifo").c_str()), 0);
    ASSERT_EQ(symlink(file_target.c_str(), (cgi + "port47992.fifo").c_str()), 0);
    ASSERT_EQ(mkfifo((cgi + "port47993.fifo").c_str(), 0600), 0);
    ASSERT_EQ(chown((cgi + "port47993.fifo").c_str(), 4242, 4242), 0);
    int planted = open(pipe_target.c_str(), O_RDONLY | O_NONBLOCK);
    int foreign = open((cgi + "port47993.fifo").c_str(), O_RDONLY | O_NONBLOCK);

    running_daemon d(dir, {"-f"});
    const std::string first = d.first_sample(cgi + "port47981.fifo");
    ASSERT_NE(first, "");
    const std::string head = "traxel: graph ", mid = " not served: httpd/cgi-bin/";
    std::string said;
    for (int i = 0; i < 3; ++i)
        said += read_line(d.p.err(), 0);
    EXPECT_EQ(said,
              head + "port47991" + mid + "port47991.fifo is a symbolic link\n" + head + "port47992" + mid +
                  "port47992.fifo is a symbolic link\n" + head + "port47993" + mid +
                  "port47993.fifo belongs to uid 4242, neither to uid 65534 nor to root\n");
    expect_unprivileged(d.p.pid(), nobody, true);
    int rd[3];
    for (int i = 0; i < 3; ++i) {
        rd[i] = open((cgi + "port4798" + std::to_string(i + 1) + ".fifo").c_str(), O_RDONLY | O_NONBLOCK);
        // The other graphs' lines of that grid time may still be on their way.
        for (std::string l; i > 0 && (l = read_line(rd[i], 2000)).compare(0, 8, first, 0, 8) != 0;)
            ASSERT_NE(l, "") << "no line labelled " << first;
    }
    // Just after a sample, so the next covers the sends whole: each datagram
    // is 20 + 8 + 1000 bytes at the IP layer, 7196 bytes in 5 s. A loaded
    // machine may have taken the reads above close to the next grid time:
    // its lines are awaited first.
    if (next_grid_time() - time(nullptr) < 2) {
        for (int fd : rd)
            ASSERT_NE(read_line(fd, 12000), "");
    }
    for (uint16_t port : {47981, 47982, 47983})
        send_udp(port, 7, 1000);
    const char *want[] = {" 11514\n", " 12\n", " 7\n"};  // bit/s, kbit/s rounded, packets
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(read_line(rd[i], 12000).substr(8), want[i]) << i;
        close(rd[i]);
    }
    const std::string wanted = "traxel_graph_sample{graph=\"port47981\"} 11514\n";
    for (const std::string &prom : {dir + "/run/traxel.prom", textdir + "/traxel.prom"}) {
        std::string text = file_with(prom, wanted);
        for (const std::string &line :
             {wanted, std::string("traxel_bytes_total{graph=\"port47982\"} 7196\n"),
              std::string("traxel_graph_sample_unit_info{graph=\"port47982\",unit=\"kbits\"} 1\n"),
              std::string("traxel_graph_sample_unit_info{graph=\"sock47984\",unit=\"connections\"} 1\n")})
            EXPECT_NE(text.find(line), std::string::npos) << prom << " lacks " << line << text;
    }
    // The window for the page holds the same sample, last of the graph's values.
    const std::string window = file_with(dir + "/run/window.json", "11514]}");
    const std::size_t at = window.find("\n\"port47981\":{\"min\":0,\"max\":1,\"thres\":1,\"values\":[");
    EXPECT_TRUE(at != std::string::npos && window.find("11514]}", at) < window.find('\n', at + 1)) << window;
    // What it made as root it gave to its user; nothing reached the planted.
    struct stat st;
    for (const std::string &made : {cgi + "port47981.fifo", dir + "/run"})
        EXPECT_TRUE(stat(made.c_str(), &st) == 0 && st.st_uid == nobody->pw_uid) << made;
    char c;
    EXPECT_EQ(read(planted, &c, 1), 0);
    EXPECT_EQ(read(foreign, &c, 1), 0);
    EXPECT_EQ(file_text(file_target), "precious\n");
    ASSERT_EQ(stat((cgi + "port47993.fifo").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4242u);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    close(planted);
    close(foreign);
}

}  // namespace
