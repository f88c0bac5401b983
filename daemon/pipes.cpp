// The graphs' named pipes: creation, holding them open, and writing sample lines with a bounded backlog.
#include "pipes.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "report.h"

namespace {

// Reads and throws away up to n bytes; returns the number dropped, fewer when
// the pipe ran empty (a reader took them first).
std::size_t drop_bytes(int fd, std::size_t n)
{
    char buf[4096];
    std::size_t done = 0;
    while (done < n) {
        std::size_t want = n - done < sizeof buf ? n - done : sizeof buf;
        ssize_t got = read(fd, buf, want);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

// Drops the oldest waiting line of f.
void drop_oldest(sample_pipe &f, uint32_t &taken)
{
    drop_bytes(f.fd.get(), f.lens.front() - taken);
    f.lens.pop_front();
    taken = 0;
}

}  // namespace

pipe_owner pipe_owner_self()
{
    return {geteuid(), getegid(), false};
}

bool open_sample_pipe(const std::string &path, std::size_t bound, const pipe_owner &owner, sample_pipe &f,
                      std::string &err)
{
    // Made private; the mode readers need is set below, on the descriptor.
    if (mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) {
        err = sys_fault("mkfifo", path);
        return false;
    }
    // The CGI directory may be writable by the web server's user: whatever
    // lies at the path is checked through the descriptor, never followed.
    sample_pipe n;
    n.path = path;
    n.fd.reset(open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (!n.fd.valid()) {
        err = errno == ELOOP ? path + " is a symbolic link" : sys_fault("open", path);
        return false;
    }
    struct stat st;
    if (fstat(n.fd.get(), &st) != 0) {
        err = sys_fault("fstat", path);
        return false;
    }
    if (!S_ISFIFO(st.st_mode)) {
        err = path + " is not a named pipe";
        return false;
    }
    if (st.st_uid != owner.uid && st.st_uid != 0) {
        err = path + " belongs to uid " + std::to_string(st.st_uid) + ", neither to uid " +
              std::to_string(owner.uid) + " nor to root";
        return false;
    }
    if (owner.give && (st.st_uid != owner.uid || st.st_gid != owner.gid) && fchown(n.fd.get(), owner.uid, owner.gid) != 0) {
        err = sys_fault("fchown", path);
        return false;
    }
    // The feeds read as the owner or through the group, the web server's; a
    // reader of any other user would take samples from them.
    if ((st.st_mode & 07777) != 0640 && fchmod(n.fd.get(), 0640) != 0) {
        err = sys_fault("fchmod", path);
        return false;
    }
    // Lines of an earlier run have unknown boundaries and are stale.
    drop_bytes(n.fd.get(), SIZE_MAX);
    int need = static_cast<int>(bound * sample_line_max);
    int have = fcntl(n.fd.get(), F_GETPIPE_SZ);
    if (have < 0) {
        err = sys_fault("fcntl F_GETPIPE_SZ", path);
        return false;
    }
    // A smaller pipe still works, put_sample drops old lines when it is full,
    // so this is only a warning.
    err.clear();
    if (have < need && fcntl(n.fd.get(), F_SETPIPE_SZ, need) < 0)
        err = sys_fault("fcntl F_SETPIPE_SZ", path);
    f = std::move(n);
    return true;
}

std::size_t room_for_pipes(std::size_t n, std::string &err)
{
    // Beside the pipes: the standard streams, the lock, the state
    // directories, the system log and what counting holds (a capture socket,
    // or the kernel's programs, links and maps).
    constexpr rlim_t others = 64;
    const rlim_t need = static_cast<rlim_t>(n) + others;
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) {
        err = sys_fault("getrlimit", "RLIMIT_NOFILE");
        return n;
    }
    if (rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur >= need)
        return n;
    const rlim_t was = rl.rlim_cur;
    rl.rlim_cur = rl.rlim_max == RLIM_INFINITY || rl.rlim_max > need ? need : rl.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0) {
        err = sys_fault("setrlimit", "RLIMIT_NOFILE");
        rl.rlim_cur = was;
    }
    if (rl.rlim_cur >= need)
        return n;
    const std::size_t fit = rl.rlim_cur > others ? static_cast<std::size_t>(rl.rlim_cur - others) : 0;
    err = (err.empty() ? "" : err + "; ") + "the limit of open files, " + std::to_string(rl.rlim_cur) +
          ", holds the pipes of " + std::to_string(fit) + " of the " + std::to_string(n) + " graphs; the last " +
          std::to_string(n - fit) + " are not served (raise it: ulimit -Hn, LimitNOFILE=)";
    return fit;
}

std::size_t waiting(sample_pipe &f, uint32_t &taken)
{
    taken = 0;
    int unread = 0;
    if (ioctl(f.fd.get(), FIONREAD, &unread) != 0 || unread < 0) {
        // Without the count nothing can be trusted: start afresh.
        drop_bytes(f.fd.get(), SIZE_MAX);
        f.lens.clear();
        return 0;
    }
    // The unread bytes are the tail of what was written: count lines back
    // from the newest until they cover them. Example: lines of 11, 11 and 12
    // bytes with 15 unread leave the newest two waiting, 8 bytes of the
    // middle one already read.
    std::size_t acc = 0, keep = 0;
    while (keep < f.lens.size() && acc < static_cast<std::size_t>(unread))
        acc += f.lens[f.lens.size() - 1 - keep++];
    if (acc < static_cast<std::size_t>(unread)) {
        // Bytes that this run did not write: boundaries unknown, drop all.
        drop_bytes(f.fd.get(), SIZE_MAX);
        f.lens.clear();
        return 0;
    }
    f.lens.erase(f.lens.begin(), f.lens.end() - static_cast<std::ptrdiff_t>(keep));
    taken = static_cast<uint32_t>(acc - static_cast<std::size_t>(unread));
    return keep;
}

bool put_sample(sample_pipe &f, const char *line, std::size_t len, std::size_t bound, std::string &err)
{
    // A feed reading at the same moment takes all there is at once, so the
    // lines to drop can only run out early, and drop_bytes stops then.
    uint32_t taken = 0;
    std::size_t n = waiting(f, taken);
    for (; n + 1 > bound && n > 0; --n)
        drop_oldest(f, taken);
    for (;;) {
        ssize_t put = write(f.fd.get(), line, len);
        if (put == static_cast<ssize_t>(len)) {
            f.lens.push_back(static_cast<uint32_t>(len));
            return true;
        }
        if (put < 0 && errno == EINTR)
            continue;
        // A full pipe that could not be enlarged: make room at the old end.
        if (put < 0 && errno == EAGAIN && !f.lens.empty()) {
            drop_oldest(f, taken);
            continue;
        }
        if (put >= 0) {
            // Lines are shorter than PIPE_BUF, so writes are whole or nothing.
            err = "write " + f.path + ": short write";
            f.lens.push_back(static_cast<uint32_t>(put));
        } else {
            err = sys_fault("write", f.path);
        }
        return false;
    }
}
