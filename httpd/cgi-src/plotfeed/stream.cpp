// History replay, limits and live stream of a feed.
#include "stream.h"

#include "read_cfg.h"
#include "startup.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

char aux[sample_read_size];
int data;

namespace {

constexpr int max_late_bound = 2;  // seconds; the bound of win 5

// The time lines show a stamp as an unsigned number.
unsigned long as_unsigned(std::int32_t t)
{
    return static_cast<unsigned long>(static_cast<std::uint32_t>(t));
}

// Reads the next line of the pipe into buf that a sample line could be. The
// stream goes out as text/html: a line holding anything else (markup, quotes,
// control characters), which some other writer put into the pipe, is said on
// stderr, without its text, and never reaches the client.
rd next_line(feed_io &io, const char *name, char *buf, int size)
{
    for (;;) {
        const rd r = io.read_line(buf, size);
        if (r != rd::ok || sample_text(buf))
            return r;
        std::fprintf(stderr, "plotfeed: %s: a line of the pipe with characters that no sample line holds was "
                             "not passed on\n", name);
    }
}

// Prints the last parsed sample as the history point of index i, aged i
// sample intervals.
void history_point(FILE *out, int i)
{
    std::fprintf(out, "old-%d-data-%d\n", i, data);
    std::fprintf(out, "@%s -%d %d\n", aux, sample_interval * i, data);
}

// Reads the history points top down to 1, stopping with the RESCALING line
// after the first late read; the first read is compared with itself, so it
// is never late. rearm re-installs the handlers before every read.
rd history_loop(feed_io &io, const char *name, FILE *out, int top, bool rearm)
{
    char line[sample_read_size];
    std::int32_t t1 = 0;
    for (int i = top; i >= 1; --i) {
        if (client_gone(out))
            return rd::gone;
        if (rearm)
            io.rearm();
        const rd r = next_line(io, name, line, sample_read_size);
        if (r != rd::ok)
            return r;
        const std::int32_t t2 = io.now();
        parse_sample(line);
        history_point(out, i);
        if (i == top)
            t1 = t2;
        if (late_read(t1, t2)) {
            std::fprintf(out, "RESCALING-%s\n", name);
            break;
        }
        t1 = t2;
    }
    return rd::ok;
}

// The client asked for a whole window: two reads tell a waiting backlog
// from a pipe that the daemon fills as we go.
rd full_window(feed_io &io, const char *name, FILE *out)
{
    const int n = samples_per_minute * win;
    char line[sample_read_size];
    char line2[sample_read_size];
    std::fprintf(out, "SON-%d-SEGUNDOS\n", k);
    if (client_gone(out))
        return rd::gone;
    rd r = next_line(io, name, line, sample_read_size);
    if (r != rd::ok)
        return r;
    const std::int32_t t1 = io.now();
    parse_sample(line);
    std::fprintf(out, "time1-%lu\nCOMI-1-DATO\n", as_unsigned(t1));
    if (client_gone(out))
        return rd::gone;
    if ((r = next_line(io, name, line2, sample_read_size)) != rd::ok)
        return r;
    const std::int32_t t2 = io.now();
    std::fprintf(out, "time2-%lu\nCOMI-2do-DATO\n", as_unsigned(t2));
    if (!late_read(t1, t2)) {
        std::fprintf(out, "PERO-ESTAN-EN-COLA\n");
        history_point(out, n);
        parse_sample(line2);
        history_point(out, n - 1);
        return history_loop(io, name, out, n - 2, true);
    }
    // No backlog: the second sample goes out like a live one.
    std::fprintf(out, "PERO-ES-1a-VEZ\ndata1-%d\n", data);
    std::fprintf(out, "@%s -%d %d\n", aux, win, data);
    parse_sample(line2);
    std::fprintf(out, "data2-%d\n%s\n", data, line2);
    return rd::ok;
}

// The client asked for k seconds, which may be more or less than a window.
rd partial(feed_io &io, const char *name, FILE *out)
{
    std::fprintf(out, "SON-MENOS-DE-%d-SEGUNDOS\n", win * 60);
    return history_loop(io, name, out, k / sample_interval, false);
}

// Announces the graph's maximum, minimum and threshold.
void limits(const char *name, FILE *out)
{
    std::fprintf(out, "^%s %d\n_%s %d\n<%s %d\n", name, max, name, min, name, thres);
}

// Forwards every new sample until the pipe or the client ends.
rd live(feed_io &io, const char *name, FILE *out)
{
    char line[sample_read_size];
    for (;;) {
        if (client_gone(out))
            return rd::gone;
        io.rearm();
        const rd r = next_line(io, name, line, sample_read_size);
        if (r != rd::ok)
            return r;
        parse_sample(line);
        std::fprintf(out, "data-%d\n%s\n", data, line);
    }
}

}  // namespace

rd read_sample(FILE *f, char *buf, int size, rd (*wait)())
{
    int n = 0;
    for (int c = 0; n + 1 < size && c != '\n';) {
        c = std::getc(f);
        if (c == EOF && std::ferror(f) && errno == EAGAIN && wait != nullptr) {
            // Nothing waits in the pipe yet; what was read stays in buf.
            std::clearerr(f);
            const rd w = wait();
            if (w != rd::ok) {
                buf[n] = '\0';
                return w;
            }
            continue;
        }
        if (c == EOF)
            break;
        // A NUL is white space to the feed (is_blank) but would end the text.
        buf[n++] = c == '\0' ? ' ' : static_cast<char>(c);
    }
    buf[n] = '\0';
    if (std::ferror(f))
        return rd::error;
    return n == 0 ? rd::end : rd::ok;
}

bool sample_text(const char *line)
{
    for (const char *p = line; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        const bool ok = std::isalnum(c) || c == ' ' || c == '\t' || c == ':' || c == '.' || c == '-' || c == '_' ||
                        c == '+' || (c == '\n' && p[1] == '\0');
        if (!ok)
            return false;
    }
    return true;
}

void parse_sample(const char *line)
{
    const char *p = line;
    while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    const size_t len = std::strcspn(p, " \t\n\v\f\r");
    if (len == 0)
        return;
    const size_t kept = len < sizeof aux ? len : sizeof aux - 1;
    std::memcpy(aux, p, kept);
    aux[kept] = '\0';
    p += len;
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(p, &end, 10);
    if (end != p && errno != ERANGE && v >= INT_MIN && v <= INT_MAX)
        data = static_cast<int>(v);
}

bool late_read(std::int32_t t1, std::int32_t t2)
{
    // win 5 gives a bound of 2 s: stamps 10 and 13 are 3 apart, so the read
    // at 13 waited for the daemon. A longer window keeps the bound at 2 s: a
    // read that waits for a sample waits up to 5 s, so a bound of win / 2
    // (5 s for win 10, 15 s for win 30) would take every live sample for
    // backlog and hold the limits back until a whole window had passed.
    const int bound = std::min(win / 2, max_late_bound);
    return static_cast<std::int64_t>(t2) - t1 > bound;
}

int feed_stream(feed_io &io, const char *name, FILE *out)
{
    rd r = k == win * 60 ? full_window(io, name, out) : partial(io, name, out);
    if (r == rd::ok) {
        limits(name, out);
        r = live(io, name, out);
    }
    return r == rd::end ? 0 : 1;
}
