// One daemon per installation, and its detaching from the process that started it.
#include "instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

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

unique_fd lock_instance(std::string &err)
{
    err.clear();
    unique_fd fd(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) {
        err = sys_fault("open", "the working directory");
        return fd;
    }
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK)
            err = sys_fault("flock", "the working directory");
        fd.reset();
    }
    return fd;
}

bool detach(std::string &err)
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
    if (pid > 0)
        _exit(0);
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
