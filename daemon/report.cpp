// The daemon's diagnostics for the admin: standard error before it detaches, the system log after.
#include "report.h"

#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
bool to_syslog = false;
}

void report(const std::string &msg)
{
    for (std::size_t at = 0; at <= msg.size();) {
        std::size_t end = msg.find('\n', at);
        if (end == std::string::npos)
            end = msg.size();
        const std::string line = msg.substr(at, end - at);
        if (to_syslog)
            syslog(LOG_ERR, "%s", line.c_str());
        else
            std::fprintf(stderr, "traxel: %s\n", line.c_str());
        at = end + 1;
    }
}

std::string sys_fault(const std::string &call, const std::string &object)
{
    const char *reason = std::strerror(errno);
    return call + (object.empty() ? "" : " " + object) + ": " + reason;
}

void report_to_syslog()
{
    openlog("traxel", LOG_PID, LOG_DAEMON);
    to_syslog = true;
}
