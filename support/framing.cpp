#include "support/framing.h"

#include <stdint.h>
#include <string.h>

#include <atomic>

#include "contract/envelope.h"
#include "contract/frame_header.h"
#include "support/log.h"
#include "support/text.h"

namespace {

FILE* g_input = nullptr;
FILE* g_output = nullptr;
// Held from a frame's first length byte to the end of its body, and by flushes.
SRWLOCK g_outputLock = SRWLOCK_INIT;
// Set by every frame written, cleared by every flush: the read loop's flush
// before each frame costs nothing when no frame waits (a relay thread
// flushes its own frames, so one that lands after the test goes out anyway).
std::atomic<bool> g_outputPending{false};
// Standard input's buffer is made larger once, before the first read: a
// stream of small frames then takes one read call per 64 KB, not per 4 KB.
#define INPUT_BUFFER_BYTES 65536
bool g_inputBuffered = false;

FILE* Input() { return g_input != nullptr ? g_input : stdin; }
FILE* Output() { return g_output != nullptr ? g_output : stdout; }

// Reads and drops up to count bytes; stops early at the end of the input.
void DiscardInput(uint64_t count) {
    char scratch[16384];
    while (count > 0) {
        size_t want = count < sizeof(scratch) ? static_cast<size_t>(count) : sizeof(scratch);
        size_t got = fread(scratch, 1, want, Input());
        if (got == 0) return;
        count -= got;
    }
}

// A data text as the inside of a JSON string, at most limit - 1 bytes.
void EscapeJsonText(const char* text, char* out, size_t limit) {
    size_t used = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        char piece[7];
        if (*p == '"' || *p == '\\') {
            piece[0] = '\\';
            piece[1] = static_cast<char>(*p);
            piece[2] = 0;
        } else if (*p < 0x20) {
            snprintf(piece, sizeof(piece), "\\u%04x", *p);
        } else {
            piece[0] = static_cast<char>(*p);
            piece[1] = 0;
        }
        size_t n = strlen(piece);
        if (used + n >= limit) break;
        memcpy(out + used, piece, n);
        used += n;
    }
    out[used] = 0;
}

// The envelope with the result code and empty data, as the reply pattern formats it.
void FormatEmptyReply(int resultCode, char* body) {
    static const char kHead[] = ENVELOPE_HEAD;
    static const char kTail[] = ENVELOPE_MIDDLE ENVELOPE_TAIL;
    char* p = body;
    memcpy(p, kHead, sizeof(kHead) - 1);
    p += sizeof(kHead) - 1;
    char digits[10];
    size_t n = 0;
    uint32_t magnitude = resultCode < 0 ? 0u - static_cast<uint32_t>(resultCode) : static_cast<uint32_t>(resultCode);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (resultCode < 0) *p++ = '-';
    while (n > 0) *p++ = digits[--n];
    memcpy(p, kTail, sizeof(kTail));
}

}  // namespace

void SetFrameStreams(FILE* input, FILE* output) {
    g_input = input;
    g_output = output;
}

FrameReadResult ReadFramedRequest(HeapArray<char>* request) {
    // As with tied console streams: whatever is pending reaches the extension
    // before the host waits for its next frame.
    if (g_outputPending.load()) FlushOutput();
    if (g_input == nullptr && !g_inputBuffered) {
        g_inputBuffered = true;
        setvbuf(stdin, nullptr, _IOFBF, INPUT_BUFFER_BYTES);
    }

    unsigned char header[FRAME_HEADER_BYTES] = {0, 0, 0, 0};
    size_t got = fread(header, 1, sizeof(header), Input());
    for (size_t i = got; i < sizeof(header); ++i) header[i] = 0;
    uint32_t declared = DecodeFrameHeader(header);
    if (declared == 0) return FRAME_END_OF_INPUT;

    DebugLog(LOG_TRACE, W("Request data length : %d"), static_cast<int>(declared));
    uint32_t length = declared > MAX_REQUEST_BYTES ? MAX_REQUEST_BYTES : declared;

    // Filled by the read below; only what the input did not deliver is zeroed.
    HeapArray<char> buffer = AllocUninitialized<char>(static_cast<size_t>(length) + 1);
    if (!buffer) {
        DebugLog(LOG_ERROR, W("Buffer allocation failed : %d"), static_cast<int>(GetLastError()));
        SendReply(-1, W(""));
        DiscardInput(declared);
        return FRAME_NOT_TAKEN;
    }
    size_t filled = 0;
    while (filled < length) {
        size_t n = fread(buffer.get() + filled, 1, length - filled, Input());
        if (n == 0) break;
        filled += n;
    }
    memset(buffer.get() + filled, 0, static_cast<size_t>(length) + 1 - filled);
    if (declared > length) DiscardInput(static_cast<uint64_t>(declared) - length);
    *request = std::move(buffer);
    return FRAME_REQUEST;
}

void WriteFramedMessage(const char* body) {
    uint32_t length = static_cast<uint32_t>(strlen(body));
    unsigned char header[FRAME_HEADER_BYTES];
    EncodeFrameHeader(length, header);
    AcquireSRWLockExclusive(&g_outputLock);
    FILE* out = Output();
    fwrite(header, 1, sizeof(header), out);
    fwrite(body, 1, length, out);
    g_outputPending.store(true);
    ReleaseSRWLockExclusive(&g_outputLock);
}

void FlushOutput() {
    AcquireSRWLockExclusive(&g_outputLock);
    g_outputPending.store(false);
    fflush(Output());
    ReleaseSRWLockExclusive(&g_outputLock);
}

void SendReply(int resultCode, const WCHAR* data) {
    char body[REPLY_BUFFER_BYTES] = {};
    if (data == nullptr || data[0] == 0) {
        // Every reply of the host: nothing to convert or escape.
        FormatEmptyReply(resultCode, body);
    } else {
        char dataText[ANSI_TEXT_BYTES] = {};
        WideToAnsi(data, dataText);
        // Data is cut, never the frame around it: the body stays one JSON object.
        char envelope[64];
        int fixed = snprintf(envelope, sizeof(envelope), ENVELOPE("%d", ""), resultCode);
        char escaped[REPLY_BUFFER_BYTES] = {};
        EscapeJsonText(dataText, escaped, sizeof(escaped) - static_cast<size_t>(fixed));
        snprintf(body, sizeof(body), ENVELOPE("%d", "%s"), resultCode, escaped);
    }

    // The trace line's copy of the body is made only when the line can be
    // written: before the configuration is read, or with trace lines on.
    if (g_LogState.loaded.load() == 0 || g_LogState.enabled.load() == 1) {
        WCHAR logged[REPLY_BUFFER_BYTES] = {};
        AnsiToWide(body, logged, CountOf(logged));
        DebugLog(LOG_TRACE, W("[SOD] : %s"), logged);
    }
    WriteFramedMessage(body);
}
