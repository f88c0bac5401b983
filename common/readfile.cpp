// Reading a small text file whole, and numbers from its tokens, for the daemon's configuration and settings.
#include "readfile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

bool read_whole(const char *path, std::size_t max, bool missing_ok, std::string &text, std::string &err)
{
    text.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (missing_ok && errno == ENOENT)
            return true;
        err = std::string(path) + ": " + std::strerror(errno);
        return false;
    }
    char buf[4096];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        text.append(buf, static_cast<std::size_t>(in.gcount()));
        if (text.size() > max) {
            err = std::string(path) + ": larger than " + std::to_string(max) + " bytes";
            return false;
        }
    }
    if (in.bad()) {
        err = std::string(path) + ": read error";
        return false;
    }
    return true;
}

bool whole_number(const std::string &tok, long lo, long hi, int &out)
{
    if (tok.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    long v = std::strtol(tok.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    out = static_cast<int>(v);
    return true;
}
