// Fuzzes the daemon's decoding and counting of captured frames: the first
// byte picks the link type, the rest is the frame as captured. A decoded
// frame must describe bytes that were captured, and counting it must add at
// most one packet, of its size, to each graph.
#include "cfg.h"
#include "classify.h"

#include <pcap/dlt.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

// The link types decoded, and one that is not.
constexpr int dlts[] = {DLT_EN10MB, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_RAW, DLT_IPV4,
                        DLT_IPV6,   DLT_NULL,      DLT_LOOP,       DLT_IEEE802_11};

std::vector<graph> gs;
count_index ix;

// A graph of kind k on key (port or protocol) or address texts a, m.
graph make(graph_kind k, int key, const char *a = "", const char *m = "")
{
    graph g;
    g.name = "g" + std::to_string(gs.size());
    g.gk = k;
    g.port = g.proto = key;
    g.net = a;
    g.netm = m;
    g.ip = a;
    if ((k == graph_kind::net || k == graph_kind::ip) && !addr_form(g).empty())
        __builtin_trap();
    return g;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    gs = {make(graph_kind::port, 80),  make(graph_kind::sock, 80),       make(graph_kind::proto, 6),
          make(graph_kind::proto, 58), make(graph_kind::proto, 0),       make(graph_kind::net, 0, "0.0.0.0", "0"),
          make(graph_kind::ip, 0, "0.0.0.0"), make(graph_kind::net, 0, "::", "0"), make(graph_kind::ip, 0, "::")};
    std::string err;
    if (!index_graphs(gs, ix, err))
        __builtin_trap();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 65536)
        return 0;
    const int dlt = dlts[data[0] % (sizeof dlts / sizeof dlts[0])];
    const uint8_t *frame = data + 1;
    const auto caplen = static_cast<uint32_t>(size - 1);
    pkt p;
    const bool ip = parse_frame(dlt, frame, caplen, p);
    const bool tcp_udp = p.has_proto && (p.proto == 6 || p.proto == 17);
    if (ip && (!link_known(dlt) || p.link + (p.v6 ? 40 : 20) > caplen || (p.ports && !tcp_udp) ||
               (p.syn && (!p.ports || p.proto != 6))))
        __builtin_trap();
    for (graph &g : gs)
        g.count = g.bytes = 0;
    const uint32_t len = caplen + 1000;
    count_frame(ix, dlt, frame, caplen, len, gs);
    for (const graph &g : gs)
        if (g.count > 1 || g.bytes != g.count * static_cast<int64_t>(len - p.link))
            __builtin_trap();
    // The network of all addresses of the packet's version counts it.
    if (ip && gs[p.v6 ? 7 : 5].count != 1)
        __builtin_trap();
    return 0;
}
