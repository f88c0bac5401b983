// What this host lets the tests do: capture packets, and run the tools that a test drives.
#include "host.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

std::string capture_refused()
{
    const int s = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (s >= 0) {
        close(s);
        return "";
    }
    return std::string("capture is not permitted here: socket AF_PACKET: ") + std::strerror(errno);
}

std::string tool_missing(const std::string &path, const char *package)
{
    if (access(path.c_str(), X_OK) == 0)
        return "";
    return path + " is not installed (Debian package " + package + ")";
}

bool tools_required()
{
    const char *v = std::getenv("TRAXEL_TOOLS_REQUIRED");
    return v != nullptr && *v != '\0';
}
