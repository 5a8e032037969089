// Native messaging's frame header, as Chrome and Edge write and read it: the
// body's length in 4 bytes, little-endian (the browsers' documentation says
// "native byte order", which is little-endian on every platform they run on).
#pragma once

#include <stdint.h>

#define FRAME_HEADER_BYTES 4

inline void EncodeFrameHeader(uint32_t length, unsigned char header[FRAME_HEADER_BYTES]) {
    for (int i = 0; i < FRAME_HEADER_BYTES; ++i) header[i] = static_cast<unsigned char>((length >> (8 * i)) & 0xFF);
}

inline uint32_t DecodeFrameHeader(const unsigned char header[FRAME_HEADER_BYTES]) {
    uint32_t length = 0;
    for (int i = 0; i < FRAME_HEADER_BYTES; ++i) length |= static_cast<uint32_t>(header[i]) << (8 * i);
    return length;
}
