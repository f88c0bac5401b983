// A temporary traxel installation in which the fault tests run the built daemon and feed.
#ifndef TRAXEL_TEST_FAULT_ENV_H
#define TRAXEL_TEST_FAULT_ENV_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "child.h"

// A temporary installation directory laid out as an installed traxel:
// <dir>/traxel (a link to the built daemon), <dir>/traxel.cfg and
// <dir>/httpd/cgi-bin with a copy of the built plotfeed and one link to it per
// graph. The directory tree and the graphs' /tmp pid files are removed on
// destruction.
class installation {
public:
    installation(const std::string &cfg, const std::vector<std::string> &graphs);
    ~installation();
    installation(const installation &) = delete;
    installation &operator=(const installation &) = delete;

    const std::string &dir() const { return dir_; }
    std::string cgi() const { return dir_ + "/httpd/cgi-bin"; }
    std::string fifo(const std::string &graph) const { return cgi() + "/" + graph + ".fifo"; }
    // Replaces traxel.cfg by text; with remove, leaves no file at all.
    void write_cfg(const std::string &text, bool remove = false) const;

    // Starts the daemon in the foreground, in dir, as "./traxel -f".
    child start_daemon() const;
    // Starts the feed of graph as a web server does: cwd the CGI directory,
    // argv[0] the bare graph name, a GET with query.
    child start_feed(const std::string &graph, const std::string &query) const;
    // Waits up to timeout_ms until the daemon holds the pipe of graph open.
    bool daemon_holds(const std::string &graph, int timeout_ms) const;

private:
    std::string dir_;
    std::vector<std::string> graphs_;
};

// Seconds of the day now, in UTC, the daemon's time zone in these tests.
int seconds_of_day_now();

// The pid written in /tmp/<graph>.pid, or -1 when there is no number.
pid_t pid_in_file(const std::string &graph);

// Starts the daemon of inst and waits up to 10 s until it holds the pipe of
// graph. False with why when it did not: its error output, or a timeout.
bool start_serving(const installation &inst, const std::string &graph, child &daemon, std::string &why);

#endif
