// A temporary traxel installation in which the fault tests run the built daemon and feed.
#include "fault_env.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "reachable.h"

namespace fs = std::filesystem;

namespace {

using clock_type = std::chrono::steady_clock;

int ms_left(clock_type::time_point end)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock_type::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

[[noreturn]] void fail(const std::string &what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

child spawn(const std::string &cwd, const std::string &path, const std::vector<std::string> &argv,
            const std::vector<std::pair<std::string, std::string>> &env)
{
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        fail("pipe2");
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        fail("fork");
    if (pid == 0) {
        const int null = open("/dev/null", O_RDONLY);
        if (null < 0 || dup2(null, 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0 || chdir(cwd.c_str()) != 0)
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

std::string read_rest(int fd, int timeout_ms)
{
    const auto end = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    std::string text;
    char buf[4096];
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, ms_left(end)) <= 0)
            return text;
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return text;
        text.append(buf, static_cast<size_t>(n));
    }
}

installation::installation(const std::string &cfg, const std::vector<std::string> &graphs) : graphs_(graphs)
{
    char tmpl[] = "/tmp/traxel-faults-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        fail("mkdtemp");
    dir_ = tmpl;
    // The web server's user must reach the CGI directory and the pipes.
    if (chmod(dir_.c_str(), 0755) != 0)
        fail("chmod " + dir_);
    fs::create_directories(cgi());
    fs::create_symlink(TRAXEL_BIN, dir_ + "/traxel");
    // A copy, not a link into the build tree: a web server running the feeds
    // as nobody must reach it wherever the tree lies.
    copy_program(PLOTFEED_BIN, cgi() + "/plotfeed");
    for (const std::string &g : graphs) {
        fs::create_symlink("plotfeed", cgi() + "/" + g);
        fs::remove("/tmp/" + g + ".pid");
    }
    write_cfg(cfg);
}

installation::~installation()
{
    std::error_code ec;
    for (const std::string &g : graphs_)
        fs::remove("/tmp/" + g + ".pid", ec);
    fs::remove_all(dir_, ec);
}

void installation::write_cfg(const std::string &text, bool remove) const
{
    const std::string path = dir_ + "/traxel.cfg";
    std::error_code ec;
    fs::remove_all(path, ec);
    if (remove)
        return;
    std::ofstream(path, std::ios::binary) << text;
    if (chmod(path.c_str(), 0644) != 0)
        fail("chmod " + path);
}

child installation::start_daemon() const
{
    return spawn(dir_, "./traxel", {"./traxel", "-f"}, {{"TZ", "UTC0"}});
}

child installation::start_feed(const std::string &graph, const std::string &query) const
{
    return spawn(cgi(), "./" + graph, {graph}, {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", query}});
}

bool installation::daemon_holds(const std::string &graph, int timeout_ms) const
{
    // A writer opens a pipe without blocking only while a reader, the
    // daemon, holds it.
    const auto end = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    do {
        const int fd = open(fifo(graph).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (ms_left(end) > 0);
    return false;
}

bool start_serving(const installation &inst, const std::string &graph, child &daemon, std::string &why)
{
    daemon = inst.start_daemon();
    if (inst.daemon_holds(graph, 10000))
        return true;
    why = daemon.running() ? "the daemon does not hold the pipe after 10 s" : read_rest(daemon.err(), 1000);
    return false;
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

int seconds_of_day_now()
{
    return static_cast<int>(std::time(nullptr) % 86400);
}

pid_t pid_in_file(const std::string &graph)
{
    std::ifstream in("/tmp/" + graph + ".pid");
    long pid = -1;
    if (!(in >> pid) || pid <= 0)
        return -1;
    return static_cast<pid_t>(pid);
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

int free_port()
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (s >= 0 && bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (s >= 0)
        close(s);
    return port;
}

int connect_to(int port)
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s >= 0 && connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
        return s;
    if (s >= 0)
        close(s);
    return -1;
}
