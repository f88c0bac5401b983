// Running the built daemon in a temporary installation directory, for the daemon's process tests.
#include "spawn.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "files.h"

child spawn_daemon(const std::string &dir, const std::vector<std::string> &args, uid_t uid, gid_t gid,
                   const std::string &bin)
{
    std::vector<std::string> argv = {bin};
    argv.insert(argv.end(), args.begin(), args.end());
    return spawn(dir, bin, argv, {{"TZ", "UTC0"}}, uid, gid);
}

result run(const std::string &dir, const std::vector<std::string> &args, int timeout_ms)
{
    child c = spawn_daemon(dir, args);
    result r;
    r.out = read_rest(c.out(), timeout_ms);
    r.err = read_rest(c.err(), timeout_ms);
    r.status = c.wait(timeout_ms);
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

void give_to(const std::string &dir, const struct passwd *pw)
{
    for (const std::string &d : {dir + "/httpd/cgi-bin", dir + "/run"})
        if ((mkdir(d.c_str(), 0755) != 0 && errno != EEXIST) || chown(d.c_str(), pw->pw_uid, pw->pw_gid) != 0)
            throw std::runtime_error("cannot give " + d + " to " + pw->pw_name);
}

running_daemon::running_daemon(const std::string &dir, const std::vector<std::string> &args, uid_t uid, gid_t gid,
                               const std::string &bin)
    : p(spawn_daemon(dir, args, uid, gid, bin))
{
}

running_daemon::~running_daemon()
{
    kill(p.pid(), SIGTERM);
    EXPECT_EQ(p.wait(4000), 0);
}

std::string running_daemon::first_sample(const std::string &fifo)
{
    if (!pipe_held(fifo, 4000))
        return "";
    int rd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    std::string line = read_line(rd, 12000);
    close(rd);
    return line;
}

std::string file_with(const std::string &path, const std::string &want)
{
    std::string text;
    for (int i = 0; i < 150; ++i) {
        text = file_text(path);
        if (text.find(want) != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return text;
}

std::string reachable_daemon()
{
    const std::string dir = temp_dir();
    if (chmod(dir.c_str(), 0755) != 0)
        throw std::runtime_error("chmod " + dir);
    copy_program(TRAXEL_BIN, dir + "/traxel");
    return dir + "/traxel";
}

time_t next_grid_time()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (ts.tv_sec / 5 + 1) * 5;
}
