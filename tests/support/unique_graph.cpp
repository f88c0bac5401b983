// Graph names that tests running at once on one machine do not share.
#include "unique_graph.h"

#include <unistd.h>

#include <cstdio>

std::string unique_graph(const char *kind, char tag)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%s%05d%c", kind, static_cast<int>(getpid() % 100000), tag);
    return buf;
}
