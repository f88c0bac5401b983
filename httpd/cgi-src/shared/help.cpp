// Usage of a CGI program run by hand, outside a web server.
#include "help.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

void cgi_help(int argc, char **argv, const char *usage)
{
    if (argc < 2 || std::getenv("GATEWAY_INTERFACE") != nullptr)
        return;
    if (std::strcmp(argv[1], "-h") != 0 && std::strcmp(argv[1], "--help") != 0)
        return;
    std::fputs(usage, stdout);
    std::exit(std::fflush(stdout) == 0 ? 0 : 1);
}
