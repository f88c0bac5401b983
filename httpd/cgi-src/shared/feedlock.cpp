// The feeds' lock file: a slot for each feed running on the host, and the lock of every take-over.
#include "feedlock.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The one byte at offset at, locked with type (F_WRLCK, F_RDLCK, F_UNLCK).
struct flock byte_lock(short type, off_t at)
{
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = at;
    fl.l_len = 1;
    return fl;
}

}  // namespace

bool feed_lock::open()
{
    // Never through a link, never waiting on a named pipe planted there.
    fd_.reset(::open(feed_lock_path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    return fd_.valid();
}

int feed_lock::take_slot()
{
    // Starting from a slot of our own, the first tries are free while few
    // feeds run: slot 1 + pid % max_feeds, then the ones after it.
    const int first = static_cast<int>(getpid() % max_feeds);
    for (int i = 0; i < max_feeds; ++i) {
        struct flock fl = byte_lock(F_WRLCK, 1 + (first + i) % max_feeds);
        if (fcntl(fd_.get(), F_OFD_SETLK, &fl) == 0)
            return 1;
        if (errno != EAGAIN && errno != EACCES)
            return -1;
    }
    return 0;
}

int feed_lock::slots_held() const
{
    int held = 0;
    for (int i = 1; i <= max_feeds; ++i) {
        struct flock fl = byte_lock(F_WRLCK, i);
        if (fcntl(fd_.get(), F_OFD_GETLK, &fl) != 0)
            return -1;
        held += fl.l_type != F_UNLCK;
    }
    return held;
}

bool feed_lock::lock(bool exclusive, int wait_ms)
{
    struct flock fl = byte_lock(exclusive ? F_WRLCK : F_RDLCK, 0);
    if (wait_ms < 0) {
        while (fcntl(fd_.get(), F_OFD_SETLKW, &fl) != 0)
            if (errno != EINTR)
                return false;
        return true;
    }
    for (int waited = 0;; waited += 2) {
        if (fcntl(fd_.get(), F_OFD_SETLK, &fl) == 0)
            return true;
        if ((errno != EAGAIN && errno != EACCES) || waited >= wait_ms)
            return false;
        const timespec two_ms{0, 2000000};
        nanosleep(&two_ms, nullptr);
    }
}

bool feed_lock::unlock()
{
    struct flock fl = byte_lock(F_UNLCK, 0);
    return fcntl(fd_.get(), F_OFD_SETLK, &fl) == 0;
}
