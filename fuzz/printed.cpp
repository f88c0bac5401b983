// Collecting what the packet printers write on standard output, so that a
// fuzz target can check the shape of each printed frame.
#include "printed.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>

void collect_stdout()
{
    const int fd = memfd_create("stdout", 0);
    if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0 || close(fd) != 0)
        __builtin_trap();
}

void printed_reset()
{
    if (std::fflush(stdout) != 0 || ftruncate(STDOUT_FILENO, 0) != 0 || std::fseek(stdout, 0, SEEK_SET) != 0)
        __builtin_trap();
}

std::string printed()
{
    if (std::fflush(stdout) != 0)
        __builtin_trap();
    const long size = std::ftell(stdout);
    if (size < 0)
        __builtin_trap();
    std::string text(static_cast<size_t>(size), '\0');
    if (pread(STDOUT_FILENO, text.data(), text.size(), 0) != size)
        __builtin_trap();
    return text;
}
