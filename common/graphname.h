// Graph names: the kind of graph their words name, and the rule a name follows.
#ifndef TRAXEL_GRAPHNAME_H
#define TRAXEL_GRAPHNAME_H

#include <string>

// What a graph counts. The kind is not written in the configuration file:
// the graph's name holds its word ("port", "proto", "sock", "net", "ip").
enum class graph_kind { port, proto, sock, net, ip };

// The kinds in the order in which the feed's search reads their records.
inline constexpr graph_kind graph_kinds[] = {graph_kind::port, graph_kind::proto, graph_kind::sock, graph_kind::net,
                                             graph_kind::ip};

// The word of a kind.
const char *graph_kind_word(graph_kind k);

// Sets k to the last kind, in the order of graph_kinds, whose word occurs in
// name. False, k unchanged, when name holds none.
bool graph_kind_of(const char *name, graph_kind &k);

// Sets k to the kind of the one kind word that name holds. False, k
// unchanged, when it holds none or several.
bool graph_kind_only(const char *name, graph_kind &k);

// True when name is 1 to graph_name_max letters, digits, '.', '_' or '-':
// the characters that a file name in the CGI directory, a program name there
// and a shell command may take.
bool graph_name_ok(const char *name);

// What is wrong with name as the name of a configured graph, or "" when
// nothing is: besides graph_name_ok's characters, it does not start with '.'
// (a hidden file, or "." and "..") and holds exactly one kind word, since the
// feed reads one record per kind word of its name.
std::string graph_name_fault(const std::string &name);

#endif
