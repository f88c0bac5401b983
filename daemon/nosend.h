// Keeping the capture's packet socket from sending: a seccomp filter on the calls that could send through it.
#ifndef TRAXEL_NOSEND_H
#define TRAXEL_NOSEND_H

#include <string>

// Refuses (EPERM) from now on, for this process, every system call that
// could send a frame through the socket fd or give it another number:
// writes and sends on it, changes of its options, its duplicates, and the
// calls that reach a descriptor some other way (sendmsg and sendmmsg, which
// also pass descriptors, io_uring, pidfd_getfd); calls of another
// architecture's ABI end the process. The socket still receives, and bind
// still points it at an interface. Needs no privilege once no-new-privileges
// is set. False with err naming the call that failed.
bool forbid_sending(int fd, std::string &err);

#endif
