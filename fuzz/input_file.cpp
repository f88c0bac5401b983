// The file a reader under test opens by its path, holding the current fuzz input.
#include "input_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>

namespace {

int input_fd = -1;
char path[64];

}  // namespace

const char *input_path(const char *name)
{
    input_fd = memfd_create(name, 0);
    if (input_fd < 0)
        __builtin_trap();
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", input_fd);
    return path;
}

void input_put(const uint8_t *data, size_t size)
{
    if (ftruncate(input_fd, 0) != 0 || pwrite(input_fd, data, size, 0) != static_cast<ssize_t>(size))
        __builtin_trap();
}

bool named_lines(const std::string &err, const std::string &head)
{
    for (std::size_t at = 0; at <= err.size();) {
        std::size_t end = err.find('\n', at);
        if (end == std::string::npos)
            end = err.size();
        if (err.compare(at, head.size(), head) != 0 || end - at <= head.size())
            return false;
        at = end + 1;
    }
    return true;
}
