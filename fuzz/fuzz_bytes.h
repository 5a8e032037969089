// Reads a fuzzer's input piece by piece; past its end, every read is 0.
#pragma once

#include <cstddef>
#include <cstdint>

struct Bytes {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    bool Empty() const { return at >= size; }
    uint8_t Byte() { return at < size ? data[at++] : 0; }
    uint32_t Word() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | Byte();
        return v;
    }
};
