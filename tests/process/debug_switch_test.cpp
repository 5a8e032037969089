// The ini's Debug switch as the host reads it at start: trace lines come and
// go with it, failure lines and the replies never do.
#include <gtest/gtest.h>

#include "tests/support/host_fixture.h"

namespace {

using Lines = std::vector<std::string>;

struct SwitchCase {
    const char* name;
    const char* ini;  // null: no ini file at all
    bool traced;
};

void PrintTo(const SwitchCase& value, std::ostream* os) { *os << value.name; }

class DebugSwitchTest : public HostTest, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(DebugSwitchTest, TraceLinesFollowSwitch) {
    if (GetParam().ini != nullptr) {
        ASSERT_TRUE(folder.WriteIni(GetParam().ini));
    } else {
        ASSERT_TRUE(folder.RemoveIni());
    }
    ASSERT_TRUE(StartHost());
    const std::string hello = Request("Hello", "\"\"");
    ASSERT_TRUE(host.SendFrame("{"));
    ASSERT_TRUE(host.SendFrame(hello));
    HostExit exit = host.Finish();
    EXPECT_TRUE(EndedWithReplies(exit, 3));

    HostLog log = Log();
    EXPECT_EQ(Messages(log, 2), (Lines{"Parse Error!!", "Request data length is 0"}))
        << DescribeLog(log);
    const std::string sod = std::string("[SOD] : ") + kReplyBody;
    if (GetParam().traced) {
        EXPECT_EQ(MessagesStartingWith(log, 0, "Request data length : "),
                  (Lines{"Request data length : 1",
                         "Request data length : " + std::to_string(hello.size())}))
            << DescribeLog(log);
        EXPECT_EQ(CountMessage(log, 0, "Command ID : Hello"), 1u) << DescribeLog(log);
        EXPECT_EQ(CountMessage(log, 0, sod), 3u) << DescribeLog(log);
    } else {
        EXPECT_EQ(Messages(log, 0), Lines{}) << DescribeLog(log);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ini, DebugSwitchTest,
    ::testing::Values(SwitchCase{"DebugOne", "[Root]\r\nDebug=1\r\n", true},
                      SwitchCase{"DebugTwo", "[Root]\r\nDebug=2\r\n", true},
                      SwitchCase{"DebugZero", "[Root]\r\nDebug=0\r\n", false},
                      SwitchCase{"NoDebugKey", "[Root]\r\nTrace=1\r\n", false},
                      SwitchCase{"OtherSection", "[Client]\r\nDebug=1\r\n", false},
                      SwitchCase{"NoIni", nullptr, false}),
    [](const ::testing::TestParamInfo<SwitchCase>& info) { return info.param.name; });

}  // namespace
