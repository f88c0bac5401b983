// The multiplexed feed: every graph of a page over one response, one feed per graph started as the web server starts it.
//
// GET feeds?k=<seconds>&g=<graph>,<graph>... answers text/plain lines:
//   "<graph> <line>"   a line of that graph's feed (its CGI header left out)
//   "+<graph> <pid>"   its feed started as process pid
//   "!<graph> <n>"     n lines of the graph were dropped: the client fell behind
//   "=<graph> <how>"   its feed ended: "exit <status>", "signal <number>", or
//                      "taken-over <pid>" when a newer feed of the graph,
//                      process pid, killed it
// The response ends when every feed has ended. When the client goes away
// (a write fails, or the web server ends this program) every feed ends with it.
#include "contract.h"
#include "errlog.h"
#include "fd.h"
#include "feedlock.h"
#include "feeds_out.h"
#include "feeds_query.h"
#include "help.h"
#include "pidfile.h"
#include "record.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

// Bytes of one graph that may wait for the client. A full window of history
// of a 5-minute window (120 lines of about 40 bytes) fits.
constexpr std::size_t graph_share = 8 * 1024;
// A feed line longer than this is passed on in pieces of this length.
constexpr std::size_t max_line = 256;
// How long a graph's feed may wait for its share to drain before its lines
// are dropped (and counted) instead: a client that took none of its lines for
// two sample intervals is not keeping up, and fresh samples matter more than
// old ones. Shorter waits, as in a burst of history, lose nothing.
constexpr double hold_limit = 2.0 * sample_interval;
// After this long without a line the client gets an empty line, which the
// page passes over. A web server learns that its client left only from its
// writes to it, and TCP fails the second write after the client's close, not
// the first: with a line every half interval at least, this program ends
// within one interval of its client's leaving, where two samples were needed.
constexpr double quiet_limit = sample_interval / 2.0;

volatile std::sig_atomic_t got_child = 0;
volatile std::sig_atomic_t got_end = 0;

void on_child(int) { got_child = 1; }
void on_end(int) { got_end = 1; }

double now_s()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Writes all of text to fd before streaming begins (fd still blocking);
// ends the process with status 1 when it cannot.
void write_or_exit(int fd, const std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            std::exit(1);
        done += static_cast<std::size_t>(n);
    }
}

const char content_type[] = "Content-Type: text/plain; charset=utf-8\nCache-Control: no-store\n";

// Refuses the request with one line, before any feed has started.
[[noreturn]] void refuse(const char *status, const std::string &line)
{
    write_or_exit(1, std::string("Status: ") + status + "\n" + content_type + "\n" + line + "\n");
    std::exit(1);
}

// Checks that every graph of req is one of this installation: a record that
// the feed's own search finds in the configuration file, and a program file
// of that name in the CGI directory (the working directory). Refuses the
// request at the first that is not.
void check_graphs(const feeds_request &req)
{
    FILE *cfg = std::fopen(cfg_from_cgi, "r");
    if (cfg == nullptr)
        refuse("500 Internal Server Error",
               std::string("Cannot open the configuration file ") + cfg_from_cgi + ": " + std::strerror(errno) + ".");
    for (const std::string &name : req.graphs) {
        std::rewind(cfg);
        char *said = nullptr;
        std::size_t said_len = 0;
        FILE *msg = open_memstream(&said, &said_len);
        if (msg == nullptr)
            refuse("500 Internal Server Error", std::string("open_memstream: ") + std::strerror(errno) + ".");
        cfg_record rec;
        const int found = find_record(cfg, name.c_str(), rec, msg);
        std::fclose(msg);
        std::string why(said, said_len);
        std::free(said);
        if (found != 0) {
            while (!why.empty() && why.back() == '\n')
                why.pop_back();
            refuse("400 Bad Request", why);
        }
        const std::string path = "./" + name;
        struct stat st {};
        if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || access(path.c_str(), X_OK) != 0)
            refuse("400 Bad Request", "Graph " + name + " has no feed program in the CGI directory.");
    }
    std::fclose(cfg);
}

// The environment of every feed: this program's, as the web server gave it,
// with the request made a GET for k seconds of history.
std::vector<std::string> feed_environment(int k)
{
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string var = *e;
        if (var.rfind("REQUEST_METHOD=", 0) != 0 && var.rfind("QUERY_STRING=", 0) != 0 &&
            var.rfind("CONTENT_LENGTH=", 0) != 0 && var.rfind("CONTENT_TYPE=", 0) != 0)
            env.push_back(var);
    }
    env.push_back("REQUEST_METHOD=GET");
    env.push_back("QUERY_STRING=dhle,60," + std::to_string(k) + "s");
    return env;
}

// One graph's feed process and what it printed that is not yet queued.
struct feed_proc {
    std::string name;
    pid_t pid = -1;
    unique_fd fd;            // read end of its standard output, none once closed
    std::string in;          // bytes read; those before at are queued
    std::size_t at = 0;
    bool header = true;      // its CGI header is not over yet
    bool stuck = false;      // a line waits for the graph's share to drain
    bool armed = false;      // its pipe is in the wait set
    double held_since = -1;  // when it got stuck, -1 when it is not
    long lost = 0;           // lines dropped since the last "!" line
    bool reaped = false;
    int status = 0;
    bool killed = false;     // by this program
    bool ended = false;      // its "=" line is queued
};

// The multiplexer: its feeds, the response on its way, the signal mask of its wait.
struct mux {
    feed_lock lk;            // the feeds' lock file: slots counted, take-overs awaited
    std::vector<feed_proc> feeds;
    out_queue out;
    sigset_t wait_mask;      // the mask while waiting: the handled signals let in
    bool pipe_ignored = false;
    int ep = -1;             // the wait set
    int out_events = -1;     // what the wait set asks of the client's side; -1: it cannot be waited on

    explicit mux(std::size_t n) : out(n) {}
};

// Gives up f, which could not be started: the graph's stream shows why
// (what, a failed call) and that it ended with status 127.
void not_started(mux &m, feed_proc &f, const char *what, int err)
{
    const std::string line = f.name + " feeds: " + what + " " + f.name + ": " + std::strerror(err) + "\n";
    m.out.push(-1, line.data(), line.size());
    f.reaped = true;
    f.status = 127 << 8;
}

// Starts the feed of f.name as the web server starts a CGI program: the
// program of that name in the working directory, the bare name as argv[0],
// envp; standard output into a new pipe whose read end is f.fd, standard
// error this program's, the web server's log. The feed gets SIGKILL should
// this program die first.
void start_feed(mux &m, feed_proc &f, char *const envp[], const sigset_t &mask)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
        not_started(m, f, "pipe2", errno);
        return;
    }
    std::string path = "./" + f.name, arg0 = f.name;
    char *argv[] = {arg0.data(), nullptr};
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // This program is single-threaded: the child may call what it likes
        // before exec, but does little.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
            _exit(126);
        struct sigaction sa {};
        sa.sa_handler = m.pipe_ignored ? SIG_IGN : SIG_DFL;
        sigaction(SIGPIPE, &sa, nullptr);
        sigprocmask(SIG_SETMASK, &mask, nullptr);
        const int null = open("/dev/null", O_RDONLY);
        if (null < 0 || dup2(null, 0) < 0 || dup2(p[1], 1) < 0)
            _exit(126);
        execve(path.c_str(), argv, envp);
        std::printf("Content-type: text/plain\n\nfeeds: execve %s: %s\n", path.c_str(), std::strerror(errno));
        std::fflush(stdout);
        _exit(127);
    }
    const int saved = errno;
    close(p[1]);
    if (pid < 0) {
        close(p[0]);
        not_started(m, f, "fork", saved);
        return;
    }
    if (fcntl(p[0], F_SETFL, O_NONBLOCK) != 0) {
        // A blocking read would stall every graph: give this one up.
        close(p[0]);
        kill(pid, SIGKILL);
        f.killed = true;
    } else
        f.fd.reset(p[0]);
    f.pid = pid;
    const std::string line = "+" + f.name + " " + std::to_string(pid) + "\n";
    m.out.push(-1, line.data(), line.size());
}

// The "!" line that counts f's dropped lines, empty when none were dropped.
std::string lost_line(const feed_proc &f)
{
    return f.lost > 0 ? "!" + f.name + " " + std::to_string(f.lost) + "\n" : std::string();
}

// Passes the complete lines of f (g its index) to the queue while the
// graph's share has room; past the hold limit, lines that do not fit are
// dropped and counted. At the end of its output a last unended line counts
// as a line. Returns true when it took or dropped a line.
bool take_lines(mux &m, feed_proc &f, int g, double now)
{
    const std::size_t from = f.at;
    f.stuck = false;
    while (f.at < f.in.size()) {
        const std::size_t nl = f.in.find('\n', f.at);
        std::size_t len = nl == std::string::npos ? f.in.size() - f.at : nl - f.at;
        const bool whole = nl != std::string::npos;
        if (!whole && len < max_line && f.fd.valid())
            break;
        if (len > max_line)
            len = max_line;
        const std::size_t used = len + (whole && len == nl - f.at ? 1 : 0);
        const std::string_view text(f.in.data() + f.at, len);
        if (f.header) {
            // The web server's part: the feed's CGI header ends at an empty line.
            f.header = !(text.empty() || text == "\r");
            f.at += used;
            continue;
        }
        std::string line = lost_line(f);
        line.append(f.name).append(" ").append(text).append("\n");
        if (m.out.pending(g) + line.size() <= graph_share) {
            m.out.push(g, line.data(), line.size());
            f.lost = 0;
            f.held_since = -1;
        } else if (f.held_since >= 0 && now - f.held_since >= hold_limit) {
            ++f.lost;
        } else {
            f.stuck = true;
            if (f.held_since < 0)
                f.held_since = now;
            break;
        }
        f.at += used;
    }
    const bool moved = f.at != from;
    if (f.at == f.in.size()) {
        f.in.clear();
        f.at = 0;
    }
    return moved;
}

// Passes lines of the graphs that wait for their share on to the queue, and
// the queue on to the client, until neither moves. Returns false when the
// client is gone.
bool pass_on(mux &m, double now)
{
    for (;;) {
        if (!m.out.flush(1))
            return false;
        bool moved = false;
        for (std::size_t g = 0; g < m.feeds.size(); ++g)
            if (m.feeds[g].stuck && take_lines(m, m.feeds[g], static_cast<int>(g), now))
                moved = true;
        if (!moved)
            return true;
    }
}

// Reads what f's pipe holds into f.in. Returns false while the pipe is open
// and empty; closes it at its end or on a read error.
bool read_feed(feed_proc &f)
{
    char buf[4096];
    const std::size_t room = sizeof buf;
    const ssize_t n = read(f.fd.get(), buf, room);
    if (n > 0) {
        f.in.append(buf, static_cast<std::size_t>(n));
        return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return false;
    f.fd.reset();
    return true;
}

// The pid that the graph's pid file names, or -1. Read under the take-over
// lock, shared, which a starting feed holds exclusively from its kill of the
// old feed until its pid is written; waits for it at most half a second.
long registered_pid(feed_lock &lk, const std::string &name)
{
    const bool locked = lk.lock(false, 500);
    const pid_record r = read_pid("feeds", name.c_str());
    if (locked && !lk.unlock())
        std::fprintf(stderr, "feeds: unlock %s: %s\n", feed_lock_path, std::strerror(errno));
    return r.has_number ? r.pid : -1;
}

// How f ended, as its "=" line says it.
std::string how_ended(mux &m, const feed_proc &f)
{
    if (WIFEXITED(f.status))
        return "exit " + std::to_string(WEXITSTATUS(f.status));
    const int sig = WTERMSIG(f.status);
    if (sig == SIGKILL && !f.killed) {
        const long now_registered = registered_pid(m.lk, f.name);
        if (now_registered > 0 && now_registered != f.pid)
            return "taken-over " + std::to_string(now_registered);
    }
    return "signal " + std::to_string(sig);
}

// Reaps the feeds that ended; one whose pipe is empty while something else
// still holds it counts as at its end.
void reap(mux &m, double now)
{
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        for (std::size_t g = 0; g < m.feeds.size(); ++g) {
            feed_proc &f = m.feeds[g];
            if (f.pid != pid || f.reaped)
                continue;
            f.reaped = true;
            f.status = status;
            while (f.fd.valid() && !f.stuck && read_feed(f))
                take_lines(m, f, static_cast<int>(g), now);
            if (!f.stuck)
                f.fd.reset();
        }
    }
}

// Queues the "=" line of every feed that ended and whose lines are all queued.
void report_ends(mux &m, double now)
{
    for (std::size_t g = 0; g < m.feeds.size(); ++g) {
        feed_proc &f = m.feeds[g];
        if (f.ended || !f.reaped || f.fd.valid())
            continue;
        take_lines(m, f, static_cast<int>(g), now);
        if (f.stuck)
            continue;
        const std::string line = lost_line(f) + "=" + f.name + " " + how_ended(m, f) + "\n";
        m.out.push(-1, line.data(), line.size());
        f.ended = true;
    }
}

// Removes the pid files that still name a feed that this program killed, so
// that no later feed of the graph takes the pid, which the system may give to
// any process, for a feed's. Under the take-over lock, so that a pid file
// that a starting feed has just written stays; waits for it at most a second.
void forget_pids(mux &m)
{
    if (!m.lk.lock(true, 1000)) {
        std::fprintf(stderr, "feeds: lock %s: %s\n", feed_lock_path, std::strerror(errno));
        return;
    }
    for (const feed_proc &f : m.feeds) {
        const pid_record r = f.killed ? read_pid("feeds", f.name.c_str()) : pid_record{};
        const std::string path = pid_path(f.name.c_str());
        if (r.has_number && r.pid == f.pid && unlink(path.c_str()) != 0 && errno != ENOENT)
            std::fprintf(stderr, "feeds: unlink %s: %s\n", path.c_str(), std::strerror(errno));
    }
    if (!m.lk.unlock())
        std::fprintf(stderr, "feeds: unlock %s: %s\n", feed_lock_path, std::strerror(errno));
}

// Kills every feed still running, reaps them all and removes their pid files.
void end_all(mux &m)
{
    for (feed_proc &f : m.feeds)
        if (!f.reaped && f.pid > 0 && kill(f.pid, SIGKILL) == 0)
            f.killed = true;
    for (feed_proc &f : m.feeds) {
        if (f.reaped || f.pid <= 0)
            continue;
        while (waitpid(f.pid, &f.status, 0) < 0 && errno == EINTR) {
        }
        f.reaped = true;
    }
    forget_pids(m);
}

// Brings the wait set up to date: the pipes of the feeds that may be read,
// the client's side when lines wait for it. Returns the seconds until the
// hold limit of the first graph that waits for its share, or -1 when none waits.
double update_wait_set(mux &m, double now)
{
    double wake = -1;
    for (std::size_t g = 0; g < m.feeds.size(); ++g) {
        feed_proc &f = m.feeds[g];
        if (f.stuck && f.held_since >= 0) {
            const double at = std::max(0.0, f.held_since + hold_limit - now);
            wake = wake < 0 ? at : std::min(wake, at);
        }
        // A closed pipe left the set with its descriptor.
        const bool want = f.fd.valid() && !f.stuck;
        if (want != f.armed && f.fd.valid()) {
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u32 = static_cast<std::uint32_t>(g);
            if (epoll_ctl(m.ep, want ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, f.fd.get(), &ev) != 0)
                std::fprintf(stderr, "feeds: epoll_ctl %s: %s\n", f.name.c_str(), std::strerror(errno));
        }
        f.armed = want;
    }
    const int out = m.out.empty() ? 0 : static_cast<int>(EPOLLOUT);
    if (m.out_events >= 0 && out != m.out_events) {
        epoll_event ev{};
        ev.events = static_cast<std::uint32_t>(out);
        ev.data.u32 = UINT32_MAX;
        if (epoll_ctl(m.ep, EPOLL_CTL_MOD, 1, &ev) != 0)
            std::fprintf(stderr, "feeds: epoll_ctl standard output: %s\n", std::strerror(errno));
        m.out_events = out;
    }
    return wake;
}

// Streams until every feed has ended and its lines are out (0), or until the
// client is gone or a signal ends this program (1).
int run(mux &m)
{
    epoll_event ev{};
    ev.data.u32 = UINT32_MAX;
    // A client's side that epoll cannot watch (a regular file) never blocks.
    m.out_events = epoll_ctl(m.ep, EPOLL_CTL_ADD, 1, &ev) == 0 ? 0 : -1;
    std::vector<epoll_event> ready(64);
    // When the client was last given a line, and the bytes given by then.
    double said = now_s();
    unsigned long long pushed = m.out.pushed();
    for (;;) {
        const double now = now_s();
        if (got_child) {
            got_child = 0;
            reap(m, now);
        }
        report_ends(m, now);
        if (m.out.pushed() == pushed && now - said >= quiet_limit && m.out.empty())
            m.out.push(-1, "\n", 1);
        // A client that takes nothing gets no more lines meanwhile.
        if (m.out.pushed() != pushed || now - said >= quiet_limit) {
            pushed = m.out.pushed();
            said = now;
        }
        if (!pass_on(m, now) || got_end)
            return 1;
        if (m.out.empty() && std::all_of(m.feeds.begin(), m.feeds.end(), [](const feed_proc &f) { return f.ended; }))
            return 0;
        const double until = std::max(0.0, said + quiet_limit - now);
        const double held = update_wait_set(m, now);
        const double wake = held < 0 ? until : std::min(held, until);
        // A millisecond more, so that the limit has passed on waking.
        const int ms = wake < 0 ? -1 : static_cast<int>(wake * 1000) + 1;
        const int n = epoll_pwait(m.ep, ready.data(), static_cast<int>(ready.size()), ms, &m.wait_mask);
        if (n < 0 && errno != EINTR)
            return 1;
        const double later = now_s();
        for (int i = 0; i < n; ++i) {
            const std::uint32_t g = ready[static_cast<std::size_t>(i)].data.u32;
            // A pipe whose reader is gone reports an error: the client left.
            if (g == UINT32_MAX) {
                if ((ready[static_cast<std::size_t>(i)].events & (EPOLLERR | EPOLLHUP)) != 0)
                    return 1;
                continue;
            }
            feed_proc &f = m.feeds[g];
            if (f.fd.valid() && !f.stuck) {
                read_feed(f);
                take_lines(m, f, static_cast<int>(g), later);
            }
        }
    }
}

// Installs the handlers, blocks the handled signals outside the wait, and
// ignores SIGPIPE so that a client gone shows as a failed write.
void setup_mux_signals(mux &m, sigset_t &orig)
{
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = on_child;
    sigaction(SIGCHLD, &sa, nullptr);
    sa.sa_handler = on_end;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaction(sig, &sa, nullptr);
    struct sigaction ign {}, old {};
    ign.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ign, &old);
    m.pipe_ignored = old.sa_handler == SIG_IGN;
    sigset_t handled;
    sigemptyset(&handled);
    for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGHUP})
        sigaddset(&handled, sig);
    sigprocmask(SIG_BLOCK, &handled, &orig);
    m.wait_mask = orig;
    for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGHUP})
        sigdelset(&m.wait_mask, sig);
}

// Refuses the request unless a feed can start for each of its n graphs
// without going beyond the feeds that the host runs at once.
void check_room(feed_lock &lk, std::size_t n)
{
    const int held = lk.open() ? lk.slots_held() : -1;
    if (held < 0)
        refuse("500 Internal Server Error",
               std::string("Cannot use the feeds' lock file ") + feed_lock_path + ": " + std::strerror(errno) + ".");
    if (static_cast<std::size_t>(held) + n > static_cast<std::size_t>(max_feeds)) {
        char line[160];
        std::snprintf(line, sizeof line, too_many_feeds, max_feeds);
        refuse("503 Service Unavailable", line);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    cgi_help(argc, argv,
             "usage: feeds   (run by the web server for GET /cgi-bin/feeds?k=SECONDS&g=GRAPH,GRAPH...)\n"
             "Serves the feeds of a page's graphs over one response, each line tagged with its graph.\n"
             "See traxel-cgi(8).\n");
    keep_errors_from_client();
    const char *method = std::getenv("REQUEST_METHOD");
    if (method == nullptr || std::strcmp(method, "GET") != 0)
        refuse("405 Method Not Allowed", "The feeds of a page are asked for with a GET.");
    const char *qs = std::getenv("QUERY_STRING");
    feeds_request req;
    std::string why;
    if (qs == nullptr)
        refuse("400 Bad Request", "No query information to decode.");
    if (!decode_feeds_query(qs, req, why))
        refuse("400 Bad Request", why);
    check_graphs(req);

    mux m(req.graphs.size());
    check_room(m.lk, req.graphs.size());
    m.ep = epoll_create1(EPOLL_CLOEXEC);
    if (m.ep < 0)
        refuse("500 Internal Server Error", std::string("epoll_create1: ") + std::strerror(errno) + ".");
    // nginx keeps what a program says until it has a buffer full, unless the
    // program asks otherwise; the feed's own header is fixed, so its location
    // needs fastcgi_buffering off, but this one spares it.
    write_or_exit(1, std::string(content_type) + "X-Accel-Buffering: no\n\n");
    sigset_t orig;
    setup_mux_signals(m, orig);
    std::vector<std::string> env = feed_environment(req.k);
    std::vector<char *> envp;
    for (std::string &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    m.feeds.resize(req.graphs.size());
    for (std::size_t g = 0; g < req.graphs.size(); ++g) {
        m.feeds[g].name = req.graphs[g];
        start_feed(m, m.feeds[g], envp.data(), orig);
    }
    if (fcntl(1, F_SETFL, fcntl(1, F_GETFL) | O_NONBLOCK) != 0)
        std::fprintf(stderr, "feeds: fcntl stdout: %s\n", std::strerror(errno));
    const int status = run(m);
    end_all(m);
    return status;
}
