// Files that the daemon replaces each interval in a directory it holds open: its counters, the window of samples.
#ifndef TRAXEL_PUBLISH_H
#define TRAXEL_PUBLISH_H

#include <set>
#include <string>

#include "fd.h"

// A directory whose files are replaced atomically (a temporary file in the
// same directory put in the old one's place), so that a reader never sees
// half a file.
// Works through a descriptor opened once, so it goes on working after the
// daemon has given up its privileges.
class publish_dir {
public:
    // Opens path as a directory, never through a symbolic link; with create,
    // makes it first when missing (mode 0755). False with err naming the
    // call and the path.
    bool open(const std::string &path, bool create, std::string &err);
    // The directory's descriptor (-1 when not open), e.g. for fchown.
    int fd() const { return fd_.get(); }
    // Replaces the file name in the directory by text, mode 0644; false when
    // it could not. A failure is reported (report()) once per file; later
    // ones stay quiet until a publish of that file succeeds again, so a
    // directory the daemon cannot write costs one line per file and start.
    bool publish(const char *name, const std::string &text);

private:
    std::string path_;
    unique_fd fd_;
    std::set<std::string> failing_;  // names whose failure was reported
};

#endif
