// The daemon's reading of the graph configuration file: the window and every graph record.
#ifndef TRAXEL_CFG_H
#define TRAXEL_CFG_H

#include <cstdint>
#include <string>
#include <vector>

// What a graph counts; the order is that of the keywords in graph_kind_word.
enum class graph_kind { port, proto, sock, net, ip };

// One graph of the configuration and its count for the running interval.
struct graph {
    std::string name;
    graph_kind gk = graph_kind::port;
    int port = 0;        // port and sock kinds
    int proto = 0;       // proto kind
    std::string net;     // net kind: network and mask, dotted text
    std::string netm;
    std::string ip;      // ip kind: host, dotted text
    int min = 0, max = 0, thres = 0;
    int64_t count = 0;   // packets counted since the last sample line
    // net and ip kinds: the texts above as integers, set once at load by
    // addr_form so that no packet address is ever formatted or parsed.
    uint32_t net_bits = 0, mask_bits = 0;  // net kind
    uint32_t ip_bits = 0;                  // ip kind
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

// Sets the integer forms of a net or ip graph from its texts, giving for every
// packet address the answer of net_belong/ip_belong; false (g unchanged) when
// a text is not four dotted numbers or has an octet above 255.
bool addr_form(graph &g);

// The window in minutes and the graphs, as loaded by load_graphs.
extern int window_minutes;
extern std::vector<graph> graphs;

// Loads window_minutes and graphs from the configuration file at path. On any fault
// returns false with one line in err ("traxel.cfg: ..."), naming the file and
// the problem, and leaves window_minutes and graphs unchanged.
bool load_graphs(const char *path, std::string &err);

#endif
