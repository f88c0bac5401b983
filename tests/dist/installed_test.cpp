// The installed system against a local user without rights, and a daemon that the launcher starts with a pipe missing.
//
// Installs the build as root into a private tree below /tmp (DESTDIR, the
// tree that the test build of the launcher was made for), with two graphs,
// and removes it at the end. The local user is a uid and gid that no user of
// the host has, taken with setpriv; the web server's user is nobody.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "child.h"
#include "files.h"
#include "host.h"
#include "unique_graph.h"

namespace {

namespace fs = std::filesystem;

const std::string dir = std::string(TRAXEL_DIST_DEST) + TRAXEL_INSTALL_DIR;
const std::string cgi = dir + "/httpd/cgi-bin";
const std::string graph_a = unique_graph("port", 'i'), graph_b = unique_graph("port", 'j');
const std::string stranger = std::to_string(3000000 + getpid() % 100000);

// Starts argv as the stranger. setpriv keeps root's capabilities until its
// own exec, so argv is run by a shell that has none left.
child start_as_stranger(const std::vector<std::string> &argv)
{
    std::vector<std::string> a = {"setpriv", "--reuid=" + stranger, "--regid=" + stranger, "--clear-groups",
                                  "/bin/sh", "-c", "exec \"$@\"", "sh"};
    a.insert(a.end(), argv.begin(), argv.end());
    return spawn("/", "/usr/bin/setpriv", a);
}

// argv run as the stranger: its output and error, and its status.
struct ran {
    std::string said;
    int status;
};
ran as_stranger(const std::vector<std::string> &argv)
{
    child c = start_as_stranger(argv);
    const std::string out = read_rest(c.out(), 10000);
    return {out + read_rest(c.err(), 1000), c.wait(10000)};
}

// A feed of graph g started by the web server: nobody, in the CGI directory.
child feed_of(const std::string &g, const passwd *web)
{
    return spawn(cgi, "./" + g, {g}, {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "dhle,60,0s"}}, web->pw_uid,
                 web->pw_gid);
}

// Starts the stranger holding an flock on the directory d, as anyone could
// when the take-over and the daemon locked directories; returns once held.
child hold_as_stranger(const std::string &d)
{
    // One process opens, locks and then sleeps, so that killing it ends all.
    child c = start_as_stranger({"sh", "-c", "exec 9<\"$0\" && flock 9 && exec sleep 30", d});
    const int fd = open(d.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool held = false;
    for (int i = 0; i < 200 && !(held = flock(fd, LOCK_EX | LOCK_NB) != 0); ++i) {
        flock(fd, LOCK_UN);
        usleep(10000);
    }
    close(fd);
    EXPECT_TRUE(held) << "the stranger did not lock " << d;
    return c;
}

// The processes that run the installed daemon.
std::vector<pid_t> daemons()
{
    std::vector<pid_t> found;
    for (const auto &e : fs::directory_iterator("/proc")) {
        std::error_code ec;
        if (fs::read_symlink(e.path() / "exe", ec) == dir + "/traxel")
            found.push_back(std::stoi(e.path().filename()));
    }
    return found;
}

class Installed : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (geteuid() != 0 || !getpwnam("nobody"))
            return;
        fs::remove_all(TRAXEL_DIST_DEST);
        fs::create_directories(dir);
        // The web server's user must reach the tree; only the new directories.
        for (fs::path d = dir; d.string().size() >= std::string(TRAXEL_DIST_DEST).size(); d = d.parent_path())
            fs::permissions(d, fs::perms(0755));
        write_file(dir + "/traxel.cfg", "window 5\n" + graph_a + " 4811 0 100 50\n" + graph_b + " 4812 0 100 50\n");
        write_file(dir + "/capture.cfg", "interface lo\n");
        child c = spawn("/", CMAKE_COMMAND, {"cmake", "--install", BUILD_DIR}, {{"DESTDIR", TRAXEL_DIST_DEST}});
        const std::string out = read_rest(c.out(), 60000);
        installed = c.wait(60000) == 0;
        if (!installed)
            why = out + read_rest(c.err(), 1000);
        // The launcher built for this tree, in place of the one built for the
        // installation directory.
        copy_program(START_DIST, cgi + "/start");
    }
    static void TearDownTestSuite()
    {
        for (pid_t d : daemons())
            kill(d, SIGKILL);
        for (const std::string &g : {graph_a, graph_b})
            fs::remove("/tmp/" + g + ".pid");
        fs::remove_all(TRAXEL_DIST_DEST);
    }
    void SetUp() override
    {
        web = getpwnam("nobody");
        if (geteuid() != 0 || !web)
            GTEST_SKIP() << "needs root, to install, and the user nobody";
        REQUIRE_TOOL("/usr/bin/setpriv", "util-linux");
        ASSERT_TRUE(installed) << why;
    }

    static inline bool installed = false;
    static inline std::string why;
    const passwd *web = nullptr;
};

TEST_F(Installed, ALocalUserCanNeitherCaptureNorHoldTheLocksNorFreezeOrKillWithPidFiles)
{
    // What such a user once could do: run the capture binary with its
    // capabilities, copy it, hold the daemon's or the feeds' lock, read a
    // graph's pipe (and so take its samples from the feeds).
    const struct {
        std::vector<std::string> argv;
    } refused[] = {
        {{dir + "/traxel", "-i", "lo", "-f"}},
        {{"cat", dir + "/traxel"}},
        {{"flock", "-n", dir + "/run/traxel.lock", "true"}},
        {{"flock", "-n", dir + "/httpd/feed.lock", "true"}},
        {{"dd", "if=" + cgi + "/" + graph_a + ".fifo", "iflag=nonblock", "count=0"}},
    };
    for (const auto &row : refused) {
        const ran r = as_stranger(row.argv);
        EXPECT_NE(r.status, 0) << row.argv[0] << ": " << r.said;
        EXPECT_NE(r.said.find("Permission denied"), std::string::npos) << row.argv[0] << ": " << r.said;
    }
    // The take-over's old lock, the CGI directory, held all along.
    const child holder = hold_as_stranger(cgi);
    // A named pipe at a pid file, and a pid file naming a process of the web
    // server's user that is no feed.
    child bystander = spawn("/", "/bin/sleep", {"sleep", "30"}, {}, web->pw_uid, web->pw_gid);
    const std::string pid_a = "/tmp/" + graph_a + ".pid", pid_b = "/tmp/" + graph_b + ".pid";
    fs::remove(pid_a);
    fs::remove(pid_b);
    EXPECT_EQ(as_stranger({"mkfifo", "-m", "666", pid_a}).status, 0);
    EXPECT_EQ(as_stranger({"sh", "-c", "echo " + std::to_string(bystander.pid()) + " >" + pid_b}).status, 0);
    const struct {
        const std::string &graph;
        std::string lines;  // between the MISS line and the new-pid line
    } feeds[] = {
        {graph_a, "No se puede abrir archivo SAVE\n"},
        {graph_b, "old-pid-" + std::to_string(bystander.pid()) + "\nNo se puede abrir archivo SAVE\n"},
    };
    for (const auto &row : feeds) {
        child f = feed_of(row.graph, web);
        std::string seen;
        EXPECT_NE(read_until(f.out(), "new-pid-", 5000, seen), "") << row.graph << " waits: " << seen;
        const std::string pid = std::to_string(f.pid());
        EXPECT_EQ(seen, "Content-type: text/html\n\nMISS-0--pid-" + pid + "\n" + row.lines + "new-pid-" + pid + "\n");
    }
    EXPECT_TRUE(bystander.running()) << "a forged pid file killed a process of the web server's user";
    for (const std::string &p : {pid_a, pid_b})
        fs::remove(p);
}

TEST_F(Installed, LauncherStartsADaemonThatServesTheGraphsWhosePipesItCanOpen)
{
    // A daemon that the launcher starts runs as the web server's user, which
    // cannot make a pipe in the root's CGI directory; and the daemon's old
    // lock, the installation directory, is held by a local user.
    fs::remove(cgi + "/" + graph_b + ".fifo");
    const child holder = hold_as_stranger(dir);
    child start = spawn(cgi, "./start", {"start"},
                        {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                         {"CONTENT_LENGTH", "0"}},
                        web->pw_uid, web->pw_gid);
    const std::string said = read_rest(start.out(), 10000) + read_rest(start.err(), 1000);
    EXPECT_EQ(start.wait(5000), 0) << said;
    EXPECT_NE(said.find("traxel: graph " + graph_b + " not served: mkfifo httpd/cgi-bin/" + graph_b +
                        ".fifo: Permission denied\n"),
              std::string::npos)
        << said;
    ASSERT_EQ(daemons().size(), 1u) << said;
    EXPECT_TRUE(pipe_held(cgi + "/" + graph_a + ".fifo", 4000));
    child f = feed_of(graph_a, web);
    std::string seen;
    EXPECT_NE(read_until(f.out(), "data-", 12000, seen), "") << seen;
}

}  // namespace
