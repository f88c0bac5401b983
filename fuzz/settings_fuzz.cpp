// Fuzzes the daemon's reading of its settings file: what it accepts is in range for the capture and the graphs,
// and every refusal is one line naming the file and the line, leaving the settings as they were.
#include "settings.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

// The file the reader opens: an in-memory file rewritten for every input.
int settings_fd = -1;
char settings_path[64];
std::vector<graph> gs;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    settings_fd = memfd_create("capture.cfg", 0);
    if (settings_fd < 0)
        __builtin_trap();
    std::snprintf(settings_path, sizeof settings_path, "/proc/self/fd/%d", settings_fd);
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
    if (ftruncate(settings_fd, 0) != 0 || pwrite(settings_fd, data, size, 0) != static_cast<ssize_t>(size))
        __builtin_trap();
    settings s;
    s.iface = "mark";
    std::string err;
    if (load_settings(settings_path, gs, s, err)) {
        if (!err.empty() || s.units.size() != gs.size() || s.iface.empty() || s.iface.size() > 15 ||
            s.buffer_mib < 1 || s.buffer_mib > buffer_mib_max || s.user.empty() ||
            (!s.textfile.empty() && s.textfile[0] != '/'))
            __builtin_trap();
        for (std::size_t i = 0; i < gs.size(); ++i)
            if (gs[i].gk == graph_kind::sock && s.units[i] != sample_unit::packets)
                __builtin_trap();
    } else {
        const std::string head = std::string(settings_path) + ":";
        if (err.compare(0, head.size(), head) != 0 || err.size() == head.size() ||
            err.find('\n') != std::string::npos || s.iface != "mark")
            __builtin_trap();
    }
    return 0;
}
