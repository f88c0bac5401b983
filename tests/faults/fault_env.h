// A temporary traxel installation in which the fault tests run the built daemon and feed.
#ifndef TRAXEL_TEST_FAULT_ENV_H
#define TRAXEL_TEST_FAULT_ENV_H

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

// A started program: its pid and the read ends of its standard output and
// error. Killed with SIGKILL and reaped on destruction unless reaped before.
class child {
public:
    child() = default;
    child(pid_t pid, int out, int err) : pid_(pid), out_(out), err_(err) {}
    child(child &&o) noexcept;
    child &operator=(child &&o) noexcept;
    child(const child &) = delete;
    child &operator=(const child &) = delete;
    ~child();

    pid_t pid() const { return pid_; }
    int out() const { return out_; }
    int err() const { return err_; }

    // Waits up to timeout_ms for the program to end. Returns its exit status,
    // 128 + the signal when a signal ended it, -1 when it still runs.
    int wait(int timeout_ms);
    // True while the program has not ended (it is not reaped).
    bool running();

private:
    void release();
    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
};

// Starts path with argv in directory cwd, env added to the environment;
// standard input is /dev/null, output and error are pipes.
child spawn(const std::string &cwd, const std::string &path, const std::vector<std::string> &argv,
            const std::vector<std::pair<std::string, std::string>> &env = {});

// One line read from fd, its newline included, waiting up to timeout_ms in
// all; what came so far (no newline) when the time ran out or fd ended.
std::string read_line(int fd, int timeout_ms);

// Reads lines from fd into seen until one starts with prefix, waiting up to
// timeout_ms in all; returns that line, or "" when none came in time.
std::string read_until(int fd, const std::string &prefix, int timeout_ms, std::string &seen);

// Everything fd yields until its end, waiting up to timeout_ms in all.
std::string read_rest(int fd, int timeout_ms);

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

// Seconds of the day of a sample label "HH:MM:SS", or -1 when line does not
// start with one.
int label_seconds(const std::string &line);

// Seconds of the day now, in UTC, the daemon's time zone in these tests.
int seconds_of_day_now();

// The pid written in /tmp/<graph>.pid, or -1 when there is no number.
pid_t pid_in_file(const std::string &graph);

// The processes whose working directory is dir.
std::vector<pid_t> processes_in(const std::string &dir);

// True when pid names a process that has not ended (zombies have).
bool process_alive(pid_t pid);

// Starts the daemon of inst and waits up to 10 s until it holds the pipe of
// graph. False with why when it did not: its error output, or a timeout.
bool start_serving(const installation &inst, const std::string &graph, child &daemon, std::string &why);

// A TCP port of 127.0.0.1 that was free a moment ago, or 0.
int free_port();

// A socket connected to 127.0.0.1:port, or -1.
int connect_to(int port);

#endif
