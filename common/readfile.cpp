// Reading a small text file whole, its numbers and its key lines, for the daemon's configuration and settings.
#include "readfile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tokens.h"

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

bool read_key_lines(const char *path, std::size_t max,
                    const std::function<std::string(const std::vector<std::string> &, int)> &key, std::string &err)
{
    err.clear();
    std::string text;
    if (!read_whole(path, max, true, text, err))
        return false;
    std::istringstream lines(text);
    std::string line;
    for (int no = 1; std::getline(lines, line); ++no) {
        const std::vector<std::string> tok = split_tokens(line.substr(0, line.find('#')));
        const std::string fault = tok.empty() ? "" : key(tok, no);
        if (!fault.empty())
            err += (err.empty() ? "" : "\n") + std::string(path) + ":" + std::to_string(no) + ": " + fault;
    }
    return err.empty();
}
