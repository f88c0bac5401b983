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

int lock_instance(std::string &err)
{
    err.clear();
    int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        err = sys_fault("open", "the working directory");
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK)
            err = sys_fault("flock", "the working directory");
        close(fd);
        return -1;
    }
    return fd;
}

bool detach(std::string &err)
{
    int null = open("/dev/null", O_RDWR);
    if (null < 0) {
        err = sys_fault("open", "/dev/null");
        return false;
    }
    pid_t pid = fork();
    if (pid < 0) {
        err = sys_fault("fork", "the daemon");
        close(null);
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
        if (null != fd && dup2(null, fd) < 0)
            report(sys_fault("dup2", "/dev/null"));
    if (null > 2)
        close(null);
    return true;
}
