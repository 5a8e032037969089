// What the host survives on the agent's side: an agent process killed in the
// middle of a question or while its block is being written, blocks that
// vanish and come back at other sizes, and an extension that answers
// questions nobody asked, by the thousand, while both relays ask.
//
// The agent is the real orvendel-agent in a process of its own, so that it
// can die as a process dies; only the flood test plays it in this process.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bridge/profiles.h"
#include "bridge/registry.h"
#include "support/handles.h"
#include "tests/support/agent_side.h"
#include "tests/support/host_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A question ends within about 6 s whatever happens (ten lookups and the
// 5000 ms wait); the rest is room for a loaded machine.
const DWORD kResponseBoundMs = 15000;
const int kAgentReplyMs = 30000;
const int kWindowId = 7;

// One channel as the agent tool, the extension and the log name it.
struct Channel {
    AgentChannel which;
    const char* agentName;      // orvendel-agent's word for it
    const char* requestWord;    // Result of the host's question
    const char* answerCommand;  // the extension's answer
    const WCHAR* BrowserProfile::*responseEvent;
    const char* openFailedLine;  // the answer handler's line for a missing block
    const char* timeoutLine;     // up to the window id
};

const Channel kUrl = {AgentChannel::Url,
                      "url",
                      "GetURL",
                      "ReturnUrlList",
                      &BrowserProfile::lpszEventResponseUrl,
                      " GETFRAMEURL_LIST OPENFILEMAP FAILED (2)",
                      "###### SetEvent  hEventForRes URL... Time out.##### "};
const Channel kDevtool = {AgentChannel::Devtool,
                          "devtools",
                          "GetFrameDevTool",
                          "ReturnCheckDevtools",
                          &BrowserProfile::lpszEventResponseDevtool,
                          " GETFRAMEURL_DEVTOOL OPENFILEMAP FAILED ",
                          "###### SetEvent  hEventGetDevtoolRes... Time out.##### "};

void PrintTo(const Channel& c, std::ostream* os) { *os << c.agentName; }

std::string Question(const Channel& c, int id) { return ::Question(c.requestWord, id); }

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// orvendel-agent reading commands from its standard input, one line each,
// and answering each with one line.
class AgentProcess {
public:
    AgentProcess() = default;
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;
    ~AgentProcess() { Stop(); }

    bool Start(std::string* error) {
        // The namespace and folder come with this process's environment.
        return child_.Start(ProgramDirectory() + ExecutableName("orvendel-agent"), {}, {}, error);
    }
    bool Send(const std::string& command) {
        std::string line = command + "\n";
        return child_.Write(line.data(), line.size());
    }
    // Its next line without the line end, or "(no line)".
    std::string ReadLine(int timeoutMs = kAgentReplyMs) {
        Clock::time_point start = Clock::now();
        for (;;) {
            size_t end = pending_.find('\n');
            if (end != std::string::npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return line;
            }
            long left = timeoutMs - static_cast<long>(MsSince(start));
            if (left <= 0) return "(no line)";
            char chunk[4096];
            long got = child_.Read(chunk, sizeof chunk, static_cast<int>(left));
            if (got == 0) return "(no line)";
            if (got > 0) pending_.append(chunk, static_cast<size_t>(got));
        }
    }
    std::string Run(const std::string& command, int timeoutMs = kAgentReplyMs) {
        return Send(command) ? ReadLine(timeoutMs) : "(cannot send)";
    }
    // As the system ends a process: no code of its own runs any more.
    void Kill() { child_.Kill(); }
    void Stop() {
        if (!child_.Running()) return;
        child_.CloseInput();
        if (!child_.Wait(10000, nullptr)) child_.Kill();
    }

private:
    ChildProcess child_;
    std::string pending_;
};

class AgentFaultTest : public HostTest {
protected:
    void TearDown() override {
        HostTest::TearDown();
        observed.clear();
    }

    // A host under a launcher that shows a window, bound to kWindowId.
    void StartServing() {
        ASSERT_TRUE(StartHost({}, {"chrome+window"}));
        ASSERT_NO_FATAL_FAILURE(Sync());
        window = HandleValue(FindBrowserWindow());  // the same desktop as the host's
        ASSERT_NE(window, 0u);
        ASSERT_TRUE(host.SendFrame(Request("FindHandle", std::to_string(kWindowId))));
        ASSERT_NO_FATAL_FAILURE(Sync());
    }

    // Once the refusal of a bad frame is back, everything before it is done.
    void Sync() {
        ASSERT_TRUE(host.SendFrame("sync"));
        std::string reply;
        ASSERT_TRUE(host.ReadFrame(&reply));
        ASSERT_EQ(reply, kReplyBody);
    }

    std::string ReadQuestion(int timeoutMs = 10000) {
        std::string body;
        return host.ReadFrame(&body, timeoutMs) ? body : "(no frame)";
    }

    void Answer(const Channel& c, const std::string& text) {
        ASSERT_TRUE(host.SendFrame(Request(c.answerCommand, "\"" + text + "\"")));
    }

    // The response event of a channel, held by this test: it takes the
    // signal that a dead agent would have taken.
    HANDLE Observer(const Channel& c) {
        observed.emplace_back(OpenEventW(SYNCHRONIZE, FALSE, g_ChromeProfile.*c.responseEvent));
        EXPECT_TRUE(observed.back() != nullptr);
        return observed.back().get();
    }

    std::unique_ptr<AgentProcess> NewAgent(const std::string& createCommand = "create") {
        std::unique_ptr<AgentProcess> agent(new AgentProcess);
        std::string error;
        EXPECT_TRUE(agent->Start(&error)) << error;
        std::string created = agent->Run(createCommand);
        EXPECT_TRUE(StartsWith(created, "ok created")) << created;
        return agent;
    }

    // "ask" of the agent tool, the host's question read and answered here.
    void AskAndAnswer(AgentProcess* agent, const Channel& c, const std::string& answer) {
        ASSERT_TRUE(agent->Send(std::string("ask ") + c.agentName + " " + HandleHex(window) + " timeout=20000"));
        ASSERT_EQ(ReadQuestion(), Question(c, kWindowId));
        ASSERT_NO_FATAL_FAILURE(Answer(c, answer));
        std::string line = agent->ReadLine();
        EXPECT_TRUE(StartsWith(line, std::string("ok ") + c.agentName + " hwnd=" + HandleHex(window) + " answer=\"" +
                                         answer + "\" in "))
            << line;
    }

    uint32_t window = 0;
    std::vector<UniqueHandle> observed;
};

class AgentKilledTest : public AgentFaultTest, public ::testing::WithParamInterface<Channel> {
protected:
    const Channel& C() const { return GetParam(); }
};

// The agent dies while the host waits for the extension. The answer that
// follows finds no block (the blocks went with the agent's last handle); the
// question still ends, and a new agent is served as if nothing had happened.
TEST_P(AgentKilledTest, WhileTheHostWaitsForTheExtension) {
    ASSERT_NO_FATAL_FAILURE(StartServing());
    HANDLE response = Observer(C());
    std::unique_ptr<AgentProcess> first = NewAgent();
    ASSERT_TRUE(first->Send(std::string("ask ") + C().agentName + " " + HandleHex(window) + " timeout=30000"));
    ASSERT_EQ(ReadQuestion(), Question(C(), kWindowId));
    first->Kill();
    ASSERT_NO_FATAL_FAILURE(Answer(C(), "7;for-the-dead"));
    EXPECT_EQ(WaitForSingleObject(response, kResponseBoundMs), WAIT_OBJECT_0);
    ASSERT_NO_FATAL_FAILURE(Sync());

    std::unique_ptr<AgentProcess> second = NewAgent();
    ASSERT_NO_FATAL_FAILURE(AskAndAnswer(second.get(), C(), "7;second"));
    std::string dumped = second->Run(std::string("dump ") + C().agentName);
    EXPECT_EQ(dumped, "ok " + HandleHex(window) + ";7;second");
    second->Stop();

    // Nothing on the output beyond the two questions and the syncs.
    EXPECT_TRUE(EndedWithReplies(host.Finish(), 1));
}

// Killed right after the answer went out: the host may be opening, writing
// or closing the block as the agent goes. Several rounds, to meet it at
// different points. The agent only posts its question: waiting itself, it
// could take the response just before it dies, and this test would wait
// for a signal that is gone.
TEST_P(AgentKilledTest, RightAfterTheAnswerWasSent) {
    ASSERT_NO_FATAL_FAILURE(StartServing());
    HANDLE response = Observer(C());
#if defined(_WIN32)
    const int kRounds = 3;  // a vanished block costs the relay its 5 s wait
#else
    const int kRounds = 8;
#endif
    for (int round = 0; round < kRounds && !HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::unique_ptr<AgentProcess> agent = NewAgent();
        ASSERT_TRUE(StartsWith(agent->Run(std::string("request ") + C().agentName + " " + HandleHex(window)), "ok"));
        ASSERT_TRUE(StartsWith(agent->Run(std::string("signal request-") + C().agentName), "ok"));
        ASSERT_EQ(ReadQuestion(), Question(C(), kWindowId));
        ASSERT_NO_FATAL_FAILURE(Answer(C(), "7;round-" + std::to_string(round)));
        agent->Kill();
        EXPECT_EQ(WaitForSingleObject(response, kResponseBoundMs), WAIT_OBJECT_0);
        ASSERT_NO_FATAL_FAILURE(Sync());
    }

    std::unique_ptr<AgentProcess> last = NewAgent();
    // The dead agents' blocks went with them.
    EXPECT_EQ(last->Run(std::string("dump ") + C().agentName), "ok ");
    ASSERT_NO_FATAL_FAILURE(AskAndAnswer(last.get(), C(), "7;after-the-kills"));
    last->Stop();
    EXPECT_TRUE(EndedWithReplies(host.Finish(), 1));
}

// The agent closes every block while a question is out. The answer cannot
// be written: the handler logs it and signals nothing, so the relay waits
// out its 5000 ms and then tells the agent. A question without a request
// block ends at once. Blocks made again, larger, serve the next question.
TEST_P(AgentKilledTest, BlocksRemovedAndRecreatedBetweenQuestions) {
    ASSERT_NO_FATAL_FAILURE(StartServing());
    std::unique_ptr<AgentProcess> agent = NewAgent();
    const std::string hwnd = HandleHex(window);
    const std::string responseName = std::string("response-") + C().agentName;
    ASSERT_TRUE(StartsWith(agent->Run(std::string("request ") + C().agentName + " " + hwnd), "ok"));
    ASSERT_TRUE(StartsWith(agent->Run(std::string("signal request-") + C().agentName), "ok"));
    ASSERT_EQ(ReadQuestion(), Question(C(), kWindowId));
    ASSERT_EQ(agent->Run("close"), "ok closed all");

    ASSERT_NO_FATAL_FAILURE(Answer(C(), "7;into-nothing"));
    ASSERT_NO_FATAL_FAILURE(Sync());
    // No block, no signal: only the relay's own time-out releases the agent.
    EXPECT_EQ(agent->Run("wait " + responseName + " 1000"), "error timed out on " + responseName);
    EXPECT_EQ(agent->Run("wait " + responseName + " " + std::to_string(kResponseBoundMs)),
              "ok signalled " + responseName);

    // Asked with no request block at all.
    ASSERT_TRUE(StartsWith(agent->Run(std::string("signal request-") + C().agentName), "ok"));
    EXPECT_EQ(agent->Run("wait " + responseName + " " + std::to_string(kResponseBoundMs)),
              "ok signalled " + responseName);
    ASSERT_NO_FATAL_FAILURE(Sync());
    HostLog log = Log();
    EXPECT_EQ(CountMessage(log, 2, C().openFailedLine), 1u) << DescribeLog(log);
    EXPECT_EQ(CountMessage(log, 2, C().timeoutLine + std::to_string(kWindowId) + "(" + hwnd + ")"), 1u)
        << DescribeLog(log);
    EXPECT_EQ(CountMessage(log, 2, "openfilemapp failed..."), 1u) << DescribeLog(log);

    std::string created = agent->Run("create url-request=4096 devtools-request=64 url=262144 devtools=4096");
    ASSERT_EQ(created, "ok created url-request=4096 devtools-request=64 url=262144 devtools=4096");
    ASSERT_NO_FATAL_FAILURE(AskAndAnswer(agent.get(), C(), "7;after-recreate"));
    // The same once more with the smallest blocks the host may rely on.
    ASSERT_EQ(agent->Run("close"), "ok closed all");
    ASSERT_TRUE(StartsWith(agent->Run("create"), "ok created"));
    ASSERT_NO_FATAL_FAILURE(AskAndAnswer(agent.get(), C(), "7;again"));
    agent->Stop();
    EXPECT_TRUE(EndedWithReplies(host.Finish(), 1));
}

// An agent killed while it holds its four blocks takes them with it: the
// next agent makes fresh ones, of the sizes it asks for and all zero.
TEST_F(AgentFaultTest, AKilledAgentsBlocksGoWithIt) {
    std::unique_ptr<AgentProcess> first = NewAgent();
    ASSERT_EQ(first->Run("request url 1234abcd"), "ok request url 1234abcd");
    first->Kill();
    first->Stop();

    std::unique_ptr<AgentProcess> next(new AgentProcess);
    std::string error;
    ASSERT_TRUE(next->Start(&error)) << error;
    EXPECT_EQ(next->Run("create url=200000 devtools=520"),
              "ok created url-request=16 devtools-request=16 url=200000 devtools=520");
    EXPECT_EQ(next->Run("bytes url-request 16"), "ok " + std::string(32, '0'));
    std::string whole = next->Run("bytes url 200000");
    EXPECT_EQ(whole, "ok " + std::string(400000, '0')) << whole.substr(0, 80);
    std::string devtools = next->Run("bytes devtools 520");
    EXPECT_EQ(devtools, "ok " + std::string(1040, '0')) << devtools.substr(0, 80);
}

INSTANTIATE_TEST_SUITE_P(Agent, AgentKilledTest, ::testing::Values(kUrl, kDevtool),
                         [](const ::testing::TestParamInfo<Channel>& info) {
                             return std::string(ChannelName(info.param.which));
                         });

// ---- answers nobody asked for ----------------------------------------------

// The host's output, read on a thread of its own and sorted by kind.
class OutputReader {
public:
    explicit OutputReader(ChildProcess* child) : child_(child) {}
    ~OutputReader() { Stop(); }

    void Start() { thread_ = std::thread([this] { Run(); }); }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

    // Until count frames of the kind have come in all; false after timeoutMs.
    bool WaitFor(const std::atomic<size_t>& counter, size_t count, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return counter.load() >= count; });
    }

    std::atomic<size_t> urlQuestions{0}, devtoolQuestions{0}, replies{0};
    // Read after Stop.
    std::vector<std::string> strangers;
    bool brokenFrame = false;
    bool ended = false;

private:
    void Run() {
        std::string pending;
        const std::string url = Question(kUrl, kWindowId), devtool = Question(kDevtool, kWindowId);
        char chunk[65536];
        while (!stop_) {
            long got = child_->Read(chunk, sizeof chunk, 50);
            if (got == 0) {
                ended = true;
                break;
            }
            if (got < 0) continue;
            pending.append(chunk, static_cast<size_t>(got));
            size_t at = 0;
            while (pending.size() - at >= 4) {
                uint32_t length = 0;
                for (int i = 0; i < 4; ++i) length |= static_cast<uint32_t>(static_cast<unsigned char>(pending[at + i])) << (8 * i);
                // No frame of this host comes near this: the framing is lost.
                if (length > 4096) {
                    brokenFrame = true;
                    break;
                }
                if (pending.size() - at - 4 < length) break;
                std::string body = pending.substr(at + 4, length);
                at += 4 + length;
                std::lock_guard<std::mutex> lock(mutex_);
                if (body == kReplyBody) {
                    ++replies;
                } else if (body == url) {
                    ++urlQuestions;
                } else if (body == devtool) {
                    ++devtoolQuestions;
                } else if (strangers.size() < 20) {
                    strangers.push_back(body);
                }
                changed_.notify_all();
            }
            pending.erase(0, at);
            if (brokenFrame) break;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        changed_.notify_all();
    }

    ChildProcess* child_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
};

// What one asking thread saw.
struct AskerRun {
    std::atomic<size_t> rounds{0};
    long long slowestMs = 0;
    std::vector<std::string> failures;
};

class AnswerFloodTest : public AgentFaultTest {
protected:
    void TearDown() override {
        reader.Stop();
        AgentFaultTest::TearDown();
        agent.Close();
    }

    bool Send(const std::string& bytes) {
        std::lock_guard<std::mutex> lock(inputLock);
        return host.SendRaw(bytes);
    }
    // With the reader running: the reply to a bad frame has come.
    bool SyncWithReader() {
        size_t before = reader.replies.load();
        return Send(Frame("sync")) && reader.WaitFor(reader.replies, before + 1, kHostTimeoutMs);
    }

    // One channel asked over and over until told to stop.
    void Ask(AgentChannel channel, const std::atomic<bool>* keepGoing, AskerRun* run) {
        const std::string prefix = HandleHex(window) + ";7;";
        while (keepGoing->load() && run->failures.size() < 5) {
            const std::string where =
                std::string(ChannelName(channel)) + " round " + std::to_string(run->rounds.load()) + ": ";
            Clock::time_point asked = Clock::now();
            if (!agent.Post(channel, window)) {
                run->failures.push_back(where + "cannot signal");
                return;
            }
            if (!agent.WaitResponse(channel, kResponseBoundMs)) {
                run->failures.push_back(where + "no response event within the bound");
                return;
            }
            run->slowestMs = std::max(run->slowestMs, MsSince(asked));
            if (!agent.RequestBlockIsZero(channel)) run->failures.push_back(where + "request block not cleared");
            // The host may be writing the block as it is read here (the
            // DevTools one is cleared first, then filled), but every answer
            // begins the same way.
            std::string text = agent.ResultText(channel);
            bool begun = text.size() < prefix.size() ? StartsWith(prefix, text) : StartsWith(text, prefix);
            if (!begun) run->failures.push_back(where + "result block " + text.substr(0, 80));
            ++run->rounds;
        }
    }

    AgentSide agent;
    OutputReader reader{&host.Child()};
    std::mutex inputLock;
};

TEST_F(AnswerFloodTest, AnswersWithoutQuestionsWhileBothRelaysAsk) {
#if defined(_WIN32) || defined(ORV_TEST_SANITIZED)
    const int kAnswers = 1500;  // of each kind, at least
    const size_t kUrlRounds = 10;
#else
    const int kAnswers = 4000;
    const size_t kUrlRounds = 25;
#endif
    std::string error;
    ASSERT_TRUE(agent.CreateBlocks(g_ChromeProfile, true, &error)) << error;
    ASSERT_NO_FATAL_FAILURE(StartServing());
    ASSERT_TRUE(agent.OpenEvents(&error)) << error;

    // Answers before any question: written and signalled all the same.
    ASSERT_NO_FATAL_FAILURE(Answer(kUrl, "7;unasked"));
    ASSERT_NO_FATAL_FAILURE(Answer(kDevtool, "7;unasked"));
    ASSERT_NO_FATAL_FAILURE(Sync());
    EXPECT_EQ(agent.ResultText(AgentChannel::Url), HandleHex(window) + ";7;unasked");
    EXPECT_EQ(agent.ResultText(AgentChannel::Devtool), HandleHex(window) + ";7;unasked");

    reader.Start();
    std::atomic<bool> flooding{true};
    std::atomic<int> sent{0};
    std::string lastUrl, lastDevtool;
    bool flooded = true;
    AskerRun url, devtool;
    std::thread flood([&] {
        // Mostly short answers, some long enough for the capped block; on
        // until the slower URL channel has asked a few times too.
        std::mt19937 random(20261208u);
        std::string batch;
        const int kMost = 10 * kAnswers;
        for (int i = 0; i < kMost && (i < kAnswers || url.rounds.load() < kUrlRounds); ++i) {
            size_t pad = random() % 10 == 0 ? random() % 30000 : random() % 200;
            lastUrl = "7;flood-url-" + std::to_string(i) + "-" + std::string(pad, 'u');
            lastDevtool = "7;flood-dev-" + std::to_string(i);
            batch += Frame(Request("ReturnUrlList", "\"" + lastUrl + "\""));
            batch += Frame(Request("ReturnCheckDevtools", "\"" + lastDevtool + "\""));
            if (i % 20 == 19) {
                if (!Send(batch)) {
                    flooded = false;
                    break;
                }
                batch.clear();
                sent = i + 1;
            }
        }
        if (flooded && !batch.empty()) flooded = Send(batch);
        flooding = false;
    });
    // Some answers have no question at all; then both relays ask throughout.
    while (sent.load() < kAnswers / 10 && flooding.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::thread urlAsker([&] { Ask(AgentChannel::Url, &flooding, &url); });
    std::thread devtoolAsker([&] { Ask(AgentChannel::Devtool, &flooding, &devtool); });
    flood.join();
    urlAsker.join();
    devtoolAsker.join();
    ASSERT_TRUE(flooded) << "the host stopped reading";
    ASSERT_TRUE(SyncWithReader()) << "the host stopped answering";

    auto describe = [](const std::vector<std::string>& lines) {
        std::string text;
        for (const std::string& line : lines) text += "\n  " + line.substr(0, 200);
        return text;
    };
    EXPECT_TRUE(url.failures.empty()) << describe(url.failures);
    EXPECT_TRUE(devtool.failures.empty()) << describe(devtool.failures);
    EXPECT_GE(url.rounds.load(), kUrlRounds);
    EXPECT_GT(devtool.rounds.load(), 0u);
    // One question per round, each whole on the output.
    EXPECT_EQ(reader.urlQuestions.load(), url.rounds.load());
    EXPECT_EQ(reader.devtoolQuestions.load(), devtool.rounds.load());
    RecordProperty("UrlRounds", static_cast<int>(url.rounds.load()));
    RecordProperty("DevtoolRounds", static_cast<int>(devtool.rounds.load()));
    RecordProperty("SlowestResponseMs", static_cast<int>(std::max(url.slowestMs, devtool.slowestMs)));

    // Each block holds the last answer of its kind, whole.
    EXPECT_EQ(agent.ResultText(AgentChannel::Url), HandleHex(window) + ";" + lastUrl);
    EXPECT_EQ(agent.ResultText(AgentChannel::Devtool), HandleHex(window) + ";" + lastDevtool);

    // However many signals the flood left, one question consumes them all:
    // the next one waits for its own answer again.
    ASSERT_TRUE(Send(Frame(Request("ReturnUrlList", "\"7;left-over\""))));
    ASSERT_TRUE(Send(Frame(Request("ReturnCheckDevtools", "\"7;left-over\""))));
    ASSERT_TRUE(SyncWithReader());
    const struct {
        AgentChannel which;
        const Channel* c;
        const std::atomic<size_t>* questions;
    } channels[] = {{AgentChannel::Url, &kUrl, &reader.urlQuestions},
                    {AgentChannel::Devtool, &kDevtool, &reader.devtoolQuestions}};
    for (const auto& ch : channels) {
        SCOPED_TRACE(ch.c->agentName);
        size_t asked = ch.questions->load();
        ASSERT_TRUE(agent.Post(ch.which, window));
        EXPECT_TRUE(agent.WaitResponse(ch.which, kResponseBoundMs));  // at once, on the left-over signal
        EXPECT_EQ(agent.ResultText(ch.which), HandleHex(window) + ";7;left-over");
        ASSERT_TRUE(agent.Post(ch.which, window));
        EXPECT_TRUE(reader.WaitFor(*ch.questions, asked + 2, 10000));
        EXPECT_FALSE(agent.WaitResponse(ch.which, 1000)) << "released without an answer";
        ASSERT_TRUE(Send(Frame(Request(ch.c->answerCommand, "\"7;final\""))));
        EXPECT_TRUE(agent.WaitResponse(ch.which, kResponseBoundMs));
        EXPECT_EQ(agent.ResultText(ch.which), HandleHex(window) + ";7;final");
    }

    ASSERT_TRUE(SyncWithReader());
    reader.Stop();
    EXPECT_FALSE(reader.brokenFrame);
    EXPECT_FALSE(reader.ended);
    EXPECT_TRUE(reader.strangers.empty()) << describe(reader.strangers);
    // No answer is ever refused: the only replies are those to the syncs.
    EXPECT_EQ(reader.replies.load(), 3u);
}

}  // namespace
