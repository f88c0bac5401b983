// Take-over of a graph from its previous feed through the pid file in /tmp.
#include "takeover.h"

#include "contract.h"
#include "fd.h"
#include "shell.h"
#include "tokens.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// Room for "/tmp/", a checked graph name, ".pid" and for the shell commands.
constexpr int path_size = 64;

}  // namespace

bool may_kill(int pid) { return pid > 0 && pid != static_cast<int>(getpid()); }

int kill_before_pid(const char *name)
{
    char path[path_size];
    std::snprintf(path, sizeof path, pid_fmt, name);
    FILE *f = std::fopen(path, "r");
    if (f == nullptr)
        return 0;
    int old = 0;
    if (read_int(f, &old)) {
        std::printf("old-pid-%d\n", old);
        if (may_kill(old)) {
            char cmd[path_size];
            std::snprintf(cmd, sizeof cmd, "kill -KILL %d\n", old);
            run_shell("plotfeed", cmd);
        }
    }
    if (std::fclose(f) != 0)
        std::fprintf(stderr, "plotfeed: fclose %s: %s\n", path, std::strerror(errno));
    return 1;
}

void save_pid(const char *name)
{
    const int pid = static_cast<int>(getpid());
    char cmd[path_size];
    char path[path_size];
    std::snprintf(cmd, sizeof cmd, "rm /tmp/%s.pid", name);
    std::snprintf(path, sizeof path, pid_fmt, name);
    run_shell("plotfeed", cmd);
    FILE *f = std::fopen(path, "w+");
    if (f == nullptr)
        std::printf("No se puede abrir archivo SAVE\n");
    std::printf("new-pid-%d\n", pid);
    if (f == nullptr)
        return;
    const bool wrote = std::fprintf(f, "%d\n", pid) >= 0;
    if (std::fclose(f) != 0 || !wrote)
        std::fprintf(stderr, "plotfeed: write %s: %s\n", path, std::strerror(errno));
}

namespace {

// Takes an exclusive flock on the directory dir, held as long as the
// returned descriptor is. A directory opened read-only takes the lock for any
// user, and the lock goes with the process however it ends. A failure is
// reported on stderr and gives no lock.
unique_fd lock_dir(const char *dir)
{
    unique_fd fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) {
        std::fprintf(stderr, "plotfeed: open %s: %s\n", dir, std::strerror(errno));
        return fd;
    }
    while (flock(fd.get(), LOCK_EX) != 0) {
        if (errno == EINTR)
            continue;
        std::fprintf(stderr, "plotfeed: flock %s: %s\n", dir, std::strerror(errno));
        fd.reset();
        break;
    }
    return fd;
}

}  // namespace

void take_over(const char *name)
{
    // Unguarded, two feeds could both find the pid file gone between the
    // other's rm and its write, kill nobody, and split one pipe's samples.
    const unique_fd lock = lock_dir(".");
    kill_before_pid(name);
    save_pid(name);
}
