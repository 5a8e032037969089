// UTF-8 and the platform's UTF-16 strings, for tools and tests that call Win32.
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

inline std::string Utf8(const WCHAR* text, size_t units) {
    int n = units == 0 ? 0
                       : WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), &out[0], n, nullptr, nullptr);
    return out;
}

inline std::string Utf8(const WCHAR* text) { return Utf8(text, static_cast<size_t>(lstrlenW(text))); }
inline std::string Utf8(const WString& text) { return Utf8(text.data(), text.size()); }
