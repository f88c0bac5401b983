// Copies of built programs where every user can run them, for tests that run them as another user.
#include "reachable.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

void copy_program(const std::string &from, const std::string &to)
{
    std::error_code ec;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    if (ec)
        throw std::runtime_error("copy " + from + " to " + to + ": " + ec.message());
    if (chmod(to.c_str(), 0755) != 0)
        throw std::runtime_error("chmod " + to + ": " + std::strerror(errno));
}

reachable_dir::reachable_dir()
{
    char tmpl[] = "/tmp/traxel-bin-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        throw std::runtime_error(std::string("mkdtemp /tmp/traxel-bin-XXXXXX: ") + std::strerror(errno));
    path_ = tmpl;
    if (chmod(path_.c_str(), 0755) != 0)
        throw std::runtime_error("chmod " + path_ + ": " + std::strerror(errno));
}

reachable_dir::~reachable_dir()
{
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string reachable_dir::add(const std::string &from, const std::string &name) const
{
    const std::string to = path_ + "/" + name;
    copy_program(from, to);
    return to;
}
