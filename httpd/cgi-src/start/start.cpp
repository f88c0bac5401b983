// The launcher: answers a form submission by starting the capture daemon.
#include "contract.h"
#include "help.h"
#include "shell.h"
#include "util.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// One decoded form field; both texts are heap words held until exit.
struct entry {
    char *name;
    char *val;
};

// The decoded form; fields beyond max_entries are left unread.
entry entries[max_entries];

// The most body bytes a submission may announce. The launch form sends a few;
// a larger body is refused unread, so memory stays the same whatever a
// client sends.
constexpr int max_body = 64 * 1024;

// Body bytes still to read, 0 to max_body.
int cl;

// The body length that CONTENT_LENGTH announces: 0 when it is unset or empty
// (no body), else decimal digits, an optional plus sign before them and
// blanks around. -1 for any other text (a minus sign, no digits, other
// characters); max_body + 1 for a number above max_body.
int body_length(const char *s)
{
    if (s == nullptr)
        return 0;
    while (std::isspace(static_cast<unsigned char>(*s)))
        ++s;
    if (*s == '\0')
        return 0;
    if (*s == '+')
        ++s;
    if (!std::isdigit(static_cast<unsigned char>(*s)))
        return -1;
    long v = 0;
    for (; std::isdigit(static_cast<unsigned char>(*s)); ++s)
        if (v <= max_body)  // stops growing once too large: no overflow
            v = v * 10 + (*s - '0');
    while (std::isspace(static_cast<unsigned char>(*s)))
        ++s;
    if (*s != '\0')
        return -1;
    return v > max_body ? max_body + 1 : static_cast<int>(v);
}

// Prints the refusal of a request that is not a POST.
void refuse_method()
{
    std::printf("This script should be referenced with a METHOD of POST.\n");
    // The same page as the feed's refusal points to.
    std::printf("If you don't understand this, see this "
                "<A HREF=\"/forms.html\">"
                "forms overview</A>.\n");
}

// True when name is set in the environment and equals want exactly.
bool env_is(const char *name, const char *want)
{
    const char *v = std::getenv(name);
    return v != nullptr && std::strcmp(v, want) == 0;
}

// Decodes the form body on standard input into entries, from index 0.
void decode_body()
{
    int x = 0;
    // A read error ends the body like its end: the stream yields no more.
    while (x < max_entries && cl != 0 && !std::feof(stdin) && !std::ferror(stdin)) {
        entry &e = entries[x++];
        e.val = fmakeword(stdin, '&', &cl);
        plustospace(e.val);
        unescape_url(e.val);
        e.name = makeword(e.val, '=');
    }
}

// Starts the daemon in the background from the installation directory.
// Returns false when no shell could be run.
bool launch()
{
    // Without the directory the command runs where we are; the shell then
    // reports a missing daemon on the error stream.
    if (chdir(install_dir) != 0)
        std::fprintf(stderr, "start: chdir %s: %s\n", install_dir, std::strerror(errno));
    // The response stays buffered: the shell is exec'd straight after the
    // fork, so its copy of our stdio buffer is discarded, never written.
    return run_shell("start", start_cmd);
}

}  // namespace

int main(int argc, char **argv)
{
    cgi_help(argc, argv,
             "usage: start   (run by the web server for POST /cgi-bin/start, the launch form)\n"
             "Starts the capture daemon: ./traxel & in the installation directory. See traxel-cgi(8).\n");
    std::printf("Content-type: text/html%c%c", '\n', '\n');
    if (!env_is("REQUEST_METHOD", "POST")) {
        refuse_method();
        return 1;
    }
    if (!env_is("CONTENT_TYPE", "application/x-www-form-urlencoded")) {
        std::printf("This script can only be used to decode form results. \n");
        return 1;
    }
    cl = body_length(std::getenv("CONTENT_LENGTH"));
    if (cl < 0) {
        std::printf("Content length that is not a number of bytes refused.\n");
        return 1;
    }
    if (cl > max_body) {
        std::printf("Form body of more than %d bytes refused.\n", max_body);
        return 1;
    }
    decode_body();

    std::printf("traxel &");
    bool started = launch();
    std::printf("finished!!!");
    return started ? 0 : 1;
}
