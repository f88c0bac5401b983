// One daemon per installation, and its detaching from the process that started it.
#ifndef TRAXEL_INSTANCE_H
#define TRAXEL_INSTANCE_H

#include <string>

#include "fd.h"

// Closes every descriptor above standard error that the starter left open
// (for a CGI start, the web server's sockets and pipes), and opens /dev/null
// on standard descriptors that the starter left closed.
void close_inherited();

// Takes the installation lock: an exclusive flock on the working directory,
// opened read-only, so it works for root and for an unprivileged user alike
// and lasts while the returned descriptor is held. None (not valid) when
// another process holds the lock (err empty), or with err set on a failed call.
unique_fd lock_instance(std::string &err);

// Goes into the background: forks (the parent exits 0 at once), starts a new
// session and points standard input, output and error at /dev/null. False
// with err when a call fails before the fork.
bool detach(std::string &err);

#endif
