// Counting of captured frames against the graphs: decoding of link layers, IPv4 and IPv6, and matching.
#ifndef TRAXEL_CLASSIFY_H
#define TRAXEL_CLASSIFY_H

#include <algorithm>
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

// Graphs filed under a port or protocol number below a number of keys: a bit
// per key that some graph has, so most packets are told apart by one load,
// then the (key, graph) pairs in key order.
class keyed_graphs {
public:
    // A table of keys keys for a list of graphs graphs long.
    keyed_graphs(uint32_t keys, uint32_t graphs);
    // Files graph g under key; false (nothing filed) when key or g is out of
    // the table's range.
    bool add(uint32_t key, uint32_t g);
    // Puts the pairs in key order; called once, after the last add.
    void seal();
    // Calls f(g) for each graph g filed under key (any key is safe).
    template <class F> void each(uint32_t key, F f) const;

private:
    uint32_t keys_, graphs_;
    std::vector<uint64_t> bits_;
    std::vector<std::pair<uint32_t, uint32_t>> at_;
};

// A net or ip graph as the counting tests it: an address a belongs when
// (a & mask) == net, for source or destination.
struct net4_test {
    uint32_t net, mask, g;
};
struct net6_test {
    addr6 net, mask;
    uint32_t g;
};

// Where each graph of one list is found: port and sock graphs by port, proto
// graphs by protocol, net and ip graphs in short lists of integer tests, one
// per address family. Built once per loaded list; counting with it touches
// only that list.
struct count_index {
    std::size_t size = 0;  // the number of graphs indexed
    keyed_graphs port{65536, 0}, sock{65536, 0}, proto{256, 0};
    std::vector<net4_test> addr4;  // graphs that can match at all
    std::vector<net6_test> addr6;
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

template <class F> void keyed_graphs::each(uint32_t key, F f) const
{
    if (key >= keys_ || !(bits_[key / 64] >> (key % 64) & 1))
        return;
    auto it = std::lower_bound(at_.begin(), at_.end(), std::make_pair(key, uint32_t{0}));
    for (; it != at_.end() && it->first == key; ++it)
        f(it->second);
}

#endif
