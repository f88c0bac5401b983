// What /proc shows of another process.
#include "proc.h"

#include <cstdio>
#include <cstring>

std::string process_name(pid_t pid)
{
    char path[32], buf[32] = "";
    std::snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(pid));
    std::FILE *f = std::fopen(path, "re");
    if (f == nullptr)
        return "";
    const bool got = std::fgets(buf, sizeof buf, f) != nullptr;
    std::fclose(f);
    if (!got)
        return "";
    buf[std::strcspn(buf, "\n")] = '\0';
    return buf;
}
