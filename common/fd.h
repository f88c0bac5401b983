// Ownership of a file descriptor: closed once, by its last owner.
#ifndef TRAXEL_FD_H
#define TRAXEL_FD_H

#include <unistd.h>

#include <utility>

// Holds a descriptor (-1 for none) and closes it when destroyed or reset.
// Move-only, so that exactly one owner closes it. The result of that close
// is not looked at: where a failed close means lost data (a file written),
// the writer closes with release() and checks close itself.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(unique_fd &&o) noexcept : fd_(o.release()) {}
    unique_fd &operator=(unique_fd &&o) noexcept
    {
        reset(o.release());
        return *this;
    }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    ~unique_fd() { reset(); }

    // The descriptor, -1 when none is held; the owner keeps it.
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

    // Closes what is held and holds fd instead.
    void reset(int fd = -1)
    {
        const int old = std::exchange(fd_, fd);
        if (old >= 0 && old != fd)
            close(old);
    }

    // Gives the descriptor up to the caller, who closes it.
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_ = -1;
};

#endif
