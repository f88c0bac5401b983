// Bad configuration files and graph names: each start of the feed or the daemon ends with one clear line, without hanging or crashing.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <ostream>
#include <string>

#include "fault_env.h"
#include "unique_graph.h"

namespace {

// What lies at the configuration file's path.
enum class at_path { file, nothing, directory };

struct cfg_case {
    const char *what;
    at_path kind;
    std::string text;
    std::string line;  // the one line that the program prints about it
    int status;
};

// Test names show the case, not the record's bytes.
void PrintTo(const cfg_case &c, std::ostream *os) { *os << c.what; }

void lay_out(const installation &inst, const cfg_case &c)
{
    inst.write_cfg(c.text, c.kind != at_path::file);
    if (c.kind == at_path::directory) {
        ASSERT_EQ(mkdir((inst.dir() + "/traxel.cfg").c_str(), 0755), 0);
    }
}

const std::string feed_graph = unique_graph("port", 'c');
const std::string no_window = "No window of 1 to 35791394 minutes in the configuration file.\n";
const std::string no_record = "No record for graph " + feed_graph + " in the configuration file.\n";

const cfg_case feed_cases[] = {
    {"missing", at_path::nothing, "", "no-puedo-abrir-cfg-file\n", 0},
    {"directory", at_path::directory, "", no_window, 1},
    {"empty", at_path::file, "", no_window, 1},
    {"no window word", at_path::file, feed_graph + " 80 0 1 2\n", no_window, 1},
    {"window zero", at_path::file, "window 0\n" + feed_graph + " 80 0 1 2\n", no_window, 1},
    {"window negative", at_path::file, "window -5\n" + feed_graph + " 80 0 1 2\n", no_window, 1},
    {"window beyond an int", at_path::file, "window 99999999999\n" + feed_graph + " 80 0 1 2\n", no_window, 1},
    {"window in words", at_path::file, "window five\n" + feed_graph + " 80 0 1 2\n", no_window, 1},
    {"binary", at_path::file, std::string("\x7f" "ELF\x02\x01\x01\0\0\xff\xfe", 11), no_window, 1},
    {"no record", at_path::file, "window 5\nport81 81 0 1 2\n", no_record, 1},
    {"record name of 300 characters", at_path::file, "window 5\n" + std::string(300, 'x') + " 1 2 3 4\n",
     no_record, 1},
    {"only the window", at_path::file, "window 5\n", no_record, 1},
};

class FeedConfiguration : public ::testing::TestWithParam<cfg_case> {};

TEST_P(FeedConfiguration, EndsWithOneLine)
{
    const cfg_case &c = GetParam();
    installation inst("", {feed_graph});
    lay_out(inst, c);
    child feed = inst.start_feed(feed_graph, "dhle,60,0s");
    const pid_t pid = feed.pid();
    EXPECT_EQ(feed.wait(5000), c.status);
    EXPECT_EQ(read_rest(feed.out(), 1000),
              "Content-type: text/html\n\nMISS-0--pid-" + std::to_string(pid) + "\n" + c.line);
    // Refused before the take-over: no pid file.
    EXPECT_EQ(pid_in_file(feed_graph), -1);
}

const std::string daemon_head = "traxel: traxel.cfg: ";
const std::string no_window_d = daemon_head + "does not start with \"window\" and a number of minutes in 1..1440\n";

const cfg_case daemon_cases[] = {
    {"missing", at_path::nothing, "", daemon_head + "No such file or directory\n", 1},
    {"directory", at_path::directory, "", daemon_head + "read error\n", 1},
    {"empty", at_path::file, "", no_window_d, 1},
    {"window zero", at_path::file, "window 0\nport80 80 0 1 2\n", no_window_d, 1},
    {"window over a day", at_path::file, "window 1441\nport80 80 0 1 2\n", no_window_d, 1},
    {"binary", at_path::file, std::string("\x7f" "ELF\x02\x01\x01\0\0\xff\xfe", 11), no_window_d, 1},
    {"no records", at_path::file, "window 5\n", daemon_head + "no graph records\n", 1},
    {"port out of range", at_path::file, "window 5\nport80 70000 0 1 2\n",
     daemon_head + "record 1 (port80): port \"70000\" is not a number in 0..65535\n", 1},
    {"name too long", at_path::file, "window 5\nport-too-long-1 80 0 1 2\n",
     daemon_head + "record 1 (port-too-long-1): name longer than 12 characters\n", 1},
    {"name without a kind", at_path::file, "window 5\ngraph1 80 0 1 2\n",
     daemon_head + "record 1 (graph1): name holds none of the words port, proto, sock, net, ip\n", 1},
    {"second record of a name", at_path::file, "window 5\nport80 80 0 1 2\nport80 81 0 1 2\n",
     daemon_head + "record 2 (port80): a second record of this name\n", 1},
    {"file ends inside a record", at_path::file, "window 5\nip-h 127.0.0.1 0 1\n",
     daemon_head + "record 1 (ip-h): the file ends inside the record\n", 1},
    {"network not dotted", at_path::file, "window 5\nnetx 10.0.0 255.0.0.0 0 1 2\n",
     daemon_head + "record 1 (netx): network \"10.0.0\" is neither a dotted IPv4 nor an IPv6 address\n", 1},
    {"limit not a number", at_path::file, "window 5\nproto1 1 0 lots 2\n",
     daemon_head + "record 1 (proto1): maximum \"lots\" is not a number in -2147483648..2147483647\n", 1},
    {"over a mebibyte", at_path::file, "window 5\n" + std::string(1 << 20, ' ') + "port80 80 0 1 2\n",
     daemon_head + "larger than 1048576 bytes\n", 1},
};

class DaemonConfiguration : public ::testing::TestWithParam<cfg_case> {};

TEST_P(DaemonConfiguration, EndsWithOneLine)
{
    const cfg_case &c = GetParam();
    installation inst("", {});
    lay_out(inst, c);
    child daemon = inst.start_daemon();
    EXPECT_EQ(daemon.wait(5000), c.status);
    EXPECT_EQ(read_rest(daemon.err(), 1000), c.line);
    EXPECT_EQ(read_rest(daemon.out(), 0), "");
}

// gtest names allow letters, digits and underscores only.
std::string case_name(const ::testing::TestParamInfo<cfg_case> &i)
{
    std::string n = i.param.what;
    for (char &ch : n)
        if (!std::isalnum(static_cast<unsigned char>(ch)))
            ch = '_';
    return n;
}

INSTANTIATE_TEST_SUITE_P(Faults, FeedConfiguration, ::testing::ValuesIn(feed_cases), case_name);
INSTANTIATE_TEST_SUITE_P(Faults, DaemonConfiguration, ::testing::ValuesIn(daemon_cases), case_name);

// Graph names go into paths and shell commands: a link under a name with
// other characters is refused before any file is touched.
class GraphName : public ::testing::TestWithParam<const char *> {};

TEST_P(GraphName, RefusedBeforeAnyFile)
{
    const std::string name = GetParam();
    installation inst("window 5\n" + name + " 80 0 1 2\n", {name});
    child feed = inst.start_feed(name, "dhle,60,0s");
    EXPECT_EQ(feed.wait(5000), 1);
    EXPECT_EQ(read_rest(feed.out(), 1000),
              "Content-type: text/html\n\nGraph name must be 1 to 12 letters, digits, '.', '_' or '-'.\n");
    EXPECT_NE(access(("/tmp/" + name + ".pid").c_str(), F_OK), 0);
}

INSTANTIATE_TEST_SUITE_P(Faults, GraphName, ::testing::Values("p;port", "$(id)port", "port 80", "port80-toolong"),
                         [](const ::testing::TestParamInfo<const char *> &i) { return "name" + std::to_string(i.index); });

}  // namespace
