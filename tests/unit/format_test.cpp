// FormatWideV against the C runtime's own wide formatter (glibc's vswprintf
// on Linux, msvcrt's _vsnwprintf on Windows), plus the limit contract.
#include <gtest/gtest.h>

#include <limits.h>
#include <stdarg.h>
#include <wchar.h>

#include <list>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/format.h"

namespace {

int ReferenceFormat(wchar_t* destination, size_t limit, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
#if defined(_WIN32)
    int n = _vsnwprintf(destination, limit, format, args);
#else
    int n = vswprintf(destination, limit, format, args);
#endif
    va_end(args);
    return n;
}

// Unit for unit, so that widths and precisions count the same units on both
// sides, lone surrogates included.
std::wstring ToWide(const WCHAR* s, size_t n) {
    std::wstring w;
    for (size_t i = 0; i < n; ++i) w.push_back(static_cast<wchar_t>(s[i]));
    return w;
}

std::wstring ToWide(const WCHAR* s) {
    size_t n = 0;
    while (s[n] != 0) ++n;
    return ToWide(s, n);
}

// The CRT's wide printf takes %s as a narrow string on glibc: ask both for
// the wide forms explicitly.
std::wstring ToReferenceFormat(const WCHAR* format) {
    std::wstring out;
    for (const WCHAR* p = format; *p != 0; ++p) {
        out.push_back(static_cast<wchar_t>(*p));
        if (*p != '%') continue;
        ++p;
        while (*p != 0 && wcschr(L"-+ #0123456789.*", static_cast<wchar_t>(*p)) != nullptr) {
            out.push_back(static_cast<wchar_t>(*p++));
        }
        if (*p == 0) break;
        if (*p == 's' || *p == 'c') out.push_back(L'l');
        out.push_back(static_cast<wchar_t>(*p));
    }
    return out;
}

// Keeps converted string arguments alive for the duration of one call.
struct ReferenceArgs {
    std::list<std::wstring> strings;

    const wchar_t* Pass(const WCHAR* s) {
        if (s == nullptr) return nullptr;
        strings.push_back(ToWide(s));
        return strings.back().c_str();
    }
    int Pass(int v) { return v; }
    unsigned Pass(unsigned v) { return v; }
    long long Pass(long long v) { return v; }
    unsigned long long Pass(unsigned long long v) { return v; }
};

template <typename... Args>
std::wstring Ours(const WCHAR* format, Args... args) {
    std::vector<WCHAR> buffer(4096, 0);
    int n = FormatWide(buffer.data(), buffer.size(), format, args...);
    EXPECT_GE(n, 0) << "format " << ToWide(format).c_str();
    return n < 0 ? std::wstring() : ToWide(buffer.data(), static_cast<size_t>(n));
}

template <typename... Args>
std::wstring Reference(const WCHAR* format, Args... args) {
    ReferenceArgs keep;
    std::wstring referenceFormat = ToReferenceFormat(format);
    std::vector<wchar_t> buffer(4096, 0);
    int n = ReferenceFormat(buffer.data(), buffer.size(), referenceFormat.c_str(), keep.Pass(args)...);
    EXPECT_GE(n, 0) << "reference failed on " << referenceFormat.c_str();
    return n < 0 ? std::wstring() : std::wstring(buffer.data(), static_cast<size_t>(n));
}

#define EXPECT_AS_REFERENCE(format, ...) \
    EXPECT_EQ(Reference(format, __VA_ARGS__), Ours(format, __VA_ARGS__)) << ToWide(format).c_str()

const WCHAR* const kIntegerFormats[] = {
    W("%d"),     W("%i"),      W("%5d"),    W("%-5d|"),  W("%05d"),   W("%+d"),    W("% d"),
    W("%.3d"),   W("%8.3d"),   W("%-8.3d|"), W("%.0d"),   W("%+05d"),  W("% 05d"),
    W("%-+6d|"), W("%x"),      W("%X"),     W("%#x"),    W("%#X"),    W("%#010x"), W("%08X"),
    W("%.6x"),   W("%#.0x"),   W("%u"),     W("%10u"),   W("%-10u|"), W("%+u"),    W("% u"),
    W("%1d"),    W("%012d"),   W("%-012d|"), W("%.12u"),
};

const int kIntegerValues[] = {0, 1, -1, 7, -42, 255, 4096, 65535, 123456789, INT_MAX, INT_MIN};

TEST(FormatWideReference, IntegersInEveryFlagCombination) {
    for (const WCHAR* format : kIntegerFormats) {
        for (int value : kIntegerValues) {
            EXPECT_AS_REFERENCE(format, value);
        }
    }
}

TEST(FormatWideReference, UnsignedExtremes) {
    const unsigned values[] = {0u, 1u, 0x80000000u, 0xDEADBEEFu, UINT_MAX};
    const WCHAR* const formats[] = {W("%u"), W("%x"), W("%X"), W("%#x"), W("%12u"), W("%-12X|"), W("%d")};
    for (const WCHAR* format : formats) {
        for (unsigned value : values) {
            EXPECT_AS_REFERENCE(format, value);
        }
    }
}

TEST(FormatWideReference, SixtyFourBitIntegers) {
    const WCHAR* const signedFormats[] = {W("%lld"), W("%25lld"), W("%-25lld|"), W("%+lld"), W("%025lld")};
    const long long signedValues[] = {0, -1, LLONG_MIN, LLONG_MAX, 1234567890123ll};
    for (const WCHAR* format : signedFormats) {
        for (long long value : signedValues) {
            EXPECT_AS_REFERENCE(format, value);
        }
    }
    const WCHAR* const unsignedFormats[] = {W("%llu"), W("%llx"), W("%#llX"), W("%020llx")};
    const unsigned long long unsignedValues[] = {0ull, ULLONG_MAX, 0x123456789ABCDEFull};
    for (const WCHAR* format : unsignedFormats) {
        for (unsigned long long value : unsignedValues) {
            EXPECT_AS_REFERENCE(format, value);
        }
    }
}

TEST(FormatWideReference, StringsWithWidthAndPrecision) {
    const WCHAR* const formats[] = {W("%s"),  W("[%10s]"), W("[%-10s]"), W("%.3s"), W("[%10.3s]"),
                                    W("[%-10.3s]"), W("[%.0s]"), W("%1s"), W("%.30s")};
    const WCHAR* const values[] = {
        W(""), W("abc"), W("h\u00E9llo w\u00F6rld"), W("\u65E5\u672C\u8A9E"),
        W("a\U0001F600b"),  // a surrogate pair counts as two units
        W("\xD800 lone"),  // unpaired surrogates pass through unchanged
    };
    for (const WCHAR* format : formats) {
        for (const WCHAR* value : values) {
            EXPECT_AS_REFERENCE(format, value);
        }
    }
}

TEST(FormatWideReference, CharactersAndPercent) {
    const WCHAR* const formats[] = {W("%c"), W("[%5c]"), W("[%-5c]")};
    const int values[] = {'A', 0xE9, 0x65E5};
    for (const WCHAR* format : formats) {
        for (int value : values) {
            EXPECT_AS_REFERENCE(format, value);
        }
    }
    EXPECT_AS_REFERENCE(W("100%% of %d%%"), 5);
    EXPECT_AS_REFERENCE(W("%%d %s"), W("x"));
}

TEST(FormatWideReference, StarWidthAndPrecision) {
    EXPECT_AS_REFERENCE(W("[%*d]"), 6, 42);
    EXPECT_AS_REFERENCE(W("[%*d]"), -6, 42);  // negative width means left-aligned
    EXPECT_AS_REFERENCE(W("[%.*d]"), 4, 42);
    EXPECT_AS_REFERENCE(W("[%.*d]"), -4, 42);  // negative precision means none
    EXPECT_AS_REFERENCE(W("[%*.*d]"), 8, 4, -42);
    EXPECT_AS_REFERENCE(W("[%*s]"), 7, W("ab"));
    EXPECT_AS_REFERENCE(W("[%-*s]"), 7, W("ab"));
    EXPECT_AS_REFERENCE(W("[%.*s]"), 2, W("abcdef"));
}

TEST(FormatWideReference, MixedDirectivesAndNonAsciiLiterals) {
    EXPECT_AS_REFERENCE(W("\u00E9%d\u00FC"), 3);
    EXPECT_AS_REFERENCE(W("%s=%d;%x|%X"), W("key"), -1, 255u, 48879u);
    EXPECT_AS_REFERENCE(W("\r\n   [%02d/%02d %02d:%02d:%02d][%04X:%04X] "), 3, 7, 14, 5, 9, 0x1A2C, 0x12345);
    EXPECT_AS_REFERENCE(W("%s\\%04d%02d%02d_%s.log"), W("C:\\stelvo\\dump"), 2024, 3, 7, W("host"));
}

// C turns the '0' flag off when an integer has a precision. Wine's msvcrt
// pads with zeros regardless, so this is no reference case.
TEST(FormatWide, PrecisionTurnsZeroPaddingOff) {
    EXPECT_EQ(ToWide(W("     007")), Ours(W("%08.3d"), 7));
    EXPECT_EQ(ToWide(W("    -042")), Ours(W("%08.3d"), -42));
    EXPECT_EQ(ToWide(W("     0ff")), Ours(W("%08.3x"), 255));
    EXPECT_EQ(ToWide(W("[    ]")), Ours(W("[%04.0d]"), 0));
}

TEST(FormatWide, NullStringPrintsNullMarker) {
    EXPECT_EQ(ToWide(W("[(null)]")), Ours(W("[%s]"), static_cast<const WCHAR*>(nullptr)));
    EXPECT_EQ(ToWide(W("[(nu]")), Ours(W("[%.3s]"), static_cast<const WCHAR*>(nullptr)));
}

TEST(FormatWide, LengthModifiers) {
    // h, l and w leave the argument 32-bit: nothing is narrowed to a short.
    EXPECT_EQ(ToWide(W("70000 70000 -5")), Ours(W("%hd %ld %wd"), 70000, 70000, -5));
    EXPECT_EQ(ToWide(W("ab cd")), Ours(W("%ls %ws"), W("ab"), W("cd")));
    EXPECT_EQ(ToWide(W("-9223372036854775808 ffffffffffffffff")),
              Ours(W("%I64d %I64x"), LLONG_MIN, ULLONG_MAX));
    // A 64-bit argument must not shift the arguments that follow it.
    EXPECT_EQ(ToWide(W("1 2 3")), Ours(W("%d %I64d %d"), 1, 2ll, 3));
}

TEST(FormatWide, UnknownDirectivesAreWrittenAsTheyStand) {
    EXPECT_EQ(ToWide(W("a%qb")), Ours(W("a%qb")));
    EXPECT_EQ(ToWide(W("[%-5q] 7")), Ours(W("[%-5q] %d"), 7));
    EXPECT_EQ(ToWide(W("%I32d")), Ours(W("%I32d")));
    EXPECT_EQ(ToWide(W("end%")), Ours(W("end%")));
    EXPECT_EQ(ToWide(W("end%5")), Ours(W("end%5")));
}

TEST(FormatWide, ZeroFlagPadsStringsAndCharacters) {
    EXPECT_EQ(ToWide(W("000ab")), Ours(W("%05s"), W("ab")));
    EXPECT_EQ(ToWide(W("ab   ")), Ours(W("%-05s"), W("ab")));
    EXPECT_EQ(ToWide(W("00x")), Ours(W("%03c"), 'x'));
}

TEST(FormatWide, PrecisionBoundsTheReadOfAnUnterminatedString) {
    const WCHAR unterminated[3] = {'x', 'y', 'z'};
    EXPECT_EQ(ToWide(W("xyz")), Ours(W("%.3s"), static_cast<const WCHAR*>(unterminated)));
}

// The limit contract, checked for every limit around the output length with
// guard units on both sides of the writable area.
class FormatWideLimit : public ::testing::Test {
protected:
    static constexpr WCHAR kGuard = 0xABCD;
    static constexpr size_t kGuardUnits = 8;

    // Formats with the given limit and checks all of the contract.
    void CheckLimit(const std::wstring& full, size_t limit, const WCHAR* format, int value) {
        std::vector<WCHAR> buffer(limit + 2 * kGuardUnits, kGuard);
        WCHAR* destination = buffer.data() + kGuardUnits;
        int n = FormatWide(destination, limit, format, value);

        SCOPED_TRACE(testing::Message() << "limit " << limit);
        if (full.size() <= limit) {
            EXPECT_EQ(static_cast<int>(full.size()), n);
        } else {
            EXPECT_EQ(-1, n);
        }
        size_t written = full.size() < limit ? full.size() : limit;
        EXPECT_EQ(full.substr(0, written), ToWide(destination, written));
        if (full.size() < limit) {
            EXPECT_EQ(0, destination[full.size()]) << "terminator";
            for (size_t i = full.size() + 1; i < limit; ++i) EXPECT_EQ(kGuard, destination[i]);
        }
        for (size_t i = 0; i < kGuardUnits; ++i) {
            EXPECT_EQ(kGuard, buffer[i]) << "before, unit " << i;
            EXPECT_EQ(kGuard, destination[limit + i]) << "after, unit " << i;
        }
    }
};

TEST_F(FormatWideLimit, EveryLimitAroundTheOutput) {
    const WCHAR* const formats[] = {W("id=%d;"), W("[%-12d]"), W("%012d"), W("%#x"), W("%%%d%%")};
    for (const WCHAR* format : formats) {
        std::wstring full = Ours(format, -12345);
        for (size_t limit = 0; limit <= full.size() + 2; ++limit) {
            CheckLimit(full, limit, format, -12345);
        }
    }
}

TEST_F(FormatWideLimit, ExactFitHasNoTerminator) {
    WCHAR buffer[8];
    for (WCHAR& unit : buffer) unit = kGuard;
    EXPECT_EQ(5, FormatWide(buffer, 5, W("ab%dc"), 42));
    EXPECT_EQ(ToWide(W("ab42c")), ToWide(buffer, 5));
    EXPECT_EQ(kGuard, buffer[5]);
}

TEST_F(FormatWideLimit, OneUnitOverIsCutUnterminated) {
    WCHAR buffer[8];
    for (WCHAR& unit : buffer) unit = kGuard;
    EXPECT_EQ(-1, FormatWide(buffer, 4, W("ab%dc"), 42));
    EXPECT_EQ(ToWide(W("ab42")), ToWide(buffer, 4));
    EXPECT_EQ(kGuard, buffer[4]);
}

TEST_F(FormatWideLimit, ZeroLimitWritesNothing) {
    WCHAR unit = kGuard;
    EXPECT_EQ(0, FormatWide(&unit, 0, W("")));
    EXPECT_EQ(-1, FormatWide(&unit, 0, W("x")));
    EXPECT_EQ(kGuard, unit);
}

TEST_F(FormatWideLimit, CutInsideAStringArgument) {
    WCHAR buffer[8];
    for (WCHAR& unit : buffer) unit = kGuard;
    EXPECT_EQ(-1, FormatWide(buffer, 3, W("%s"), W("\U0001F600\U0001F600")));
    EXPECT_EQ(0xD83D, buffer[0]);
    EXPECT_EQ(0xDE00, buffer[1]);
    EXPECT_EQ(0xD83D, buffer[2]);
    EXPECT_EQ(kGuard, buffer[3]);
}

TEST_F(FormatWideLimit, HugeWidthStopsAtTheLimit) {
    WCHAR buffer[16];
    for (WCHAR& unit : buffer) unit = kGuard;
    EXPECT_EQ(-1, FormatWide(buffer, 10, W("%2000000000d"), 1));
    EXPECT_EQ(ToWide(W("          ")), ToWide(buffer, 10));
    EXPECT_EQ(kGuard, buffer[10]);
}

}  // namespace
