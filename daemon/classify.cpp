// Counting of captured frames against the graphs: decoding of link layers and IPv4, and matching.
#include "classify.h"

#include "bytes.h"

#include <pcap/dlt.h>

#include <algorithm>
#include <utility>

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

// Graphs keyed by a port or protocol number: a bit per key that some graph
// has, so most packets are told apart by one load, then the graphs in key order.
struct keyed {
    std::vector<uint64_t> bits;
    std::vector<std::pair<uint32_t, uint32_t>> at;  // (key, graph index), sorted

    explicit keyed(std::size_t keys) : bits((keys + 63) / 64) {}

    void add(uint32_t key, uint32_t g)
    {
        bits[key / 64] |= uint64_t{1} << (key % 64);
        at.emplace_back(key, g);
    }

    // Adds one to each graph of gs under key.
    void count(uint32_t key, std::vector<graph> &gs) const
    {
        if (!(bits[key / 64] >> (key % 64) & 1))
            return;
        auto it = std::lower_bound(at.begin(), at.end(), std::make_pair(key, uint32_t{0}));
        for (; it != at.end() && it->first == key; ++it)
            ++gs[it->second].count;
    }
};

// Where each graph of one loaded list is found: port and sock graphs by port,
// proto graphs by protocol, net and ip graphs in a list of integer tests.
struct index {
    unsigned load = 0;
    std::size_t size = 0;
    keyed port{65536}, sock{65536}, proto{256};
    std::vector<uint32_t> addr;  // net and ip graphs that can match at all
};

// Builds the index of gs.
void build(index &ix, const std::vector<graph> &gs)
{
    ix = index{};
    ix.load = gs.empty() ? 0 : gs.front().load;
    ix.size = gs.size();
    for (uint32_t i = 0; i < gs.size(); ++i) {
        const graph &g = gs[i];
        switch (g.gk) {
        case graph_kind::port:
            ix.port.add(static_cast<uint32_t>(g.port), i);
            break;
        case graph_kind::sock:
            ix.sock.add(static_cast<uint32_t>(g.port), i);
            break;
        case graph_kind::proto:
            ix.proto.add(static_cast<uint32_t>(g.proto), i);
            break;
        case graph_kind::net:
        case graph_kind::ip:
            if (!g.never)
                ix.addr.push_back(i);
            break;
        }
    }
    for (keyed *k : {&ix.port, &ix.sock, &ix.proto})
        std::sort(k->at.begin(), k->at.end());
}

// The index of the list being counted. All graphs of one load_graphs call carry
// its number and are not changed afterwards, so a list whose first graph has
// the number and size indexed (the list itself or a copy) is served by it;
// any other list, or one not made by load_graphs, is indexed anew.
const index &index_of(const std::vector<graph> &gs)
{
    static index ix;
    if (gs.empty() || gs.front().load == 0 || gs.front().load != ix.load || gs.size() != ix.size)
        build(ix, gs);
    return ix;
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

bool belongs(const graph &g, uint32_t addr)
{
    if (g.never)
        return false;
    return g.gk == graph_kind::net ? (addr & g.mask_bits) == g.net_bits : g.gk == graph_kind::ip && addr == g.ip_bits;
}

void classify(const pkt &p, std::vector<graph> &gs)
{
    const index &ix = index_of(gs);
    ix.proto.count(p.proto, gs);
    if (p.ports) {
        // A graph whose port is both ends counts the packet once.
        ix.port.count(p.sport, gs);
        if (p.dport != p.sport)
            ix.port.count(p.dport, gs);
        if (p.syn)
            ix.sock.count(p.dport, gs);
    }
    for (uint32_t i : ix.addr)
        if (belongs(gs[i], p.src) || belongs(gs[i], p.dst))
            ++gs[i].count;
}

void count_frame(int dlt, const uint8_t *bytes, uint32_t caplen, std::vector<graph> &gs)
{
    pkt p;
    if (parse_frame(dlt, bytes, caplen, p))
        classify(p, gs);
}
