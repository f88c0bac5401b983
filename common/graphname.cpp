// Graph names: the kind of graph their words name, and the rule a name follows.
#include "graphname.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "contract.h"

namespace {

bool name_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
}

// c for a diagnostic: "\";\"" for a printable character, "byte 0x1b" else.
std::string shown_char(char c)
{
    const auto u = static_cast<unsigned char>(c);
    if (u > ' ' && u < 0x7f)
        return std::string("\"") + c + "\"";
    char hex[16];
    std::snprintf(hex, sizeof hex, "byte 0x%02x", u);
    return hex;
}

// The kinds whose words name holds, in the order of graph_kinds.
std::vector<graph_kind> kinds_in(const char *name)
{
    std::vector<graph_kind> out;
    for (graph_kind k : graph_kinds)
        if (std::strstr(name, graph_kind_word(k)) != nullptr)
            out.push_back(k);
    return out;
}

}  // namespace

const char *graph_kind_word(graph_kind k)
{
    static const char *const words[] = {"port", "proto", "sock", "net", "ip"};
    return words[static_cast<int>(k)];
}

bool graph_kind_of(const char *name, graph_kind &k)
{
    const std::vector<graph_kind> ks = kinds_in(name);
    if (ks.empty())
        return false;
    k = ks.back();
    return true;
}

bool graph_kind_only(const char *name, graph_kind &k)
{
    const std::vector<graph_kind> ks = kinds_in(name);
    if (ks.size() != 1)
        return false;
    k = ks[0];
    return true;
}

bool graph_name_ok(const char *name)
{
    const std::size_t len = std::strlen(name);
    if (len == 0 || len > static_cast<std::size_t>(graph_name_max))
        return false;
    for (const char *p = name; *p != '\0'; ++p)
        if (!name_char(*p))
            return false;
    return true;
}

std::string graph_name_fault(const std::string &name)
{
    if (name.empty())
        return "name is empty";
    if (name.size() > static_cast<std::size_t>(graph_name_max))
        return "name longer than " + std::to_string(graph_name_max) + " characters";
    if (name[0] == '.')
        return "name must not start with '.'";
    for (char c : name)
        if (!name_char(c))
            return "name holds " + shown_char(c) + ", not a letter, digit, '.', '_' or '-'";
    const std::vector<graph_kind> ks = kinds_in(name.c_str());
    if (ks.empty())
        return "name holds none of the words port, proto, sock, net, ip";
    if (ks.size() == 1)
        return "";
    std::string words;
    for (graph_kind k : ks)
        words += std::string(words.empty() ? "" : " and ") + graph_kind_word(k);
    return "name holds more than one of the words port, proto, sock, net, ip (" + words + ")";
}
