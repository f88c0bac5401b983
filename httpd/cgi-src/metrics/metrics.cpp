// The metrics program: answers /metrics with the daemon's counters, as the daemon last published them.
#include "contract.h"
#include "help.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Far above any real exposition (about 700 bytes per graph); a larger file
// is not the daemon's and is refused rather than sent in part.
constexpr std::size_t size_limit = 16u << 20;

// Sends the answer: a status other than 200 carries one line of text. The
// lines end in CRLF: mini_httpd passes a program's header on as it is.
int answer(int status, const char *reason, const std::string &body, bool head)
{
    if (status != 200)
        std::printf("Status: %d %s\r\nContent-Type: text/plain; charset=utf-8\r\n", status, reason);
    else
        std::printf("Content-Type: text/plain; version=0.0.4\r\n");
    std::printf("Content-Length: %zu\r\nCache-Control: no-store\r\n\r\n", body.size());
    if (!head)
        std::fwrite(body.data(), 1, body.size(), stdout);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

// Reads the published file into text; false with why when there is none to
// send. The daemon replaces the file by rename, so the open file never
// changes while it is read.
bool read_published(std::string &text, int &status, std::string &why)
{
    // Non-blocking, so that a named pipe planted there cannot hold us.
    const int fd = open(metrics_from_web, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        status = errno == ENOENT ? 503 : 500;
        why = errno == ENOENT ? "traxel: no counters yet: the capture daemon has not published any since installation\n"
                              : std::string("traxel: cannot open run/traxel.prom: ") + std::strerror(errno) + "\n";
        return false;
    }
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::size_t>(st.st_size) <= size_limit;
    char buf[65536];
    while (ok) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        text.append(buf, static_cast<std::size_t>(n));
        ok = text.size() <= size_limit;
    }
    close(fd);
    if (!ok) {
        status = 500;
        why = "traxel: run/traxel.prom is not a readable file of the daemon\n";
    }
    return ok;
}

}  // namespace

int main(int argc, char **argv)
{
    cgi_help(argc, argv,
             "usage: metrics   (run by the web server for GET /metrics)\n"
             "Answers with the daemon's counters as it last published them in run/traxel.prom.\n"
             "See traxel-cgi(8).\n");
    // Any method reads the same file; HEAD gets the headers only.
    const char *method = std::getenv("REQUEST_METHOD");
    const bool head = method != nullptr && std::strcmp(method, "HEAD") == 0;
    std::string text, why;
    int status = 200;
    if (!read_published(text, status, why))
        return answer(status, status == 503 ? "Service Unavailable" : "Internal Server Error", why, head);
    return answer(200, "OK", text, head);
}
