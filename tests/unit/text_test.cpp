// Bounded routines, the field splitter, trimming, the ANSI conversions and
// the kernel32 / C runtime string routines they rest on.
#include <gtest/gtest.h>

#include <errno.h>
#include <limits.h>
#include <locale.h>
#include <string.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/heap.h"
#include "support/text.h"

namespace {

typedef std::basic_string<WCHAR> WString;

constexpr WCHAR kGuard = 0xABCD;
constexpr char kGuardByte = '\x5A';

WString Str(const WCHAR* s) { return s == nullptr ? WString() : WString(s); }

// Printable form for failure messages; non-ASCII units as \uXXXX.
std::string Show(const WString& s) {
    std::string out;
    for (WCHAR c : s) {
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[8];
            snprintf(hex, sizeof(hex), "\\u%04X", static_cast<unsigned>(c));
            out += hex;
        }
    }
    return out;
}

std::string Show(const WCHAR* s) { return s == nullptr ? std::string("<null>") : Show(WString(s)); }

#define EXPECT_WSTREQ(expected, actual) EXPECT_EQ(Show(expected), Show(actual))

// A writable area of the given capacity with guard units behind it.
struct GuardedWide {
    std::vector<WCHAR> units;
    size_t capacity;

    explicit GuardedWide(size_t cch, WCHAR fill = kGuard) : units(cch + 8, fill), capacity(cch) {
        for (size_t i = cch; i < units.size(); ++i) units[i] = kGuard;
    }
    WCHAR* data() { return units.data(); }
    bool GuardIntact() const {
        for (size_t i = capacity; i < units.size(); ++i) {
            if (units[i] != kGuard) return false;
        }
        return true;
    }
};

HRESULT VPrintf(WCHAR* destination, size_t capacity, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    HRESULT hr = StringCchVPrintfW(destination, capacity, format, args);
    va_end(args);
    return hr;
}

// ---------------------------------------------------------------------------
// StringCchPrintfW / StringCchVPrintfW

TEST(StringCchPrintfW, OutputWithRoomToSpare) {
    GuardedWide buffer(16);
    EXPECT_EQ(0, StringCchPrintfW(buffer.data(), 16, W("id=%d;%s"), -7, W("ab")));
    EXPECT_WSTREQ(W("id=-7;ab"), buffer.data());
    EXPECT_TRUE(buffer.GuardIntact());
}

TEST(StringCchPrintfW, ExactlyCapacityMinusOneUnitsFit) {
    GuardedWide buffer(6);
    EXPECT_EQ(0, StringCchPrintfW(buffer.data(), 6, W("ab%dc"), 42));
    EXPECT_WSTREQ(W("ab42c"), buffer.data());
    EXPECT_TRUE(buffer.GuardIntact());
}

TEST(StringCchPrintfW, OneUnitOverIsCutAndTerminated) {
    GuardedWide buffer(5);
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, StringCchPrintfW(buffer.data(), 5, W("ab%dc"), 42));
    EXPECT_WSTREQ(W("ab42"), buffer.data());
    EXPECT_TRUE(buffer.GuardIntact());
}

TEST(StringCchPrintfW, CapacityOne) {
    GuardedWide empty(1);
    EXPECT_EQ(0, StringCchPrintfW(empty.data(), 1, W("")));
    EXPECT_EQ(0, empty.data()[0]);
    EXPECT_TRUE(empty.GuardIntact());

    GuardedWide cut(1);
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, StringCchPrintfW(cut.data(), 1, W("%d"), 5));
    EXPECT_EQ(0, cut.data()[0]);
    EXPECT_TRUE(cut.GuardIntact());
}

TEST(StringCchPrintfW, InvalidCapacityLeavesDestinationUntouched) {
    GuardedWide buffer(4);
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchPrintfW(buffer.data(), 0, W("x")));
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER,
              StringCchPrintfW(buffer.data(), static_cast<size_t>(STRSAFE_MAX_CCH) + 1, W("x")));
    EXPECT_EQ(kGuard, buffer.data()[0]);
    EXPECT_TRUE(buffer.GuardIntact());
}

TEST(StringCchPrintfW, LongMessageKeepsCapacityMinusOneUnits) {
    WString long5000(5000, W('m'));
    GuardedWide buffer(4096);
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, VPrintf(buffer.data(), 4096, W("%s"), long5000.c_str()));
    EXPECT_EQ(WString(4095, W('m')), Str(buffer.data()));
    EXPECT_TRUE(buffer.GuardIntact());
}

TEST(StringCchPrintfW, ArgumentListReachesTheFormatter) {
    GuardedWide buffer(32);
    EXPECT_EQ(0, VPrintf(buffer.data(), 32, W("[%04X:%04X] %s"), 0x1A2C, 0xF3C, W("go")));
    EXPECT_WSTREQ(W("[1A2C:0F3C] go"), buffer.data());
}

// ---------------------------------------------------------------------------
// StringCchCatW

TEST(StringCchCatW, AppendsBehindExistingText) {
    GuardedWide buffer(10);
    lstrcpynW(buffer.data(), W("abc"), 10);
    EXPECT_EQ(0, StringCchCatW(buffer.data(), 10, W("def")));
    EXPECT_WSTREQ(W("abcdef"), buffer.data());
    EXPECT_TRUE(buffer.GuardIntact());
}

TEST(StringCchCatW, ExactFit) {
    GuardedWide buffer(7);
    lstrcpynW(buffer.data(), W("abc"), 7);
    EXPECT_EQ(0, StringCchCatW(buffer.data(), 7, W("def")));
    EXPECT_WSTREQ(W("abcdef"), buffer.data());
    EXPECT_TRUE(buffer.GuardIntact());
}

TEST(StringCchCatW, OneUnitOverIsCut) {
    GuardedWide buffer(6);
    lstrcpynW(buffer.data(), W("abc"), 6);
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, StringCchCatW(buffer.data(), 6, W("def")));
    EXPECT_WSTREQ(W("abcde"), buffer.data());
    EXPECT_TRUE(buffer.GuardIntact());
}

TEST(StringCchCatW, FullDestination) {
    GuardedWide buffer(4);
    lstrcpynW(buffer.data(), W("abc"), 4);
    EXPECT_EQ(0, StringCchCatW(buffer.data(), 4, W("")));
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, StringCchCatW(buffer.data(), 4, W("d")));
    EXPECT_WSTREQ(W("abc"), buffer.data());
    EXPECT_TRUE(buffer.GuardIntact());
}

TEST(StringCchCatW, CapacityOneOntoEmpty) {
    GuardedWide buffer(1);
    buffer.data()[0] = 0;
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, StringCchCatW(buffer.data(), 1, W("x")));
    EXPECT_EQ(0, buffer.data()[0]);
    EXPECT_TRUE(buffer.GuardIntact());
}

TEST(StringCchCatW, UnterminatedDestinationIsRefusedUnchanged) {
    GuardedWide buffer(4, W('z'));
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchCatW(buffer.data(), 4, W("x")));
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(W('z'), buffer.data()[i]);
    EXPECT_TRUE(buffer.GuardIntact());
}

TEST(StringCchCatW, InvalidCapacityLeavesDestinationUntouched) {
    GuardedWide buffer(4);
    buffer.data()[0] = W('a');
    buffer.data()[1] = 0;
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchCatW(buffer.data(), 0, W("x")));
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER,
              StringCchCatW(buffer.data(), static_cast<size_t>(STRSAFE_MAX_CCH) + 1, W("x")));
    EXPECT_WSTREQ(W("a"), buffer.data());
    EXPECT_EQ(kGuard, buffer.data()[2]);
}

// ---------------------------------------------------------------------------
// StringCchCopyA

struct GuardedNarrow {
    std::vector<char> bytes;
    size_t capacity;
    explicit GuardedNarrow(size_t cb) : bytes(cb + 8, kGuardByte), capacity(cb) {}
    char* data() { return bytes.data(); }
    bool GuardIntact() const {
        for (size_t i = capacity; i < bytes.size(); ++i) {
            if (bytes[i] != kGuardByte) return false;
        }
        return true;
    }
};

TEST(StringCchCopyA, CapacityEdges) {
    GuardedNarrow roomy(8);
    EXPECT_EQ(0, StringCchCopyA(roomy.data(), 8, "@!@"));
    EXPECT_STREQ("@!@", roomy.data());
    EXPECT_TRUE(roomy.GuardIntact());

    GuardedNarrow exact(4);
    EXPECT_EQ(0, StringCchCopyA(exact.data(), 4, "@!@"));
    EXPECT_STREQ("@!@", exact.data());
    EXPECT_TRUE(exact.GuardIntact());

    GuardedNarrow over(3);
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, StringCchCopyA(over.data(), 3, "@!@"));
    EXPECT_STREQ("@!", over.data());
    EXPECT_TRUE(over.GuardIntact());

    GuardedNarrow one(1);
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, StringCchCopyA(one.data(), 1, "@"));
    EXPECT_EQ(0, one.data()[0]);
    EXPECT_EQ(0, StringCchCopyA(one.data(), 1, ""));
    EXPECT_TRUE(one.GuardIntact());
}

TEST(StringCchCopyA, InvalidCapacityLeavesDestinationUntouched) {
    GuardedNarrow buffer(4);
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchCopyA(buffer.data(), 0, "x"));
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER,
              StringCchCopyA(buffer.data(), static_cast<size_t>(STRSAFE_MAX_CCH) + 1, "x"));
    EXPECT_EQ(kGuardByte, buffer.data()[0]);
}

// ---------------------------------------------------------------------------
// TrimWhiteSpace

int Trim(WString& s) {
    s.push_back(0);
    int n = TrimWhiteSpace(&s[0]);
    s.resize(lstrlenW(s.c_str()));
    return n;
}

TEST(TrimWhiteSpace, BothEnds) {
    WString s = W("  \t12 \r\n");
    EXPECT_EQ(2, Trim(s));
    EXPECT_WSTREQ(W("12"), s.c_str());
}

TEST(TrimWhiteSpace, InnerWhiteSpaceStays) {
    WString s = W(" a b ");
    EXPECT_EQ(3, Trim(s));
    EXPECT_WSTREQ(W("a b"), s.c_str());
}

TEST(TrimWhiteSpace, LeadingOrTrailingOnly) {
    WString leading = W("\t\tab");
    EXPECT_EQ(2, Trim(leading));
    EXPECT_WSTREQ(W("ab"), leading.c_str());
    WString trailing = W("ab\n");
    EXPECT_EQ(2, Trim(trailing));
    EXPECT_WSTREQ(W("ab"), trailing.c_str());
    WString none = W("ab");
    EXPECT_EQ(2, Trim(none));
    EXPECT_WSTREQ(W("ab"), none.c_str());
}

TEST(TrimWhiteSpace, WhiteSpaceOnlyBecomesEmpty) {
    WCHAR text[] = W("\t\r\n \v\f ");
    EXPECT_EQ(0, TrimWhiteSpace(text));
    // Every unit is gone, not just the first.
    for (WCHAR unit : text) EXPECT_EQ(0, unit);
}

TEST(TrimWhiteSpace, EmptyAndMissing) {
    WCHAR empty[] = W("");
    EXPECT_EQ(0, TrimWhiteSpace(empty));
    EXPECT_EQ(0, TrimWhiteSpace(nullptr));
}

TEST(TrimWhiteSpace, MoveKeepsAtMostFieldLengthUnits) {
    WString s = W(" ") + WString(9000, W('x'));
    EXPECT_EQ(TOKENIZER_FIELD_UNITS - 1, Trim(s));
    EXPECT_EQ(WString(TOKENIZER_FIELD_UNITS - 1, W('x')), s);
}

// ---------------------------------------------------------------------------
// Tokenizer

class TokenizerTest : public ::testing::Test {
protected:
    Tokenizer tokenizer;
};

TEST_F(TokenizerTest, IdBeforeSeparator) {
    const WCHAR text[] = W("12;abc");
    EXPECT_WSTREQ(W("12"), TokenizerBegin(&tokenizer, text));
    EXPECT_EQ(text + 3, tokenizer.position);
    EXPECT_EQ(1, tokenizer.trim);
    EXPECT_WSTREQ(W(";"), tokenizer.separators);
    EXPECT_WSTREQ(W("abc"), TokenizerNext(&tokenizer));
    EXPECT_EQ(nullptr, tokenizer.position);
    EXPECT_EQ(nullptr, TokenizerNext(&tokenizer));
}

TEST_F(TokenizerTest, FieldIsTrimmed) {
    EXPECT_WSTREQ(W("12"), TokenizerBegin(&tokenizer, W(" 12 ;abc")));
    EXPECT_WSTREQ(W("abc"), TokenizerNext(&tokenizer));
    EXPECT_WSTREQ(W(""), TokenizerBegin(&tokenizer, W(" \t ;x")));
}

TEST_F(TokenizerTest, TrimOffKeepsWhiteSpace) {
    TokenizerBegin(&tokenizer, W("a; b ;c"));
    tokenizer.trim = 0;
    EXPECT_WSTREQ(W(" b "), TokenizerNext(&tokenizer));
}

TEST_F(TokenizerTest, LeadingSeparatorGivesEmptyField) {
    const WCHAR text[] = W(";12");
    WCHAR* field = TokenizerBegin(&tokenizer, text);
    ASSERT_NE(nullptr, field);
    EXPECT_WSTREQ(W(""), field);
    EXPECT_EQ(text + 1, tokenizer.position);
    EXPECT_WSTREQ(W("12"), TokenizerNext(&tokenizer));
}

TEST_F(TokenizerTest, EmptyFieldBetweenSeparators) {
    EXPECT_WSTREQ(W("a"), TokenizerBegin(&tokenizer, W("a;;b")));
    EXPECT_WSTREQ(W(""), TokenizerNext(&tokenizer));
    EXPECT_WSTREQ(W("b"), TokenizerNext(&tokenizer));
    EXPECT_EQ(nullptr, TokenizerNext(&tokenizer));
}

TEST_F(TokenizerTest, NoSeparatorTakesTheRest) {
    EXPECT_WSTREQ(W("12"), TokenizerBegin(&tokenizer, W("12")));
    EXPECT_EQ(nullptr, tokenizer.position);
    EXPECT_EQ(nullptr, TokenizerNext(&tokenizer));
}

TEST_F(TokenizerTest, TrailingSeparatorEndsTheFields) {
    EXPECT_WSTREQ(W("12"), TokenizerBegin(&tokenizer, W("12;")));
    EXPECT_EQ(nullptr, TokenizerNext(&tokenizer));
}

TEST_F(TokenizerTest, NothingToSplit) {
    EXPECT_EQ(nullptr, TokenizerBegin(&tokenizer, W("")));
    EXPECT_EQ(nullptr, TokenizerBegin(&tokenizer, nullptr));
    EXPECT_EQ(nullptr, TokenizerBegin(nullptr, W("12")));
    EXPECT_EQ(nullptr, TokenizerNext(nullptr));
}

TEST_F(TokenizerTest, AnyOfSeveralSeparators) {
    TokenizerBegin(&tokenizer, W("x"));
    lstrcpynW(tokenizer.separators, W(",;"), TOKENIZER_SEPARATOR_UNITS);
    tokenizer.position = W("a,b;c");
    EXPECT_WSTREQ(W("a"), TokenizerNext(&tokenizer));
    EXPECT_WSTREQ(W("b"), TokenizerNext(&tokenizer));
    EXPECT_WSTREQ(W("c"), TokenizerNext(&tokenizer));
}

TEST_F(TokenizerTest, WholeFieldIsClearedBetweenCalls) {
    WString text = WString(100, W('a')) + W(";b");
    TokenizerBegin(&tokenizer, text.c_str());
    EXPECT_WSTREQ(W("b"), TokenizerNext(&tokenizer));
    for (size_t i = 1; i < TOKENIZER_FIELD_UNITS; ++i) {
        ASSERT_EQ(0, tokenizer.field[i]) << "unit " << i;
    }
}

TEST_F(TokenizerTest, LongestFieldBeforeSeparatorIsWhole) {
    WString field(TOKENIZER_FIELD_UNITS - 1, W('7'));
    WString text = field + W(";x");
    EXPECT_EQ(field, Str(TokenizerBegin(&tokenizer, text.c_str())));
    EXPECT_WSTREQ(W("x"), TokenizerNext(&tokenizer));
}

TEST_F(TokenizerTest, FieldOneUnitTooLongIsCut) {
    WString text = WString(TOKENIZER_FIELD_UNITS - 1, W('7')) + W("8;x");
    EXPECT_EQ(WString(TOKENIZER_FIELD_UNITS - 1, W('7')), Str(TokenizerBegin(&tokenizer, text.c_str())));
    EXPECT_EQ(0, tokenizer.field[TOKENIZER_FIELD_UNITS - 1]);
    EXPECT_WSTREQ(W("x"), TokenizerNext(&tokenizer));
}

TEST_F(TokenizerTest, LongRestWithoutSeparatorIsCut) {
    WString text(9000, W('q'));
    EXPECT_EQ(WString(TOKENIZER_FIELD_UNITS - 1, W('q')), Str(TokenizerBegin(&tokenizer, text.c_str())));
    EXPECT_EQ(nullptr, tokenizer.position);
}

// ---------------------------------------------------------------------------
// WideToAnsi / AnsiToWide

struct AnsiBuffer {
    char bytes[ANSI_TEXT_BYTES + 8];
    AnsiBuffer() { memset(bytes, kGuardByte, sizeof(bytes)); }
    bool GuardIntact() const {
        for (size_t i = ANSI_TEXT_BYTES; i < sizeof(bytes); ++i) {
            if (bytes[i] != kGuardByte) return false;
        }
        return true;
    }
};

TEST(WideToAnsi, AsciiText) {
    AnsiBuffer out;
    WideToAnsi(W("{\"Data\":\"x\"}"), out.bytes);
    EXPECT_STREQ("{\"Data\":\"x\"}", out.bytes);
}

TEST(WideToAnsi, LongTextKeeps259Bytes) {
    WString text(300, W('a'));
    AnsiBuffer out;
    WideToAnsi(text.c_str(), out.bytes);
    EXPECT_EQ(std::string(ANSI_TEXT_BYTES - 1, 'a'), std::string(out.bytes));
    EXPECT_TRUE(out.GuardIntact());
}

TEST(WideToAnsi, MissingOrEmptySourceLeavesDestination) {
    AnsiBuffer out;
    strcpy(out.bytes, "keep");
    WideToAnsi(W(""), out.bytes);
    EXPECT_STREQ("keep", out.bytes);
    WideToAnsi(nullptr, out.bytes);
    EXPECT_STREQ("keep", out.bytes);
    WideToAnsi(W("x"), nullptr);
}

TEST(WideToAnsi, FailedAllocationLeavesDestination) {
    AnsiBuffer out;
    strcpy(out.bytes, "keep");
    InjectAllocationFailure(1);
    WideToAnsi(W("new"), out.bytes);
    InjectAllocationFailure(0);
    EXPECT_STREQ("keep", out.bytes);
}

#if !defined(_WIN32)
// The ANSI code page is UTF-8 here.
TEST(WideToAnsi, NonAsciiTextAsUtf8) {
    AnsiBuffer out;
    // Three bytes for each unit: more than two bytes per unit must fit.
    WideToAnsi(W("\u65E5\u672C\u8A9E"), out.bytes);
    EXPECT_STREQ("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", out.bytes);
    WideToAnsi(W("\U0001F600"), out.bytes);
    EXPECT_STREQ("\xF0\x9F\x98\x80", out.bytes);
}

TEST(WideToAnsi, TwoByteCharacterSplitAtTheEnd) {
    WString text = WString(258, W('a')) + W("\u00E9z");
    AnsiBuffer out;
    WideToAnsi(text.c_str(), out.bytes);
    EXPECT_EQ(std::string(258, 'a') + "\xC3", std::string(out.bytes));
    EXPECT_TRUE(out.GuardIntact());
}
#endif

TEST(AnsiToWide, CapacityOneGivesEmptyString) {
    WCHAR out[3] = {kGuard, kGuard, kGuard};
    AnsiToWide("FindHandle", out, 1);
    EXPECT_EQ(0, out[0]);
    EXPECT_EQ(kGuard, out[1]);
}

TEST(AnsiToWide, CapacityEdges) {
    GuardedWide exact(11);
    AnsiToWide("FindHandle", exact.data(), 11);
    EXPECT_WSTREQ(W("FindHandle"), exact.data());
    EXPECT_TRUE(exact.GuardIntact());

    GuardedWide cut(5);
    AnsiToWide("FindHandle", cut.data(), 5);
    EXPECT_WSTREQ(W("Find"), cut.data());
    EXPECT_TRUE(cut.GuardIntact());
}

TEST(AnsiToWide, NothingWrittenForBadArguments) {
    WCHAR out[4] = {W('k'), 0, kGuard, kGuard};
    AnsiToWide("x", out, 0);
    AnsiToWide("x", out, -1);
    AnsiToWide(nullptr, out, 4);
    AnsiToWide("", out, 4);
    AnsiToWide("x", nullptr, 4);
    EXPECT_WSTREQ(W("k"), out);
    EXPECT_EQ(kGuard, out[2]);
}

TEST(AnsiToWide, FailedAllocationLeavesDestination) {
    WCHAR out[8] = {W('k'), 0};
    InjectAllocationFailure(1);
    AnsiToWide("new", out, 8);
    InjectAllocationFailure(0);
    EXPECT_WSTREQ(W("k"), out);
}

#if !defined(_WIN32)
TEST(AnsiToWide, Utf8AndInvalidBytes) {
    WCHAR out[16];
    AnsiToWide("h\xC3\xA9\xF0\x9F\x98\x80", out, 16);
    EXPECT_WSTREQ(W("h\u00E9\U0001F600"), out);
    AnsiToWide("a\xFF" "b", out, 16);
    EXPECT_WSTREQ(W("a\uFFFDb"), out);
}
#endif

// ---------------------------------------------------------------------------
// The kernel32 and C runtime routines under the core (ours on POSIX, the
// system's on Windows: the same expectations hold for both).

TEST(PlatformStrings, Lengths) {
    EXPECT_EQ(0, lstrlenW(W("")));
    EXPECT_EQ(3, lstrlenW(W("a\U0001F600")));
    EXPECT_EQ(0, lstrlenW(nullptr));
    EXPECT_EQ(4, lstrlenA("abcd"));
    EXPECT_EQ(0, lstrlenA(nullptr));
}

TEST(PlatformStrings, CopyWithLimit) {
    GuardedWide buffer(8);
    EXPECT_EQ(buffer.data(), lstrcpynW(buffer.data(), W("abcdefghij"), 8));
    EXPECT_WSTREQ(W("abcdefg"), buffer.data());
    EXPECT_TRUE(buffer.GuardIntact());

    lstrcpynW(buffer.data(), W("ab"), 8);
    EXPECT_WSTREQ(W("ab"), buffer.data());

    WCHAR one[2] = {W('z'), kGuard};
    lstrcpynW(one, W("abc"), 1);
    EXPECT_EQ(0, one[0]);
    EXPECT_EQ(kGuard, one[1]);

    WCHAR none[1] = {W('z')};
    lstrcpynW(none, W("abc"), 0);
    EXPECT_EQ(W('z'), none[0]);

    char narrow[6];
    memset(narrow, kGuardByte, sizeof(narrow));
    lstrcpynA(narrow, "abcdef", 4);
    EXPECT_STREQ("abc", narrow);
    EXPECT_EQ(kGuardByte, narrow[4]);
}

TEST(PlatformStrings, CaseInsensitiveCompare) {
    EXPECT_EQ(0, _wcsicmp(W("FindHandle"), W("findhandle")));
    EXPECT_EQ(0, _wcsicmp(W("RETURNURLLIST"), W("ReturnUrlList")));
    EXPECT_LT(_wcsicmp(W("abc"), W("ABD")), 0);
    EXPECT_GT(_wcsicmp(W("abcd"), W("ABC")), 0);
    EXPECT_LT(_wcsicmp(W(""), W("a")), 0);
    EXPECT_NE(0, _wcsicmp(W("FindHandle"), W("FindHandlex")));
    // '[' lies between 'Z' and 'a': folding to lower case puts it below every letter.
    EXPECT_LT(_wcsicmp(W("["), W("a")), 0);
    EXPECT_LT(_wcsicmp(W("["), W("A")), 0);

    EXPECT_EQ(0, _wcsnicmp(W("GLOBAL\\x"), W("global\\y"), 7));
    EXPECT_NE(0, _wcsnicmp(W("GLOBAL\\x"), W("global\\y"), 8));
    EXPECT_EQ(0, _wcsnicmp(W("ab"), W("AB"), 10));
    EXPECT_EQ(0, _wcsnicmp(W("a"), W("b"), 0));
}

TEST(PlatformStrings, DecimalToInt) {
    EXPECT_EQ(1, _wtoi(W("1")));
    EXPECT_EQ(2, _wtoi(W(" \t2")));
    EXPECT_EQ(3, _wtoi(W("+3")));
    EXPECT_EQ(7, _wtoi(W("7abc")));
    EXPECT_EQ(-1, _wtoi(W("-1")));
    EXPECT_EQ(0, _wtoi(W("abc")));
    EXPECT_EQ(0, _wtoi(W("")));
    EXPECT_EQ(0, _wtoi(W("+-5")));
    EXPECT_EQ(0, _wtoi(W("- 5")));
    EXPECT_EQ(INT_MAX, _wtoi(W("2147483647")));
    EXPECT_EQ(INT_MIN, _wtoi(W("-2147483648")));
    EXPECT_EQ(12, _wtoi(W("12;abc")));
}

#if !defined(_WIN32)
TEST(PlatformStrings, DecimalToIntClampsOnOverflow) {
    EXPECT_EQ(INT_MAX, _wtoi(W("2147483648")));
    EXPECT_EQ(INT_MAX, _wtoi(W("99999999999999999999999")));
    EXPECT_EQ(INT_MIN, _wtoi(W("-2147483649")));
    EXPECT_EQ(0, _wtoi(nullptr));
}
#endif

TEST(PlatformStrings, FindAnyOf) {
    const WCHAR* text = W("ab;cd,ef");
    EXPECT_EQ(text + 2, wcspbrk(text, W(",;")));
    EXPECT_EQ(text + 5, wcspbrk(text + 3, W(",;")));
    EXPECT_EQ(nullptr, wcspbrk(text, W("xyz")));
    EXPECT_EQ(nullptr, wcspbrk(text, W("")));
    WCHAR mutableText[] = W("x;y");
    WCHAR* found = wcspbrk(mutableText, W(";"));
    ASSERT_NE(nullptr, found);
    *found = W('-');
    EXPECT_WSTREQ(W("x-y"), mutableText);
}

TEST(PlatformStrings, LowerCaseInPlace) {
    WCHAR text[] = W("Chrome.EXE 1");
    EXPECT_EQ(0, _wcslwr_s(text, CountOf(text)));
    EXPECT_WSTREQ(W("chrome.exe 1"), text);
}

#if !defined(_WIN32)
TEST(PlatformStrings, LowerCaseRefusesBadArguments) {
    WCHAR unterminated[3] = {W('A'), W('B'), W('C')};
    EXPECT_EQ(EINVAL, _wcslwr_s(unterminated, 3));
    EXPECT_EQ(0, unterminated[0]);
    EXPECT_EQ(EINVAL, _wcslwr_s(nullptr, 3));
    WCHAR text[] = W("A");
    EXPECT_EQ(EINVAL, _wcslwr_s(text, 0));
    EXPECT_EQ(W('A'), text[0]);
}
#endif

struct PathParts {
    WCHAR drive[_MAX_DRIVE];
    WCHAR dir[_MAX_DIR];
    WCHAR fname[_MAX_FNAME];
    WCHAR ext[_MAX_EXT];
    int Split(const WCHAR* path) {
        return _wsplitpath_s(path, drive, _MAX_DRIVE, dir, _MAX_DIR, fname, _MAX_FNAME, ext, _MAX_EXT);
    }
};

TEST(PlatformStrings, SplitPath) {
    PathParts p;
    ASSERT_EQ(0, p.Split(W("C:\\Program Files\\Stelvo\\orvendel_host.exe")));
    EXPECT_WSTREQ(W("C:"), p.drive);
    EXPECT_WSTREQ(W("\\Program Files\\Stelvo\\"), p.dir);
    EXPECT_WSTREQ(W("orvendel_host"), p.fname);
    EXPECT_WSTREQ(W(".exe"), p.ext);

    ASSERT_EQ(0, p.Split(W("/usr/lib/orvendel/orvendel_host")));
    EXPECT_WSTREQ(W(""), p.drive);
    EXPECT_WSTREQ(W("/usr/lib/orvendel/"), p.dir);
    EXPECT_WSTREQ(W("orvendel_host"), p.fname);
    EXPECT_WSTREQ(W(""), p.ext);

    ASSERT_EQ(0, p.Split(W("dir.d/a.tar.gz")));
    EXPECT_WSTREQ(W("dir.d/"), p.dir);
    EXPECT_WSTREQ(W("a.tar"), p.fname);
    EXPECT_WSTREQ(W(".gz"), p.ext);

    ASSERT_EQ(0, p.Split(W("host")));
    EXPECT_WSTREQ(W(""), p.dir);
    EXPECT_WSTREQ(W("host"), p.fname);

    ASSERT_EQ(0, p.Split(W("D:name.ext")));
    EXPECT_WSTREQ(W("D:"), p.drive);
    EXPECT_WSTREQ(W(""), p.dir);
    EXPECT_WSTREQ(W("name"), p.fname);
    EXPECT_WSTREQ(W(".ext"), p.ext);
}

TEST(PlatformStrings, SplitPathWithOnlySomeParts) {
    WCHAR fname[_MAX_FNAME];
    ASSERT_EQ(0, _wsplitpath_s(W("c:\\a\\b.exe"), nullptr, 0, nullptr, 0, fname, _MAX_FNAME, nullptr, 0));
    EXPECT_WSTREQ(W("b"), fname);
}

TEST(PlatformStrings, SplitPathComponentTooLong) {
    WCHAR drive[_MAX_DRIVE] = W("x");
    WCHAR dir[_MAX_DIR] = W("x");
    WCHAR fname[4] = W("x");
    WCHAR ext[_MAX_EXT] = W("x");
    EXPECT_EQ(ERANGE, _wsplitpath_s(W("c:\\a\\longname.exe"), drive, _MAX_DRIVE, dir, _MAX_DIR, fname,
                                    4, ext, _MAX_EXT));
    EXPECT_WSTREQ(W(""), drive);
    EXPECT_WSTREQ(W(""), dir);
    EXPECT_WSTREQ(W(""), fname);
    EXPECT_WSTREQ(W(""), ext);
}

TEST(PlatformStrings, SetLocaleReportsTheLocale) {
    const WCHAR* name = _wsetlocale(LC_ALL, W("C"));
    ASSERT_NE(nullptr, name);
    EXPECT_WSTREQ(W("C"), name);
    const WCHAR* query = _wsetlocale(LC_ALL, nullptr);
    ASSERT_NE(nullptr, query);
    EXPECT_WSTREQ(W("C"), query);
    EXPECT_EQ(nullptr, _wsetlocale(LC_ALL, W("no-such-locale-xyz")));
    EXPECT_WSTREQ(W("C"), _wsetlocale(LC_ALL, nullptr));
}

}  // namespace
