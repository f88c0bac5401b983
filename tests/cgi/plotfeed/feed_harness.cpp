// Runs the built feed as a web server would, with a scripted daemon on its pipe.
#include "feed_harness.h"

#include "files.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

// A failed set-up leaves nothing to test; say why and stop the test process.
void require(bool ok, const std::string &what)
{
    if (!ok) {
        std::fprintf(stderr, "feed_harness: %s: %s\n", what.c_str(), std::strerror(errno));
        std::abort();
    }
}

bool read_file(const std::string &path, std::string *text)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return false;
    std::ostringstream s;
    s << f.rdbuf();
    *text = s.str();
    return true;
}

void write_all(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        require(n > 0, "write pipe");
        done += static_cast<size_t>(n);
    }
}

// The temporary CGI tree of one run: <root>/traxel.cfg and <root>/httpd/cgi-bin.
struct cgi_tree {
    std::string root, cgi, graph;

    explicit cgi_tree(const feed_case &c) : graph(c.graph)
    {
        char tmpl[] = "/tmp/plotfeed-test-XXXXXX";
        require(mkdtemp(tmpl) != nullptr, "mkdtemp");
        root = tmpl;
        cgi = root + "/httpd/cgi-bin";
        require(mkdir((root + "/httpd").c_str(), 0700) == 0, "mkdir httpd");
        require(mkdir(cgi.c_str(), 0700) == 0, "mkdir " + cgi);
        if (c.with_cfg)
            write_file(root + "/traxel.cfg", c.cfg);
        write_file(lock(), "");
        require(symlink(PLOTFEED_BIN, (cgi + "/" + graph).c_str()) == 0, "symlink " + graph);
        if (c.with_fifo)
            require(mkfifo(fifo().c_str(), 0600) == 0, "mkfifo " + fifo());
    }
    ~cgi_tree()
    {
        for (const std::string &p : {root + "/traxel.cfg", cgi + "/" + graph, fifo(), err(), lock()})
            unlink(p.c_str());
        rmdir(cgi.c_str());
        rmdir((root + "/httpd").c_str());
        rmdir(root.c_str());
    }
    cgi_tree(const cgi_tree &) = delete;
    cgi_tree &operator=(const cgi_tree &) = delete;
    std::string fifo() const { return cgi + "/" + graph + ".fifo"; }
    std::string err() const { return root + "/stderr"; }
    std::string lock() const { return root + "/httpd/feed.lock"; }
};

// Forks the feed, held until released through the returned descriptor.
pid_t spawn(const feed_case &c, const cgi_tree &t, int out_fd, int *go_fd)
{
    std::vector<std::string> env = {"PATH=/usr/local/bin:/usr/bin:/bin"};
    if (c.method != nullptr)
        env.push_back(std::string("REQUEST_METHOD=") + c.method);
    if (c.query != nullptr)
        env.push_back(std::string("QUERY_STRING=") + c.query);
    std::vector<char *> envp;
    for (std::string &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string name = c.full_path ? t.cgi + "/" + c.graph : c.graph;
    std::string arg1 = c.query != nullptr ? c.query : "";
    char *argv[] = {name.data(), c.full_path ? arg1.data() : nullptr, nullptr};
    const std::string exe = "./" + c.graph;
    const std::string err_path = t.err();
    int go[2];
    require(pipe2(go, O_CLOEXEC) == 0, "pipe");
    const pid_t pid = fork();
    require(pid >= 0, "fork");
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        char b;
        while (read(go[0], &b, 1) < 0 && errno == EINTR)
            ;
        const int err = c.errors_to_out ? out_fd : open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (chdir(t.cgi.c_str()) != 0 || dup2(out_fd, 1) < 0 || err < 0 || dup2(err, 2) < 0)
            _exit(126);
        // Its own process group, so that a stray "kill 0" reaches only it.
        setpgid(0, 0);
        struct sigaction ign {};
        ign.sa_handler = SIG_IGN;
        for (int sig : c.ignored_signals)
            if (sigaction(sig, &ign, nullptr) != 0)
                _exit(126);
        execve(exe.c_str(), argv, envp.data());
        _exit(127);
    }
    close(go[0]);
    *go_fd = go[1];
    return pid;
}

// The scripted daemon's end of the pipe, reading too so that it never
// blocks, with the backlog written.
int open_writer(const feed_case &c, const cgi_tree &t)
{
    const int wfd = open(t.fifo().c_str(), O_RDWR | O_CLOEXEC);
    require(wfd >= 0, "open " + t.fifo());
    write_all(wfd, c.backlog);
    return wfd;
}

// Plays a case's steps against the feed's output so far.
struct script_driver {
    const feed_case &c;
    const cgi_tree &t;
    feed_result &r;
    int wfd;  // the scripted daemon's end of the pipe, -1 before it opens and once closed
    bool late_writer;                // it opens at open_at
    clock_type::time_point open_at;
    size_t step = 0;
    bool armed = false, finished = false, client_left = false;
    clock_type::time_point due{};

    // Opens the pipe when it is time, writes every step that is due, then
    // ends the script once all are done.
    void advance(clock_type::time_point now)
    {
        if (late_writer) {
            if (now < open_at)
                return;
            wfd = open_writer(c, t);
            late_writer = false;
        }
        while (step < c.steps.size()) {
            const feed_step &s = c.steps[step];
            if (!armed && (s.wait_for.empty() || r.out.find(s.wait_for) != std::string::npos)) {
                armed = true;
                due = now + std::chrono::milliseconds(s.delay_ms);
            }
            if (!armed || now < due)
                return;
            write_all(wfd, s.text);
            client_left = client_left || s.close_output;
            ++step;
            armed = false;
        }
        // Closing the pipe before the feed has opened it would lose the
        // lines written; its first stream line shows that it is open.
        if (finished || (wfd >= 0 && r.out.find("SON-") == std::string::npos))
            return;
        finished = true;
        if (c.end_signal != 0) {
            require(kill(r.pid, c.end_signal) == 0, "kill feed");
        } else if (wfd >= 0) {
            close(wfd);
            wfd = -1;
        }
    }

    // How long to wait for output before the next step may be due: 1..100 ms.
    int wait_ms(clock_type::time_point now) const
    {
        if (!armed)
            return 100;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count();
        return left < 1 ? 1 : (left > 100 ? 100 : static_cast<int>(left));
    }
};

// Waits up to wait_ms for output on fd and appends it to out; true at its end.
bool read_output(int fd, int wait_ms, std::string *out)
{
    pollfd p{fd, POLLIN, 0};
    const int n = poll(&p, 1, wait_ms);
    require(n >= 0 || errno == EINTR, "poll");
    if (n <= 0)
        return false;
    char buf[4096];
    const ssize_t got = read(fd, buf, sizeof buf);
    require(got >= 0 || errno == EINTR, "read feed output");
    if (got > 0)
        out->append(buf, static_cast<size_t>(got));
    return got == 0;
}

// Starts the older feed of c in tree t and waits up to 10 s until the pid
// file names it.
pid_t start_older(const feed_case &c, const cgi_tree &t)
{
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    require(null >= 0, "open /dev/null");
    int go = -1;
    const pid_t pid = spawn(c, t, null, &go);
    close(null);
    require(write(go, "g", 1) == 1, "release older feed");
    close(go);
    const std::string want = std::to_string(pid) + "\n";
    std::string text;
    for (int i = 0; i < 1000 && !(read_file("/tmp/" + c.graph + ".pid", &text) && text == want); ++i)
        poll(nullptr, 0, 10);
    return pid;
}

// The status of the older feed, which should have been killed: it gets
// SIGKILL after 10 s at most.
int end_older(pid_t pid)
{
    int status = -1;
    for (int i = 0; i < 1000; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return status;
        poll(nullptr, 0, 10);
    }
    kill(pid, SIGKILL);
    require(waitpid(pid, &status, 0) == pid, "waitpid older feed");
    return -1;
}

}  // namespace

feed_result run_feed(const feed_case &c)
{
    feed_result r;
    std::unique_ptr<cgi_tree> older_tree;
    if (c.older_feed) {
        older_tree = std::make_unique<cgi_tree>(c);
        r.older = start_older(c, *older_tree);
    }
    cgi_tree t(c);
    const int wfd = c.with_fifo && c.writer_after_ms == 0 ? open_writer(c, t) : -1;
    int out[2];
    require(pipe2(out, O_CLOEXEC) == 0, "pipe");
    r.started = std::time(nullptr);
    int go = -1;
    r.pid = spawn(c, t, out[1], &go);
    close(out[1]);
    if (c.before_exec)
        c.before_exec(r.pid);
    require(write(go, "g", 1) == 1, "release feed");
    close(go);

    const auto start = clock_type::now();
    script_driver d{c, t, r, wfd, c.with_fifo && c.writer_after_ms > 0,
                    start + std::chrono::milliseconds(c.writer_after_ms)};
    const auto deadline = start + std::chrono::seconds(40);
    bool reaped = false;
    for (bool eof = false; !eof && !reaped;) {
        const auto now = clock_type::now();
        d.advance(now);
        if (now > deadline && !r.timed_out) {
            r.timed_out = true;
            kill(r.pid, SIGKILL);
        }
        if (d.client_left && out[0] >= 0) {
            close(out[0]);
            out[0] = -1;
        }
        if (out[0] >= 0) {
            eof = read_output(out[0], d.wait_ms(now), &r.out);
        } else {
            // Without output to wait on, look for the feed's end now and then.
            poll(nullptr, 0, d.wait_ms(now));
            reaped = waitpid(r.pid, &r.status, WNOHANG) == r.pid;
        }
    }
    if (out[0] >= 0)
        close(out[0]);
    if (!reaped)
        require(waitpid(r.pid, &r.status, 0) == r.pid, "waitpid");
    if (d.wfd >= 0)
        close(d.wfd);
    r.ended = std::time(nullptr);
    read_file(t.err(), &r.err);
    const std::string pid_path = "/tmp/" + c.graph + ".pid";
    r.had_pid_file = read_file(pid_path, &r.pid_file);
    if (r.had_pid_file)
        unlink(pid_path.c_str());
    if (r.older > 0)
        r.older_status = end_older(r.older);
    return r;
}

std::string mask_times(const std::string &out, std::int64_t from, std::int64_t to)
{
    std::string masked;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("time1-", 0) == 0 || line.rfind("time2-", 0) == 0) {
            const std::string stamp = line.substr(6);
            char *end = nullptr;
            const long long t = std::strtoll(stamp.c_str(), &end, 10);
            if (!stamp.empty() && *end == '\0' && t >= from && t <= to)
                line = line.substr(0, 6) + "T";
        }
        masked += line + "\n";
    }
    // getline drops the newline of an unfinished last line; keep the text exact.
    if (!out.empty() && out.back() != '\n')
        masked.pop_back();
    return masked;
}

std::string startup_lines(int k, pid_t pid)
{
    return "Content-type: text/html\n\nMISS-" + std::to_string(k) + "--pid-" +
           std::to_string(pid) + "\nnew-pid-" + std::to_string(pid) + "\n";
}
