// A temporary traxel installation in which the fault tests run the built daemon and feed.
#include "fault_env.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <stdexcept>


namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string &what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

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
    // The feeds' lock file, which the installation makes for the web server's
    // user; a test's feeds run as root or, behind mini_httpd, as nobody.
    const std::string lock = dir_ + "/httpd/feed.lock";
    std::ofstream(lock, std::ios::binary).flush();
    if (chmod(lock.c_str(), 0666) != 0)
        fail("chmod " + lock);
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
    return pipe_held(fifo(graph), timeout_ms);
}

bool start_serving(const installation &inst, const std::string &graph, child &daemon, std::string &why)
{
    daemon = inst.start_daemon();
    if (inst.daemon_holds(graph, 10000))
        return true;
    why = daemon.running() ? "the daemon does not hold the pipe after 10 s" : read_rest(daemon.err(), 1000);
    return false;
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
