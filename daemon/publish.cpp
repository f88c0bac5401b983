// Files that the daemon replaces each interval in a directory it holds open: its counters, the window of samples.
#include "publish.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "report.h"

namespace {

// Writes all of text to fd; false with errno set when a write fails.
bool write_all(int fd, const std::string &text)
{
    const char *p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

// Puts the file tmp in the place of name, both in dir. Where name exists the
// two are exchanged and the old file removed: ext4 writes a file out to disk
// at once when a rename replaces another with it, which an exchange does not
// ask, and a file replaced every interval need never reach the disk.
bool replace(int dir, const char *tmp, const char *name)
{
    if (renameat2(dir, tmp, dir, name, RENAME_EXCHANGE) == 0) {
        unlinkat(dir, tmp, 0);
        return true;
    }
    // ENOENT: the first of its name; EINVAL: a file system without exchange.
    return (errno == ENOENT || errno == EINVAL) && renameat(dir, tmp, dir, name) == 0;
}

}  // namespace

bool publish_dir::open(const std::string &path, bool create, std::string &err)
{
    bool made = false;
    if (create) {
        made = mkdir(path.c_str(), 0755) == 0;
        if (!made && errno != EEXIST) {
            err = sys_fault("mkdir", path);
            return false;
        }
    }
    unique_fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        err = sys_fault("open", path);
        // Linux says "Not a directory" of a link to one.
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            err = "open " + path + ": is a symbolic link, not followed";
        return false;
    }
    // The umask may have cut the mode; readers of other users need 0755.
    if (made && fchmod(fd.get(), 0755) != 0) {
        err = sys_fault("fchmod", path);
        return false;
    }
    fd_ = std::move(fd);
    path_ = path;
    failing_.clear();
    return true;
}

bool publish_dir::publish(const char *name, const std::string &text)
{
    if (!fd_.valid())
        return false;
    // A name of this process that does not end in the file's own suffix, so
    // that a textfile collector never reads a half-written file, and two
    // daemons sharing the directory never write the same temporary file.
    const std::string tmp = "." + std::string(name) + "." + std::to_string(getpid()) + ".tmp";
    const std::string shown = path_ + "/" + tmp;
    std::string err;
    // A leftover (or planted link) of that name is removed, never followed.
    if (unlinkat(fd_.get(), tmp.c_str(), 0) != 0 && errno != ENOENT) {
        err = sys_fault("unlink", shown);
    } else {
        const int fd = openat(fd_.get(), tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            err = sys_fault("open", shown);
        } else {
            // Created 0644 whatever the umask: the web server and node_exporter
            // run as other users.
            if (fchmod(fd, 0644) != 0)
                err = sys_fault("fchmod", shown);
            else if (!write_all(fd, text))
                err = sys_fault("write", shown);
            if (::close(fd) != 0 && err.empty())
                err = sys_fault("close", shown);
            if (err.empty() && !replace(fd_.get(), tmp.c_str(), name))
                err = sys_fault("rename", shown);
            if (!err.empty())
                unlinkat(fd_.get(), tmp.c_str(), 0);
        }
    }
    if (err.empty()) {
        failing_.erase(name);
        return true;
    }
    if (failing_.insert(name).second)
        report(err + " (" + path_ + "/" + name + " is not updated until this is mended)");
    return false;
}
