// Tests of the daemon's exposition text, as Prometheus's promtool reads it.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "exposition.h"
#include "files.h"
#include "host.h"

namespace {

// Output and status of a shell command.
int run(const std::string &cmd, std::string &out)
{
    FILE *p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p)
        return -1;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    return pclose(p);
}

TEST(Exposition, SamplesExactAndAcceptedByPromtool)
{
    const std::string dir = temp_dir();
    metrics_snapshot m;
    m.graphs.push_back({"port8080", "bits", 5000000000ULL, 18446744073709551615ULL, 4294967296LL, 0, 1000, 800});
    m.graphs.push_back({"sock22", "connections", 3, 180, 2, 0, 50, 20});
    m.captures.push_back({"lo", 4294967297ULL, 7, 0});
    m.captures.push_back({"we\"ird\\if", 1, 0, 2});
    m.captures.push_back({"any", 12, 0, 0, "kernel"});
    m.last_sample_time = 1700000005;
    const std::string text = metrics_text(m);

    std::string samples;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, 1, "#") != 0)
            samples += line + "\n";
    EXPECT_EQ(samples,
              "traxel_packets_total{graph=\"port8080\"} 5000000000\n"
              "traxel_packets_total{graph=\"sock22\"} 3\n"
              "traxel_bytes_total{graph=\"port8080\"} 18446744073709551615\n"
              "traxel_bytes_total{graph=\"sock22\"} 180\n"
              "traxel_graph_sample{graph=\"port8080\"} 4294967296\n"
              "traxel_graph_sample{graph=\"sock22\"} 2\n"
              "traxel_graph_sample_unit_info{graph=\"port8080\",unit=\"bits\"} 1\n"
              "traxel_graph_sample_unit_info{graph=\"sock22\",unit=\"connections\"} 1\n"
              "traxel_graph_limit{graph=\"port8080\",limit=\"min\"} 0\n"
              "traxel_graph_limit{graph=\"port8080\",limit=\"max\"} 1000\n"
              "traxel_graph_limit{graph=\"port8080\",limit=\"thres\"} 800\n"
              "traxel_graph_limit{graph=\"sock22\",limit=\"min\"} 0\n"
              "traxel_graph_limit{graph=\"sock22\",limit=\"max\"} 50\n"
              "traxel_graph_limit{graph=\"sock22\",limit=\"thres\"} 20\n"
              "traxel_capture_received_packets_total{interface=\"lo\"} 4294967297\n"
              "traxel_capture_received_packets_total{interface=\"we\\\"ird\\\\if\"} 1\n"
              "traxel_capture_received_packets_total{interface=\"any\"} 12\n"
              "traxel_capture_dropped_packets_total{interface=\"lo\",where=\"kernel\"} 7\n"
              "traxel_capture_dropped_packets_total{interface=\"lo\",where=\"interface\"} 0\n"
              "traxel_capture_dropped_packets_total{interface=\"we\\\"ird\\\\if\",where=\"kernel\"} 0\n"
              "traxel_capture_dropped_packets_total{interface=\"we\\\"ird\\\\if\",where=\"interface\"} 2\n"
              "traxel_capture_dropped_packets_total{interface=\"any\",where=\"kernel\"} 0\n"
              "traxel_capture_info{interface=\"lo\",method=\"pcap\"} 1\n"
              "traxel_capture_info{interface=\"we\\\"ird\\\\if\",method=\"pcap\"} 1\n"
              "traxel_capture_info{interface=\"any\",method=\"kernel\"} 1\n"
              "traxel_last_sample_timestamp_seconds 1700000005\n"
              "traxel_build_info{version=\"" TRAXEL_VERSION "\"} 1\n");

    REQUIRE_TOOL(PROMTOOL, "prometheus");
    // Also an exposition without graphs or captures, as at a start on no traffic.
    for (const std::string &t : {text, metrics_text(metrics_snapshot{})}) {
        std::ofstream(dir + "/traxel.prom") << t;
        std::string out;
        EXPECT_EQ(run(PROMTOOL " check metrics < " + dir + "/traxel.prom", out), 0) << out;
        EXPECT_EQ(out, "");
    }
}

}  // namespace
