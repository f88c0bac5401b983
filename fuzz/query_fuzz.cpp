// Fuzzes the decoding of a query string into name and value fields, as the
// feed does it: split at '&', decode, split at '='.
#include "util.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<char> query(data, data + size);
    query.push_back('\0');
    // Every field is at most as long as the query, so these never overflow.
    std::vector<char> val(size + 1), name(size + 1);
    while (query[0] != '\0') {
        getword(val.data(), query.data(), '&');
        plustospace(val.data());
        unescape_url(val.data());
        getword(name.data(), val.data(), '=');
        if (std::strlen(name.data()) + std::strlen(val.data()) > size)
            __builtin_trap();
    }
    return 0;
}
