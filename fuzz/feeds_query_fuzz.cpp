// Fuzzes the decoding of the multiplexed feed's query into a history length and graph names.
#include "feeds_query.h"
#include "contract.h"
#include "graphname.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string qs(reinterpret_cast<const char *>(data), size);
    feeds_request req;
    std::string why;
    // Whatever it accepts must be safe to put into paths and the feeds' queries.
    if (decode_feeds_query(qs.c_str(), req, why)) {
        if (req.k < 0 || req.k > max_history || req.graphs.empty() ||
            req.graphs.size() > static_cast<size_t>(graphs_per_connection))
            __builtin_trap();
        for (const std::string &g : req.graphs)
            if (!graph_name_ok(g.c_str()))
                __builtin_trap();
    } else if (why.empty() || why.find('\n') != std::string::npos) {
        __builtin_trap();
    }
    return 0;
}
