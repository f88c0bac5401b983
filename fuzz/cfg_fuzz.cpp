// Fuzzes the daemon's reading of the configuration file: every graph it
// accepts is one the feed can serve, and every refusal is one line that
// leaves the loaded configuration as it was.
#include "cfg.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

// The file the reader opens: an in-memory file rewritten for every input.
int cfg_fd = -1;
char cfg_path[64];

// Whether g is a graph record the feed and the pipes can use.
bool sound(const graph &g)
{
    graph_kind k;
    auto fits = [](const std::string &a) {
        return a.size() <= (a.find(':') == std::string::npos ? addr4_text_max : addr6_text_max);
    };
    return !g.name.empty() && g.name.size() <= graph_name_max && g.name[0] != '.' &&
           g.name.find('/') == std::string::npos && graph_kind_of(g.name, k) && k == g.gk && fits(g.net) &&
           g.netm.size() <= addr4_text_max && fits(g.ip);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    cfg_fd = memfd_create("traxel.cfg", 0);
    if (cfg_fd < 0)
        __builtin_trap();
    std::snprintf(cfg_path, sizeof cfg_path, "/proc/self/fd/%d", cfg_fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (ftruncate(cfg_fd, 0) != 0 || pwrite(cfg_fd, data, size, 0) != static_cast<ssize_t>(size))
        __builtin_trap();
    // Marks that a refusal must leave in place.
    window_minutes = -7;
    graphs.assign(1, graph{});
    graphs[0].name = "mark";
    std::string err;
    if (load_graphs(cfg_path, err)) {
        if (window_minutes < 1 || window_minutes > 1440 || graphs.empty() || !err.empty())
            __builtin_trap();
        for (const graph &g : graphs)
            if (!sound(g))
                __builtin_trap();
    } else {
        const std::string head = std::string(cfg_path) + ": ";
        if (err.compare(0, head.size(), head) != 0 || err.size() == head.size() ||
            err.find('\n') != std::string::npos || window_minutes != -7 || graphs.size() != 1 || graphs[0].name != "mark")
            __builtin_trap();
    }
    return 0;
}
