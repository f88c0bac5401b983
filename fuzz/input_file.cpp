// The file a reader under test opens by its path, holding the current fuzz input.
#include "input_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>

namespace {

int input_fd = -1;
char input_path[64];

}  // namespace

const char *input_file(const char *name)
{
    input_fd = memfd_create(name, 0);
    if (input_fd < 0)
        __builtin_trap();
    std::snprintf(input_path, sizeof input_path, "/proc/self/fd/%d", input_fd);
    return input_path;
}

void input_file_put(const uint8_t *data, size_t size)
{
    if (ftruncate(input_fd, 0) != 0 || pwrite(input_fd, data, size, 0) != static_cast<ssize_t>(size))
        __builtin_trap();
}
