// Tests of the built feed program, run as a web server runs it for one graph.
#include "feed_harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A case for graph g with window 5 and limits 0, 1000, 800.
feed_case graph_case(const std::string &g, const char *query)
{
    feed_case c;
    c.graph = g;
    c.cfg = "window 5\nport1 1 1 1 1\n" + g + " 80 0 1000 800\n";
    c.query = query;
    return c;
}

std::string limit_lines(const std::string &g)
{
    return "^" + g + " 1000\n_" + g + " 0\n<" + g + " 800\n";
}

// "eth0 <n>" lines numbered first to last.
std::string sample_lines(int first, int last)
{
    std::string s;
    for (int n = first; n <= last; ++n)
        s += "eth0 " + std::to_string(n) + "\n";
    return s;
}

// History points for samples first.. at indexes top, top - 1, ...
std::string points(int top, int first, int last)
{
    std::string s;
    for (int n = first, i = top; n <= last; ++n, --i)
        s += "old-" + std::to_string(i) + "-data-" + std::to_string(n) + "\n@eth0 -" +
             std::to_string(5 * i) + " " + std::to_string(n) + "\n";
    return s;
}

bool exited_with(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

const char backlog_head[] = "SON-300-SEGUNDOS\ntime1-T\nCOMI-1-DATO\ntime2-T\nCOMI-2do-DATO\n"
                            "PERO-ESTAN-EN-COLA\n";

TEST(Plotfeed, WaitingWindowBecomesHistoryAndRestGoesLive)
{
    feed_case c = graph_case(unique_graph("port", 'a'), "dhle,60,300s");
    c.backlog = sample_lines(1, 62);
    const feed_result r = run_feed(c);
    EXPECT_EQ(mask_times(r.out, r.started, r.ended),
              startup_lines(300, r.pid) + backlog_head + points(60, 1, 60) +
                  limit_lines(c.graph) + "data-61\neth0 61\n\ndata-62\neth0 62\n\n");
    EXPECT_TRUE(exited_with(r.status, 0));
    EXPECT_EQ(r.pid_file, std::to_string(r.pid) + "\n");
}

TEST(Plotfeed, GraphIsTheLastComponentOfAFullProgramPath)
{
    // Apache, lighttpd and fcgiwrap run the program by its full path, Apache
    // with the query as argv[1] too.
    feed_case c = graph_case(unique_graph("port", 'P'), "dhle,60,15s");
    c.full_path = true;
    c.backlog = sample_lines(1, 4);
    const feed_result r = run_feed(c);
    EXPECT_EQ(r.out, startup_lines(15, r.pid) + "SON-MENOS-DE-300-SEGUNDOS\n" + points(3, 1, 3) +
                         limit_lines(c.graph) + "data-4\neth0 4\n\n");
    EXPECT_EQ(r.pid_file, std::to_string(r.pid) + "\n");
}

TEST(Plotfeed, EmptyPipeTakesFirstTimePath)
{
    feed_case c = graph_case(unique_graph("port", 'b'), "dhle,60,300s");
    c.steps = {{"SON-300-SEGUNDOS", 0, "eth0 1\n"},
               {"COMI-1-DATO", 4000, "eth0 2\n"},
               {"COMI-2do-DATO", 0, "eth0 3\n"}};
    const feed_result r = run_feed(c);
    EXPECT_EQ(mask_times(r.out, r.started, r.ended),
              startup_lines(300, r.pid) +
                  "SON-300-SEGUNDOS\ntime1-T\nCOMI-1-DATO\ntime2-T\nCOMI-2do-DATO\n"
                  "PERO-ES-1a-VEZ\ndata1-1\n@eth0 -5 1\ndata2-2\neth0 2\n\n" +
                  limit_lines(c.graph) + "data-3\neth0 3\n\n");
    EXPECT_TRUE(exited_with(r.status, 0));
}

TEST(Plotfeed, LongWindowsOnEmptyPipeReachLimitsBeforeThirdSample)
{
    // The daemon's interval apart, the second sample had to wait for it, so
    // the limits follow it at once. Both windows run at the same time.
    const int windows[] = {10, 30};
    const std::string queries[] = {"dhle,60,600s", "dhle,60,1800s"};
    std::vector<feed_case> feeds(2);
    std::vector<std::future<feed_result>> runs;
    for (size_t i = 0; i < feeds.size(); ++i) {
        feed_case &c = feeds[i];
        c.graph = unique_graph("port", static_cast<char>('A' + i));
        c.cfg = "window " + std::to_string(windows[i]) + "\n" + c.graph + " 80 0 1000 800\n";
        c.query = queries[i].c_str();
        c.steps = {{"SEGUNDOS", 0, "eth0 1\n"},
                   {"COMI-1-DATO", 5000, "eth0 2\n"},
                   {"COMI-2do-DATO", 5000, "eth0 3\n"}};
        runs.push_back(std::async(std::launch::async, run_feed, std::cref(c)));
    }
    for (size_t i = 0; i < feeds.size(); ++i) {
        SCOPED_TRACE(windows[i]);
        const feed_result r = runs[i].get();
        const int k = windows[i] * 60;
        EXPECT_EQ(mask_times(r.out, r.started, r.ended),
                  startup_lines(k, r.pid) + "SON-" + std::to_string(k) +
                      "-SEGUNDOS\ntime1-T\nCOMI-1-DATO\ntime2-T\nCOMI-2do-DATO\n"
                      "PERO-ES-1a-VEZ\ndata1-1\n@eth0 -" + std::to_string(windows[i]) +
                      " 1\ndata2-2\neth0 2\n\n" + limit_lines(feeds[i].graph) +
                      "data-3\neth0 3\n\n");
    }
}

TEST(Plotfeed, LateReadAfterBacklogRescales)
{
    feed_case c = graph_case(unique_graph("port", 'c'), "dhle,60,300s");
    c.backlog = sample_lines(1, 20);
    c.steps = {{"old-41-data-20", 4000, "eth0 21\n"}, {"RESCALING", 0, "eth0 22\n"}};
    const feed_result r = run_feed(c);
    EXPECT_EQ(mask_times(r.out, r.started, r.ended),
              startup_lines(300, r.pid) + backlog_head + points(60, 1, 21) + "RESCALING-" +
                  c.graph + "\n" + limit_lines(c.graph) + "data-22\neth0 22\n\n");
}

TEST(Plotfeed, PartialPathStopsAtLateRead)
{
    feed_case c = graph_case(unique_graph("port", 'd'), "dhle,60,60s");
    c.backlog = sample_lines(1, 3);
    c.steps = {{"old-10-data-3", 4000, "eth0 4\n"}, {"RESCALING", 0, "eth0 5\n"}};
    const feed_result r = run_feed(c);
    EXPECT_EQ(r.out, startup_lines(60, r.pid) + "SON-MENOS-DE-300-SEGUNDOS\n" +
                         points(12, 1, 4) + "RESCALING-" + c.graph + "\n" +
                         limit_lines(c.graph) + "data-5\neth0 5\n\n");
}

TEST(Plotfeed, PartialPathReadsRequestedPoints)
{
    feed_case c = graph_case(unique_graph("port", 'e'), "dhle,60,60s&x=1");
    c.backlog = sample_lines(1, 13);
    const feed_result r = run_feed(c);
    EXPECT_EQ(r.out, startup_lines(60, r.pid) + "SON-MENOS-DE-300-SEGUNDOS\n" +
                         points(12, 1, 12) + limit_lines(c.graph) + "data-13\neth0 13\n\n");
}

TEST(Plotfeed, NoHistoryRequestedGoesStraightToLimits)
{
    const char *queries[] = {"foo=1", "", "dhle,60,4s"};
    char tag = 'f';
    for (const char *q : queries) {
        SCOPED_TRACE(q);
        feed_case c = graph_case(unique_graph("port", tag++), q);
        c.backlog = "cpu 42\n";
        const feed_result r = run_feed(c);
        const int k = q[0] == 'd' ? 4 : 0;
        EXPECT_EQ(r.out, startup_lines(k, r.pid) + "SON-MENOS-DE-300-SEGUNDOS\n" +
                             limit_lines(c.graph) + "data-42\ncpu 42\n\n");
        EXPECT_TRUE(exited_with(r.status, 0));
    }
}

TEST(Plotfeed, NulInSampleLineIsBlankToLabelValueAndEcho)
{
    // The first three become history points, the others live samples; a line
    // without a number keeps the last value.
    feed_case c = graph_case(unique_graph("port", 'H'), "dhle,60,15s");
    using namespace std::string_literals;
    c.backlog = "cpu\0 42\n\0mem 7\nab\0cd 5\nio 1\0 9\n\0\n"s;
    const feed_result r = run_feed(c);
    EXPECT_EQ(r.out, startup_lines(15, r.pid) + "SON-MENOS-DE-300-SEGUNDOS\n"
                     "old-3-data-42\n@cpu -15 42\nold-2-data-7\n@mem -10 7\nold-1-data-7\n@ab -5 7\n" +
                         limit_lines(c.graph) + "data-1\nio 1  9\n\ndata-1\n \n\n");
}

TEST(Plotfeed, MarkupInThePipeNeverReachesTheClient)
{
    // Another process of the web server's user may write into a graph's pipe.
    feed_case c = graph_case(unique_graph("port", 'M'), "dhle,60,5s");
    c.backlog = "<script src=//evil/x.js></script> 7\neth0 1\neth0 2\n<img onerror=x> 8\neth0 3\n";
    const feed_result r = run_feed(c);
    EXPECT_EQ(r.out, startup_lines(5, r.pid) + "SON-MENOS-DE-300-SEGUNDOS\n" + points(1, 1, 1) +
                         limit_lines(c.graph) + "data-2\neth0 2\n\ndata-3\neth0 3\n\n");
    const std::string note = "plotfeed: " + c.graph +
                             ": a line of the pipe with characters that no sample line holds was not passed on\n";
    EXPECT_EQ(r.err, note + note);
}

// Forks a process that only waits: a process of the feed's user that is no
// feed.
pid_t start_bystander()
{
    const pid_t pid = fork();
    if (pid == 0) {
        for (;;)
            pause();
    }
    return pid;
}

void write_pid_file(const std::string &graph, const std::string &text)
{
    std::ofstream f("/tmp/" + graph + ".pid");
    f << text;
    ASSERT_TRUE(f.good());
}

TEST(Plotfeed, TakeOverKillsOlderFeedAndRecordsItself)
{
    // A server may start the feed with SIGCHLD ignored: the shell's status is
    // then lost, but the shell ran and the kill was done.
    const struct {
        char tag;
        std::vector<int> ignored;
    } cases[] = {{'i', {}}, {'I', {SIGCHLD}}};
    for (const auto &tc : cases) {
        SCOPED_TRACE(tc.tag);
        feed_case c = graph_case(unique_graph("port", tc.tag), "foo=1");
        c.backlog = "cpu 42\n";
        c.ignored_signals = tc.ignored;
        c.older_feed = true;
        const feed_result r = run_feed(c);
        EXPECT_TRUE(WIFSIGNALED(r.older_status) && WTERMSIG(r.older_status) == SIGKILL);
        EXPECT_EQ(r.out, "Content-type: text/html\n\nMISS-0--pid-" + std::to_string(r.pid) +
                             "\nold-pid-" + std::to_string(r.older) + "\nnew-pid-" +
                             std::to_string(r.pid) + "\nSON-MENOS-DE-300-SEGUNDOS\n" +
                             limit_lines(c.graph) + "data-42\ncpu 42\n\n");
        EXPECT_EQ(r.pid_file, std::to_string(r.pid) + "\n");
        EXPECT_EQ(r.err, "") << "the older feed was killed and the old pid file removed";
    }
}

TEST(Plotfeed, PidFileNamingNoOtherFeedKillsNothing)
{
    // 0 would signal the feed's own process group, its own pid itself; a
    // process that is no feed of the graph (a stale or forged pid) is spared,
    // and a named pipe in place of the file is not waited on.
    const pid_t bystander = start_bystander();
    ASSERT_GT(bystander, 0);
    const std::string other = std::to_string(bystander);
    const struct {
        char tag;
        const char *text;   // nullptr: a named pipe; "self": the feed's pid
        std::string line;   // the old-pid line
    } cases[] = {{'j', "0\n", "old-pid-0\n"},
                 {'k', "self", "self"},
                 {'l', "abc\n", ""},
                 {'m', "", ""},
                 {'u', other.c_str(), "old-pid-" + other + "\n"},
                 {'F', nullptr, ""}};
    for (const auto &pc : cases) {
        SCOPED_TRACE(pc.tag);
        feed_case c = graph_case(unique_graph("port", pc.tag), "foo=1");
        c.backlog = "cpu 42\n";
        // Its note on standard error must not reach the client of mini_httpd.
        c.errors_to_out = pc.text == nullptr;
        if (pc.text == nullptr)
            ASSERT_EQ(mkfifo(("/tmp/" + c.graph + ".pid").c_str(), 0666), 0);
        else if (std::string(pc.text) == "self")
            c.before_exec = [&c](pid_t pid) {
                write_pid_file(c.graph, std::to_string(pid) + "\n");
            };
        else
            write_pid_file(c.graph, pc.text);
        const feed_result r = run_feed(c);
        const std::string old = pc.line == "self" ? "old-pid-" + std::to_string(r.pid) + "\n" : pc.line;
        EXPECT_EQ(r.out, "Content-type: text/html\n\nMISS-0--pid-" + std::to_string(r.pid) +
                             "\n" + old + "new-pid-" + std::to_string(r.pid) +
                             "\nSON-MENOS-DE-300-SEGUNDOS\n" + limit_lines(c.graph) +
                             "data-42\ncpu 42\n\n");
        EXPECT_TRUE(exited_with(r.status, 0));
        EXPECT_EQ(r.pid_file, std::to_string(r.pid) + "\n");
    }
    int status = 0;
    EXPECT_EQ(waitpid(bystander, &status, WNOHANG), 0) << "the bystander was killed";
    kill(bystander, SIGKILL);
    waitpid(bystander, &status, 0);
}

const char header[] = "Content-type: text/html\n\n";
const char method_lines[] = "This script should be referenced with a METHOD of GET.\n"
                            "If you don't understand this, see this <A HREF=\""
                            "/forms.html\">"
                            "forms overview</A>.\n";

TEST(Plotfeed, RequestFailuresEndBeforeAnyFile)
{
    const std::string many = [] {
        std::string q = "a";
        for (int i = 0; i < 10000; ++i)
            q += "&a";
        return q;
    }();
    const std::string long_field = "x=" + std::string(126, 'y');  // 128 characters
    const struct {
        char tag;
        const char *method;
        const char *query;
        std::string out;
    } cases[] = {
        {'n', "POST", "dhle,60,300s", std::string(header) + method_lines},
        {'o', nullptr, "dhle,60,300s", std::string(header) + method_lines},
        {'p', "get", "dhle,60,300s", std::string(header) + method_lines},
        {'q', "GET", nullptr, std::string(header) + "No query information to decode.\n"},
        {'r', "GET", many.c_str(),
         std::string(header) + "Query of more than 10000 entries refused.\n"},
        {'s', "GET", long_field.c_str(),
         std::string(header) + "Query field of more than 127 characters refused.\n"},
    };
    for (const auto &fc : cases) {
        SCOPED_TRACE(fc.tag);
        feed_case c = graph_case(unique_graph("port", fc.tag), fc.query);
        c.method = fc.method;
        const feed_result r = run_feed(c);
        EXPECT_EQ(r.out, fc.out);
        EXPECT_TRUE(exited_with(r.status, 1));
        EXPECT_FALSE(r.had_pid_file);
    }
}

TEST(Plotfeed, BadGraphNamesAreRefusedBeforeAnyFile)
{
    const std::string names[] = {unique_graph("port", 't') + "xyz",  // 13 characters
                                 "port;" + unique_graph("", 'u')};
    for (const std::string &g : names) {
        SCOPED_TRACE(g);
        const feed_result r = run_feed(graph_case(g, "dhle,60,300s"));
        EXPECT_EQ(r.out, std::string(header) +
                             "Graph name must be 1 to 12 letters, digits, '.', '_' or '-'.\n");
        EXPECT_TRUE(exited_with(r.status, 1));
        EXPECT_FALSE(r.had_pid_file);
    }
}

TEST(Plotfeed, ConfigurationFailures)
{
    const std::string g1 = unique_graph("port", 'v'), g2 = unique_graph("port", 'w');
    feed_case missing = graph_case(g1, "dhle,60,300s");
    missing.with_cfg = false;
    feed_case unlisted = graph_case(g2, "dhle,60,300s");
    unlisted.cfg = "window 5\nport1 1 1 1 1\n";
    const feed_result r1 = run_feed(missing);
    EXPECT_EQ(r1.out, std::string(header) + "MISS-300--pid-" + std::to_string(r1.pid) +
                          "\nno-puedo-abrir-cfg-file\n");
    EXPECT_TRUE(exited_with(r1.status, 0));
    EXPECT_FALSE(r1.had_pid_file);
    const feed_result r2 = run_feed(unlisted);
    EXPECT_EQ(r2.out, std::string(header) + "MISS-300--pid-" + std::to_string(r2.pid) +
                          "\nNo record for graph " + g2 + " in the configuration file.\n");
    EXPECT_TRUE(exited_with(r2.status, 1));
}

TEST(Plotfeed, MissingPipeEndsAfterPidFile)
{
    feed_case c = graph_case(unique_graph("port", 'x'), "dhle,60,300s");
    c.with_fifo = false;
    const feed_result r = run_feed(c);
    EXPECT_EQ(r.out, startup_lines(300, r.pid) + "No se puede abrir fifo file en r\n");
    EXPECT_TRUE(exited_with(r.status, 1));
    EXPECT_EQ(r.pid_file, std::to_string(r.pid) + "\n");
}

TEST(Plotfeed, UncreatablePidFileIsReportedAndFeedGoesOn)
{
    feed_case c = graph_case(unique_graph("port", 'y'), "foo=1");
    c.backlog = "cpu 42\n";
    const std::string dir = "/tmp/" + c.graph + ".pid";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    const feed_result r = run_feed(c);
    rmdir(dir.c_str());
    EXPECT_EQ(r.out, std::string(header) + "MISS-0--pid-" + std::to_string(r.pid) +
                         "\nNo se puede abrir archivo SAVE\nnew-pid-" + std::to_string(r.pid) +
                         "\nSON-MENOS-DE-300-SEGUNDOS\n" + limit_lines(c.graph) +
                         "data-42\ncpu 42\n\n");
    EXPECT_TRUE(exited_with(r.status, 0));
}

TEST(Plotfeed, ClientGoneEndsFeedBeforeNextSample)
{
    // The web server closes its end when the client leaves; the feed must
    // not wait for a sample to learn it by a failed write.
    feed_case c = graph_case(unique_graph("port", 'G'), "foo=1");
    c.steps = {{"<" + c.graph, 0, "cpu 1\n"}, {"data-1", 0, "", true}, {"", 20000, "cpu 2\n"}};
    const feed_result r = run_feed(c);
    EXPECT_TRUE(exited_with(r.status, 1));
    EXPECT_EQ(r.err, "plotfeed: the client's side of standard output closed\n");
    EXPECT_LT(r.ended - r.started, 10);
}

TEST(Plotfeed, FeedWaitingForDaemonKeepsClientAndEndsWhenItLeaves)
{
    // An empty line every 20 s while the pipe has no writer: one before a
    // daemon that comes after 25 s, the stream after it as ever; and the
    // first of them ends a feed whose client left, which would otherwise
    // wait for a daemon that may never come. Both run at the same time.
    feed_case late = graph_case(unique_graph("port", 'k'), "dhle,60,0s");
    late.writer_after_ms = 25000;
    late.steps = {{"<" + late.graph, 0, "eth0 1\n"}};
    feed_case left = graph_case(unique_graph("port", 'K'), "dhle,60,0s");
    left.writer_after_ms = -1;
    left.ignored_signals = {SIGPIPE};
    left.steps = {{"new-pid-", 0, "", true}};
    auto waited = std::async(std::launch::async, run_feed, std::cref(late));
    const feed_result l = run_feed(left);
    const feed_result r = waited.get();
    EXPECT_EQ(r.out, startup_lines(0, r.pid) + "\nSON-MENOS-DE-300-SEGUNDOS\n" + limit_lines(late.graph) +
                         "data-1\neth0 1\n\n");
    EXPECT_TRUE(exited_with(r.status, 0));
    EXPECT_TRUE(exited_with(l.status, 1));
    EXPECT_FALSE(l.timed_out);
}

TEST(Plotfeed, InterruptOrTerminateEndsLiveStreamWithStatusOne)
{
    const struct {
        char tag;
        int sig;
    } cases[] = {{'z', SIGTERM}, {'Z', SIGINT}};
    for (const auto &sc : cases) {
        SCOPED_TRACE(sc.sig);
        feed_case c = graph_case(unique_graph("port", sc.tag), "foo=1");
        c.steps = {{"<" + c.graph, 0, "cpu 1\n"}, {"data-1", 0, ""}};
        c.end_signal = sc.sig;
        const feed_result r = run_feed(c);
        EXPECT_EQ(r.out, startup_lines(0, r.pid) + "SON-MENOS-DE-300-SEGUNDOS\n" +
                             limit_lines(c.graph) + "data-1\ncpu 1\n\n");
        EXPECT_TRUE(exited_with(r.status, 1));
        EXPECT_FALSE(r.timed_out);
    }
}

}  // namespace
