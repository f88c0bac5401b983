/* What the kernel programs and the daemon share: the keys, values and bounds of the counting maps. */
#ifndef TRAXEL_BPF_MAPS_H
#define TRAXEL_BPF_MAPS_H

#include <linux/types.h>

/* A rule is what a set of graphs counting the same packets has in common (a
   port, a protocol, a network): the programs count per rule, the daemon adds
   a rule's counts to each of its graphs. Rule r is stored as r + 1 in the
   key tables, 0 meaning none. The counts map holds two slots of rules_n + 1
   entries (each rule, then every packet seen): intervals of the sample grid
   count in turn into one and the other, so the daemon reads an interval's
   counts whole, after it ended, while the next one counts. */

/* Distinct masks of net and ip graphs per address family: each costs one
   lookup per address of every packet. */
#define masks_max 64

/* What one CPU counted for one rule: packets on the wire, and their bytes
   from the IP header on. */
struct rule_count {
    __u64 packets;
    __u64 bytes;
};

/* A network of IPv4 net or ip graphs: the index of its mask in masks4, and
   the network in network byte order. */
struct net4_key {
    __u32 mask;
    __u32 net;
};

/* A network of IPv6 graphs: the index of its mask in masks6, and the network's
   16 bytes in network byte order. */
struct net6_key {
    __u32 mask;
    __u32 pad;
    __u64 net[2];
};

/* What the daemon sets while the programs run, in the one entry of the watch
   map: the interface watched, and the kernel's TAI clock less the time of
   day, so that a packet counts in the interval of the time it was seen. */
struct watch {
    __s32 ifindex;
    __u32 pad;
    __s64 tai_offset_ns;
};

/* struct watch's ifindex: every interface of the daemon's network namespace. */
#define ifindex_all 0
/* struct watch's ifindex: none (the watched interface is gone). */
#define ifindex_none (-1)

#endif
