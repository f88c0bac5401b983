// Tests of the launcher run as a CGI process against a marker daemon.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;
using std::chrono::steady_clock;

const std::string header = "Content-type: text/html\n\n";
const std::string launched = header + "traxel &finished!!!";
const std::string not_post = header +
                             "This script should be referenced with a METHOD of POST.\n"
                             "If you don't understand this, see this "
                             "<A HREF=\"/forms.html\">"
                             "forms overview</A>.\n";
const std::string not_form = header + "This script can only be used to decode form results. \n";
const std::string too_long = header + "Form body of more than 65536 bytes refused.\n";
const std::string not_length = header + "Content length that is not a number of bytes refused.\n";

// The marker daemon: appends one line per start to the file named in
// TRAXEL_TEST_LOG, saying where it ran and with how many arguments, then ends
// (and so lets go of the launcher's output).
const char marker[] =
    "#!/bin/sh\n"
    "echo \"start in `pwd` with $# arguments\" >> \"$TRAXEL_TEST_LOG\"\n";

// Bounds on waiting for the launcher and its daemon, far above their needs.
constexpr auto run_bound = seconds(60);
constexpr auto start_bound = seconds(10);

// What one CGI run gave: standard output, standard error, the exit status
// (-1 when the process did not exit normally) and the peak resident memory
// of the process and the children it waited for, in KiB.
struct cgi_result {
    std::string out;
    std::string err;
    int status;
    long maxrss_kib;
};

std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// Puts the marker daemon into dir as "traxel". Written aside and renamed, as
// a test running at the same time may be starting the one already there.
void put_marker(const std::string &dir)
{
    fs::create_directories(dir);
    std::string tmp = dir + "/.traxel." + std::to_string(getpid());
    {
        std::ofstream f(tmp, std::ios::binary);
        f << marker;
        ASSERT_TRUE(f.good()) << tmp;
    }
    ASSERT_EQ(chmod(tmp.c_str(), 0755), 0) << tmp << ": " << std::strerror(errno);
    ASSERT_EQ(rename(tmp.c_str(), (dir + "/traxel").c_str()), 0) << std::strerror(errno);
}

// Reads fd to its end, for at most run_bound; false when the bound ran out.
bool read_all(int fd, std::string &out)
{
    auto deadline = steady_clock::now() + run_bound;
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        int n = poll(&p, 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        ssize_t got = read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0;
        out.append(buf, static_cast<size_t>(got));
    }
}

// Runs prog in cwd with exactly the environment env and standard input infd;
// standard output is read until every holder of it (the daemon too) is gone.
// With ignore_sigchld the program starts with SIGCHLD ignored, as a web
// server may leave it.
cgi_result run_fd(const char *prog, const std::vector<std::string> &env, int infd, const std::string &cwd,
                  const std::string &errpath, bool ignore_sigchld)
{
    cgi_result r{"", "", -1, -1};
    std::vector<char *> argv{const_cast<char *>(prog), nullptr};
    std::vector<char *> envp;
    for (const auto &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << std::strerror(errno);
        return r;
    }
    int errfd = open(errpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    pid_t pid = errfd < 0 ? -1 : fork();
    if (pid == 0) {
        if (dup2(infd, 0) < 0 || dup2(out[1], 1) < 0 || dup2(errfd, 2) < 0 || chdir(cwd.c_str()) != 0)
            _exit(126);
        if (ignore_sigchld && signal(SIGCHLD, SIG_IGN) == SIG_ERR)
            _exit(126);
        execve(prog, argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    if (pid < 0) {
        ADD_FAILURE() << "open or fork: " << std::strerror(errno);
        close(out[0]);
        return r;
    }
    if (!read_all(out[0], r.out)) {
        ADD_FAILURE() << prog << " still holds its output after the bound";
        kill(pid, SIGKILL);
    }
    close(out[0]);
    close(errfd);
    int ws;
    rusage ru{};
    if (wait4(pid, &ws, 0, &ru) == pid) {
        r.maxrss_kib = ru.ru_maxrss;
        if (WIFEXITED(ws))
            r.status = WEXITSTATUS(ws);
    }
    r.err = slurp(errpath);
    return r;
}

// The environment of a form submission; a null length leaves it unset.
std::vector<std::string> post(const char *length)
{
    std::vector<std::string> env{"REQUEST_METHOD=POST", "CONTENT_TYPE=application/x-www-form-urlencoded"};
    if (length != nullptr)
        env.push_back(std::string("CONTENT_LENGTH=") + length);
    return env;
}

class Launcher : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/launcher_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr) << std::strerror(errno);
        dir = tmpl;
        put_marker(LAUNCHER_INSTALL);
        install = fs::canonical(LAUNCHER_INSTALL).string();
    }

    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // Runs prog with env plus the marker's log path, body as standard input.
    cgi_result run(const char *prog, std::vector<std::string> env, const std::string &body,
                   const std::string &log, const std::string &cwd = "/", bool ignore_sigchld = false)
    {
        std::string in = dir + "/body";
        std::ofstream(in, std::ios::binary) << body;
        int fd = open(in.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_GE(fd, 0) << in << ": " << std::strerror(errno);
        cgi_result r = run_with_stdin(prog, std::move(env), fd, log, cwd, ignore_sigchld);
        close(fd);
        return r;
    }

    cgi_result run_with_stdin(const char *prog, std::vector<std::string> env, int fd, const std::string &log,
                              const std::string &cwd = "/", bool ignore_sigchld = false)
    {
        env.push_back("PATH=/usr/bin:/bin");
        env.push_back("TRAXEL_TEST_LOG=" + log);
        return run_fd(prog, env, fd, cwd, dir + "/stderr", ignore_sigchld);
    }

    // The marker's lines in log, once it holds n of them or start_bound ran out.
    static std::vector<std::string> starts(const std::string &log, size_t n)
    {
        auto deadline = steady_clock::now() + start_bound;
        std::vector<std::string> lines;
        for (;;) {
            lines.clear();
            std::istringstream s(slurp(log));
            for (std::string l; std::getline(s, l);)
                lines.push_back(l);
            if (lines.size() >= n || steady_clock::now() > deadline)
                return lines;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    std::string log(const std::string &name) const { return dir + "/" + name + ".log"; }

    std::string started_in(const std::string &where) const { return "start in " + where + " with 0 arguments"; }

    std::string dir;
    std::string install;
};

TEST_F(Launcher, RefusesMethodOtherThanPost)
{
    const char *methods[] = {nullptr, "GET", "post", "PUT", ""};
    for (const char *m : methods) {
        std::vector<std::string> env{"CONTENT_TYPE=application/x-www-form-urlencoded", "CONTENT_LENGTH=4"};
        if (m != nullptr)
            env.push_back(std::string("REQUEST_METHOD=") + m);
        cgi_result r = run(START_TESTDIR, env, "go=1", log("m"));
        EXPECT_EQ(r.out, not_post) << (m ? m : "(unset)");
        EXPECT_EQ(r.status, 1);
        EXPECT_FALSE(fs::exists(log("m"))) << "started on " << (m ? m : "(unset)");
    }
}

TEST_F(Launcher, RefusesContentTypeOtherThanForm)
{
    const char *types[] = {
        nullptr, "text/plain", "application/x-www-form-urlencoded; charset=UTF-8",
        "Application/x-www-form-urlencoded", "multipart/form-data",
    };
    for (const char *t : types) {
        std::vector<std::string> env{"REQUEST_METHOD=POST", "CONTENT_LENGTH=4"};
        if (t != nullptr)
            env.push_back(std::string("CONTENT_TYPE=") + t);
        cgi_result r = run(START_TESTDIR, env, "go=1", log("t"));
        EXPECT_EQ(r.out, not_form) << (t ? t : "(unset)");
        EXPECT_EQ(r.status, 1);
        EXPECT_FALSE(fs::exists(log("t"))) << "started on " << (t ? t : "(unset)");
    }
}

TEST_F(Launcher, SubmissionStartsDaemonOnceInInstallDir)
{
    struct {
        const char *name;
        const char *length;  // null: unset
        const char *body;
    } cases[] = {
        {"zero_length", "0", "go=1"},
        {"unset_length", nullptr, "go=1"},
        {"empty_length", "", "go=1"},
        {"two_fields", "10", "go=1&x=a+b"},
        {"length_over_empty_body", "5", ""},
        {"length_past_body", "65536", "go=1&x=a+b"},
        {"length_short_of_body", "3", "go=1&x=2"},
        {"length_with_blanks_and_sign", " \t+10 ", "go=1&x=a+b"},
        {"escapes_and_stray_percent", "13", "a%41=%2&b=%zz"},
    };
    for (const auto &c : cases) {
        cgi_result r = run(START_TESTDIR, post(c.length), c.body, log(c.name));
        EXPECT_EQ(r.out, launched) << c.name;
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_EQ(r.err, "") << c.name;
        auto lines = starts(log(c.name), 1);
        EXPECT_EQ(lines, std::vector<std::string>{started_in(install)}) << c.name;
    }
}

TEST_F(Launcher, RefusesHugeOrMalformedLengthWithoutReadingBody)
{
    // A client may send 64 MiB whatever it announces; sparse, so cheap here.
    const std::string big = dir + "/big";
    const int fd = open(big.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    ASSERT_EQ(ftruncate(fd, 64 << 20), 0) << std::strerror(errno);
    const cgi_result small = run(START_TESTDIR, post("4"), "go=1", log("small"));
    ASSERT_EQ(small.out, launched);
    const struct {
        const char *length;
        const std::string &out;
    } cases[] = {{"67108864", too_long},     {"65537", too_long},
                 {"99999999999999999999", too_long}, {"-1", not_length},
                 {"-99999999999999999999", not_length}, {"many", not_length},
                 {"10 bytes", not_length},   {"0x10", not_length}};
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.length);
        ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
        const std::string l = log("refused" + std::to_string(n++));
        const cgi_result r = run_with_stdin(START_TESTDIR, post(c.length), fd, l);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, 1);
        EXPECT_FALSE(fs::exists(l)) << "the daemon was started";
        // The launcher shares the file offset: nothing of the body was read.
        EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);
        // Reading the body used to cost more than 100 MiB here.
        EXPECT_LE(r.maxrss_kib, small.maxrss_kib + 16 * 1024);
    }
    close(fd);
}

TEST_F(Launcher, EachSubmissionStartsAnotherDaemon)
{
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(run(START_TESTDIR, post("4"), "go=1", log("twice")).out, launched);
    auto lines = starts(log("twice"), 2);
    EXPECT_EQ(lines, (std::vector<std::string>{started_in(install), started_in(install)}));
}

TEST_F(Launcher, BodyOverTenThousandFieldsStopsAtLimit)
{
    std::string body;
    for (int i = 0; i < 20000; ++i)
        body += "f&";
    for (const char *length : {"40000", "65536"}) {
        std::string l = log(std::string("many") + length);
        cgi_result r = run(START_TESTDIR, post(length), body, l);
        EXPECT_EQ(r.out, launched) << length;
        EXPECT_EQ(r.status, 0) << length;
        EXPECT_EQ(starts(l, 1), std::vector<std::string>{started_in(install)}) << length;
    }
}

TEST_F(Launcher, UnreadableBodyEndsDecodingAndStillStarts)
{
    // A directory as standard input: every read fails, none meets the end.
    int fd = open("/", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    cgi_result r = run_with_stdin(START_TESTDIR, post("4"), fd, log("unreadable"));
    close(fd);
    EXPECT_EQ(r.out, launched);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(starts(log("unreadable"), 1), std::vector<std::string>{started_in(install)});
}

TEST_F(Launcher, IgnoredSigchldStillCountsAsLaunch)
{
    // The shell's status is lost then, but the daemon was started.
    cgi_result r = run(START_TESTDIR, post("4"), "go=1", log("nosigchld"), "/", true);
    EXPECT_EQ(r.out, launched);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(starts(log("nosigchld"), 1), std::vector<std::string>{started_in(install)});
}

TEST_F(Launcher, MissingInstallDirRunsCommandWhereLauncherRuns)
{
    ASSERT_FALSE(fs::exists(LAUNCHER_NODIR));
    put_marker(dir);
    cgi_result r = run(START_NODIR, post("4"), "go=1", log("nodir"), dir);
    EXPECT_EQ(r.out, launched);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, std::string("start: chdir ") + LAUNCHER_NODIR + ": No such file or directory\n");
    EXPECT_EQ(starts(log("nodir"), 1), std::vector<std::string>{started_in(fs::canonical(dir).string())});
}

}  // namespace
