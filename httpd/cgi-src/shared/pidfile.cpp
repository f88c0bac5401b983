// The pid files of the feeds in /tmp: the newest feed of each graph, read so that nothing planted there is followed or waited on.
#include "pidfile.h"

#include "contract.h"
#include "fd.h"
#include "tokens.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::string pid_path(const char *name)
{
    // Room for "/tmp/", a checked graph name and ".pid".
    char path[64];
    std::snprintf(path, sizeof path, pid_fmt, name);
    return path;
}

pid_record read_pid(const char *prog, const char *name)
{
    const std::string p = pid_path(name);
    const char *path = p.c_str();
    pid_record r;
    unique_fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == ELOOP)
            std::fprintf(stderr, "%s: %s is a symbolic link; not followed\n", prog, path);
        else if (errno != ENOENT)
            std::fprintf(stderr, "%s: open %s: %s\n", prog, path, std::strerror(errno));
        return r;
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "%s: %s is not a regular file; not read\n", prog, path);
        return r;
    }
    FILE *f = fdopen(fd.get(), "r");
    if (f == nullptr) {
        std::fprintf(stderr, "%s: fdopen %s: %s\n", prog, path, std::strerror(errno));
        return r;
    }
    fd.release();  // the stream owns it now
    r.opened = true;
    r.has_number = read_int(f, &r.pid);
    if (std::fclose(f) != 0)
        std::fprintf(stderr, "%s: fclose %s: %s\n", prog, path, std::strerror(errno));
    return r;
}
