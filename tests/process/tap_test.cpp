// orvendel-tap between a launcher named chrome and the real host: the bytes
// and the exit status are the host's own, the host still finds the browser,
// and the record file shows every frame of both directions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <string>
#include <system_error>
#include <vector>

#include "contract/contract.h"
#include "platform/platform.h"
#include "tests/support/host_fixture.h"

#if !defined(_WIN32)
#include <signal.h>
#endif

namespace {

namespace fs = std::filesystem;

using Environment = std::vector<std::pair<std::string, std::string>>;

const char kToHost[] = "browser -> host";
const char kToBrowser[] = "host -> browser";

// The image name the host logs for a process: lowercased, as the platform names it.
std::string Image(const std::string& name) {
    std::string image = ExecutableName(name);
    std::transform(image.begin(), image.end(), image.begin(),
                   [](char c) { return static_cast<char>(tolower(static_cast<unsigned char>(c))); });
    return image;
}

std::string HostPath() { return ProgramDirectory() + ExecutableName("orvendel_host"); }

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// One record: "<time>  <who>  <what>", then its body lines, indented by two
// blanks (kept without them).
struct TapRecord {
    std::string time;
    std::string who;   // "tap", "browser -> host" or "host -> browser"
    std::string what;
    std::vector<std::string> body;
};

bool ParseRecords(const std::string& text, std::vector<TapRecord>* records, std::string* error) {
    static const std::regex kHeader(
        R"(^(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3})  (tap|browser -> host|host -> browser)  (.*)$)");
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            *error = "the record file does not end with a line end";
            return false;
        }
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (StartsWith(line, "  ")) {
            if (records->empty()) {
                *error = "a body line before any record: " + line.substr(0, 80);
                return false;
            }
            records->back().body.push_back(line.substr(2));
            continue;
        }
        std::smatch match;
        if (!std::regex_match(line, match, kHeader)) {
            *error = "not a record line: " + line.substr(0, 120);
            return false;
        }
        records->push_back(TapRecord{match[1], match[2], match[3], {}});
    }
    return true;
}

// The records of whole frames in one direction, in order.
std::vector<TapRecord> FrameRecords(const std::vector<TapRecord>& records, const std::string& who) {
    std::vector<TapRecord> frames;
    for (const TapRecord& record : records) {
        if (record.who == who && StartsWith(record.what, "length ") && !Contains(record.what, "short body")) {
            frames.push_back(record);
        }
    }
    return frames;
}

std::string Describe(const std::vector<TapRecord>& records) {
    std::string text = "records:\n";
    for (const TapRecord& record : records) {
        text += "  " + record.who + " | " + record.what.substr(0, 120) + "\n";
        for (const std::string& line : record.body) text += "      " + line.substr(0, 100) + "\n";
    }
    return text;
}

std::string FinalStatusText() {
#if defined(_WIN32)
    return "the host ended with exit status 4294967295 (0xFFFFFFFF)";
#else
    return "the host ended with exit status 255 (0xFF)";
#endif
}

class TapTest : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        static int serial = 0;
        std::error_code ec;
        recordDir_ = fs::temp_directory_path(ec) /
                     ("orvendel-tap-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++serial));
        fs::remove_all(recordDir_, ec);
        ASSERT_TRUE(fs::create_directories(recordDir_, ec)) << ec.message();
    }

    void TearDown() override {
        HostTest::TearDown();
        std::error_code ec;
        fs::remove_all(recordDir_, ec);
    }

    std::string RecordDir() const { return recordDir_.u8string(); }
    std::string RecordPath() const { return (recordDir_ / "record.txt").u8string(); }

    // The browser (a launcher named chrome) starts the tap with these
    // arguments; the record goes to RecordPath() unless extra names another.
    ::testing::AssertionResult StartTap(const std::vector<std::string>& args = {}, const Environment& extra = {},
                                        bool hostStarts = true) {
        std::map<std::string, std::string> variables;
        for (const auto& variable : folder.HostEnvironment()) variables[variable.first] = variable.second;
        variables["ORVENDEL_TAP_LOG"] = RecordPath();
        variables["ORVENDEL_TAP_HOST"] = "";  // the default: the host beside the tap
        for (const auto& variable : extra) variables[variable.first] = variable.second;
        std::string error;
        if (!LaunchProgram(&host.Child(), folder, ProgramDirectory() + ExecutableName("orvendel-tap"), args,
                           Environment(variables.begin(), variables.end()), &error)) {
            return ::testing::AssertionFailure() << "cannot start the tap: " << error;
        }
        if (hostStarts && folder.TraceOn()) host.WaitForRelays(folder);
        return ::testing::AssertionSuccess();
    }

    std::string ReadRecordText(const std::string& path) const {
        std::ifstream in(fs::u8path(path), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    ::testing::AssertionResult ReadRecords(std::vector<TapRecord>* records, const std::string& path = "") const {
        std::string text = ReadRecordText(path.empty() ? RecordPath() : path);
        if (text.empty()) return ::testing::AssertionFailure() << "no record file, or an empty one";
        std::string error;
        if (!ParseRecords(text, records, &error)) return ::testing::AssertionFailure() << error;
        return ::testing::AssertionSuccess();
    }

private:
    fs::path recordDir_;
};

// What a browser might send in one connection, ending with a zero length
// after which the host reads nothing more.
const std::string kCrLfBody = "{\r\n\"CommandID\":\"Hello\",\r\n\"CommandArgs\":\"\"\r\n}\r\n";
const std::string kCtrlZBody = "{\"CommandID\":\"Z\x1A\",\"CommandArgs\":\"\"}";
const std::string kNotUtf8Body = "\xFF\xFE{}\xC3";

std::vector<std::string> ScriptBodies() {
    return {UnknownCommand("Hello"), "{", PaddedRequest("Hello", 1000000), kCrLfBody, kCtrlZBody, kNotUtf8Body,
            ""};
}

std::string Script() {
    std::string bytes;
    for (const std::string& body : ScriptBodies()) bytes += Frame(body);
    return bytes + Frame(UnknownCommand("AfterTheEnd"));
}

const size_t kScriptReplies = 7;  // one per frame before the zero length, and the last

using TapPassThroughTest = TapTest;

TEST_F(TapPassThroughTest, SameBytesAndStatusAsWithoutTap) {
    HostExit direct;
    {
        HostProcess plain;
        std::string error;
        ASSERT_TRUE(plain.Start(folder, {}, &error)) << error;
        ASSERT_TRUE(plain.SendRaw(Script()));
        direct = plain.Finish();
    }
    ASSERT_TRUE(EndedWithReplies(direct, kScriptReplies));

    ASSERT_TRUE(StartTap({"chrome-extension://abcdefghijklmnopabcdefghijklmnop/", "--parent-window=0"}));
    ASSERT_TRUE(host.SendRaw(Script()));
    HostExit tapped = host.Finish();
    ASSERT_TRUE(tapped.outputEnded);
    ASSERT_TRUE(tapped.exited);
    EXPECT_EQ(tapped.status, direct.status);
    EXPECT_TRUE(tapped.output == direct.output)
        << tapped.output.size() << " bytes through the tap, " << direct.output.size() << " without";
}

TEST_F(TapPassThroughTest, HostFindsBrowserThroughTap) {
    ASSERT_TRUE(StartTap({"chrome-extension://abcdefghijklmnopabcdefghijklmnop/"}));
    ASSERT_TRUE(host.SendFrame("x"));
    EXPECT_TRUE(EndedWithReplies(host.Finish(), 2));
    HostLog log = Log();
    EXPECT_EQ(MessagesStartingWith(log, 0, "[CheckBrowser] wszParentProcess="),
              (std::vector<std::string>{"[CheckBrowser] wszParentProcess=" + Image("orvendel-tap"),
                                        "[CheckBrowser] wszParentProcess=" + Image("chrome")}))
        << DescribeLog(log);
    EXPECT_EQ(CountMessage(log, 0, "[CheckBrowser] BroswerType = CHROME_BROSWER"), 1u) << DescribeLog(log);
    EXPECT_TRUE(MessagesStartingWith(log, 2, "BrowserType ERR").empty()) << DescribeLog(log);
}

// The host given in ORVENDEL_TAP_HOST is a launcher, whose first argument is
// the program it starts: a path with a blank in it only works if the tap
// passes its arguments on exactly as it got them.
TEST_F(TapPassThroughTest, OverriddenHostGetsArgumentsUnchanged) {
    std::error_code ec;
    fs::path hostDir = fs::u8path(RecordDir()) / "host folder";
    ASSERT_TRUE(fs::create_directories(hostDir, ec)) << ec.message();
    fs::path hostCopy = hostDir / ExecutableName("orvendel_host");
#if defined(_WIN32)
    fs::copy_file(fs::u8path(HostPath()), hostCopy, ec);
#else
    fs::create_symlink(fs::u8path(HostPath()), hostCopy, ec);
#endif
    ASSERT_FALSE(ec) << ec.message();
    std::string launcher = ProgramDirectory() + ExecutableName("orv-launcher");

    ASSERT_TRUE(StartTap({hostCopy.u8string(), "chrome-extension://abc/"}, {{"ORVENDEL_TAP_HOST", launcher}}));
    ASSERT_TRUE(host.SendFrame("x"));
    EXPECT_TRUE(EndedWithReplies(host.Finish(), 2));

    std::vector<TapRecord> records;
    ASSERT_TRUE(ReadRecords(&records));
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.front().who, "tap");
    EXPECT_TRUE(StartsWith(records.front().what, "started the host " + launcher + " (pid "))
        << records.front().what;
    EXPECT_TRUE(Contains(records.front().what, hostCopy.u8string())) << records.front().what;
    EXPECT_TRUE(Contains(records.front().what, "chrome-extension://abc/")) << records.front().what;
}

using TapRecordTest = TapTest;

TEST_F(TapRecordTest, OneRecordPerFrameEachWayInOrder) {
    ASSERT_TRUE(StartTap({"chrome-extension://abc/"}));
    ASSERT_TRUE(host.SendRaw(Script()));
    ASSERT_TRUE(EndedWithReplies(host.Finish(), kScriptReplies));

    std::vector<TapRecord> records;
    ASSERT_TRUE(ReadRecords(&records));
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records.front().who, "tap");
    EXPECT_TRUE(StartsWith(records.front().what, "started the host " + HostPath() + " (pid "))
        << records.front().what;
    EXPECT_TRUE(Contains(records.front().what, "with arguments: ")) << records.front().what;
    EXPECT_TRUE(Contains(records.front().what, "chrome-extension://abc/")) << records.front().what;
    EXPECT_EQ(records.back().who, "tap");
    EXPECT_EQ(records.back().what, FinalStatusText());

    // Every frame the browser sent, the one after the zero length included:
    // the tap reads what the host no longer does.
    std::vector<std::string> sent = ScriptBodies();
    sent.push_back(UnknownCommand("AfterTheEnd"));
    std::vector<TapRecord> toHost = FrameRecords(records, kToHost);
    ASSERT_EQ(toHost.size(), sent.size()) << Describe(records);
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_TRUE(StartsWith(toHost[i].what, "length " + std::to_string(sent[i].size())))
            << i << ": " << toHost[i].what;
    }
    EXPECT_EQ(toHost[0].what, "length " + std::to_string(UnknownCommand("Hello").size()) + " (text)");
    EXPECT_EQ(toHost[0].body, std::vector<std::string>{UnknownCommand("Hello")});
    EXPECT_EQ(toHost[1].body, std::vector<std::string>{"{"});
    // A million bytes: the first part only, and how long it was.
    EXPECT_EQ(toHost[2].what, "length 1000000 (text, first 65536 bytes)");
    ASSERT_EQ(toHost[2].body.size(), 2u);
    EXPECT_EQ(toHost[2].body[0], PaddedRequest("Hello", 1000000).substr(0, 65536));
    EXPECT_EQ(toHost[2].body[1], "... (1000000 bytes in all)");
    // Control characters escaped, the rest as it came.
    EXPECT_EQ(toHost[3].body,
              std::vector<std::string>{"{<0D><0A>\"CommandID\":\"Hello\",<0D><0A>\"CommandArgs\":\"\"<0D><0A>}<0D><0A>"});
    EXPECT_EQ(toHost[4].body, std::vector<std::string>{"{\"CommandID\":\"Z<1A>\",\"CommandArgs\":\"\"}"});
    // Not UTF-8: a hex dump.
    EXPECT_EQ(toHost[5].what, "length 5 (hex)");
    ASSERT_EQ(toHost[5].body.size(), 1u);
    EXPECT_TRUE(StartsWith(toHost[5].body[0], "0000  ff fe 7b 7d c3 ")) << toHost[5].body[0];
    EXPECT_TRUE(Contains(toHost[5].body[0], "|..{}.|")) << toHost[5].body[0];
    EXPECT_EQ(toHost[6].what, "length 0");
    EXPECT_TRUE(toHost[6].body.empty());

    std::vector<TapRecord> toBrowser = FrameRecords(records, kToBrowser);
    ASSERT_EQ(toBrowser.size(), kScriptReplies) << Describe(records);
    for (const TapRecord& reply : toBrowser) {
        EXPECT_EQ(reply.what, "length 25 (text)");
        EXPECT_EQ(reply.body, std::vector<std::string>{kReplyBody});
    }

    // Each direction's stream ends once, after its last frame.
    for (const char* who : {kToHost, kToBrowser}) {
        size_t lastFrame = 0, end = 0, ends = 0;
        for (size_t i = 0; i < records.size(); ++i) {
            if (records[i].who != who) continue;
            if (StartsWith(records[i].what, "length ")) lastFrame = i;
            if (records[i].what == "end of stream") end = i, ++ends;
        }
        EXPECT_EQ(ends, 1u) << who << "\n" << Describe(records);
        EXPECT_GT(end, lastFrame) << who << "\n" << Describe(records);
    }
}

// A tap that is killed must leave what it saw: records are written as the
// frames pass, not at the end.
TEST_F(TapRecordTest, RecordsAreWrittenWhileTapRuns) {
    ASSERT_TRUE(StartTap());
    ASSERT_TRUE(host.SendFrame(UnknownCommand("Hello")));
    std::string reply;
    ASSERT_TRUE(host.ReadFrame(&reply));
    EXPECT_EQ(reply, kReplyBody);

    std::vector<TapRecord> records;
    for (int waited = 0; waited < kHostTimeoutMs; waited += 20) {
        records.clear();
        std::string text = ReadRecordText(RecordPath());
        std::string error;
        // A record being written may show only in part: read again.
        if (ParseRecords(text, &records, &error) && FrameRecords(records, kToHost).size() == 1 &&
            FrameRecords(records, kToBrowser).size() == 1) {
            break;
        }
        Sleep(20);
    }
    EXPECT_EQ(FrameRecords(records, kToHost).size(), 1u) << Describe(records);
    EXPECT_EQ(FrameRecords(records, kToBrowser).size(), 1u) << Describe(records);
    EXPECT_TRUE(host.Child().Running());
    EXPECT_TRUE(EndedWithReplies(host.Finish(), 1));  // the last reply
}

// The first part of a long body may end inside a character; it is still text.
TEST_F(TapRecordTest, LongBodyCutInsideCharacter) {
    std::string prefix = "{\"CommandID\":\"Hello\",\"CommandArgs\":\"a";  // odd: byte 65536 splits an é
    std::string body = prefix;
    while (body.size() < 100000) body += "\xC3\xA9";
    body += "\"}";
    ASSERT_EQ(prefix.size() % 2, 1u);
    ASSERT_TRUE(StartTap());
    ASSERT_TRUE(host.SendFrame(body));
    EXPECT_TRUE(EndedWithReplies(host.Finish(), 2));

    std::vector<TapRecord> records;
    ASSERT_TRUE(ReadRecords(&records));
    std::vector<TapRecord> toHost = FrameRecords(records, kToHost);
    ASSERT_EQ(toHost.size(), 1u) << Describe(records);
    EXPECT_EQ(toHost[0].what, "length " + std::to_string(body.size()) + " (text, first 65536 bytes)");
    ASSERT_EQ(toHost[0].body.size(), 2u);
    EXPECT_EQ(toHost[0].body[0], body.substr(0, 65535) + "<cut c3>");
    EXPECT_EQ(toHost[0].body[1], "... (" + std::to_string(body.size()) + " bytes in all)");
}

TEST_F(TapRecordTest, ShortBodyAtEndOfStream) {
    ASSERT_TRUE(StartTap());
    std::string part = UnknownCommand("Hello").substr(0, 30);
    ASSERT_TRUE(host.SendRaw(Frame(UnknownCommand("Hello")) + LengthPrefix(100) + part));
    EXPECT_TRUE(EndedWithReplies(host.Finish(), 3));

    std::vector<TapRecord> records;
    ASSERT_TRUE(ReadRecords(&records));
    std::vector<TapRecord> toHost;
    for (const TapRecord& record : records) {
        if (record.who == kToHost) toHost.push_back(record);
    }
    ASSERT_EQ(toHost.size(), 3u) << Describe(records);
    EXPECT_EQ(toHost[0].what, "length " + std::to_string(UnknownCommand("Hello").size()) + " (text)");
    EXPECT_EQ(toHost[1].what, "length 100, short body: 30 bytes at the end of the stream (text)");
    EXPECT_EQ(toHost[1].body, std::vector<std::string>{part});
    EXPECT_EQ(toHost[2].what, "end of stream");
}

TEST_F(TapRecordTest, ShortHeaderAtEndOfStream) {
    ASSERT_TRUE(StartTap());
    ASSERT_TRUE(host.SendRaw(Frame(UnknownCommand("Hello")) + std::string("\x0D\x0A", 2)));
    EXPECT_TRUE(EndedWithReplies(host.Finish(), 3));

    std::vector<TapRecord> records;
    ASSERT_TRUE(ReadRecords(&records));
    std::vector<std::string> toHost;
    for (const TapRecord& record : records) {
        if (record.who == kToHost) toHost.push_back(record.what);
    }
    EXPECT_EQ(toHost, (std::vector<std::string>{"length " + std::to_string(UnknownCommand("Hello").size()) + " (text)",
                                                "short header: 2 of 4 bytes at the end of the stream: 0d 0a",
                                                "end of stream"}))
        << Describe(records);
}

// Without ORVENDEL_TAP_LOG: orvendel-tap-<YYYYMMDD-HHMMSS>-<pid>.txt in the
// temporary folder.
TEST_F(TapRecordTest, DefaultRecordInTemporaryFolder) {
#if defined(_WIN32)
    Environment temp = {{"ORVENDEL_TAP_LOG", ""}, {"TMP", RecordDir()}, {"TEMP", RecordDir()}};
#else
    Environment temp = {{"ORVENDEL_TAP_LOG", ""}, {"TMPDIR", RecordDir()}};
#endif
    ASSERT_TRUE(StartTap({}, temp));
    EXPECT_TRUE(EndedWithReplies(host.Finish(), 1));

    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fs::u8path(RecordDir()), ec)) {
        names.push_back(entry.path().filename().u8string());
    }
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(std::regex_match(names[0], std::regex(R"(orvendel-tap-\d{8}-\d{6}-\d+\.txt)"))) << names[0];
    std::vector<TapRecord> records;
    ASSERT_TRUE(ReadRecords(&records, (fs::u8path(RecordDir()) / fs::u8path(names[0])).u8string()));
    ASSERT_FALSE(records.empty());
    EXPECT_TRUE(StartsWith(records.front().what, "started the host ")) << records.front().what;
    EXPECT_EQ(records.back().what, FinalStatusText());
}

using TapLifetimeTest = TapTest;

TEST_F(TapLifetimeTest, EndsWithHostWhileInputStaysOpen) {
    ASSERT_TRUE(StartTap());
    ASSERT_TRUE(host.SendRaw(Frame(UnknownCommand("Hello")) + LengthPrefix(0)));
    // Our end of the tap's input stays open until the tap has gone.
    uint32_t status = 0;
    ASSERT_TRUE(host.WaitExit(&status));
    EXPECT_EQ(status, kExitStatusMinusOne);
    EXPECT_TRUE(EndedWithReplies(host.Finish(), 2));

    std::vector<TapRecord> records;
    ASSERT_TRUE(ReadRecords(&records));
    EXPECT_EQ(FrameRecords(records, kToHost).size(), 2u) << Describe(records);
    EXPECT_EQ(FrameRecords(records, kToBrowser).size(), 2u) << Describe(records);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().what, FinalStatusText());
}

// If the tap stopped reading the host's output when the browser did, the
// host would block on its replies and never reach the zero length.
TEST_F(TapLifetimeTest, BrowserThatStopsReadingDoesNotBlockHost) {
    ASSERT_TRUE(folder.WriteIni(CLIENT_INI_WITH_DEBUG("0")));  // fewer log writes for 3000 refusals
    const size_t kRefused = 3000;                          // replies well beyond any pipe's buffer
    ASSERT_TRUE(StartTap());
    host.Child().CloseOutput();
    std::string frames;
    for (size_t i = 0; i < kRefused; ++i) frames += Frame("{");
    ASSERT_TRUE(host.SendRaw(frames + LengthPrefix(0)));
    uint32_t status = 0;
    ASSERT_TRUE(host.WaitExit(&status));
    EXPECT_EQ(status, kExitStatusMinusOne);

    std::vector<TapRecord> records;
    ASSERT_TRUE(ReadRecords(&records));
    EXPECT_EQ(FrameRecords(records, kToBrowser).size(), kRefused + 1);
    size_t notes = 0;
    for (const TapRecord& record : records) {
        if (record.who == kToBrowser && StartsWith(record.what, "the browser no longer reads")) ++notes;
    }
    EXPECT_EQ(notes, 1u);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().what, FinalStatusText());
}

#if !defined(_WIN32)
// A browser that asks the tap to stop asks the host: the tap stays to record
// how the host ended, and ends as it did.
TEST_F(TapLifetimeTest, StopRequestReachesHost) {
    ASSERT_TRUE(StartTap());
    ASSERT_TRUE(host.SendFrame(UnknownCommand("Hello")));
    std::string reply;
    ASSERT_TRUE(host.ReadFrame(&reply));
    // The launcher passes it to the tap, the tap to the host.
    ASSERT_EQ(kill(static_cast<pid_t>(host.Child().Pid()), SIGTERM), 0);
    uint32_t status = 0;
    ASSERT_TRUE(host.WaitExit(&status));
    EXPECT_EQ(status, 128u + SIGTERM);

    std::vector<TapRecord> records;
    ASSERT_TRUE(ReadRecords(&records));
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().what, "the host was ended by signal " + std::to_string(SIGTERM) + ", exit status 143 (0x8F)");
}
#endif

TEST_F(TapLifetimeTest, MissingHostFailsWithReason) {
    std::string missing = (fs::u8path(RecordDir()) / ExecutableName("no_such_host")).u8string();
    ASSERT_TRUE(StartTap({"chrome-extension://abc/"}, {{"ORVENDEL_TAP_HOST", missing}}, false));
    HostExit exit = host.Finish();
    ASSERT_TRUE(exit.outputEnded);
    ASSERT_TRUE(exit.exited);
    EXPECT_EQ(exit.status, 1u);  // the tap's own failure, passed on by the launcher
    EXPECT_TRUE(exit.output.empty());

    std::vector<TapRecord> records;
    ASSERT_TRUE(ReadRecords(&records));
    ASSERT_EQ(records.size(), 1u) << Describe(records);
    EXPECT_EQ(records[0].who, "tap");
    EXPECT_TRUE(StartsWith(records[0].what, "cannot start the host " + missing + ": ")) << records[0].what;
    EXPECT_GT(records[0].what.size(), ("cannot start the host " + missing + ": ").size());
}

TEST_F(TapLifetimeTest, UnwritableRecordStillPassesBytes) {
    std::string unwritable = (fs::u8path(RecordDir()) / "no folder" / "record.txt").u8string();
    ASSERT_TRUE(StartTap({}, {{"ORVENDEL_TAP_LOG", unwritable}}));
    ASSERT_TRUE(host.SendRaw(Frame(UnknownCommand("Hello")) + Frame(PaddedRequest("Hello", 200000))));
    HostExit exit = host.Finish();
    EXPECT_TRUE(EndedWithReplies(exit, 3));
    std::error_code ec;
    EXPECT_FALSE(fs::exists(fs::u8path(unwritable), ec));
}

}  // namespace
