#include "tools/log_reader/log_decode.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace {

const size_t kPrefixSize = 33;  // "\r\n<E>[03/07 14:05:09][1A2C:0F3C] "

std::string Marker(int level) {
    return level == 1 ? "<A>" : level == 2 ? "<E>" : "   ";
}

std::string RecordText(int level, const std::string& message, const std::string& pid = "1A2C",
                       const std::string& tid = "0F3C", const std::string& stamp = "03/07 14:05:09") {
    return "\r\n" + Marker(level) + "[" + stamp + "][" + pid + ":" + tid + "] " + message;
}

// The plain byte that the writer stores as `stored` at index i of a record.
char PlainFor(unsigned char stored, size_t i) {
    return static_cast<char>(~(stored ^ (i & 0xFF)));
}

// Puts plain bytes at message offset `at` (text offset at + prefix) that
// scramble to "@!@", so the stored record holds a false separator there.
std::string MessageWithStoredSeparator(size_t message_size, size_t at) {
    std::string message(message_size, 'a');
    const size_t t = kPrefixSize + at;
    message[at] = PlainFor('@', t);
    message[at + 1] = PlainFor('!', t + 1);
    message[at + 2] = PlainFor('@', t + 2);
    return message;
}

// Each consumed byte belongs to exactly one record (text plus separator) or
// was skipped, and every record re-encodes to the bytes it came from.
void ExpectAccountedFor(const std::string& bytes, const LogDecodeResult& r) {
    ASSERT_LE(r.consumed, bytes.size());
    size_t covered = r.skipped;
    size_t last_end = 0;
    for (const LogRecord& rec : r.records) {
        ASSERT_GE(rec.offset, last_end);
        ASSERT_GE(rec.text.size(), kPrefixSize);
        ASSERT_LE(rec.text.size(), 4091u);
        std::string stored = EncodeLogRecord(rec.text);
        if (!rec.complete) stored.resize(rec.text.size());
        ASSERT_EQ(bytes.compare(rec.offset, stored.size(), stored), 0) << "record at " << rec.offset;
        covered += stored.size();
        last_end = rec.offset + stored.size();
    }
    EXPECT_EQ(covered, r.consumed);
}

TEST(LogDecodeRoundTrip, EachLevelAndItsFields) {
    std::string file;
    for (int level = 0; level <= 2; ++level) file += EncodeLogRecord(RecordText(level, "msg " + std::to_string(level)));
    LogDecodeResult r = DecodeLogBuffer(file);
    ASSERT_EQ(r.records.size(), 3u);
    EXPECT_EQ(r.consumed, file.size());
    EXPECT_EQ(r.skipped, 0u);
    size_t offset = 0;
    for (int level = 0; level <= 2; ++level) {
        const LogRecord& rec = r.records[level];
        EXPECT_EQ(rec.level, level);
        EXPECT_EQ(rec.offset, offset);
        EXPECT_EQ(rec.stamp, "03/07 14:05:09");
        EXPECT_EQ(rec.pid, "1A2C");
        EXPECT_EQ(rec.tid, "0F3C");
        EXPECT_EQ(rec.message, "msg " + std::to_string(level));
        EXPECT_EQ(rec.text, RecordText(level, rec.message));
        EXPECT_TRUE(rec.complete);
        offset += rec.text.size() + 3;
    }
}

TEST(LogDecodeRoundTrip, MessageEdgeCases) {
    const std::string long_message(4091 - kPrefixSize, 'x');
    const std::string messages[] = {
        "",
        long_message,
        "first line\r\nsecond line\r\n",
        "plain @!@ in the text @!@",
        "@!@",
        std::string("bytes \x01\xff\x80\0 end", 14),
    };
    for (const std::string& message : messages) {
        std::string text = RecordText(2, message);
        LogDecodeResult r = DecodeLogBuffer(EncodeLogRecord(text) + EncodeLogRecord(RecordText(0, "next")));
        ASSERT_EQ(r.records.size(), 2u) << message.size();
        EXPECT_EQ(r.records[0].text, text);
        EXPECT_EQ(r.records[0].message, message);
        EXPECT_EQ(r.records[1].message, "next");
        EXPECT_EQ(r.skipped, 0u);
    }
}

TEST(LogDecodeRoundTrip, IdsLongerThanFourDigits) {
    LogDecodeResult r = DecodeLogBuffer(EncodeLogRecord(RecordText(2, "m", "1A2C3", "FFFFFFFF")));
    ASSERT_EQ(r.records.size(), 1u);
    EXPECT_EQ(r.records[0].pid, "1A2C3");
    EXPECT_EQ(r.records[0].tid, "FFFFFFFF");
    EXPECT_EQ(r.records[0].message, "m");
}

TEST(LogScrambling, KnownBytesAndKeyWrap) {
    std::string blank = EncodeLogRecord(RecordText(0, ""));
    EXPECT_EQ(blank.substr(0, 3), "\xF2\xF4\xDD");
    EXPECT_EQ(EncodeLogRecord(RecordText(2, "")).substr(0, 3), "\xF2\xF4\xC1");
    EXPECT_EQ(blank.substr(blank.size() - 3), "@!@");

    std::string text = RecordText(0, std::string(300, 'Q'));
    std::string stored = EncodeLogRecord(text);
    ASSERT_EQ(stored.size(), text.size() + 3);
    EXPECT_EQ(static_cast<unsigned char>(stored[255]), static_cast<unsigned char>(~'Q' ^ 255));
    EXPECT_EQ(static_cast<unsigned char>(stored[256]), static_cast<unsigned char>(~'Q'));
    EXPECT_EQ(static_cast<unsigned char>(stored[257]), static_cast<unsigned char>(~'Q' ^ 1));
    LogDecodeResult r = DecodeLogBuffer(stored);
    ASSERT_EQ(r.records.size(), 1u);
    EXPECT_EQ(r.records[0].text, text);
}

TEST(LogScrambling, StoredSeparatorInsideRecord) {
    // A query string like "?_=" at text offset 128 is stored as "@!@".
    std::string message(128 - kPrefixSize, 'a');
    message += "?_=1733";
    std::string text = RecordText(2, message);
    std::string stored = EncodeLogRecord(text);
    ASSERT_EQ(stored.substr(128, 3), "@!@");
    std::string file = stored + EncodeLogRecord(RecordText(0, "after"));
    LogDecodeResult r = DecodeLogBuffer(file);
    ASSERT_EQ(r.records.size(), 2u);
    EXPECT_EQ(r.records[0].text, text);
    EXPECT_EQ(r.records[1].message, "after");
    EXPECT_EQ(r.skipped, 0u);
}

TEST(LogScrambling, StoredSeparatorAtEveryOffset) {
    // Includes offsets right before the real separator and past the key wrap.
    const size_t message_size = 300;
    for (size_t at = 0; at + 3 <= message_size; ++at) {
        std::string text = RecordText(0, MessageWithStoredSeparator(message_size, at));
        std::string stored = EncodeLogRecord(text);
        ASSERT_EQ(stored.substr(kPrefixSize + at, 3), "@!@");
        for (bool final : {true, false}) {
            LogDecodeResult r = DecodeLogBuffer(stored + stored, final);
            ASSERT_EQ(r.records.size(), 2u) << "offset " << at;
            EXPECT_EQ(r.records[0].text, text);
            EXPECT_EQ(r.records[1].text, text);
            EXPECT_EQ(r.consumed, 2 * stored.size());
        }
    }
}

TEST(LogDecodeDamage, GarbageBeforeBetweenAndAfter) {
    const std::string junk1 = "xyz\xF2\xF4@!@";
    // Looks like a record start for three bytes and holds separators.
    const std::string junk2 = std::string("\xF2\xF4\xDD\x00\x01@!@@!@ zero\0\0\0", 19);
    const std::string junk3 = "tail";
    std::string a = EncodeLogRecord(RecordText(2, "one"));
    std::string b = EncodeLogRecord(RecordText(1, "two"));
    std::string file = junk1 + a + junk2 + b + junk3;
    LogDecodeResult r = DecodeLogBuffer(file);
    ASSERT_EQ(r.records.size(), 2u);
    EXPECT_EQ(r.records[0].message, "one");
    EXPECT_EQ(r.records[0].offset, junk1.size());
    EXPECT_EQ(r.records[1].message, "two");
    EXPECT_EQ(r.records[1].offset, junk1.size() + a.size() + junk2.size());
    EXPECT_EQ(r.skipped, junk1.size() + junk2.size() + junk3.size());
    EXPECT_EQ(r.consumed, file.size());
}

TEST(LogDecodeDamage, MalformedPrefixesAreNotRecords) {
    const std::string bad[] = {
        "\r\n<B>[03/07 14:05:09][1A2C:0F3C] m",    // unknown marker
        "\r\n<e>[03/07 14:05:09][1A2C:0F3C] m",    // lower-case marker
        "\r\n<E>[03/07 14:05:09][1a2c:0F3C] m",    // lower-case hex
        "\r\n<E>[03/07 14:05:09][A2C:0F3C] m",     // three-digit id
        "\r\n<E>[03/07 14:05:09][1A2C:123456789] m",  // nine-digit id
        "\r\n<E>[03/07 14:5:09][1A2C:0F3C] m",     // one-digit minute
        "\r\n<E>[03/07 14:05:09][1A2C:0F3C]m",     // no blank after the ids
        "\n\r<E>[03/07 14:05:09][1A2C:0F3C] m",    // swapped line break
    };
    std::string good = EncodeLogRecord(RecordText(0, "good"));
    for (const std::string& text : bad) {
        std::string stored = EncodeLogRecord(text);
        LogDecodeResult r = DecodeLogBuffer(stored + good);
        ASSERT_EQ(r.records.size(), 1u) << text;
        EXPECT_EQ(r.records[0].message, "good");
        EXPECT_EQ(r.skipped, stored.size()) << text;
    }
}

TEST(LogDecodeDamage, TornAndOversizedRecordsAreSkipped) {
    std::string torn = EncodeLogRecord(RecordText(2, "cut short by a crash"));
    torn.resize(torn.size() - 10);
    std::string next = EncodeLogRecord(RecordText(0, "next"));
    LogDecodeResult r = DecodeLogBuffer(torn + next);
    ASSERT_EQ(r.records.size(), 1u);
    EXPECT_EQ(r.records[0].message, "next");
    EXPECT_EQ(r.skipped, torn.size());

    // One byte longer than the writer ever writes.
    std::string oversized = EncodeLogRecord(RecordText(2, std::string(4092 - kPrefixSize, 'o')));
    r = DecodeLogBuffer(oversized + next);
    ASSERT_EQ(r.records.size(), 1u);
    EXPECT_EQ(r.records[0].message, "next");
    EXPECT_EQ(r.skipped, oversized.size());
}

TEST(LogDecodeGrowing, IncompleteTailWaitsForTheRest) {
    std::string first = EncodeLogRecord(RecordText(2, "first"));
    std::string second = EncodeLogRecord(RecordText(0, "second, written in pieces"));
    std::string file = first + second;
    for (size_t cut = first.size(); cut < file.size(); ++cut) {
        LogDecodeResult part = DecodeLogBuffer(file.substr(0, cut), false);
        ASSERT_EQ(part.records.size(), 1u) << "cut at " << cut;
        ASSERT_EQ(part.consumed, first.size()) << "cut at " << cut;
        EXPECT_EQ(part.skipped, 0u);
        LogDecodeResult rest = DecodeLogBuffer(file.substr(part.consumed), false);
        ASSERT_EQ(rest.records.size(), 1u) << "cut at " << cut;
        EXPECT_EQ(rest.records[0].message, "second, written in pieces");
        EXPECT_EQ(rest.consumed, second.size());
    }
}

TEST(LogDecodeGrowing, FinalReturnsTrailingRecordWithoutSeparator) {
    std::string first = EncodeLogRecord(RecordText(2, "first"));
    std::string tail = EncodeLogRecord(RecordText(0, "never finished"));
    tail.resize(tail.size() - 3);
    LogDecodeResult r = DecodeLogBuffer(first + tail, true);
    ASSERT_EQ(r.records.size(), 2u);
    EXPECT_TRUE(r.records[0].complete);
    EXPECT_FALSE(r.records[1].complete);
    EXPECT_EQ(r.records[1].message, "never finished");
    EXPECT_EQ(r.consumed, first.size() + tail.size());

    // Too little of the last record to know it is one.
    r = DecodeLogBuffer(first + tail.substr(0, 10), true);
    ASSERT_EQ(r.records.size(), 1u);
    EXPECT_EQ(r.skipped, 10u);
    EXPECT_EQ(r.consumed, first.size() + 10);
}

TEST(LogDecodeFuzz, ArbitraryInputIsAccountedFor) {
    std::mt19937 rng(20240307);
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    for (int round = 0; round < 3000; ++round) {
        std::string bytes;
        size_t pieces = 1 + pick(6);
        for (size_t p = 0; p < pieces; ++p) {
            switch (pick(4)) {
                case 0: {  // random bytes, rich in separator and record-start bytes
                    static const char kAlphabet[] = "@!@\xF2\xF4\xDD\xC1x";
                    size_t n = pick(300);
                    for (size_t i = 0; i < n; ++i) {
                        bytes += pick(2) ? kAlphabet[pick(8)] : static_cast<char>(rng());
                    }
                    break;
                }
                case 1:
                    bytes += EncodeLogRecord(RecordText(static_cast<int>(pick(3)), std::string(pick(600), 'm')));
                    break;
                default: {  // a record with a few bytes changed, dropped or cut
                    std::string rec = EncodeLogRecord(
                        RecordText(2, MessageWithStoredSeparator(100 + pick(400), pick(90))));
                    for (size_t k = pick(4); k > 0; --k) rec[pick(rec.size())] = static_cast<char>(rng());
                    if (pick(3) == 0) rec.erase(pick(rec.size()), 1 + pick(20));
                    if (pick(3) == 0) rec.resize(pick(rec.size() + 1));
                    bytes += rec;
                    break;
                }
            }
        }
        for (bool final : {true, false}) {
            LogDecodeResult r = DecodeLogBuffer(bytes, final);
            ExpectAccountedFor(bytes, r);
            if (final) {
                EXPECT_EQ(r.consumed, bytes.size());
            }
            if (::testing::Test::HasFatalFailure() || ::testing::Test::HasNonfatalFailure()) {
                FAIL() << "round " << round << " final " << final;
            }
        }
    }
}

TEST(LogRecordLine, Formatting) {
    LogRecord rec = DecodeLogBuffer(EncodeLogRecord(RecordText(2, "open failed\r\nretry \x01\t\xE9"))).records.at(0);
    EXPECT_EQ(FormatLogRecordLine(rec), "<E>[03/07 14:05:09][1A2C:0F3C] open failed\\r\\nretry \\x01\t\xE9");
    rec = DecodeLogBuffer(EncodeLogRecord(RecordText(1, ""))).records.at(0);
    EXPECT_EQ(FormatLogRecordLine(rec), "<A>[03/07 14:05:09][1A2C:0F3C] ");
    rec = DecodeLogBuffer(EncodeLogRecord(RecordText(0, "lf\n"))).records.at(0);
    EXPECT_EQ(FormatLogRecordLine(rec), "   [03/07 14:05:09][1A2C:0F3C] lf\\n");
    rec.complete = false;
    EXPECT_EQ(FormatLogRecordLine(rec), "   [03/07 14:05:09][1A2C:0F3C] lf\\n [incomplete]");
}

class LogFollowTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        path_ = std::filesystem::temp_directory_path() /
                ("orv_logfollow_" + std::to_string(stamp) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log");
        follower_.path = path_;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove(path_, ec);
    }
    void Write(const std::string& bytes, bool append) {
        std::ofstream out(path_, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
        out << bytes;
        ASSERT_TRUE(out.good());
    }
    LogPollStatus Poll(bool final = false) { return PollLogFile(follower_, final, &result_); }

    std::filesystem::path path_;
    LogFileFollower follower_;
    LogDecodeResult result_;
};

TEST_F(LogFollowTest, GrowsAppearsAndRestarts) {
    EXPECT_EQ(Poll(), LogPollStatus::kMissing);

    std::string a = EncodeLogRecord(RecordText(2, "a"));
    std::string b = EncodeLogRecord(RecordText(0, "b"));
    std::string c = EncodeLogRecord(RecordText(1, "c"));
    Write(a + b.substr(0, 20), false);
    ASSERT_EQ(Poll(), LogPollStatus::kRead);
    ASSERT_EQ(result_.records.size(), 1u);
    EXPECT_EQ(result_.records[0].message, "a");

    ASSERT_EQ(Poll(), LogPollStatus::kRead);
    EXPECT_TRUE(result_.records.empty());

    Write(b.substr(20) + c, true);
    ASSERT_EQ(Poll(), LogPollStatus::kRead);
    ASSERT_EQ(result_.records.size(), 2u);
    EXPECT_EQ(result_.records[0].message, "b");
    EXPECT_EQ(result_.records[0].offset, a.size());
    EXPECT_EQ(result_.records[1].offset, a.size() + b.size());

    // Shorter than what was read.
    Write(c, false);
    ASSERT_EQ(Poll(), LogPollStatus::kRestarted);
    ASSERT_EQ(result_.records.size(), 1u);
    EXPECT_EQ(result_.records[0].message, "c");
    EXPECT_EQ(result_.records[0].offset, 0u);

    // Replaced by a longer file: the bytes already read changed.
    std::string d = EncodeLogRecord(RecordText(2, "d, a longer record than c"));
    Write(d + a, false);
    ASSERT_EQ(Poll(), LogPollStatus::kRestarted);
    ASSERT_EQ(result_.records.size(), 2u);
    EXPECT_EQ(result_.records[0].message, "d, a longer record than c");
    EXPECT_EQ(result_.records[1].message, "a");
}

TEST_F(LogFollowTest, FinalPollReadsAFinishedFile) {
    std::string a = EncodeLogRecord(RecordText(2, "a"));
    std::string torn = EncodeLogRecord(RecordText(0, "torn"));
    torn.resize(torn.size() - 3);
    Write(a + torn, false);
    ASSERT_EQ(Poll(true), LogPollStatus::kRead);
    ASSERT_EQ(result_.records.size(), 2u);
    EXPECT_FALSE(result_.records[1].complete);
    EXPECT_EQ(result_.records[1].message, "torn");
}

}  // namespace
