// The packet-dump core's host operations, called by the packet printers.
#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "bytes.h"
#include "hostops.h"
#include "mapcall.h"

int nflag = 0;
int eflag = 0;
int xflag = 0;
const uint8_t *packetp = nullptr;
const uint8_t *snapend = nullptr;

namespace {

// Bytes of [bp, bp + n) that were captured.
uint32_t captured_bytes(const uint8_t *bp, uint32_t n)
{
    if (!snapend || bp >= snapend)
        return 0;
    auto have = static_cast<uint32_t>(snapend - bp);
    return n < have ? n : have;
}

// A UDP portmapper call: destination port 111 and the message type word
// (the second of the RPC message) 0, all of it captured.
bool portmap_call(const uint8_t *udp, uint32_t have)
{
    return have >= 16 && be16(udp + 2) == 111 && be32(udp + 12) == 0;
}

}  // namespace

extern "C" void ts_print(const struct cap_ts *tsp)
{
    time_t t = static_cast<time_t>(tsp->sec);
    struct tm tm;
    if (!localtime_r(&t, &tm)) {
        std::printf("%u.%06u ", tsp->sec, tsp->usec);
        return;
    }
    std::printf("%02d:%02d:%02d.%06u ", tm.tm_hour, tm.tm_min, tm.tm_sec, tsp->usec);
}

extern "C" const char *getname(const uint8_t *ap)
{
    // Names are the dotted numbers: a dump never waits on a name service.
    // Two buffers in turn keep a result valid across the next call.
    static char buf[2][INET_ADDRSTRLEN];
    static int turn = 0;
    turn ^= 1;
    std::snprintf(buf[turn], sizeof buf[turn], "%u.%u.%u.%u", ap[0], ap[1], ap[2], ap[3]);
    return buf[turn];
}

extern "C" const char *tok2str(const struct tok *tp, const char *fmt, uint32_t v)
{
    for (; tp && tp->s; ++tp)
        if (tp->v == v)
            return tp->s;
    static char buf[128];
    std::snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

extern "C" void default_print(const uint8_t *bp, uint32_t length)
{
    uint32_t n = captured_bytes(bp, length);
    for (uint32_t i = 0; i < n; ++i) {
        if (i % 16 == 0)
            std::printf("\n\t0x%04x:", i);
        if (i % 2 == 0)
            std::printf(" ");
        std::printf("%02x", bp[i]);
    }
}

extern "C" void ip_print(const uint8_t *bp, uint32_t length)
{
    uint32_t have = captured_bytes(bp, length);
    if (have < 20) {
        std::printf("[|ip]");
        return;
    }
    if (bp[0] >> 4 != 4) {
        std::printf("ip version %u, length %u", bp[0] >> 4, length);
        return;
    }
    uint32_t hl = (bp[0] & 0x0f) * 4u;
    bool first = (be16(bp + 6) & 0x1fff) == 0;
    if (hl >= 20 && first && bp[9] == 17 && have >= hl && portmap_call(bp + hl, have - hl)) {
        // The RPC message is the UDP payload; its length is the UDP length
        // less the 8-byte UDP header.
        uint16_t ulen = be16(bp + hl + 4);
        if (ulen >= 8) {
            sunrpcrequest_print(bp + hl + 8, ulen - 8u, bp);
            return;
        }
    }
    const char *src = getname(bp + 12);
    const char *dst = getname(bp + 16);
    std::printf("%s > %s: proto %u len %u", src, dst, bp[9], be16(bp + 2));
}
