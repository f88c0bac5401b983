// Printer for frames of the null link layer (loopback capture).
#include "loopline.h"

#include "hostops.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// Every frame starts with the 4-byte address family of its packet.
constexpr uint32_t null_hdrlen = 4;

// Address families that have a name of their own.
enum { af_inet = 2, af_ns = 6 };

// Printed after the time stamp, in place of the packet, when a frame is too
// short to hold its own family word.
constexpr char short_marker[] = "[|null]";

// Prints the family label of the frame p ("ip: ", "ns: ", "AF <n>: "), or
// nothing under nflag. Reads only the 4 family bytes of p; the packet and its
// length are the link-level printer's common arguments.
void null_print(const uint8_t *p, const uint8_t * /*packet*/, uint32_t /*length*/)
{
    if (nflag)
        return;
    // The family is in host byte order; the frame need not be aligned.
    int32_t family;
    static_assert(sizeof family == null_hdrlen, "family word is 4 bytes");
    std::memcpy(&family, p, sizeof family);
    switch (family) {
    case af_inet:
        std::fputs("ip: ", stdout);
        break;
    case af_ns:
        std::fputs("ns: ", stdout);
        break;
    default:
        std::printf("AF %d: ", family);
        break;
    }
}

}  // namespace

extern "C" void null_if_print(uint8_t * /*user*/, const struct cap_header *h, const uint8_t *p)
{
    uint32_t length = h->len;
    uint32_t caplen = h->caplen;

    ts_print(&h->ts);
    packetp = p;
    snapend = p + caplen;

    // Below 4 bytes the lengths less the header would wrap round to about
    // 4 GB; such a frame has no packet to show.
    if (caplen < null_hdrlen || length < null_hdrlen) {
        std::fputs(short_marker, stdout);
        std::putchar('\n');
        return;
    }
    length -= null_hdrlen;

    if (eflag)
        null_print(p, p + null_hdrlen, length);
    // The family only labels the frame: every packet goes to the IP printer.
    ip_print(p + null_hdrlen, length);
    if (xflag)
        default_print(p + null_hdrlen, caplen - null_hdrlen);
    std::putchar('\n');
}
