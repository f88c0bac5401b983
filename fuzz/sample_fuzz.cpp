// Fuzzes the feed's parsing of sample lines and its history and live stream
// on a scripted pipe and clock. Input: a window byte, a history byte, then
// samples, each a byte of seconds waited before it and a line up to '\n'.
#include "read_cfg.h"
#include "startup.h"
#include "stream.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// Serves the input's samples as the pipe would, lines cut at the read size
// as fgets cuts them, with a clock that the gap bytes move on.
struct script_io final : feed_io {
    const uint8_t *p;
    const uint8_t *end;
    std::int32_t clock = 1700000000;

    script_io(const uint8_t *data, size_t size) : p(data), end(data + size) {}

    rd read_line(char *buf, int size) override
    {
        if (p == end)
            return rd::end;
        clock += *p++ % 8;
        int n = 0;
        while (p != end && n + 1 < size) {
            const char c = static_cast<char>(*p++);
            buf[n++] = c;
            if (c == '\n')
                break;
        }
        buf[n] = '\0';
        return rd::ok;
    }
    std::int32_t now() override { return clock; }
    void rearm() override {}
};

FILE *sink = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    sink = std::fopen("/dev/null", "w");
    if (sink == nullptr)
        __builtin_trap();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    if (size < 2)
        return 0;
    // Windows of 1 to 8 minutes; the history byte asks for a full window
    // when it is 0, else for up to 127 samples either way of zero.
    win = bytes[0] % 8 + 1;
    k = bytes[1] == 0 ? win * 60 : static_cast<int8_t>(bytes[1]) * 5;
    std::memset(aux, 0, sizeof aux);
    data = 0;
    script_io io(bytes + 2, size - 2);
    const int status = feed_stream(io, "port80", sink);
    // The script never fails a read: the stream must end as at end of data,
    // with a terminated label.
    if (status != 0 || io.p != io.end || strnlen(aux, sizeof aux) == sizeof aux)
        __builtin_trap();
    return 0;
}
