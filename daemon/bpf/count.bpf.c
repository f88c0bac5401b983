/* Counting in the kernel: programs that classify each packet the daemon watches and add it to per-rule counters. */
#include <linux/bpf.h>
#include <linux/types.h>

#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "../wire.h"
#include "maps.h"

char LICENSE[] SEC("license") = "GPL";

/* The kernel's structures, as far as the programs read them; libbpf finds
   each field in the running kernel's own layout. */
struct ns_common {
    unsigned int inum;
} __attribute__((preserve_access_index));

struct net {
    struct ns_common ns;
} __attribute__((preserve_access_index));

typedef struct {
    struct net *net;
} possible_net_t;

struct net_device {
    unsigned int flags;
    int ifindex;
    possible_net_t nd_net;
} __attribute__((preserve_access_index));

struct sk_buff {
    struct net_device *dev;
    unsigned int len;
    __be16 protocol;
    __u16 transport_header;
    __u16 network_header;
    __u16 mac_header;
    unsigned int tail;
    unsigned int end;
    unsigned char *head;
    unsigned char *data;
} __attribute__((preserve_access_index));

struct skb_shared_info {
    unsigned short gso_size;
    unsigned short gso_segs;
} __attribute__((preserve_access_index));

/* Kernel constants: a device's IFF_LOOPBACK flag, the loopback device's index
   in every namespace, a packet socket's view of a sent packet. */
#define iff_loopback 0x8
#define loopback_ifindex 1
#define packet_outgoing 4

/* Set by the daemon before loading: the inode of its network namespace (the
   tracepoints see every namespace), and the masks of its net and ip graphs. */
const volatile __u32 netns_ino = 0;
const volatile __u32 masks4_n = 0, masks6_n = 0;
const volatile __u32 rules_n = 0;
const volatile __u64 interval_ns = 5000000000ull;
const volatile __u32 masks4[masks_max] = {};
const volatile __u64 masks6[masks_max][2] = {};

/* Changed by the daemon at run time, in its one entry. */
struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct watch);
} watch SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 65536);
    __type(key, __u32);
    __type(value, __u32);
} ports SEC(".maps"), socks SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 256);
    __type(key, __u32);
    __type(value, __u32);
} protos SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 1);  /* set by the daemon */
    __type(key, struct net4_key);
    __type(value, __u32);
} nets4 SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 1);  /* set by the daemon */
    __type(key, struct net6_key);
    __type(value, __u32);
} nets6 SEC(".maps");

/* Two slots of rules_n + 1 entries: per rule, then every packet seen. */
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);  /* set by the daemon */
    __type(key, __u32);
    __type(value, struct rule_count);
} counts SEC(".maps");

/* Headers read of a packet: up to four VLAN tags, an IPv6 header with eight
   extension headers of the smallest size, and the TCP header up to its data
   offset and flags. A longer chain counts for net and ip graphs only. */
#define hdr_max 160

/* The packet's headers, copied once. Every read is at an offset below
   hdr_max that the code has checked; at() masks it too, hidden from the
   compiler, which would drop the mask as redundant, for the verifier, which
   does not follow every check through the registers the compiler picks. The
   buffer's slack holds the widest field read past such an offset. */
struct scratch {
    __u8 b[256 + 64];
};

static __always_inline __u32 bounded(__u32 off)
{
    asm volatile("" : "+r"(off));
    return off & 0xff;
}

static __always_inline const __u8 *at(const __u8 *b, __u32 off)
{
    return b + bounded(off);
}

struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct scratch);
} scratch SEC(".maps");

/* What the counting takes of one packet. */
struct pkt {
    __u32 slot;   /* the first entry of the slot of counts it counts in */
    __u32 ip;     /* where the IP header starts in b */
    __u32 caplen; /* bytes of b copied */
    __u32 size;   /* bytes from the IP header on, of one packet or all its segments */
    __u32 segs;   /* packets on the wire */
    __u32 gso_size;
    __u16 type;   /* the EtherType at b[ip] */
};

static __always_inline __u16 be16(const __u8 *b)
{
    return (__u16)(b[0] << 8 | b[1]);
}

static __always_inline void add(__u32 rule, const struct pkt *p)
{
    const __u32 at = p->slot + rule;
    struct rule_count *c = bpf_map_lookup_elem(&counts, &at);
    if (c) {
        c->packets += p->segs;
        c->bytes += p->size;
    }
}

/* Adds p to the rule that table names for key, if any. */
static __always_inline __u32 keyed(void *table, __u32 key, const struct pkt *p)
{
    __u32 *r = bpf_map_lookup_elem(table, &key);
    if (r && *r)
        add(*r - 1, p);
    return r ? *r : 0;
}

/* The rules of the networks holding src or dst, each once: a network that
   holds both ends counts the packet once. */
static __always_inline void nets_v4(__u32 src, __u32 dst, const struct pkt *p)
{
    for (__u32 i = 0; i < masks_max && i < masks4_n; ++i) {
        struct net4_key k = {i, src & masks4[i]};
        __u32 *rs = bpf_map_lookup_elem(&nets4, &k);
        if (rs)
            add(*rs, p);
        k.net = dst & masks4[i];
        __u32 *rd = bpf_map_lookup_elem(&nets4, &k);
        if (rd && !(rs && *rs == *rd))
            add(*rd, p);
    }
}

static __always_inline void nets_v6(const __u64 *src, const __u64 *dst, const struct pkt *p)
{
    for (__u32 i = 0; i < masks_max && i < masks6_n; ++i) {
        struct net6_key k = {i, 0, {src[0] & masks6[i][0], src[1] & masks6[i][1]}};
        __u32 *rs = bpf_map_lookup_elem(&nets6, &k);
        if (rs)
            add(*rs, p);
        k.net[0] = dst[0] & masks6[i][0];
        k.net[1] = dst[1] & masks6[i][1];
        __u32 *rd = bpf_map_lookup_elem(&nets6, &k);
        if (rd && !(rs && *rs == *rd))
            add(*rd, p);
    }
}

/* The bytes that each segment after the first repeats on the wire: the IP
   header, its extension headers and the TCP or UDP header at l4. */
static __always_inline void segments(const __u8 *b, struct pkt *p, __u32 l4, __u8 proto)
{
    if (p->gso_size == 0)
        return;
    __u32 hdrs = l4 - p->ip;
    if (proto == 6 && l4 < hdr_max && l4 + 13 <= p->caplen)
        hdrs += (at(b, l4)[12] >> 4) * 4;
    else if (proto == 17)
        hdrs += 8;
    if (p->segs == 0 && p->size > hdrs)
        p->segs = (p->size - hdrs + p->gso_size - 1) / p->gso_size;
    if (p->segs == 0)
        p->segs = 1;
    p->size += (p->segs - 1) * hdrs;
}

/* Ports, SYN and segments of a packet whose upper layer proto starts at l4. */
static __always_inline void upper(const __u8 *b, struct pkt *p, __u32 l4, __u8 proto, int first)
{
    segments(b, p, l4, proto);
    keyed(&protos, proto, p);
    if (!first || (proto != 6 && proto != 17) || l4 + 4 > p->caplen || l4 >= hdr_max)
        return;
    __u16 sport = be16(at(b, l4)), dport = be16(at(b, l4) + 2);
    __u32 rs = keyed(&ports, sport, p);
    __u32 key = dport;
    __u32 *rd = bpf_map_lookup_elem(&ports, &key);
    /* A rule whose port is both ends counts the packet once. */
    if (rd && *rd && *rd != rs)
        add(*rd - 1, p);
    /* A SYN without ACK: a new connection (SYN is 0x02, ACK 0x10). */
    if (proto == 6 && l4 + 14 <= p->caplen && (at(b, l4)[13] & 0x12) == 0x02)
        keyed(&socks, dport, p);
}

static __always_inline void count_ip4(const __u8 *b, struct pkt *p)
{
    const __u32 ip = p->ip;
    if (ip >= hdr_max || ip + 20 > p->caplen || at(b, ip)[0] >> 4 != 4)
        return;
    __u32 hl = (at(b, ip)[0] & 0x0f) * 4;
    if (hl < 20)
        return;
    __u32 src, dst;
    __builtin_memcpy(&src, at(b, ip) + 12, 4);
    __builtin_memcpy(&dst, at(b, ip) + 16, 4);
    /* Only the first fragment carries the transport header. */
    upper(b, p, ip + hl, at(b, ip)[9], (be16(at(b, ip) + 6) & 0x1fff) == 0);
    nets_v4(src, dst, p);
}

static __always_inline void count_ip6(const __u8 *b, struct pkt *p)
{
    const __u32 ip = p->ip;
    if (ip >= hdr_max || ip + 40 > p->caplen || at(b, ip)[0] >> 4 != 6)
        return;
    __u64 src[2], dst[2];
    __builtin_memcpy(src, at(b, ip) + 8, 16);
    __builtin_memcpy(dst, at(b, ip) + 24, 16);
    __u8 next = at(b, ip)[6];
    __u32 off = ip + 40;
    int known = 1, first = 1;
    for (int n = 0; n <= ext_max && ipv6_extension(next); ++n) {
        /* A chain cut short or too long leaves the protocol unknown: the
           packet counts for its addresses only. */
        if (n == ext_max || off >= hdr_max || off + 8 > p->caplen) {
            known = 0;
            break;
        }
        const __u8 *h = at(b, off);
        const int fragment = next == 44;
        next = h[0];
        if (!fragment) {
            off += (h[1] + 1) * 8;
        } else if ((be16(h + 2) & 0xfff8) == 0) {
            off += 8;
        } else {
            /* A later fragment: the upper layer's protocol, but no header of it. */
            first = 0;
            break;
        }
    }
    if (known)
        upper(b, p, off, next, first);
    else if (p->segs == 0)
        p->segs = 1;
    nets_v6(src, dst, p);
}

/* Classifies the packet whose headers from the link layer's EtherType on
   (type, then its tags) are in b, caplen of them copied. */
static __always_inline void classify(const __u8 *b, struct pkt *p)
{
    __u16 type = p->type;
    for (int tags = 0; tags <= tags_max && vlan_type(type); ++tags) {
        if (tags == tags_max || p->ip >= hdr_max || p->ip + 4 > p->caplen)
            return;
        type = be16(at(b, p->ip) + 2);
        p->ip += 4;
        p->size = p->size > 4 ? p->size - 4 : 0;
    }
    if (type == 0x0800)
        count_ip4(b, p);
    else if (type == 0x86dd)
        count_ip6(b, p);
}

static __always_inline struct scratch *buffer(void)
{
    __u32 zero = 0;
    return bpf_map_lookup_elem(&scratch, &zero);
}

static __always_inline const struct watch *watched(void)
{
    __u32 zero = 0;
    return bpf_map_lookup_elem(&watch, &zero);
}

/* Classifies p in the slot of the interval of this moment, then counts it as
   seen. */
static __always_inline void count(const __u8 *b, struct pkt *p, const struct watch *w)
{
    const __u64 wall = bpf_ktime_get_tai_ns() - w->tai_offset_ns;
    p->slot = (wall / interval_ns) & 1 ? rules_n + 1 : 0;
    classify(b, p);
    if (p->segs == 0)
        p->segs = 1;
    add(rules_n, p);
}

/* Counts the packet skb on dev, when dev is watched. */
static __always_inline void count_skb(const struct sk_buff *skb, const struct net_device *dev)
{
    if (dev->nd_net.net->ns.inum != netns_ino)
        return;
    const struct watch *w = watched();
    if (!w || (w->ifindex != ifindex_all && dev->ifindex != w->ifindex))
        return;
    struct scratch *s = buffer();
    if (!s)
        return;
    const unsigned char *head = skb->head;
    const __u32 data = (__u32)(skb->data - head), tail = skb->tail;
    __u32 start = skb->network_header;
    struct pkt p = {.type = bpf_ntohs(skb->protocol)};
    /* A tag in the frame rather than beside it: the tags follow the Ethernet
       header, where the network header may not yet be set past them. */
    if (vlan_type(p.type) && skb->mac_header != 0xffff && skb->mac_header + 14 <= start)
        start = skb->mac_header + 14;
    if (start >= tail)
        return;
    const __u32 n = tail - start;
    p.caplen = n < hdr_max ? n : hdr_max;
    if (bpf_probe_read_kernel(s->b, bounded(p.caplen), head + start) != 0)
        return;
    /* skb->len counts from data: the link-layer header on transmit, the
       network header on receive. */
    p.size = skb->len + data - start;
    const struct skb_shared_info *sh = (const void *)(head + skb->end);
    unsigned short gso[2] = {0, 0};
    bpf_probe_read_kernel(gso, sizeof gso, &sh->gso_size);
    p.gso_size = gso[0];
    p.segs = gso[0] ? gso[1] : 1;
    count(s->b, &p, w);
}

/* Every packet that a device of the namespace sends. Loopback's are counted
   once, as they arrive. */
SEC("tp_btf/net_dev_start_xmit")
int BPF_PROG(on_transmit, const struct sk_buff *skb, const struct net_device *dev)
{
    if (!(dev->flags & iff_loopback))
        count_skb(skb, dev);
    return 0;
}

/* Every packet that a device of the namespace receives. */
SEC("tp_btf/netif_receive_skb")
int BPF_PROG(on_receive, const struct sk_buff *skb)
{
    count_skb(skb, skb->dev);
    return 0;
}

/* The same counting for a frame seen through a socket buffer whose data
   starts at an Ethernet header: a traffic-control program (in the tests, run
   on crafted frames; in the benchmark, the hook's cost per interface) or a
   socket filter on a packet socket, which takes nothing (returns 0). */
static __always_inline int count_frame(struct __sk_buff *skb)
{
    struct scratch *s = buffer();
    const struct watch *w = watched();
    if (!s || !w)
        return 0;
    /* The loopback device shows each packet twice to a packet socket. */
    if (skb->pkt_type == packet_outgoing && skb->ifindex == loopback_ifindex)
        return 0;
    const __u32 n = bounded(skb->len < hdr_max ? skb->len : hdr_max);
    if (n < 14 || bpf_skb_load_bytes(skb, 0, s->b, n) != 0)
        return 0;
    struct pkt p = {.ip = 14, .caplen = n, .size = skb->len - 14, .gso_size = skb->gso_size,
                    .type = be16(s->b + 12)};
    p.segs = p.gso_size ? skb->gso_segs : 1;
    count(s->b, &p, w);
    return 0;
}

SEC("tc")
int count_tc(struct __sk_buff *skb)
{
    return count_frame(skb);
}

SEC("socket")
int count_socket(struct __sk_buff *skb)
{
    return count_frame(skb);
}
