// Native messaging's frame header, as Chrome and Edge write and read it: the
// body's length in 4 bytes, little-endian (the browsers' documentation says
// "native byte order", which is little-endian on every platform they run on).
#pragma once

#include "contract/le32.h"

#define FRAME_HEADER_BYTES 4

inline void EncodeFrameHeader(uint32_t length, unsigned char header[FRAME_HEADER_BYTES]) { PutLe32(length, header); }

inline uint32_t DecodeFrameHeader(const unsigned char header[FRAME_HEADER_BYTES]) { return GetLe32(header); }
