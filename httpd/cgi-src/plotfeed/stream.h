// History replay, limits and live stream of a feed.
#ifndef TRAXEL_STREAM_H
#define TRAXEL_STREAM_H

#include <cstdint>
#include <cstdio>

#include "contract.h"

// Outcome of reading a sample line, or of the stream: rd::gone when a write
// to the client failed.
enum class rd { ok, end, error, gone };

// Where the feed's sample lines and read times come from: the graph's pipe
// and the system clock in the program, scripted fakes in tests.
struct feed_io {
    virtual ~feed_io() = default;
    // Reads the next line, at most size - 1 characters with its newline,
    // into buf and terminates it; rd::end when the writer closed the pipe.
    virtual rd read_line(char *buf, int size) = 0;
    // The seconds part of the time of day.
    virtual std::int32_t now() = 0;
    // Installs the SIGINT and SIGTERM handlers again.
    virtual void rearm() = 0;
};

// Reads a sample line from f for feed_io::read_line: at most size - 1
// characters, up to and with its newline, terminated. A NUL byte, white space
// as in the configuration, is stored as a blank, so the label, the value and
// the echo all read the line alike. rd::end when f ends before a character,
// rd::error when reading f failed. When f's descriptor is non-blocking and
// has nothing yet, wait is called: the read goes on after rd::ok and ends
// with anything else it returns; without wait, that is a read error.
rd read_sample(FILE *f, char *buf, int size, rd (*wait)() = nullptr);

// True when line holds only what a sample line can: letters, digits,
// blanks, ':', '.', '-', '_' and '+', and a newline at its end.
bool sample_text(const char *line);

// Label and value of the last parsed sample.
extern char aux[sample_read_size];
extern int data;

// Parses a sample line into aux and data. A line with a token but no number
// (or one that does not fit an int) replaces aux only; an empty or blank line
// changes neither.
void parse_sample(const char *line);

// True when a read at t2 had to wait for the daemon after a read at t1: the
// gap is over win / 2 seconds, at most 2 (win 5 and longer windows: 2 s,
// win 3: 1 s). A clock stepped back is never late.
bool late_read(std::int32_t t1, std::int32_t t2);

// Replays the waiting samples as history (k seconds of it, or a full window
// when k is win x 60), prints the graph's limits and forwards every new
// sample, all on out; a line of the pipe that is no sample_text is left out
// after a line on stderr. Returns when the samples end: 0 when the writer closed
// the pipe, 1 after a read error or once a write to out has failed (checked
// before every read, so a feed whose client is gone never waits for more).
int feed_stream(feed_io &io, const char *name, FILE *out);

#endif
