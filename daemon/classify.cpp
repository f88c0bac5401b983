// Counting of captured frames against the graphs: decoding of link layers and IPv4, and matching.
#include "classify.h"

#include "bytes.h"

#include <pcap/dlt.h>


namespace {

// Ethernet, with any number of 802.1Q/802.1ad tags; frames other than IPv4
// are not counted.
bool parse_ether(const uint8_t *b, uint32_t caplen, pkt &p)
{
    uint32_t off = 12;
    while (caplen >= off + 2) {
        uint16_t type = be16(b + off);
        if (type == 0x0800)
            return parse_ip(b + off + 2, caplen - off - 2, p);
        if (type != 0x8100 && type != 0x88a8 && type != 0x9100)
            return false;
        off += 4;
    }
    return false;
}

// The null link layer's family word is in the capturing host's byte order,
// so both orders of AF_INET (2) are taken.
bool parse_null(const uint8_t *b, uint32_t caplen, pkt &p)
{
    if (caplen < 4)
        return false;
    bool inet = (b[0] == 2 && b[1] == 0 && b[2] == 0 && b[3] == 0) || be32(b) == 2;
    return inet && parse_ip(b + 4, caplen - 4, p);
}

}  // namespace

keyed_graphs::keyed_graphs(uint32_t keys, uint32_t graphs)
    : keys_(keys), graphs_(graphs), bits_((keys + 63) / 64)
{
}

bool keyed_graphs::add(uint32_t key, uint32_t g)
{
    if (key >= keys_ || g >= graphs_)
        return false;
    bits_[key / 64] |= uint64_t{1} << (key % 64);
    at_.emplace_back(key, g);
    return true;
}

void keyed_graphs::seal()
{
    std::sort(at_.begin(), at_.end());
}

bool index_graphs(const std::vector<graph> &gs, count_index &ix, std::string &err)
{
    const auto n = static_cast<uint32_t>(gs.size());
    count_index out;
    out.size = gs.size();
    out.port = out.sock = keyed_graphs(65536, n);
    out.proto = keyed_graphs(256, n);
    for (uint32_t i = 0; i < n; ++i) {
        const graph &g = gs[i];
        bool ok = true;
        switch (g.gk) {
        case graph_kind::port:
            ok = out.port.add(static_cast<uint32_t>(g.port), i);
            break;
        case graph_kind::sock:
            ok = out.sock.add(static_cast<uint32_t>(g.port), i);
            break;
        case graph_kind::proto:
            ok = out.proto.add(static_cast<uint32_t>(g.proto), i);
            break;
        case graph_kind::net:
        case graph_kind::ip:
            if (!g.never)
                out.addr.push_back(i);
            break;
        }
        if (!ok) {
            err = "graph " + g.name + ": " + (g.gk == graph_kind::proto ? "protocol " + std::to_string(g.proto)
                                                                         : "port " + std::to_string(g.port)) +
                  " out of range";
            return false;
        }
    }
    for (keyed_graphs *k : {&out.port, &out.sock, &out.proto})
        k->seal();
    ix = std::move(out);
    return true;
}

bool link_known(int dlt)
{
    switch (dlt) {
    case DLT_NULL:
    case DLT_EN10MB:
    case DLT_RAW:
    case DLT_IPV4:
    case DLT_LINUX_SLL:
    case DLT_LINUX_SLL2:
        return true;
    default:
        return false;
    }
}

bool parse_ip(const uint8_t *b, uint32_t caplen, pkt &p)
{
    if (caplen < 20 || b[0] >> 4 != 4)
        return false;
    uint32_t hl = (b[0] & 0x0f) * 4u;
    if (hl < 20)
        return false;
    p = pkt{};
    p.proto = b[9];
    p.src = be32(b + 12);
    p.dst = be32(b + 16);
    // Only the first fragment carries the transport header.
    bool first = (be16(b + 6) & 0x1fff) == 0;
    if (first && (p.proto == 6 || p.proto == 17) && caplen >= hl + 4) {
        p.ports = true;
        p.sport = be16(b + hl);
        p.dport = be16(b + hl + 2);
        // Flags byte: SYN is 0x02, ACK 0x10.
        if (p.proto == 6 && caplen >= hl + 14)
            p.syn = (b[hl + 13] & 0x12) == 0x02;
    }
    return true;
}

bool parse_frame(int dlt, const uint8_t *b, uint32_t caplen, pkt &p)
{
    switch (dlt) {
    case DLT_NULL:
        return parse_null(b, caplen, p);
    case DLT_EN10MB:
        return parse_ether(b, caplen, p);
    case DLT_RAW:
    case DLT_IPV4:
        return parse_ip(b, caplen, p);
    case DLT_LINUX_SLL:
        // 16-byte cooked header, protocol type in its last two bytes.
        return caplen >= 16 && be16(b + 14) == 0x0800 && parse_ip(b + 16, caplen - 16, p);
    case DLT_LINUX_SLL2:
        // 20-byte cooked header, protocol type first.
        return caplen >= 20 && be16(b) == 0x0800 && parse_ip(b + 20, caplen - 20, p);
    default:
        return false;
    }
}

bool belongs(const graph &g, uint32_t addr)
{
    if (g.never)
        return false;
    return g.gk == graph_kind::net ? (addr & g.mask_bits) == g.net_bits : g.gk == graph_kind::ip && addr == g.ip_bits;
}

void classify(const count_index &ix, const pkt &p, std::vector<graph> &gs)
{
    if (gs.size() != ix.size)
        return;
    auto one = [&gs](uint32_t g) { ++gs[g].count; };
    ix.proto.each(p.proto, one);
    if (p.ports) {
        // A graph whose port is both ends counts the packet once.
        ix.port.each(p.sport, one);
        if (p.dport != p.sport)
            ix.port.each(p.dport, one);
        if (p.syn)
            ix.sock.each(p.dport, one);
    }
    for (uint32_t i : ix.addr)
        if (belongs(gs[i], p.src) || belongs(gs[i], p.dst))
            ++gs[i].count;
}

void count_frame(const count_index &ix, int dlt, const uint8_t *bytes, uint32_t caplen, std::vector<graph> &gs)
{
    pkt p;
    if (parse_frame(dlt, bytes, caplen, p))
        classify(ix, p, gs);
}
