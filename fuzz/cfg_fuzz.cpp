// Fuzzes the daemon's reading of the configuration file: every graph it
// accepts is one the feed can serve, and every refusal is one line that
// leaves the loaded configuration as it was.
#include "cfg.h"
#include "input_file.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

// The file the reader opens, rewritten for every input.
const char *cfg_path;

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
    cfg_path = input_file("traxel.cfg");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    input_file_put(data, size);
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
