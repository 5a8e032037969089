// Named objects' files: one file name for each Win32 object name.
#include <limits.h>
#include <stdlib.h>

#include "platform/posix/named_object.h"

namespace pal {

const char kShmDir[] = "/dev/shm";

namespace {

void AppendEscaped(std::string* out, const std::string& text) {
    for (char c : text) {
        switch (c) {
        case '%': *out += "%25"; break;
        case '/': *out += "%2F"; break;
        case '\\': *out += "%5C"; break;
        default: *out += c;
        }
    }
}

// Strict UTF-16 to UTF-8: a lone surrogate has no spelling, and replacing it
// would let two different names meet in one object.
bool NameToUtf8(LPCWSTR name, std::string* out) {
    for (const WCHAR* p = name; *p != 0; ++p) {
        uint32_t cp = *p;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (p[1] < 0xDC00 || p[1] > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<uint32_t>(p[1]) - 0xDC00);
            ++p;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return false;
        }
        if (cp < 0x80) {
            *out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            *out += static_cast<char>(0xC0 | (cp >> 6));
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            *out += static_cast<char>(0xE0 | (cp >> 12));
            *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            *out += static_cast<char>(0xF0 | (cp >> 18));
            *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return true;
}

}  // namespace

// "Global\x" becomes "/dev/shm/orvendel.<namespace>.Global%5Cx". The escapes
// keep '/' out of the file name and keep "a\b", "a/b" and "a%5Cb" apart.
bool PathOf(LPCWSTR name, std::string* out) {
    std::string utf8;
    if (!NameToUtf8(name, &utf8)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    std::string file = "orvendel.";
    const char* ns = ::getenv("ORVENDEL_NAMESPACE");
    if (ns != nullptr && *ns != 0) {
        AppendEscaped(&file, ns);
        file += '.';
    }
    AppendEscaped(&file, utf8);
    if (file.size() > NAME_MAX) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    *out = std::string(kShmDir) + "/" + file;
    return true;
}

}  // namespace pal
