// orvendel-tap: stands between the browser and the host, passes every byte
// both ways unchanged, and writes each frame it sees to a record file. A host
// manifest points at the tap instead of the host; the tap starts the host
// beside it with the browser's own arguments.
//
//   ORVENDEL_TAP_HOST  the host to start (default: orvendel_host beside the tap)
//   ORVENDEL_TAP_LOG   the record file (default: orvendel-tap-<date>-<time>-<pid>.txt
//                      in the temporary folder)
//
// The browser must never lose its connection because of the tap: bytes are
// passed on before they are recorded, and a record file that cannot be
// written only means no record. The tap ends when the host does, with the
// host's exit status; only a host that cannot be started makes the tap fail
// on its own (exit status 1).
#include <stdio.h>

#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "orv_version.h"
#include "tools/tap/tap_frames.h"
#include "tools/tap/tap_io.h"

namespace {

constexpr uint32_t kCannotStartHost = 1;
constexpr size_t kChunkBytes = 64 * 1024;

const char kToHost[] = "browser -> host";
const char kToBrowser[] = "host -> browser";
const char kTapItself[] = "tap";

struct RecordFile {
    std::mutex lock;
    TapHandle handle = TAP_NO_HANDLE;
    bool finished = false;  // the last record is written
};

// One direction's frames between the bytes seen and their records. The lock
// covers the reader, the records not yet written and their writing, so that
// when the host ends, the main thread can write what the thread of this
// direction has passed on but not yet recorded.
struct Direction {
    explicit Direction(const char* directionName) : name(directionName) {}
    const char* const name;
    std::mutex lock;
    FrameReader reader;
    std::vector<TapEvent> pending;
    bool closed = false;  // the main thread has written its last records
};

struct Tap {
    RecordFile record;
    Direction toHost{kToHost};
    Direction toBrowser{kToBrowser};
    HostChild host;
};

void WriteRecordText(RecordFile* record, const std::string& text) {
    std::lock_guard<std::mutex> hold(record->lock);
    if (record->finished || record->handle == TAP_NO_HANDLE) return;
    // A failed write loses this record only; the bytes go on regardless.
    WriteAll(record->handle, text.data(), text.size());
}

void WriteNote(RecordFile* record, const std::string& text) {
    WriteRecordText(record, FormatTapEvent(kTapItself, NoteEvent(text)));
}

// With direction->lock held.
void WritePending(Tap* tap, Direction* direction) {
    if (direction->pending.empty()) return;
    std::string text;
    for (const TapEvent& event : direction->pending) text += FormatTapEvent(direction->name, event);
    direction->pending.clear();
    WriteRecordText(&tap->record, text);
}

// Records the bytes before they are passed on, and writes the records after:
// the frame reaches the other side first, yet no frame that the other side
// may have acted on can be missing from the record when the host ends.
bool NoteBytes(Direction* direction, const char* data, size_t size) {
    std::lock_guard<std::mutex> hold(direction->lock);
    if (direction->closed) return false;
    FeedFrames(&direction->reader, data, size, &direction->pending);
    return true;
}

bool NoteEnd(Direction* direction, const char* when, const std::string& note) {
    std::lock_guard<std::mutex> hold(direction->lock);
    if (direction->closed) return false;
    TakeUnfinishedFrame(&direction->reader, when, &direction->pending);
    if (!note.empty()) direction->pending.push_back(NoteEvent(note));
    return true;
}

bool NoteText(Direction* direction, const std::string& note) {
    std::lock_guard<std::mutex> hold(direction->lock);
    if (direction->closed) return false;
    direction->pending.push_back(NoteEvent(note));
    return true;
}

bool FlushRecords(Tap* tap, Direction* direction) {
    std::lock_guard<std::mutex> hold(direction->lock);
    if (direction->closed) return false;
    WritePending(tap, direction);
    return true;
}

// Browser to host. When the host stops reading, what the browser still sends
// is recorded and dropped until the host ends.
void CopyToHost(Tap* tap) {
    Direction* direction = &tap->toHost;
    std::vector<char> buffer(kChunkBytes);
    bool hostReads = true;
    for (;;) {
        long got = ReadSomeUntilStopped(StandardInput(), buffer.data(), buffer.size());
        if (got < 0) return;  // the host has ended; the main thread recorded the rest
        if (got == 0) break;
        if (!NoteBytes(direction, buffer.data(), static_cast<size_t>(got))) return;
        if (hostReads && !WriteAll(tap->host.input, buffer.data(), static_cast<size_t>(got))) {
            hostReads = false;
            if (!NoteText(direction, "the host no longer reads: what follows is recorded, not passed on")) return;
        }
        if (!FlushRecords(tap, direction)) return;
    }
    if (!NoteEnd(direction, "at the end of the stream", "end of stream")) return;
    CloseTapHandle(&tap->host.input);
    FlushRecords(tap, direction);
}

// Host to browser. A browser that stops reading must not block the host:
// its output is still read, recorded and dropped.
void CopyToBrowser(Tap* tap) {
    Direction* direction = &tap->toBrowser;
    std::vector<char> buffer(kChunkBytes);
    bool browserReads = true;
    for (;;) {
        long got = ReadSome(tap->host.output, buffer.data(), buffer.size());
        if (got <= 0) break;
        NoteBytes(direction, buffer.data(), static_cast<size_t>(got));
        if (browserReads && !WriteAll(StandardOutput(), buffer.data(), static_cast<size_t>(got))) {
            browserReads = false;
            NoteText(direction, "the browser no longer reads: what follows is recorded, not passed on");
        }
        FlushRecords(tap, direction);
    }
    CloseStandardOutput();
    CloseTapHandle(&tap->host.output);
    NoteEnd(direction, "at the end of the stream", "end of stream");
    FlushRecords(tap, direction);
}

std::string DescribeEnd(const HostEnd& end) {
    char hex[16];
    snprintf(hex, sizeof hex, "0x%X", static_cast<unsigned>(end.status));
    std::string status = std::to_string(end.status) + " (" + hex + ")";
    if (end.signal != 0) {
        return "the host was ended by signal " + std::to_string(end.signal) + ", exit status " + status;
    }
    return "the host ended with exit status " + status;
}

void Complain(const std::string& text) {
    std::string line = "orvendel-tap: " + text + "\n";
    fputs(line.c_str(), stderr);
    fflush(stderr);
}

}  // namespace

// The browser starts the tap with an origin and a window handle, never with
// these words alone: a person asking is told, and nothing is started.
bool AnswersAPerson(int argc, char** argv) {
    if (argc != 2) return false;
    std::string arg = argv[1];
    if (arg == "--version") {
        fputs("orvendel-tap " ORV_VERSION "\n", stdout);
        return true;
    }
    if (arg == "-h" || arg == "--help") {
        fputs("Usage: orvendel-tap [BROWSER ARGUMENTS...]\n"
              "Stands between the browser and the host: point a host manifest at it.\n"
              "It starts the host beside it with the browser's arguments, passes every\n"
              "byte both ways and records each frame.\n"
              "  ORVENDEL_TAP_HOST  the host to start (default: orvendel_host beside the tap)\n"
              "  ORVENDEL_TAP_LOG   the record file (default: orvendel-tap-<date>-<time>-<pid>.txt\n"
              "                     in the temporary folder)\n"
              "Exit status: the host's, or 1 when the host cannot be started.\n",
              stdout);
        return true;
    }
    return false;
}

int main(int argc, char** argv) {
    if (AnswersAPerson(argc, argv)) return 0;
    PrepareStandardHandles();
    // Never freed: a thread blocked on standard input may outlive main's
    // scope until the process ends.
    Tap* tap = new Tap;

    NativeText recordPath = RecordPath();
    std::string why;
    tap->record.handle = OpenRecord(recordPath, &why);
    if (tap->record.handle == TAP_NO_HANDLE) {
        Complain("cannot open the record file " + ToUtf8(recordPath) + " (" + why + "); passing bytes without a record");
    }

    NativeText hostPath = HostPath();
    TapArguments arguments = GetTapArguments(argc, argv);
    if (!StartHost(hostPath, arguments, &tap->host, &why)) {
        std::string text = "cannot start the host " + ToUtf8(hostPath) + ": " + why;
        Complain(text);
        WriteNote(&tap->record, text);
        ExitTap(kCannotStartHost);
    }
    WriteNote(&tap->record, "started the host " + ToUtf8(hostPath) + " (pid " + std::to_string(HostPid(tap->host)) +
                                ") with arguments: " + DescribeArguments(arguments));

    std::thread toHost(CopyToHost, tap);
    std::thread toBrowser(CopyToBrowser, tap);

    HostEnd end = WaitHost(&tap->host);
    // The host's output ends with it: everything it wrote reaches the browser.
    toBrowser.join();
    {
        std::lock_guard<std::mutex> hold(tap->toHost.lock);
        if (!tap->toHost.closed) {
            TakeUnfinishedFrame(&tap->toHost.reader, "when the host ended", &tap->toHost.pending);
            WritePending(tap, &tap->toHost);
            tap->toHost.closed = true;
        }
    }
    WriteNote(&tap->record, DescribeEnd(end));
    {
        std::lock_guard<std::mutex> hold(tap->record.lock);
        tap->record.finished = true;
        CloseTapHandle(&tap->record.handle);
    }
    if (StopReads()) {
        toHost.join();
        CloseTapHandle(&tap->host.input);
        delete tap;
    } else {
        toHost.detach();
    }
    ExitTap(end.status);
}
