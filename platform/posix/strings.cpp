// kernel32 and C runtime string routines over UTF-16, as the core calls them.
#include <errno.h>
#include <limits.h>
#include <locale.h>

#include "platform/platform.h"

namespace {

// The C locale's case folding, as the Windows C runtime applies it.
WCHAR FoldAscii(WCHAR c) { return (c >= 'A' && c <= 'Z') ? static_cast<WCHAR>(c + ('a' - 'A')) : c; }

// What the Windows C runtime returns for a null argument to a comparison.
const int kCompareError = INT_MAX;

template <typename T>
int LengthOf(const T* s) {
    if (s == nullptr) return 0;
    size_t n = 0;
    while (s[n] != 0) ++n;
    return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

// The count is unsigned as in kernel32, so a negative limit does not bound
// the copy; 0 copies nothing, not even a terminator.
template <typename T>
T* CopyLimited(T* destination, const T* source, int iMaxLength) {
    if (destination == nullptr || source == nullptr) return nullptr;
    unsigned int count = static_cast<unsigned int>(iMaxLength);
    T* d = destination;
    while (count > 1 && *source != 0) {
        *d++ = *source++;
        --count;
    }
    if (count != 0) *d = 0;
    return destination;
}

template <typename T>
T* FindAny(T* str, const WCHAR* accept) {
    if (str == nullptr || accept == nullptr) return nullptr;
    for (; *str != 0; ++str) {
        for (const WCHAR* a = accept; *a != 0; ++a) {
            if (*a == *str) return str;
        }
    }
    return nullptr;
}

bool IsSeparator(WCHAR c) { return c == '\\' || c == '/'; }

// Copies length units and a terminator, or fails when they do not fit.
bool PutComponent(WCHAR* buffer, size_t capacity, const WCHAR* from, size_t length) {
    if (buffer == nullptr) return true;
    if (length + 1 > capacity) return false;
    for (size_t i = 0; i < length; ++i) buffer[i] = from[i];
    buffer[length] = 0;
    return true;
}

void ClearComponent(WCHAR* buffer, size_t capacity) {
    if (buffer != nullptr && capacity > 0) buffer[0] = 0;
}

// Large enough for a composite LC_ALL name of glibc; a longer one is cut.
const size_t kLocaleNameUnits = 1024;
thread_local WCHAR t_localeName[kLocaleNameUnits];

}  // namespace

int lstrlenW(LPCWSTR lpString) { return LengthOf(lpString); }

int lstrlenA(LPCSTR lpString) { return LengthOf(lpString); }

LPWSTR lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength) {
    return CopyLimited(lpString1, lpString2, iMaxLength);
}

LPSTR lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength) {
    return CopyLimited(lpString1, lpString2, iMaxLength);
}

int _wcsicmp(const WCHAR* a, const WCHAR* b) {
    if (a == nullptr || b == nullptr) {
        errno = EINVAL;
        return kCompareError;
    }
    for (;; ++a, ++b) {
        int ca = FoldAscii(*a);
        int cb = FoldAscii(*b);
        if (ca != cb || ca == 0) return ca - cb;
    }
}

int _wcsnicmp(const WCHAR* a, const WCHAR* b, size_t count) {
    if (count == 0) return 0;
    if (a == nullptr || b == nullptr) {
        errno = EINVAL;
        return kCompareError;
    }
    for (size_t i = 0; i < count; ++i) {
        int ca = FoldAscii(a[i]);
        int cb = FoldAscii(b[i]);
        if (ca != cb || ca == 0) return ca - cb;
    }
    return 0;
}

// Out-of-range values clamp to INT_MAX / INT_MIN, as the current Windows C
// runtime does (older msvcrt.dll wraps instead).
int _wtoi(const WCHAR* str) {
    if (str == nullptr) {
        errno = EINVAL;
        return 0;
    }
    while (*str != 0 && iswspace(*str)) ++str;
    bool negative = false;
    if (*str == '+' || *str == '-') {
        negative = *str == '-';
        ++str;
    }
    // Accumulated as a magnitude bounded by |INT_MIN|.
    const long long bound = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    long long value = 0;
    bool overflow = false;
    for (; *str >= '0' && *str <= '9'; ++str) {
        if (!overflow) {
            value = value * 10 + (*str - '0');
            if (value > bound) overflow = true;
        }
    }
    if (overflow) {
        errno = ERANGE;
        return negative ? INT_MIN : INT_MAX;
    }
    return static_cast<int>(negative ? -value : value);
}

const WCHAR* wcspbrk(const WCHAR* str, const WCHAR* accept) { return FindAny(str, accept); }

WCHAR* wcspbrk(WCHAR* str, const WCHAR* accept) { return FindAny(str, accept); }

// An unterminated string is emptied and refused, as the Windows C runtime does.
int _wcslwr_s(WCHAR* str, size_t numberOfElements) {
    if (str == nullptr || numberOfElements == 0) return EINVAL;
    size_t length = 0;
    while (length < numberOfElements && str[length] != 0) ++length;
    if (length == numberOfElements) {
        str[0] = 0;
        return EINVAL;
    }
    for (size_t i = 0; i < length; ++i) {
        if (str[i] >= 'A' && str[i] <= 'Z') str[i] = FoldAscii(str[i]);
    }
    return 0;
}

int _wsplitpath_s(const WCHAR* path, WCHAR* drive, size_t driveNumberOfElements, WCHAR* dir,
                  size_t dirNumberOfElements, WCHAR* fname, size_t nameNumberOfElements,
                  WCHAR* ext, size_t extNumberOfElements) {
    // Each buffer comes with its size or not at all.
    if (path == nullptr || (drive == nullptr) != (driveNumberOfElements == 0) ||
        (dir == nullptr) != (dirNumberOfElements == 0) ||
        (fname == nullptr) != (nameNumberOfElements == 0) ||
        (ext == nullptr) != (extNumberOfElements == 0)) {
        ClearComponent(drive, driveNumberOfElements);
        ClearComponent(dir, dirNumberOfElements);
        ClearComponent(fname, nameNumberOfElements);
        ClearComponent(ext, extNumberOfElements);
        return EINVAL;
    }

    const WCHAR* p = path;
    size_t driveLength = 0;
    if (p[0] != 0 && p[1] == ':') driveLength = 2;
    p += driveLength;

    // The folder runs to the last separator; the extension starts at the last
    // dot behind it.
    const WCHAR* lastSeparator = nullptr;
    const WCHAR* lastDot = nullptr;
    const WCHAR* end = p;
    for (; *end != 0; ++end) {
        if (IsSeparator(*end)) {
            lastSeparator = end;
            lastDot = nullptr;
        } else if (*end == '.') {
            lastDot = end;
        }
    }
    const WCHAR* nameStart = lastSeparator != nullptr ? lastSeparator + 1 : p;
    const WCHAR* extStart = lastDot != nullptr ? lastDot : end;

    if (!PutComponent(drive, driveNumberOfElements, path, driveLength) ||
        !PutComponent(dir, dirNumberOfElements, p, static_cast<size_t>(nameStart - p)) ||
        !PutComponent(fname, nameNumberOfElements, nameStart, static_cast<size_t>(extStart - nameStart)) ||
        !PutComponent(ext, extNumberOfElements, extStart, static_cast<size_t>(end - extStart))) {
        ClearComponent(drive, driveNumberOfElements);
        ClearComponent(dir, dirNumberOfElements);
        ClearComponent(fname, nameNumberOfElements);
        ClearComponent(ext, extNumberOfElements);
        return ERANGE;
    }
    return 0;
}

WCHAR* _wsetlocale(int category, const WCHAR* locale) {
    const char* result;
    if (locale == nullptr) {
        result = setlocale(category, nullptr);
    } else {
        int units = lstrlenW(locale);
        // Locale names are short; one that does not fit is no locale.
        char narrow[256];
        int bytes = units == 0 ? 0
                               : WideCharToMultiByte(CP_UTF8, 0, locale, units, narrow,
                                                     static_cast<int>(sizeof(narrow)) - 1, nullptr,
                                                     nullptr);
        if (units != 0 && bytes == 0) return nullptr;
        narrow[bytes] = 0;
        result = setlocale(category, narrow);
    }
    if (result == nullptr) return nullptr;

    int units = MultiByteToWideChar(CP_UTF8, 0, result, -1, t_localeName,
                                    static_cast<int>(kLocaleNameUnits));
    if (units == 0) {
        // Locale names are ASCII; one too long for the buffer is cut.
        size_t i = 0;
        for (; i < kLocaleNameUnits - 1 && result[i] != 0; ++i) {
            t_localeName[i] = static_cast<unsigned char>(result[i]);
        }
        t_localeName[i] = 0;
    }
    return t_localeName;
}
