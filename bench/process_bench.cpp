// orvendel-bench: the real host on real pipes under a launcher named chrome.
// This program plays the extension (a reader thread that answers every
// question at once) and the agent (the four blocks, the six events), and
// measures round trips, throughput beside a bare reader, and peak memory.
//
//   orvendel-bench                      the whole run, a table on stdout
//   orvendel-bench --baseline-reader    read stdin frames and drop them
//   orvendel-bench --baseline-parse     read stdin frames and parse each
// A baseline answers a frame "sync" with one reply, so it is timed as the host is.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "bridge/profiles.h"
#include "support/log.h"
#include "tests/support/agent_side.h"
#include "tests/support/host_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// ---- baselines: a host with nothing but the framing (and the parse) -------

// Keeps the compiler from dropping a parse whose result nobody reads.
volatile int g_ParseSink = 0;

int BaselineReader(bool parse) {
    for (;;) {
        unsigned char header[4];
        if (fread(header, 1, 4, stdin) != 4) break;
        size_t length = header[0] | header[1] << 8 | header[2] << 16 | static_cast<size_t>(header[3]) << 24;
        if (length == 0) break;
        std::unique_ptr<char[]> body(new char[length + 1]);
        size_t got = fread(body.get(), 1, length, stdin);
        body[got] = '\0';
        if (got == 4 && memcmp(body.get(), "sync", 4) == 0) {
            std::string reply = Frame(kReplyBody);
            fwrite(reply.data(), 1, reply.size(), stdout);
            fflush(stdout);
            continue;
        }
        if (parse) {
            rapidjson::Document document;
            document.Parse<rapidjson::kParseIterativeFlag>(body.get());
            g_ParseSink = g_ParseSink + (document.HasParseError() ? 1 : 0);
        }
        if (got < length) break;
    }
    return 0;
}

// ---- the host's process ----------------------------------------------------

uint32_t ParentOf(uint32_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    char state = 0;
    unsigned parent = 0;
    if (sscanf(text.c_str() + close + 1, " %c %u", &state, &parent) != 2) return 0;
    return parent;
}

std::string CommandOf(uint32_t pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// The host under the launcher (the launcher may also be the host itself).
uint32_t FindHostPid(uint32_t launcher) {
    if (CommandOf(launcher) == "orvendel_host") return launcher;
    std::vector<uint32_t> frontier = {launcher};
    while (!frontier.empty()) {
        uint32_t parent = frontier.back();
        frontier.pop_back();
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            std::string name = entry.path().filename().string();
            if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
            uint32_t pid = static_cast<uint32_t>(std::stoul(name));
            if (ParentOf(pid) != parent) continue;
            if (CommandOf(pid) == "orvendel_host") return pid;
            frontier.push_back(pid);
        }
    }
    return 0;
}

// VmHWM of a process, in KiB; 0 when unknown.
long PeakResidentKiB(uint32_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmHWM:") == 0) return atol(line.c_str() + 6);
    }
    return 0;
}

// ---- the extension's side --------------------------------------------------

// Reads every frame of the host; answers questions at once and counts replies.
class Extension {
public:
    explicit Extension(HostProcess* host) : host_(host) {}
    ~Extension() { Stop(); }

    void Start() { reader_ = std::thread([this] { Run(); }); }
    void Stop() {
        if (reader_.joinable()) reader_.join();
    }

    bool Send(const std::string& bytes) {
        std::lock_guard<std::mutex> lock(writeLock_);
        return host_->SendRaw(bytes);
    }
    // Until `count` replies in all have come; false on time-out.
    bool WaitReplies(long count, int timeoutMs) {
        std::unique_lock<std::mutex> lock(stateLock_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return replies_ >= count || ended_; }) &&
               replies_ >= count;
    }
    long Replies() {
        std::lock_guard<std::mutex> lock(stateLock_);
        return replies_;
    }

    std::atomic<int64_t> devtoolFrameAt{0};   // a GetFrameDevTool frame was read
    std::atomic<int64_t> devtoolAnswerAt{0};  // its ReturnCheckDevtools was written
    std::atomic<long> questions{0};

private:
    // Frames come in bulk reads: a reader of one frame at a time would cost
    // more than the host it measures on a stream of refusals.
    bool NextFrame(std::string* body) {
        for (;;) {
            if (pending_.size() - at_ >= 4) {
                const unsigned char* h = reinterpret_cast<const unsigned char*>(pending_.data() + at_);
                size_t length = h[0] | h[1] << 8 | h[2] << 16 | static_cast<size_t>(h[3]) << 24;
                if (pending_.size() - at_ - 4 >= length) {
                    body->assign(pending_, at_ + 4, length);
                    at_ += 4 + length;
                    return true;
                }
            }
            pending_.erase(0, at_);
            at_ = 0;
            char chunk[65536];
            long got = host_->Child().Read(chunk, sizeof chunk, 60000);
            if (got <= 0) return false;
            pending_.append(chunk, static_cast<size_t>(got));
        }
    }

    void Run() {
        std::string body;
        const std::string devtoolAnswer = Frame(Request("ReturnCheckDevtools", "\"7;0\""));
        const std::string urlAnswer = Frame(Request("ReturnUrlList", "\"7;https://example.com/|https://cdn.example.com/f\""));
        while (NextFrame(&body)) {
            if (body.find("GetFrameDevTool") != std::string::npos) {
                int64_t read = NowNs();
                devtoolFrameAt.store(read);
                // The answer counts as written when its write starts: the
                // host may wake before the write call returns here.
                devtoolAnswerAt.store(NowNs());
                Send(devtoolAnswer);
                questions.fetch_add(1);
            } else if (body.find("GetURL") != std::string::npos) {
                Send(urlAnswer);
                questions.fetch_add(1);
            } else {
                std::lock_guard<std::mutex> lock(stateLock_);
                ++replies_;
                changed_.notify_all();
            }
        }
        std::lock_guard<std::mutex> lock(stateLock_);
        ended_ = true;
        changed_.notify_all();
    }

    HostProcess* host_;
    std::thread reader_;
    std::string pending_;
    size_t at_ = 0;
    std::mutex writeLock_;
    std::mutex stateLock_;
    std::condition_variable changed_;
    long replies_ = 0;
    bool ended_ = false;
};

// ---- figures -----------------------------------------------------------------

struct Spread {
    double p50 = 0, p99 = 0, max = 0;  // microseconds
};

Spread SpreadOf(std::vector<double> us) {
    Spread s;
    if (us.empty()) return s;
    std::sort(us.begin(), us.end());
    s.p50 = us[us.size() / 2];
    s.p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    s.max = us.back();
    return s;
}

void PrintSpread(const char* what, const Spread& s, size_t count) {
    printf("  %-52s %9.1f %9.1f %9.1f   (n=%zu)\n", what, s.p50, s.p99, s.max, count);
}

// What a failed run must not leave behind: exit() skips the destructors.
HostFolder* g_RunFolder = nullptr;
HostProcess* g_RunHost = nullptr;

[[noreturn]] void Fail(const std::string& what) {
    fprintf(stderr, "orvendel-bench: %s\n", what.c_str());
    if (g_RunHost != nullptr) g_RunHost->Child().Kill();
    if (g_RunFolder != nullptr) g_RunFolder->Remove();
    exit(1);
}

std::string Stream(const std::string& body, size_t count) {
    std::string one = Frame(body), all;
    all.reserve(one.size() * count);
    for (size_t i = 0; i < count; ++i) all += one;
    return all;
}

// Seconds from the first byte of `stream` to the reply to the "sync" after it.
double TimeBaseline(const char* mode, const std::string& stream) {
    ChildProcess child;
    std::string error;
    if (!child.Start("/proc/self/exe", {mode}, {}, &error)) Fail("baseline: " + error);
    std::string sync = Frame("sync");
    std::string reply(Frame(kReplyBody).size(), '\0');
    // A first sync: the baseline is up before the clock starts.
    if (!child.Write(sync.data(), sync.size()) || !child.ReadExact(&reply[0], reply.size(), 30000)) Fail("baseline start");
    int64_t start = NowNs();
    if (!child.Write(stream.data(), stream.size()) || !child.Write(sync.data(), sync.size()) ||
        !child.ReadExact(&reply[0], reply.size(), 120000)) {
        Fail("baseline did not read its stream");
    }
    double seconds = (NowNs() - start) / 1e9;
    child.CloseInput();
    uint32_t status = 0;
    child.Wait(10000, &status);
    return seconds;
}

// Seconds through the host, from the first byte to the reply to the sync after it.
double TimeHost(Extension& extension, const std::string& stream, long repliesInStream) {
    long before = extension.Replies();
    int64_t start = NowNs();
    const size_t kChunk = 1 << 20;
    for (size_t at = 0; at < stream.size(); at += kChunk) {
        if (!extension.Send(stream.substr(at, kChunk))) Fail("the host stopped reading");
    }
    if (!extension.Send(Frame("sync"))) Fail("the host stopped reading");
    if (!extension.WaitReplies(before + repliesInStream + 1, 300000)) Fail("the host did not answer its stream");
    return (NowNs() - start) / 1e9;
}

double LogRecordSeconds(int records) {
    HostFolder folder;
    std::string error;
    if (!folder.Create(&error) || !folder.WriteIni("[Root]\r\nDebug=0\r\n")) Fail("log folder: " + error);
    setenv("ORVENDEL_WINDOWS_DIR", folder.WindowsDir().c_str(), 1);
    ResetLogState();
    DebugLog(LOG_ERROR, W("warm-up"));
    int64_t start = NowNs();
    for (int i = 0; i < records; ++i) DebugLog(LOG_ERROR, W("Key value is not exist or wrong!"));
    double seconds = (NowNs() - start) / 1e9 / records;
    ResetLogState();
    return seconds;
}

int RunBench() {
    const int kDevtoolQuestions = 1000;
    const int kUrlQuestions = 50;
    const size_t kSmallRequests = 1000000;
    const size_t kRefusedRequests = 200000;
    const int kWindowId = 7;

    double logRecord = LogRecordSeconds(20000);

    HostFolder folder;
    std::string error;
    // Trace lines off: a browser session runs with Debug=0.
    g_RunFolder = &folder;
    if (!folder.Create(&error) || !folder.WriteIni("[Root]\r\nDebug=0\r\n")) Fail("host folder: " + error);
    folder.UseInThisProcess();

    AgentSide agent;
    if (!agent.CreateBlocks(g_ChromeProfile, true, &error)) Fail("agent blocks: " + error);
    ExtraBrowserWindow window;
    if (!window.Show(&error)) Fail("browser window: " + error);

    HostProcess host;
    g_RunHost = &host;
    int64_t launched = NowNs();
    if (!host.Start(folder, {}, &error)) Fail("host: " + error);
    Extension extension(&host);
    extension.Start();
    if (!extension.Send(Frame("sync")) || !extension.WaitReplies(1, 30000)) Fail("the host did not start");
    double firstReplyMs = (NowNs() - launched) / 1e6;
    uint32_t hostPid = FindHostPid(host.Child().Pid());
    if (hostPid == 0) Fail("cannot find the host's process");
    long startKiB = PeakResidentKiB(hostPid);
    if (!agent.OpenEvents(&error)) Fail("agent events: " + error);

    if (!extension.Send(Frame(Request("FindHandle", std::to_string(kWindowId)))) || !extension.Send(Frame("sync")) ||
        !extension.WaitReplies(2, 30000)) {
        Fail("FindHandle was not served");
    }

    // DevTools round trips: agent signal -> extension -> response event.
    std::vector<double> roundTrip, toExtension, fromExtension;
    for (int i = 0; i < kDevtoolQuestions + 50; ++i) {
        long asked = extension.questions.load();
        int64_t signalled = NowNs();
        if (!agent.Post(AgentChannel::Devtool, window.Handle())) Fail("cannot signal");
        if (!agent.WaitResponse(AgentChannel::Devtool, 10000)) Fail("no DevTools response event");
        int64_t answered = NowNs();
        // The reader thread counts the question after its write returns.
        for (int spin = 0; extension.questions.load() == asked && spin < 100000; ++spin) std::this_thread::yield();
        if (extension.questions.load() != asked + 1) Fail("the response came without a question");
        if (i < 50) continue;  // warm-up
        roundTrip.push_back((answered - signalled) / 1e3);
        toExtension.push_back((extension.devtoolFrameAt.load() - signalled) / 1e3);
        fromExtension.push_back((answered - extension.devtoolAnswerAt.load()) / 1e3);
    }

    // URL round trips carry the relay's designed pause of about 100 ms.
    std::vector<double> urlExcess;
    for (int i = 0; i < kUrlQuestions; ++i) {
        int64_t signalled = NowNs();
        if (!agent.Post(AgentChannel::Url, window.Handle())) Fail("cannot signal");
        if (!agent.WaitResponse(AgentChannel::Url, 10000)) Fail("no URL response event");
        urlExcess.push_back((NowNs() - signalled) / 1e3 - 100000.0);
    }
    long afterQuestionsKiB = PeakResidentKiB(hostPid);

    // Throughput: valid requests that get no reply, then refused ones.
    std::string noReply = Stream(Request("FindHandle", "0"), kSmallRequests);
    double hostNoReply = TimeHost(extension, noReply, 0);
    long afterSmallKiB = PeakResidentKiB(hostPid);
    std::string refused = Stream("{\"CommandID\":\"FindHandle\",\"Args\":0}", kRefusedRequests);
    double hostRefused = TimeHost(extension, refused, static_cast<long>(kRefusedRequests));

    std::string large = PaddedRequest("ReturnUrlList", 1000000);
    if (large.size() != 1000000) Fail("large request of the wrong size");
    TimeHost(extension, Frame(large), 0);
    long afterLargeKiB = PeakResidentKiB(hostPid);

    HostExit exit = host.Finish(30000);
    extension.Stop();
    if (!exit.outputEnded || !exit.exited) Fail("the host did not end");
    g_RunHost = nullptr;

    double readNoReply = TimeBaseline("--baseline-reader", noReply);
    double parseNoReply = TimeBaseline("--baseline-parse", noReply);
    double readRefused = TimeBaseline("--baseline-reader", refused);

    auto rate = [](size_t n, double s) { return s > 0 ? n / s : 0.0; };
    double hostNoReplyRate = rate(kSmallRequests, hostNoReply);
    double hostRefusedRate = rate(kRefusedRequests, hostRefused);
    double logAllows = logRecord > 0 ? 1.0 / logRecord : 0;

    printf("orvendel-bench: the host on pipes under a launcher named chrome, %u cores\n\n",
           std::thread::hardware_concurrency());
    printf("Latency (microseconds)                                     p50       p99       max\n");
    PrintSpread("DevTools round trip (agent signal -> response event)", SpreadOf(roundTrip), roundTrip.size());
    PrintSpread("  half 1: signal -> GetFrameDevTool at the extension", SpreadOf(toExtension), toExtension.size());
    PrintSpread("  half 2: ReturnCheckDevtools written -> response", SpreadOf(fromExtension), fromExtension.size());
    PrintSpread("URL round trip, excess over 100 ms", SpreadOf(urlExcess), urlExcess.size());
    printf("\nThroughput (requests/s)                              host    baseline    ratio\n");
    printf("  %-42s %10.0f %10.0f  %6.3f  (read and drop)\n", "valid, no reply (FindHandle 0)", hostNoReplyRate,
           rate(kSmallRequests, readNoReply), readNoReply / hostNoReply);
    printf("  %-42s %10.0f %10.0f  %6.3f  (read and parse)\n", "", hostNoReplyRate, rate(kSmallRequests, parseNoReply),
           parseNoReply / hostNoReply);
    printf("  %-42s %10.0f %10.0f  %6.3f  (read and drop)\n", "refused (key error: log record + reply)", hostRefusedRate,
           rate(kRefusedRequests, readRefused), readRefused / hostRefused);
    printf("  %-42s %10.0f %10.0f  %6.3f  (1 / log record of %.2f us)\n", "", hostRefusedRate, logAllows,
           logAllows > 0 ? hostRefusedRate / logAllows : 0.0, logRecord * 1e6);
    printf("\nMemory of the host (VmHWM, KiB)\n");
    printf("  %-42s %10ld\n", "after start", startKiB);
    printf("  %-42s %10ld\n", "after the questions (~1,100 requests)", afterQuestionsKiB);
    printf("  %-42s %10ld\n", "after 1,000,000 small requests", afterSmallKiB);
    printf("  %-42s %10ld\n", "after a 1,000,000-byte request", afterLargeKiB);
    printf("\nStart: launch to the first reply %.1f ms (includes the launcher)\n", firstReplyMs);
    g_RunFolder = nullptr;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "--baseline-reader") == 0) return BaselineReader(false);
    if (argc > 1 && strcmp(argv[1], "--baseline-parse") == 0) return BaselineReader(true);
    if (argc > 1) {
        fprintf(stderr, "usage: orvendel-bench [--baseline-reader | --baseline-parse]\n");
        return 2;
    }
    return RunBench();
}
