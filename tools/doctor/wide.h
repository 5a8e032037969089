// UTF-8 and the platform's UTF-16 strings, for the doctor's Win32 calls.
#pragma once

#include <string>

#include "platform/platform.h"

using WString = std::basic_string<WCHAR>;

inline WString Wide(const std::string& utf8) {
    if (utf8.empty()) return WString();
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    WString out(static_cast<size_t>(n > 0 ? n : 1), 0);
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &out[0], n);
    out.resize(static_cast<size_t>(n > 0 ? n - 1 : 0));
    return out;
}

inline std::string Utf8(const WCHAR* text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}
