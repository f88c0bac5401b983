// Fuzzes the daemon's reading of its settings file: what it accepts is in range for the capture and the graphs,
// and a refusal is one line per fault naming the file and the line, leaving the settings as they were.
#include "input_file.h"
#include "settings.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

// The file the reader opens, rewritten for every input.
const char *settings_path;
std::vector<graph> gs;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    settings_path = input_path("capture.cfg");
    const std::pair<const char *, graph_kind> named[] = {
        {"port8080", graph_kind::port}, {"sock22", graph_kind::sock}, {"proto-icmp", graph_kind::proto}};
    for (const auto &[name, k] : named) {
        graph g;
        g.name = name;
        g.gk = k;
        gs.push_back(g);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    input_put(data, size);
    settings s;
    s.iface = "mark";
    std::string err;
    if (load_settings(settings_path, gs, s, err)) {
        if (!err.empty() || s.units.size() != gs.size() || s.iface.empty() || s.iface.size() > 15 ||
            s.buffer_mib < 1 || s.buffer_mib > buffer_mib_max || s.user.empty() != (s.user_line == 0) ||
            (!s.textfile.empty() && s.textfile[0] != '/'))
            __builtin_trap();
        for (std::size_t i = 0; i < gs.size(); ++i)
            if (gs[i].gk == graph_kind::sock && s.units[i] != sample_unit::packets)
                __builtin_trap();
    } else {
        if (!named_lines(err, std::string(settings_path) + ":") || s.iface != "mark")
            __builtin_trap();
    }
    return 0;
}
