// The kernel filter of live capture: only frames that some graph can count are copied to the daemon.
#include "filter.h"

#include <arpa/inet.h>
#include <pcap/dlt.h>

#include <cstdio>
#include <set>

#include "wire.h"

namespace {

// The kernel's limit on the length of a socket filter; a longer one it
// refuses, and libpcap would then filter every frame in user space.
constexpr u_int kernel_insns_max = 4096;

std::string dotted(uint32_t a)
{
    char b[16];
    std::snprintf(b, sizeof b, "%u.%u.%u.%u", a >> 24, a >> 16 & 0xff, a >> 8 & 0xff, a & 0xff);
    return b;
}

std::string text6(const addr6 &a)
{
    uint8_t b[16];
    for (int i = 0; i < 8; ++i) {
        b[i] = static_cast<uint8_t>(a.hi >> (56 - 8 * i));
        b[8 + i] = static_cast<uint8_t>(a.lo >> (56 - 8 * i));
    }
    char t[INET6_ADDRSTRLEN];
    return inet_ntop(AF_INET6, b, t, sizeof t) ? t : "::";
}

std::string hex32(uint32_t v)
{
    char b[11];
    std::snprintf(b, sizeof b, "0x%08x", v);
    return b;
}

// The length of a prefix mask, or -1 when m is no prefix.
int prefix_len(uint32_t m)
{
    const int n = __builtin_popcount(m);
    return (n == 0 ? m == 0 : m == ~uint32_t{0} << (32 - n)) ? n : -1;
}

// "(a or b or ...)", or a alone.
std::string any_of(const std::vector<std::string> &terms)
{
    std::string t;
    for (const std::string &s : terms)
        t += (t.empty() ? "" : " or ") + s;
    return terms.size() > 1 ? "(" + t + ")" : t;
}

// Where the link layer of dlt names a VLAN tag in the captured bytes, or -1.
// A tag that the kernel keeps beside the frame is not in the bytes its filter
// reads, so those frames are filtered by their inner packet.
int tag_type_at(int dlt)
{
    return dlt == DLT_EN10MB ? 12 : dlt == DLT_LINUX_SLL ? 14 : dlt == DLT_LINUX_SLL2 ? 0 : -1;
}

// The link types of live capture on Linux. The others (null and loop layers,
// whose address family values libpcap's ip6 does not all take) get no filter.
bool filtered_link(int dlt)
{
    return tag_type_at(dlt) >= 0 || dlt == DLT_RAW;
}

// What a net or ip graph passes; "ip"/"ip6" for a whole family, "" when it
// matches no address.
std::string addr_term(const graph &g)
{
    if (g.v6) {
        const int len = __builtin_popcountll(g.mask6.hi) + __builtin_popcountll(g.mask6.lo);
        return len == 0 ? "ip6" : len == 128 ? "ip6 host " + text6(g.net6)
                                             : "ip6 net " + text6(g.net6) + "/" + std::to_string(len);
    }
    if (g.never || (g.net_bits & ~g.mask_bits) != 0)
        return "";
    const int len = prefix_len(g.mask_bits);
    if (len < 0) {
        // A dotted mask that is no prefix: the comparison the counting makes.
        const std::string m = hex32(g.mask_bits), n = hex32(g.net_bits);
        return "(ip[12:4] & " + m + " == " + n + " or ip[16:4] & " + m + " == " + n + ")";
    }
    return len == 0 ? "ip" : len == 32 ? "ip host " + dotted(g.net_bits)
                                       : "ip net " + dotted(g.net_bits) + "/" + std::to_string(len);
}

// The terms of port, sock and proto graphs, and the IPv6 chains they need.
void upper_terms(const std::vector<graph> &gs, std::vector<std::string> &terms)
{
    std::set<int> ports, socks, protos;
    for (const graph &g : gs) {
        if (g.gk == graph_kind::port)
            ports.insert(g.port);
        else if (g.gk == graph_kind::sock)
            socks.insert(g.port);
        else if (g.gk == graph_kind::proto)
            protos.insert(g.proto);
    }
    std::vector<std::string> p, s4, s6;
    for (int n : ports)
        p.push_back("port " + std::to_string(n));
    for (int n : socks)
        if (!ports.count(n)) {  // the port's own term passes them already
            s4.push_back("tcp dst port " + std::to_string(n));
            s6.push_back("ip6[42:2] == " + std::to_string(n));
        }
    if (!p.empty())
        terms.push_back("((tcp or udp) and " + any_of(p) + ")");
    if (!s4.empty()) {
        // A SYN without ACK opens a connection; IPv6 offsets are written out
        // because libpcap's tcp[] reads at the IPv4 header length.
        terms.push_back("(ip and tcp[tcpflags] & (tcp-syn|tcp-ack) == tcp-syn and " + any_of(s4) + ")");
        terms.push_back("(ip6 and ip6[6] == 6 and ip6[53] & (tcp-syn|tcp-ack) == tcp-syn and " + any_of(s6) + ")");
    }
    for (int n : protos) {
        terms.push_back("ip proto " + std::to_string(n));
        if (!ipv6_extension(n))
            terms.push_back("ip6 proto " + std::to_string(n));
    }
    // A kernel filter cannot follow a chain of extension headers (libpcap's
    // protochain jumps backwards, which the kernel refuses), so packets that
    // start one pass, for the counting to walk.
    if (!ports.empty() || !socks.empty() || !protos.empty()) {
        std::vector<std::string> e;
        for (int n : ipv6_extensions)
            e.push_back("ip6[6] == " + std::to_string(n));
        terms.push_back("(ip6 and " + any_of(e) + ")");
    }
}

}  // namespace

std::string capture_filter(const std::vector<graph> &gs, int dlt)
{
    if (!filtered_link(dlt))
        return "";
    std::vector<std::string> terms;
    upper_terms(gs, terms);
    std::set<std::string> seen;
    for (const graph &g : gs) {
        if (g.gk != graph_kind::net && g.gk != graph_kind::ip)
            continue;
        const std::string t = addr_term(g);
        if (!t.empty() && seen.insert(t).second)
            terms.push_back(t);
    }
    if (seen.count("ip") && seen.count("ip6"))
        return "";
    const int at = tag_type_at(dlt);
    if (at >= 0) {
        std::vector<std::string> v;
        for (uint16_t type : vlan_types) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%04x", type);
            v.push_back("link[" + std::to_string(at) + ":2] == " + hex);
        }
        terms.push_back(any_of(v));
    }
    std::string text;
    for (const std::string &t : terms)
        text += (text.empty() ? "" : " or ") + t;
    return text;
}

bool install_filter(pcap_t *pc, const std::vector<graph> &gs, std::string &err)
{
    err.clear();
    const std::string text = capture_filter(gs, pcap_datalink(pc));
    if (text.empty())
        return true;
    bpf_program prog;
    if (pcap_compile(pc, &prog, text.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
        err = std::string("pcap_compile: ") + pcap_geterr(pc) + "; capturing unfiltered; filter: " + text;
        return false;
    }
    bool ok = true;
    if (prog.bf_len > kernel_insns_max) {
        err = "kernel filter of " + std::to_string(prog.bf_len) + " instructions is longer than the kernel takes (" +
              std::to_string(kernel_insns_max) + "); capturing unfiltered";
    } else if (pcap_setfilter(pc, &prog) != 0) {
        err = std::string("pcap_setfilter: ") + pcap_geterr(pc) + "; capturing unfiltered; filter: " + text;
        ok = false;
    }
    pcap_freecode(&prog);
    return ok;
}
