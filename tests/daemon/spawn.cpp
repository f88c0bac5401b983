// Running the built daemon in a temporary installation directory, for the daemon's process tests.
#include "spawn.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "frames.h"

proc spawn(const std::string &dir, const std::vector<std::string> &args, uid_t uid, gid_t gid, const std::string &bin)
{
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
        throw std::runtime_error("pipe");
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork");
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(out[1]);
        close(err[0]);
        close(err[1]);
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        if (uid != static_cast<uid_t>(-1) && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0))
            _exit(126);
        setenv("TZ", "UTC0", 1);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(bin.c_str()));
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(bin.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    return {pid, out[0], err[0]};
}

std::string read_all(int fd, int timeout_ms, bool &timed_out)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string text;
    timed_out = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        struct pollfd p = {fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) == 0) {
            timed_out = true;
            return text;
        }
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return text;
        text.append(buf, static_cast<std::size_t>(n));
    }
}

int wait_exit(pid_t pid, int timeout_ms)
{
    for (int waited = 0;; waited += 20) {
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid)
            return WIFEXITED(st) ? WEXITSTATUS(st) : -2;
        if (r < 0 || waited >= timeout_ms)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

result run(const std::string &dir, const std::vector<std::string> &args, int timeout_ms)
{
    proc p = spawn(dir, args);
    result r;
    bool late_out, late_err;
    r.out = read_all(p.out, timeout_ms, late_out);
    r.err = read_all(p.err, timeout_ms, late_err);
    close(p.out);
    close(p.err);
    r.status = wait_exit(p.pid, timeout_ms);
    if (r.status == -1) {
        kill(p.pid, SIGKILL);
        waitpid(p.pid, nullptr, 0);
    }
    return r;
}

std::string install_dir_with(const std::string &cfg)
{
    std::string dir = temp_dir();
    // Readable by every user, for runs as an unprivileged user.
    if (chmod(dir.c_str(), 0755) != 0 || mkdir((dir + "/httpd").c_str(), 0755) != 0 ||
        mkdir((dir + "/httpd/cgi-bin").c_str(), 0755) != 0)
        throw std::runtime_error("cannot lay out " + dir);
    write_file(dir + "/traxel.cfg", cfg);
    return dir;
}

bool daemon_holds(const std::string &path)
{
    for (int i = 0; i < 200; ++i) {
        int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::string read_line(int fd, int timeout_ms)
{
    std::string line;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (line.empty() || line.back() != '\n') {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0) <= 0)
            return "";
        char c;
        if (read(fd, &c, 1) != 1)
            return "";
        line += c;
    }
    return line;
}

running_daemon::running_daemon(const std::string &dir, const std::vector<std::string> &args, uid_t uid, gid_t gid,
                               const std::string &bin)
    : p(spawn(dir, args, uid, gid, bin))
{
}

running_daemon::~running_daemon()
{
    kill(p.pid, SIGTERM);
    int status = wait_exit(p.pid, 4000);
    EXPECT_EQ(status, 0);
    if (status == -1) {
        kill(p.pid, SIGKILL);
        waitpid(p.pid, nullptr, 0);
    }
    close(p.out);
    close(p.err);
}

std::string running_daemon::first_sample(const std::string &fifo)
{
    if (!daemon_holds(fifo))
        return "";
    int rd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    std::string line = read_line(rd, 12000);
    close(rd);
    return line;
}

void send_udp(uint16_t port, int n, std::size_t size)
{
    int tx = socket(AF_INET, SOCK_DGRAM, 0);
    if (tx < 0)
        throw std::runtime_error("socket");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string payload(size, 'x');
    for (int i = 0; i < n; ++i)
        if (sendto(tx, payload.data(), size, 0, reinterpret_cast<sockaddr *>(&a), sizeof a) !=
            static_cast<ssize_t>(size))
            throw std::runtime_error("sendto");
    close(tx);
}

std::string file_with(const std::string &path, const std::string &want)
{
    std::string text;
    for (int i = 0; i < 150; ++i) {
        std::ifstream in(path);
        text.assign(std::istreambuf_iterator<char>(in), {});
        if (text.find(want) != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return text;
}
