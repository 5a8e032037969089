// WideCharToMultiByte / MultiByteToWideChar as the core uses them: sizes,
// terminators, short buffers, and what becomes of text that is not valid.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

typedef std::basic_string<WCHAR> WString;

constexpr char kGuardByte = '\x5A';
constexpr WCHAR kGuard = 0xABCD;

std::string Hex(const std::string& bytes) {
    std::string out;
    for (unsigned char b : bytes) {
        char part[4];
        snprintf(part, sizeof(part), "%02X ", b);
        out += part;
    }
    return out;
}

std::string Hex(const WString& units) {
    std::string out;
    for (WCHAR u : units) {
        char part[8];
        snprintf(part, sizeof(part), "%04X ", static_cast<unsigned>(u));
        out += part;
    }
    return out;
}

// Converts the whole of units (no terminator) to UTF-8 through a buffer of
// exactly the required size, checking the size query on the way.
std::string ToUtf8(const WString& units) {
    int size = WideCharToMultiByte(CP_UTF8, 0, units.data(), static_cast<int>(units.size()), nullptr, 0,
                                   nullptr, nullptr);
    EXPECT_GT(size, 0);
    std::vector<char> out(static_cast<size_t>(size) + 4, kGuardByte);
    int written = WideCharToMultiByte(CP_UTF8, 0, units.data(), static_cast<int>(units.size()), out.data(),
                                      size, nullptr, nullptr);
    EXPECT_EQ(size, written);
    for (size_t i = static_cast<size_t>(size); i < out.size(); ++i) EXPECT_EQ(kGuardByte, out[i]);
    return std::string(out.data(), written > 0 ? static_cast<size_t>(written) : 0);
}

WString FromUtf8(const std::string& bytes, DWORD flags = 0) {
    int size = MultiByteToWideChar(CP_UTF8, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (size == 0) return WString();
    std::vector<WCHAR> out(static_cast<size_t>(size) + 4, kGuard);
    int written =
        MultiByteToWideChar(CP_UTF8, flags, bytes.data(), static_cast<int>(bytes.size()), out.data(), size);
    EXPECT_EQ(size, written);
    for (size_t i = static_cast<size_t>(size); i < out.size(); ++i) EXPECT_EQ(kGuard, out[i]);
    return WString(out.data(), written > 0 ? static_cast<size_t>(written) : 0);
}

#define EXPECT_BYTES(expected, actual) EXPECT_EQ(Hex(std::string(expected)), Hex(actual))
#define EXPECT_UNITS(expected, actual) EXPECT_EQ(Hex(WString(expected)), Hex(actual))

// ---------------------------------------------------------------------------
// UTF-16 to UTF-8

TEST(WideToUtf8, TerminatedInputCountsTheTerminator) {
    char out[8];
    memset(out, kGuardByte, sizeof(out));
    EXPECT_EQ(4, WideCharToMultiByte(CP_UTF8, 0, W("abc"), -1, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(4, WideCharToMultiByte(CP_UTF8, 0, W("abc"), -1, out, 8, nullptr, nullptr));
    EXPECT_STREQ("abc", out);
    EXPECT_EQ(kGuardByte, out[4]);
}

TEST(WideToUtf8, CountedInputAddsNoTerminator) {
    char out[8];
    memset(out, kGuardByte, sizeof(out));
    EXPECT_EQ(3, WideCharToMultiByte(CP_UTF8, 0, W("abcdef"), 3, out, 8, nullptr, nullptr));
    EXPECT_EQ(0, memcmp(out, "abc", 3));
    EXPECT_EQ(kGuardByte, out[3]);
}

TEST(WideToUtf8, EmbeddedTerminatorInCountedInput) {
    const WCHAR text[] = {W('a'), 0, W('b')};
    EXPECT_EQ(std::string("a\0b", 3), ToUtf8(WString(text, 3)));
}

TEST(WideToUtf8, EncodingLengths) {
    EXPECT_BYTES("\x7F", ToUtf8(W("\u007F")));
    EXPECT_BYTES("\xC2\x80", ToUtf8(W("\u0080")));
    EXPECT_BYTES("\xC3\xA9", ToUtf8(W("\u00E9")));
    EXPECT_BYTES("\xDF\xBF", ToUtf8(W("\u07FF")));
    EXPECT_BYTES("\xE0\xA0\x80", ToUtf8(W("\u0800")));
    EXPECT_BYTES("\xE2\x82\xAC", ToUtf8(W("\u20AC")));
    EXPECT_BYTES("\xEF\xBF\xBF", ToUtf8(W("\uFFFF")));
    EXPECT_BYTES("\xF0\x90\x80\x80", ToUtf8(W("\U00010000")));
    EXPECT_BYTES("\xF0\x9F\x98\x80", ToUtf8(W("\U0001F600")));
    EXPECT_BYTES("\xF4\x8F\xBF\xBF", ToUtf8(W("\U0010FFFF")));
}

TEST(WideToUtf8, LoneSurrogatesBecomeReplacementCharacters) {
    const WCHAR high[] = {W('a'), 0xD83D, W('b')};
    EXPECT_BYTES("a\xEF\xBF\xBD" "b", ToUtf8(WString(high, 3)));
    const WCHAR low[] = {W('a'), 0xDE00, W('b')};
    EXPECT_BYTES("a\xEF\xBF\xBD" "b", ToUtf8(WString(low, 3)));
    const WCHAR reversed[] = {0xDE00, 0xD83D};
    EXPECT_BYTES("\xEF\xBF\xBD\xEF\xBF\xBD", ToUtf8(WString(reversed, 2)));
    // A pair cut by the input length is a lone high surrogate.
    // The low half lies right behind the counted units, where it must not be read.
    const WCHAR pair[] = {W('x'), 0xD83D, 0xDE00};
    char out[8];
    EXPECT_EQ(4, WideCharToMultiByte(CP_UTF8, 0, pair, 2, out, 8, nullptr, nullptr));
    EXPECT_BYTES("x\xEF\xBF\xBD", std::string(out, 4));
}

TEST(WideToUtf8, ShortBufferFailsWithoutOverrun) {
    // "a", U+20AC (3 bytes), terminator: 5 bytes in all.
    for (int capacity = 1; capacity < 5; ++capacity) {
        std::vector<char> out(static_cast<size_t>(capacity) + 4, kGuardByte);
        SetLastError(0);
        EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, W("a\u20AC"), -1, out.data(), capacity, nullptr, nullptr))
            << "capacity " << capacity;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
        for (size_t i = static_cast<size_t>(capacity); i < out.size(); ++i) {
            EXPECT_EQ(kGuardByte, out[i]) << "capacity " << capacity << ", byte " << i;
        }
    }
    char exact[5];
    EXPECT_EQ(5, WideCharToMultiByte(CP_UTF8, 0, W("a\u20AC"), -1, exact, 5, nullptr, nullptr));
    EXPECT_STREQ("a\xE2\x82\xAC", exact);
}

TEST(WideToUtf8, InvalidArguments) {
    char out[4];
    SetLastError(0);
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, W("abc"), 0, out, 4, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    SetLastError(0);
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, nullptr, -1, out, 4, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    SetLastError(0);
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, W("abc"), -1, out, -1, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(WideToAnsiCodePage, AsciiText) {
    char out[16];
    EXPECT_EQ(6, WideCharToMultiByte(CP_ACP, 0, W("[SOD]"), -1, out, 16, nullptr, nullptr));
    EXPECT_STREQ("[SOD]", out);
}

// ---------------------------------------------------------------------------
// UTF-8 to UTF-16

TEST(Utf8ToWide, TerminatedInputCountsTheTerminator) {
    WCHAR out[8];
    for (WCHAR& u : out) u = kGuard;
    EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 0));
    EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, out, 8));
    EXPECT_UNITS(W("abc"), WString(out));
    EXPECT_EQ(kGuard, out[4]);
}

TEST(Utf8ToWide, CountedInputKeepsZeroBytes) {
    // As the request parser passes a string argument: its bytes and the terminator.
    EXPECT_UNITS(WString(W("7;x\0"), 4), FromUtf8(std::string("7;x\0", 4)));
    EXPECT_UNITS(WString(W("a\0b"), 3), FromUtf8(std::string("a\0b", 3)));
}

TEST(Utf8ToWide, SupplementaryCharactersBecomePairs) {
    EXPECT_UNITS(W("\U0001F600"), FromUtf8("\xF0\x9F\x98\x80"));
    EXPECT_UNITS(W("\U00010000\U0010FFFF"), FromUtf8("\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"));
    EXPECT_UNITS(W("\u00E9\u20AC\uFFFD"), FromUtf8("\xC3\xA9\xE2\x82\xAC\xEF\xBF\xBD"));
}

struct InvalidCase {
    const char* name;
    std::string bytes;
    WString expected;
};

// One U+FFFD for each maximal subpart of an ill-formed sequence.
TEST(Utf8ToWide, InvalidSequencesBecomeReplacementCharacters) {
    const InvalidCase cases[] = {
        {"stray continuation", "a\x80" "b", W("a\uFFFDb")},
        {"two stray continuations", "\x80\xBF", W("\uFFFD\uFFFD")},
        {"bad lead bytes", "\xC0\xC1\xF5\xFF", W("\uFFFD\uFFFD\uFFFD\uFFFD")},
        {"overlong two bytes", "\xC0\xAF", W("\uFFFD\uFFFD")},
        {"truncated three bytes", "\xE2\x82" "x", W("\uFFFDx")},
        {"truncated four bytes", "\xF0\x9F\x98" "x", W("\uFFFDx")},
        {"truncated at the end", "x\xF0\x9F\x98", W("x\uFFFD")},
        {"new lead inside a sequence", "\xE2\xC3\xA9", W("\uFFFD\u00E9")},
        {"Unicode's own example", "\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
         W("a\uFFFD\uFFFD\uFFFDb\uFFFDc\uFFFD\uFFFDd")},
    };
    for (const InvalidCase& c : cases) {
        EXPECT_UNITS(c.expected, FromUtf8(c.bytes)) << c.name;
    }
}

// Sequences whose second byte is out of range for their lead byte. Wine 8
// folds the lead and that byte into one U+FFFD, so only the POSIX build is
// held to the count; both must replace and keep what follows.
TEST(Utf8ToWide, SecondByteOutOfRangeForTheLead) {
    const InvalidCase cases[] = {
        {"overlong three bytes", "\xE0\x80\xAF" "z", W("\uFFFD\uFFFD\uFFFDz")},
        {"overlong four bytes", "\xF0\x80\x80\xAF" "z", W("\uFFFD\uFFFD\uFFFD\uFFFDz")},
        {"encoded surrogate", "\xED\xA0\x80" "z", W("\uFFFD\uFFFD\uFFFDz")},
        {"above U+10FFFF", "\xF4\x90\x80\x80" "z", W("\uFFFD\uFFFD\uFFFD\uFFFDz")},
    };
    for (const InvalidCase& c : cases) {
        WString units = FromUtf8(c.bytes);
#if defined(_WIN32)
        ASSERT_GE(units.size(), 2u) << c.name;
        EXPECT_EQ(W('z'), units.back()) << c.name;
        for (size_t i = 0; i + 1 < units.size(); ++i) EXPECT_EQ(0xFFFD, units[i]) << c.name;
#else
        EXPECT_UNITS(c.expected, units) << c.name;
#endif
    }
}

TEST(Utf8ToWide, StrictModeRefusesInvalidInput) {
    WCHAR out[8];
    SetLastError(0);
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xFF", -1, out, 8));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
    SetLastError(0);
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xED\xA0\x80", 3, nullptr, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
    // Valid text, including an encoded U+FFFD, passes.
    EXPECT_EQ(3, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xC3\xA9\xEF\xBF\xBD", -1, out, 8));
}

TEST(Utf8ToWide, ShortBufferFailsWithoutOverrun) {
    // "a", U+1F600 (a pair), terminator: 4 units in all.
    const char* text = "a\xF0\x9F\x98\x80";
    for (int capacity = 1; capacity < 4; ++capacity) {
        std::vector<WCHAR> out(static_cast<size_t>(capacity) + 4, kGuard);
        SetLastError(0);
        EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), capacity)) << "capacity " << capacity;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
        for (size_t i = static_cast<size_t>(capacity); i < out.size(); ++i) {
            EXPECT_EQ(kGuard, out[i]) << "capacity " << capacity << ", unit " << i;
        }
    }
}

TEST(Utf8ToWide, InvalidArguments) {
    WCHAR out[4];
    SetLastError(0);
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "abc", 0, out, 4));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    SetLastError(0);
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, nullptr, -1, out, 4));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    SetLastError(0);
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, out, -1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(Utf8ToWide, AnsiCodePageAsciiText) {
    WCHAR out[16];
    EXPECT_EQ(11, MultiByteToWideChar(CP_ACP, 0, "FindHandle", -1, out, 16));
    EXPECT_UNITS(W("FindHandle"), WString(out));
}

// Every scalar value survives the trip through UTF-8, one plane at a time.
TEST(Utf8RoundTrip, AllScalarValues) {
    for (unsigned plane = 0; plane <= 0x10; ++plane) {
        WString units;
        size_t expectedBytes = 0;
        for (unsigned cp = plane << 16; cp < ((plane + 1) << 16); ++cp) {
            if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) continue;
            expectedBytes += cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
            if (cp < 0x10000) {
                units.push_back(static_cast<WCHAR>(cp));
            } else {
                units.push_back(static_cast<WCHAR>(0xD800 + ((cp - 0x10000) >> 10)));
                units.push_back(static_cast<WCHAR>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
            }
        }
        std::string bytes = ToUtf8(units);
        EXPECT_EQ(expectedBytes, bytes.size()) << "plane " << plane;
        EXPECT_TRUE(FromUtf8(bytes) == units) << "plane " << plane;
    }
}

#if !defined(_WIN32)
// The ANSI code page is UTF-8 here.
TEST(AnsiCodePageIsUtf8, BothDirections) {
    char bytes[8];
    EXPECT_EQ(3, WideCharToMultiByte(CP_ACP, 0, W("\u00E9"), -1, bytes, 8, nullptr, nullptr));
    EXPECT_STREQ("\xC3\xA9", bytes);
    WCHAR units[4];
    EXPECT_EQ(2, MultiByteToWideChar(CP_ACP, 0, "\xE2\x82\xAC", -1, units, 4));
    EXPECT_UNITS(W("\u20AC"), WString(units));
    EXPECT_EQ(2, MultiByteToWideChar(CP_ACP, 0, "\xFF", -1, units, 4));
    EXPECT_UNITS(W("\uFFFD"), WString(units));
}

TEST(AnsiCodePageIsUtf8, UsedDefaultCharIsCleared) {
    char bytes[8];
    BOOL used = TRUE;
    EXPECT_EQ(2, WideCharToMultiByte(CP_ACP, 0, W("a"), -1, bytes, 8, "?", &used));
    EXPECT_EQ(FALSE, used);
    used = TRUE;
    const WCHAR lone[] = {0xD800, 0};
    EXPECT_EQ(4, WideCharToMultiByte(CP_UTF8, 0, lone, -1, bytes, 8, nullptr, &used));
    EXPECT_EQ(FALSE, used);
}

TEST(AnsiCodePageIsUtf8, OtherCodePagesAreRefused) {
    char bytes[8];
    SetLastError(0);
    EXPECT_EQ(0, WideCharToMultiByte(1252, 0, W("a"), -1, bytes, 8, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    WCHAR units[4];
    SetLastError(0);
    EXPECT_EQ(0, MultiByteToWideChar(1252, 0, "a", -1, units, 4));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}
#endif

}  // namespace
