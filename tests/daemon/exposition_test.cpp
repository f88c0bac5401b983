// Tests of the daemon's exposition text and of its atomic publication in a directory.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "child.h"
#include "host.h"
#include "exposition.h"

namespace fs = std::filesystem;

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

struct temp : ::testing::Test {
    std::string dir = [] {
        char tmpl[] = "/tmp/traxel-metrics-XXXXXX";
        return std::string(mkdtemp(tmpl) ? tmpl : "");
    }();
    ~temp() override { fs::remove_all(dir); }
};

using exposition = temp;

TEST_F(exposition, SamplesExactAndAcceptedByPromtool)
{
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

using publishing = temp;

TEST_F(publishing, ReaderNeverSeesHalfAFile)
{
    metrics_dir md;
    std::string err;
    ASSERT_TRUE(md.open(dir, false, err)) << err;
    // Large enough that a file written in place would be seen half-done.
    const std::string a(300000, 'a'), b = "b\n";
    ASSERT_TRUE(md.publish(a));
    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    int torn = 0;
    std::thread reader([&] {
        while (!done) {
            const std::string got = file_text(dir + "/traxel.prom");
            ++reads;
            torn += got != a && got != b;
        }
    });
    // 300 publications, and more until the reader has looked 50 times (on a
    // loaded machine it may get few turns meanwhile); 20 s at most.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool all = true;
    for (int i = 0; (i < 300 || reads < 50) && std::chrono::steady_clock::now() < end; ++i)
        all &= md.publish(i % 2 ? a : b);
    done = true;
    reader.join();
    EXPECT_TRUE(all);
    EXPECT_GE(reads, 50);
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1) << "temporary files left";
}

TEST_F(publishing, PlantedLinksAreReplacedNotFollowed)
{
    const std::string victim = dir + "/victim";
    std::ofstream(victim) << "keep";
    fs::create_directory(dir + "/real");
    fs::create_directory_symlink(dir + "/real", dir + "/link");
    fs::create_symlink(victim, dir + "/real/traxel.prom");
    fs::create_symlink(victim, dir + "/real/.traxel.prom." + std::to_string(getpid()) + ".tmp");

    metrics_dir md;
    std::string err;
    EXPECT_FALSE(md.open(dir + "/link", false, err));
    EXPECT_EQ(err, "open " + dir + "/link: is a symbolic link, not followed");
    ASSERT_TRUE(md.open(dir + "/real", false, err)) << err;
    ASSERT_TRUE(md.publish("text\n"));
    EXPECT_EQ(file_text(victim), "keep");
    EXPECT_FALSE(fs::is_symlink(dir + "/real/traxel.prom"));
    EXPECT_EQ(file_text(dir + "/real/traxel.prom"), "text\n");
    EXPECT_EQ(fs::status(dir + "/real/traxel.prom").permissions(), fs::perms(0644));
}

TEST_F(publishing, CreatedWithMode0755AndAFailingDirectoryReportedOnce)
{
    const std::string sub = dir + "/run";
    const mode_t old = umask(077);
    metrics_dir md;
    std::string err;
    const bool opened = md.open(sub, true, err);
    umask(old);
    ASSERT_TRUE(opened) << err;
    EXPECT_EQ(fs::status(sub).permissions(), fs::perms(0755));
    // A directory removed under the daemon cannot take files, even for root.
    fs::remove(sub);
    testing::internal::CaptureStderr();
    const bool any = md.publish("1\n") || md.publish("2\n") || md.publish("3\n");
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(any);
    EXPECT_EQ(said, "traxel: open " + sub + "/.traxel.prom." + std::to_string(getpid()) +
                        ".tmp: No such file or directory (" + sub + "/traxel.prom is not updated until this is mended)\n");
}

}  // namespace
