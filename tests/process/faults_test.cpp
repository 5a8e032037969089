// What the host survives: a browser that stops reading, hostile bodies, and
// a dump folder or ini that is missing, unreadable or huge.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "contract/contract.h"
#include "tests/support/host_fixture.h"

namespace {

namespace fs = std::filesystem;

using FaultTest = HostTest;

// Writing to a closed pipe must fail quietly (no SIGPIPE on POSIX); the host
// still ends at the end of its input, as always.
TEST_F(FaultTest, BrowserClosesStdoutBeforeStdin) {
    ASSERT_TRUE(StartHost());
    std::string reply;
    ASSERT_TRUE(host.SendFrame("x"));
    ASSERT_TRUE(host.ReadFrame(&reply));
    host.Child().CloseOutput();
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(host.SendFrame("refused " + std::to_string(i)));
    ASSERT_TRUE(host.SendFrame(Request("FindHandle", "0")));
    host.CloseInput();
    uint32_t status = 0;
    ASSERT_TRUE(host.WaitExit(&status));
    EXPECT_EQ(status, kExitStatusMinusOne);
    HostLog log = Log();
    EXPECT_EQ(CountMessage(log, 2, "Parse Error!!"), 51u) << DescribeLog(log);
    EXPECT_EQ(CountMessage(log, 2, "Request data length is 0"), 1u) << DescribeLog(log);
}

// Each of these is one refused request of the largest size the host takes;
// the host answers each once and serves the next frame.
TEST_F(FaultTest, HostileBodiesOfAMillionBytes) {
    const size_t kSize = 1000000;
    std::string objects;
    while (objects.size() + 5 <= kSize) objects += "{\"a\":";
    std::string invalidUtf8 = "{\"CommandID\":\"Hello\",\"CommandArgs\":\"";
    while (invalidUtf8.size() + 4 < kSize) invalidUtf8 += "\xC3\x28\xFF";
    invalidUtf8 += "\"}";
    std::string surrogates = "{\"CommandID\":\"Hello\",\"CommandArgs\":\"";
    while (surrogates.size() + 14 < kSize) surrogates += "\\ud83d\\ude00";
    surrogates += "\"}";
    std::string lone = "{\"CommandID\":\"Hello\",\"CommandArgs\":\"\\ud800\\ud800\"}";
    const std::vector<std::string> bodies = {std::string(kSize, '['), objects, invalidUtf8, surrogates, lone};

    ASSERT_TRUE(StartHost());
    for (const std::string& body : bodies) {
        ASSERT_TRUE(host.SendFrame(body));
        std::string reply;
        // A million bytes cost the sanitized host many seconds each on a loaded
        // machine (over 30 s for the nesting under TSan): a bound, not a timing.
#ifdef ORV_TEST_SANITIZED
        ASSERT_TRUE(host.ReadFrame(&reply, 4 * kHostTimeoutMs)) << body.substr(0, 40);
#else
        ASSERT_TRUE(host.ReadFrame(&reply)) << body.substr(0, 40);
#endif
        EXPECT_EQ(reply, kReplyBody);
    }
    HostExit exit = host.Finish();
    EXPECT_TRUE(EndedWithReplies(exit, 1));
    HostLog log = Log();
    // Nesting, a cut object and a lone surrogate do not parse; the rest are
    // well-formed requests of an unknown command.
    EXPECT_EQ(CountMessage(log, 2, "Parse Error!!"), 3u) << DescribeLog(log);
    EXPECT_EQ(CountMessage(log, 0, "Command ID : Hello"), 2u) << DescribeLog(log);
}

TEST_F(FaultTest, MissingDumpFolderLosesOnlyTheLog) {
    ASSERT_TRUE(folder.WriteIni(CLIENT_INI_WITH_DEBUG("0")));  // no start lines to wait for
    std::error_code ec;
    fs::remove_all(fs::u8path(folder.DumpDir()), ec);
    ASSERT_TRUE(StartHost());
    ASSERT_TRUE(host.SendFrame("x"));
    HostExit exit = host.Finish();
    EXPECT_TRUE(EndedWithReplies(exit, 2));
    EXPECT_FALSE(fs::exists(fs::u8path(folder.DumpDir())));  // the host never creates it
}

TEST_F(FaultTest, UnreadableIniMeansTraceOff) {
    ASSERT_TRUE(folder.RemoveIni());
    std::error_code ec;
    fs::create_directory(fs::u8path(folder.IniPath()), ec);  // a folder where the file should be
    ASSERT_FALSE(ec) << ec.message();
    ASSERT_TRUE(StartHost());
    ASSERT_TRUE(host.SendFrame("x"));
    HostExit exit = host.Finish();
    EXPECT_TRUE(EndedWithReplies(exit, 2));
    HostLog log = Log();
    EXPECT_TRUE(Messages(log, 0).empty()) << DescribeLog(log);
    EXPECT_EQ(Messages(log, 2), (std::vector<std::string>{"Parse Error!!", "Request data length is 0"}))
        << DescribeLog(log);
    fs::remove(fs::u8path(folder.IniPath()), ec);
}

TEST_F(FaultTest, HugeIniIsReadToItsSetting) {
    {
        std::ofstream ini(fs::u8path(folder.IniPath()), std::ios::binary | std::ios::trunc);
        std::string junk(4000, 'j');
        junk += "=1\r\n";
        for (int i = 0; i < 2000; ++i) ini << "[Other" << i << "]\r\n" << junk;  // about 8 MB
        ini << CLIENT_INI_WITH_DEBUG("1");
    }
    ASSERT_TRUE(StartHost());
    ASSERT_TRUE(host.SendFrame("x"));
    HostExit exit = host.Finish();
    EXPECT_TRUE(EndedWithReplies(exit, 2));
    HostLog log = Log();
    EXPECT_EQ(CountMessage(log, 0, "Request data length : 1"), 1u) << DescribeLog(log);
}

}  // namespace
