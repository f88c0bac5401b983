// The daemon's own settings: the optional file capture.cfg beside traxel.cfg.
#ifndef TRAXEL_SETTINGS_H
#define TRAXEL_SETTINGS_H

#include <pwd.h>

#include <string>
#include <vector>

#include "cfg.h"

// The settings file, in the installation directory.
inline constexpr char settings_file[] = "capture.cfg";

// What a graph's samples tell: packets (a sock graph's are new connections)
// per interval, or the bit rate over the interval in bit/s or kbit/s.
enum class sample_unit { packets, bits, kbits };

// The unit's word in graphs.json and the metrics: "packets", "connections"
// (a sock graph in packets), "bits" or "kbits".
const char *unit_name(sample_unit u, graph_kind k);

// Kernel capture buffer in MiB, resident while the daemon runs: the default
// fits a small host and holds 65536 frames of at most 256 bytes.
inline constexpr int buffer_mib_default = 16;
inline constexpr int buffer_mib_max = 1024;

// How the daemon counts: by programs in the kernel, on frames that libpcap
// copies to it, or the first of the two that works here.
enum class capture_method { automatic, kernel, pcap };

// Why the user pw may not be the daemon's ("is root", "has group root as its
// primary group"); "" when it may.
std::string root_fault(const struct passwd &pw);

struct settings {
    std::string iface = "any";     // the interface captured on
    std::vector<sample_unit> units;  // one per graph, in the graphs' order
    // Whom a root start becomes; "" when capture.cfg names none, and then the
    // web server's user of site.cfg, who owns the pipes.
    std::string user;
    int user_line = 0;             // the line of capture.cfg that names it
    int buffer_mib = buffer_mib_default;
    std::string textfile;          // a directory that also gets traxel.prom; "" none
    capture_method method = capture_method::automatic;
    // "capture.cfg:LINE: what" for each graph that a unit line names and
    // traxel.cfg lacks: the line sets the others, so that the shipped
    // settings stay valid beside any traxel.cfg.
    std::vector<std::string> warnings;
};

// Reads the settings at path for the graphs gs into s; no file at path
// leaves the defaults. On faults returns false with one line for each in
// err, "capture.cfg:LINE: what" (joined by newlines; "capture.cfg: reason"
// when the file cannot be read), and s unchanged.
bool load_settings(const char *path, const std::vector<graph> &gs, settings &s, std::string &err);

#endif
