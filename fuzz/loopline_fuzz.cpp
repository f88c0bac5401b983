// Fuzzes the null link-layer printer, and through the daemon's core the IP
// summary and the portmapper printer, on frames cut anywhere: the frame lies
// in a heap block of exactly the captured length. Input: a flag byte (bits
// 0, 1, 2: numeric, link header, hex dump), the 4-byte wire length, then the
// captured bytes.
#include "hostops.h"
#include "loopline.h"
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
    if (size < 5)
        return 0;
    nflag = data[0] & 1;
    eflag = data[0] >> 1 & 1;
    xflag = data[0] >> 2 & 1;
    struct cap_header h;
    h.ts.sec = 1700000000;
    h.ts.usec = 123456;
    h.len = static_cast<uint32_t>(data[1]) << 24 | static_cast<uint32_t>(data[2]) << 16 |
            static_cast<uint32_t>(data[3]) << 8 | data[4];
    h.caplen = static_cast<uint32_t>(size - 5);
    std::unique_ptr<uint8_t[]> frame(new uint8_t[h.caplen]);
    if (h.caplen > 0)
        std::memcpy(frame.get(), data + 5, h.caplen);

    printed_reset();
    null_if_print(nullptr, &h, frame.get());
    // One line per frame; the hex dump adds lines that start with a tab.
    const std::string out = printed();
    if (out.empty() || out.back() != '\n')
        __builtin_trap();
    for (size_t at = out.find('\n'); at + 1 < out.size(); at = out.find('\n', at + 1))
        if (!xflag || out.compare(at + 1, 3, "\t0x") != 0)
            __builtin_trap();
    packetp = snapend = nullptr;
    return 0;
}
