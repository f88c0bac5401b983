// One daemon per installation, and its detaching from the process that started it.
#include "instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "proc.h"
#include "report.h"

void close_inherited()
{
    // A standard descriptor left closed would be taken by the next open, and
    // diagnostics would land in a pipe or the lock.
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDWR) != fd)
            break;
    if (close_range(3, ~0U, 0) == 0)
        return;
    // Kernels without close_range: every possible descriptor, bounded.
    long max = sysconf(_SC_OPEN_MAX);
    if (max < 0 || max > 65536)
        max = 65536;
    for (int fd = 3; fd < max; ++fd)
        close(fd);
}

namespace {

// Writes pid into the lock file lock, in a field of fixed width, so that a
// reader never finds it half written.
void note_holder(int lock, pid_t pid)
{
    char text[16];
    const int n = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
    if (pwrite(lock, text, static_cast<std::size_t>(n), 0) != n)
        report(sys_fault("write", std::string("the pid into ") + lock_file));
}

// The pid written in the lock file lock; -1 when it holds none.
pid_t holder(int lock)
{
    char text[16] = "";
    const ssize_t n = pread(lock, text, sizeof text - 1, 0);
    const long pid = n > 0 ? std::strtol(text, nullptr, 10) : -1;
    return pid > 0 && pid <= INT_MAX ? static_cast<pid_t>(pid) : -1;
}

}  // namespace

unique_fd lock_instance(int dir, const std::string &dir_name, const run_user &who, std::string &err)
{
    err.clear();
    const std::string path = dir_name + "/" + lock_file;
    unique_fd fd(openat(dir, lock_file, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0) {
        err = sys_fault(fd.valid() ? "fstat" : "open", path);
        return unique_fd();
    }
    if (!S_ISREG(st.st_mode)) {
        err = path + " is not a regular file";
        return unique_fd();
    }
    if (who.from_root && (st.st_uid != who.uid || st.st_gid != who.gid) && fchown(fd.get(), who.uid, who.gid) != 0) {
        err = sys_fault("fchown", path);
        return unique_fd();
    }
    // Anyone who could open it could hold it, and keep the daemon out.
    if ((st.st_mode & 07777) != 0600 && fchmod(fd.get(), 0600) != 0) {
        err = sys_fault("fchmod", path);
        return unique_fd();
    }
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            err = sys_fault("flock", path);
        } else {
            const pid_t pid = holder(fd.get());
            if (pid < 0 || process_name(pid) != "traxel")
                err = path + " is held by " + (pid < 0 ? "a process" : "process " + std::to_string(pid)) +
                      " that is no traxel daemon; not started";
        }
        return unique_fd();
    }
    note_holder(fd.get(), getpid());
    return fd;
}

bool detach(int lock, std::string &err)
{
    unique_fd null(open("/dev/null", O_RDWR));
    if (!null.valid()) {
        err = sys_fault("open", "/dev/null");
        return false;
    }
    pid_t pid = fork();
    if (pid < 0) {
        err = sys_fault("fork", "the daemon");
        return false;
    }
    if (pid > 0) {
        // Before this process goes, so that the lock names a live daemon.
        note_holder(lock, pid);
        _exit(0);
    }
    // The starter no longer listens: later faults go to the system log, and
    // the daemon carries on after them.
    report_to_syslog();
    if (setsid() < 0)
        report(sys_fault("setsid", "the daemon"));
    for (int fd = 0; fd <= 2; ++fd)
        if (null.get() != fd && dup2(null.get(), fd) < 0)
            report(sys_fault("dup2", "/dev/null"));
    // A standard descriptor that the open took stays open as itself.
    if (null.get() <= 2)
        null.release();
    return true;
}
