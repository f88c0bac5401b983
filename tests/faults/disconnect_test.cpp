// Clients of a real mini_httpd that go away mid-stream leave no feed process behind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "fault_env.h"
#include "host.h"
#include "loopback.h"
#include "unique_graph.h"

namespace {

const std::string graph = unique_graph("port", 'd');
const std::string cfg = "window 2\n" + graph + " 4805 0 100 50\n";

// Reads from s until text holds want, up to timeout_ms in all.
bool receive_until(int s, const std::string &want, int timeout_ms, std::string &text)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (text.find(want) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        struct pollfd p = {s, POLLIN, 0};
        char buf[1024];
        ssize_t n;
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0 ||
            (n = read(s, buf, sizeof buf)) <= 0)
            return false;
        text.append(buf, static_cast<size_t>(n));
    }
    return true;
}

// The web server of inst on a free port of 127.0.0.1, serving its httpd
// directory, CGI programs in cgi-bin; as root it runs them as nobody.
child start_server(const installation &inst, int &port)
{
    port = free_port();
    return spawn(inst.dir(), "/usr/sbin/mini_httpd",
                 {"mini_httpd", "-D", "-h", "127.0.0.1", "-p", std::to_string(port), "-d", inst.dir() + "/httpd",
                  "-c", "cgi-bin/*", "-u", "nobody", "-l", inst.dir() + "/mini_httpd.log"});
}

// Writes one sample line, as the daemon writes them, into the pipe end fd;
// false when the pipe is full.
bool write_sample(int fd)
{
    static const char line[] = "12:00:05 7\n";
    return write(fd, line, sizeof line - 1) == static_cast<ssize_t>(sizeof line - 1);
}

TEST(Disconnect, FeedOfAClientThatLeftMidStreamEnds)
{
    REQUIRE_TOOL("/usr/sbin/mini_httpd", "mini-httpd");
    installation inst(cfg, {graph});
    // The test writes the samples itself, 10 a second instead of the
    // daemon's one per 5 s, so the feed's writes fail soon after the client
    // left. Held read-write, the pipe never blocks the test and lets the
    // feed's open for reading return.
    ASSERT_EQ(mkfifo(inst.fifo(graph).c_str(), 0644), 0) << std::strerror(errno);
    const int samples = open(inst.fifo(graph).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(samples, 0) << std::strerror(errno);
    ASSERT_TRUE(write_sample(samples));
    int port = 0;
    child server = start_server(inst, port);
    int s = -1;
    for (int i = 0; i < 100 && s < 0 && server.running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        s = connect_to(port);
    }
    ASSERT_GE(s, 0) << "mini_httpd does not answer on port " << port << ": " << read_rest(server.err(), 500);

    const std::string request = "GET /cgi-bin/" + graph + "?dhle,60,0s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    ASSERT_EQ(write(s, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    // Mid-stream: the limits are out and the first live sample arrived.
    std::string text;
    EXPECT_TRUE(receive_until(s, "\ndata-7\n12:00:05 7\n", 15000, text)) << text;
    EXPECT_EQ(text.compare(0, 12, "HTTP/1.0 200"), 0) << text;
    EXPECT_NE(text.find("\n<" + graph + " 50\n"), std::string::npos) << text;
    const pid_t feed = pid_in_file(graph);
    ASSERT_GT(feed, 0);
    EXPECT_TRUE(process_alive(feed));
    ASSERT_EQ(processes_in(inst.cgi()).size(), 1u);
    close(s);

    // The feed's writes fail once the server has noticed, a few samples on.
    const auto left = std::chrono::steady_clock::now();
    bool gone = false;
    for (int i = 0; i < 200 && !gone; ++i) {
        write_sample(samples);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        gone = !process_alive(feed) && processes_in(inst.cgi()).empty();
    }
    close(samples);
    EXPECT_TRUE(gone) << "a feed is still running 20 s after its client left";
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - left);
    std::printf("feed ended %lld ms after its client left\n", static_cast<long long>(took.count()));
    EXPECT_TRUE(server.running());
}

}  // namespace
