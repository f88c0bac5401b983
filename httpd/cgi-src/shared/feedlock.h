// The feeds' lock file: a slot for each feed running on the host, and the lock of every take-over.
#ifndef TRAXEL_FEEDLOCK_H
#define TRAXEL_FEEDLOCK_H

#include "fd.h"

// The lock file, beside the CGI directory. The installation makes it for the
// web server's user, mode 0600: no other local user can open it, so none can
// hold a slot or the take-over lock, and none can stand in for a feed.
inline constexpr char feed_lock_path[] = "../feed.lock";

// The most feeds that run at once on the host. A graph has one live feed, so
// this is room for a thousand graphs, or for four pages of 256.
inline constexpr int max_feeds = 1024;

// The line that refuses a request for more feeds than there are free slots,
// with max_feeds.
inline constexpr char too_many_feeds[] = "Too many feeds running on this host (at most %d); try again later.";

// The lock file, open. Its byte 0 is the take-over lock, bytes 1 to
// max_feeds are the slots. The locks belong to the open file (not to the
// process), so they go with the process however it ends, and the shells it
// runs hold none.
class feed_lock {
public:
    // Opens feed_lock_path from the working directory, the CGI directory;
    // false with errno set.
    bool open();
    // Holds a free slot until the process ends: 1 when it took one, 0 when
    // every slot is held, -1 with errno on a failed call.
    int take_slot();
    // The number of slots that running feeds hold; -1 with errno on a failed
    // call.
    int slots_held() const;
    // Takes the take-over lock, exclusive or shared, waiting at most wait_ms
    // (without end when wait_ms is negative); false when it did not get it.
    bool lock(bool exclusive, int wait_ms);
    // Lets the take-over lock go; false with errno on a failed call.
    bool unlock();

private:
    unique_fd fd_;
};

#endif
