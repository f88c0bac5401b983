// Counting of captured frames against the graphs: decoding of link layers, IPv4 and IPv6, and matching.
#include "classify.h"

#include <pcap/dlt.h>

#include <algorithm>

#include "bytes.h"
#include "wire.h"

namespace {

// Which IP version a link layer says follows its header.
enum class ipver { none, v4, v6, any };

// The EtherType at b + type_at names what starts at off; VLAN tags there
// (tag control, then the inner EtherType) are stepped over, moving off.
ipver ethertype(const uint8_t *b, uint32_t caplen, uint32_t type_at, uint32_t &off)
{
    if (caplen < type_at + 2)
        return ipver::none;
    uint16_t type = be16(b + type_at);
    for (int tags = 0; vlan_type(type); ++tags) {
        if (tags == tags_max || caplen < off + 4)
            return ipver::none;
        type = be16(b + off + 2);
        off += 4;
    }
    return type == 0x0800 ? ipver::v4 : type == 0x86dd ? ipver::v6 : ipver::none;
}

// An address family of the loopback link layers: AF_INET is 2 everywhere,
// AF_INET6 is 10, 24, 28 or 30 depending on the system that captured.
ipver family(uint32_t f)
{
    if (f == 2)
        return ipver::v4;
    return f == 10 || f == 24 || f == 28 || f == 30 ? ipver::v6 : ipver::none;
}

// Sets off to where the IP packet of a frame of link type dlt starts and
// returns the version the link layer announces.
ipver link_header(int dlt, const uint8_t *b, uint32_t caplen, uint32_t &off)
{
    // Ethernet and the cooked header of the any device before the others: a
    // frame of live capture costs a compare or two, not a search of cases.
    if (dlt == DLT_EN10MB) {
        off = 14;
        return ethertype(b, caplen, 12, off);
    }
    if (dlt == DLT_LINUX_SLL) {
        // 16-byte cooked header, protocol type in its last two bytes.
        off = 16;
        return ethertype(b, caplen, 14, off);
    }
    switch (dlt) {
    case DLT_LINUX_SLL2:
        // 20-byte cooked header, protocol type first.
        off = 20;
        return ethertype(b, caplen, 0, off);
    case DLT_RAW:
        off = 0;
        return ipver::any;
    case DLT_IPV4:
        off = 0;
        return ipver::v4;
    case DLT_IPV6:
        off = 0;
        return ipver::v6;
    case DLT_NULL:
    case DLT_LOOP: {
        if (caplen < 4)
            return ipver::none;
        off = 4;
        // The null layer's family word is in the capturing host's byte order,
        // so both orders are taken (the two sets of values do not overlap);
        // the loop layer's is in network order.
        ipver v = family(be32(b));
        const uint32_t swapped = b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
        return v != ipver::none || dlt == DLT_LOOP ? v : family(swapped);
    }
    default:
        return ipver::none;
    }
}

// Ports and SYN of a TCP or UDP header at b + off, as far as it was captured.
void transport(const uint8_t *b, uint32_t caplen, uint32_t off, pkt &p)
{
    if ((p.proto != 6 && p.proto != 17) || caplen < off + 4)
        return;
    p.ports = true;
    p.sport = be16(b + off);
    p.dport = be16(b + off + 2);
    // Flags byte: SYN is 0x02, ACK 0x10.
    if (p.proto == 6 && caplen >= off + 14)
        p.syn = (b[off + 13] & 0x12) == 0x02;
}

bool parse_ip4(const uint8_t *b, uint32_t caplen, pkt &p)
{
    if (caplen < 20 || b[0] >> 4 != 4)
        return false;
    uint32_t hl = (b[0] & 0x0f) * 4u;
    if (hl < 20)
        return false;
    p = pkt{};
    p.has_proto = true;
    p.proto = b[9];
    p.src = be32(b + 12);
    p.dst = be32(b + 16);
    // Only the first fragment carries the transport header.
    if ((be16(b + 6) & 0x1fff) == 0)
        transport(b, caplen, hl, p);
    return true;
}

bool parse_ip6(const uint8_t *b, uint32_t caplen, pkt &p)
{
    if (caplen < 40 || b[0] >> 4 != 6)
        return false;
    p = pkt{};
    p.v6 = true;
    p.src6 = {be64(b + 8), be64(b + 16)};
    p.dst6 = {be64(b + 24), be64(b + 32)};
    uint8_t next = b[6];
    uint32_t off = 40;
    for (int n = 0; ipv6_extension(next); ++n) {
        // A chain cut short or too long leaves the protocol unknown: the
        // packet counts for its addresses only.
        if (n == ext_max || caplen < off + 8)
            return true;
        const uint8_t *h = b + off;
        const bool fragment = next == 44;
        next = h[0];
        if (!fragment) {
            off += (h[1] + 1u) * 8;
        } else if ((be16(h + 2) & 0xfff8) == 0) {
            off += 8;
        } else {
            // A later fragment: the upper layer's protocol, but no header of it.
            p.has_proto = true;
            p.proto = next;
            return true;
        }
    }
    p.has_proto = true;
    p.proto = next;
    transport(b, caplen, off, p);
    return true;
}

// The net graphs' index: masking, comparing, ordering and hashing of
// addresses of either family.
uint32_t masked(uint32_t a, uint32_t m)
{
    return a & m;
}

addr6 masked(const addr6 &a, const addr6 &m)
{
    return {a.hi & m.hi, a.lo & m.lo};
}

bool same(uint32_t a, uint32_t b)
{
    return a == b;
}

bool same(const addr6 &a, const addr6 &b)
{
    return a.hi == b.hi && a.lo == b.lo;
}

bool before(uint32_t a, uint32_t b)
{
    return a < b;
}

bool before(const addr6 &a, const addr6 &b)
{
    return a.hi < b.hi || (a.hi == b.hi && a.lo < b.lo);
}

// Multiplicative hashing: the top bits of the product depend on every bit.
uint64_t spread(uint32_t a)
{
    return a * 0x9e3779b97f4a7c15ull;
}

uint64_t spread(const addr6 &a)
{
    return (a.hi ^ (a.lo * 0xc2b2ae3d27d4eb4full)) * 0x9e3779b97f4a7c15ull;
}

// Calls f for each graph of the network key in group ng.
template <class A, class F> void each_net(const net_group<A> &ng, const A &key, const uint32_t *ids, F f)
{
    const net_slot<A> *slots = ng.slots.data();
    for (std::size_t i = spread(key) >> ng.shift;; i = (i + 1) & ng.last) {
        const net_slot<A> &s = slots[i];
        if (s.n == 0)
            return;
        if (same(s.net, key)) {
            if (s.n == 1) {
                f(s.first);
                return;
            }
            for (uint32_t k = 0; k < s.n; ++k)
                f(ids[s.first + k]);
            return;
        }
    }
}

uint32_t top_byte(uint32_t a)
{
    return a >> 24;
}

uint32_t top_byte(const addr6 &a)
{
    return static_cast<uint32_t>(a.hi >> 56);
}

template <class A> bool may_hold(const net_groups<A> &ng, const A &a)
{
    return ng.tops[top_byte(a)];
}

// The graphs of ng whose network holds a: their number, the first two of
// them in g. Remembered when there are at most two.
template <class A> uint32_t graphs_of(const net_groups<A> &ng, const A &a, const uint32_t *ids, uint32_t (&g)[2])
{
    net_memo<A> &m = ng.memo[spread(a) >> (64 - memo_bits)];
    if (m.n != memo_none && same(m.addr, a)) {
        g[0] = m.g[0];
        g[1] = m.g[1];
        return m.n;
    }
    uint32_t n = 0;
    for (const net_group<A> &grp : ng.groups)
        each_net(grp, masked(a, grp.mask), ids, [&g, &n](uint32_t x) {
            if (n < 2)
                g[n] = x;
            ++n;
        });
    if (n <= 2)
        m = {a, n, {g[0], g[1]}};
    return n;
}

// Calls f once for each graph of ng whose network holds src or dst.
template <class A, class F>
void each_addr_graph(const net_groups<A> &ng, const A &src, const A &dst, const uint32_t *ids, F f)
{
    const bool at_src = may_hold(ng, src), at_dst = may_hold(ng, dst);
    if (!at_src && !at_dst)
        return;
    uint32_t gs[2] = {}, gd[2] = {};
    const uint32_t ns = at_src ? graphs_of(ng, src, ids, gs) : 0, nd = at_dst ? graphs_of(ng, dst, ids, gd) : 0;
    if (ns <= 2 && nd <= 2) {
        for (uint32_t k = 0; k < ns; ++k)
            f(gs[k]);
        // A graph has one network: a packet within it at both ends counts once.
        for (uint32_t k = 0; k < nd; ++k)
            if (!(ns > 0 && gd[k] == gs[0]) && !(ns > 1 && gd[k] == gs[1]))
                f(gd[k]);
        return;
    }
    for (const net_group<A> &g : ng.groups) {
        const A s = masked(src, g.mask), d = masked(dst, g.mask);
        if (at_src)
            each_net(g, s, ids, f);
        // Under one mask, the graphs of a network that holds both ends were
        // counted with the source.
        if (at_dst && !(at_src && same(s, d)))
            each_net(g, d, ids, f);
    }
}

// A net or ip graph as the index files it.
template <class A> struct net_entry {
    A mask, net;
    uint32_t g;
};

// Puts entries into groups by mask, each network's graphs in ids.
template <class A>
void build_groups(std::vector<net_entry<A>> &entries, net_groups<A> &out, std::vector<uint32_t> &ids)
{
    for (const net_entry<A> &e : entries)
        for (uint32_t t = 0; t < 256; ++t)
            if ((t & top_byte(e.mask)) == top_byte(e.net))
                out.tops[t] = true;
    out.memo.assign(std::size_t{1} << memo_bits, net_memo<A>{A{}, memo_none, {0, 0}});
    std::sort(entries.begin(), entries.end(), [](const net_entry<A> &x, const net_entry<A> &y) {
        if (!same(x.mask, y.mask))
            return before(x.mask, y.mask);
        return before(x.net, y.net) || (same(x.net, y.net) && x.g < y.g);
    });
    for (std::size_t i = 0; i < entries.size();) {
        std::size_t end = i, nets = 0;
        for (; end < entries.size() && same(entries[end].mask, entries[i].mask); ++end)
            nets += end == i || !same(entries[end].net, entries[end - 1].net);
        net_group<A> ng;
        ng.mask = entries[i].mask;
        std::size_t size = 2;
        for (ng.shift = 63; size < 2 * nets; size *= 2)
            --ng.shift;
        ng.slots.resize(size);
        ng.last = size - 1;
        while (i < end) {
            net_slot<A> s;
            s.net = entries[i].net;
            s.first = static_cast<uint32_t>(ids.size());
            for (; i < end && same(entries[i].net, s.net); ++i, ++s.n)
                ids.push_back(entries[i].g);
            if (s.n == 1) {  // the graph itself, saving a load a lookup
                s.first = ids.back();
                ids.pop_back();
            }
            std::size_t at = spread(s.net) >> ng.shift;
            while (ng.slots[at].n != 0)
                at = (at + 1) & (size - 1);
            ng.slots[at] = s;
        }
        out.groups.push_back(std::move(ng));
    }
}

}  // namespace

keyed_graphs::keyed_graphs(uint32_t keys, uint32_t graphs)
    : keys_(keys), graphs_(graphs), page_(256), slot_(256)
{
}

bool keyed_graphs::add(uint32_t key, uint32_t g)
{
    if (key >= keys_ || g >= graphs_)
        return false;
    at_.emplace_back(key, g);
    return true;
}

void keyed_graphs::seal()
{
    std::sort(at_.begin(), at_.end());
    first_.assign(1, 0);
    ids_.clear();
    for (std::size_t i = 0; i < at_.size(); ++i) {
        const uint32_t key = at_[i].first;
        if (i == 0 || key != at_[i - 1].first) {
            if (page_[key >> 8] == 0) {
                page_[key >> 8] = static_cast<uint16_t>(slot_.size() / 256);
                slot_.resize(slot_.size() + 256);
            }
            slot_[page_[key >> 8] * 256u + (key & 255)] = static_cast<uint32_t>(first_.size());
            first_.push_back(first_.back());
        }
        ids_.push_back(at_[i].second);
        ++first_.back();
    }
    // Keys of one graph name it in their entry, saving two loads a lookup.
    for (uint32_t &e : slot_)
        if (e != 0 && first_[e] - first_[e - 1] == 1)
            e = one_graph | ids_[first_[e - 1]];
    at_.clear();
    at_.shrink_to_fit();
}

bool index_graphs(const std::vector<graph> &gs, count_index &ix, std::string &err)
{
    const auto n = static_cast<uint32_t>(gs.size());
    count_index out;
    out.size = gs.size();
    out.port = out.sock = keyed_graphs(65536, n);
    out.proto = keyed_graphs(256, n);
    std::vector<net_entry<uint32_t>> e4;
    std::vector<net_entry<addr6>> e6;
    for (uint32_t i = 0; i < n; ++i) {
        const graph &g = gs[i];
        bool ok = true;
        switch (g.gk) {
        case graph_kind::port:
            ok = out.port.add(static_cast<uint32_t>(g.port), i);
            break;
        case graph_kind::sock:
            ok = out.sock.add(static_cast<uint32_t>(g.port), i);
            break;
        case graph_kind::proto:
            ok = out.proto.add(static_cast<uint32_t>(g.proto), i);
            break;
        case graph_kind::net:
        case graph_kind::ip:
            // Only graphs that can match at all: a network with bits set
            // past its mask matches no address.
            if (g.v6 && same(masked(g.net6, g.mask6), g.net6))
                e6.push_back({g.mask6, g.net6, i});
            else if (!g.v6 && !g.never && masked(g.net_bits, g.mask_bits) == g.net_bits)
                e4.push_back({g.mask_bits, g.net_bits, i});
            break;
        }
        if (!ok) {
            err = "graph " + g.name + ": " + (g.gk == graph_kind::proto ? "protocol " + std::to_string(g.proto)
                                                                         : "port " + std::to_string(g.port)) +
                  " out of range";
            return false;
        }
    }
    for (keyed_graphs *k : {&out.port, &out.sock, &out.proto})
        k->seal();
    build_groups(e4, out.nets4, out.net_ids);
    build_groups(e6, out.nets6, out.net_ids);
    ix = std::move(out);
    return true;
}

bool link_known(int dlt)
{
    switch (dlt) {
    case DLT_EN10MB:
    case DLT_LINUX_SLL:
    case DLT_LINUX_SLL2:
    case DLT_RAW:
    case DLT_IPV4:
    case DLT_IPV6:
    case DLT_NULL:
    case DLT_LOOP:
        return true;
    default:
        return false;
    }
}

bool parse_ip(const uint8_t *b, uint32_t caplen, pkt &p)
{
    return caplen > 0 && (b[0] >> 4 == 6 ? parse_ip6(b, caplen, p) : parse_ip4(b, caplen, p));
}

bool parse_frame(int dlt, const uint8_t *b, uint32_t caplen, pkt &p)
{
    uint32_t off = 0;
    const ipver v = link_header(dlt, b, caplen, off);
    if (v == ipver::none || off > caplen)
        return false;
    const uint8_t *ip = b + off;
    const uint32_t n = caplen - off;
    const bool ok = v == ipver::v4 ? parse_ip4(ip, n, p) : v == ipver::v6 ? parse_ip6(ip, n, p) : parse_ip(ip, n, p);
    if (ok)
        p.link = off;
    return ok;
}

// Flattened, as is count_frame: a frame costs one call, whatever it meets.
[[gnu::flatten]] void classify(const count_index &ix, const pkt &p, uint32_t size, std::vector<graph> &gs)
{
    if (gs.size() != ix.size)
        return;
    graph *g0 = gs.data();
    auto one = [g0, size](uint32_t g) {
        ++g0[g].count;
        g0[g].bytes += size;
    };
    if (p.has_proto)
        ix.proto.each(p.proto, one);
    if (p.ports) {
        // A graph whose port is both ends counts the packet once.
        ix.port.each(p.sport, one);
        if (p.dport != p.sport)
            ix.port.each(p.dport, one);
        if (p.syn)
            ix.sock.each(p.dport, one);
    }
    if (p.v6)
        each_addr_graph(ix.nets6, p.src6, p.dst6, ix.net_ids.data(), one);
    else
        each_addr_graph(ix.nets4, p.src, p.dst, ix.net_ids.data(), one);
}

[[gnu::flatten]] void count_frame(const count_index &ix, int dlt, const uint8_t *bytes, uint32_t caplen,
                                  uint32_t len, std::vector<graph> &gs)
{
    pkt p;
    if (parse_frame(dlt, bytes, caplen, p))
        classify(ix, p, len > p.link ? len - p.link : 0, gs);
}
