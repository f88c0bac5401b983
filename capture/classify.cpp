// Counting of captured frames against the graphs: decoding of link layers and IPv4, and matching.
#include "classify.h"

#include <arpa/inet.h>
#include <pcap/dlt.h>

#include "subred.h"

namespace {

// Distinct addresses remembered per graph; past this the memory is dropped
// and rebuilt, so a flood of spoofed sources cannot grow it without end.
constexpr std::size_t seen_max = 4096;

uint16_t be16(const uint8_t *b)
{
    return static_cast<uint16_t>(b[0] << 8 | b[1]);
}

uint32_t be32(const uint8_t *b)
{
    return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
           static_cast<uint32_t>(b[2]) << 8 | b[3];
}

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

// Whether addr matches graph g (net or ip kind), asking subred once per
// distinct address.
bool belongs(graph &g, uint32_t addr)
{
    auto it = g.seen.find(addr);
    if (it != g.seen.end())
        return it->second;
    if (g.seen.size() >= seen_max)
        g.seen.clear();
    char text[INET_ADDRSTRLEN];
    uint32_t net_order = htonl(addr);
    if (!inet_ntop(AF_INET, &net_order, text, sizeof text))
        return false;
    bool yes = g.k == kind::net ? net_belong(text, g.net.c_str(), g.netm.c_str()) == 1
                                : ip_belong(text, g.ip.c_str()) == 1;
    g.seen.emplace(addr, yes);
    return yes;
}

// Whether graph g counts packet p.
bool counts(graph &g, const pkt &p)
{
    switch (g.k) {
    case kind::port:
        return p.ports && (p.sport == g.port || p.dport == g.port);
    case kind::proto:
        return p.proto == g.proto;
    case kind::sock:
        return p.ports && p.syn && p.dport == g.port;
    case kind::net:
    case kind::ip:
        return belongs(g, p.src) || belongs(g, p.dst);
    }
    return false;
}

}  // namespace

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

void classify(const pkt &p, std::vector<graph> &gs)
{
    for (graph &g : gs)
        if (counts(g, p))
            ++g.count;
}

void count_frame(int dlt, const uint8_t *bytes, uint32_t caplen, std::vector<graph> &gs)
{
    pkt p;
    if (parse_frame(dlt, bytes, caplen, p))
        classify(p, gs);
}
