// How long the named events live: as long as a live process holds them, and
// no longer, however the host ends; and two hosts of one browser at once,
// both holding the same six events.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "bridge/profiles.h"
#include "bridge/registry.h"
#include "support/handles.h"
#include "tests/support/agent_side.h"
#include "tests/support/host_fixture.h"
#include "tests/support/process_watch.h"
#include "tools/common/child_process.h"
#include "tools/common/wide.h"

namespace {

const int kWindowId = 7;

std::vector<const WCHAR*> EventNames(const BrowserProfile& p) {
    return {p.lpszEventResponseUrl,     p.lpszEventRequestUrl,     p.lpszEventForRes,
            p.lpszEventResponseDevtool, p.lpszEventRequestDevtool, p.lpszEventGetDevtoolRes};
}

// The six start-up lines of one host, as it logs them when each event is new
// (or when each already existed).
std::vector<std::string> CreationLines(bool existed) {
    std::vector<std::string> lines;
    for (const WCHAR* name : EventNames(g_ChromeProfile)) {
        lines.push_back("CreateEventForEveryone() -> CreateEvent(" + Utf8(name) + ") success" +
                        (existed ? ". But, Already EXISTS!" : ""));
    }
    return lines;
}

std::string UrlQuestion() { return Question("GetURL", kWindowId); }

class LifetimeTest : public HostTest {
protected:
    void TearDown() override {
        if (second.Child().Pid() != 0) second.Finish(10000);
        second.Child().Kill();
        agent.Close();
        HostTest::TearDown();
    }

    // Started, its start-up over, and bound to the frontmost browser window.
    void StartServing(HostProcess* h, const std::vector<std::string>& ancestors = {"chrome+window"}) {
        std::string error;
        ASSERT_TRUE(h->Start(folder, {}, &error, ancestors)) << error;
        ASSERT_NO_FATAL_FAILURE(Sync(h));
        window = HandleValue(FindBrowserWindow());
        ASSERT_NE(window, 0u);
        ASSERT_TRUE(h->SendFrame(Request("FindHandle", std::to_string(kWindowId))));
        ASSERT_NO_FATAL_FAILURE(Sync(h));
    }

    void Sync(HostProcess* h) {
        ASSERT_TRUE(h->SendFrame("sync"));
        std::string reply;
        ASSERT_TRUE(h->ReadFrame(&reply));
        ASSERT_EQ(reply, kReplyBody);
    }

    // The host, not its launcher, killed; the launcher then ends with it.
    void KillHost(HostProcess* h) {
        WatchedProcess process;
        ASSERT_TRUE(process.FindChildOf(h->Child().Pid(), kHostTimeoutMs));
        ASSERT_TRUE(process.Kill());
        ASSERT_TRUE(h->WaitExit(nullptr));
    }

    // The creation lines of the host that started last.
    std::vector<std::string> LastCreationLines() {
        std::vector<std::string> lines = MessagesStartingWith(Log(), 0, "CreateEventForEveryone()");
        if (lines.size() > 6) lines.erase(lines.begin(), lines.end() - 6);
        return lines;
    }

    // One URL question from the agent, answered by h's extension with text.
    void AskAndAnswer(HostProcess* h, const std::string& text) {
        ASSERT_TRUE(agent.Post(AgentChannel::Url, window));
        std::string question;
        ASSERT_TRUE(h->ReadFrame(&question));
        EXPECT_EQ(question, UrlQuestion());
        ASSERT_TRUE(h->SendFrame(Request("ReturnUrlList", "\"" + text + "\"")));
        EXPECT_TRUE(agent.WaitResponse(AgentChannel::Url, 15000));
        EXPECT_EQ(agent.ResultText(AgentChannel::Url), HandleHex(window) + ";" + text);
    }

    HostProcess second;
    AgentSide agent;
    uint32_t window = 0;
};

// A host that ends, normally or killed, takes its events with it: the next
// host makes them anew, with their first state, whatever the first left set.
class HostEndTest : public LifetimeTest, public ::testing::WithParamInterface<bool> {};

TEST_P(HostEndTest, TheNextHostMakesTheEventsAnew) {
    const bool killed = GetParam();
    ASSERT_NO_FATAL_FAILURE(StartServing(&host));
    // Signals nobody takes: an answer event is waited on only during a question.
    for (const WCHAR* name : {g_ChromeProfile.lpszEventForRes, g_ChromeProfile.lpszEventGetDevtoolRes}) {
        UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, name));
        ASSERT_TRUE(event != nullptr) << Utf8(name);
        ASSERT_TRUE(SetEvent(event.get()));
    }
    if (killed) {
        ASSERT_NO_FATAL_FAILURE(KillHost(&host));
    } else {
        EXPECT_TRUE(EndedWithReplies(host.Finish(), 1));
    }
    for (const WCHAR* name : EventNames(g_ChromeProfile)) {
        SetLastError(0);
        UniqueHandle event(OpenEventW(SYNCHRONIZE, FALSE, name));
        EXPECT_TRUE(event == nullptr) << Utf8(name) << " outlived its host";
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << Utf8(name);
    }

    ASSERT_NO_FATAL_FAILURE(StartServing(&second));
    EXPECT_EQ(LastCreationLines(), CreationLines(false)) << DescribeLog(Log());
    for (const WCHAR* name : {g_ChromeProfile.lpszEventForRes, g_ChromeProfile.lpszEventGetDevtoolRes}) {
        UniqueHandle event(OpenEventW(SYNCHRONIZE, FALSE, name));
        ASSERT_TRUE(event != nullptr) << Utf8(name);
        EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
            << Utf8(name) << " kept the dead host's signal";
    }
    EXPECT_TRUE(EndedWithReplies(second.Finish(), 1));
}

INSTANTIATE_TEST_SUITE_P(Ends, HostEndTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Killed" : "Normally");
                         });

// The agent's handles keep the events of a host that was killed; they still
// work, and the next host opens the same events and serves the agent.
TEST_F(LifetimeTest, AHostKilledWhileTheAgentHoldsTheEvents) {
    std::string error;
    ASSERT_TRUE(agent.CreateBlocks(g_ChromeProfile, true, &error)) << error;
    ASSERT_NO_FATAL_FAILURE(StartServing(&host));
    std::vector<UniqueHandle> held;
    for (const WCHAR* name : EventNames(g_ChromeProfile)) {
        held.emplace_back(OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name));
        ASSERT_TRUE(held.back() != nullptr) << Utf8(name);
    }
    ASSERT_TRUE(agent.OpenEvents(&error)) << error;
    ASSERT_NO_FATAL_FAILURE(KillHost(&host));

    for (UniqueHandle& event : held) {
        EXPECT_TRUE(SetEvent(event.get()));
        EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    }

    ASSERT_NO_FATAL_FAILURE(StartServing(&second));
    EXPECT_EQ(LastCreationLines(), CreationLines(true)) << DescribeLog(Log());
    ASSERT_NO_FATAL_FAILURE(AskAndAnswer(&second, "7;https://after/"));
    EXPECT_TRUE(EndedWithReplies(second.Finish(), 1));
}

// The doctor, run while an agent and a host are up, sees the four blocks and
// the six events, and takes no signal: one left set stays set, and the host
// still answers the agent's next question.
TEST_F(LifetimeTest, TheDoctorSeesTheObjectsAndTakesNoSignal) {
    std::string error;
    ASSERT_TRUE(agent.CreateBlocks(g_ChromeProfile, true, &error)) << error;
    ASSERT_NO_FATAL_FAILURE(StartServing(&host));
    ASSERT_TRUE(agent.OpenEvents(&error)) << error;
    UniqueHandle answer(OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, g_ChromeProfile.lpszEventForRes));
    ASSERT_TRUE(answer != nullptr);
    ASSERT_TRUE(SetEvent(answer.get()));

    ChildProcess doctor;
    ASSERT_TRUE(doctor.Start(ProgramDirectory() + ExecutableName("orvendel-doctor"), {"--browser", "chrome", "--json"},
                             folder.HostEnvironment(), &error))
        << error;
    doctor.CloseInput();
    std::string out;
    ASSERT_TRUE(doctor.ReadToEnd(&out, 60000));
    ASSERT_TRUE(doctor.Wait(60000, nullptr));
    rapidjson::Document report;
    report.Parse(out.c_str());
    ASSERT_FALSE(report.HasParseError()) << out;
    std::vector<std::string> agentLines;
    for (const auto& check : report["checks"].GetArray()) {
        if (std::string(check["area"].GetString()) == "agent") {
            agentLines.push_back(std::string(check["status"].GetString()) + " " + check["text"].GetString());
        }
    }
    EXPECT_EQ(agentLines, (std::vector<std::string>{
                              "OK the six events exist (a host is running, or the agent made them)",
                              "OK block Global\\REQFRAMEURL_LIST holds at least 16 bytes",
                              "OK block Global\\REQFRAMEURL_DEVTOOL holds at least 16 bytes",
                              "OK block Global\\GETFRAMEURL_LIST holds at least 100000 bytes",
                              "OK block Global\\GETFRAMEURL_DEVTOOL holds at least 260 bytes"}))
        << out;

    EXPECT_EQ(WaitForSingleObject(answer.get(), 0), WAIT_OBJECT_0) << "the doctor took a signal";
    ASSERT_NO_FATAL_FAILURE(AskAndAnswer(&host, "7;https://after-the-doctor/"));
}

// Plays one host's extension: answers every URL question with the host's
// letter and a count, until told to stop.
struct Extension {
    HostProcess* host = nullptr;
    char letter = '?';
    std::atomic<int> answered{0};
    std::atomic<int> strays{0};  // frames that were no URL question
    std::atomic<bool> stop{false};

    void Run() {
        while (!stop) {
            std::string body;
            if (!host->ReadFrame(&body, 200)) continue;
            if (body != UrlQuestion()) {
                ++strays;
                continue;
            }
            int n = ++answered;
            host->SendFrame(Request("ReturnUrlList", std::string("\"7;") + letter + std::to_string(n) + "\""));
        }
    }
};

// Two hosts of one browser at once (two profiles, or an extension that came
// back before its old host ended) hold the same six events. Each question is
// taken by whichever host's relay wakes first, and answered once.
TEST_F(LifetimeTest, TwoHostsShareTheQuestions) {
    const int kQuestions = 100;
    std::string error;
    ASSERT_TRUE(agent.CreateBlocks(g_ChromeProfile, true, &error)) << error;
    ASSERT_NO_FATAL_FAILURE(StartServing(&host));
    ASSERT_NO_FATAL_FAILURE(StartServing(&second, kChromeParent));
    ASSERT_TRUE(agent.OpenEvents(&error)) << error;
    EXPECT_EQ(LastCreationLines(), CreationLines(true)) << DescribeLog(Log());

    Extension a, b;
    a.host = &host;
    a.letter = 'A';
    b.host = &second;
    b.letter = 'B';
    std::thread ta([&] { a.Run(); }), tb([&] { b.Run(); });
    int byA = 0, byB = 0;
    for (int q = 0; q < kQuestions && !HasFailure(); ++q) {
        SCOPED_TRACE("question " + std::to_string(q));
        ASSERT_TRUE(agent.Post(AgentChannel::Url, window));
        ASSERT_TRUE(agent.WaitResponse(AgentChannel::Url, 15000));
        std::string text = agent.ResultText(AgentChannel::Url);
        std::string prefix = HandleHex(window) + ";7;";
        ASSERT_EQ(text.compare(0, prefix.size(), prefix), 0) << text;
        ++(text[prefix.size()] == 'A' ? byA : byB);
    }
    // No second response to any question comes late.
    EXPECT_FALSE(agent.WaitResponse(AgentChannel::Url, 500));
    a.stop = true;
    b.stop = true;
    ta.join();
    tb.join();
    EXPECT_EQ(a.answered + b.answered, kQuestions);
    EXPECT_EQ(byA, a.answered.load());
    EXPECT_EQ(byB, b.answered.load());
    EXPECT_EQ(a.strays + b.strays, 0);
    RecordProperty("answered_by_first_host", byA);
    RecordProperty("answered_by_second_host", byB);
    printf("[ shared   ] %d questions: %d by the first host, %d by the second\n", kQuestions, byA, byB);
    EXPECT_TRUE(EndedWithReplies(host.Finish(), 1));
    EXPECT_TRUE(EndedWithReplies(second.Finish(), 1));
}

}  // namespace
