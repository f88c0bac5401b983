// Running commands through the system shell for the CGI programs.
#include "shell.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

bool run_shell(const char *prog, const char *cmd)
{
    const int rc = std::system(cmd);
    // A web server may start us with SIGCHLD ignored: the system then reaps
    // the shell itself and its status is lost (ECHILD), but the shell ran
    // to its end.
    if (rc == -1 && errno != ECHILD) {
        std::fprintf(stderr, "%s: system %s: %s\n", prog, cmd, std::strerror(errno));
        return false;
    }
    return true;
}
