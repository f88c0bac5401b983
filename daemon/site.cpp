// The site's choices for its installation: the optional file site.cfg beside traxel.cfg.
#include "site.h"

#include <arpa/inet.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "readfile.h"

namespace {

// A site file is a few lines; a larger one is not one.
constexpr std::size_t site_size_max = 64 * 1024;

// Whether text is an IPv4 or IPv6 address; *loopback tells whether it is
// one of this host's loopback addresses (an IPv4-mapped one counts as IPv4).
bool address(const std::string &text, bool *loopback)
{
    in_addr a4;
    in6_addr a6;
    if (inet_pton(AF_INET, text.c_str(), &a4) == 1) {
        *loopback = (ntohl(a4.s_addr) >> 24) == 127;
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), &a6) != 1)
        return false;
    *loopback = IN6_IS_ADDR_LOOPBACK(&a6) || (IN6_IS_ADDR_V4MAPPED(&a6) && a6.s6_addr[12] == 127);
    return true;
}

// Why the value of key cannot be taken (tok[0] is the key), or "".
std::string read_key(const std::vector<std::string> &tok, site &s)
{
    const std::string &key = tok[0];
    if (key != "listen" && key != "port" && key != "web-user" && key != "boot")
        return "unknown key \"" + key + "\" (keys: listen, port, web-user, boot)";
    if (tok.size() != 2)
        return key + " takes one value, not " + std::to_string(tok.size() - 1);
    const std::string &v = tok[1];
    if (key == "listen") {
        bool loopback = false;
        if (!address(v, &loopback))
            return "listen \"" + v + "\" is not an IPv4 or IPv6 address";
        if (!loopback && access(password_file, R_OK) != 0)
            return "listen " + v + " is not a loopback address, and " + password_file +
                   " cannot be read (" + std::strerror(errno) +
                   "): make it first, as in site.cfg(5), so that the launcher and the feeds ask a password";
        s.listen = v;
    } else if (key == "port") {
        if (!whole_number(v, 1, 65535, s.port))
            return "port \"" + v + "\" is not a number in 1..65535";
    } else if (key == "web-user") {
        errno = 0;
        const struct passwd *pw = getpwnam(v.c_str());
        if (!pw)
            return "no user \"" + v + "\"" + (errno ? std::string(" (") + std::strerror(errno) + ")" : "");
        if (pw->pw_uid == 0)
            return "web-user \"" + v + "\" is root; name an unprivileged user";
        s.web_user = v;
    } else if (v == "yes" || v == "no") {
        s.boot = v == "yes";
    } else {
        return "boot \"" + v + "\" is not yes or no";
    }
    return "";
}

}  // namespace

bool load_site(const char *path, site &s, std::string &err)
{
    site n;
    if (!read_key_lines(path, site_size_max, [&n](const std::vector<std::string> &tok, int) { return read_key(tok, n); },
                        err))
        return false;
    s = std::move(n);
    return true;
}
