// UTF-16 <-> narrow conversions. The ANSI code page is UTF-8 here, so
// CP_ACP and CP_UTF8 convert alike.
#include <limits.h>
#include <stdint.h>
#include <string.h>

#include "platform/platform.h"

namespace {

const DWORD kReplacement = 0xFFFD;

bool IsSupportedCodePage(UINT codePage) { return codePage == CP_ACP || codePage == CP_UTF8; }

bool IsHighSurrogate(DWORD u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(DWORD u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Counts the output without storing it when capacity is 0, as a size query;
// otherwise refuses any unit that would not fit.
template <typename T>
struct BoundedOutput {
    T* buffer;
    size_t capacity;
    size_t count;
    bool overflow;

    bool Put(const T* units, size_t n) {
        if (capacity == 0) {
            count += n;
            if (count > static_cast<size_t>(INT_MAX)) overflow = true;
            return !overflow;
        }
        if (n > capacity - count) {
            overflow = true;
            return false;
        }
        for (size_t i = 0; i < n; ++i) buffer[count + i] = units[i];
        count += n;
        return true;
    }

    // A run of ASCII (units below 0x80), each unit the same value in both
    // encodings. As many as fit are stored, as Put stores them one by one.
    template <typename S>
    bool PutAscii(const S* units, size_t n) {
        if (capacity == 0) {
            count += n;
            if (count > static_cast<size_t>(INT_MAX)) overflow = true;
            return !overflow;
        }
        size_t room = capacity - count;
        size_t fit = n < room ? n : room;
        T* to = buffer + count;
        for (size_t i = 0; i < fit; ++i) to[i] = static_cast<T>(units[i]);
        count += fit;
        if (fit < n) {
            overflow = true;
            return false;
        }
        return true;
    }
};

// Length of the run of ASCII bytes at s, at most n; eight at a time while it lasts.
size_t AsciiBytes(const unsigned char* s, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        memcpy(&word, s + i, sizeof word);
        if ((word & 0x8080808080808080ull) != 0) break;
    }
    while (i < n && s[i] < 0x80) ++i;
    return i;
}

// The same for UTF-16 units, four at a time.
size_t AsciiUnits(const WCHAR* s, size_t n) {
    static_assert(sizeof(WCHAR) == 2, "UTF-16 units");
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        uint64_t word;
        memcpy(&word, s + i, sizeof word);
        if ((word & 0xFF80FF80FF80FF80ull) != 0) break;
    }
    while (i < n && s[i] < 0x80) ++i;
    return i;
}

size_t EncodeUtf8(DWORD cp, char* out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

size_t EncodeUtf16(DWORD cp, WCHAR* out) {
    if (cp < 0x10000) {
        out[0] = static_cast<WCHAR>(cp);
        return 1;
    }
    cp -= 0x10000;
    out[0] = static_cast<WCHAR>(0xD800 | (cp >> 10));
    out[1] = static_cast<WCHAR>(0xDC00 | (cp & 0x3FF));
    return 2;
}

template <typename T>
int Finish(const BoundedOutput<T>& out) {
    if (out.overflow) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return static_cast<int>(out.count);
}

}  // namespace

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        LPBOOL lpUsedDefaultChar) {
    if (!IsSupportedCodePage(CodePage) || lpWideCharStr == nullptr || cchWideChar == 0 ||
        cchWideChar < -1 || cbMultiByte < 0 || (cbMultiByte > 0 && lpMultiByteStr == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // UTF-8 maps every character, so no default character is ever used.
    if (lpUsedDefaultChar != nullptr) *lpUsedDefaultChar = FALSE;

    const size_t length =
        cchWideChar == -1 ? static_cast<size_t>(lstrlenW(lpWideCharStr)) + 1 : static_cast<size_t>(cchWideChar);

    BoundedOutput<char> out{lpMultiByteStr, static_cast<size_t>(cbMultiByte), 0, false};
    for (size_t i = 0; i < length; ++i) {
        if (lpWideCharStr[i] < 0x80) {
            size_t run = AsciiUnits(lpWideCharStr + i, length - i);
            if (!out.PutAscii(lpWideCharStr + i, run)) break;
            i += run - 1;
            continue;
        }
        DWORD unit = lpWideCharStr[i];
        DWORD cp = unit;
        if (IsHighSurrogate(unit) && i + 1 < length && IsLowSurrogate(lpWideCharStr[i + 1])) {
            cp = 0x10000 + ((unit - 0xD800) << 10) + (static_cast<DWORD>(lpWideCharStr[i + 1]) - 0xDC00);
            ++i;
        } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
            cp = kReplacement;
        }
        char bytes[4];
        if (!out.Put(bytes, EncodeUtf8(cp, bytes))) break;
    }
    return Finish(out);
}

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar) {
    if (!IsSupportedCodePage(CodePage) || lpMultiByteStr == nullptr || cbMultiByte == 0 ||
        cbMultiByte < -1 || cchWideChar < 0 || (cchWideChar > 0 && lpWideCharStr == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const bool strict = (dwFlags & MB_ERR_INVALID_CHARS) != 0;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
    const size_t length =
        cbMultiByte == -1 ? static_cast<size_t>(lstrlenA(lpMultiByteStr)) + 1 : static_cast<size_t>(cbMultiByte);

    BoundedOutput<WCHAR> out{lpWideCharStr, static_cast<size_t>(cchWideChar), 0, false};
    size_t i = 0;
    while (i < length) {
        if (s[i] < 0x80) {
            size_t run = AsciiBytes(s + i, length - i);
            if (!out.PutAscii(s + i, run)) break;
            i += run;
            continue;
        }
        const unsigned char lead = s[i];
        DWORD cp = lead;
        size_t trail = 0;
        // Bounds of the first trail byte; they exclude overlongs, surrogates
        // and code points above U+10FFFF.
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        bool invalid = false;
        if (lead >= 0xC2 && lead <= 0xDF) {
            trail = 1;
            cp = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            trail = 2;
            cp = lead & 0x0F;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            trail = 3;
            cp = lead & 0x07;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else if (lead >= 0x80) {
            invalid = true;
        }

        // A broken sequence yields one U+FFFD for its maximal valid prefix;
        // the offending byte starts the next sequence.
        size_t next = i + 1;
        for (size_t k = 0; k < trail; ++k, ++next) {
            if (next >= length || s[next] < low || s[next] > high) {
                invalid = true;
                break;
            }
            cp = (cp << 6) | (s[next] & 0x3F);
            low = 0x80;
            high = 0xBF;
        }
        if (invalid) {
            if (strict) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            cp = kReplacement;
        }
        i = next;

        WCHAR units[2];
        if (!out.Put(units, EncodeUtf16(cp, units))) break;
    }
    return Finish(out);
}
