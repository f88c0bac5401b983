// Programs the tests start, and reading what they write, with time limits.
#ifndef TRAXEL_TEST_CHILD_H
#define TRAXEL_TEST_CHILD_H

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

// Starts path with argv in directory cwd, env added to the environment, as
// uid and gid (no supplementary groups) when uid is not -1; standard input is
// /dev/null, output and error are pipes.
child spawn(const std::string &cwd, const std::string &path, const std::vector<std::string> &argv,
            const std::vector<std::pair<std::string, std::string>> &env = {}, uid_t uid = static_cast<uid_t>(-1),
            gid_t gid = static_cast<gid_t>(-1));

// Copies the program at from to the path to, mode 0755, replacing what is
// there, for tests that run it as another user (nobody): the build tree may
// lie where only its owner can enter (a clone in root's home, mode 0700).
// Throws std::runtime_error naming the call, the file and the reason.
void copy_program(const std::string &from, const std::string &to);

// One line read from fd, its newline included, waiting up to timeout_ms in
// all; what came so far (no newline) when the time ran out or fd ended.
std::string read_line(int fd, int timeout_ms);

// Reads lines from fd into seen until one starts with prefix, waiting up to
// timeout_ms in all; returns that line, or "" when none came in time.
std::string read_until(int fd, const std::string &prefix, int timeout_ms, std::string &seen);

// Everything fd yields until its end, waiting up to timeout_ms in all;
// *timed_out (when given) tells whether the time ran out first.
std::string read_rest(int fd, int timeout_ms, bool *timed_out = nullptr);

// Everything waiting in fd, read until a read gives nothing more: its end,
// or for a non-blocking fd what waits now.
std::string drain(int fd);

// Waits up to timeout_ms until a reader holds the named pipe at path open
// (only then does a writer's non-blocking open succeed).
bool pipe_held(const std::string &path, int timeout_ms);

// The processes whose working directory is dir.
std::vector<pid_t> processes_in(const std::string &dir);

// True when pid names a process that has not ended (zombies have).
bool process_alive(pid_t pid);

// The whole content of the file at path; "" when it cannot be read.
std::string file_text(const std::string &path);

// The lines of text, without their newlines.
std::vector<std::string> lines_of(const std::string &text);

// Seconds of the day of a sample label "HH:MM:SS", or -1 when line does not
// start with one.
int label_seconds(const std::string &line);

#endif
