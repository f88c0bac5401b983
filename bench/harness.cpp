// Shared pieces of the benchmarks: clocks, a temporary installation, feed processes, figures and the result table.
#include "harness.h"

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

extern char **environ;

double now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

void sleep_until_ms(double at_ms)
{
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(at_ms / 1e3);
    ts.tv_nsec = static_cast<long>((at_ms - static_cast<double>(ts.tv_sec) * 1e3) * 1e6);
    if (ts.tv_nsec >= 1000000000L)
        ts.tv_nsec = 999999999L;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

std::vector<std::string> bench_names(int n)
{
    std::vector<std::string> out;
    char name[32];
    for (int i = 1; i <= n; ++i) {
        std::snprintf(name, sizeof name, "bnchport%04d", i);
        out.push_back(name);
    }
    return out;
}

bool make_inst(const std::vector<std::string> &names, int win, inst &in, std::string &err)
{
    std::string cfg = "window " + std::to_string(win) + "\n";
    int port = 10000;
    for (const std::string &n : names)
        cfg += n + " " + std::to_string(port++) + " 0 1000 800\n";
    return make_inst_cfg(cfg, names, in, err);
}

bool make_inst_cfg(const std::string &cfg_text, const std::vector<std::string> &names, inst &in, std::string &err)
{
    char tmpl[] = "/tmp/traxel-bench.XXXXXX";
    if (!mkdtemp(tmpl)) {
        err = std::string("mkdtemp /tmp/traxel-bench.XXXXXX: ") + std::strerror(errno);
        return false;
    }
    in.dir = tmpl;
    in.cgi = in.dir + "/httpd/cgi-bin";
    in.graphs = names;
    for (const std::string &d : {in.dir + "/httpd", in.cgi, in.dir + "/httpd/htdocs"})
        if (mkdir(d.c_str(), 0755) != 0) {
            err = "mkdir " + d + ": " + std::strerror(errno);
            return false;
        }
    // The feeds' lock file, which the installation makes.
    const std::string lock = in.dir + "/httpd/feed.lock";
    const int lock_fd = open(lock.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (lock_fd < 0 || close(lock_fd) != 0) {
        err = "create " + lock + ": " + std::strerror(errno);
        return false;
    }
    std::ofstream cfg(in.dir + "/traxel.cfg");
    cfg << cfg_text;
    cfg.close();
    if (!cfg) {
        err = "write " + in.dir + "/traxel.cfg failed";
        return false;
    }
    for (const std::string &n : names) {
        std::string path = in.cgi + "/" + n + ".fifo";
        if (mkfifo(path.c_str(), 0644) != 0) {
            err = "mkfifo " + path + ": " + std::strerror(errno);
            return false;
        }
    }
    for (const std::string &n : names)
        remove_pid_file(n);
    return true;
}

namespace {

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    if (remove(path) != 0)
        std::fprintf(stderr, "bench: remove %s: %s\n", path, std::strerror(errno));
    return 0;
}

}  // namespace

void remove_inst(inst &in)
{
    for (const std::string &n : in.graphs)
        remove_pid_file(n);
    if (!in.dir.empty() && nftw(in.dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS) != 0)
        std::fprintf(stderr, "bench: nftw %s: %s\n", in.dir.c_str(), std::strerror(errno));
    in.dir.clear();
}

void remove_pid_file(const std::string &name)
{
    std::string path = "/tmp/" + name + ".pid";
    if (unlink(path.c_str()) != 0 && errno != ENOENT)
        std::fprintf(stderr, "bench: unlink %s: %s\n", path.c_str(), std::strerror(errno));
}

pid_t spawn_feed(const std::string &bin, const std::string &name, const std::string &cgi,
                 const std::string &query, int out_fd, const std::vector<std::string> &extra_argv,
                 std::string &err)
{
    // Everything the child needs is built before the spawn, which only
    // changes directory, redirects and executes.
    std::vector<std::string> args{name};
    args.insert(args.end(), extra_argv.begin(), extra_argv.end());
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string e_method = "REQUEST_METHOD=GET", e_query = "QUERY_STRING=" + query,
                e_path = "PATH=/usr/bin:/bin";
    char *envp[] = {e_method.data(), e_query.data(), e_path.data(), nullptr};

    posix_spawn_file_actions_t fa;
    int rc = posix_spawn_file_actions_init(&fa);
    if (rc != 0) {
        err = std::string("posix_spawn_file_actions_init: ") + std::strerror(rc);
        return -1;
    }
    pid_t pid = -1;
    if ((rc = posix_spawn_file_actions_addchdir_np(&fa, cgi.c_str())) != 0 ||
        (rc = posix_spawn_file_actions_adddup2(&fa, out_fd, 1)) != 0 ||
        (rc = posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0)) != 0)
        err = std::string("posix_spawn_file_actions: ") + std::strerror(rc);
    else if ((rc = posix_spawn(&pid, bin.c_str(), &fa, nullptr, argv.data(), envp)) != 0)
        err = "posix_spawn " + bin + ": " + std::strerror(rc);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

std::string abs_path(const std::string &path)
{
    char *r = realpath(path.c_str(), nullptr);
    if (r == nullptr)
        return path;
    std::string out = r;
    std::free(r);
    return out;
}

void close_fd(int fd, const char *what)
{
    if (fd >= 0 && close(fd) != 0)
        std::fprintf(stderr, "bench: close %s: %s\n", what, std::strerror(errno));
}

void end_proc(pid_t pid, int sig)
{
    if (pid <= 0)
        return;
    if (kill(pid, sig) != 0 && errno != ESRCH)
        std::fprintf(stderr, "bench: kill %d: %s\n", static_cast<int>(pid), std::strerror(errno));
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

long long cpu_ticks(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string all;
    if (!std::getline(f, all))
        return -1;
    // The command name may hold blanks and parentheses; fields are counted
    // from the last ")".
    std::size_t rp = all.rfind(')');
    if (rp == std::string::npos)
        return -1;
    std::istringstream rest(all.substr(rp + 1));
    std::string field;
    long long utime = -1, stime = -1;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::atoll(field.c_str());
        if (i == 15)
            stime = std::atoll(field.c_str());
    }
    return utime < 0 || stime < 0 ? -1 : utime + stime;
}

long long cpu_ns(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/schedstat");
    long long ns = -1;
    if (!(f >> ns))
        return -1;
    return ns;
}

long private_dirty_kib(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string key;
    long kib = 0;
    std::string unit;
    while (f >> key) {
        if (key == "Private_Dirty:") {
            f >> kib >> unit;
            return kib;
        }
    }
    return -1;
}

bool wait_sleeping(pid_t pid, double limit_ms)
{
    double end = now_ms() + limit_ms;
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    while (now_ms() < end) {
        std::ifstream f(path);
        std::string all;
        if (!std::getline(f, all))
            return false;
        std::size_t rp = all.rfind(')');
        if (rp != std::string::npos && rp + 2 < all.size() && all[rp + 2] == 'S')
            return true;
        sleep_until_ms(now_ms() + 1);
    }
    return false;
}

bool raise_nofile(std::size_t want, std::string &err)
{
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) {
        err = std::string("getrlimit RLIMIT_NOFILE: ") + std::strerror(errno);
        return false;
    }
    if (rl.rlim_cur >= want)
        return true;
    if (rl.rlim_max < want)
        rl.rlim_max = want;
    rl.rlim_cur = want;
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0) {
        err = "setrlimit RLIMIT_NOFILE " + std::to_string(want) + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

double median(std::vector<double> v)
{
    return percentile(std::move(v), 50);
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    // Nearest rank: the smallest value with at least p % of the values at or below it.
    auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(v.size())));
    if (rank < 1)
        rank = 1;
    return v[std::min(rank, v.size()) - 1];
}

void print_row(const std::string &name, const std::string &figure, const std::string &baseline,
               double ratio, const std::string &target, const std::string &met)
{
    char r[32];
    // Small ratios keep two significant digits.
    std::snprintf(r, sizeof r, ratio < 0.1 ? "%.3f" : "%.2f", ratio);
    std::printf("row\t%s\t%s\t%s\t%s\t%s\t%s\n", name.c_str(), figure.c_str(), baseline.c_str(),
                std::isfinite(ratio) ? r : "-", target.c_str(), met.c_str());
    std::fflush(stdout);
}

std::string fmt(double v, int prec, const char *unit)
{
    char b[64];
    std::snprintf(b, sizeof b, "%.*f%s", prec, v, unit);
    return b;
}

std::string sample_line(int seq)
{
    char b[64];
    int s = seq % 86400;
    std::snprintf(b, sizeof b, "%02d:%02d:%02d %d\n", s / 3600, s / 60 % 60, s % 60, seq);
    return b;
}

int open_backlog(const char *prog, const std::string &fifo, int n)
{
    const int fd = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "%s: open %s: %s\n", prog, fifo.c_str(), std::strerror(errno));
        return -1;
    }
    for (int s = 1; s <= n; ++s) {
        const std::string l = sample_line(s);
        if (write(fd, l.data(), l.size()) != static_cast<ssize_t>(l.size()))
            std::fprintf(stderr, "%s: write %s: %s\n", prog, fifo.c_str(), std::strerror(errno));
    }
    return fd;
}

void line_reader::feed(const char *data, std::size_t n, std::vector<std::string> &out)
{
    buf.append(data, n);
    std::size_t start = 0, nl;
    while ((nl = buf.find('\n', start)) != std::string::npos) {
        out.push_back(buf.substr(start, nl - start));
        start = nl + 1;
    }
    buf.erase(0, start);
}
