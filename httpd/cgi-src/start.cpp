// The launcher: answers a form submission by starting the capture daemon.
#include "contract.h"
#include "shell.h"
#include "util.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// One decoded form field; both texts are heap words held until exit.
struct entry {
    char *name;
    char *val;
};

// The design limit of a submission: fields beyond it are left unread.
constexpr int max_entries = 10000;

entry entries[max_entries];

// Body bytes still to read; a negative count never reaches 0, so the body is
// then read to its end.
int cl;

// Text to integer as atoi reads it (leading blanks, a sign, digits up to the
// first non-digit, 0 without digits), but saturating at the int range where
// atoi's result would be undefined.
int text_to_int(const char *s)
{
    while (std::isspace(static_cast<unsigned char>(*s)))
        ++s;
    bool neg = false;
    if (*s == '+' || *s == '-')
        neg = (*s++ == '-');
    // Accumulate towards the sign's own bound so INT_MIN needs no negation.
    long long v = 0;
    const long long bound = neg ? -static_cast<long long>(INT_MIN) : INT_MAX;
    for (; std::isdigit(static_cast<unsigned char>(*s)); ++s) {
        v = v * 10 + (*s - '0');
        if (v >= bound) {
            v = bound;
            break;
        }
    }
    return static_cast<int>(neg ? -v : v);
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

int main()
{
    std::printf("Content-type: text/html%c%c", '\n', '\n');
    if (!env_is("REQUEST_METHOD", "POST")) {
        refuse_method();
        return 1;
    }
    if (!env_is("CONTENT_TYPE", "application/x-www-form-urlencoded")) {
        std::printf("This script can only be used to decode form results. \n");
        return 1;
    }
    const char *length = std::getenv("CONTENT_LENGTH");
    cl = length != nullptr ? text_to_int(length) : 0;
    decode_body();

    std::printf("traxel &");
    bool started = launch();
    std::printf("finished!!!");
    return started ? 0 : 1;
}
