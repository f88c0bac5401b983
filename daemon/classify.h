// Counting of captured frames against the graphs: decoding of link layers and IPv4, and matching.
#ifndef TRAXEL_CLASSIFY_H
#define TRAXEL_CLASSIFY_H

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "cfg.h"

// What the counting needs of one IPv4 packet.
struct pkt {
    uint8_t proto = 0;
    uint32_t src = 0, dst = 0;  // host byte order
    bool ports = false;         // TCP or UDP with its ports captured
    uint16_t sport = 0, dport = 0;
    bool syn = false;           // TCP SYN without ACK: a new connection
};

// Link types whose frames parse_frame decodes.
bool link_known(int dlt);

// Decodes the IPv4 packet at bytes (caplen bytes captured) into p; false when
// it is not IPv4 or cut short before the end of its fixed header.
bool parse_ip(const uint8_t *bytes, uint32_t caplen, pkt &p);

// Decodes a frame of link type dlt (DLT_ values of libpcap) into p; false when
// the frame holds no IPv4 packet or is cut short.
bool parse_frame(int dlt, const uint8_t *bytes, uint32_t caplen, pkt &p);

// Whether the net or ip graph g matches address addr (host order): the answer
// net_belong/ip_belong give on its dotted text, from g's integer forms.
bool belongs(const graph &g, uint32_t addr);

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

// Where each graph of one list is found: port and sock graphs by port, proto
// graphs by protocol, net and ip graphs in a list of integer tests. Built
// once per loaded list; counting with it touches only that list.
struct count_index {
    std::size_t size = 0;  // the number of graphs indexed
    keyed_graphs port{65536, 0}, sock{65536, 0}, proto{256, 0};
    std::vector<uint32_t> addr;  // net and ip graphs that can match at all
};

// Builds the index of gs into ix. False, ix unchanged, with err naming the
// graph when a port or protocol lies outside its range (no list that
// load_graphs made has one).
bool index_graphs(const std::vector<graph> &gs, count_index &ix, std::string &err);

// Adds one to the count of every graph in gs that counts p, at most once per
// graph, finding them through ix, the index of gs. Counts nothing when gs is
// not as long as the list ix was built for.
void classify(const count_index &ix, const pkt &p, std::vector<graph> &gs);

// Decodes and counts one frame: parse_frame, then classify.
void count_frame(const count_index &ix, int dlt, const uint8_t *bytes, uint32_t caplen, std::vector<graph> &gs);

template <class F> void keyed_graphs::each(uint32_t key, F f) const
{
    if (key >= keys_ || !(bits_[key / 64] >> (key % 64) & 1))
        return;
    auto it = std::lower_bound(at_.begin(), at_.end(), std::make_pair(key, uint32_t{0}));
    for (; it != at_.end() && it->first == key; ++it)
        f(it->second);
}

#endif
