// orvendel-bench: the real host on real pipes under a launcher named chrome.
// This program plays the extension (a reader thread that answers every
// question at once) and the agent (the four blocks, the six events), and
// measures round trips, throughput beside a bare reader and beside a Node.js
// peer (bench/peer/node_host.js), peak memory, and the time from start to
// the first read of standard input with a few hundred processes about.
//
//   orvendel-bench                      the whole run, a table on stdout
//   orvendel-bench --baseline-reader    read stdin frames and drop them
//   orvendel-bench --baseline-parse     read stdin frames and parse each
// A baseline answers a frame "sync" with one reply, so it is timed as the host is.
// ORV_NODE (the node program) and ORV_NODE_PEER (the peer's script) override
// where they are looked for; without node the peer's lines say so.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "bench/extension_standin.h"
#include "bridge/profiles.h"
#include "contract/contract.h"
#include "contract/frame_header.h"
#include "support/log.h"
#include "tests/support/agent_side.h"
#include "tests/support/host_fixture.h"
#include "tests/support/proc_table.h"

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
        unsigned char header[FRAME_HEADER_BYTES];
        if (fread(header, 1, sizeof header, stdin) != sizeof header) break;
        size_t length = DecodeFrameHeader(header);
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
        for (uint32_t pid : ProcessIds()) {
            if (ParentOf(pid) != parent) continue;
            if (CommandOf(pid) == "orvendel_host") return pid;
            frontier.push_back(pid);
        }
    }
    return 0;
}

// VmHWM of a process, in KiB; 0 when unknown.
long PeakResidentKiB(uint32_t pid) {
    return std::max(0L, StatusKiB(pid, "VmHWM:"));
}

// ---- the extension's side --------------------------------------------------

// The questions the extension answered, and when it saw the last DevTools one.
struct Answered {
    std::atomic<int64_t> devtoolFrameAt{0};   // a GetFrameDevTool frame was read
    std::atomic<int64_t> devtoolAnswerAt{0};  // its ReturnCheckDevtools was written
    std::atomic<long> count{0};
};

// Answers every question at once; anything else counts as a reply.
ExtensionStandIn::Reaction AnswerAtOnce(Answered* answered) {
    return [answered](ExtensionStandIn& extension, const std::string& body) {
        static const std::string devtoolAnswer = Frame(Request("ReturnCheckDevtools", "\"7;0\""));
        static const std::string urlAnswer =
            Frame(Request("ReturnUrlList", "\"7;https://example.com/|https://cdn.example.com/f\""));
        if (body.find("GetFrameDevTool") != std::string::npos) {
            int64_t read = NowNs();
            answered->devtoolFrameAt.store(read);
            // The answer counts as written when its write starts: the
            // host may wake before the write call returns here.
            answered->devtoolAnswerAt.store(NowNs());
            extension.Send(devtoolAnswer);
            answered->count.fetch_add(1);
            return ExtensionStandIn::Seen::Other;
        }
        if (body.find("GetURL") != std::string::npos) {
            extension.Send(urlAnswer);
            answered->count.fetch_add(1);
            return ExtensionStandIn::Seen::Other;
        }
        return ExtensionStandIn::Seen::Reply;
    };
}

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
double TimeHost(ExtensionStandIn& extension, const std::string& stream, uint64_t repliesInStream) {
    uint64_t before = extension.Replies();
    int64_t start = NowNs();
    const size_t kChunk = 1 << 20;
    for (size_t at = 0; at < stream.size(); at += kChunk) {
        if (!extension.Send(stream.substr(at, kChunk))) Fail("the host stopped reading");
    }
    if (!extension.Send(Frame("sync"))) Fail("the host stopped reading");
    if (!extension.WaitReplies(before + repliesInStream + 1, 300000)) Fail("the host did not answer its stream");
    return (NowNs() - start) / 1e9;
}


// ---- start: from fork to the first read of standard input ------------------

// Children that only sleep, so that a snapshot of the process table has
// about as many entries as a desktop's. Ended, by pid, when it goes.
class SleepingProcesses {
public:
    explicit SleepingProcesses(int count) {
        for (int i = 0; i < count; ++i) {
            pid_t pid = fork();
            if (pid == 0) {
                for (;;) pause();
            }
            if (pid > 0) pids_.push_back(pid);
        }
    }
    ~SleepingProcesses() {
        for (pid_t pid : pids_) kill(pid, SIGKILL);
        for (pid_t pid : pids_) waitpid(pid, nullptr, 0);
    }
    size_t Count() const { return pids_.size(); }

private:
    std::vector<pid_t> pids_;
};

struct StartTime {
    double firstReadMs = 0;   // fork to the bytes waiting on stdin taken
    double firstReplyMs = 0;  // fork to the reply to them read here
    bool ok = false;
};

bool ReadWithin(int fd, char* buffer, size_t size, int64_t deadlineNs) {
    size_t got = 0;
    while (got < size) {
        int64_t left = deadlineNs - NowNs();
        if (left <= 0) return false;
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        struct timeval tv = {static_cast<time_t>(left / 1000000000), static_cast<suseconds_t>(left % 1000000000 / 1000)};
        if (select(fd + 1, &set, nullptr, nullptr, &tv) <= 0) return false;
        ssize_t n = read(fd, buffer + got, size - got);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// One start of argv[0] with a "sync" frame already waiting on its standard
// input: the pipe is seen to drain when the program first reads it.
// A program that does not answer (cat) is timed to its first read alone.
StartTime TimeOneStart(const std::vector<std::string>& args, const std::vector<std::string>& env, bool answers) {
    StartTime result;
    std::vector<char*> argv, envp;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return result;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return result;
    }
    std::string sync = Frame("sync");
    if (write(in[1], sync.data(), sync.size()) != static_cast<ssize_t>(sync.size())) {
        for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
        return result;
    }
    int64_t started = NowNs();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (pid < 0) {
        close(in[1]);
        close(out[0]);
        return result;
    }
    const int64_t deadline = started + 10000000000LL;
    int64_t readAt = 0;
    while (NowNs() < deadline) {
        int waiting = 0;
        if (ioctl(in[1], FIONREAD, &waiting) != 0) break;
        if (waiting == 0) {
            readAt = NowNs();
            break;
        }
        struct timespec pause = {0, 20000};
        nanosleep(&pause, nullptr);
    }
    std::string reply(Frame(kReplyBody).size(), '\0');
    bool replied = readAt != 0 && (!answers || ReadWithin(out[0], &reply[0], reply.size(), deadline));
    int64_t repliedAt = NowNs();
    close(in[1]);
    char drain[4096];
    while (ReadWithin(out[0], drain, 1, deadline)) {
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.ok = replied && (!answers || reply == Frame(kReplyBody));
    result.firstReadMs = (readAt - started) / 1e6;
    result.firstReplyMs = (repliedAt - started) / 1e6;
    return result;
}

// Several starts of one program: the median, and the fastest, which other
// processes' turns on a shared machine can only make slower.
struct StartSeries {
    std::vector<double> reads, replies;
    bool failed = false;

    void Add(const StartTime& t) {
        if (!t.ok) failed = true;
        reads.push_back(t.firstReadMs);
        replies.push_back(t.firstReplyMs);
    }
    bool Ok() const { return !failed && !reads.empty(); }
    static double Median(std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }
    static double Least(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }
};

std::vector<std::string> EnvironmentWith(const std::vector<std::pair<std::string, std::string>>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& variable : extra) replaced = replaced || variable.first == name;
        if (!replaced) env.push_back(entry);
    }
    for (const auto& variable : extra) env.push_back(variable.first + "=" + variable.second);
    return env;
}

// ---- the Node.js peer --------------------------------------------------------

std::string FindInPath(const std::string& name) {
    const char* path = getenv("PATH");
    std::string rest = path != nullptr ? path : "/usr/bin:/bin";
    size_t at = 0;
    while (at <= rest.size()) {
        size_t end = rest.find(':', at);
        if (end == std::string::npos) end = rest.size();
        std::string candidate = rest.substr(at, end - at) + "/" + name;
        if (end > at && access(candidate.c_str(), X_OK) == 0) return candidate;
        at = end + 1;
    }
    return "";
}

std::string OwnPath() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "";
    path[n] = 0;
    return path;
}

// node and the peer's script; empty when either is missing.
bool FindPeer(std::string* node, std::string* script, std::string* why) {
    const char* nodeOverride = getenv("ORV_NODE");
    *node = nodeOverride != nullptr ? nodeOverride : FindInPath("node");
    const char* scriptOverride = getenv("ORV_NODE_PEER");
    *script = scriptOverride != nullptr ? std::string(scriptOverride) : std::string(ORV_NODE_PEER_SCRIPT);
    if (node->empty() || access(node->c_str(), X_OK) != 0) {
        *why = "node not found (set ORV_NODE)";
        return false;
    }
    if (access(script->c_str(), R_OK) != 0) {
        *why = "peer script " + *script + " not found (set ORV_NODE_PEER)";
        return false;
    }
    return true;
}

struct PeerFigures {
    bool ran = false;
    std::string why;
    double noReplySeconds = 0, refusedSeconds = 0;
    long startKiB = 0, afterSmallKiB = 0, afterLargeKiB = 0;
};

// Throughput runs are repeated and the fastest kept: on a shared machine
// another process's turn can only make a run slower, never faster.
const int kRuns = 3;

template <typename F>
double Fastest(F run) {
    double best = 0;
    for (int i = 0; i < kRuns; ++i) {
        double seconds = run();
        if (i == 0 || seconds < best) best = seconds;
    }
    return best;
}

double LogRecordSeconds(int records) {
    HostFolder folder;
    std::string error;
    if (!folder.Create(&error) || !folder.WriteIni(CLIENT_INI_WITH_DEBUG("0"))) Fail("log folder: " + error);
    setenv("ORVENDEL_WINDOWS_DIR", folder.WindowsDir().c_str(), 1);
    ResetLogState();
    DebugLog(LOG_ERROR, W("warm-up"));
    int64_t start = NowNs();
    for (int i = 0; i < records; ++i) DebugLog(LOG_ERROR, W("Key value is not exist or wrong!"));
    double seconds = (NowNs() - start) / 1e9 / records;
    ResetLogState();
    return seconds;
}

// The same streams through the Node.js peer, started directly on pipes.
PeerFigures RunPeer(const std::string& noReply, const std::string& refused, size_t refusedCount,
                    const std::string& large) {
    PeerFigures figures;
    std::string node, script;
    if (!FindPeer(&node, &script, &figures.why)) return figures;
    ChildProcess peer;
    std::string error;
    if (!peer.Start(node, {script}, {}, &error)) {
        figures.why = "cannot start node: " + error;
        return figures;
    }
    Answered answers;
    ExtensionStandIn extension(&peer, AnswerAtOnce(&answers), ExtensionStandIn::Options());
    extension.Start();
    if (!extension.Send(Frame("sync")) || !extension.WaitReplies(1, 30000)) Fail("the Node.js peer did not start");
    figures.startKiB = PeakResidentKiB(peer.Pid());
    figures.noReplySeconds = Fastest([&] { return TimeHost(extension, noReply, 0); });
    figures.afterSmallKiB = PeakResidentKiB(peer.Pid());
    figures.refusedSeconds = Fastest([&] { return TimeHost(extension, refused, refusedCount); });
    TimeHost(extension, Frame(large), 0);
    figures.afterLargeKiB = PeakResidentKiB(peer.Pid());
    peer.CloseInput();
    extension.Join();
    uint32_t status = 0;
    peer.Wait(30000, &status);
    figures.ran = true;
    return figures;
}

struct StartFigures {
    size_t processes = 0;
    StartSeries host, cat, baseline, peer;
};

// Host, cat, bare reader and peer, each under the launcher named chrome,
// taken in turns so that a busy spell of the machine falls on all alike.
StartFigures MeasureStarts(const HostFolder& folder, int sleepers, int trials) {
    StartFigures figures;
    std::error_code ec;
    std::filesystem::create_directories(folder.LauncherDir(), ec);
    std::string chrome = folder.LauncherDir() + "/chrome";
    if (!std::filesystem::exists(chrome, ec)) {
        std::filesystem::create_symlink(ProgramDirectory() + "orv-launcher", chrome, ec);
        if (ec) Fail("cannot make the launcher " + chrome + ": " + ec.message());
    }
    std::vector<std::string> env = EnvironmentWith(folder.HostEnvironment());
    std::string cat = FindInPath("cat");
    std::string node, script, why;
    bool peer = FindPeer(&node, &script, &why);
    SleepingProcesses sleeping(sleepers);
    figures.processes = ProcessIds().size();
    for (int i = 0; i < trials; ++i) {
        figures.host.Add(TimeOneStart({chrome, ProgramDirectory() + "orvendel_host"}, env, true));
        if (!cat.empty()) figures.cat.Add(TimeOneStart({chrome, cat}, env, false));
        figures.baseline.Add(TimeOneStart({chrome, OwnPath(), "--baseline-reader"}, env, true));
        if (peer && i < 5) figures.peer.Add(TimeOneStart({chrome, node, script}, env, true));
    }
    return figures;
}

void PrintStarts(const StartFigures& f) {
    printf("  with %zu processes in the table          first read: median   fastest   first reply: median\n",
           f.processes);
    auto line = [](const char* what, const StartSeries& s, bool answers) {
        if (!s.Ok()) {
            printf("    %-44s %8s %9s %12s\n", what, "-", "-", "-");
        } else if (answers) {
            printf("    %-44s %8.2f %9.2f %12.2f\n", what, StartSeries::Median(s.reads), StartSeries::Least(s.reads),
                   StartSeries::Median(s.replies));
        } else {
            printf("    %-44s %8.2f %9.2f\n", what, StartSeries::Median(s.reads), StartSeries::Least(s.reads));
        }
    };
    line("host under the launcher", f.host, true);
    line("cat under the launcher", f.cat, false);
    line("bare frame reader (this program)", f.baseline, true);
    if (f.host.Ok() && f.cat.Ok()) {
        printf("    %-44s %8.2f %9.2f\n", "the host's own start (host - cat)",
               StartSeries::Median(f.host.reads) - StartSeries::Median(f.cat.reads),
               StartSeries::Least(f.host.reads) - StartSeries::Least(f.cat.reads));
    }
    line("Node.js peer under the launcher", f.peer, true);
}

int RunBench() {
    const int kDevtoolQuestions = 1000;
    const int kUrlQuestions = 50;
    const size_t kSmallRequests = 1000000;
    const size_t kRefusedRequests = 200000;
    const int kWindowId = 7;

    double logRecord = Fastest([] { return LogRecordSeconds(20000); });

    HostFolder folder;
    std::string error;
    // Trace lines off: a browser session runs with Debug=0.
    g_RunFolder = &folder;
    if (!folder.Create(&error) || !folder.WriteIni(CLIENT_INI_WITH_DEBUG("0"))) Fail("host folder: " + error);
    folder.UseInThisProcess();

    // Before any thread of ours exists: the sleepers are forked children.
    const int kStartTrials = 15;
    StartFigures quietStarts = MeasureStarts(folder, 0, kStartTrials);
    StartFigures busyStarts = MeasureStarts(folder, 300, kStartTrials);

    AgentSide agent;
    if (!agent.CreateBlocks(g_ChromeProfile, true, &error)) Fail("agent blocks: " + error);
    ExtraBrowserWindow window;
    if (!window.Show(&error)) Fail("browser window: " + error);

    HostProcess host;
    g_RunHost = &host;
    int64_t launched = NowNs();
    if (!host.Start(folder, {}, &error)) Fail("host: " + error);
    Answered answers;
    ExtensionStandIn extension(&host.Child(), AnswerAtOnce(&answers), ExtensionStandIn::Options());
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
        long asked = answers.count.load();
        int64_t signalled = NowNs();
        if (!agent.Post(AgentChannel::Devtool, window.Handle())) Fail("cannot signal");
        if (!agent.WaitResponse(AgentChannel::Devtool, 10000)) Fail("no DevTools response event");
        int64_t answered = NowNs();
        // The reader thread counts the question after its write returns.
        for (int spin = 0; answers.count.load() == asked && spin < 100000; ++spin) std::this_thread::yield();
        if (answers.count.load() != asked + 1) Fail("the response came without a question");
        if (i < 50) continue;  // warm-up
        roundTrip.push_back((answered - signalled) / 1e3);
        toExtension.push_back((answers.devtoolFrameAt.load() - signalled) / 1e3);
        fromExtension.push_back((answered - answers.devtoolAnswerAt.load()) / 1e3);
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
    for (int i = 1; i < kRuns; ++i) hostNoReply = std::min(hostNoReply, TimeHost(extension, noReply, 0));
    long afterAllSmallKiB = PeakResidentKiB(hostPid);
    std::string refused = Stream("{\"CommandID\":\"FindHandle\",\"Args\":0}", kRefusedRequests);
    double hostRefused = Fastest([&] { return TimeHost(extension, refused, kRefusedRequests); });

    std::string large = PaddedRequest("ReturnUrlList", 1000000);
    if (large.size() != 1000000) Fail("large request of the wrong size");
    TimeHost(extension, Frame(large), 0);
    long afterLargeKiB = PeakResidentKiB(hostPid);

    HostExit exit = host.Finish(30000);
    extension.Join();
    if (!exit.outputEnded || !exit.exited) Fail("the host did not end");
    g_RunHost = nullptr;

    PeerFigures peer = RunPeer(noReply, refused, kRefusedRequests, large);

    double readNoReply = Fastest([&] { return TimeBaseline("--baseline-reader", noReply); });
    double parseNoReply = Fastest([&] { return TimeBaseline("--baseline-parse", noReply); });
    double readRefused = Fastest([&] { return TimeBaseline("--baseline-reader", refused); });

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
    printf("\nThroughput (requests/s, fastest of %d runs)           host    baseline    ratio\n", kRuns);
    printf("  %-42s %10.0f %10.0f  %6.3f  (read and drop)\n", "valid, no reply (FindHandle 0)", hostNoReplyRate,
           rate(kSmallRequests, readNoReply), readNoReply / hostNoReply);
    printf("  %-42s %10.0f %10.0f  %6.3f  (read and parse)\n", "", hostNoReplyRate, rate(kSmallRequests, parseNoReply),
           parseNoReply / hostNoReply);
    printf("  %-42s %10.0f %10.0f  %6.3f  (read and drop)\n", "refused (key error: log record + reply)", hostRefusedRate,
           rate(kRefusedRequests, readRefused), readRefused / hostRefused);
    printf("  %-42s %10.0f %10.0f  %6.3f  (1 / log record of %.2f us)\n", "", hostRefusedRate, logAllows,
           logAllows > 0 ? hostRefusedRate / logAllows : 0.0, logRecord * 1e6);
    if (peer.ran) {
        double peerNoReplyRate = rate(kSmallRequests, peer.noReplySeconds);
        double peerRefusedRate = rate(kRefusedRequests, peer.refusedSeconds);
        printf("\nBeside the Node.js peer (requests/s)                 host        peer  host/peer\n");
        printf("  %-42s %10.0f %10.0f  %6.2f\n", "valid, no reply (FindHandle 0)", hostNoReplyRate, peerNoReplyRate,
               peerNoReplyRate > 0 ? hostNoReplyRate / peerNoReplyRate : 0.0);
        printf("  %-42s %10.0f %10.0f  %6.2f  (the peer writes no log)\n", "refused (key error)", hostRefusedRate,
               peerRefusedRate, peerRefusedRate > 0 ? hostRefusedRate / peerRefusedRate : 0.0);
    } else {
        printf("\nNode.js peer: not run, %s\n", peer.why.c_str());
    }
    printf("\nMemory (VmHWM, KiB)                                  host        peer\n");
    auto memory = [&peer](const char* what, long host, long other) {
        if (peer.ran && other > 0) {
            printf("  %-42s %10ld %10ld\n", what, host, other);
        } else {
            printf("  %-42s %10ld %10s\n", what, host, "-");
        }
    };
    memory("after start", startKiB, peer.startKiB);
    memory("after the questions (~1,100 requests)", afterQuestionsKiB, 0);
    memory("after 1,000,000 small requests", afterSmallKiB, peer.afterSmallKiB);
    memory("after 3,000,000 small requests", afterAllSmallKiB, 0);
    memory("after a 1,000,000-byte request", afterLargeKiB, peer.afterLargeKiB);
    if (peer.ran && peer.afterLargeKiB > 0) {
        printf("  %-42s %10.2f\n", "host / peer after the 1,000,000-byte request",
               static_cast<double>(afterLargeKiB) / peer.afterLargeKiB);
    }
    printf("\nStart, ms, %d starts each (the peer 5): fork to the first read of stdin (its pipe seen\n"
           "to drain) and to the reply to the frame waiting there\n", kStartTrials);
    PrintStarts(quietStarts);
    PrintStarts(busyStarts);
    printf("  (this run's host: launch to the first reply %.1f ms, launcher included)\n", firstReplyMs);
    g_RunFolder = nullptr;
    // A comparison printed without its other side is a failed run, not a result.
    if (!peer.ran) {
        fprintf(stderr, "orvendel-bench: the Node.js peer did not run: %s\n", peer.why.c_str());
        return 1;
    }
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
