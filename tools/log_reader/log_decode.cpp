#include "tools/log_reader/log_decode.h"

#include <fstream>
#include <utility>

#include "contract/log_record.h"

namespace {

const char kSeparator[] = LOG_RECORD_SEPARATOR;
const size_t kSeparatorSize = LOG_RECORD_SEPARATOR_BYTES;
const size_t kMaxTextBytes = LOG_RECORD_TEXT_BYTES;
const size_t kMaxIdDigits = 8;  // a 32-bit id in hexadecimal
const size_t kMinIdDigits = 4;
// Enough of the bytes before the read position to notice that a file was
// replaced by one of the same or greater length.
const size_t kFollowTailBytes = 64;

unsigned char Unscramble(char stored, size_t index) { return ScrambleLogByte(static_cast<unsigned char>(stored), index); }

enum class Match { kInvalid, kPartial, kValid };

struct PrefixMatch {
    Match kind = Match::kInvalid;
    size_t length = 0;  // bytes of the prefix, final blank included
    int level = -1;
};

// Walks the decoded bytes of a would-be record starting at pos, noting when
// the buffer ends before a mismatch (the prefix may still complete).
class PrefixCursor {
public:
    PrefixCursor(const std::string& bytes, size_t pos) : bytes_(bytes), pos_(pos) {}

    bool Next(unsigned char* c) {
        if (pos_ + index_ >= bytes_.size()) {
            ended_ = true;
            return false;
        }
        *c = Unscramble(bytes_[pos_ + index_], index_);
        ++index_;
        return true;
    }
    bool Literal(char want) {
        unsigned char c;
        return Next(&c) && c == static_cast<unsigned char>(want);
    }
    bool Digit() {
        unsigned char c;
        return Next(&c) && c >= '0' && c <= '9';
    }
    // Upper-case hex digits up to the terminator; false on anything else.
    bool HexId(char terminator) {
        size_t digits = 0;
        unsigned char c;
        while (Next(&c)) {
            if (c == static_cast<unsigned char>(terminator)) return digits >= kMinIdDigits;
            bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
            if (!hex || ++digits > kMaxIdDigits) return false;
        }
        return false;
    }
    bool ended() const { return ended_; }
    size_t index() const { return index_; }

private:
    const std::string& bytes_;
    size_t pos_;
    size_t index_ = 0;
    bool ended_ = false;
};

// "\r\n" marker "[MM/DD HH:MM:SS][PID:TID] ", decoded with the key starting at pos.
PrefixMatch MatchPrefix(const std::string& bytes, size_t pos) {
    PrefixCursor cur(bytes, pos);
    PrefixMatch result;
    auto failed = [&]() {
        result.kind = cur.ended() ? Match::kPartial : Match::kInvalid;
        return result;
    };
    if (!cur.Literal('\r') || !cur.Literal('\n')) return failed();

    unsigned char m0, m1, m2;
    if (!cur.Next(&m0)) return failed();
    if (m0 == ' ') {
        if (!cur.Literal(' ') || !cur.Literal(' ')) return failed();
        result.level = 0;
    } else if (m0 == '<') {
        if (!cur.Next(&m1)) return failed();
        if (m1 != 'A' && m1 != 'E') return failed();
        if (!cur.Next(&m2) || m2 != '>') return failed();
        result.level = m1 == 'A' ? 1 : 2;
    } else {
        return failed();
    }

    for (const char* shape = "[00/00 00:00:00]["; *shape; ++shape) {
        bool ok = *shape == '0' ? cur.Digit() : cur.Literal(*shape);
        if (!ok) return failed();
    }
    if (!cur.HexId(':') || !cur.HexId(']') || !cur.Literal(' ')) return failed();

    result.kind = Match::kValid;
    result.length = cur.index();
    return result;
}

bool SeparatorAt(const std::string& bytes, size_t pos) {
    return pos + kSeparatorSize <= bytes.size() && bytes.compare(pos, kSeparatorSize, kSeparator) == 0;
}

size_t NextPlausibleStart(const std::string& bytes, size_t from) {
    for (size_t pos = from; pos < bytes.size(); ++pos) {
        if (MatchPrefix(bytes, pos).kind != Match::kInvalid) return pos;
    }
    return bytes.size();
}

enum class EndKind {
    kSeparator,   // at: where the separator starts
    kNextRecord,  // at: a new record starts there without a separator before it
    kBufferEnd,   // the buffer ended first (final)
    kWait,        // the buffer ended first and more may come
    kTooLong,     // no end within the largest record the writer makes
};

struct RecordEnd {
    EndKind kind;
    size_t at = 0;
};

// A record ends at the first "@!@" that is followed by the end of the buffer
// or by another record. Scrambled text can spell "@!@" too, so a separator
// followed by anything else is taken as part of the text, unless the record
// then runs into the next record, the size limit or the end of a finished
// buffer: then garbage followed the record, and its first "@!@" ends it.
RecordEnd FindRecordEnd(const std::string& bytes, size_t start, size_t prefix_length, bool final) {
    const size_t size = bytes.size();
    const size_t last_separator = start + kMaxTextBytes;
    bool have_fallback = false;
    size_t fallback = 0;
    auto fall_back_or = [&](EndKind kind, size_t at) {
        if (have_fallback) return RecordEnd{EndKind::kSeparator, fallback};
        return RecordEnd{kind, at};
    };
    for (size_t pos = start + prefix_length;; ++pos) {
        if (pos > last_separator) return fall_back_or(EndKind::kTooLong, 0);
        if (pos >= size) {
            if (!final) return {EndKind::kWait};
            return fall_back_or(EndKind::kBufferEnd, 0);
        }
        if (SeparatorAt(bytes, pos)) {
            size_t after = pos + kSeparatorSize;
            if (after == size) return {EndKind::kSeparator, pos};
            // A next record still being written counts: waiting for it
            // would hold back this one.
            if (MatchPrefix(bytes, after).kind != Match::kInvalid) return {EndKind::kSeparator, pos};
            if (!have_fallback) {
                have_fallback = true;
                fallback = pos;
            }
        } else if (MatchPrefix(bytes, pos).kind == Match::kValid) {
            return fall_back_or(EndKind::kNextRecord, pos);
        }
    }
}

LogRecord MakeRecord(const std::string& bytes, size_t start, size_t end, const PrefixMatch& prefix) {
    LogRecord rec;
    rec.offset = start;
    rec.level = prefix.level;
    rec.text.resize(end - start);
    for (size_t i = 0; i < rec.text.size(); ++i) {
        rec.text[i] = static_cast<char>(Unscramble(bytes[start + i], i));
    }
    // "\r\n" + marker + "[" is 6 bytes, the stamp 14, then "][".
    rec.stamp = rec.text.substr(6, 14);
    size_t pid_start = 22;
    size_t colon = rec.text.find(':', pid_start);
    size_t close = rec.text.find(']', colon);
    rec.pid = rec.text.substr(pid_start, colon - pid_start);
    rec.tid = rec.text.substr(colon + 1, close - colon - 1);
    rec.message = rec.text.substr(prefix.length);
    return rec;
}

void AppendEscaped(std::string* out, const std::string& message) {
    static const char kHex[] = "0123456789ABCDEF";
    for (char ch : message) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == '\r') {
            *out += "\\r";
        } else if (c == '\n') {
            *out += "\\n";
        } else if ((c < 0x20 && c != '\t') || c == 0x7F) {
            *out += "\\x";
            *out += kHex[c >> 4];
            *out += kHex[c & 0xF];
        } else {
            *out += ch;
        }
    }
}

bool ReadRange(std::ifstream& in, uint64_t from, uint64_t to, std::string* out) {
    out->clear();
    if (to <= from) return true;
    in.clear();
    in.seekg(static_cast<std::streamoff>(from));
    if (!in) return false;
    out->resize(static_cast<size_t>(to - from));
    in.read(&(*out)[0], static_cast<std::streamsize>(out->size()));
    if (in.bad()) return false;
    // The file may have shrunk since its size was taken.
    out->resize(static_cast<size_t>(in.gcount()));
    return true;
}

}  // namespace

LogDecodeResult DecodeLogBuffer(const std::string& bytes, bool final) {
    LogDecodeResult result;
    const size_t size = bytes.size();
    size_t pos = 0;
    while (pos < size) {
        PrefixMatch prefix = MatchPrefix(bytes, pos);
        if (prefix.kind == Match::kPartial) {
            if (!final) break;
            result.skipped += size - pos;
            pos = size;
            break;
        }
        if (prefix.kind == Match::kInvalid) {
            size_t next = NextPlausibleStart(bytes, pos + 1);
            result.skipped += next - pos;
            pos = next;
            continue;
        }

        RecordEnd end = FindRecordEnd(bytes, pos, prefix.length, final);
        if (end.kind == EndKind::kWait) break;
        switch (end.kind) {
            case EndKind::kSeparator:
                result.records.push_back(MakeRecord(bytes, pos, end.at, prefix));
                pos = end.at + kSeparatorSize;
                break;
            case EndKind::kBufferEnd:
                result.records.push_back(MakeRecord(bytes, pos, size, prefix));
                result.records.back().complete = false;
                pos = size;
                break;
            case EndKind::kNextRecord:
                // A torn write: its separator never reached the file.
                result.skipped += end.at - pos;
                pos = end.at;
                break;
            case EndKind::kTooLong: {
                size_t next = NextPlausibleStart(bytes, pos + 1);
                result.skipped += next - pos;
                pos = next;
                break;
            }
            case EndKind::kWait:
                break;  // left the loop above
        }
    }
    result.consumed = pos;
    return result;
}

std::string EncodeLogRecord(const std::string& text) {
    std::string out(text.size() + kSeparatorSize, '\0');
    for (size_t i = 0; i < text.size(); ++i) {
        out[i] = static_cast<char>(ScrambleLogByte(static_cast<unsigned char>(text[i]), i));
    }
    out.replace(text.size(), kSeparatorSize, kSeparator);
    return out;
}

std::string FormatLogRecordLine(const LogRecord& record) {
    std::string line;
    line.reserve(record.message.size() + 48);
    line += record.level == 1 ? "<A>" : record.level == 2 ? "<E>" : "   ";
    line += '[';
    line += record.stamp;
    line += "][";
    line += record.pid;
    line += ':';
    line += record.tid;
    line += "] ";
    AppendEscaped(&line, record.message);
    if (!record.complete) line += " [incomplete]";
    return line;
}

LogPollStatus PollLogFile(LogFileFollower& follower, bool final, LogDecodeResult* out) {
    *out = LogDecodeResult();
    std::ifstream in(follower.path, std::ios::binary);
    if (!in) return LogPollStatus::kMissing;
    in.seekg(0, std::ios::end);
    std::streamoff end = in.tellg();
    if (end < 0) return LogPollStatus::kMissing;
    const uint64_t size = static_cast<uint64_t>(end);

    const uint64_t read_end = follower.base + follower.pending.size();
    bool restarted = size < read_end;
    std::string fresh;
    if (!restarted) {
        const uint64_t from = read_end - follower.seen_tail.size();
        std::string chunk;
        if (!ReadRange(in, from, size, &chunk)) return LogPollStatus::kMissing;
        if (chunk.compare(0, follower.seen_tail.size(), follower.seen_tail) != 0) {
            restarted = true;
        } else {
            fresh = chunk.substr(follower.seen_tail.size());
        }
    }
    if (restarted) {
        follower.base = 0;
        follower.pending.clear();
        follower.seen_tail.clear();
        if (!ReadRange(in, 0, size, &fresh)) return LogPollStatus::kMissing;
    }

    follower.seen_tail += fresh;
    if (follower.seen_tail.size() > kFollowTailBytes) {
        follower.seen_tail.erase(0, follower.seen_tail.size() - kFollowTailBytes);
    }
    follower.pending += fresh;

    LogDecodeResult decoded = DecodeLogBuffer(follower.pending, final);
    for (LogRecord& rec : decoded.records) rec.offset += static_cast<size_t>(follower.base);
    follower.pending.erase(0, decoded.consumed);
    follower.base += decoded.consumed;
    *out = std::move(decoded);
    return restarted ? LogPollStatus::kRestarted : LogPollStatus::kRead;
}
