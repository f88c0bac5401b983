// Address matching of dotted IPv4 texts against configured networks and hosts.
#ifndef TRAXEL_SUBRED_H
#define TRAXEL_SUBRED_H

#ifdef __cplusplus
extern "C" {
#endif

// 1 when address lies in network under mask (network octet == mask & address
// for each octet), 0 when not, 2 when an octet is above 255 or a text does not
// hold four dotted numbers.
int net_belong(const char *address, const char *network, const char *mask);
// 1 when both addresses are equal, 0 when not, 2 on bad input as above.
int ip_belong(const char *address1, const char *address2);

#ifdef __cplusplus
}
#endif

#endif
