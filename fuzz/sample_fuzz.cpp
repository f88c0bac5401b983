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

// Serves the input's samples through the feed's own line reader, which cuts
// them at the read size, with a clock that the gap bytes move on.
struct script_io final : feed_io {
    FILE *f;
    std::int32_t clock = 1700000000;

    explicit script_io(FILE *in) : f(in) {}

    rd read_line(char *buf, int size) override
    {
        const int gap = std::fgetc(f);
        if (gap == EOF)
            return rd::end;
        clock += gap % 8;
        return read_sample(f, buf, size);
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
    // fmemopen refuses an empty buffer.
    if (size < 3)
        return 0;
    // Windows of 1 to 8 minutes; the history byte asks for a full window
    // when it is 0, else for up to 127 samples either way of zero.
    win = bytes[0] % 8 + 1;
    k = bytes[1] == 0 ? win * 60 : static_cast<int8_t>(bytes[1]) * 5;
    std::memset(aux, 0, sizeof aux);
    data = 0;
    FILE *in = fmemopen(const_cast<uint8_t *>(bytes + 2), size - 2, "r");
    if (in == nullptr)
        __builtin_trap();
    script_io io(in);
    const int status = feed_stream(io, "port80", sink);
    // The script never fails a read: the stream must end as at end of data,
    // having read all of it, with a terminated label.
    if (status != 0 || std::fgetc(in) != EOF || strnlen(aux, sizeof aux) == sizeof aux)
        __builtin_trap();
    std::fclose(in);
    return 0;
}
