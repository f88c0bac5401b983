// The built multiplexed feed run as a web server runs it, over the built feed programs of a temporary installation.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "fault_env.h"
#include "unique_graph.h"

namespace {

namespace fs = std::filesystem;

// Three port graphs named after this test process, so pid files stay ours.
const std::vector<std::string> graph_names = {unique_graph("port", 'a'), unique_graph("port", 'b'),
                                              unique_graph("port", 'c')};

// A writer holding a graph's pipe open, as the daemon does.
struct writer {
    int fd;
    explicit writer(const std::string &fifo) : fd(open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) {}
    ~writer() { close(fd); }
    bool put(const std::string &line) { return write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()); }
};

// The installation with the multiplexer beside the feed links and a pipe per
// graph.
struct mux_env : installation {
    const std::vector<std::string> &graphs = graph_names;
    mux_env()
        : installation("window 5\n" + graph_names[0] + " 80 0 10 5\n" + graph_names[1] + " 80 0 10 5\n" +
                           graph_names[2] + " 80 0 10 5\n",
                       graph_names)
    {
        fs::create_symlink(FEEDS_BIN, cgi() + "/feeds");
        for (const std::string &g : graphs)
            mkfifo(fifo(g).c_str(), 0600);
    }
    // Starts the multiplexer with query; through sh when SIGPIPE is to be ignored.
    child start(const std::string &query, bool ignore_pipe = false) const
    {
        const std::vector<std::pair<std::string, std::string>> env = {{"REQUEST_METHOD", "GET"},
                                                                      {"QUERY_STRING", query}};
        if (ignore_pipe)
            return spawn(cgi(), "/bin/sh", {"sh", "-c", "trap '' PIPE; exec ./feeds"}, env);
        return spawn(cgi(), "./feeds", {"feeds"}, env);
    }
};

// Reads the response until a line starts with each of prefixes, waiting up
// to 10 s for each; returns all read.
std::string read_to(const child &c, const std::vector<std::string> &prefixes)
{
    std::string seen;
    for (const std::string &p : prefixes)
        if (seen.find("\n" + p) == std::string::npos)
            read_until(c.out(), p, 10000, seen);
    return seen;
}

// The start of the tagged threshold line of graph g, the last before its
// live samples.
std::string limit_line(const std::string &g) { return g + " <" + g + " "; }

// The feed pids that the "+" lines of text announce, by graph.
std::map<std::string, pid_t> started(const std::string &text)
{
    std::map<std::string, pid_t> pids;
    for (const std::string &l : lines_of(text))
        if (l.size() > 1 && l[0] == '+')
            pids[l.substr(1, l.find(' ') - 1)] = std::stoi(l.substr(l.find(' ') + 1));
    return pids;
}

TEST(Feeds, LinesOfEveryGraphArriveTaggedFromFeedsStartedAsByTheWebServer)
{
    mux_env env;
    std::vector<std::unique_ptr<writer>> w;
    for (size_t i = 0; i < env.graphs.size(); ++i) {
        w.push_back(std::make_unique<writer>(env.fifo(env.graphs[i])));
        for (int j = 1; j <= 3; ++j)
            ASSERT_TRUE(w[i]->put("10:00:0" + std::to_string(j) + " " + std::to_string(100 * i + j) + "\n"));
    }
    // What a feed says on standard error goes to the web server's log.
    const std::string planted = "/tmp/" + env.graphs[2] + ".pid";
    ASSERT_EQ(mkfifo(planted.c_str(), 0666), 0);
    child mux = env.start("k=0&g=" + env.graphs[0] + "," + env.graphs[1] + "&g=" + env.graphs[2]);
    // Each graph's last sample echo, and its empty line after it.
    std::string text = read_to(mux, {env.graphs[0] + " 10:00:03", env.graphs[1] + " 10:00:03", env.graphs[2] + " 10:00:03"});
    text += read_rest(mux.out(), 500);
    std::map<std::string, std::vector<std::string>> per_graph;
    for (const std::string &l : lines_of(text.substr(text.find("\n\n") + 2)))
        if (l[0] != '+')
            per_graph[l.substr(0, l.find(' '))].push_back(l.substr(l.find(' ') + 1));
    const std::map<std::string, pid_t> pids = started(text);
    ASSERT_EQ(pids.size(), 3u) << text;
    for (size_t i = 0; i < env.graphs.size(); ++i) {
        const std::string &g = env.graphs[i];
        const std::string pid = std::to_string(pids.at(g));
        std::vector<std::string> want = {"MISS-0--pid-" + pid, "new-pid-" + pid, "SON-MENOS-DE-300-SEGUNDOS",
                                         "^" + g + " 10", "_" + g + " 0", "<" + g + " 5"};
        for (int j = 1; j <= 3; ++j) {
            const std::string v = std::to_string(100 * i + j);
            want.insert(want.end(), {"data-" + v, "10:00:0" + std::to_string(j) + " " + v, ""});
        }
        EXPECT_EQ(per_graph[g], want) << g << " in\n" << text;
        // As the web server runs a CGI program: in its directory, under the
        // bare graph name, with a GET of the page's history length.
        EXPECT_EQ(fs::read_symlink("/proc/" + pid + "/cwd"), fs::path(env.cgi()));
        EXPECT_EQ(file_text("/proc/" + pid + "/cmdline"), g + '\0');
        const std::string environ = '\0' + file_text("/proc/" + pid + "/environ");
        for (const std::string var : {"REQUEST_METHOD=GET", "QUERY_STRING=dhle,60,0s"})
            EXPECT_NE(environ.find('\0' + var + '\0'), std::string::npos) << var;
    }
    EXPECT_EQ(text.rfind("Content-Type: text/plain; charset=utf-8\nCache-Control: no-store\nX-Accel-Buffering: no\n\n+", 0),
              0u)
        << text;
    EXPECT_EQ(read_line(mux.err(), 2000), "plotfeed: " + planted + " is not a regular file; not read\n");
    // With every graph quiet, an empty line after half an interval: a web
    // server learns that its client left only from its writes to it.
    EXPECT_EQ(read_line(mux.out(), 4000), "\n");
}

// How the client goes: its end of the response closed (SIGPIPE ignored or
// not), or the web server ending the program.
enum class leave { close_default, close_ignored, sigterm };

class ClientGone : public ::testing::TestWithParam<leave> {};

TEST_P(ClientGone, EveryFeedEndsAtOnce)
{
    mux_env env;
    std::vector<std::unique_ptr<writer>> w;
    for (const std::string &g : env.graphs)
        w.push_back(std::make_unique<writer>(env.fifo(g)));
    child mux = env.start("k=0&g=" + env.graphs[0] + "," + env.graphs[1] + "," + env.graphs[2],
                          GetParam() == leave::close_ignored);
    const std::string text = read_to(mux, {limit_line(env.graphs[0]), limit_line(env.graphs[1]), limit_line(env.graphs[2])});
    const std::map<std::string, pid_t> pids = started(text);
    ASSERT_EQ(pids.size(), 3u) << text;
    const auto left = std::chrono::steady_clock::now();
    if (GetParam() == leave::sigterm)
        kill(mux.pid(), SIGTERM);
    else
        close(mux.out());  // the child object closes it again harmlessly
    EXPECT_NE(mux.wait(5000), -1) << "the multiplexer outlived its client";
    for (const auto &[g, pid] : pids) {
        EXPECT_FALSE(process_alive(pid)) << g << " outlived its client";
        EXPECT_FALSE(fs::exists("/tmp/" + g + ".pid")) << g << ": a pid file names a feed that ended";
    }
    EXPECT_TRUE(processes_in(env.cgi()).empty());
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - left);
    EXPECT_LT(took.count(), 3000) << "no sample was due: the feeds must not wait for one";
}

INSTANTIATE_TEST_SUITE_P(Feeds, ClientGone,
                         ::testing::Values(leave::close_default, leave::close_ignored, leave::sigterm));

TEST(Feeds, PlainFeedRequestTakesOneGraphOverAndTheOthersGoOn)
{
    mux_env env;
    writer a(env.fifo(env.graphs[0])), b(env.fifo(env.graphs[1]));
    child mux = env.start("k=0&g=" + env.graphs[0] + "," + env.graphs[1]);
    std::string text = read_to(mux, {limit_line(env.graphs[0]), limit_line(env.graphs[1])});
    child plain = env.start_feed(env.graphs[0], "dhle,60,0s");
    text += read_to(mux, {"=" + env.graphs[0] + " "});
    EXPECT_NE(text.find("\n=" + env.graphs[0] + " taken-over " + std::to_string(plain.pid()) + "\n"),
              std::string::npos) << text;
    ASSERT_TRUE(b.put("10:00:05 77\n"));
    text += read_to(mux, {env.graphs[1] + " 10:00:05 77"});
    EXPECT_NE(text.find("\n" + env.graphs[1] + " data-77\n"), std::string::npos) << text;
    EXPECT_TRUE(mux.running());
    EXPECT_TRUE(plain.running());
    // Once the page goes, the pid file of its feed goes, the plain feed's stays.
    kill(mux.pid(), SIGTERM);
    EXPECT_NE(mux.wait(5000), -1);
    EXPECT_EQ(pid_in_file(env.graphs[0]), plain.pid());
    EXPECT_FALSE(fs::exists("/tmp/" + env.graphs[1] + ".pid"));
}

TEST(Feeds, NoFeedBeyondTheSlotsOfTheHost)
{
    // Every slot held, as by 1024 running feeds: the page's request and a
    // plain feed are refused before they start anything.
    mux_env env;
    const int fd = open((env.dir() + "/httpd/feed.lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    struct flock all {};
    all.l_type = F_WRLCK;
    all.l_whence = SEEK_SET;
    all.l_start = 1;
    all.l_len = 1024;
    ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &all), 0);
    const std::string line = "Too many feeds running on this host (at most 1024); try again later.\n";
    child mux = env.start("k=0&g=" + env.graphs[0]);
    EXPECT_EQ(read_rest(mux.out(), 5000), "Status: 503 Service Unavailable\nContent-Type: text/plain; "
                                          "charset=utf-8\nCache-Control: no-store\n\n" + line);
    EXPECT_EQ(mux.wait(5000), 1);
    child plain = env.start_feed(env.graphs[0], "dhle,60,0s");
    EXPECT_EQ(read_rest(plain.out(), 5000), "Status: 503 Service Unavailable\nContent-type: text/html\n\n" + line);
    EXPECT_EQ(plain.wait(5000), 1);
    EXPECT_EQ(pid_in_file(env.graphs[0]), -1);
    close(fd);
}

TEST(Feeds, BadRequestsAreRefusedInOneLineAndStartNothing)
{
    mux_env env;
    const std::string &a = env.graphs[0];
    fs::create_symlink("plotfeed", env.cgi() + "/../nolink");  // a program outside the CGI directory
    std::string many = "k=1&g=" + a;
    for (int i = 0; i < 256; ++i)
        many += ",x" + std::to_string(i);
    const struct {
        std::string query, line;
    } cases[] = {
        {"g=" + a, "No history length k=<seconds> in the query."},
        {"k=300", "No graph g=<graph>[,<graph>...] in the query."},
        {"k=-1&g=" + a, "History length k must be 0 to 999999999 seconds."},
        {"k=300&g=" + a + "&x=1", "Query field \"x\" is not k=<seconds> or g=<graph>[,<graph>...]."},
        {"k%00x=300&g=" + a, "Query field \"k?x\" is not k=<seconds> or g=<graph>[,<graph>...]."},
        {"k=300&g=" + a + "%00junk", "Graph name \"" + a + "?junk\" is not 1 to 12 letters, digits, '.', '_' or '-'."},
        {"k=300&g=" + a + ",..%2Fnolink", "Graph name \"../nolink\" is not 1 to 12 letters, digits, '.', '_' or '-'."},
        {"k=300&g=" + a + "," + a, "Graph " + a + " is asked for twice."},
        {"k=300&g=" + a + ",port9", "No record for graph port9 in the configuration file."},
        {"k=300&g=" + a + ",feeds", "Graph name feeds holds none of the kinds port, proto, sock, net, ip."},
        {many, "More than 256 graphs asked for."},
    };
    for (const auto &c : cases) {
        child mux = env.start(c.query);
        EXPECT_EQ(read_rest(mux.out(), 5000),
                  "Status: 400 Bad Request\nContent-Type: text/plain; charset=utf-8\nCache-Control: no-store\n\n" +
                      c.line + "\n") << c.query;
        EXPECT_EQ(mux.wait(5000), 1) << c.query;
        EXPECT_EQ(pid_in_file(a), -1) << c.query << ": a feed started";
    }
    // A configured graph whose program is missing.
    fs::remove(env.cgi() + "/" + env.graphs[1]);
    child mux = env.start("k=300&g=" + a + "," + env.graphs[1]);
    EXPECT_NE(read_rest(mux.out(), 5000).find("\n\nGraph " + env.graphs[1] + " has no feed program in the CGI directory.\n"),
              std::string::npos);
    EXPECT_EQ(pid_in_file(a), -1);
}

// A client that takes nothing for longer than two sample intervals: the
// graph's lines are dropped whole and counted, the rest arrives framed.
// Slow: about 12 s, the two intervals and the time to fill the pipes.
TEST(Feeds, ClientThatFallsBehindLosesWholeLinesCounted)
{
    mux_env env;
    const std::string &g = env.graphs[0];
    writer w(env.fifo(g));
    child mux = env.start("k=0&g=" + g);
    std::string text = read_to(mux, {limit_line(g)});
    constexpr int samples = 20000;
    int written = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (written < samples && std::chrono::steady_clock::now() < until) {
        while (written < samples && w.put("12:00:00 " + std::to_string(written) + "\n"))
            ++written;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(written, samples) << "the feed stopped taking samples: nothing was dropped";
    close(w.fd);
    w.fd = -1;
    text += read_rest(mux.out(), 10000);
    long lines = 0, lost = 0, live = 0;
    for (const std::string &l : lines_of(text.substr(text.find("\n\n") + 2))) {
        if (l[0] == '!' && l.rfind("!" + g + " ", 0) == 0)
            lost += std::stol(l.substr(g.size() + 2));
        else if (l.rfind(g + " ", 0) == 0) {
            ++lines;
            live += l.rfind(g + " data-", 0) == 0;
        } else
            EXPECT_TRUE(l[0] == '+' || l == "=" + g + " exit 0") << "unframed line: " << l;
    }
    EXPECT_GT(lost, 0);
    EXPECT_GT(live, 0);
    // Six start-up lines, then three lines per sample.
    EXPECT_EQ(lines + lost, 6 + 3L * samples);
    EXPECT_EQ(mux.wait(5000), 0);
}

}  // namespace
