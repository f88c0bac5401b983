// Type and header numbers that the counting decodes and the kernel filter names, kept in one place so the
// filter passes every frame the counting would walk.
#ifndef TRAXEL_HEADERS_H
#define TRAXEL_HEADERS_H

#include <cstdint>

// EtherTypes of the 802.1Q and 802.1ad tags stepped over before the IP header.
inline constexpr uint16_t vlan_types[] = {0x8100, 0x88a8, 0x9100};

constexpr bool vlan_type(uint16_t type)
{
    return type == vlan_types[0] || type == vlan_types[1] || type == vlan_types[2];
}

// IPv6 extension headers that stand between the fixed header and the upper
// layer: hop-by-hop options, routing, fragment, destination options.
inline constexpr uint8_t ipv6_extensions[] = {0, 43, 44, 60};

constexpr bool ipv6_extension(int next)
{
    return next == ipv6_extensions[0] || next == ipv6_extensions[1] || next == ipv6_extensions[2] ||
           next == ipv6_extensions[3];
}

#endif
