// The strict reading of the whole configuration file: the window and every graph record.
#ifndef TRAXEL_CFG_H
#define TRAXEL_CFG_H

#include <cstdint>
#include <string>
#include <vector>

#include "graphname.h"
#include "record.h"

// An IPv6 address as two 64-bit halves in host order, the first the more
// significant.
struct addr6 {
    uint64_t hi = 0, lo = 0;
};

// One graph of the configuration and its count for the running interval.
struct graph {
    std::string name;
    graph_kind gk = graph_kind::port;
    int port = 0;        // port and sock kinds
    int proto = 0;       // proto kind
    std::string net;     // net kind: network, and mask or prefix length, as written
    std::string netm;
    std::string ip;      // ip kind: host, as written
    int min = 0, max = 0, thres = 0;
    int64_t count = 0;   // packets counted since the last sample line
    int64_t bytes = 0;   // their bytes from the IP header on (wire length less link-layer header)
    // net and ip kinds: the texts above as a network and mask (an ip graph's
    // mask is full), set once at load by addr_form so that no packet address
    // is ever formatted or parsed.
    bool v6 = false;                       // IPv6, else IPv4
    uint32_t net_bits = 0, mask_bits = 0;  // IPv4
    addr6 net6, mask6;                     // IPv6
    bool never = false;  // a negative network or host octet: no address matches
};

// Longest address text: a dotted IPv4 address (what the feed's fields hold),
// an IPv6 address (INET6_ADDRSTRLEN - 1).
inline constexpr std::size_t addr4_text_max = addr_size - 1, addr6_text_max = 45;

// Sets the integer forms of a net or ip graph from its texts; returns "" or
// what is wrong with them (g's forms unchanged then). A text holding ':' is
// IPv6 (inet_pton), with a prefix length in 0..128 as a network's mask; any
// other is a dotted IPv4 text read as subred reads it, with a dotted mask or
// a prefix length in 0..32. Dotted texts give for every packet address the
// answer of net_belong/ip_belong; a network with a prefix length must have
// no bits set past it.
std::string addr_form(graph &g);

// The window in minutes and the graphs, as loaded by load_graphs.
extern int window_minutes;
extern std::vector<graph> graphs;

// Reads the configuration file at path: the window into win and the graph
// records into gs, in file order, each record checked whole (its name by
// graph_name_fault, each field by its range, no name twice). Returns false
// when it found faults, with one line for each in err ("traxel.cfg: ...",
// lines joined by newlines): it goes on past a record whose name holds one
// kind word, which tells the record's length, and stops where it cannot (a
// name holding none or several, a file that does not start with "window" or
// ends inside a record). gs then holds every record whose name passed, its
// fields as far as they read.
bool read_graphs(const char *path, int &win, std::vector<graph> &gs, std::string &err);

// Loads window_minutes and graphs from the configuration file at path with
// read_graphs. On a fault returns false with read_graphs' err and leaves
// window_minutes and graphs unchanged.
bool load_graphs(const char *path, std::string &err);

#endif
