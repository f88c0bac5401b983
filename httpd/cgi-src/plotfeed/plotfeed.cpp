// The feed program: streams one graph's samples to its browser client.
#include "help.h"
#include "startup.h"
#include "stream.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// The graph's pipe and the system clock.
struct pipe_io final : feed_io {
    rd read_line(char *buf, int size) override
    {
        const rd r = read_sample(fifo_in, buf, size, wait_pipe);
        // A failed wait said why itself.
        if (r == rd::error && std::ferror(fifo_in))
            std::fprintf(stderr, "plotfeed: read pipe: %s\n", std::strerror(errno));
        return r;
    }
    std::int32_t now() override { return static_cast<std::int32_t>(std::time(nullptr)); }
    void rearm() override { install_handlers(); }
};

}  // namespace

int main(int argc, char **argv)
{
    cgi_help(argc, argv,
             "usage: GRAPH   (plotfeed run as a graph of traxel.cfg, through a link named after it)\n"
             "The web server runs it in the CGI directory for GET /cgi-bin/GRAPH?dhle,60,SECONDSs;\n"
             "it replays the samples waiting in GRAPH.fifo, then streams each new one. See traxel-cgi(8).\n");
    const char *name = feed_startup(argc, argv);
    pipe_io io;
    std::exit(feed_stream(io, name, stdout));
}
