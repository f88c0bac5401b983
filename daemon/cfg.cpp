// The daemon's reading of the graph configuration file: the window and every graph record.
#include "cfg.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>

#include "subred.h"

int window_minutes = 0;
std::vector<graph> graphs;

namespace {

constexpr graph_kind kinds[] = {graph_kind::port, graph_kind::proto, graph_kind::sock, graph_kind::net, graph_kind::ip};

// Larger files are refused rather than read into memory.
constexpr std::size_t cfg_size_max = 1 << 20;
// The feed holds dotted addresses in 20-character fields.
constexpr std::size_t addr_max = 19;
// A day of window keeps the bounded backlog (12 x window_minutes lines) well inside what a
// pipe can be made to hold.
constexpr int win_max = 1440;

// Splits text at white space; line breaks carry no meaning.
std::vector<std::string> tokens(const std::string &text)
{
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && std::strchr(" \t\n\r\f\v", text[i]))
            ++i;
        std::size_t j = i;
        while (j < text.size() && !std::strchr(" \t\n\r\f\v", text[j]))
            ++j;
        if (j > i)
            out.push_back(text.substr(i, j - i));
        i = j;
    }
    return out;
}

// A whole token holding a decimal integer within [lo, hi].
bool number(const std::string &tok, long lo, long hi, int &out)
{
    if (tok.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    long v = std::strtol(tok.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    out = static_cast<int>(v);
    return true;
}

// Why name cannot be a graph name, or an empty text when it can: the name
// becomes a file name in the CGI directory and a program name there.
std::string name_fault(const std::string &name)
{
    if (name.size() > graph_name_max)
        return "name longer than " + std::to_string(graph_name_max) + " characters";
    if (name[0] == '.' || name.find('/') != std::string::npos)
        return "name must not start with '.' or hold '/'";
    graph_kind k;
    if (!graph_kind_of(name, k))
        return "name holds none of the words port, proto, sock, net, ip";
    return "";
}

// Fills the fields of g after its name from tok[i...]; returns the fault or "".
std::string read_fields(graph &g, const std::vector<std::string> &tok, std::size_t i)
{
    const bool addr = g.gk == graph_kind::net || g.gk == graph_kind::ip;
    std::size_t n_addr = g.gk == graph_kind::net ? 2 : addr ? 1 : 0;
    if (tok.size() - i < n_addr + (addr ? 3 : 4))
        return "the file ends inside the record";
    if (!addr) {
        const bool proto = g.gk == graph_kind::proto;
        int &v = proto ? g.proto : g.port;
        if (!number(tok[i], 0, proto ? 255 : 65535, v))
            return std::string(proto ? "protocol" : "port") + " \"" + tok[i] + "\" is not a number in 0.." +
                   (proto ? "255" : "65535");
        ++i;
    } else {
        for (std::size_t a = 0; a < n_addr; ++a)
            if (tok[i + a].size() > addr_max)
                return "address \"" + tok[i + a] + "\" longer than 19 characters";
        if (g.gk == graph_kind::net) {
            g.net = tok[i];
            g.netm = tok[i + 1];
            if (net_belong(g.net.c_str(), g.net.c_str(), g.netm.c_str()) == 2 || !addr_form(g))
                return "network \"" + g.net + "\" or mask \"" + g.netm + "\" is not a dotted address";
        } else {
            g.ip = tok[i];
            if (ip_belong(g.ip.c_str(), g.ip.c_str()) == 2 || !addr_form(g))
                return "host \"" + g.ip + "\" is not a dotted address";
        }
        i += n_addr;
    }
    int *lim[] = {&g.min, &g.max, &g.thres};
    const char *lim_name[] = {"minimum", "maximum", "threshold"};
    for (int l = 0; l < 3; ++l, ++i)
        if (!number(tok[i], INT32_MIN, INT32_MAX, *lim[l]))
            return std::string(lim_name[l]) + " \"" + tok[i] + "\" is not a number in -2147483648..2147483647";
    return "";
}

// Number of tokens a record of kind k takes, its name included.
std::size_t record_size(graph_kind k)
{
    return k == graph_kind::net ? 6 : 5;
}

// The four octets packed into 32 bits, each cut to its low 8 bits.
uint32_t pack(const int oct[4])
{
    uint32_t out = 0;
    for (int i = 0; i < 4; ++i)
        out = out << 8 | (static_cast<uint32_t>(oct[i]) & 0xffu);
    return out;
}

bool any_negative(const int oct[4])
{
    return oct[0] < 0 || oct[1] < 0 || oct[2] < 0 || oct[3] < 0;
}

bool any_above_255(const int oct[4])
{
    return oct[0] > 255 || oct[1] > 255 || oct[2] > 255 || oct[3] > 255;
}

}  // namespace

// subred compares octet by octet: net n[i] == (m[i] & a[i]), host h[i] == a[i].
// A packet's octet a is in 0..255, so m & a == (m & 0xff) & a for any mask
// octet m, negative ones included (two's complement): mask "255.255.-255.0"
// has third octet -255 = ...1111 0000 0001, whose low byte is 0x01, and for
// a = 7, -255 & 7 == 1 == 0x01 & 7. Either side is in 0..255, so a negative
// network or host octet (e.g. "10.-1.0.0") equals no packet's octet and the
// graph never matches. Octets above 255 are refused here, as subred refuses
// them. So: net matches iff no network octet is negative and
// (addr & mask_bits) == net_bits; ip iff no host octet is negative and
// addr == ip_bits. Host bits set in the network ("192.168.1.5" under
// "255.255.255.0") stay in net_bits and so match nothing, as in subred.
bool addr_form(graph &g)
{
    int n[4], m[4];
    if (g.gk == graph_kind::net) {
        if (!read_quad(g.net.c_str(), n) || !read_quad(g.netm.c_str(), m) || any_above_255(n) ||
            any_above_255(m))
            return false;
        g.net_bits = pack(n);
        g.mask_bits = pack(m);
    } else if (g.gk == graph_kind::ip) {
        if (!read_quad(g.ip.c_str(), n) || any_above_255(n))
            return false;
        g.ip_bits = pack(n);
    } else {
        return false;
    }
    g.never = any_negative(n);
    return true;
}

const char *graph_kind_word(graph_kind k)
{
    static const char *const words[] = {"port", "proto", "sock", "net", "ip"};
    return words[static_cast<int>(k)];
}

bool graph_kind_of(const std::string &name, graph_kind &k)
{
    bool found = false;
    for (graph_kind c : kinds)
        if (name.find(graph_kind_word(c)) != std::string::npos) {
            k = c;
            found = true;
        }
    return found;
}

bool load_graphs(const char *path, std::string &err)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        err = std::string(path) + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    char buf[4096];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        text.append(buf, static_cast<std::size_t>(in.gcount()));
        if (text.size() > cfg_size_max) {
            err = std::string(path) + ": larger than " + std::to_string(cfg_size_max) + " bytes";
            return false;
        }
    }
    if (in.bad()) {
        err = std::string(path) + ": read error";
        return false;
    }
    std::vector<std::string> tok = tokens(text);
    int w = 0;
    if (tok.size() < 2 || tok[0] != "window" || !number(tok[1], 1, win_max, w)) {
        err = std::string(path) + ": does not start with \"window\" and a number of minutes in 1.." +
              std::to_string(win_max);
        return false;
    }
    std::vector<graph> gs;
    std::set<std::string> seen;
    for (std::size_t i = 2; i < tok.size();) {
        graph g;
        g.name = tok[i];
        std::string fault = name_fault(g.name);
        if (fault.empty()) {
            graph_kind_of(g.name, g.gk);
            fault = seen.count(g.name) ? "a second record of this name" : read_fields(g, tok, i + 1);
        }
        if (!fault.empty()) {
            err = std::string(path) + ": record " + std::to_string(gs.size() + 1) + " (" + g.name + "): " + fault;
            return false;
        }
        i += record_size(g.gk);
        seen.insert(g.name);
        gs.push_back(std::move(g));
    }
    if (gs.empty()) {
        err = std::string(path) + ": no graph records";
        return false;
    }
    window_minutes = w;
    graphs = std::move(gs);
    return true;
}
