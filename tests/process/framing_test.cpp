// The host's framing on real pipes: the end of input, declared lengths, input
// cut short, bytes that a text-mode stream would translate, and bursts.
//
// Unknown command words are the probe of choice: they are parsed in full,
// get a reply and a "Command ID : %s" line, and have no other effect.
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "platform/platform.h"
#include "tests/support/host_fixture.h"

namespace {

const char kEndLine[] = "Request data length is 0";
const char kParseError[] = "Parse Error!!";
const char kKeyError[] = "Key value is not exist or wrong!";

std::string LengthLine(long long length) {
    return "Request data length : " + std::to_string(length);
}

std::vector<std::string> LengthLines(const HostLog& log) {
    return MessagesStartingWith(log, 0, "Request data length : ");
}

std::vector<std::string> CommandLines(const HostLog& log) {
    return MessagesStartingWith(log, 0, "Command ID : ");
}

using Lines = std::vector<std::string>;

using EndOfInputTest = HostTest;

TEST_F(EndOfInputTest, EmptyInput) {
    ASSERT_TRUE(StartHost());
    HostExit exit = host.Finish();
    ASSERT_TRUE(exit.outputEnded);
    ASSERT_TRUE(exit.exited);
    EXPECT_EQ(exit.output, std::string("\x19\x00\x00\x00", 4) + kReplyBody);
    EXPECT_EQ(exit.status, kExitStatusMinusOne);

    HostLog log = Log();
    EXPECT_EQ(Messages(log, 2), Lines{kEndLine}) << DescribeLog(log);
    EXPECT_EQ(CountMessage(log, 0, std::string("[SOD] : ") + kReplyBody), 1u) << DescribeLog(log);
    EXPECT_TRUE(LengthLines(log).empty()) << DescribeLog(log);
    EXPECT_EQ(log.skipped, 0u);
    // Records carry the writer's process id: the host's, not its launcher's
    // nor this test's.
    ASSERT_FALSE(log.records.empty());
    char launcher[16], self[16];
    snprintf(launcher, sizeof launcher, "%04X", static_cast<unsigned>(host.Child().Pid()));
    snprintf(self, sizeof self, "%04X", static_cast<unsigned>(GetCurrentProcessId()));
    for (const auto& record : log.records) {
        EXPECT_EQ(record.pid, log.records[0].pid) << record.message;
        EXPECT_NE(record.pid, launcher);
        EXPECT_NE(record.pid, self);
    }
}

TEST_F(EndOfInputTest, ZeroLengthEndsHostDespiteMoreInput) {
    ASSERT_TRUE(StartHost());
    ASSERT_TRUE(host.SendRaw(LengthPrefix(0) + Frame("{") + Frame(UnknownCommand("Hello"))));
    // The input stays open: the zero length alone must end the host.
    uint32_t status = 0;
    ASSERT_TRUE(host.WaitExit(&status));
    HostExit exit = host.Finish();
    EXPECT_TRUE(EndedWithReplies(exit, 1));

    HostLog log = Log();
    EXPECT_EQ(Messages(log, 2), Lines{kEndLine}) << DescribeLog(log);
    EXPECT_TRUE(LengthLines(log).empty()) << DescribeLog(log);
    EXPECT_TRUE(CommandLines(log).empty()) << DescribeLog(log);
}

using DeclaredLengthTest = HostTest;

TEST_F(DeclaredLengthTest, OneMillionIsReadInFull) {
    ASSERT_TRUE(StartHost());
    ASSERT_TRUE(host.SendFrame(PaddedRequest("Hello", 1000000)));
    ASSERT_TRUE(host.SendFrame(UnknownCommand("Next")));
    HostExit exit = host.Finish();
    EXPECT_TRUE(EndedWithReplies(exit, 3));

    HostLog log = Log();
    EXPECT_EQ(LengthLines(log), (Lines{LengthLine(1000000), LengthLine(UnknownCommand("Next").size())}))
        << DescribeLog(log);
    EXPECT_EQ(CommandLines(log), (Lines{"Command ID : Hello", "Command ID : Next"}))
        << DescribeLog(log);
    EXPECT_EQ(Messages(log, 2), Lines{kEndLine}) << DescribeLog(log);
}

TEST_F(DeclaredLengthTest, OneMillionAndOneLosesItsLastByte) {
    ASSERT_TRUE(StartHost());
    // Taken whole, the extra letter would make the text unparsable; left in
    // the input, it would shift the next frame.
    ASSERT_TRUE(host.SendRaw(LengthPrefix(1000001) + PaddedRequest("Hello", 1000000) + "x"));
    ASSERT_TRUE(host.SendFrame(UnknownCommand("Next")));
    HostExit exit = host.Finish();
    EXPECT_TRUE(EndedWithReplies(exit, 3));

    HostLog log = Log();
    EXPECT_EQ(LengthLines(log), (Lines{LengthLine(1000001), LengthLine(UnknownCommand("Next").size())}))
        << DescribeLog(log);
    EXPECT_EQ(CommandLines(log), (Lines{"Command ID : Hello", "Command ID : Next"}))
        << DescribeLog(log);
    EXPECT_EQ(Messages(log, 2), Lines{kEndLine}) << DescribeLog(log);
}

TEST_F(DeclaredLengthTest, MaximumLengthDiscardsUpToEndOfInput) {
    ASSERT_TRUE(StartHost());
    // Everything after the first million bytes belongs to the huge body,
    // frames that look whole included.
    std::string rest = Frame(UnknownCommand("Next")) + Frame("{") + std::string(300000, 'z');
    ASSERT_TRUE(host.SendRaw(LengthPrefix(0xFFFFFFFFu) + PaddedRequest("Hello", 1000000) + rest));
    HostExit exit = host.Finish();
    EXPECT_TRUE(EndedWithReplies(exit, 2));

    HostLog log = Log();
    EXPECT_EQ(LengthLines(log), Lines{LengthLine(-1)}) << DescribeLog(log);
    EXPECT_EQ(CommandLines(log), Lines{"Command ID : Hello"}) << DescribeLog(log);
    EXPECT_EQ(Messages(log, 2), Lines{kEndLine}) << DescribeLog(log);
}

TEST_F(DeclaredLengthTest, LengthIsLittleEndianAboveOneByte) {
    ASSERT_TRUE(StartHost());
    // 300 = 2C 01 00 00; read the other way round it would swallow the next frame.
    ASSERT_TRUE(host.SendRaw(std::string("\x2C\x01\x00\x00", 4) + PaddedRequest("Hello", 300)));
    ASSERT_TRUE(host.SendFrame(UnknownCommand("Next")));
    HostExit exit = host.Finish();
    EXPECT_TRUE(EndedWithReplies(exit, 3));

    HostLog log = Log();
    EXPECT_EQ(LengthLines(log), (Lines{LengthLine(300), LengthLine(UnknownCommand("Next").size())}))
        << DescribeLog(log);
    EXPECT_EQ(CommandLines(log), (Lines{"Command ID : Hello", "Command ID : Next"}))
        << DescribeLog(log);
}

struct ShortHeaderCase {
    const char* name;
    std::string bytes;
    long long length;  // what the received bytes make as the low-order end
};

void PrintTo(const ShortHeaderCase& value, std::ostream* os) { *os << value.name; }

class ShortHeaderTest : public HostTest, public ::testing::WithParamInterface<ShortHeaderCase> {};

TEST_P(ShortHeaderTest, ShortHeader) {
    ASSERT_TRUE(StartHost());
    ASSERT_TRUE(host.SendRaw(GetParam().bytes));
    HostExit exit = host.Finish();
    EXPECT_TRUE(EndedWithReplies(exit, 2));

    HostLog log = Log();
    EXPECT_EQ(LengthLines(log), Lines{LengthLine(GetParam().length)}) << DescribeLog(log);
    EXPECT_EQ(Messages(log, 2), (Lines{kParseError, kEndLine})) << DescribeLog(log);
}

INSTANTIATE_TEST_SUITE_P(
    Truncated, ShortHeaderTest,
    ::testing::Values(ShortHeaderCase{"OneByte", std::string("\x05", 1), 5},
                      ShortHeaderCase{"TwoBytes", std::string("\x01\x02", 2), 0x0201},
                      ShortHeaderCase{"ThreeBytes", std::string("\x01\x02\x03", 3), 0x030201}),
    [](const ::testing::TestParamInfo<ShortHeaderCase>& info) { return info.param.name; });

using ShortBodyTest = HostTest;

TEST_F(ShortBodyTest, ShortBody) {
    ASSERT_TRUE(StartHost());
    ASSERT_TRUE(host.SendRaw(LengthPrefix(100) + UnknownCommand("Hello").substr(0, 30)));
    HostExit exit = host.Finish();
    EXPECT_TRUE(EndedWithReplies(exit, 2));

    HostLog log = Log();
    EXPECT_EQ(LengthLines(log), Lines{LengthLine(100)}) << DescribeLog(log);
    EXPECT_TRUE(CommandLines(log).empty()) << DescribeLog(log);
    EXPECT_EQ(Messages(log, 2), (Lines{kParseError, kEndLine})) << DescribeLog(log);
}

TEST_F(ShortBodyTest, ShortBodyHoldingWholeRequest) {
    ASSERT_TRUE(StartHost());
    // The missing bytes read as zeros, and the text ends before them.
    ASSERT_TRUE(host.SendRaw(LengthPrefix(100) + UnknownCommand("Hello")));
    HostExit exit = host.Finish();
    EXPECT_TRUE(EndedWithReplies(exit, 2));

    HostLog log = Log();
    EXPECT_EQ(CommandLines(log), Lines{"Command ID : Hello"}) << DescribeLog(log);
    EXPECT_EQ(Messages(log, 2), Lines{kEndLine}) << DescribeLog(log);
}

using UntranslatedBytesTest = HostTest;

TEST_F(UntranslatedBytesTest, CarriageReturnLineFeedAndCtrlZInBodies) {
    ASSERT_TRUE(StartHost());
    // CR LF is white space to JSON: a stream that turned it into LF would read
    // into the next frame. A raw 1A inside a string is a parse error, but a
    // stream that took it for the end of the file would never see "Next".
    std::string crlf = "{\r\n\"CommandID\":\"Hello\",\r\n\"CommandArgs\":\"\"\r\n}\r\n";
    std::string ctrlZ = "{\"CommandID\":\"Z\x1A\",\"CommandArgs\":\"\"}";
    ASSERT_TRUE(host.SendRaw(Frame(crlf) + Frame(ctrlZ) + Frame(UnknownCommand("Next"))));
    HostExit exit = host.Finish();
    EXPECT_TRUE(EndedWithReplies(exit, 4));

    HostLog log = Log();
    EXPECT_EQ(LengthLines(log), (Lines{LengthLine(crlf.size()), LengthLine(ctrlZ.size()),
                                       LengthLine(UnknownCommand("Next").size())}))
        << DescribeLog(log);
    EXPECT_EQ(CommandLines(log), (Lines{"Command ID : Hello", "Command ID : Next"}))
        << DescribeLog(log);
    EXPECT_EQ(Messages(log, 2), (Lines{kParseError, kEndLine})) << DescribeLog(log);
}

TEST_F(UntranslatedBytesTest, LengthBytesCarriageReturnLineFeed) {
    ASSERT_TRUE(StartHost());
    const size_t length = 0x0A0D;  // 0D 0A 00 00
    ASSERT_TRUE(host.SendRaw(std::string("\x0D\x0A\x00\x00", 4) + PaddedRequest("Hello", length)));
    ASSERT_TRUE(host.SendFrame(UnknownCommand("Next")));
    HostExit exit = host.Finish();
    EXPECT_TRUE(EndedWithReplies(exit, 3));

    HostLog log = Log();
    EXPECT_EQ(LengthLines(log), (Lines{LengthLine(length), LengthLine(UnknownCommand("Next").size())}))
        << DescribeLog(log);
    EXPECT_EQ(CommandLines(log), (Lines{"Command ID : Hello", "Command ID : Next"}))
        << DescribeLog(log);
}

TEST_F(UntranslatedBytesTest, ZeroByteEndsRequestText) {
    ASSERT_TRUE(StartHost());
    // Parsed beyond the zero byte, the trailing brace would be a parse error.
    std::string body = UnknownCommand("Hello") + std::string("\0{", 2);
    ASSERT_TRUE(host.SendFrame(body));
    ASSERT_TRUE(host.SendFrame(UnknownCommand("Next")));
    HostExit exit = host.Finish();
    EXPECT_TRUE(EndedWithReplies(exit, 3));

    HostLog log = Log();
    EXPECT_EQ(LengthLines(log), (Lines{LengthLine(body.size()), LengthLine(UnknownCommand("Next").size())}))
        << DescribeLog(log);
    EXPECT_EQ(CommandLines(log), (Lines{"Command ID : Hello", "Command ID : Next"}))
        << DescribeLog(log);
    EXPECT_EQ(Messages(log, 2), Lines{kEndLine}) << DescribeLog(log);
}

using BurstTest = HostTest;

TEST_F(BurstTest, ManyFramesInOneWrite) {
    ASSERT_TRUE(StartHost());
    const int kFrames = 400;
    std::string burst;
    size_t parseErrors = 0, keyErrors = 0, unknown = 0, accepted = 0;
    for (int i = 0; i < kFrames; ++i) {
        switch (i % 4) {
            case 0:
                burst += Frame("{");
                ++parseErrors;
                break;
            case 1:
                burst += Frame("{\"CommandID\":\"FindHandle\"}");
                ++keyErrors;
                break;
            case 2:
                burst += Frame(UnknownCommand("Hello" + std::to_string(i)));
                ++unknown;
                break;
            default:
                burst += Frame(Request("FindHandle", std::to_string(i)));
                ++accepted;
                break;
        }
    }
    // Written while the replies are read, so that neither pipe can fill up
    // with both sides blocked.
    bool written = false;
    std::thread writer([&] {
        written = host.SendRaw(burst);
        host.CloseInput();
    });
    HostExit exit;
    exit.outputEnded = host.Child().ReadToEnd(&exit.output, kHostTimeoutMs);
    writer.join();
    exit.exited = host.WaitExit(&exit.status);
    ASSERT_TRUE(written);
    EXPECT_TRUE(EndedWithReplies(exit, parseErrors + keyErrors + unknown + 1));

    HostLog log = Log();
    EXPECT_EQ(LengthLines(log).size(), static_cast<size_t>(kFrames));
    EXPECT_EQ(CountMessage(log, 2, kParseError), parseErrors);
    EXPECT_EQ(CountMessage(log, 2, kKeyError), keyErrors);
    EXPECT_EQ(CountMessage(log, 0, "Command ID : FindHandle"), accepted);
    EXPECT_EQ(CountMessage(log, 0, "Command ID : Hello2"), 1u);
    EXPECT_EQ(CountMessage(log, 0, "Command ID : Hello" + std::to_string(kFrames - 2)), 1u);
    EXPECT_EQ(CommandLines(log).size(), unknown + accepted);
    EXPECT_EQ(CountMessage(log, 2, kEndLine), 1u);
}

}  // namespace
