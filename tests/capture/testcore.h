// A test core: fakes of the host operations that record and trace each call.
#ifndef TRAXEL_TESTCORE_H
#define TRAXEL_TESTCORE_H

#include "hostops.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// One call of a host operation, with its arguments and snapend at the time.
struct core_call {
    std::string op;
    const void *p;
    uint32_t length;  // 0 for operations without a length
    const uint8_t *snapend;
};

// The calls since the last reset_core, in order.
extern std::vector<core_call> core_calls;

// Clears the flags, packetp, snapend and the call record.
void reset_core();

// Runs f with standard output sent to a temporary file; returns what f
// printed. A failing redirection fails the running test.
std::string capture_stdout(const std::function<void()> &f);

// Heap bytes holding exactly a copy of bytes after shift spare leading bytes,
// so that a read past the copy's end is a heap overflow under AddressSanitizer
// and a shift of 1 to 3 gives an unaligned copy.
struct exact_buffer {
    exact_buffer(const std::vector<uint8_t> &bytes, size_t shift);
    const uint8_t *data() const { return mem.get() + shift; }
    const uint8_t *end() const { return data() + size; }
    std::unique_ptr<uint8_t[]> mem;
    size_t shift;
    size_t size;
};

#endif
