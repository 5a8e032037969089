// Test only: each lower-case ASCII letter as its fullwidth form (U+FF41 on),
// in UTF-8, which IDNA maps back to the letter.
#pragma once

#include <string>

inline std::string Fullwidth(const std::string& ascii) {
    std::string out;
    for (char c : ascii) {
        const unsigned cp = 0xFF41u + static_cast<unsigned>(c - 'a');
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}
