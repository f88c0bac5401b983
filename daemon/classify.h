// Counting of captured frames against the graphs: decoding of link layers and IPv4, and matching.
#ifndef TRAXEL_CLASSIFY_H
#define TRAXEL_CLASSIFY_H

#include <cstdint>
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

// Adds one to the count of every graph in gs that counts p, at most once per
// graph. Graphs are found through an index of gs kept from call to call.
void classify(const pkt &p, std::vector<graph> &gs);

// Decodes and counts one frame: parse_frame, then classify.
void count_frame(int dlt, const uint8_t *bytes, uint32_t caplen, std::vector<graph> &gs);

#endif
