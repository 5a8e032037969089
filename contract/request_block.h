// The agent's question in a request block: the window's HWND, 32 bits
// little-endian, at the block's start. The rest of the block is the agent's.
#pragma once

#include <stdint.h>

#define REQUEST_HWND_BYTES 4

inline void EncodeRequestHwnd(uint32_t hwnd, unsigned char block[REQUEST_HWND_BYTES]) {
    for (int i = 0; i < REQUEST_HWND_BYTES; ++i) block[i] = static_cast<unsigned char>((hwnd >> (8 * i)) & 0xFF);
}

inline uint32_t DecodeRequestHwnd(const unsigned char block[REQUEST_HWND_BYTES]) {
    uint32_t hwnd = 0;
    for (int i = 0; i < REQUEST_HWND_BYTES; ++i) hwnd |= static_cast<uint32_t>(block[i]) << (8 * i);
    return hwnd;
}
