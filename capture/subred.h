// Address matching of dotted IPv4 texts against configured networks and hosts.
#ifndef TRAXEL_SUBRED_H
#define TRAXEL_SUBRED_H

#ifdef __cplusplus
extern "C" {
#endif

// Reads the four numbers of a dotted text into oct, as the matching does:
// blanks before a number skipped, a sign allowed, text after the fourth number
// ignored, a number past 32 bits saturated. 0 when the text does not hold four
// dotted numbers, else 1.
int read_quad(const char *text, int oct[4]);

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
