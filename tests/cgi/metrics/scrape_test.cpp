// A real Prometheus scrapes a private traxel installation through a real mini_httpd, with the shipped alert rules.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "fault_env.h"
#include "host.h"
#include "loopback.h"
#include "unique_graph.h"

namespace fs = std::filesystem;

namespace {

// The answer of a GET of path from 127.0.0.1:port, head and body; "" when
// nothing answers.
std::string http_get(int port, const std::string &path)
{
    const int s = connect_to(port);
    if (s < 0)
        return "";
    const std::string req = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    std::string answer;
    if (write(s, req.data(), req.size()) == static_cast<ssize_t>(req.size()))
        answer = read_rest(s, 5000);
    close(s);
    return answer;
}

// A query of Prometheus's HTTP API, the expression percent-encoded.
std::string query(int port, const std::string &expr)
{
    std::string q;
    for (unsigned char c : expr) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        q += std::isalnum(c) ? std::string(1, static_cast<char>(c)) : hex;
    }
    return http_get(port, "/api/v1/query?query=" + q);
}

// The value of the sample name{graph="g"} in an exposition, or -1.
double value_of(const std::string &text, const std::string &name, const std::string &g)
{
    std::smatch m;
    const std::regex re("\n" + name + "\\{graph=\"" + g + "\"\\} ([0-9]+)\n");
    return std::regex_search(text, m, re) ? std::stod(m[1]) : -1;
}

// Prometheus on a free port with a storage directory of its own, both gone
// when this is destroyed, whatever the test's outcome.
struct prometheus {
    std::string dir;
    int port = free_port();
    child proc;

    explicit prometheus(int target)
    {
        char tmpl[] = "/tmp/traxel-prom-XXXXXX";
        dir = mkdtemp(tmpl) ? tmpl : "";
        std::ofstream(dir + "/prometheus.yml")
            << "global: {scrape_interval: 5s, evaluation_interval: 5s}\n"
            << "rule_files: ['" RULES "']\n"
            << "scrape_configs:\n  - job_name: traxel\n    static_configs: [{targets: ['127.0.0.1:" << target
            << "']}]\n";
        // Its log goes to a file: a full pipe would stop it.
        proc = spawn(dir, "/bin/sh",
                     {"sh", "-c",
                      "exec /usr/bin/prometheus --config.file=prometheus.yml --storage.tsdb.path=data "
                      "--web.listen-address=127.0.0.1:" + std::to_string(port) + " >log 2>&1"});
    }
    ~prometheus()
    {
        proc = child();
        fs::remove_all(dir);
    }
};

}  // namespace

TEST(scrape, PrometheusSeesAPortGraphCountAndTheRules)
{
    REQUIRE_TOOL("/usr/sbin/mini_httpd", "mini-httpd");
    REQUIRE_TOOL("/usr/bin/prometheus", "prometheus");
    SKIP_UNLESS_CAPTURE();
    // Datagrams of 1000 bytes at the IP layer to a port that no one else uses.
    const udp_sink rx;
    const std::string graph = unique_graph("port", 'm');
    installation inst("window 5\n" + graph + " " + std::to_string(rx.port) + " 0 100 1\n", {graph});

    const std::string web = inst.dir() + "/httpd";
    fs::create_directories(web + "/htdocs");
    fs::create_directory(inst.dir() + "/run");
    // As an installation by root: the daemon writes there as nobody.
    if (geteuid() == 0) {
        ASSERT_EQ(chown((inst.dir() + "/run").c_str(), 65534, 65534), 0);
    }
    // A copy: the web server runs it as nobody, who may not reach the build tree.
    copy_program(METRICS_BIN, web + "/cgi-bin/metrics");
    fs::create_symlink("../cgi-bin", web + "/htdocs/cgi-bin");
    fs::create_symlink("cgi-bin/metrics", web + "/htdocs/metrics");
    const int port = free_port();
    child server = spawn(inst.dir(), "/usr/sbin/mini_httpd",
                         {"mini_httpd", "-D", "-h", "127.0.0.1", "-p", std::to_string(port), "-d", web + "/htdocs",
                          "-c", "cgi-bin/*|metrics", "-u", "nobody", "-l", inst.dir() + "/mini_httpd.log"});
    std::string got;
    for (int i = 0; i < 50 && got.empty(); ++i, std::this_thread::sleep_for(std::chrono::milliseconds(100)))
        got = http_get(port, "/metrics");
    EXPECT_EQ(got.compare(0, 13, "HTTP/1.0 503 "), 0) << got;

    child daemon;
    std::string why;
    start_serving(inst, graph, daemon, why);
    ASSERT_TRUE(daemon.running()) << why;
    prometheus prom(port);

    // Counting shows in Prometheus after two scrapes around a published
    // interval; the threshold alert goes pending with the first sample above 1.
    std::string increase, alerts;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(45);
    while (std::chrono::steady_clock::now() < end &&
           (increase.find("\"value\"") == std::string::npos || alerts.find("\"pending\"") == std::string::npos)) {
        for (int i = 0; i < 5; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(100)))
            send_udp(rx.port, 1, 972);
        increase = query(prom.port, "increase(traxel_packets_total{graph=\"" + graph + "\"}[1m]) > 0");
        alerts = http_get(prom.port, "/api/v1/alerts");
    }
    EXPECT_NE(increase.find("\"value\""), std::string::npos) << increase << "\n" << read_rest(daemon.err(), 100);
    EXPECT_NE(alerts.find("\"summary\":\"Graph " + graph + " on 127.0.0.1:" + std::to_string(port) + " at "),
              std::string::npos) << alerts;
    EXPECT_NE(alerts.find(" packets per 5 s, above its threshold for a minute\"},\"state\":\"pending\""),
              std::string::npos) << alerts;
    const std::string rules = http_get(prom.port, "/api/v1/rules");
    for (const char *alert : {"TraxelGraphAboveThreshold", "TraxelCaptureDrops", "TraxelSamplesStale", "TraxelMetricsDown"})
        EXPECT_NE(rules.find(std::string("\"name\":\"") + alert + "\""), std::string::npos) << rules;
    EXPECT_EQ(rules.find("\"health\":\"err\""), std::string::npos) << rules;

    // The file as served: its content type, and bytes of exactly the size sent.
    const std::string served = http_get(port, "/metrics");
    EXPECT_NE(served.find("\r\nContent-Type: text/plain; version=0.0.4\r\n"), std::string::npos) << served;
    const double packets = value_of(served, "traxel_packets_total", graph);
    EXPECT_GT(packets, 0) << served;
    EXPECT_EQ(value_of(served, "traxel_bytes_total", graph), packets * 1000) << served;
}
