// The agent's question in a request block: the window's HWND, 32 bits
// little-endian, at the block's start. The rest of the block is the agent's.
#pragma once

#include "contract/le32.h"

#define REQUEST_HWND_BYTES 4

inline void EncodeRequestHwnd(uint32_t hwnd, unsigned char block[REQUEST_HWND_BYTES]) { PutLe32(hwnd, block); }

inline uint32_t DecodeRequestHwnd(const unsigned char block[REQUEST_HWND_BYTES]) { return GetLe32(block); }
