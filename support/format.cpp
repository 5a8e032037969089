#include "support/format.h"

#include <limits.h>

namespace {

// Collects output up to the limit and keeps counting past it, so that the
// caller can tell a cut from an exact fit.
struct WideSink {
    WCHAR* destination;
    size_t limit;
    size_t count;

    bool Full() const { return count > limit; }

    void Put(WCHAR unit) {
        if (count < limit) destination[count] = unit;
        ++count;
    }

    void Repeat(WCHAR unit, size_t times) {
        for (size_t i = 0; i < times && !Full(); ++i) Put(unit);
    }

    void Write(const WCHAR* units, size_t length) {
        for (size_t i = 0; i < length && !Full(); ++i) Put(units[i]);
    }
};

struct Spec {
    bool left = false;
    bool zero = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    size_t width = 0;
    bool hasPrecision = false;
    size_t precision = 0;
    bool wide64 = false;
};

const WCHAR kNull[] = W("(null)");

bool IsDigit(WCHAR c) { return c >= '0' && c <= '9'; }

// Reads a decimal count, saturating instead of overflowing.
size_t ReadCount(const WCHAR*& p) {
    size_t value = 0;
    while (IsDigit(*p)) {
        if (value < static_cast<size_t>(INT_MAX) / 10) {
            value = value * 10 + static_cast<size_t>(*p - '0');
        } else {
            value = INT_MAX;
        }
        ++p;
    }
    return value;
}

// Writes the body with its padding; zero padding goes between the prefix
// (sign, 0x) and the digits.
void EmitPadded(WideSink& out, const Spec& spec, const WCHAR* prefix, size_t prefixLength,
                const WCHAR* body, size_t bodyLength, bool zeroPad) {
    size_t length = prefixLength + bodyLength;
    size_t padding = spec.width > length ? spec.width - length : 0;
    if (spec.left) {
        out.Write(prefix, prefixLength);
        out.Write(body, bodyLength);
        out.Repeat(W(' '), padding);
    } else if (zeroPad) {
        out.Write(prefix, prefixLength);
        out.Repeat(W('0'), padding);
        out.Write(body, bodyLength);
    } else {
        out.Repeat(W(' '), padding);
        out.Write(prefix, prefixLength);
        out.Write(body, bodyLength);
    }
}

void EmitInteger(WideSink& out, const Spec& spec, WCHAR conversion, unsigned long long magnitude,
                 bool negative) {
    const bool isSigned = conversion == 'd' || conversion == 'i';
    const unsigned base = (conversion == 'x' || conversion == 'X') ? 16 : 10;
    const char* digitSet = conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";

    // 20 digits hold any 64-bit value in decimal.
    WCHAR reversed[24];
    size_t digitCount = 0;
    for (unsigned long long v = magnitude; v != 0; v /= base) {
        reversed[digitCount++] = static_cast<WCHAR>(digitSet[v % base]);
    }

    size_t minimumDigits = spec.hasPrecision ? spec.precision : 1;
    size_t leadingZeros = minimumDigits > digitCount ? minimumDigits - digitCount : 0;

    WCHAR prefix[3];
    size_t prefixLength = 0;
    if (isSigned) {
        if (negative) {
            prefix[prefixLength++] = W('-');
        } else if (spec.plus) {
            prefix[prefixLength++] = W('+');
        } else if (spec.space) {
            prefix[prefixLength++] = W(' ');
        }
    }
    if (spec.alternate && base == 16 && magnitude != 0) {
        prefix[prefixLength++] = W('0');
        prefix[prefixLength++] = conversion;
    }

    // A precision turns zero padding off for integers.
    const bool zeroPad = spec.zero && !spec.left && !spec.hasPrecision;
    size_t length = prefixLength + leadingZeros + digitCount;
    size_t padding = spec.width > length ? spec.width - length : 0;

    if (!spec.left && !zeroPad) out.Repeat(W(' '), padding);
    out.Write(prefix, prefixLength);
    if (zeroPad) out.Repeat(W('0'), padding);
    out.Repeat(W('0'), leadingZeros);
    for (size_t i = digitCount; i > 0 && !out.Full(); --i) out.Put(reversed[i - 1]);
    if (spec.left) out.Repeat(W(' '), padding);
}

}  // namespace

int FormatWideV(WCHAR* destination, size_t limit, const WCHAR* format, va_list args) {
    if (format == nullptr || (destination == nullptr && limit != 0)) return -1;

    WideSink out{destination, limit, 0};
    const WCHAR* p = format;

    while (*p != 0 && !out.Full()) {
        if (*p != '%') {
            out.Put(*p++);
            continue;
        }

        const WCHAR* start = p++;
        Spec spec;

        for (;; ++p) {
            if (*p == '-') {
                spec.left = true;
            } else if (*p == '0') {
                spec.zero = true;
            } else if (*p == '+') {
                spec.plus = true;
            } else if (*p == ' ') {
                spec.space = true;
            } else if (*p == '#') {
                spec.alternate = true;
            } else {
                break;
            }
        }

        if (*p == '*') {
            int width = va_arg(args, int);
            if (width < 0) {
                spec.left = true;
                // Negating INT_MIN would overflow; its magnitude is INT_MAX + 1.
                spec.width = static_cast<size_t>(-(static_cast<long long>(width)));
            } else {
                spec.width = static_cast<size_t>(width);
            }
            ++p;
        } else {
            spec.width = ReadCount(p);
        }

        if (*p == '.') {
            ++p;
            spec.hasPrecision = true;
            if (*p == '*') {
                int precision = va_arg(args, int);
                // A negative precision counts as none.
                spec.hasPrecision = precision >= 0;
                spec.precision = precision >= 0 ? static_cast<size_t>(precision) : 0;
                ++p;
            } else {
                spec.precision = ReadCount(p);
            }
        }

        for (;;) {
            if (*p == 'h' || *p == 'w') {
                ++p;
            } else if (*p == 'l') {
                ++p;
                if (*p == 'l') {
                    spec.wide64 = true;
                    ++p;
                }
            } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
                spec.wide64 = true;
                p += 3;
            } else {
                break;
            }
        }

        const WCHAR conversion = *p;
        switch (conversion) {
            case '%':
                out.Put(W('%'));
                ++p;
                break;

            case 'c': {
                WCHAR unit = static_cast<WCHAR>(va_arg(args, int));
                EmitPadded(out, spec, nullptr, 0, &unit, 1, spec.zero && !spec.left);
                ++p;
                break;
            }

            case 's': {
                const WCHAR* text = va_arg(args, const WCHAR*);
                if (text == nullptr) text = kNull;
                // With a precision the argument need not be terminated.
                size_t length = 0;
                while ((!spec.hasPrecision || length < spec.precision) && text[length] != 0) {
                    ++length;
                }
                EmitPadded(out, spec, nullptr, 0, text, length, spec.zero && !spec.left);
                ++p;
                break;
            }

            case 'd':
            case 'i': {
                long long value = spec.wide64 ? va_arg(args, long long) : va_arg(args, int);
                unsigned long long magnitude = value < 0
                                                   ? 0ull - static_cast<unsigned long long>(value)
                                                   : static_cast<unsigned long long>(value);
                EmitInteger(out, spec, conversion, magnitude, value < 0);
                ++p;
                break;
            }

            case 'u':
            case 'x':
            case 'X': {
                unsigned long long value = spec.wide64 ? va_arg(args, unsigned long long)
                                                       : va_arg(args, unsigned int);
                EmitInteger(out, spec, conversion, value, false);
                ++p;
                break;
            }

            default:
                // Unknown or unfinished: the directive is written as it stands,
                // including the unknown unit itself.
                if (conversion != 0) ++p;
                out.Write(start, static_cast<size_t>(p - start));
                break;
        }
    }

    if (out.Full() || out.count > static_cast<size_t>(INT_MAX)) return -1;
    if (out.count < limit) destination[out.count] = 0;
    return static_cast<int>(out.count);
}

int FormatWide(WCHAR* destination, size_t limit, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    int n = FormatWideV(destination, limit, format, args);
    va_end(args);
    return n;
}
