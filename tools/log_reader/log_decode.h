// Decoding of the host's scrambled debug-log files.
//
// A file is a sequence of records: n scrambled bytes (byte i stored as
// ~b ^ (i & 0xFF), i counted from the record's first byte) followed by the
// plain separator "@!@". Every record's text begins with "\r\n", a marker
// ("   ", "<A>" or "<E>") and "[MM/DD HH:MM:SS][PID:TID] ". The separator can
// also occur inside scrambled bytes, so records are split by this structure,
// not by searching for "@!@" alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct LogRecord {
    size_t offset = 0;      // where the record starts in the file
    int level = -1;         // 0 for "   ", 1 for "<A>", 2 for "<E>"
    std::string stamp;      // "MM/DD HH:MM:SS"
    std::string pid;        // hexadecimal as written
    std::string tid;
    std::string message;    // text after the prefix, in the file's narrow encoding
    std::string text;       // whole decoded record text, "\r\n" included
    bool complete = true;   // false: the file ended before the record's separator
};

struct LogDecodeResult {
    std::vector<LogRecord> records;
    size_t consumed = 0;     // bytes that form whole records (a partial tail stays unread)
    size_t skipped = 0;      // bytes that could not be read as records
};

// Decodes a buffer that starts at a record boundary. With final false, a
// trailing incomplete record is left unconsumed (for following a growing file).
LogDecodeResult DecodeLogBuffer(const std::string& bytes, bool final = true);

// Scrambles one record's text and appends the separator, as the writer does.
// The text is not cut to the writer's limit, so tests can build oversized records.
std::string EncodeLogRecord(const std::string& text);

// One record as a single line: "<marker>[MM/DD HH:MM:SS][PID:TID] message",
// with CR and LF in the message shown as "\r" and "\n", other control bytes
// except tab as "\xHH", and other bytes unchanged. An incomplete record ends
// in " [incomplete]". No line break.
std::string FormatLogRecordLine(const LogRecord& record);

// Reads a log file piece by piece as it grows. Record offsets in the results
// are file offsets. A file that shrinks or whose already-read bytes change is
// read again from its start.
struct LogFileFollower {
    std::filesystem::path path;
    uint64_t base = 0;      // file offset of pending[0]
    std::string pending;    // bytes read but not yet decoded as whole records
    std::string seen_tail;  // last bytes before base + pending.size(), to notice rewrites
};

enum class LogPollStatus {
    kMissing,    // the file cannot be opened now; what was read is kept
    kRead,       // new bytes, if any, were decoded
    kRestarted,  // the file was truncated or rewritten; decoding began again at 0
};

// Reads what the file gained since the last call and decodes the whole
// records in it. final=true also returns a trailing record without separator
// and counts an unreadable tail as skipped, so one call reads a finished file.
LogPollStatus PollLogFile(LogFileFollower& follower, bool final, LogDecodeResult* out);
