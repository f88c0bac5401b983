// Reading of big-endian (network order) fields from captured bytes.
#ifndef TRAXEL_BYTES_H
#define TRAXEL_BYTES_H

#include <cstdint>

// The 16-bit field at b, in host order; b need not be aligned.
inline uint16_t be16(const uint8_t *b)
{
    return static_cast<uint16_t>(b[0] << 8 | b[1]);
}

// The 32-bit field at b, in host order; b need not be aligned.
inline uint32_t be32(const uint8_t *b)
{
    return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
           static_cast<uint32_t>(b[2]) << 8 | b[3];
}

// The 64-bit field at b, in host order; b need not be aligned.
inline uint64_t be64(const uint8_t *b)
{
    return static_cast<uint64_t>(be32(b)) << 32 | be32(b + 4);
}

#endif
