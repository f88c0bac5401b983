// Start-up of the feed: request checks, query decoding, signals and the pipe.
#ifndef TRAXEL_STARTUP_H
#define TRAXEL_STARTUP_H

#include <csignal>
#include <cstdio>

#include "stream.h"
#include "util.h"

// The design limit of a query's field: its size with terminator (the limit
// of its entries is max_entries).
inline constexpr int field_size = 128;

// One decoded query entry of the feed.
struct entry {
    char name[field_size];
    char val[field_size];
};

// The decoded query, filled from index 0.
extern entry entries[max_entries];

// The requested history length in seconds; 0 until the query sets it.
extern int k;

// The graph's open pipe, and its descriptor for the signal handler (-1
// while the pipe is not open).
extern FILE *fifo_in;
extern volatile std::sig_atomic_t fifo_fd;

// Decodes query, consumed in place, into entries from index 0 and returns
// their count. Returns -1 after printing one refusal line on out when the
// query holds more than max_entries entries or a field over 127 characters;
// nothing is then written beyond the fields.
int decode_query(char *query, FILE *out);

// The history length that the first of count entries asks for with
// "dhle,60,<seconds>s"; 0 when there is no entry, no match or the number
// does not fit an int.
int scan_k(int count);

// True, after a line on stderr, when a write to out has failed: the client
// is gone. A web server may start us with SIGPIPE ignored, and then a write
// to a client that left fails instead of ending the process.
bool client_gone(FILE *out);

// While the feed waits for the daemon to open its pipe, an empty line, which
// graph clients pass over, goes to the client every keepalive_s seconds: a
// web server ends a program that has said nothing for a while (nginx after
// 60 s). Well above the few seconds a running daemon takes to open a pipe,
// so that a stream it feeds carries none.
inline constexpr int keepalive_s = 20;

// Waits until the graph's open pipe (fifo_fd, non-blocking) holds something
// or has ended, watching the client's side of standard output: rd::ok, or
// rd::gone once that side has closed, rd::error when the wait failed (both
// said on stderr).
rd wait_pipe();

// Signal handler for SIGINT and SIGTERM: closes the pipe's descriptor and
// ends the process with status 1; async-signal-safe.
void cleanup(int sig);

// Installs cleanup for SIGINT and SIGTERM, staying installed on delivery; a
// failure is reported on stderr.
void install_handlers();

// Runs the whole start-up on the program's arguments and environment and
// returns the graph name (the last component of argv[0]) with fifo_in open
// and a slot of the feeds' lock file held; every failure prints its line and
// exits.
const char *feed_startup(int argc, char **argv);

#endif
