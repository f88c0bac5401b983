// The feed program: streams one graph's samples to its browser client.
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
        if (std::fgets(buf, size, fifo_in) != nullptr)
            return rd::ok;
        if (std::ferror(fifo_in)) {
            std::fprintf(stderr, "plotfeed: read pipe: %s\n", std::strerror(errno));
            return rd::error;
        }
        return rd::end;
    }
    std::int32_t now() override { return static_cast<std::int32_t>(std::time(nullptr)); }
    void rearm() override { install_handlers(); }
};

}  // namespace

int main(int argc, char **argv)
{
    const char *name = feed_startup(argc, argv);
    pipe_io io;
    std::exit(feed_stream(io, name, stdout));
}
