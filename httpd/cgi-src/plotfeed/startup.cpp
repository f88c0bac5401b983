// Start-up of the feed: request checks, query decoding, signals and the pipe.
#include "startup.h"

#include "contract.h"
#include "errlog.h"
#include "feedlock.h"
#include "graphname.h"
#include "read_cfg.h"
#include "takeover.h"
#include "util.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

entry entries[max_entries];
int k;
FILE *fifo_in;
volatile std::sig_atomic_t fifo_fd = -1;

namespace {

// Holds this feed's slot for its life, and the take-over lock.
feed_lock lk;

// Refuses the request with status and one line in place of the feed's
// header and stream; ends the process.
[[noreturn]] void refuse_early(const char *status, const char *line)
{
    std::printf("Status: %s\nContent-type: text/html\n\n%s\n", status, line);
    std::exit(1);
}

// Takes a slot of the feeds running on the host; refuses the request when
// there is none or the lock file cannot be used.
void take_slot()
{
    char line[160];
    int r = lk.open() ? lk.take_slot() : -1;
    if (r == 1)
        return;
    if (r == 0) {
        std::snprintf(line, sizeof line, too_many_feeds, max_feeds);
        refuse_early("503 Service Unavailable", line);
    }
    std::snprintf(line, sizeof line, "Cannot use the feeds' lock file %s: %s.", feed_lock_path, std::strerror(errno));
    refuse_early("500 Internal Server Error", line);
}

// The graph name: the last component of the program's name, which some web
// servers pass as the bare name and others as the program file's full path.
const char *graph_name(int argc, char **argv)
{
    const char *path = argc > 0 && argv[0] != nullptr ? argv[0] : "";
    const char *slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// Ends the process unless the request is a GET.
void check_method()
{
    const char *method = std::getenv("REQUEST_METHOD");
    if (method != nullptr && std::strcmp(method, "GET") == 0)
        return;
    std::printf("This script should be referenced with a METHOD of GET.\n");
    std::printf("If you don't understand this, see this "
                "<A HREF=\"/forms.html\">"
                "forms overview</A>.\n");
    std::exit(1);
}

// SIGALRM while the feed waits for a writer: an empty line to the client.
// A client that is gone ends the feed.
void keep_alive(int)
{
    const int saved = errno;
    if (write(1, "\n", 1) < 0 && errno != EINTR)
        _exit(1);
    errno = saved;
}

// Sends an empty line every keepalive_s seconds from now on (on), or no
// more. The handler is in place before the first alarm and after the last,
// as an alarm left to its default action would end the feed.
void keep_alive_timer(bool on)
{
    struct sigaction sa {};
    sa.sa_handler = on ? keep_alive : SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;  // the open goes on after each line
    if (on && sigaction(SIGALRM, &sa, nullptr) != 0) {
        std::fprintf(stderr, "plotfeed: sigaction SIGALRM: %s\n", std::strerror(errno));
        return;
    }
    const int s = on ? keepalive_s : 0;
    const itimerval every{{s, 0}, {s, 0}};
    if (setitimer(ITIMER_REAL, &every, nullptr) != 0)
        std::fprintf(stderr, "plotfeed: setitimer: %s\n", std::strerror(errno));
    else if (!on && sigaction(SIGALRM, &sa, nullptr) != 0)
        std::fprintf(stderr, "plotfeed: sigaction SIGALRM: %s\n", std::strerror(errno));
}

// Opens the graph's pipe for reading, waiting for a writer with the client
// kept alive meanwhile, with a buffer that holds the longest backlog of the
// window; ends the process when the open fails. Its reads are then made
// non-blocking, so that a wait for a line watches the client too.
void open_fifo(const char *name)
{
    char tmp[20];
    const int n = std::snprintf(tmp, sizeof tmp, fifo_open_fmt, name);
    if (n > 0 && static_cast<size_t>(n) < sizeof tmp) {
        keep_alive_timer(true);
        fifo_in = std::fopen(tmp, "r");
        keep_alive_timer(false);
    }
    if (fifo_in == nullptr) {
        std::printf("No se puede abrir fifo file en r\n");
        std::exit(1);
    }
    fifo_fd = fileno(fifo_in);
    // A daemon never lets more wait than a window of at most win_max. The
    // buffer is the stream's, which lives as long as the process.
    const std::size_t size = std::max<std::size_t>(backlog_bytes(std::min(win, win_max)), BUFSIZ);
    if (std::setvbuf(fifo_in, new char[size], _IOFBF, size) != 0)
        std::fprintf(stderr, "plotfeed: setvbuf %s: %s\n", tmp, std::strerror(errno));
    const int fl = fcntl(fifo_fd, F_GETFL);
    if (fl < 0 || fcntl(fifo_fd, F_SETFL, fl | O_NONBLOCK) != 0)
        std::fprintf(stderr, "plotfeed: fcntl %s: %s\n", tmp, std::strerror(errno));
}

}  // namespace

int decode_query(char *query, FILE *out)
{
    int count = 0;
    while (query[0] != '\0') {
        if (count == max_entries) {
            std::fprintf(out, "Query of more than %d entries refused.\n", max_entries);
            return -1;
        }
        // Decoding only shortens a field, so the raw field bounds both words.
        if (std::strcspn(query, "&") >= static_cast<size_t>(field_size)) {
            std::fprintf(out, "Query field of more than %d characters refused.\n",
                         field_size - 1);
            return -1;
        }
        entry &e = entries[count++];
        getword(e.val, query, '&');
        plustospace(e.val);
        unescape_url(e.val);
        getword(e.name, e.val, '=');
    }
    return count;
}

int scan_k(int count)
{
    static constexpr char prefix[] = "dhle,60,";
    if (count < 1 || std::strncmp(entries[0].name, prefix, sizeof prefix - 1) != 0)
        return 0;
    const char *num = entries[0].name + sizeof prefix - 1;
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(num, &end, 10);
    if (end == num || errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return 0;
    return static_cast<int>(v);
}

bool client_gone(FILE *out)
{
    // The error indicator stays set from the first failed write; errno still
    // holds its reason, as the writes since then failed alike.
    if (!std::ferror(out))
        return false;
    std::fprintf(stderr, "plotfeed: write standard output: %s\n", std::strerror(errno));
    return true;
}

rd wait_pipe()
{
    // A client's side that closed reports an error (a pipe) or a hang-up (a
    // socket) at once, where a write would fail only at the next sample.
    pollfd p[2] = {{fifo_fd, POLLIN, 0}, {1, 0, 0}};
    for (;;) {
        const int n = poll(p, 2, -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            std::fprintf(stderr, "plotfeed: poll: %s\n", std::strerror(errno));
            return rd::error;
        }
        if ((p[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            std::fprintf(stderr, "plotfeed: the client's side of standard output closed\n");
            return rd::gone;
        }
        if (p[0].revents != 0)
            return rd::ok;
    }
}

void cleanup(int)
{
    if (fifo_fd >= 0)
        close(fifo_fd);
    _exit(1);
}

void install_handlers()
{
    struct sigaction sa {};
    sa.sa_handler = cleanup;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    if (sigaction(SIGINT, &sa, nullptr) != 0)
        std::fprintf(stderr, "plotfeed: sigaction SIGINT: %s\n", std::strerror(errno));
    if (sigaction(SIGTERM, &sa, nullptr) != 0)
        std::fprintf(stderr, "plotfeed: sigaction SIGTERM: %s\n", std::strerror(errno));
}

const char *feed_startup(int argc, char **argv)
{
    keep_errors_from_client();
    // Every line must reach the client as soon as it is printed.
    if (std::setvbuf(stdout, nullptr, _IONBF, 0) != 0)
        std::fprintf(stderr, "plotfeed: setvbuf stdout: %s\n", std::strerror(errno));
    take_slot();
    std::printf("Content-type: text/html%c%c", '\n', '\n');
    const char *name = graph_name(argc, argv);
    if (!graph_name_ok(name)) {
        std::printf("Graph name must be 1 to %d letters, digits, '.', '_' or '-'.\n",
                    graph_name_max);
        std::exit(1);
    }
    check_method();
    const char *qs = std::getenv("QUERY_STRING");
    if (qs == nullptr) {
        std::printf("No query information to decode.\n");
        std::exit(1);
    }
    // getword consumes the text in place; the environment stays untouched.
    std::vector<char> query(qs, qs + std::strlen(qs) + 1);
    const int count = decode_query(query.data(), stdout);
    if (count < 0)
        std::exit(1);
    install_handlers();
    k = scan_k(count);
    std::printf("MISS-%d--pid-%d\n", k, static_cast<int>(getpid()));
    // A client that is gone takes no graph over from one that may be there.
    if (client_gone(stdout))
        std::exit(1);
    read_cfg(name);
    take_over(lk, name);
    if (client_gone(stdout))
        std::exit(1);
    open_fifo(name);
    return name;
}
