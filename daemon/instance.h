// One daemon per installation, and its detaching from the process that started it.
#ifndef TRAXEL_INSTANCE_H
#define TRAXEL_INSTANCE_H

#include <string>

#include "fd.h"
#include "privs.h"

// Closes every descriptor above standard error that the starter left open
// (for a CGI start, the web server's sockets and pipes), and opens /dev/null
// on standard descriptors that the starter left closed.
void close_inherited();

// The installation's lock file, in the daemon's state directory.
inline constexpr char lock_file[] = "traxel.lock";

// Takes the installation's lock: an exclusive flock on lock_file in the
// state directory dir (shown as dir_name), opened through it without
// following a link, created mode 0600 and given to who when root starts the
// daemon, so that no user but the daemon's and root can open it at all. The
// holder's pid is written into it. Returns the descriptor, which holds the
// lock while it is open. None (not valid) when another process holds the
// lock: with err empty when that process is a traxel daemon, else with err
// naming it; or with err on a failed call.
unique_fd lock_instance(int dir, const std::string &dir_name, const run_user &who, std::string &err);

// Goes into the background: forks (the parent writes the daemon's pid into
// the lock file lock and exits 0), starts a new session and points standard
// input, output and error at /dev/null. False with err when a call fails
// before the fork.
bool detach(int lock, std::string &err);

#endif
