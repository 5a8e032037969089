// 32-bit little-endian values, as the frame header and the request block hold them.
#pragma once

#include <stdint.h>

inline void PutLe32(uint32_t value, unsigned char bytes[4]) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
}

inline uint32_t GetLe32(const unsigned char bytes[4]) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(bytes[i]) << (8 * i);
    return value;
}
