// Take-over of a graph from its previous feed through the pid file in /tmp.
#include "takeover.h"

#include "feedlock.h"
#include "pidfile.h"
#include "proc.h"
#include "shell.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Room for the shell commands with a pid or the path of a pid file.
constexpr int path_size = 80;

// The executable that /proc/<pid>/exe names ("self" for this process), as
// it was installed: a file replaced since still names its old path. "" when
// it cannot be read (a process of another user, or one that has ended).
std::string exe_of(const std::string &pid)
{
    char buf[PATH_MAX];
    const ssize_t n = readlink(("/proc/" + pid + "/exe").c_str(), buf, sizeof buf);
    if (n <= 0 || static_cast<size_t>(n) == sizeof buf)
        return "";
    std::string exe(buf, static_cast<size_t>(n));
    static constexpr char replaced[] = " (deleted)";
    if (exe.size() > sizeof replaced - 1 && exe.compare(exe.size() - (sizeof replaced - 1), std::string::npos, replaced) == 0)
        exe.resize(exe.size() - (sizeof replaced - 1));
    return exe;
}

}  // namespace

bool may_kill(int pid, const char *name)
{
    if (pid <= 0 || pid == static_cast<int>(getpid()))
        return false;
    const std::string self = exe_of("self");
    // The web server names a feed's program file after its graph.
    return !self.empty() && exe_of(std::to_string(pid)) == self && process_name(pid) == name;
}

int kill_before_pid(const char *name)
{
    const pid_record old = read_pid("plotfeed", name);
    if (!old.opened)
        return 0;
    if (old.has_number) {
        std::printf("old-pid-%d\n", old.pid);
        if (may_kill(old.pid, name)) {
            char cmd[path_size];
            std::snprintf(cmd, sizeof cmd, "kill -KILL %d\n", old.pid);
            run_shell("plotfeed", cmd);
        }
    }
    return 1;
}

void save_pid(const char *name)
{
    const int pid = static_cast<int>(getpid());
    const std::string p = pid_path(name);
    const char *path = p.c_str();
    // With nothing there, no shell runs.
    struct stat st {};
    if (lstat(path, &st) == 0) {
        char cmd[path_size];
        std::snprintf(cmd, sizeof cmd, "rm %s", path);
        run_shell("plotfeed", cmd);
    }
    // Only a file this feed creates is written: never one that another user
    // left or planted (rm cannot remove it from /tmp), never through a link.
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    const int open_errno = errno;
    if (fd < 0)
        std::printf("No se puede abrir archivo SAVE\n");
    std::printf("new-pid-%d\n", pid);
    if (fd < 0) {
        std::fprintf(stderr, "plotfeed: open %s: %s\n", path, std::strerror(open_errno));
        return;
    }
    const bool wrote = dprintf(fd, "%d\n", pid) >= 0;
    if (close(fd) != 0 || !wrote)
        std::fprintf(stderr, "plotfeed: write %s: %s\n", path, std::strerror(errno));
}

void take_over(feed_lock &lk, const char *name)
{
    // Unguarded, two feeds could both find the pid file gone between the
    // other's rm and its write, kill nobody, and split one pipe's samples.
    const bool locked = lk.lock(true, -1);
    if (!locked)
        std::fprintf(stderr, "plotfeed: lock %s: %s\n", feed_lock_path, std::strerror(errno));
    kill_before_pid(name);
    save_pid(name);
    if (locked && !lk.unlock())
        std::fprintf(stderr, "plotfeed: unlock %s: %s\n", feed_lock_path, std::strerror(errno));
}
