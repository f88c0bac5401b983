// Counting of captured frames against the graphs: decoding of link layers, IPv4 and IPv6, and matching.
#ifndef TRAXEL_CLASSIFY_H
#define TRAXEL_CLASSIFY_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "cfg.h"

// What the counting needs of one IP packet.
struct pkt {
    bool v6 = false;            // IPv6, else IPv4
    uint32_t src = 0, dst = 0;  // IPv4 addresses
    addr6 src6, dst6;           // IPv6 addresses
    bool has_proto = false;     // the upper-layer protocol is known (IPv6: every extension header captured)
    uint8_t proto = 0;          // IPv4 protocol, IPv6 header after the extension headers
    bool ports = false;         // TCP or UDP with its ports captured
    uint16_t sport = 0, dport = 0;
    bool syn = false;           // TCP SYN without ACK: a new connection
    uint32_t link = 0;          // bytes of link-layer header before the packet
};

// Link types whose frames parse_frame decodes.
bool link_known(int dlt);

// Decodes the IP packet at bytes (caplen bytes captured), IPv4 or IPv6 by its
// version, into p; false when it is neither or cut short before the end of
// its fixed header.
bool parse_ip(const uint8_t *bytes, uint32_t caplen, pkt &p);

// Decodes a frame of link type dlt (DLT_ values of libpcap) into p; false when
// the frame holds no IP packet or is cut short. Reads no byte past caplen.
bool parse_frame(int dlt, const uint8_t *bytes, uint32_t caplen, pkt &p);

// Graphs filed under a port or protocol number below a number of keys. Keys
// lie in pages of 256: a table gives each key's page (the first, all empty,
// for pages without graphs), the page its slot, the slot its graphs. So any
// key is looked up with two loads, and the tables stay small for few keys.
class keyed_graphs {
public:
    // A table of keys keys (at most 65536) for a list of graphs graphs long.
    keyed_graphs(uint32_t keys, uint32_t graphs);
    // Files graph g under key; false (nothing filed) when key or g is out of
    // the table's range.
    bool add(uint32_t key, uint32_t g);
    // Builds the lookup; called once, after the last add.
    void seal();
    // Calls f(g) for each graph g filed under key (any key is safe: the
    // pages cover every 16-bit key).
    template <class F> void each(uint16_t key, F f) const;

private:
    uint32_t keys_, graphs_;
    std::vector<uint16_t> page_;   // per 256 16-bit keys: its page in slot_
    // A key's entry in its page: 0 for none, one_graph and the graph when it
    // has one, else its slot.
    static constexpr uint32_t one_graph = 0x80000000u;
    std::vector<uint32_t> slot_;
    std::vector<uint32_t> first_;  // per slot s: its graphs are ids_[first_[s - 1]] up to ids_[first_[s]]
    std::vector<uint32_t> ids_;
    std::vector<std::pair<uint32_t, uint32_t>> at_;  // (key, graph) until seal
};

// One network of a net_group and its graphs: n of them, at first in the
// index's list, or the graph first itself when n is 1; an empty slot has none.
template <class A> struct net_slot {
    A net{};
    uint32_t first = 0, n = 0;
};

// The net and ip graphs of one address family (A: uint32_t for IPv4, addr6)
// that share one mask: their networks in an open-addressing hash table at
// most half full, so an address is looked up with one probe or a few.
template <class A> struct net_group {
    A mask{};
    int shift = 64;         // a hash keeps its top 64 - shift bits
    std::size_t last = 0;  // slots.size() - 1
    std::vector<net_slot<A>> slots;
};

// What the net groups answered for one address: the graphs whose network
// holds it, when there are at most two (n), or none remembered (n is
// memo_none).
template <class A> struct net_memo {
    A addr{};
    uint32_t n = 0;
    uint32_t g[2] = {};
};
inline constexpr uint32_t memo_none = 0xffffffffu;

// The net groups of one address family, and for each value of an address's
// top byte whether some network of them can hold it: most addresses outside
// every network are told apart by that one load. Addresses repeat, so the
// answers for recent ones are remembered, one load standing for a probe per
// group; counting with one index therefore belongs to one thread at a time.
template <class A> struct net_groups {
    bool tops[256] = {};
    std::vector<net_group<A>> groups;
    mutable std::vector<net_memo<A>> memo;  // memo_size entries, by hash
};
inline constexpr int memo_bits = 10;

// Where each graph of one list is found: port and sock graphs by port, proto
// graphs by protocol, net and ip graphs by network under each mask that some
// graph has. Built once per loaded list; counting with it touches only that
// list.
struct count_index {
    std::size_t size = 0;  // the number of graphs indexed
    keyed_graphs port{65536, 0}, sock{65536, 0}, proto{256, 0};
    net_groups<uint32_t> nets4;
    net_groups<addr6> nets6;
    std::vector<uint32_t> net_ids;  // the graphs of each network, network by network
};

// Builds the index of gs into ix. False, ix unchanged, with err naming the
// graph when a port or protocol lies outside its range (no list that
// load_graphs made has one).
bool index_graphs(const std::vector<graph> &gs, count_index &ix, std::string &err);

// Adds one to the count and size to the bytes of every graph in gs that
// counts p, at most once per graph, finding them through ix, the index of gs.
// Counts nothing when gs is not as long as the list ix was built for.
void classify(const count_index &ix, const pkt &p, uint32_t size, std::vector<graph> &gs);

// Decodes and counts one frame of wire length len: parse_frame, then classify
// with len less the link-layer header as the packet's size.
void count_frame(const count_index &ix, int dlt, const uint8_t *bytes, uint32_t caplen, uint32_t len,
                 std::vector<graph> &gs);

template <class F> void keyed_graphs::each(uint16_t key, F f) const
{
    const uint32_t s = slot_[page_[key >> 8] * 256u + (key & 255)];
    if (s & one_graph) {
        f(s & ~one_graph);
        return;
    }
    if (s == 0)
        return;
    for (uint32_t i = first_[s - 1]; i < first_[s]; ++i)
        f(ids_[i]);
}

#endif
