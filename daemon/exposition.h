// The daemon's counters in the Prometheus text exposition format, published as a file each interval.
#ifndef TRAXEL_EXPOSITION_H
#define TRAXEL_EXPOSITION_H

#include <cstdint>
#include <string>
#include <vector>

// What one graph has counted since the daemon started, and its last sample.
struct graph_metrics {
    std::string name;
    std::string unit;            // "packets", "connections", "bits" or "kbits"
    uint64_t packets_total = 0;  // a sock graph's packets are its new connections
    uint64_t bytes_total = 0;    // at the IP layer and above
    int64_t sample = 0;          // the last sample written, in unit
    int min = 0, max = 0, thres = 0;
};

// One capture's packet totals since the daemon started, 64-bit and never
// going backwards (the kernel's 32-bit counters are accumulated by delta).
struct capture_metrics {
    std::string interface;
    uint64_t received = 0;
    uint64_t dropped_kernel = 0;     // no room in the capture buffer
    uint64_t dropped_interface = 0;  // dropped by the interface or its driver
    std::string method = "pcap";     // "kernel": counted in the kernel, which has no capture buffer to
                                     // overflow and learns nothing of the interface's drops
};

// Everything the exposition shows at one grid time.
struct metrics_snapshot {
    std::vector<graph_metrics> graphs;
    std::vector<capture_metrics> captures;
    int64_t last_sample_time = 0;  // seconds since the Epoch of the last samples written
};

// The exposition text (format version 0.0.4) of m: traxel_packets_total,
// traxel_bytes_total, traxel_graph_sample, traxel_graph_sample_unit_info,
// traxel_graph_limit, traxel_capture_received_packets_total,
// traxel_capture_dropped_packets_total (where="interface" only of the pcap
// method), traxel_capture_info, traxel_last_sample_timestamp_seconds
// and traxel_build_info, each with its HELP and TYPE lines.
std::string metrics_text(const metrics_snapshot &m);

#endif
