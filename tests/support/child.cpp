// Programs the tests start, and reading what they write, with time limits.
#include "child.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace {

using clock_type = std::chrono::steady_clock;

int ms_left(clock_type::time_point end)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock_type::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

child spawn(const std::string &cwd, const std::string &path, const std::vector<std::string> &argv,
            const std::vector<std::pair<std::string, std::string>> &env, uid_t uid, gid_t gid)
{
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        const int null = open("/dev/null", O_RDONLY);
        if (null < 0 || dup2(null, 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0 || chdir(cwd.c_str()) != 0)
            _exit(126);
        if (uid != static_cast<uid_t>(-1) && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0))
            _exit(126);
        for (const auto &[name, value] : env)
            if (setenv(name.c_str(), value.c_str(), 1) != 0)
                _exit(126);
        execv(path.c_str(), args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    return child(pid, out[0], err[0]);
}

void copy_program(const std::string &from, const std::string &to)
{
    std::error_code ec;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    if (ec)
        throw std::runtime_error("copy " + from + " to " + to + ": " + ec.message());
    if (chmod(to.c_str(), 0755) != 0)
        throw std::runtime_error("chmod " + to + ": " + std::strerror(errno));
}

child::child(child &&o) noexcept
    : pid_(std::exchange(o.pid_, -1)), out_(std::exchange(o.out_, -1)), err_(std::exchange(o.err_, -1))
{
}

child &child::operator=(child &&o) noexcept
{
    if (this != &o) {
        release();
        pid_ = std::exchange(o.pid_, -1);
        out_ = std::exchange(o.out_, -1);
        err_ = std::exchange(o.err_, -1);
    }
    return *this;
}

child::~child() { release(); }

void child::release()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0)
        close(out_);
    if (err_ >= 0)
        close(err_);
    pid_ = out_ = err_ = -1;
}

int child::wait(int timeout_ms)
{
    const auto end = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        const pid_t got = pid_ > 0 ? waitpid(pid_, &status, WNOHANG) : -1;
        if (got == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (got < 0 || ms_left(end) == 0)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool child::running() { return pid_ > 0 && wait(0) == -1; }

std::string read_line(int fd, int timeout_ms)
{
    const auto end = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    std::string line;
    while (line.empty() || line.back() != '\n') {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, ms_left(end)) <= 0)
            break;
        char c;
        if (read(fd, &c, 1) != 1)
            break;
        line += c;
    }
    return line;
}

std::string read_until(int fd, const std::string &prefix, int timeout_ms, std::string &seen)
{
    const auto end = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const std::string line = read_line(fd, ms_left(end));
        seen += line;
        if (line.empty() || line.back() != '\n')
            return "";
        if (line.compare(0, prefix.size(), prefix) == 0)
            return line;
    }
}

std::string read_rest(int fd, int timeout_ms, bool *timed_out)
{
    const auto end = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    std::string text;
    char buf[4096];
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        const int ready = poll(&p, 1, ms_left(end));
        if (timed_out)
            *timed_out = ready == 0;
        if (ready <= 0)
            return text;
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return text;
        text.append(buf, static_cast<size_t>(n));
    }
}

std::string drain(int fd)
{
    std::string out;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return out;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

bool pipe_held(const std::string &path, int timeout_ms)
{
    const auto end = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    do {
        const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (ms_left(end) > 0);
    return false;
}

std::vector<pid_t> processes_in(const std::string &dir)
{
    std::vector<pid_t> found;
    std::error_code ec;
    for (const fs::directory_entry &e : fs::directory_iterator("/proc", ec)) {
        const std::string name = e.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::error_code gone;
        if (fs::read_symlink(e.path() / "cwd", gone) == dir)
            found.push_back(static_cast<pid_t>(std::stol(name)));
    }
    return found;
}

bool process_alive(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat))
        return false;
    // The state follows the parenthesised command name, which may hold blanks.
    const size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z' &&
           stat[close + 2] != 'X';
}

std::string file_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    // A failing read (a directory, say) throws from inside the stream buffer.
    try {
        return std::string(std::istreambuf_iterator<char>(in), {});
    } catch (const std::ios_base::failure &) {
        return "";
    }
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

int label_seconds(const std::string &line)
{
    int h, m, s;
    char colon1, colon2;
    if (line.size() < 8 || std::sscanf(line.c_str(), "%2d%c%2d%c%2d", &h, &colon1, &m, &colon2, &s) != 5 ||
        colon1 != ':' || colon2 != ':')
        return -1;
    return h * 3600 + m * 60 + s;
}
