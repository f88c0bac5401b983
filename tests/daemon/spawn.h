// Running the built daemon in a temporary installation directory, for the daemon's process tests.
#ifndef TRAXEL_TEST_SPAWN_H
#define TRAXEL_TEST_SPAWN_H

#include <pwd.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>

#include <string>
#include <vector>

#include "child.h"

// Starts the daemon binary (or the program bin) with args in directory dir,
// TZ set to UTC0; under uid and gid when uid is not -1.
child spawn_daemon(const std::string &dir, const std::vector<std::string> &args, uid_t uid = static_cast<uid_t>(-1),
                   gid_t gid = static_cast<gid_t>(-1), const std::string &bin = TRAXEL_BIN);

// The standard output, standard error and exit status of a run that must end
// within timeout_ms (status -1 when it did not; it is then killed).
struct result {
    std::string out, err;
    int status = -1;
};
result run(const std::string &dir, const std::vector<std::string> &args, int timeout_ms = 4000);

// A daemon started in dir with args (see spawn_daemon), ended on destruction
// with SIGTERM, which must end it with status 0.
struct running_daemon {
    child p;
    running_daemon(const std::string &dir, const std::vector<std::string> &args, uid_t uid = static_cast<uid_t>(-1),
                   gid_t gid = static_cast<gid_t>(-1), const std::string &bin = TRAXEL_BIN);
    ~running_daemon();
    // The first sample line of the pipe at fifo, within 12 s; "" when none.
    std::string first_sample(const std::string &fifo);
};

// The text of the file at path once it holds want, waiting up to 3 s; what
// it holds then otherwise.
std::string file_with(const std::string &path, const std::string &want);

// A temporary installation directory: traxel.cfg holding cfg, and an empty
// httpd/cgi-bin.
std::string install_dir_with(const std::string &cfg);

// The first grid time of the daemon's samples after now, read from the
// precise clock: time() may still show the second before for some
// milliseconds, right after a sample line of the grid time came.
time_t next_grid_time();

// Gives the CGI directory and the state directory run/ (made here) of the
// installation dir to pw, as a root installation gives them to the web
// server's user, for a daemon run as pw.
void give_to(const std::string &dir, const struct passwd *pw);

// A copy of the built daemon that every user can run, in a directory of its
// own under /tmp (removed when the test program ends); returns its path.
std::string reachable_daemon();

#endif
