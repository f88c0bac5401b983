// Fuzzes address matching with arbitrary texts; the result must be 0, 1 or 2.
#include "subred.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Three texts separated by NUL bytes.
    std::string in(reinterpret_cast<const char *>(data), size);
    std::string parts[3];
    size_t at = 0;
    for (auto &p : parts) {
        size_t end = in.find('\0', at);
        p = in.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? in.size() : end + 1;
    }
    int n = net_belong(parts[0].c_str(), parts[1].c_str(), parts[2].c_str());
    int i = ip_belong(parts[0].c_str(), parts[1].c_str());
    if (n < 0 || n > 2 || i < 0 || i > 2)
        __builtin_trap();
    return 0;
}
