// One-line summaries of Sun RPC calls addressed to the portmapper.
#include "mapcall.h"

#include "hostops.h"

#include <arpa/inet.h>
#include <rpc/netdb.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// Portmapper procedures that name a program.
enum : uint32_t {
    pmapproc_set = 1,
    pmapproc_unset = 2,
    pmapproc_getport = 3,
    pmapproc_callit = 5,
};

// The portmapper's own port, shown in numeric output.
constexpr unsigned pmap_port = 111;

// Words of an RPC call message, in the order they are sent.
enum { msg_xid, msg_direction, msg_rpcvers, msg_prog, msg_vers, msg_proc, msg_words };

// Where the addresses lie in the IP header.
constexpr size_t ip_src = 12;
constexpr size_t ip_dst = 16;
constexpr size_t ip_addrs_end = 20;

// Printed instead of the summary when the capture ends before the bytes read.
constexpr char trunc_marker[] = "[|portmap]";

const struct tok proc2str[] = {
    {0, "null"}, {1, "set"}, {2, "unset"}, {3, "getport"}, {4, "dump"}, {5, "call"}, {0, nullptr},
};

// The name of the last program looked up; lastprog 0 means nothing is cached.
char progbuf[32];
uint32_t lastprog = 0;

// Printable name of an RPC program number: the database's official name
// (truncated to 31 characters) or "#<number>". The text lives in a static
// buffer, valid until the next call.
const char *progstr(uint32_t prog)
{
    if (lastprog != 0 && prog == lastprog)
        return progbuf;
    const struct rpcent *rp = getrpcbynumber(static_cast<int>(prog));
    if (rp != nullptr && rp->r_name != nullptr)
        std::snprintf(progbuf, sizeof progbuf, "%s", rp->r_name);
    else
        std::snprintf(progbuf, sizeof progbuf, "#%u", prog);
    lastprog = prog;
    return progbuf;
}

// True when the n bytes at offset off from p lie before snapend. Compared as
// addresses, so a header that ends early never leads to pointer arithmetic
// past the captured bytes.
bool captured(const uint8_t *p, size_t off, size_t n)
{
    uintptr_t a = reinterpret_cast<uintptr_t>(p);
    uintptr_t e = reinterpret_cast<uintptr_t>(snapend);
    return p != nullptr && a <= e && e - a >= off && e - a - off >= n;
}

// The host value of word i of the message; the message need not be aligned.
uint32_t msg_word(const uint8_t *bp, int i)
{
    uint32_t w;
    std::memcpy(&w, bp + 4 * i, sizeof w);
    return ntohl(w);
}

}  // namespace

extern "C" void sunrpcrequest_print(const uint8_t *bp, uint32_t length, const uint8_t *ip)
{
    if (!captured(bp, 0, 4 * msg_words) || !captured(ip, 0, ip_addrs_end)) {
        std::fputs(trunc_marker, stdout);
        return;
    }
    uint32_t xid = msg_word(bp, msg_xid);
    uint32_t rpcvers = msg_word(bp, msg_rpcvers);
    uint32_t prog = msg_word(bp, msg_prog);
    uint32_t vers = msg_word(bp, msg_vers);
    uint32_t proc = msg_word(bp, msg_proc);

    // The source name is fetched first: getname keeps one earlier result alive.
    const char *src = getname(ip + ip_src);
    const char *dst = getname(ip + ip_dst);
    int len = static_cast<int>(length);
    if (!nflag)
        std::printf("%s.%x > %s.sunrpc: %d", src, xid, dst, len);
    else
        std::printf("%s.%x > %s.%x: %d", src, xid, dst, pmap_port, len);

    std::printf(" %s", tok2str(proc2str, " proc #%u", proc));
    if (rpcvers != 2)
        std::printf(" [rpcver %u]", rpcvers);

    switch (proc) {
    case pmapproc_set:
    case pmapproc_unset:
    case pmapproc_getport:
    case pmapproc_callit:
        if (!nflag)
            std::printf(" %s", progstr(prog));
        else
            std::printf(" %u", prog);
        std::printf(".%u", vers);
        break;
    default:
        break;
    }
}
