// The request path's shortcuts against the long way round: the conversions'
// ASCII runs against a decoder that takes every unit alone, the string
// argument converted in place against the zero-filled copy it replaces, the
// frame buffer zeroed only behind the read, the short reply body, and the
// DevTools answer formatted only as far as the block reaches.
#include <gtest/gtest.h>

#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "bridge/profiles.h"
#include "bridge/registry.h"
#include "contract/contract.h"
#include "host/handlers.h"
#include "host/request.h"
#include "platform/platform.h"
#include "support/framing.h"
#include "support/handles.h"
#include "support/log.h"
#include "support/text.h"
#include "tests/support/host_fixture.h"

namespace {

typedef std::basic_string<WCHAR> WString;

// Bytes that exercise every road of the UTF-8 decoder: ASCII runs of any
// length (so that runs start and end on either side of an 8-byte word),
// zeros, valid sequences of two to four bytes, surrogates and overlongs,
// sequences cut short, and bytes that never start one.
std::string RandomUtf8(std::mt19937& rng, size_t pieces) {
    static const char* const kPieces[] = {
        "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF",  // valid
        "\xED\xA0\x80", "\xED\xBF\xBF", "\xC0\xAF", "\xE0\x80\xAF",          // surrogates, overlongs
        "\xF4\x90\x80\x80", "\xF5\x80", "\xFF", "\x80", "\xBF",              // out of range, stray
        "\xE2\x82", "\xF0\x9F\x98", "\xC3",                                   // cut short
    };
    std::string out;
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_int_distribution<int> runLength(0, 19);
    std::uniform_int_distribution<size_t> piece(0, sizeof(kPieces) / sizeof(kPieces[0]) - 1);
    for (size_t i = 0; i < pieces; ++i) {
        int k = kind(rng);
        if (k < 5) {
            int n = runLength(rng);
            for (int j = 0; j < n; ++j) out.push_back(static_cast<char>('a' + (j + static_cast<int>(i)) % 26));
        } else if (k == 5) {
            out.push_back('\0');
        } else {
            out += kPieces[piece(rng)];
        }
    }
    return out;
}

#if !defined(_WIN32)
WString RandomUtf16(std::mt19937& rng, size_t pieces) {
    static const WCHAR kUnits[] = {0x00E9, 0x20AC, 0xFFFD, 0xD83D, 0xDE00, 0xDBFF, 0xDC00, 0x0000, 0x007F, 0x0080, 0x07FF, 0x0800};
    WString out;
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_int_distribution<int> runLength(0, 11);
    std::uniform_int_distribution<size_t> unit(0, sizeof(kUnits) / sizeof(kUnits[0]) - 1);
    for (size_t i = 0; i < pieces; ++i) {
        int k = kind(rng);
        if (k < 5) {
            int n = runLength(rng);
            for (int j = 0; j < n; ++j) out.push_back(static_cast<WCHAR>('A' + (j + static_cast<int>(i)) % 26));
        } else if (k == 5) {
            out += {0xD83D, 0xDE00};  // a whole pair
        } else {
            out.push_back(kUnits[unit(rng)]);
        }
    }
    return out;
}

// The expected results, from definitions rather than from a decoder like the
// one under test. A byte sequence is looked up among the encodings of all
// scalar values (Unicode 3.9, D92), which sort in code point order, by binary
// search: at each place, the longest sequence that begins some encoding is
// either a whole character or a maximal subpart, which becomes one U+FFFD
// (Unicode's "U+FFFD substitution of maximal subparts").
std::string EncodeScalar(uint32_t cp) {
    if (cp < 0x80) return std::string(1, static_cast<char>(cp));
    const size_t n = cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    static const unsigned char kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    std::string bytes(n, '\0');
    bytes[0] = static_cast<char>(kLead[n] | (cp >> (6 * (n - 1))));
    for (size_t k = 1; k < n; ++k) bytes[k] = static_cast<char>(0x80 | ((cp >> (6 * (n - 1 - k))) & 0x3F));
    return bytes;
}

// The scalar value whose encoding is the first not below `bytes`, or -1.
int32_t FirstEncodingFrom(const std::string& bytes) {
    const uint32_t count = 0x110000 - 0x800;  // no surrogates
    auto scalarAt = [](uint32_t index) { return index < 0xD800 ? index : index + 0x800; };
    uint32_t low = 0, high = count;
    while (low < high) {
        const uint32_t mid = low + (high - low) / 2;
        if (EncodeScalar(scalarAt(mid)).compare(bytes) < 0) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    return low < count ? static_cast<int32_t>(scalarAt(low)) : -1;
}

std::vector<unsigned> DecodeUtf8(const std::string& s) {
    std::vector<unsigned> out;
    size_t i = 0;
    while (i < s.size()) {
        size_t longest = 0;
        int32_t whole = -1;
        for (size_t n = 1; n <= 4 && i + n <= s.size(); ++n) {
            const std::string piece = s.substr(i, n);
            const int32_t cp = FirstEncodingFrom(piece);
            if (cp < 0 || EncodeScalar(static_cast<uint32_t>(cp)).compare(0, n, piece) != 0) break;
            longest = n;
            whole = EncodeScalar(static_cast<uint32_t>(cp)) == piece ? cp : -1;
        }
        i += longest > 0 ? longest : 1;
        if (whole < 0) {
            out.push_back(0xFFFD);
        } else if (whole >= 0x10000) {
            out.push_back(0xD800 | ((static_cast<unsigned>(whole) - 0x10000) >> 10));
            out.push_back(0xDC00 | ((static_cast<unsigned>(whole) - 0x10000) & 0x3FF));
        } else {
            out.push_back(static_cast<unsigned>(whole));
        }
    }
    return out;
}

std::vector<std::vector<unsigned>> EncodeUtf8(const WString& s) {
    // One group of bytes per character, so that a short buffer can be
    // filled as far as whole characters go.
    std::vector<std::vector<unsigned>> out;
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned u = s[i];
        unsigned cp = u;
        bool high = u >= 0xD800 && u <= 0xDBFF, low = u >= 0xDC00 && u <= 0xDFFF;
        if (high && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((u - 0xD800) << 10) + (s[i + 1] - 0xDC00u);
            ++i;
        } else if (high || low) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back({cp});
        } else if (cp < 0x800) {
            out.push_back({0xC0 | (cp >> 6), 0x80 | (cp & 0x3F)});
        } else if (cp < 0x10000) {
            out.push_back({0xE0 | (cp >> 12), 0x80 | ((cp >> 6) & 0x3F), 0x80 | (cp & 0x3F)});
        } else {
            out.push_back({0xF0 | (cp >> 18), 0x80 | ((cp >> 12) & 0x3F), 0x80 | ((cp >> 6) & 0x3F), 0x80 | (cp & 0x3F)});
        }
    }
    return out;
}

// Units of the UTF-8 decoding grouped by character, for short buffers.
std::vector<std::vector<unsigned>> DecodeUtf8Grouped(const std::string& s) {
    std::vector<std::vector<unsigned>> groups;
    std::vector<unsigned> all = DecodeUtf8(s);
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i] >= 0xD800 && all[i] <= 0xDBFF && i + 1 < all.size()) {
            groups.push_back({all[i], all[i + 1]});
            ++i;
        } else {
            groups.push_back({all[i]});
        }
    }
    return groups;
}

// What a buffer of `capacity` holds after a conversion that stops at the
// first character that does not fit whole.
std::vector<unsigned> Fill(const std::vector<std::vector<unsigned>>& groups, size_t capacity, bool* fits) {
    std::vector<unsigned> out;
    *fits = true;
    for (const auto& group : groups) {
        if (out.size() + group.size() > capacity) {
            *fits = false;
            break;
        }
        out.insert(out.end(), group.begin(), group.end());
    }
    return out;
}

size_t Total(const std::vector<std::vector<unsigned>>& groups) {
    size_t n = 0;
    for (const auto& g : groups) n += g.size();
    return n;
}

TEST(AsciiRoads, Utf8ToUtf16MatchesUnicodesDefinition) {
    std::mt19937 rng(20261208);
    constexpr WCHAR kGuard = 0xABCD;
    for (int round = 0; round < 3000; ++round) {
        std::string bytes = RandomUtf8(rng, 1 + static_cast<size_t>(round % 40));
        if (bytes.empty()) continue;
        SCOPED_TRACE(round);
        auto groups = DecodeUtf8Grouped(bytes);
        size_t total = Total(groups);
        int count = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
        ASSERT_EQ(static_cast<size_t>(count), total);

        // Exact, one unit short, and a capacity drawn at random.
        size_t capacities[] = {total, total > 1 ? total - 1 : 1, 1 + rng() % (total + 2)};
        for (size_t capacity : capacities) {
            std::vector<WCHAR> out(capacity + 4, kGuard);
            SetLastError(0);
            int written = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(),
                                              static_cast<int>(capacity));
            bool fits = false;
            std::vector<unsigned> expected = Fill(groups, capacity, &fits);
            if (fits) {
                ASSERT_EQ(static_cast<size_t>(written), total) << capacity;
            } else {
                ASSERT_EQ(written, 0) << capacity;
                ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
            }
            for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(out[i], expected[i]) << i << " of " << capacity;
            // Nothing beyond the characters that fitted, nothing past the capacity.
            for (size_t i = capacity; i < out.size(); ++i) ASSERT_EQ(out[i], kGuard);
            if (!fits) {
                for (size_t i = expected.size(); i < capacity; ++i) ASSERT_EQ(out[i], kGuard) << i;
            }
        }
    }
}

TEST(AsciiRoads, Utf16ToUtf8MatchesTheEncoderOfOneCharacterAtATime) {
    std::mt19937 rng(7);
    for (int round = 0; round < 3000; ++round) {
        WString units = RandomUtf16(rng, 1 + static_cast<size_t>(round % 40));
        if (units.empty()) continue;
        SCOPED_TRACE(round);
        auto groups = EncodeUtf8(units);
        size_t total = Total(groups);
        int count = WideCharToMultiByte(CP_UTF8, 0, units.data(), static_cast<int>(units.size()), nullptr, 0,
                                        nullptr, nullptr);
        ASSERT_EQ(static_cast<size_t>(count), total);
        size_t capacities[] = {total, total > 1 ? total - 1 : 1, 1 + rng() % (total + 2)};
        for (size_t capacity : capacities) {
            std::vector<char> out(capacity + 4, '\x5A');
            int written = WideCharToMultiByte(CP_UTF8, 0, units.data(), static_cast<int>(units.size()), out.data(),
                                              static_cast<int>(capacity), nullptr, nullptr);
            bool fits = false;
            std::vector<unsigned> expected = Fill(groups, capacity, &fits);
            ASSERT_EQ(written, fits ? static_cast<int>(total) : 0) << capacity;
            for (size_t i = 0; i < expected.size(); ++i) {
                ASSERT_EQ(static_cast<unsigned char>(out[i]), expected[i]) << i << " of " << capacity;
            }
            for (size_t i = fits ? capacity : expected.size(); i < out.size(); ++i) ASSERT_EQ(out[i], '\x5A') << i;
        }
    }
}

TEST(AsciiRoads, RunsThatMeetTheEndOfTheInputOrABufferEdge) {
    // Every length from 0 to 40 of ASCII before one two-byte character, with
    // and without a terminator counted in (-1), into buffers that end in the
    // run, at its end, and inside the character.
    for (size_t run = 0; run <= 40; ++run) {
        std::string bytes = std::string(run, 'x') + "\xC3\xA9";
        int count = MultiByteToWideChar(CP_UTF8, 0, bytes.c_str(), -1, nullptr, 0);
        EXPECT_EQ(count, static_cast<int>(run + 2)) << run;
        for (size_t capacity = run > 2 ? run - 2 : 1; capacity <= run + 3; ++capacity) {
            std::vector<WCHAR> out(capacity + 1, 0x1111);
            int written = MultiByteToWideChar(CP_UTF8, 0, bytes.c_str(), -1, out.data(), static_cast<int>(capacity));
            EXPECT_EQ(written, capacity >= run + 2 ? static_cast<int>(run + 2) : 0) << run << " " << capacity;
            size_t ascii = capacity < run ? capacity : run;
            for (size_t i = 0; i < ascii; ++i) ASSERT_EQ(out[i], W('x'));
            if (capacity > run) {
                EXPECT_EQ(out[run], 0x00E9);
            }
            EXPECT_EQ(out[capacity], 0x1111);
        }
        WString wide = WString(run, W('y')) + W("\u20AC");
        EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr),
                  static_cast<int>(run + 4))
            << run;
        std::vector<char> narrow(run + 2, '\x5A');
        EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, narrow.data(), static_cast<int>(run + 1), nullptr,
                                      nullptr),
                  0);
        for (size_t i = 0; i < run; ++i) ASSERT_EQ(narrow[i], 'y');
        EXPECT_EQ(narrow[run], '\x5A');  // the three bytes of the euro sign did not fit in one
    }
}
#endif  // !_WIN32

// ---- the request path ---------------------------------------------------------

struct Seen {
    WString text;  // every unit of the argument text's buffer up to its last
    DWORD size = 0;
};
std::vector<Seen> g_seen;
size_t g_expectUnits = 0;  // units the buffer must hold, terminator included

void RecordAnswer(const WCHAR* text, DWORD size, int) { g_seen.push_back({WString(text, g_expectUnits), size}); }
void IgnoreFindHandle(int) {}

class RequestShortcuts : public InProcessRequestTest {
protected:
    RequestShortcuts() : InProcessRequestTest({IgnoreFindHandle, RecordAnswer, RecordAnswer}, W("FastPathTest")) {}
    void SetUp() override {
        InProcessRequestTest::SetUp();
        g_seen.clear();
    }
};

// JSON for the bytes, every byte that is not plain ASCII as a \u escape
// would change it: control bytes escaped, the rest raw.
std::string JsonString(const std::string& bytes) {
    std::string out = "\"";
    for (unsigned char b : bytes) {
        if (b == '"' || b == '\\') {
            out += '\\';
            out += static_cast<char>(b);
        } else if (b < 0x20) {
            char escape[8];
            snprintf(escape, sizeof(escape), "\\u%04x", b);
            out += escape;
        } else {
            out += static_cast<char>(b);
        }
    }
    return out + "\"";
}

TEST_F(RequestShortcuts, StringArgumentIsTheConversionOfItsZeroFilledCopy) {
    // The argument text must be what the UTF-8 conversion makes of the
    // string's bytes up to its first zero byte, followed by zeros to m + 1
    // bytes: every unit of it, the zeros behind the text included.
    std::mt19937 rng(42);
    std::vector<std::string> cases = {"", "7;abc", std::string("ab\0cd", 5), std::string("\0", 1),
                                      std::string("a\xC3\0\xA9", 4), std::string("\xE2\x82\0\0x", 5),
                                      std::string(37, 'q') + std::string("\0\xF0\x9F\x98\x80", 5)};
    for (int i = 0; i < 300; ++i) cases.push_back(RandomUtf8(rng, 1 + static_cast<size_t>(i % 25)));
    for (const std::string& bytes : cases) {
        SCOPED_TRACE(JsonString(bytes));
        std::string copy(bytes.size() + 1, '\0');
        memcpy(&copy[0], bytes.data(), strnlen(bytes.c_str(), bytes.size()));
        int units = MultiByteToWideChar(CP_UTF8, 0, copy.data(), static_cast<int>(copy.size()), nullptr, 0);
        ASSERT_GT(units, 0);
        WString expected(static_cast<size_t>(units) + 1, 0);
        MultiByteToWideChar(CP_UTF8, 0, copy.data(), static_cast<int>(copy.size()), &expected[0], units);

        g_seen.clear();
        g_expectUnits = expected.size();
        Handle("{\"CommandID\":\"ReturnUrlList\",\"CommandArgs\":" + JsonString(bytes) + "}");
        ASSERT_EQ(g_seen.size(), 1u);
        EXPECT_EQ(g_seen[0].size, bytes.size() + 1);
        EXPECT_EQ(g_seen[0].text, expected);
    }
}

TEST_F(RequestShortcuts, IntegerArgumentIsWrittenAsPercentD) {
    const int values[] = {0, 7, -1, 10, 99, 100, -10, 2147483647, -2147483647, INT_MIN, 1000000000, -999999999};
    for (int value : values) {
        g_seen.clear();
        g_expectUnits = ARGUMENT_TEXT_UNITS;
        Handle("{\"CommandID\":\"ReturnCheckDevtools\",\"CommandArgs\":" + std::to_string(value) + "}");
        ASSERT_EQ(g_seen.size(), 1u) << value;
        WCHAR expected[ARGUMENT_TEXT_UNITS] = {};
        StringCchPrintfW(expected, ARGUMENT_TEXT_UNITS, W("%d"), value);
        // All 260 units: the digits, then zeros.
        EXPECT_EQ(g_seen[0].text, WString(expected, ARGUMENT_TEXT_UNITS)) << value;
        EXPECT_EQ(g_seen[0].size, 20u);
    }
}

TEST_F(RequestShortcuts, CommandWordStopsAtItsFirstZeroByte) {
    // Converted where it lies, the command word still ends where a copy cut
    // at the zero byte would: the first is ReturnUrlList, the second "Return".
    g_expectUnits = 1;
    Handle(R"({"CommandID":"ReturnUrlList\u0000x","CommandArgs":""})");
    EXPECT_EQ(g_seen.size(), 1u);
    Handle(R"({"CommandID":"Return\u0000UrlList","CommandArgs":""})");
    EXPECT_EQ(g_seen.size(), 1u);
    std::vector<std::string> bodies;
    ASSERT_TRUE(SplitFrames(Output(), &bodies));
    EXPECT_EQ(bodies, std::vector<std::string>(1, kReplyBody));
}

TEST_F(RequestShortcuts, LargeRequestsStillReachTheHandlerWhole) {
    // The frame's buffer and the document go before the handler runs; the
    // text it gets is still the whole argument.
    for (size_t size : {size_t{2047}, size_t{2048}, size_t{2049}, size_t{70000}, size_t{1000000}}) {
        std::string body = PaddedRequest("ReturnUrlList", size);
        size_t argument = body.size() - std::string("{\"CommandID\":\"ReturnUrlList\",\"CommandArgs\":\"\"}").size();
        g_seen.clear();
        g_expectUnits = argument + 1;
        Handle(body);
        ASSERT_EQ(g_seen.size(), 1u) << size;
        EXPECT_EQ(g_seen[0].size, argument + 1);
        EXPECT_EQ(g_seen[0].text, WString(argument, W('a')) + WString(1, 0)) << size;
    }
}

TEST_F(RequestShortcuts, ReplyBodiesOfEveryResultCode) {
    const int codes[] = {-1, 0, 5, -2147483647, INT_MIN, INT_MAX};
    for (int code : codes) SendReply(code, W(""));
    SendReply(3, nullptr);
    std::vector<std::string> bodies;
    ASSERT_TRUE(SplitFrames(Output(), &bodies));
    ASSERT_EQ(bodies.size(), 7u);
    for (size_t i = 0; i < 6; ++i) {
        char expected[260];
        snprintf(expected, sizeof(expected), "{\"Result\":\"%d\",\"Data\":\"%s\"}", codes[i], "");
        EXPECT_EQ(bodies[i], expected);
    }
    EXPECT_EQ(bodies[6], "{\"Result\":\"3\",\"Data\":\"\"}");
    // Trace lines are on in this folder: each reply still logs its body.
    EXPECT_EQ(CountMessage(folder.ReadLog(), 0, "[SOD] : {\"Result\":\"-1\",\"Data\":\"\"}"), 1u);
    EXPECT_EQ(MessagesStartingWith(folder.ReadLog(), 0, "[SOD] : ").size(), 7u);
}

TEST_F(RequestShortcuts, ReplyBodiesAreNotLoggedWithTraceOff) {
    ASSERT_TRUE(folder.WriteIni(CLIENT_INI_WITH_DEBUG("0")));
    ResetLogState();
    SetLogName(W("FastPathTest"));
    SendReply(-1, W(""));  // the first log call of the run reads the ini
    SendReply(-1, W(""));
    std::vector<std::string> bodies;
    ASSERT_TRUE(SplitFrames(Output(), &bodies));
    EXPECT_EQ(bodies, std::vector<std::string>(2, kReplyBody));
    EXPECT_TRUE(MessagesStartingWith(folder.ReadLog(), 0, "[SOD]").empty());
}

// ---- the frame reader ---------------------------------------------------------

TEST(FrameBufferShortcut, BytesTheInputDidNotDeliverAreZero) {
    // The buffer is no longer cleared before the read: whatever the input
    // leaves out must still read as zeros, up to and with the terminator.
    for (size_t delivered : {size_t{0}, size_t{1}, size_t{5}, size_t{19}, size_t{20}}) {
        FILE* input = tmpfile();
        ASSERT_NE(input, nullptr);
        std::string bytes = LengthPrefix(20) + std::string(delivered, 'z');
        fwrite(bytes.data(), 1, bytes.size(), input);
        rewind(input);
        FILE* output = tmpfile();
        SetFrameStreams(input, output);
        // Whatever the heap hands out next has been written all over.
        for (int i = 0; i < 8; ++i) {
            HeapArray<char> dirty = AllocUninitialized<char>(21);
            memset(dirty.get(), 0x77, 21);
        }
        HeapArray<char> request;
        ASSERT_EQ(ReadFramedRequest(&request), FRAME_REQUEST);
        SetFrameStreams(nullptr, nullptr);
        fclose(input);
        fclose(output);
        for (size_t i = 0; i < delivered; ++i) EXPECT_EQ(request[i], 'z');
        for (size_t i = delivered; i <= 20; ++i) EXPECT_EQ(request[i], '\0') << delivered << " " << i;
    }
}

// ---- the DevTools answer -------------------------------------------------------

TEST(DevtoolAnswerShortcut, BlockIsWhatTheWholeTextWouldGive) {
    HostFolder folder;
    std::string error;
    ASSERT_TRUE(folder.Create(&error)) << error;
    folder.UseInThisProcess();
    ResetLogState();
    const DWORD kMapping = 4096;
    UniqueHandle block(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kMapping,
                                          g_ChromeProfile.lpszDevtoolResultBlock));
    ASSERT_TRUE(block);
    UniqueView view(MapViewOfFile(block.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, kMapping));
    ASSERT_TRUE(view);
    unsigned char* bytes = static_cast<unsigned char*>(view.get());

    // Texts whose answers end before, at and after the 130 units of the
    // block, with argument sizes that make the buffer shorter or longer.
    for (size_t length : {size_t{0}, size_t{1}, size_t{110}, size_t{111}, size_t{112}, size_t{113}, size_t{125},
                          size_t{126}, size_t{127}, size_t{128}, size_t{129}, size_t{130}, size_t{200}, size_t{100000}}) {
        for (DWORD size : {static_cast<DWORD>(length + 1), DWORD{14}, DWORD{114}, DWORD{115}, DWORD{200}}) {
            SCOPED_TRACE(std::to_string(length) + " units, size " + std::to_string(size));
            WString text = W("3;") + WString(length, W('d'));
            memset(bytes, 0xEE, kMapping);
            ReturnCheckDevtools(text.c_str(), size, 2);

            // The long way: the whole text in n units, its first min(2n, 260) bytes.
            size_t units = size + 16;
            std::vector<WCHAR> whole(units, 0);
            StringCchPrintfW(whole.data(), units, W("%x;%s"), HandleValue(LookupWindowHandle(3)), text.c_str());
            size_t copied = units * 2 < 260 ? units * 2 : 260;
            std::vector<unsigned char> expected(260, 0);
            memcpy(expected.data(), whole.data(), copied);
            ASSERT_EQ(std::vector<unsigned char>(bytes, bytes + 260), expected);
            for (DWORD i = 260; i < kMapping; ++i) ASSERT_EQ(bytes[i], 0xEE) << i;
        }
    }
    view.reset();
    block.reset();
    ResetLogState();
    folder.Remove();
}

}  // namespace
