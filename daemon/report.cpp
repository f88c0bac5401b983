// The daemon's diagnostics for the admin: standard error before it detaches, the system log after.
#include "report.h"

#include <syslog.h>

#include <cstdio>

namespace {
bool to_syslog = false;
}

void report(const std::string &msg)
{
    if (to_syslog)
        syslog(LOG_ERR, "%s", msg.c_str());
    else
        std::fprintf(stderr, "traxel: %s\n", msg.c_str());
}

void report_to_syslog()
{
    openlog("traxel", LOG_PID, LOG_DAEMON);
    to_syslog = true;
}
