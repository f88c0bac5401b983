// Running the built daemon in a temporary installation directory, for the daemon's process tests.
#ifndef TRAXEL_TEST_SPAWN_H
#define TRAXEL_TEST_SPAWN_H

#include <sys/types.h>

#include <cstdint>

#include <string>
#include <vector>

// A started program and the read ends of its standard output and error.
struct proc {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
};

// Starts the daemon binary (or the program bin) with args in directory dir,
// TZ set to UTC0; under uid and gid when uid is not -1.
proc spawn(const std::string &dir, const std::vector<std::string> &args, uid_t uid = static_cast<uid_t>(-1),
           gid_t gid = static_cast<gid_t>(-1), const std::string &bin = TRAXEL_BIN);

// Reads fd until end of data or until timeout_ms pass; timed_out tells which.
std::string read_all(int fd, int timeout_ms, bool &timed_out);

// Waits up to timeout_ms for pid to end; returns its exit status, or -1 when
// it is still running (or ended by a signal: -2).
int wait_exit(pid_t pid, int timeout_ms);

// The standard output, standard error and exit status of a run that must end
// within timeout_ms (status -1 when it did not; it is then killed).
struct result {
    std::string out, err;
    int status = -1;
};
result run(const std::string &dir, const std::vector<std::string> &args, int timeout_ms = 4000);

// Waits up to 4 s until the daemon holds the pipe at path open (a writer can
// open it without blocking only when a reader, the daemon, has it).
bool daemon_holds(const std::string &path);

// One line from fd, waiting up to timeout_ms (0: only what waits already);
// "" when none came.
std::string read_line(int fd, int timeout_ms);

// A daemon started in dir with args (see spawn), ended on destruction with
// SIGTERM, which must end it with status 0.
struct running_daemon {
    proc p;
    running_daemon(const std::string &dir, const std::vector<std::string> &args, uid_t uid = static_cast<uid_t>(-1),
                   gid_t gid = static_cast<gid_t>(-1), const std::string &bin = TRAXEL_BIN);
    ~running_daemon();
    running_daemon(const running_daemon &) = delete;
    running_daemon &operator=(const running_daemon &) = delete;
    // The first sample line of the pipe at fifo, within 12 s; "" when none.
    std::string first_sample(const std::string &fifo);
};

// Sends n datagrams of size bytes to port on loopback.
void send_udp(uint16_t port, int n, std::size_t size);

// The text of the file at path once it holds want, waiting up to 3 s; what
// it holds then otherwise.
std::string file_with(const std::string &path, const std::string &want);

// A temporary installation directory: traxel.cfg holding cfg, and an empty
// httpd/cgi-bin.
std::string install_dir_with(const std::string &cfg);

#endif
