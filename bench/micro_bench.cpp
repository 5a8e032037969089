// Micro-benchmarks of the request path, each beside the floor it stands on:
// HandleRequest beside a bare RapidJSON parse of the same body (and beside
// the same parse with the host's document set-up), the frame reader beside a
// plain fread, our formatter beside the C library's.
//
// Pairs share a name stem ("Small/FindHandle/Host" and ".../Parse"); the
// table printed after the run divides one by the other.
#include <benchmark/benchmark.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <wchar.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "contract/contract.h"
#include "contract/frame_header.h"
#include "host/request.h"
#include "platform/platform.h"
#include "support/format.h"
#include "support/framing.h"
#include "support/heap.h"
#include "support/log.h"

namespace fs = std::filesystem;

namespace {

// What the no-op handlers saw: a benchmark whose request never reached its
// handler measures the wrong path, and says so instead of reporting.
std::atomic<long> g_Dispatched{0};

void CountFindHandle(int) { g_Dispatched.fetch_add(1, std::memory_order_relaxed); }
void CountAnswer(const WCHAR*, DWORD, int) { g_Dispatched.fetch_add(1, std::memory_order_relaxed); }

std::string Request(const std::string& command, const std::string& argsJson) {
    return "{\"CommandID\":\"" + command + "\",\"CommandArgs\":" + argsJson + "}";
}

// A ReturnUrlList of exactly size bytes.
std::string LargeUrlList(size_t size) {
    std::string frame = Request("ReturnUrlList", "\"7;\"");
    return Request("ReturnUrlList", "\"7;" + std::string(size - frame.size(), 'a') + "\"");
}

struct Body {
    const char* stem;
    std::string text;
    bool dispatched;  // reaches a handler; otherwise it is refused
};

const std::vector<Body>& Bodies() {
    static const std::vector<Body> bodies = {
        {"Small/FindHandle", Request("FindHandle", "7"), true},
        {"Small/ReturnUrlList", Request("ReturnUrlList",
                                        "\"7;https://example.com/|https://cdn.example.com/frame.html|"
                                        "https://ads.example.net/x?y=1\""),
         true},
        {"Small/RefuseParseError", "{\"CommandID\":\"FindHandle\",\"CommandArgs\":7", false},
        {"Small/RefuseKeyError", "{\"CommandID\":\"FindHandle\",\"Args\":7}", false},
        {"Small/RefuseUnknownCommand", Request("Hello", "7"), false},
        {"Large/ReturnUrlList1MB", LargeUrlList(MAX_REQUEST_BYTES), true},
    };
    return bodies;
}

HeapArray<char> CopyOf(const std::string& text) {
    HeapArray<char> copy(new char[text.size() + 1]);
    memcpy(copy.get(), text.c_str(), text.size() + 1);
    return copy;
}

// Both sides of a pair get a fresh copy of the body, as the host does per frame.
void BM_Host(benchmark::State& state, const Body* body) {
    long before = g_Dispatched.load();
    for (auto _ : state) HandleRequest(CopyOf(body->text), 0);
    long reached = g_Dispatched.load() - before;
    if ((reached > 0) != body->dispatched) state.SkipWithError("request took the wrong path");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body->text.size()));
}

void BM_Parse(benchmark::State& state, const Body* body) {
    for (auto _ : state) {
        HeapArray<char> copy = CopyOf(body->text);
        rapidjson::Document document;
        document.Parse<rapidjson::kParseIterativeFlag>(copy.get());
        benchmark::DoNotOptimize(document.HasParseError());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body->text.size()));
}

// The same parse with the document set up as HandleRequest sets it up: the
// pool's first chunk on the stack. Beside it the host's own work shows alone.
void BM_ParsePool(benchmark::State& state, const Body* body) {
    for (auto _ : state) {
        HeapArray<char> copy = CopyOf(body->text);
        alignas(8) char poolBuffer[2048];
        rapidjson::MemoryPoolAllocator<> pool(poolBuffer, sizeof(poolBuffer));
        rapidjson::Document document(&pool);
        document.Parse<rapidjson::kParseIterativeFlag>(copy.get());
        benchmark::DoNotOptimize(document.HasParseError());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body->text.size()));
}

// One 1,000,000-byte frame in a file, read again from its start each time.
struct FrameFile {
    FILE* file = nullptr;
    size_t bodyBytes = 0;
};

FrameFile& LargeFrameFile() {
    static FrameFile frame;
    return frame;
}

void BM_ReadFramedRequest(benchmark::State& state) {
    FrameFile& frame = LargeFrameFile();
    for (auto _ : state) {
        rewind(frame.file);
        HeapArray<char> request;
        if (ReadFramedRequest(&request) != FRAME_REQUEST) {
            state.SkipWithError("frame not read");
            break;
        }
        benchmark::DoNotOptimize(request.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * frame.bodyBytes));
}

void BM_PlainRead(benchmark::State& state) {
    FrameFile& frame = LargeFrameFile();
    for (auto _ : state) {
        rewind(frame.file);
        unsigned char header[FRAME_HEADER_BYTES];
        if (fread(header, 1, sizeof header, frame.file) != sizeof header) {
            state.SkipWithError("header not read");
            break;
        }
        size_t length = DecodeFrameHeader(header);
        std::unique_ptr<char[]> body(new char[length + 1]);
        size_t got = fread(body.get(), 1, length, frame.file);
        body[got] = '\0';
        benchmark::DoNotOptimize(body.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * frame.bodyBytes));
}

void BM_LogRecord(benchmark::State& state) {
    for (auto _ : state) DebugLog(LOG_ERROR, W("Key value is not exist or wrong! %d"), 7);
}

// The prefix of every log record, with the values a record gives it.
int Theirs(wchar_t* out, size_t limit, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    int n = vswprintf(out, limit, format, args);
    va_end(args);
    return n;
}

void BM_FormatOurs(benchmark::State& state) {
    WCHAR out[260];
    for (auto _ : state) {
        int n = FormatWide(out, 260, W("\r\n<E>[%02d/%02d %02d:%02d:%02d][%04X:%04X] "), 12, 8, 7, 5, 9, 0x1a2b, 0x3c4d);
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(out);
    }
}

void BM_FormatPlatform(benchmark::State& state) {
    wchar_t out[260];
    for (auto _ : state) {
        int n = Theirs(out, 260, L"\r\n<E>[%02d/%02d %02d:%02d:%02d][%04X:%04X] ", 12, 8, 7, 5, 9, 0x1a2b, 0x3c4d);
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(out);
    }
}

// Collects every run's time per iteration so that pairs can be divided.
// CPU time, not wall time: on a shared 2-core machine other processes'
// turns would land on either side of a pair at random.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (!run.error_occurred && run.iterations > 0 && run.run_type == Run::RT_Iteration) {
                times_[run.benchmark_name()] = run.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        const struct {
            const char* what;
            std::string ours, floor;
        } kPairs[] = {
            {"Small/FindHandle", "Small/FindHandle/Host", "Small/FindHandle/Parse"},
            {"Small/ReturnUrlList", "Small/ReturnUrlList/Host", "Small/ReturnUrlList/Parse"},
            {"Small/RefuseParseError", "Small/RefuseParseError/Host", "Small/RefuseParseError/Parse"},
            {"Small/RefuseKeyError", "Small/RefuseKeyError/Host", "Small/RefuseKeyError/Parse"},
            {"Small/RefuseUnknownCommand", "Small/RefuseUnknownCommand/Host", "Small/RefuseUnknownCommand/Parse"},
            {"Large/ReturnUrlList1MB", "Large/ReturnUrlList1MB/Host", "Large/ReturnUrlList1MB/Parse"},
            {"Frame1MB (ReadFramedRequest / fread)", "Frame1MB/ReadFramedRequest", "Frame1MB/PlainRead"},
            {"Format prefix (FormatWideV / vswprintf)", "Format/FormatWideV", "Format/vswprintf"},
        };
        FILE* out = stdout;
        fprintf(out, "\n%-42s %14s %14s %8s\n", "pair (ours / floor), CPU time", "ours", "floor", "ratio");
        for (const auto& pair : kPairs) {
            auto ours = times_.find(pair.ours);
            auto floor = times_.find(pair.floor);
            if (ours == times_.end() || floor == times_.end() || floor->second <= 0) continue;
            fprintf(out, "%-42s %11.3f us %11.3f us %7.2fx\n", pair.what, ours->second / 1000,
                    floor->second / 1000, ours->second / floor->second);
        }
        fprintf(out, "\nthe same, beside the parse with the host's document set-up (pool's first chunk on the stack)\n");
        for (const auto& pair : kPairs) {
            if (pair.floor.size() < 6 || pair.floor.compare(pair.floor.size() - 6, 6, "/Parse") != 0) continue;
            auto ours = times_.find(pair.ours);
            auto floor = times_.find(pair.floor + "Pool");
            if (ours == times_.end() || floor == times_.end() || floor->second <= 0) continue;
            fprintf(out, "%-42s %11.3f us %11.3f us %7.2fx\n", pair.what, ours->second / 1000,
                    floor->second / 1000, ours->second / floor->second);
        }
        auto log = times_.find("LogRecord/Level2");
        if (log != times_.end()) fprintf(out, "%-42s %11.3f us\n", "log record, level 2 (open-write-close)", log->second / 1000);
    }

private:
    std::map<std::string, double> times_;
};

// A Windows folder of our own, so that refusals write their real log record.
bool PrepareLogFolder(std::string* folder) {
    char pattern[] = "/tmp/orvendel-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return false;
    *folder = pattern;
    std::error_code ec;
    fs::create_directories(fs::path(*folder) / "stelvo" / "dump", ec);
    fs::create_directories(fs::path(*folder) / "stelvo" / "policy", ec);
    if (ec) return false;
    std::ofstream ini(fs::path(*folder) / "stelvo" / "policy" / "stelvo.ini", std::ios::binary);
    ini << CLIENT_INI_WITH_DEBUG("0");
    if (!ini) return false;
    setenv("ORVENDEL_WINDOWS_DIR", folder->c_str(), 1);
    return true;
}

bool PrepareFrameFile(const std::string& folder) {
    FrameFile& frame = LargeFrameFile();
    std::string body = LargeUrlList(MAX_REQUEST_BYTES);
    frame.bodyBytes = body.size();
    frame.file = fopen((folder + "/frame.bin").c_str(), "w+b");
    if (frame.file == nullptr) return false;
    unsigned char header[4];
    for (int i = 0; i < 4; ++i) header[i] = static_cast<unsigned char>(body.size() >> (8 * i));
    return fwrite(header, 1, 4, frame.file) == 4 && fwrite(body.data(), 1, body.size(), frame.file) == body.size() &&
           fflush(frame.file) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string folder;
    if (!PrepareLogFolder(&folder) || !PrepareFrameFile(folder)) {
        fprintf(stderr, "micro_bench: cannot prepare %s\n", folder.c_str());
        return 1;
    }
    FILE* devNull = fopen("/dev/null", "wb");
    if (devNull == nullptr) return 1;
    SetFrameStreams(LargeFrameFile().file, devNull);
    g_CommandHandlers = {CountFindHandle, CountAnswer, CountAnswer};

    for (const Body& body : Bodies()) {
        benchmark::RegisterBenchmark((std::string(body.stem) + "/Host").c_str(), BM_Host, &body);
        benchmark::RegisterBenchmark((std::string(body.stem) + "/Parse").c_str(), BM_Parse, &body);
        benchmark::RegisterBenchmark((std::string(body.stem) + "/ParsePool").c_str(), BM_ParsePool, &body);
    }
    benchmark::RegisterBenchmark("Frame1MB/ReadFramedRequest", BM_ReadFramedRequest);
    benchmark::RegisterBenchmark("Frame1MB/PlainRead", BM_PlainRead);
    benchmark::RegisterBenchmark("LogRecord/Level2", BM_LogRecord);
    benchmark::RegisterBenchmark("Format/FormatWideV", BM_FormatOurs);
    benchmark::RegisterBenchmark("Format/vswprintf", BM_FormatPlatform);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    fclose(LargeFrameFile().file);
    std::error_code ec;
    fs::remove_all(folder, ec);
    return 0;
}
