// Requests the host refuses and requests it takes, seen from the browser:
// one reply per refusal, none for a command that reaches its handler, and the
// next frame served normally either way.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/host_fixture.h"

namespace {

using Lines = std::vector<std::string>;

const char kEndLine[] = "Request data length is 0";

// The messages up to the first one equal to stop (all of them when it is absent).
Lines MessagesBefore(const HostLog& log, int level, const std::string& stop) {
    Lines before;
    for (const auto& record : log.records) {
        if (record.level == 0 && record.message == stop) break;
        if (record.level == level) before.push_back(record.message);
    }
    return before;
}

struct RefusalCase {
    const char* name;
    std::string body;
    const char* line;  // the level-2 line of the refusal; null for none
};

void PrintTo(const RefusalCase& refusal, std::ostream* os) { *os << refusal.name; }

class RefusalTest : public HostTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, RepliesOnceAndServesNextFrame) {
    const RefusalCase& refusal = GetParam();
    const std::string next = Request("FindHandle", "5");
    ASSERT_TRUE(StartHost());
    ASSERT_TRUE(host.SendFrame(refusal.body));
    // The reply must arrive while the host waits for more input.
    std::string reply;
    ASSERT_TRUE(host.ReadFrame(&reply));
    EXPECT_EQ(reply, kReplyBody);
    ASSERT_TRUE(host.SendFrame(next));
    HostExit exit = host.Finish();
    EXPECT_TRUE(EndedWithReplies(exit, 1));

    HostLog log = Log();
    const std::string nextLine = "Command ID : FindHandle";
    Lines expected;
    if (refusal.line != nullptr) expected.push_back(refusal.line);
    EXPECT_EQ(MessagesBefore(log, 2, nextLine), expected) << DescribeLog(log);
    EXPECT_EQ(CountMessage(log, 0, nextLine), 1u) << DescribeLog(log);
    EXPECT_EQ(MessagesStartingWith(log, 0, "Request data length : "),
              (Lines{"Request data length : " + std::to_string(refusal.body.size()),
                     "Request data length : " + std::to_string(next.size())}))
        << DescribeLog(log);
    EXPECT_EQ(CountMessage(log, 0, std::string("[SOD] : ") + kReplyBody), 2u) << DescribeLog(log);
    EXPECT_EQ(CountMessage(log, 2, kEndLine), 1u) << DescribeLog(log);
}

const char kParseError[] = "Parse Error!!";
const char kKeyError[] = "Key value is not exist or wrong!";

INSTANTIATE_TEST_SUITE_P(
    Requests, RefusalTest,
    ::testing::Values(
        RefusalCase{"LoneBrace", "{", kParseError},
        RefusalCase{"WhiteSpaceOnly", " \r\n\t ", kParseError},
        RefusalCase{"LetterAfterRequest", Request("FindHandle", "5") + "x", kParseError},
        RefusalCase{"EmptyObject", "{}", kKeyError},
        RefusalCase{"ArrayRoot", "[1,2]", kKeyError},
        RefusalCase{"MissingArgs", "{\"CommandID\":\"FindHandle\"}", kKeyError},
        RefusalCase{"NumericCommand", "{\"CommandID\":5,\"CommandArgs\":5}", kKeyError},
        RefusalCase{"FractionArgs", Request("FindHandle", "1.5"), kKeyError},
        RefusalCase{"ArgsBeyondInt32", Request("FindHandle", "2147483648"), kKeyError},
        RefusalCase{"UnknownCommand", Request("Hello", "\"\""), nullptr}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

using UnknownCommandTest = HostTest;

TEST_F(UnknownCommandTest, LogsCommandAndReplyButNoFailure) {
    ASSERT_TRUE(StartHost());
    ASSERT_TRUE(host.SendFrame(Request("Hello", "\"\"")));
    HostExit exit = host.Finish();
    EXPECT_TRUE(EndedWithReplies(exit, 2));

    HostLog log = Log();
    const std::string sod = std::string("[SOD] : ") + kReplyBody;
    const std::string length =
        "Request data length : " + std::to_string(Request("Hello", "\"\"").size());
    Lines trace = Messages(log, 0);
    trace.erase(trace.begin(), std::find(trace.begin(), trace.end(), length));
    EXPECT_EQ(trace, (Lines{length, "Command ID : Hello", sod, sod})) << DescribeLog(log);
    EXPECT_EQ(Messages(log, 2), Lines{kEndLine}) << DescribeLog(log);
}

using AcceptedCommandTest = HostTest;

TEST_F(AcceptedCommandTest, CommandsOfAnyCaseGetNoReply) {
    const Lines bodies = {
        Request("findhandle", "5"),
        Request("FINDHANDLE", "\"5\""),
        Request("ReturnUrlList", "\"7;abc\""),
        Request("ReturnUrlList", "7"),
        Request("returncheckdevtools", "\"7;1\""),
    };
    ASSERT_TRUE(StartHost());
    for (const auto& body : bodies) ASSERT_TRUE(host.SendFrame(body));
    HostExit exit = host.Finish();
    EXPECT_TRUE(EndedWithReplies(exit, 1));

    HostLog log = Log();
    EXPECT_EQ(MessagesStartingWith(log, 0, "Command ID : "),
              (Lines{"Command ID : findhandle", "Command ID : FINDHANDLE",
                     "Command ID : ReturnUrlList", "Command ID : ReturnUrlList",
                     "Command ID : returncheckdevtools"}))
        << DescribeLog(log);
    EXPECT_EQ(CountMessage(log, 2, kParseError), 0u) << DescribeLog(log);
    EXPECT_EQ(CountMessage(log, 2, kKeyError), 0u) << DescribeLog(log);
    EXPECT_EQ(CountMessage(log, 0, std::string("[SOD] : ") + kReplyBody), 1u) << DescribeLog(log);
}

class CommandLineTest : public HostTest,
                        public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(CommandLineTest, ArgumentsChangeNothing) {
    ASSERT_TRUE(StartHost(GetParam()));
    ASSERT_TRUE(host.SendFrame(Request("Hello", "\"\"")));
    ASSERT_TRUE(host.SendFrame("{"));
    HostExit exit = host.Finish();
    EXPECT_TRUE(EndedWithReplies(exit, 3));

    HostLog log = Log();
    EXPECT_EQ(MessagesStartingWith(log, 0, "Command ID : "), Lines{"Command ID : Hello"})
        << DescribeLog(log);
    EXPECT_EQ(Messages(log, 2), (Lines{kParseError, kEndLine})) << DescribeLog(log);
}

INSTANTIATE_TEST_SUITE_P(
    Browser, CommandLineTest,
    ::testing::Values(
        std::vector<std::string>{"chrome-extension://abcdefghijklmnopabcdefghijklmnop/"},
        std::vector<std::string>{"chrome-extension://abcdefghijklmnopabcdefghijklmnop/",
                                 "--parent-window=0"},
        std::vector<std::string>{"0", "", "Request data length is 0", "{\"CommandID\":1}"}),
    [](const ::testing::TestParamInfo<std::vector<std::string>>& info) {
        return "Args" + std::to_string(info.index);
    });

}  // namespace
