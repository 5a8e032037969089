// The two relay threads of a real host, with this test on both of its sides:
// the agent (request and result blocks, the six events) and the extension
// (the host's standard input and output).
//
// Log lines are only counted where one thread of the host alone was logging:
// a log call that meets another thread opening the log file is dropped.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "bridge/profiles.h"
#include "bridge/registry.h"
#include "tests/support/agent_side.h"
#include "tests/support/host_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// How each channel shows itself to the extension and in the log.
struct ChannelCase {
    AgentChannel channel;
    const char* requestWord;
    const char* answerCommand;
    const char* foundLine;    // up to the HWND
    const char* timeoutLine;  // up to the window id
    const char* answerTail;   // what the extension answers after the window id
};

const ChannelCase kUrlCase = {AgentChannel::Url,
                              "GetURL",
                              "ReturnUrlList",
                              "###### call get url return HWND : ",
                              "###### SetEvent  hEventForRes URL... Time out.##### ",
                              ";https://a/;https://b/"};
const ChannelCase kDevtoolCase = {AgentChannel::Devtool,
                                  "GetFrameDevTool",
                                  "ReturnCheckDevtools",
                                  "###### call GetFrameDevTool return HWND : ",
                                  "###### SetEvent  hEventGetDevtoolRes... Time out.##### ",
                                  ";1"};

void PrintTo(const ChannelCase& c, std::ostream* os) { *os << c.requestWord; }

std::string Question(const ChannelCase& c, int id) { return ::Question(c.requestWord, id); }
std::string FoundLine(const ChannelCase& c, uint32_t hwnd, int id) {
    return c.foundLine + HandleHex(hwnd) + " window id : " + std::to_string(id);
}
std::string TimeoutLine(const ChannelCase& c, uint32_t hwnd, int id) {
    return c.timeoutLine + std::to_string(id) + "(" + HandleHex(hwnd) + ")";
}
std::string MissLine(uint32_t hwnd) { return "###### Can't Find HWND : " + HandleHex(hwnd) + " window id : 0"; }
std::string FailedLine(uint32_t hwnd) { return "###### find window failed.. (" + HandleHex(hwnd) + ")10"; }

// The relays' own lines ("######"), in order.
std::vector<std::string> RelayLines(const HostLog& log) { return MessagesStartingWith(log, 2, "######"); }

class RelayTest : public HostTest {
protected:
    void TearDown() override {
        extras.clear();
        HostTest::TearDown();
        agent.Close();
    }

    // A host under a browser launcher that shows a window, the agent's
    // blocks made first (without the request blocks when told so).
    void StartServing(bool requestBlocks = true, const BrowserProfile& profile = g_ChromeProfile,
                      const std::string& browser = "chrome") {
        std::string error;
        ASSERT_TRUE(agent.CreateBlocks(profile, requestBlocks, &error)) << error;
        ASSERT_TRUE(StartHost({}, {browser + "+window"}));
        ASSERT_NO_FATAL_FAILURE(Sync());
        ASSERT_TRUE(agent.OpenEvents(&error)) << error;
        // This process sees the same desktop as the host.
        window = HandleValue(FindBrowserWindow());
        ASSERT_NE(window, 0u);
    }

    // Requests are served in order: once the refusal of a bad frame is back,
    // everything sent before it is done, and any frame a relay wrote before
    // it would have come first.
    void Sync() {
        ASSERT_TRUE(host.SendFrame("sync"));
        std::string reply;
        ASSERT_TRUE(host.ReadFrame(&reply, kHostTimeoutMs));
        ASSERT_EQ(reply, kReplyBody);
    }

    // FindHandle binds the frontmost browser window, which must be `expected`.
    void Bind(uint32_t expected, int id) {
        ASSERT_EQ(HandleValue(FindBrowserWindow()), expected) << "another window is in front";
        ASSERT_TRUE(host.SendFrame(Request("FindHandle", std::to_string(id))));
        ASSERT_NO_FATAL_FAILURE(Sync());
    }

    uint32_t ShowExtraWindow() {
        extras.push_back(std::unique_ptr<ExtraBrowserWindow>(new ExtraBrowserWindow));
        std::string error;
        EXPECT_TRUE(extras.back()->Show(&error)) << error;
        return extras.back()->Handle();
    }

    void Answer(const ChannelCase& c, const std::string& text) {
        ASSERT_TRUE(host.SendFrame(Request(c.answerCommand, "\"" + text + "\"")));
    }

    std::string ReadQuestion(int timeoutMs) {
        std::string body;
        return host.ReadFrame(&body, timeoutMs) ? body : "(no frame)";
    }

    // Until the level-2 line has been written count times.
    bool WaitForLines(const std::string& line, size_t count, int timeoutMs) {
        Clock::time_point start = Clock::now();
        do {
            if (CountMessage(Log(), 2, line) >= count) return true;
            SleepMs(5);
        } while (MsSince(start) < timeoutMs);
        return false;
    }

    AgentSide agent;
    std::vector<std::unique_ptr<ExtraBrowserWindow>> extras;
    uint32_t window = 0;  // the launcher's browser window
};

class RelayChannelTest : public RelayTest, public ::testing::WithParamInterface<ChannelCase> {
protected:
    const ChannelCase& C() const { return GetParam(); }
    AgentChannel Channel() const { return GetParam().channel; }
};

TEST_P(RelayChannelTest, WindowKnownBeforeTheQuestion) {
    ASSERT_NO_FATAL_FAILURE(StartServing());
    ASSERT_NO_FATAL_FAILURE(Bind(window, 7));

    Clock::time_point asked = Clock::now();
    ASSERT_TRUE(agent.Post(Channel(), window));
    EXPECT_EQ(ReadQuestion(5000), Question(C(), 7));
    long long delay = MsSince(asked);
    // The URL relay pauses after the lookup that found the window as well.
    if (Channel() == AgentChannel::Url) {
        EXPECT_GE(delay, 80);
    }
    EXPECT_LT(delay, 3000);
    EXPECT_TRUE(agent.RequestBlockIsZero(Channel()));
    // The agent hears nothing until the extension has answered.
    EXPECT_FALSE(agent.WaitResponse(Channel(), 0));
    EXPECT_EQ(agent.ResultText(Channel()), kStainText);

    ASSERT_NO_FATAL_FAILURE(Answer(C(), std::string("7") + C().answerTail));
    EXPECT_TRUE(agent.WaitResponse(Channel(), 4000));
    EXPECT_EQ(agent.ResultText(Channel()), HandleHex(window) + ";7" + C().answerTail);
    ASSERT_NO_FATAL_FAILURE(Sync());

    // One lookup and nothing else; no other thread logged meanwhile.
    HostLog log = Log();
    EXPECT_EQ(RelayLines(log), std::vector<std::string>{FoundLine(C(), window, 7)}) << DescribeLog(log);
}

TEST_P(RelayChannelTest, WindowBoundWhileTheAttemptsRun) {
    ASSERT_NO_FATAL_FAILURE(StartServing());
    Clock::time_point asked = Clock::now();
    ASSERT_TRUE(agent.Post(Channel(), window));
    // Bind only once the relay has surely missed it.
    ASSERT_TRUE(WaitForLines(MissLine(window), 1, 3000)) << DescribeLog(Log());
    long long early = 250 - MsSince(asked);
    if (early > 0) SleepMs(static_cast<int>(early));
    ASSERT_EQ(HandleValue(FindBrowserWindow()), window);
    Clock::time_point bound = Clock::now();
    ASSERT_TRUE(host.SendFrame(Request("FindHandle", "8")));

    EXPECT_EQ(ReadQuestion(5000), Question(C(), 8));
    EXPECT_LT(MsSince(bound), 1500);  // the next attempt, 100 ms on, finds it
    EXPECT_TRUE(agent.RequestBlockIsZero(Channel()));
    ASSERT_NO_FATAL_FAILURE(Answer(C(), std::string("8") + C().answerTail));
    EXPECT_TRUE(agent.WaitResponse(Channel(), 4000));
    EXPECT_EQ(agent.ResultText(Channel()), HandleHex(window) + ";8" + C().answerTail);
    ASSERT_NO_FATAL_FAILURE(Sync());

    // The main thread logged too while the window was found: only bounds.
    HostLog log = Log();
    size_t misses = CountMessage(log, 2, MissLine(window));
    EXPECT_GE(misses, 1u) << DescribeLog(log);
    EXPECT_LE(misses, 9u) << DescribeLog(log);
    EXPECT_LE(CountMessage(log, 2, FoundLine(C(), window, 8)), 1u);
    EXPECT_EQ(CountMessage(log, 2, FailedLine(window)), 0u);
}

// The bind has to land between the ninth and the tenth attempt, 100 ms apart.
// A bind that comes too late is no fault of the host: the question then fails
// as a never-found one, and the case is tried again with a new window.
TEST_P(RelayChannelTest, FoundAtTheTenthAttempt) {
    ASSERT_NO_FATAL_FAILURE(StartServing());
    bool foundLast = false;
    for (int attempt = 1; attempt <= 3 && !foundLast && !HasFailure(); ++attempt) {
        uint32_t hwnd = ShowExtraWindow();
        ASSERT_EQ(HandleValue(FindBrowserWindow()), hwnd);
        int id = 30 + attempt;
        ASSERT_TRUE(agent.Post(Channel(), hwnd));
        ASSERT_TRUE(WaitForLines(MissLine(hwnd), 9, 5000)) << DescribeLog(Log());
        ASSERT_TRUE(host.SendFrame(Request("FindHandle", std::to_string(id))));

        std::string question;
        if (host.ReadFrame(&question, 3000)) {
            foundLast = true;
            EXPECT_EQ(question, Question(C(), id));
            ASSERT_NO_FATAL_FAILURE(Answer(C(), std::to_string(id) + C().answerTail));
            EXPECT_TRUE(agent.WaitResponse(Channel(), 4000));
            EXPECT_EQ(agent.ResultText(Channel()), HandleHex(hwnd) + ";" + std::to_string(id) + C().answerTail);
            ASSERT_NO_FATAL_FAILURE(Sync());
            // The nine misses were all written before the bind was sent.
            HostLog log = Log();
            EXPECT_EQ(CountMessage(log, 2, MissLine(hwnd)), 9u) << DescribeLog(log);
            EXPECT_EQ(CountMessage(log, 2, FailedLine(hwnd)), 0u) << DescribeLog(log);
        } else {
            // Too late: the tenth attempt missed as well, and the agent was told.
            EXPECT_TRUE(agent.WaitResponse(Channel(), 3000));
            ASSERT_NO_FATAL_FAILURE(Sync());
            HostLog log = Log();
            EXPECT_GE(CountMessage(log, 2, MissLine(hwnd)), 9u) << DescribeLog(log);
            EXPECT_LE(CountMessage(log, 2, MissLine(hwnd)), 10u) << DescribeLog(log);
        }
        EXPECT_TRUE(agent.RequestBlockIsZero(Channel()));
    }
    EXPECT_TRUE(foundLast) << "three binds in a row came more than 100 ms after the ninth miss";
}

TEST_P(RelayChannelTest, NeverBoundWindowAndHandleZero) {
    ASSERT_NO_FATAL_FAILURE(StartServing());
    // The launcher's window exists but was never bound; 0 is no window at all.
    for (uint32_t hwnd : {window, 0u}) {
        Clock::time_point asked = Clock::now();
        ASSERT_TRUE(agent.Post(Channel(), hwnd));
        EXPECT_TRUE(agent.WaitResponse(Channel(), 5000)) << HandleHex(hwnd);
        long long waited = MsSince(asked);
        EXPECT_GE(waited, 800) << HandleHex(hwnd);  // ten attempts, 100 ms apart
        EXPECT_LT(waited, 3000) << HandleHex(hwnd);
        EXPECT_TRUE(agent.RequestBlockIsZero(Channel())) << HandleHex(hwnd);
        // Nothing reached the extension: it would have come before the reply.
        ASSERT_NO_FATAL_FAILURE(Sync());
    }
    EXPECT_EQ(agent.ResultText(Channel()), kStainText);
    std::vector<std::string> expected;
    for (uint32_t hwnd : {window, 0u}) {
        expected.insert(expected.end(), 10, MissLine(hwnd));
        expected.push_back(FailedLine(hwnd));
    }
    HostLog log = Log();
    EXPECT_EQ(RelayLines(log), expected) << DescribeLog(log);
}

TEST_P(RelayChannelTest, MissingRequestBlockThenTheNextQuestion) {
    ASSERT_NO_FATAL_FAILURE(StartServing(false));
    ASSERT_NO_FATAL_FAILURE(Bind(window, 7));
    ASSERT_TRUE(agent.Signal(Channel()));
    EXPECT_TRUE(agent.WaitResponse(Channel(), 3000));
    ASSERT_NO_FATAL_FAILURE(Sync());
    HostLog log = Log();
    EXPECT_EQ(CountMessage(log, 2, "openfilemapp failed..."), 1u) << DescribeLog(log);
    EXPECT_TRUE(RelayLines(log).empty()) << DescribeLog(log);  // no lookup

    // The thread goes on: once the block is there, a question is served.
    std::string error;
    ASSERT_TRUE(agent.CreateRequestBlock(Channel(), &error)) << error;
    ASSERT_TRUE(agent.Post(Channel(), window));
    EXPECT_EQ(ReadQuestion(5000), Question(C(), 7));
    EXPECT_TRUE(agent.RequestBlockIsZero(Channel()));
    ASSERT_NO_FATAL_FAILURE(Answer(C(), std::string("7") + C().answerTail));
    EXPECT_TRUE(agent.WaitResponse(Channel(), 4000));
    EXPECT_EQ(agent.ResultText(Channel()), HandleHex(window) + ";7" + C().answerTail);
}

TEST_P(RelayChannelTest, NoAnswerWithinTheLimit) {
    ASSERT_NO_FATAL_FAILURE(StartServing());
    ASSERT_NO_FATAL_FAILURE(Bind(window, 7));
    ASSERT_TRUE(agent.Post(Channel(), window));
    ASSERT_EQ(ReadQuestion(5000), Question(C(), 7));
    Clock::time_point sent = Clock::now();
    EXPECT_TRUE(agent.WaitResponse(Channel(), 15000));
    long long waited = MsSince(sent);
    EXPECT_GE(waited, 4500);
    EXPECT_LT(waited, 15000);
    EXPECT_TRUE(agent.RequestBlockIsZero(Channel()));
    EXPECT_EQ(agent.ResultText(Channel()), kStainText);  // left as it was
    ASSERT_NO_FATAL_FAILURE(Sync());
    HostLog log = Log();
    EXPECT_EQ(RelayLines(log), (std::vector<std::string>{FoundLine(C(), window, 7), TimeoutLine(C(), window, 7)}))
        << DescribeLog(log);
}

TEST_P(RelayChannelTest, LateAnswerReleasesTheNextWaitAtOnce) {
    ASSERT_NO_FATAL_FAILURE(StartServing());
    ASSERT_NO_FATAL_FAILURE(Bind(window, 7));
    ASSERT_TRUE(agent.Post(Channel(), window));
    ASSERT_EQ(ReadQuestion(5000), Question(C(), 7));
    ASSERT_TRUE(agent.WaitResponse(Channel(), 15000));  // timed out

    // Still written, and its signal stays set for the next wait.
    ASSERT_NO_FATAL_FAILURE(Answer(C(), "7;late"));
    ASSERT_NO_FATAL_FAILURE(Sync());
    EXPECT_EQ(agent.ResultText(Channel()), HandleHex(window) + ";7;late");

    ASSERT_TRUE(agent.Post(Channel(), window));
    ASSERT_EQ(ReadQuestion(5000), Question(C(), 7));
    Clock::time_point sent = Clock::now();
    EXPECT_TRUE(agent.WaitResponse(Channel(), 4000));
    EXPECT_LT(MsSince(sent), 4000);
    EXPECT_TRUE(agent.RequestBlockIsZero(Channel()));
    ASSERT_NO_FATAL_FAILURE(Sync());
    HostLog log = Log();
    EXPECT_EQ(CountMessage(log, 2, TimeoutLine(C(), window, 7)), 1u) << DescribeLog(log);
}

// The request event resets automatically: signals that meet it set already
// make one question. They are given while the relay waits for an answer,
// the only time it surely isn't waiting on the request event.
TEST_P(RelayChannelTest, SignalsWhileBusyMakeOneMoreQuestion) {
    ASSERT_NO_FATAL_FAILURE(StartServing());
    ASSERT_NO_FATAL_FAILURE(Bind(window, 7));
    ASSERT_TRUE(agent.Post(Channel(), window));
    ASSERT_EQ(ReadQuestion(5000), Question(C(), 7));

    ASSERT_TRUE(agent.WriteRequest(Channel(), window));
    ASSERT_TRUE(agent.Signal(Channel()));
    ASSERT_TRUE(agent.Signal(Channel()));
    ASSERT_NO_FATAL_FAILURE(Answer(C(), "7;first"));
    EXPECT_TRUE(agent.WaitResponse(Channel(), 4000));

    EXPECT_EQ(ReadQuestion(5000), Question(C(), 7));
    EXPECT_TRUE(agent.RequestBlockIsZero(Channel()));
    ASSERT_NO_FATAL_FAILURE(Answer(C(), "7;second"));
    EXPECT_TRUE(agent.WaitResponse(Channel(), 4000));
    EXPECT_EQ(agent.ResultText(Channel()), HandleHex(window) + ";7;second");

    // A third cycle would find the block cleared, miss HWND 0 for about a
    // second and then tell the agent.
    EXPECT_FALSE(agent.WaitResponse(Channel(), 2000));
    ASSERT_NO_FATAL_FAILURE(Sync());
    HostLog log = Log();
    EXPECT_EQ(RelayLines(log), std::vector<std::string>(2, FoundLine(C(), window, 7))) << DescribeLog(log);
}

INSTANTIATE_TEST_SUITE_P(Relay, RelayChannelTest, ::testing::Values(kUrlCase, kDevtoolCase),
                         [](const ::testing::TestParamInfo<ChannelCase>& info) {
                             return std::string(ChannelName(info.param.channel));
                         });

TEST_F(RelayTest, BothChannelsAtOnce) {
    ASSERT_NO_FATAL_FAILURE(StartServing());
    ASSERT_NO_FATAL_FAILURE(Bind(window, 11));
    uint32_t other = ShowExtraWindow();
    ASSERT_NO_FATAL_FAILURE(Bind(other, 22));

    ASSERT_TRUE(agent.Post(AgentChannel::Url, window));
    ASSERT_TRUE(agent.Post(AgentChannel::Devtool, other));
    std::vector<std::string> questions = {ReadQuestion(5000), ReadQuestion(5000)};
    std::sort(questions.begin(), questions.end());
    EXPECT_EQ(questions, (std::vector<std::string>{Question(kDevtoolCase, 22), Question(kUrlCase, 11)}));
    EXPECT_TRUE(agent.RequestBlockIsZero(AgentChannel::Url));
    EXPECT_TRUE(agent.RequestBlockIsZero(AgentChannel::Devtool));
    EXPECT_FALSE(agent.WaitResponse(AgentChannel::Url, 0));
    EXPECT_FALSE(agent.WaitResponse(AgentChannel::Devtool, 0));

    // Each question is released by its own answer only.
    ASSERT_NO_FATAL_FAILURE(Answer(kDevtoolCase, "22;devtools-open"));
    EXPECT_TRUE(agent.WaitResponse(AgentChannel::Devtool, 4000));
    EXPECT_FALSE(agent.WaitResponse(AgentChannel::Url, 0));
    ASSERT_NO_FATAL_FAILURE(Answer(kUrlCase, "11;https://u/"));
    EXPECT_TRUE(agent.WaitResponse(AgentChannel::Url, 4000));

    EXPECT_EQ(agent.ResultText(AgentChannel::Url), HandleHex(window) + ";11;https://u/");
    EXPECT_EQ(agent.ResultText(AgentChannel::Devtool), HandleHex(other) + ";22;devtools-open");
    ASSERT_NO_FATAL_FAILURE(Sync());
}

TEST_F(RelayTest, EdgeUsesItsOwnObjects) {
    ASSERT_NO_FATAL_FAILURE(StartServing(true, g_EdgeProfile, "msedge"));
    ASSERT_NO_FATAL_FAILURE(Bind(window, 5));
    for (const ChannelCase* c : {&kUrlCase, &kDevtoolCase}) {
        ASSERT_TRUE(agent.Post(c->channel, window));
        EXPECT_EQ(ReadQuestion(5000), Question(*c, 5));
        EXPECT_TRUE(agent.RequestBlockIsZero(c->channel));
        ASSERT_NO_FATAL_FAILURE(Answer(*c, "5;edge"));
        EXPECT_TRUE(agent.WaitResponse(c->channel, 4000)) << c->requestWord;
        EXPECT_EQ(agent.ResultText(c->channel), HandleHex(window) + ";5;edge");
    }
    ASSERT_NO_FATAL_FAILURE(Sync());
    EXPECT_EQ(CountMessage(Log(), 2, "openfilemapp failed..."), 0u);
}

}  // namespace
