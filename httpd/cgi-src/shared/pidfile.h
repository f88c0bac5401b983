// The pid files of the feeds in /tmp: the newest feed of each graph, read so that nothing planted there is followed or waited on.
#ifndef TRAXEL_PIDFILE_H
#define TRAXEL_PIDFILE_H

#include <string>

// The path of name's pid file.
std::string pid_path(const char *name);

// What a graph's pid file holds.
struct pid_record {
    bool opened = false;      // a regular file lay there and was opened
    bool has_number = false;  // it starts with a decimal number
    int pid = 0;              // that number
};

// Reads name's pid file, never through a symbolic link, never waiting on a
// named pipe, and only when it is a regular file. Anything else that lies
// there, and a failed open other than a missing file, reads as no file after
// a line on stderr, prog first.
pid_record read_pid(const char *prog, const char *name);

#endif
