// orvendel-soak: the real host on pipes for minutes on end, with every party
// played here: the extension (answers each question, leaves a few
// unanswered on purpose), the agent (both channels asked all the time) and a
// stream of other requests (FindHandle, refusals). It samples the host's
// resident memory and open descriptors and fails when either grows after
// the warm-up, or when any question, response or frame is not as it must be.
//
//   orvendel-soak [--seconds N] [--rate R] [--sample S] [--valgrind]
//
// --seconds N   how long the requests run (180; 60 with --valgrind)
// --rate R      other requests per second (0: as fast as the host takes them)
// --sample S    seconds between samples (5)
// --valgrind    run the host under valgrind's memcheck with a full leak check;
//               any error or leak fails the run (POSIX)
//
// Built for Windows too, where it runs under Wine: there the figures are the
// host's working set and its kernel handles.
//
// Exit status 0 when every check passed, 1 when one failed, 2 on bad usage.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "bench/extension_standin.h"
#include "bridge/profiles.h"
#include "contract/contract.h"
#include "contract/envelope.h"
#include "tests/support/agent_side.h"
#include "tests/support/host_fixture.h"
#include "tests/support/process_watch.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A question ends within about 6 s whatever happens; the rest is room for a
// loaded machine (and for valgrind).
const DWORD kResponseBoundMs = 15000;
// The relay's wait for an answer that never comes.
const double kAnswerWaitSeconds = 5.0;
const int kWindowId = 7;
// The n-th question of a channel is left unanswered when n % period is half
// the period: the first one comes early in the run.
const uint64_t kUrlSkipPeriod = 200;
const uint64_t kDevtoolSkipPeriod = 10000;
// Growth allowed after the warm-up.
const long kRssBoundKiB = 2048;
const long kHandleBound = 2;

bool Skipped(AgentChannel channel, uint64_t question) {
    uint64_t period = channel == AgentChannel::Url ? kUrlSkipPeriod : kDevtoolSkipPeriod;
    return question % period == period / 2;
}

// What the extension answers to a channel's n-th question.
std::string AnswerText(AgentChannel channel, uint64_t question) {
    if (channel == AgentChannel::Devtool) return "7;dev-" + std::to_string(question) + ";" + std::to_string(question % 2);
    return "7;url-" + std::to_string(question) + ";https://example.com/" + std::string(question % 50 * 20, 'p');
}

// ---- failures ----------------------------------------------------------------

std::mutex g_FailureLock;
std::vector<std::string> g_Failures;
std::atomic<bool> g_Failed{false};

void Fail(const std::string& what) {
    std::lock_guard<std::mutex> lock(g_FailureLock);
    if (g_Failures.size() < 20) g_Failures.push_back(what);
    g_Failed = true;
}

// ---- the host's process --------------------------------------------------------

// The least of a few counts: a log file or block open for a moment is no leak.
long OpenHandles(const WatchedProcess& process) {
    long least = -1;
    for (int i = 0; i < 5; ++i) {
        long count = process.OpenHandles();
        if (count < 0) return -1;
        if (least < 0 || count < least) least = count;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return least;
}

// ---- the extension -------------------------------------------------------------

// The agent's questions as the extension saw them, by channel.
struct SeenQuestions {
    std::atomic<uint64_t> url{0}, devtool{0};
};

// Answers each question but those left unanswered on purpose; a frame that is
// neither a question nor the reply fails the run.
ExtensionStandIn::Seen React(ExtensionStandIn& extension, const std::string& body, SeenQuestions* seen) {
    static const std::string id = std::to_string(kWindowId);
    static const std::string url = ENVELOPE_HEAD URL_QUESTION_WORD ENVELOPE_MIDDLE + id + ENVELOPE_TAIL;
    static const std::string devtool = ENVELOPE_HEAD DEVTOOL_QUESTION_WORD ENVELOPE_MIDDLE + id + ENVELOPE_TAIL;
    rapidjson::Document document;
    document.Parse(body.c_str(), body.size());
    if (document.HasParseError() || !document.IsObject() || !document.HasMember("Result") ||
        !document["Result"].IsString() || !document.HasMember("Data") || !document["Data"].IsString()) {
        Fail("a frame that is no reply or question: " + body.substr(0, 100));
        return ExtensionStandIn::Seen::Other;
    }
    if (body == url || body == devtool) {
        AgentChannel channel = body == url ? AgentChannel::Url : AgentChannel::Devtool;
        uint64_t n = (channel == AgentChannel::Url ? seen->url : seen->devtool)++;
        if (Skipped(channel, n)) return ExtensionStandIn::Seen::Other;
        const char* command = channel == AgentChannel::Url ? "ReturnUrlList" : "ReturnCheckDevtools";
        if (!extension.Send(Frame(Request(command, "\"" + AnswerText(channel, n) + "\"")))) {
            return ExtensionStandIn::Seen::Stop;
        }
        return ExtensionStandIn::Seen::Other;
    }
    if (body == kReplyBody) return ExtensionStandIn::Seen::Reply;
    Fail("an unexpected frame: " + body.substr(0, 100));
    return ExtensionStandIn::Seen::Other;
}

// ---- the agent -------------------------------------------------------------------

struct Asker {
    std::atomic<uint64_t> questions{0};
    std::atomic<uint64_t> timedOut{0};
    std::atomic<long long> slowestAnsweredMs{0};
};

// One channel asked again and again. The n-th question of the run is the
// n-th that the extension sees, so the block must hold its answer, or the
// previous one when it was left unanswered.
void Ask(AgentSide* agent, AgentChannel channel, uint32_t hwnd, const std::atomic<bool>* running, Asker* asker) {
    const std::string prefix = HandleHex(hwnd) + ";";
    std::string expected = agent->ResultText(channel);
    const char* name = ChannelName(channel);
    for (uint64_t n = 0; running->load() && !g_Failed.load(); ++n) {
        Clock::time_point asked = Clock::now();
        if (!agent->Post(channel, hwnd)) {
            Fail(std::string(name) + ": cannot signal");
            return;
        }
        if (!agent->WaitResponse(channel, kResponseBoundMs)) {
            Fail(std::string(name) + " question " + std::to_string(n) + ": no response event within " +
                 std::to_string(kResponseBoundMs) + " ms");
            return;
        }
        double seconds = SecondsSince(asked);
        if (!agent->RequestBlockIsZero(channel)) Fail(std::string(name) + ": request block not cleared");
        if (Skipped(channel, n)) {
            // Released by the relay's own time-out, never earlier.
            if (seconds < kAnswerWaitSeconds - 0.05) {
                Fail(std::string(name) + " question " + std::to_string(n) + ": unanswered, yet released after " +
                     std::to_string(seconds) + " s");
            }
            ++asker->timedOut;
        } else {
            expected = prefix + AnswerText(channel, n);
            long long ms = static_cast<long long>(seconds * 1000);
            if (ms > asker->slowestAnsweredMs.load()) asker->slowestAnsweredMs = ms;
        }
        std::string text = agent->ResultText(channel);
        if (text != expected) {
            Fail(std::string(name) + " question " + std::to_string(n) + ": block holds \"" + text.substr(0, 80) +
                 "\", expected \"" + expected.substr(0, 80) + "\"");
        }
        ++asker->questions;
    }
}

// ---- other requests ----------------------------------------------------------------

// One batch: requests that change nothing, rebind the front window to the
// id it has, or are refused (a few of them with a log record).
struct Batch {
    std::string bytes;
    uint64_t requests = 0;
    uint64_t refusals = 0;
};

Batch MakeBatch() {
    Batch batch;
    auto add = [&batch](const std::string& body, bool refused) {
        batch.bytes += Frame(body);
        ++batch.requests;
        if (refused) ++batch.refusals;
    };
    for (int i = 0; i < 200; ++i) {
        switch (i % 10) {
            case 0: case 1: case 2: case 3:
                add(Request("FindHandle", std::to_string(kWindowId)), false);
                break;
            case 4:
                add(Request("FindHandle", i % 20 == 4 ? "0" : "\"7\""), false);
                break;
            default:
                if (i == 5) {
                    add("{\"CommandID\":\"FindHandle\",\"Args\":7}", true);  // a key error, logged
                } else if (i == 15) {
                    add("{\"CommandID\":", true);  // a parse error, logged
                } else {
                    add(Request("Noise" + std::to_string(i), "\"n\""), true);  // an unknown command: a reply only
                }
        }
    }
    return batch;
}

// ---- samples ------------------------------------------------------------------------

struct Sample {
    double seconds = 0;
    uint64_t requests = 0;
    uint64_t urlQuestions = 0, devtoolQuestions = 0;
    long rssKiB = 0;
    long handles = 0;
};

void PrintSample(const Sample& s, const char* note) {
    printf("  %8.1f %12llu %10llu %10llu %10ld %7ld  %s\n", s.seconds, static_cast<unsigned long long>(s.requests),
           static_cast<unsigned long long>(s.urlQuestions), static_cast<unsigned long long>(s.devtoolQuestions),
           s.rssKiB, s.handles, note);
    fflush(stdout);
}

// ---- the run --------------------------------------------------------------------------

struct Options {
    double seconds = -1;
    double rate = 0;
    double sample = 5;
    bool valgrind = false;
};

bool StartHost(const HostFolder& folder, bool valgrind, ChildProcess* child, std::string* valgrindLog,
               std::string* error) {
    if (!valgrind) return LaunchHost(child, folder, {}, error);
#if defined(_WIN32)
    *error = "valgrind runs on POSIX only";
    return false;
#else
    // As LaunchHost does, with valgrind between the launcher and the host.
    std::error_code ec;
    fs::create_directories(folder.LauncherDir(), ec);
    fs::path launcher = fs::path(folder.LauncherDir()) / "chrome";
    if (!fs::exists(launcher, ec)) fs::create_symlink(ProgramDirectory() + "orv-launcher", launcher, ec);
    if (ec) {
        *error = "cannot make the launcher: " + ec.message();
        return false;
    }
    // Outside the host folder, which goes at the end: a failed run keeps it.
    const char* tmp = getenv("TMPDIR");
    *valgrindLog = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/orvendel-soak-valgrind-" +
                   std::to_string(getpid()) + ".log";
    // The relay threads run until the process ends, by design: glibc's
    // thread-local block of each is still in use at exit, and memcheck can
    // reach it only through an inner pointer. Nothing else is suppressed.
    const std::string suppressions = *valgrindLog + ".supp";
    std::ofstream supp(suppressions, std::ios::trunc);
    supp << "{\n  relay-threads-live-until-exit\n  Memcheck:Leak\n  match-leak-kinds: possible\n"
            "  fun:calloc\n  ...\n  fun:_dl_allocate_tls\n  ...\n  fun:pthread_create*\n"
            "  fun:*_beginthreadex*\n  fun:*StartRelayThreads*\n}\n";
    supp.close();
    if (!supp) {
        *error = "cannot write " + suppressions;
        return false;
    }
    std::vector<std::string> args = {"/usr/bin/valgrind",
                                     "--suppressions=" + suppressions,
                                     "--tool=memcheck",
                                     "--leak-check=full",
                                     "--show-leak-kinds=definite,indirect,possible",
                                     "--errors-for-leak-kinds=definite,indirect,possible",
                                     "--error-exitcode=99",
                                     "--log-file=" + *valgrindLog,
                                     ProgramDirectory() + "orvendel_host"};
    return child->Start(launcher.string(), args, folder.HostEnvironment(), error);
#endif
}

int Run(const Options& options) {
    const double duration = options.seconds >= 0 ? options.seconds : options.valgrind ? 60 : 180;
    const double warmUp = std::max(5.0, duration / 10);
#if !defined(_WIN32)
    if (options.valgrind && access("/usr/bin/valgrind", X_OK) != 0) {
        fprintf(stderr, "orvendel-soak: /usr/bin/valgrind is missing (apt-get install valgrind)\n");
        return 1;
    }
#endif

    HostFolder folder;
    std::string error;
    if (!folder.Create(&error) || !folder.WriteIni(CLIENT_INI_WITH_DEBUG("0"))) {
        fprintf(stderr, "orvendel-soak: host folder: %s\n", error.c_str());
        return 1;
    }
    folder.UseInThisProcess();
    AgentSide agent;
    ExtraBrowserWindow window;
    if (!agent.CreateBlocks(g_ChromeProfile, true, &error) || !window.Show(&error)) {
        fprintf(stderr, "orvendel-soak: agent: %s\n", error.c_str());
        return 1;
    }

    ChildProcess host;
    std::string valgrindLog;
    if (!StartHost(folder, options.valgrind, &host, &valgrindLog, &error)) {
        fprintf(stderr, "orvendel-soak: cannot start the host: %s\n", error.c_str());
        return 1;
    }
    SeenQuestions seen;
    ExtensionStandIn::Options standIn;
    standIn.readTimeoutMs = 600000;
    standIn.largestFrame = 4096;  // no frame of the host comes near this
    standIn.onBrokenOutput = Fail;
    ExtensionStandIn extension(
        &host, [&seen](ExtensionStandIn& self, const std::string& body) { return React(self, body, &seen); }, standIn);
    extension.Start();
    const int startMs = options.valgrind ? 120000 : 30000;
    if (!extension.Send(Frame("sync")) || !extension.WaitReplies(1, startMs)) {
        fprintf(stderr, "orvendel-soak: the host did not start\n");
        host.Kill();
        return 1;
    }
    // The launcher's child: the host, or valgrind running it.
    WatchedProcess watched;
    if (!watched.FindChildOf(host.Pid(), 5000) || !agent.OpenEvents(&error)) {
        fprintf(stderr, "orvendel-soak: cannot find the host's process or events: %s\n", error.c_str());
        host.Kill();
        return 1;
    }
    if (!extension.Send(Frame(Request("FindHandle", std::to_string(kWindowId))) + Frame("sync")) ||
        !extension.WaitReplies(2, startMs)) {
        fprintf(stderr, "orvendel-soak: FindHandle was not served\n");
        host.Kill();
        return 1;
    }

    printf("orvendel-soak: %.0f s%s, other requests %s, host pid %u%s\n", duration,
           options.valgrind ? " under valgrind" : "",
           options.rate > 0 ? (std::to_string(static_cast<long>(options.rate)) + "/s").c_str() : "unpaced", watched.Pid(),
           options.valgrind ? (", valgrind log " + valgrindLog).c_str() : "");
    printf("  %8s %12s %10s %10s %10s %7s\n", "seconds", "requests", "url q", "devtools q",
           WatchedProcess::ResidentName(), WatchedProcess::HandlesName());

    std::vector<Sample> samples;
    std::atomic<uint64_t> requests{0};
    std::atomic<uint64_t> refusals{0};
    auto take = [&](double seconds, const char* note) {
        Sample s;
        s.seconds = seconds;
        s.requests = requests.load();
        s.urlQuestions = seen.url.load();
        s.devtoolQuestions = seen.devtool.load();
        s.rssKiB = watched.ResidentKiB();
        s.handles = OpenHandles(watched);
        if (s.rssKiB < 0 || s.handles < 0) Fail("the host's process is gone");
        samples.push_back(s);
        PrintSample(s, note);
    };

    Clock::time_point start = Clock::now();
    take(0, "start");
    std::atomic<bool> running{true};
    Asker url, devtool;
    std::thread urlAgent([&] { Ask(&agent, AgentChannel::Url, window.Handle(), &running, &url); });
    std::thread devtoolAgent([&] { Ask(&agent, AgentChannel::Devtool, window.Handle(), &running, &devtool); });
    std::thread noise([&] {
        const Batch batch = MakeBatch();
        uint64_t expectedReplies = extension.Replies();
        for (uint64_t n = 1; running.load() && !g_Failed.load(); ++n) {
            if (!extension.Send(batch.bytes)) {
                Fail("the host stopped reading");
                return;
            }
            expectedReplies += batch.refusals;
            // One batch at a time: the answers never queue behind megabytes.
            if (!extension.WaitReplies(expectedReplies, 60000)) {
                Fail("the refusals of batch " + std::to_string(n) + " did not come");
                return;
            }
            requests += batch.requests;
            refusals += batch.refusals;
            if (options.rate > 0) {
                double due = static_cast<double>(n * batch.requests) / options.rate;
                double ahead = due - SecondsSince(start);
                if (ahead > 0) std::this_thread::sleep_for(std::chrono::duration<double>(ahead));
            }
        }
    });

    bool warmed = false;
    for (double next = options.sample; !g_Failed.load();) {
        double now = SecondsSince(start);
        if (now >= duration) break;
        double wake = std::min(next, duration);
        std::this_thread::sleep_for(std::chrono::duration<double>(std::min(0.2, std::max(0.0, wake - now))));
        now = SecondsSince(start);
        if (now >= next) {
            const char* note = "";
            if (!warmed && now >= warmUp) {
                warmed = true;
                note = "end of warm-up";
            }
            take(now, note);
            next += options.sample;
        }
    }
    running = false;
    urlAgent.join();
    devtoolAgent.join();
    noise.join();
    uint64_t synced = extension.Replies() + 1;
    if (!g_Failed.load() && (!extension.Send(Frame("sync")) || !extension.WaitReplies(synced, 60000))) {
        Fail("the last sync was not answered");
    }
    double seconds = SecondsSince(start);
    take(seconds, "end");

    // The warm-up's sample is the baseline of growth.
    const Sample* base = nullptr;
    for (const Sample& s : samples) {
        if (s.seconds >= warmUp) {
            base = &s;
            break;
        }
    }
    const Sample& last = samples.back();
    if (base != nullptr && base != &last) {
        for (const Sample& s : samples) {
            if (s.seconds <= base->seconds) continue;
            if (!options.valgrind && s.rssKiB > base->rssKiB + kRssBoundKiB) {
                Fail(std::string(WatchedProcess::ResidentName()) + " grew from " + std::to_string(base->rssKiB) +
                     " to " + std::to_string(s.rssKiB) +
                     " KiB after the warm-up");
                break;
            }
            if (s.handles > base->handles + kHandleBound) {
                Fail(std::string("open ") + WatchedProcess::HandlesName() + " grew from " +
                     std::to_string(base->handles) + " to " + std::to_string(s.handles));
                break;
            }
        }
    }

    // The end of the input ends the host, with one last reply.
    uint64_t repliesBefore = extension.Replies();
    extension.CloseInput();
    extension.Join();
    uint32_t status = 0;
    bool exited = host.Wait(options.valgrind ? 300000 : 30000, &status);
    if (!exited) {
        Fail("the host did not end after its input");
        host.Kill();
    }
    if (extension.Replies() != repliesBefore + 1) Fail("the end of input was not answered with one reply");
    if (!extension.Ended()) Fail("the host's output did not end");
    if (exited && status != kExitStatusMinusOne) {
        Fail("exit status " + std::to_string(status) + (status == 99 ? " (valgrind found errors)" : ""));
    }

    uint64_t urlQuestions = url.questions.load(), devtoolQuestions = devtool.questions.load();
    if (urlQuestions != seen.url.load() || devtoolQuestions != seen.devtool.load()) {
        Fail("questions asked and questions seen differ: url " + std::to_string(urlQuestions) + "/" +
             std::to_string(seen.url.load()) + ", devtools " + std::to_string(devtoolQuestions) + "/" +
             std::to_string(seen.devtool.load()));
    }
    uint64_t total = requests.load() + urlQuestions + devtoolQuestions - url.timedOut.load() - devtool.timedOut.load();
    printf("\n  %.1f s; %llu other requests (%llu refused), %llu URL and %llu DevTools questions "
           "(%llu and %llu left unanswered), %llu requests in all, %llu frames out\n",
           seconds, static_cast<unsigned long long>(requests.load()), static_cast<unsigned long long>(refusals.load()),
           static_cast<unsigned long long>(urlQuestions), static_cast<unsigned long long>(devtoolQuestions),
           static_cast<unsigned long long>(url.timedOut.load()), static_cast<unsigned long long>(devtool.timedOut.load()),
           static_cast<unsigned long long>(total), static_cast<unsigned long long>(extension.Frames()));
    printf("  slowest answered question: URL %lld ms, DevTools %lld ms\n", url.slowestAnsweredMs.load(),
           devtool.slowestAnsweredMs.load());
    if (base != nullptr) {
        printf("  after the warm-up (%.1f s): %s %ld -> %ld, %s %ld -> %ld\n", base->seconds,
               WatchedProcess::ResidentName(), base->rssKiB, last.rssKiB, WatchedProcess::HandlesName(),
               base->handles, last.handles);
    }
    if (options.valgrind) {
        std::ifstream log(valgrindLog);
        std::string line;
        printf("  valgrind:\n");
        while (std::getline(log, line)) {
            size_t at = line.find("== ");
            std::string text = at == std::string::npos ? line : line.substr(at + 3);
            if (text.find("ERROR SUMMARY") != std::string::npos || text.find("lost:") != std::string::npos ||
                text.find("still reachable:") != std::string::npos || text.find("All heap blocks") != std::string::npos ||
                text.find("total heap usage") != std::string::npos) {
                printf("    %s\n", text.c_str());
            }
            if (text.find("ERROR SUMMARY: ") == 0 && text.find("ERROR SUMMARY: 0 errors") != 0) {
                Fail("valgrind: " + text);
            }
        }
    }

    window.Close();
    agent.Close();
    if (g_Failed.load()) {
        fprintf(stderr, "orvendel-soak: FAILED\n");
        for (const std::string& f : g_Failures) fprintf(stderr, "  %s\n", f.c_str());
        if (options.valgrind) fprintf(stderr, "  (the valgrind log was in %s)\n", valgrindLog.c_str());
        return 1;
    }
    if (options.valgrind) {
        std::error_code ec;
        fs::remove(valgrindLog, ec);
        fs::remove(valgrindLog + ".supp", ec);
    }
    printf("orvendel-soak: passed\n");
    return 0;
}

int Usage() {
    fprintf(stderr, "usage: orvendel-soak [--seconds N] [--rate R] [--sample S] [--valgrind]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        auto number = [&](double* value) {
            if (i + 1 >= argc) return false;
            char* end = nullptr;
            *value = strtod(argv[++i], &end);
            return end != argv[i] && *end == '\0' && *value >= 0;
        };
        if (strcmp(argv[i], "--seconds") == 0) {
            if (!number(&options.seconds)) return Usage();
        } else if (strcmp(argv[i], "--rate") == 0) {
            if (!number(&options.rate)) return Usage();
        } else if (strcmp(argv[i], "--sample") == 0) {
            if (!number(&options.sample) || options.sample <= 0) return Usage();
        } else if (strcmp(argv[i], "--valgrind") == 0) {
            options.valgrind = true;
        } else {
            return Usage();
        }
    }
    return Run(options);
}
