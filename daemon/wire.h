/* Type and header numbers of the frames and packets that the counting walks, in C, so that the kernel programs,
   the counting in the daemon and its kernel filter read one list. */
#ifndef TRAXEL_WIRE_H
#define TRAXEL_WIRE_H

#ifdef __bpf__
#include <linux/types.h>
typedef __u8 uint8_t;
typedef __u16 uint16_t;
#else
#include <stdint.h>
#endif

/* EtherTypes of the 802.1Q and 802.1ad tags stepped over before the IP header. */
static const uint16_t vlan_types[] = {0x8100, 0x88a8, 0x9100};

static inline int vlan_type(uint16_t type)
{
    return type == vlan_types[0] || type == vlan_types[1] || type == vlan_types[2];
}

/* IPv6 extension headers that stand between the fixed header and the upper
   layer: hop-by-hop options, routing, fragment, destination options. */
static const uint8_t ipv6_extensions[] = {0, 43, 44, 60};

static inline int ipv6_extension(int next)
{
    return next == ipv6_extensions[0] || next == ipv6_extensions[1] || next == ipv6_extensions[2] ||
           next == ipv6_extensions[3];
}

/* More 802.1Q/802.1ad tags than a frame has in practice (QinQ has two). */
enum { tags_max = 4 };

/* More extension headers than a sound packet has (each once, destination
   options twice), so a crafted chain costs little. */
enum { ext_max = 8 };

#endif
