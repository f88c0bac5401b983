// Fuzzes the daemon's reading of the configuration file: every graph it
// accepts is one the feed can serve, and a refusal is one line per fault and
// leaves the loaded configuration as it was.
#include "cfg.h"
#include "contract.h"
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
    return graph_name_fault(g.name).empty() && graph_name_ok(g.name.c_str()) && graph_kind_of(g.name.c_str(), k) &&
           k == g.gk && fits(g.net) && g.netm.size() <= addr4_text_max && fits(g.ip);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    cfg_path = input_path("traxel.cfg");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    input_put(data, size);
    // Marks that a refusal must leave in place.
    window_minutes = -7;
    graphs.assign(1, graph{});
    graphs[0].name = "mark";
    std::string err;
    if (load_graphs(cfg_path, err)) {
        if (window_minutes < win_min || window_minutes > win_max || graphs.empty() || !err.empty())
            __builtin_trap();
        for (const graph &g : graphs)
            if (!sound(g))
                __builtin_trap();
    } else {
        if (!named_lines(err, std::string(cfg_path) + ": ") || window_minutes != -7 || graphs.size() != 1 ||
            graphs[0].name != "mark")
            __builtin_trap();
    }
    return 0;
}
