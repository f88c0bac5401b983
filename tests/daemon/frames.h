// Crafted frames and capture files for the daemon's tests.
#ifndef TRAXEL_TEST_FRAMES_H
#define TRAXEL_TEST_FRAMES_H

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "files.h"

using bytes = std::vector<uint8_t>;

// TCP flag bits.
inline constexpr uint8_t syn = 0x02, ack = 0x10;

// An IPv4 packet (20-byte header, no options) from src to dst, dotted text,
// carrying payload; frag is the fragment offset in 8-byte units.
bytes ipv4(uint8_t proto, const char *src, const char *dst, const bytes &payload, uint16_t frag = 0);
// An IPv6 packet from src to dst, IPv6 text, whose fixed header names next
// and which carries payload (extension headers included).
bytes ipv6(uint8_t next, const char *src, const char *dst, const bytes &payload);
// An IPv6 extension header naming next, (len8 + 1) x 8 bytes long.
bytes ext6(uint8_t next, uint8_t len8 = 0);
// An IPv6 fragment header naming next, at offset (8-byte units), more to come.
bytes frag6(uint8_t next, uint16_t offset);
// A 20-byte TCP header with the flags given.
bytes tcp(uint16_t sport, uint16_t dport, uint8_t flags);
// A UDP header and its payload.
bytes udp(uint16_t sport, uint16_t dport, const bytes &payload);
// The byte strings of parts, one after the other.
bytes join(std::initializer_list<bytes> parts);

// A null link-layer frame: the family word in host byte order, then packet.
bytes null_frame(uint32_t family, const bytes &packet);

// A link type, and the header it puts before an IPv4 and an IPv6 packet
// (none: it carries no such packet); tagged when that header holds a VLAN tag.
struct link_case {
    const char *name;
    int dlt;
    bool v4, v6;
    bytes head4, head6;
    bool tagged = false;
};

// The null link layer's family word f, in host byte order or swapped.
bytes family_word(uint32_t f, bool swapped);

// Link-layer pieces: Ethernet addresses, a cooked header before its protocol
// type, a cooked v2 header after it.
extern const bytes macs, cooked, cooked2_tail;

// Every decoded link type, with and without VLAN tags.
std::vector<link_case> link_cases();

// One frame of a capture file and its time stamp; caplen below the frame's
// size cuts the capture short.
struct rec {
    bytes data;
    int64_t sec = 0;
    int32_t usec = 0;
    uint32_t caplen = UINT32_MAX;
};

// Writes a capture file of link type dlt holding recs; returns its path (in
// the test's temporary directory).
std::string write_capture(const std::string &name, int dlt, const std::vector<rec> &recs);

#endif
