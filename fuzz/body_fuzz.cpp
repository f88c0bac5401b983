// Fuzzes the decoding of a form body read from a stream with a content
// length, as the launcher does it. The first two bytes choose the length.
#include "util.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    int cl = static_cast<int8_t>(data[0]) * 256 + data[1];  // negative counts too
    std::vector<char> body(data + 2, data + size);
    FILE *f = body.empty() ? std::tmpfile() : fmemopen(body.data(), body.size(), "r");
    if (f == nullptr)
        return 0;
    for (int n = 0; n < 10000 && cl != 0 && !std::feof(f); ++n) {
        char *val = fmakeword(f, '&', &cl);
        plustospace(val);
        unescape_url(val);
        char *name = makeword(val, '=');
        std::free(name);
        std::free(val);
    }
    std::fclose(f);
    return 0;
}
