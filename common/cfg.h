// The daemon's reading of the graph configuration file: the window and every graph record.
#ifndef TRAXEL_CFG_H
#define TRAXEL_CFG_H

#include <cstdint>
#include <string>
#include <vector>

// What a graph counts; the order is that of the keywords in graph_kind_word.
enum class graph_kind { port, proto, sock, net, ip };

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

// The keyword that names a kind ("port", "proto", "sock", "net", "ip").
const char *graph_kind_word(graph_kind k);

// The layout in which a graph's record is read: that of the last keyword, in
// the order port, proto, sock, net, ip, that occurs in the name. False when the
// name holds no keyword.
bool graph_kind_of(const std::string &name, graph_kind &k);

// Longest graph name that the feed serves (its pipe path buffer binds it).
inline constexpr std::size_t graph_name_max = 12;

// Longest address text: a dotted IPv4 address (the width of the feed's
// fields), an IPv6 address (INET6_ADDRSTRLEN - 1).
inline constexpr std::size_t addr4_text_max = 19, addr6_text_max = 45;

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

// Loads window_minutes and graphs from the configuration file at path. On any fault
// returns false with one line in err ("traxel.cfg: ..."), naming the file and
// the problem, and leaves window_minutes and graphs unchanged.
bool load_graphs(const char *path, std::string &err);

#endif
