// Host operations that the capture daemon's packet-dump core provides to the
// packet printers.
#ifndef TRAXEL_HOSTOPS_H
#define TRAXEL_HOSTOPS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Capture time stamp: seconds and microseconds, 32 bits each.
struct cap_ts {
    uint32_t sec;
    uint32_t usec;
};

// The capture header record handed to the link-level printers: 16 bytes.
struct cap_header {
    struct cap_ts ts;
    uint32_t caplen;  // bytes captured
    uint32_t len;     // bytes on the wire
};

// A (value, name) table entry; tables end with a null name.
struct tok {
    uint32_t v;
    const char *s;
};

// Prints the capture time stamp; tsp points at the header's first field.
void ts_print(const struct cap_ts *tsp);
// Prints an IP packet of length bytes starting at bp.
void ip_print(const uint8_t *bp, uint32_t length);
// Dumps length raw bytes starting at bp.
void default_print(const uint8_t *bp, uint32_t length);
// Printable name of the 4-byte IPv4 address at ap; the text stays valid
// across the next getname call.
const char *getname(const uint8_t *ap);
// Name of v in table tp, else fmt filled with v; the fallback text lives in a
// static buffer, valid until the next call.
const char *tok2str(const struct tok *tp, const char *fmt, uint32_t v);

// Output flags, non-zero meaning on: numeric, link-level header, hex dump.
extern int nflag;
extern int eflag;
extern int xflag;

// First byte and one past the last captured byte of the current frame; set by
// the link-level printer.
extern const uint8_t *packetp;
extern const uint8_t *snapend;

#ifdef __cplusplus
}
#endif

#endif
