// Runs the built feed as a web server would, with a scripted daemon on its pipe.
#ifndef TRAXEL_TEST_FEED_HARNESS_H
#define TRAXEL_TEST_FEED_HARNESS_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "unique_graph.h"

// One write of the scripted daemon: once wait_for has appeared in the feed's
// output (at once when empty), wait delay_ms more, then write text. With
// close_output the client then leaves: the reading end of the feed's output
// is closed, and later steps can only wait for "".
struct feed_step {
    std::string wait_for;
    int delay_ms;
    std::string text;
    bool close_output = false;
};

// How the feed is run and fed.
struct feed_case {
    std::string graph;  // the link name, the feed's argv[0]
    // argv[0] the link's full path and the query argv[1], as Apache runs it.
    bool full_path = false;
    // Standard error the same pipe as standard output, as mini_httpd gives them.
    bool errors_to_out = false;
    std::string cfg;    // the configuration file, two levels above
    bool with_cfg = true;
    const char *method = "GET";             // nullptr: unset
    const char *query = "dhle,60,300s";     // nullptr: unset
    bool with_fifo = true;
    // The scripted daemon opens the pipe this long after the feed started
    // (0: before, so the feed's open returns at once; -1: never).
    int writer_after_ms = 0;
    std::string backlog;  // waiting in the pipe when the feed opens it
    std::vector<feed_step> steps;
    int end_signal = 0;  // sent after the steps; 0 closes the pipe instead
    std::vector<int> ignored_signals;  // set to SIG_IGN in the feed, as a server may
    // Called with the feed's pid after fork, before the feed is executed.
    std::function<void(pid_t)> before_exec;
    // Started first, in a tree of its own where no daemon writes: an older
    // feed of the graph, waiting on its pipe once registered, for the feed to
    // take over from.
    bool older_feed = false;
};

// What the run produced.
struct feed_result {
    std::string out;       // the feed's standard output
    std::string err;       // and its standard error
    int status = -1;       // as waitpid reports it
    pid_t pid = -1;
    std::int64_t started = 0, ended = 0;  // seconds of the time of day
    bool timed_out = false;
    bool had_pid_file = false;
    std::string pid_file;  // the graph's pid file after the run (then removed)
    pid_t older = -1;      // the older feed, and its status once ended
    int older_status = -1;
};

// Runs the case in a fresh temporary CGI tree; stops the feed after 40 s.
feed_result run_feed(const feed_case &c);

// out with the stamps of its time1/time2 lines replaced by T when they lie
// within [from, to]; a stamp outside is left as it is, so a compare fails.
std::string mask_times(const std::string &out, std::int64_t from, std::int64_t to);

// The start-up lines of a feed with pid that found no pid file.
std::string startup_lines(int k, pid_t pid);

#endif
