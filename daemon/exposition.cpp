// The daemon's counters in the Prometheus text exposition format, published as a file each interval.
#include "exposition.h"

#include "contract.h"

namespace {

// A label value in the exposition's quoting: backslash, double quote and
// newline escaped.
std::string label_value(const std::string &v)
{
    std::string out;
    out.reserve(v.size());
    for (char c : v) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

// The HELP and TYPE lines of a metric family.
void family_head(std::string &out, const char *name, const char *type, const std::string &help)
                 {
                 out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

// One metric line: name{labels} value, where labels holds name="value" pairs
// already quoted, comma-separated.
void metric_line(std::string &out, const char *name, const std::string &labels, const std::string &value)
                 {
                 out += name;
    if (!labels.empty())
        out += '{' + labels + '}';
    out += ' ';
    out += value;
    out += '\n';
}

// The label name="value", the value quoted.
std::string label_pair(const char *name, const std::string &value)
{
    return std::string(name) + "=\"" + label_value(value) + '"';
}

// A family of one line per graph, labelled with the graph, of value of(g).
template <class Value>
void per_graph(std::string &out, const std::vector<graph_metrics> &gs, const char *name, const char *type,
               const char *help, Value of)
{
    family_head(out, name, type, help);
    for (const graph_metrics &g : gs)
        metric_line(out, name, label_pair("graph", g.name), std::to_string(of(g)));
}

void graph_families(std::string &out, const std::vector<graph_metrics> &gs)
{
    per_graph(out, gs, "traxel_packets_total", "counter",
              "Packets the graph counted since the daemon started; for a sock graph, its new connections.",
              [](const graph_metrics &g) { return g.packets_total; });
    per_graph(out, gs, "traxel_bytes_total", "counter",
              "Bytes of the graph's packets since the daemon started, at the IP layer and above "
              "(wire length less the link header).",
              [](const graph_metrics &g) { return g.bytes_total; });
    per_graph(out, gs, "traxel_graph_sample", "gauge",
              "The graph's last sample, in its unit (traxel_graph_sample_unit_info).",
              [](const graph_metrics &g) { return g.sample; });
    family_head(out, "traxel_graph_sample_unit_info", "gauge",
                "The unit of the graph's samples and limits: packets or connections per " +
                    std::to_string(sample_interval) + " s, bits or kbits per second.");
    for (const graph_metrics &g : gs)
        metric_line(out, "traxel_graph_sample_unit_info",
                    label_pair("graph", g.name) + ',' + label_pair("unit", g.unit), "1");
    family_head(out, "traxel_graph_limit", "gauge",
                "The graph's configured minimum, maximum and threshold, in its unit.");
    for (const graph_metrics &g : gs) {
        const std::pair<const char *, int> limits[] = {{"min", g.min}, {"max", g.max}, {"thres", g.thres}};
        for (const auto &[which, value] : limits)
            metric_line(out, "traxel_graph_limit", label_pair("graph", g.name) + ',' + label_pair("limit", which),
                        std::to_string(value));
    }
}

void capture_families(std::string &out, const std::vector<capture_metrics> &cs)
{
    family_head(out, "traxel_capture_received_packets_total", "counter",
                "Packets the capture received from the interface since the daemon started.");
    for (const capture_metrics &c : cs)
        metric_line(out, "traxel_capture_received_packets_total", label_pair("interface", c.interface),
                    std::to_string(c.received));
    family_head(out, "traxel_capture_dropped_packets_total", "counter",
                "Packets lost since the daemon started: where=\"kernel\" for want of room in the capture buffer, "
                "where=\"interface\" by the interface or its driver.");
    for (const capture_metrics &c : cs) {
        const std::string iface = label_pair("interface", c.interface);
        metric_line(out, "traxel_capture_dropped_packets_total", iface + ',' + label_pair("where", "kernel"),
                    std::to_string(c.dropped_kernel));
        if (c.method == "pcap")
            metric_line(out, "traxel_capture_dropped_packets_total", iface + ',' + label_pair("where", "interface"),
                        std::to_string(c.dropped_interface));
    }
    family_head(out, "traxel_capture_info", "gauge",
                "How the capture counts: method=\"kernel\" by programs in the kernel, method=\"pcap\" on the frames "
                "that libpcap copies to the daemon.");
    for (const capture_metrics &c : cs)
        metric_line(out, "traxel_capture_info",
                    label_pair("interface", c.interface) + ',' + label_pair("method", c.method), "1");
}

}  // namespace

std::string metrics_text(const metrics_snapshot &m)
{
    std::string out;
    out.reserve(1024 + 600 * m.graphs.size() + 300 * m.captures.size());
    graph_families(out, m.graphs);
    capture_families(out, m.captures);
    family_head(out, "traxel_last_sample_timestamp_seconds", "gauge",
                "Time of the last samples written, in seconds since the Epoch.");
    metric_line(out, "traxel_last_sample_timestamp_seconds", "", std::to_string(m.last_sample_time));
    family_head(out, "traxel_build_info", "gauge", "The version of the running daemon.");
    metric_line(out, "traxel_build_info", label_pair("version", TRAXEL_VERSION), "1");
    return out;
}
