// Fuzzes the portmapper call printer on captures cut anywhere: the bytes lie
// in a heap block of exactly the captured size, snapend just past them.
// Input: a flag byte (bit 0 numeric output), the 4-byte message length, the
// offset of the RPC message from the IP header, then the captured bytes.
#include "hostops.h"
#include "mapcall.h"
#include "printed.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    collect_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 6)
        return 0;
    nflag = data[0] & 1;
    const uint32_t length = static_cast<uint32_t>(data[1]) << 24 | static_cast<uint32_t>(data[2]) << 16 |
                            static_cast<uint32_t>(data[3]) << 8 | data[4];
    const size_t caplen = size - 6;
    const size_t off = data[5] < caplen ? data[5] : caplen;
    std::unique_ptr<uint8_t[]> pkt(new uint8_t[caplen]);
    if (caplen > 0)
        std::memcpy(pkt.get(), data + 6, caplen);
    packetp = pkt.get();
    snapend = pkt.get() + caplen;

    printed_reset();
    sunrpcrequest_print(pkt.get() + off, length, pkt.get());
    // The caller ends the line: a summary or the marker, never a line break.
    const std::string out = printed();
    if (out.empty() || out.find('\n') != std::string::npos)
        __builtin_trap();
    packetp = snapend = nullptr;
    return 0;
}
