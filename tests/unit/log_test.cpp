// The debug-log writer and its configuration, read back through the decoder
// that orvendel-log uses.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/log.h"
#include "support/text.h"
#include "tests/support/host_fixture.h"

namespace {

// Points this process's log at a fresh Windows folder.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(folder.Create(&error)) << error;
        UseFolder();
        ResetLogState();
    }
    void TearDown() override {
        ResetLogState();
        folder.Remove();
    }
    void UseFolder() {
#if !defined(_WIN32)
        for (const auto& variable : folder.HostEnvironment()) setenv(variable.first.c_str(), variable.second.c_str(), 1);
#endif
    }
    std::string ReadFileBytes(const std::string& name) {
        std::ifstream in(folder.DumpDir() + "/" + name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string TodayFileName(const std::string& logName) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        char name[64];
        snprintf(name, sizeof(name), "%04d%02d%02d_%s.log", now.wYear, now.wMonth, now.wDay, logName.c_str());
        return name;
    }

    HostFolder folder;
};

TEST_F(LogTest, ErrorRecordHasPrefixScramblingAndSeparator) {
    SetLogName(W("LogTest"));
    DebugLog(LOG_ERROR, W("openfilemapp failed..."));

    std::string bytes = ReadFileBytes(TodayFileName("LogTest"));
    ASSERT_GE(bytes.size(), 6u);
    EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0xF2);
    EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0xF4);
    EXPECT_EQ(static_cast<unsigned char>(bytes[2]), 0xC1);
    EXPECT_EQ(bytes.substr(bytes.size() - 3), "@!@");

    LogDecodeResult decoded = DecodeLogBuffer(bytes);
    ASSERT_EQ(decoded.records.size(), 1u);
    const LogRecord& record = decoded.records[0];
    EXPECT_EQ(record.level, 2);
    EXPECT_EQ(record.message, "openfilemapp failed...");
    char pid[16];
    snprintf(pid, sizeof(pid), "%04X", static_cast<unsigned>(GetCurrentProcessId()));
    EXPECT_EQ(record.pid, pid);
    // "\r\n<E>[MM/DD HH:MM:SS][PID:TID] " then the message, nothing after it.
    EXPECT_EQ(record.text.substr(0, 6), "\r\n<E>[");
    EXPECT_EQ(record.text.size(), 2 + 3 + 16 + 1 + record.pid.size() + 1 + record.tid.size() + 2 + 22);
    EXPECT_EQ(decoded.skipped, 0u);
}

TEST_F(LogTest, LevelsAndTheDebugSwitch) {
    SetLogName(W("Levels"));
    DebugLog(LOG_TRACE, W("trace %d"), 1);
    DebugLog(LOG_ALERT, W("alert"));
    DebugLog(7, W("other level"));
    LogDecodeResult on = DecodeLogBuffer(ReadFileBytes(TodayFileName("Levels")));
    ASSERT_EQ(on.records.size(), 3u);
    EXPECT_EQ(on.records[0].level, 0);
    EXPECT_EQ(on.records[0].message, "trace 1");
    EXPECT_EQ(on.records[1].level, 1);
    EXPECT_EQ(on.records[2].level, 0);  // unknown levels carry the blank marker

    ResetLogState();
    ASSERT_TRUE(folder.WriteIni("[Root]\r\nDebug=0\r\n"));
    SetLogName(W("LevelsOff"));
    DebugLog(LOG_TRACE, W("held back"));
    DebugLog(7, W("always"));
    DebugLog(LOG_ERROR, W("error"));
    LogDecodeResult off = DecodeLogBuffer(ReadFileBytes(TodayFileName("LevelsOff")));
    ASSERT_EQ(off.records.size(), 2u);
    EXPECT_EQ(off.records[0].message, "always");
    EXPECT_EQ(off.records[1].message, "error");
}

TEST_F(LogTest, DebugValuesOfTheIni) {
    struct Case {
        const char* ini;
        int enabled;
    } cases[] = {
        {"[Root]\r\nDebug=1\r\n", 1},        {"[Root]\nDebug= 2\n", 1},
        {"[Root]\r\nDebug=+3\r\n", 1},       {"[Root]\r\nDebug=7abc\r\n", 1},
        {"[root]\r\ndebug=1\r\n", 1},        {"[Other]\r\nDebug=0\r\n[Root]\r\nDebug=1\r\n", 1},
        {"[Root]\r\nDebug=0\r\n", 0},        {"[Root]\r\nDebug=-1\r\n", 0},
        {"[Root]\r\nDebug=abc\r\n", 0},      {"[Root]\r\nDebug=\r\n", 0},
        {"[Root]\r\nOther=1\r\n", 0},        {"[Other]\r\nDebug=1\r\n", 0},
    };
    for (const Case& c : cases) {
        ResetLogState();
        ASSERT_TRUE(folder.WriteIni(c.ini));
        DebugLog(LOG_TRACE, W("x"));
        EXPECT_EQ(g_LogState.loaded.load(), 1) << c.ini;
        EXPECT_EQ(g_LogState.enabled.load(), c.enabled) << c.ini;
    }
    ResetLogState();
    ASSERT_TRUE(folder.RemoveIni());
    DebugLog(LOG_TRACE, W("x"));
    EXPECT_EQ(g_LogState.enabled.load(), 0);
}

TEST_F(LogTest, ConfigurationIsReadOnce) {
    SetLogName(W("Once"));
    DebugLog(LOG_TRACE, W("first"));
    ASSERT_TRUE(folder.WriteIni("[Root]\r\nDebug=0\r\n"));
    DebugLog(LOG_TRACE, W("second"));
    EXPECT_EQ(DecodeLogBuffer(ReadFileBytes(TodayFileName("Once"))).records.size(), 2u);
}

TEST_F(LogTest, EmptyMessageAndCuts) {
    SetLogName(W("Cuts"));
    DebugLog(LOG_ERROR, W(""));
    std::u16string longText(5000, u'a');
    DebugLog(LOG_ERROR, W("%s"), reinterpret_cast<const WCHAR*>(longText.c_str()));
    std::string bytes = ReadFileBytes(TodayFileName("Cuts"));
    LogDecodeResult decoded = DecodeLogBuffer(bytes);
    ASSERT_EQ(decoded.records.size(), 2u);
    EXPECT_EQ(decoded.records[0].message, "");
    // The line is cut to 4095 units, and no record holds more than 4091 bytes.
    EXPECT_EQ(decoded.records[1].text.size(), 4091u);
    EXPECT_EQ(decoded.records[1].message, std::string(decoded.records[1].message.size(), 'a'));
    // The key wraps every 256 bytes: byte 256 is XORed with 0 again, 257 with 1.
    size_t start = decoded.records[1].offset;
    EXPECT_EQ(static_cast<unsigned char>(bytes[start + 256]), static_cast<unsigned char>(~'a' ^ 0));
    EXPECT_EQ(static_cast<unsigned char>(bytes[start + 257]), static_cast<unsigned char>(~'a' ^ 1));
}

#if !defined(_WIN32)
TEST_F(LogTest, LongLineInTwoByteCharactersEndsAtACharacterBoundary) {
    SetLogName(W("Wide"));
    std::u16string text(3000, u'\u00e9');  // two bytes each in the narrow encoding
    DebugLog(LOG_ERROR, W("%s"), reinterpret_cast<const WCHAR*>(text.c_str()));
    LogDecodeResult decoded = DecodeLogBuffer(ReadFileBytes(TodayFileName("Wide")));
    ASSERT_EQ(decoded.records.size(), 1u);
    const std::string& t = decoded.records[0].text;
    EXPECT_LE(t.size(), 4091u);
    EXPECT_GE(t.size(), 4090u);
    EXPECT_EQ(t.substr(t.size() - 2), "\xC3\xA9");
}

TEST_F(LogTest, FallbackDumpFolderWhenTheWindowsFolderIsUnavailable) {
    setenv("ORVENDEL_WINDOWS_DIR", "", 1);
    DebugLog(LOG_TRACE, W("x"));
    EXPECT_EQ(std::u16string(g_LogState.dumpFolder), u"c:\\users\\public");
    EXPECT_EQ(g_LogState.enabled.load(), 0);
    UseFolder();
}
#endif

TEST_F(LogTest, MissingDumpFolderDropsSilently) {
    SetLogName(W("Nowhere"));
    folder.Remove();
    DebugLog(LOG_ERROR, W("lost"));
    std::ifstream in(folder.DumpDir() + "/" + TodayFileName("Nowhere"));
    EXPECT_FALSE(in.good());
}

TEST_F(LogTest, LogNames) {
    SetLogName(W("First"));
    SetLogName(W(""));
    SetLogName(nullptr);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(g_LogState.logName)), u"First");

    ResetLogState();
    SetLogName(nullptr);  // the program's base name, without extension
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(g_LogState.logName)), u"unit_tests");

    std::u16string longName(300, u'n');
    SetLogName(reinterpret_cast<const WCHAR*>(longName.c_str()));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(g_LogState.logName)), longName.substr(0, 259));
}

TEST_F(LogTest, UnnamedLogTakesTheProgramName) {
    DebugLog(LOG_ERROR, W("no name given"));
    EXPECT_EQ(DecodeLogBuffer(ReadFileBytes(TodayFileName("unit_tests"))).records.size(), 1u);
}

TEST_F(LogTest, ThreadsAppendWholeRecordsWhileTheNameChanges) {
    SetLogName(W("ThreadsA"));
    DebugLog(LOG_TRACE, W("configuration read"));
    const int kThreads = 3, kRecords = 400;
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &go] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < kRecords; ++i) {
                DebugLog(i % 2 == 0 ? LOG_ERROR : LOG_TRACE, W("thread %d record %d with some padding text"), t, i);
                if (t == 0 && i % 50 == 0) SetLogName(i % 100 == 0 ? W("ThreadsB") : W("ThreadsA"));
            }
        });
    }
    go = true;
    for (std::thread& thread : threads) thread.join();

    size_t total = 0;
    for (const char* name : {"ThreadsA", "ThreadsB"}) {
        LogDecodeResult decoded = DecodeLogBuffer(ReadFileBytes(TodayFileName(name)));
        EXPECT_EQ(decoded.skipped, 0u) << name;
        for (const LogRecord& record : decoded.records) {
            int t = -1, i = -1;
            if (record.message == "configuration read") continue;
            ASSERT_EQ(sscanf(record.message.c_str(), "thread %d record %d", &t, &i), 2) << record.message;
            EXPECT_TRUE(t >= 0 && t < kThreads && i >= 0 && i < kRecords);
        }
        total += decoded.records.size();
    }
    // Calls that meet the busy flag are dropped; the rest arrive whole.
    EXPECT_GT(total, 1u);
    EXPECT_LE(total, static_cast<size_t>(kThreads * kRecords + 1));
}

}  // namespace
