// The graphs' named pipes: creation, holding them open, and writing sample lines with a bounded backlog.
#ifndef TRAXEL_PIPES_H
#define TRAXEL_PIPES_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "contract.h"
#include "fd.h"

// A graph's named pipe, held open for reading and writing for the daemon's
// life: a feed can open it at any time, unread lines wait in it, and a feed
// that dies leaves the daemon with a reader, so no write ever raises SIGPIPE.
// Closing the last writer is what lets a feed see the end of data.
struct sample_pipe {
    std::string path;
    unique_fd fd;
    // Lengths of the lines written that may still wait in the pipe, oldest
    // first; the unread bytes are always the tail of what was written.
    std::deque<uint32_t> lens;
    bool failing = false;  // the last write failed; reported once
};

// Who may own a graph's pipe besides root, and to whom a root daemon gives it.
struct pipe_owner {
    uid_t uid;
    gid_t gid;
    bool give;  // fchown the pipe to uid:gid (the daemon runs as root)
};

// The owner for a daemon that stays the user it is: the effective user.
pipe_owner pipe_owner_self();

// Creates the named pipe at path when missing, opens it non-blocking for
// reading and writing without following a symbolic link, and accepts it only
// as a named pipe owned by owner.uid or root; then, through the descriptor,
// gives it to the owner when asked and sets mode 0640, discards bytes left by
// an earlier run and makes room for bound lines. True with err empty, or
// with a warning when the pipe could not be enlarged; false with err when the
// graph must go without its pipe ("PATH is a symbolic link", "mkfifo PATH:
// reason").
bool open_sample_pipe(const std::string &path, std::size_t bound, const pipe_owner &owner, sample_pipe &f,
                      std::string &err);

// Raises the soft limit of open files, up to the hard limit, so that n pipes
// fit beside the daemon's other descriptors (the default soft limit of 1024
// holds fewer than a thousand graphs). Returns how many pipes fit: n, or
// fewer with err saying so when the hard limit is too low.
std::size_t room_for_pipes(std::size_t n, std::string &err);

// Number of lines still waiting in f; a line partly read counts as waiting.
// Sets taken to the bytes that a reader has already taken of the oldest
// waiting line.
std::size_t waiting(sample_pipe &f, uint32_t &taken);

// Writes the len bytes of line (one sample line, at most sample_line_max
// bytes) into f, first reading the oldest waiting lines out of the pipe so
// that at most bound lines wait afterwards. Never blocks. False with err when
// the line could not be written.
bool put_sample(sample_pipe &f, const char *line, std::size_t len, std::size_t bound, std::string &err);

#endif
