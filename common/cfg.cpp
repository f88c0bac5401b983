// The strict reading of the whole configuration file: the window and every graph record.
#include "cfg.h"

#include <arpa/inet.h>

#include <cstring>
#include <set>

#include "bytes.h"
#include "contract.h"
#include "readfile.h"
#include "tokens.h"
#include "subred.h"

int window_minutes = 0;
std::vector<graph> graphs;

namespace {

// Larger files are refused rather than read into memory.
constexpr std::size_t cfg_size_max = 1 << 20;

// Number of tokens a record of kind k takes, its name included.
std::size_t record_size(graph_kind k)
{
    return k == graph_kind::net ? 6 : 5;
}

// Fills the fields of g after its name from tok[i...], which hold the whole
// record; returns the fault or "".
std::string read_fields(graph &g, const std::vector<std::string> &tok, std::size_t i)
{
    const bool addr = g.gk == graph_kind::net || g.gk == graph_kind::ip;
    std::size_t n_addr = g.gk == graph_kind::net ? 2 : addr ? 1 : 0;
    if (!addr) {
        const bool proto = g.gk == graph_kind::proto;
        int &v = proto ? g.proto : g.port;
        if (!whole_number(tok[i], 0, proto ? 255 : 65535, v))
            return std::string(proto ? "protocol" : "port") + " \"" + tok[i] + "\" is not a number in 0.." +
                   (proto ? "255" : "65535");
        ++i;
    } else {
        if (g.gk == graph_kind::net) {
            g.net = tok[i];
            g.netm = tok[i + 1];
        } else {
            g.ip = tok[i];
        }
        std::string fault = addr_form(g);
        if (!fault.empty())
            return fault;
        i += n_addr;
    }
    int *lim[] = {&g.min, &g.max, &g.thres};
    const char *lim_name[] = {"minimum", "maximum", "threshold"};
    for (int l = 0; l < 3; ++l, ++i)
        if (!whole_number(tok[i], INT32_MIN, INT32_MAX, *lim[l]))
            return std::string(lim_name[l]) + " \"" + tok[i] + "\" is not a number in -2147483648..2147483647";
    return "";
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

// A dotted IPv4 text as subred reads it: four numbers, none above 255.
bool quad(const std::string &text, int oct[4])
{
    return read_quad(text.c_str(), oct) && !any_above_255(oct);
}

// The top len bits of 32 set.
uint32_t prefix32(int len)
{
    return len == 0 ? 0 : ~uint32_t{0} << (32 - len);
}

// The top len bits of 128 set.
addr6 prefix128(int len)
{
    addr6 m;
    m.hi = len == 0 ? 0 : len >= 64 ? ~uint64_t{0} : ~uint64_t{0} << (64 - len);
    m.lo = len <= 64 ? 0 : ~uint64_t{0} << (128 - len);
    return m;
}

// subred compares octet by octet: net n[i] == (m[i] & a[i]), host h[i] == a[i].
// A packet's octet a is in 0..255, so m & a == (m & 0xff) & a for any mask
// octet m, negative ones included (two's complement): mask "255.255.-255.0"
// has third octet -255 = ...1111 0000 0001, whose low byte is 0x01, and for
// a = 7, -255 & 7 == 1 == 0x01 & 7. Either side is in 0..255, so a negative
// network or host octet (e.g. "10.-1.0.0") equals no packet's octet and the
// graph never matches. Octets above 255 are refused here, as subred refuses
// them. So a graph matches iff no network or host octet is negative and
// (addr & mask_bits) == net_bits, with a full mask for a host. Host bits set
// in a network under a dotted mask ("192.168.1.5" under "255.255.255.0") stay
// in net_bits and so match nothing, as in subred.
std::string addr4_form(graph &g, const std::string &addr, const std::string *mask)
{
    for (const std::string *t : {&addr, mask})
        if (t && t->size() > addr4_text_max)
            return "address \"" + *t + "\" longer than " + std::to_string(addr4_text_max) + " characters";
    int n[4], m[4];
    if (!quad(addr, n))
        return (mask ? "network \"" : "host \"") + addr + "\" is neither a dotted IPv4 nor an IPv6 address";
    uint32_t mask_bits = ~uint32_t{0};
    if (mask) {
        const std::string mask_fault = "mask \"" + *mask + "\" is neither a dotted mask nor a prefix length in 0..32";
        int len = 0;
        if (mask->find('.') != std::string::npos) {
            if (!quad(*mask, m))
                return mask_fault;
            mask_bits = pack(m);
        } else {
            if (!whole_number(*mask, 0, 32, len))
                return mask_fault;
            mask_bits = prefix32(len);
            if ((pack(n) & ~mask_bits) != 0)
                return "network \"" + addr + "\" has bits set past its prefix length " + *mask;
        }
    }
    g.v6 = false;
    g.net_bits = pack(n);
    g.mask_bits = mask_bits;
    g.never = any_negative(n);
    return "";
}

// The IPv6 counterpart of addr4_form: addr an IPv6 text, mask a prefix length.
std::string addr6_form(graph &g, const std::string &addr, const std::string *mask)
{
    if (addr.size() > addr6_text_max)
        return "address \"" + addr + "\" longer than " + std::to_string(addr6_text_max) + " characters";
    in6_addr a;
    if (inet_pton(AF_INET6, addr.c_str(), &a) != 1)
        return (mask ? "network \"" : "host \"") + addr + "\" is not an IPv6 address";
    const addr6 net{be64(a.s6_addr), be64(a.s6_addr + 8)};
    addr6 m{~uint64_t{0}, ~uint64_t{0}};
    if (mask) {
        int len = 0;
        if (!whole_number(*mask, 0, 128, len))
            return "prefix length \"" + *mask + "\" is not a number in 0..128";
        m = prefix128(len);
        if ((net.hi & ~m.hi) != 0 || (net.lo & ~m.lo) != 0)
            return "network \"" + addr + "\" has bits set past its prefix length " + *mask;
    }
    g.v6 = true;
    g.net6 = net;
    g.mask6 = m;
    g.never = false;
    return "";
}

}  // namespace

std::string addr_form(graph &g)
{
    const bool net = g.gk == graph_kind::net;
    if (!net && g.gk != graph_kind::ip)
        return "graph of kind " + std::string(graph_kind_word(g.gk)) + " has no address";
    const std::string &addr = net ? g.net : g.ip;
    const std::string *mask = net ? &g.netm : nullptr;
    return addr.find(':') != std::string::npos ? addr6_form(g, addr, mask) : addr4_form(g, addr, mask);
}

bool read_graphs(const char *path, int &win, std::vector<graph> &gs, std::string &err)
{
    gs.clear();
    err.clear();
    std::string text;
    if (!read_whole(path, cfg_size_max, false, text, err))
        return false;
    // Each fault is one line of err, naming the file.
    auto fault = [&](const std::string &what) { err += (err.empty() ? "" : "\n") + std::string(path) + ": " + what; };
    const std::vector<std::string> tok = split_tokens(text);
    const std::string no_window = "does not start with \"window\" and a number of minutes in " +
                                  std::to_string(win_min) + ".." + std::to_string(win_max);
    if (tok.empty() || tok[0] != "window") {
        fault(no_window);
        return false;
    }
    if (tok.size() < 2 || !whole_number(tok[1], win_min, win_max, win))
        fault(no_window);
    std::set<std::string> seen;
    std::size_t records = 0;
    for (std::size_t i = 2; i < tok.size(); ++records) {
        graph g;
        g.name = tok[i];
        const std::string named = "record " + std::to_string(records + 1) + " (" + g.name + "): ";
        std::string why = graph_name_fault(g.name);
        // A name's one kind word tells the record's length; without one,
        // nothing after it reads in step.
        if (!graph_kind_only(g.name.c_str(), g.gk) || tok.size() - i < record_size(g.gk)) {
            fault(named + (why.empty() ? "the file ends inside the record" : why));
            return false;
        }
        const bool named_well = why.empty();
        if (named_well)
            why = seen.insert(g.name).second ? read_fields(g, tok, i + 1) : "a second record of this name";
        if (!why.empty())
            fault(named + why);
        i += record_size(g.gk);
        if (named_well)
            gs.push_back(std::move(g));
    }
    if (records == 0 && tok.size() >= 2)
        fault("no graph records");
    return err.empty();
}

bool load_graphs(const char *path, std::string &err)
{
    int w = 0;
    std::vector<graph> gs;
    if (!read_graphs(path, w, gs, err))
        return false;
    window_minutes = w;
    graphs = std::move(gs);
    return true;
}
