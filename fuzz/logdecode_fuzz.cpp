// The log reader's decoder: records built as the writer builds them must come
// back exactly, and any bytes at all must decode without a fault into records
// that account for what was consumed.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_bytes.h"
#include "platform/platform.h"
#include "support/text.h"
#include "tools/log_reader/log_decode.h"
#include "fuzz/sanitizer_options.h"

namespace {

const size_t kRecordTextBytes = 4091;  // the writer's cut, before the separator
const size_t kLineUnits = 4096;

[[noreturn]] void Mismatch(const char* what, size_t index) {
    fprintf(stderr, "logdecode_fuzz: %s (record %zu)\n", what, index);
    abort();
}

struct Expected {
    int level;
    std::string stamp, pid, tid, message, text;
};

// The writer's steps: the prefix and the message formatted into one line of
// UTF-16, converted to the ANSI code page and cut to the record limit.
bool BuildRecord(Bytes& in, Expected* out) {
    static const WCHAR* const kPrefixes[] = {
        W("\r\n   [%02d/%02d %02d:%02d:%02d][%04X:%04X] "),
        W("\r\n<A>[%02d/%02d %02d:%02d:%02d][%04X:%04X] "),
        W("\r\n<E>[%02d/%02d %02d:%02d:%02d][%04X:%04X] "),
    };
    uint8_t head = in.Byte();
    int level = head % 3;
    int month = 1 + in.Byte() % 12, day = 1 + in.Byte() % 31, hour = in.Byte() % 24;
    int minute = in.Byte() % 60, second = in.Byte() % 60;
    unsigned pid = in.Byte() | (in.Byte() << 8) | ((head & 0x80) ? (in.Byte() << 16) : 0);
    unsigned tid = in.Byte() | (in.Byte() << 8) | ((head & 0x40) ? (in.Byte() << 24) : 0);

    // Message units: mostly ASCII (CR, LF and stray separators included), some
    // wider; a repeat byte reaches the length limit.
    std::basic_string<WCHAR> message;
    size_t length = in.Byte();
    for (size_t i = 0; i < length && !in.Empty(); ++i) {
        uint8_t b = in.Byte();
        if (b == 0xFF) {
            size_t times = static_cast<size_t>(in.Byte()) * 24;
            message.append(times, message.empty() ? W('x') : message.back());
        } else if (b >= 0xE0) {
            message.push_back(static_cast<WCHAR>(0x00C0 + ((b & 0x1F) << 6) + in.Byte()));
        } else if (b >= 0xD8) {
            message.push_back(0xD83D);  // a pair, whole or cut by the limit
            message.push_back(0xDE00);
        } else {
            message.push_back(b == 0 ? W('@') : static_cast<WCHAR>(b & 0x7F ? b & 0x7F : '!'));
        }
    }

    static WCHAR line[kLineUnits];
    static WCHAR body[kLineUnits];
    StringCchPrintfW(line, kLineUnits, kPrefixes[level], month, day, hour, minute, second, pid, tid);
    StringCchPrintfW(body, kLineUnits, W("%s"), message.c_str());
    StringCchCatW(line, kLineUnits, body);

    static char converted[kLineUnits * 3 + 1];
    int units = lstrlenW(line);
    int n = WideCharToMultiByte(CP_ACP, 0, line, units, converted, sizeof(converted) - 1, nullptr, nullptr);
    if (n <= 0) return false;
    std::string text(converted, static_cast<size_t>(n));
    if (text.size() > kRecordTextBytes) {
        // The writer keeps the longest run of whole characters that fits.
        size_t cut = kRecordTextBytes;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
        text.resize(cut);
    }

    char stamp[32], ids[48];
    snprintf(stamp, sizeof(stamp), "%02d/%02d %02d:%02d:%02d", month, day, hour, minute, second);
    snprintf(ids, sizeof(ids), "%04X:%04X", pid, tid);
    std::string idText = ids;
    const std::string prefix = std::string("\r\n") + (level == 0 ? "   " : level == 1 ? "<A>" : "<E>") + "[" +
                               stamp + "][" + idText + "] ";
    if (text.compare(0, prefix.size(), prefix) != 0) Mismatch("the writer's prefix is not the expected one", 0);
    out->level = level;
    out->stamp = stamp;
    out->pid = idText.substr(0, idText.find(':'));
    out->tid = idText.substr(idText.find(':') + 1);
    out->message = text.substr(prefix.size());
    out->text = text;
    return true;
}

void CheckRoundTrip(Bytes& in) {
    std::vector<Expected> expected;
    std::string file;
    std::vector<size_t> offsets;
    while (!in.Empty() && expected.size() < 16) {
        Expected record;
        if (!BuildRecord(in, &record)) continue;
        offsets.push_back(file.size());
        file += EncodeLogRecord(record.text);
        expected.push_back(record);
    }
    LogDecodeResult result = DecodeLogBuffer(file, true);
    if (result.records.size() != expected.size()) Mismatch("record count differs", result.records.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const LogRecord& got = result.records[i];
        const Expected& want = expected[i];
        if (got.offset != offsets[i]) Mismatch("offset differs", i);
        if (got.level != want.level) Mismatch("level differs", i);
        if (got.stamp != want.stamp) Mismatch("stamp differs", i);
        if (got.pid != want.pid || got.tid != want.tid) Mismatch("ids differ", i);
        if (got.message != want.message) Mismatch("message differs", i);
        if (got.text != want.text) Mismatch("text differs", i);
        if (!got.complete) Mismatch("record not complete", i);
    }
    if (result.consumed != file.size() || result.skipped != 0) Mismatch("not all bytes consumed", 0);

    // Followed while it grows: the last record, still without its separator, waits.
    if (!file.empty()) {
        std::string growing = file.substr(0, file.size() - 3);
        LogDecodeResult partial = DecodeLogBuffer(growing, false);
        if (partial.records.size() + 1 != expected.size()) Mismatch("a growing file's records", partial.records.size());
        if (partial.consumed != offsets.back()) Mismatch("a growing file consumed its unfinished tail", 0);
    }
}

// What any decoding must satisfy: every record re-encodes to the bytes it
// came from, records do not overlap, and records and skipped bytes add up to
// what was consumed.
void CheckInvariants(const std::string& bytes, bool final) {
    LogDecodeResult r = DecodeLogBuffer(bytes, final);
    if (r.consumed > bytes.size()) Mismatch("consumed more than given", 0);
    size_t covered = r.skipped;
    size_t lastEnd = 0;
    for (size_t i = 0; i < r.records.size(); ++i) {
        const LogRecord& rec = r.records[i];
        if (rec.offset < lastEnd) Mismatch("records overlap", i);
        if (rec.text.size() > kRecordTextBytes) Mismatch("record longer than the writer writes", i);
        if (rec.level < 0 || rec.level > 2) Mismatch("level out of range", i);
        std::string stored = EncodeLogRecord(rec.text);
        if (!rec.complete) {
            if (!final) Mismatch("an incomplete record while following", i);
            stored.resize(rec.text.size());
        }
        if (rec.offset > bytes.size() || bytes.compare(rec.offset, stored.size(), stored) != 0) {
            Mismatch("record does not re-encode to its bytes", i);
        }
        covered += stored.size();
        lastEnd = rec.offset + stored.size();
        FormatLogRecordLine(rec);
    }
    if (covered != r.consumed) Mismatch("records and skipped bytes do not add up", 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes in{data, size};
    CheckRoundTrip(in);
    std::string raw(reinterpret_cast<const char*>(data), size);
    CheckInvariants(raw, true);
    CheckInvariants(raw, false);
    return 0;
}
