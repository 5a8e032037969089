#include "tools/doctor/json_reader.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <string_view>
#include <utility>
#include <vector>

namespace {

// serde_json_lenient's src/error.rs, ErrorCode's Display.
enum Code {
    kEofWhileParsingBlockComment,
    kEofWhileParsingList,
    kEofWhileParsingObject,
    kEofWhileParsingString,
    kEofWhileParsingValue,
    kExpectedColon,
    kExpectedCommentSlashOrStar,
    kExpectedListCommaOrEnd,
    kExpectedObjectCommaOrEnd,
    kExpectedSomeIdent,
    kExpectedSomeValue,
    kInvalidEscape,
    kInvalidNumber,
    kNumberOutOfRange,
    kInvalidUnicodeCodePoint,
    kControlCharacterWhileParsingString,
    kKeyMustBeAString,
    kLoneLeadingSurrogateInHexEscape,
    kTrailingComma,
    kTrailingCharacters,
    kUnexpectedEndOfHexEscape,
    kRecursionLimitExceeded,
};

const char* Message(Code code) {
    switch (code) {
    case kEofWhileParsingBlockComment: return "EOF while parsing a block comment";
    case kEofWhileParsingList: return "EOF while parsing a list";
    case kEofWhileParsingObject: return "EOF while parsing an object";
    case kEofWhileParsingString: return "EOF while parsing a string";
    case kEofWhileParsingValue: return "EOF while parsing a value";
    case kExpectedColon: return "expected `:`";
    case kExpectedCommentSlashOrStar: return "expected `/` or `*` after `/`";
    case kExpectedListCommaOrEnd: return "expected `,` or `]`";
    case kExpectedObjectCommaOrEnd: return "expected `,` or `}`";
    case kExpectedSomeIdent: return "expected ident";
    case kExpectedSomeValue: return "expected value";
    case kInvalidEscape: return "invalid escape";
    case kInvalidNumber: return "invalid number";
    case kNumberOutOfRange: return "number out of range";
    case kInvalidUnicodeCodePoint: return "invalid unicode code point";
    case kControlCharacterWhileParsingString: return "control character (\\u0000-\\u001F) found while parsing a string";
    case kKeyMustBeAString: return "key must be a string";
    case kLoneLeadingSurrogateInHexEscape: return "lone leading surrogate in hex escape";
    case kTrailingComma: return "trailing comma";
    case kTrailingCharacters: return "trailing characters";
    case kUnexpectedEndOfHexEscape: return "unexpected end of hex escape";
    case kRecursionLimitExceeded: return "recursion limit exceeded";
    }
    return "";
}

const char kReplacement[] = "\xEF\xBF\xBD";

// A decoded string written straight into the document's pool, so that a
// string is held once beside the input, never twice or (while a std::string
// doubles) three times. The document keeps it as a constant string.
class Sink {
public:
    Sink(rapidjson::Document::AllocatorType* alloc, size_t capacity)
        : alloc_(alloc), data_(static_cast<char*>(alloc->Malloc(capacity + 1))), capacity_(capacity) {}
    void append(const char* p, size_t n) {
        if (size_ + n > capacity_) {
            const size_t grown = std::max(size_ + n, 2 * capacity_);
            data_ = static_cast<char*>(alloc_->Realloc(data_, capacity_ + 1, grown + 1));
            capacity_ = grown;
        }
        std::memcpy(data_ + size_, p, n);
        size_ += n;
    }
    void operator+=(char c) { append(&c, 1); }
    void operator+=(const char* p) { append(p, std::strlen(p)); }
    const char* data() const { return data_; }
    size_t size() const { return size_; }
    // NUL-terminated for RapidJSON, embedded NULs kept by the length.
    rapidjson::Value Take() {
        data_[size_] = '\0';
        return rapidjson::Value(rapidjson::StringRef(data_, static_cast<rapidjson::SizeType>(size_)));
    }

private:
    rapidjson::Document::AllocatorType* alloc_;
    char* data_;
    size_t capacity_;
    size_t size_ = 0;
};

void PushCodePoint(uint32_t n, Sink* out) {
    if (n < 0x80) {
        *out += static_cast<char>(n);
    } else if (n < 0x800) {
        *out += static_cast<char>(0xC0 | (n >> 6));
        *out += static_cast<char>(0x80 | (n & 0x3F));
    } else if (n < 0x10000) {
        *out += static_cast<char>(0xE0 | (n >> 12));
        *out += static_cast<char>(0x80 | ((n >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (n & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (n >> 18));
        *out += static_cast<char>(0x80 | ((n >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((n >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (n & 0x3F));
    }
}

// Rust's core::str::from_utf8: the length of the valid character at s, or 0
// and in *skip how many bytes its error covers (0 when the input ends inside it).
size_t Utf8Char(const unsigned char* s, size_t n, size_t* skip) {
    const unsigned char c = s[0];
    if (c < 0x80) return 1;
    size_t width = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    *skip = 1;
    if (width == 0) return 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
    for (size_t k = 1; k < width; ++k) {
        if (k >= n) {
            *skip = 0;
            return 0;
        }
        if (s[k] < (k == 1 ? lo : 0x80) || s[k] > (k == 1 ? hi : 0xBF)) {
            *skip = k;
            return 0;
        }
    }
    return width;
}

int HexValue(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One array or object being read: what the stack holds instead of recursion.
struct Frame {
    bool object = false;
    bool first = true;
    size_t budget = 0;  // how many levels may still open below this one
    rapidjson::Value array;
    std::vector<std::pair<rapidjson::Value, rapidjson::Value>> members;  // keys in the document's pool
    rapidjson::Value key;
};

class Reader {
public:
    Reader(const char* data, size_t size, int options, size_t maxDepth, rapidjson::Document::AllocatorType* alloc)
        : s_(reinterpret_cast<const unsigned char*>(data)), n_(size), options_(options), maxDepth_(maxDepth),
          alloc_(alloc) {}

    bool Read(rapidjson::Value* root);

    std::string Why() const {
        // serde_json_lenient's Error Display; Position from SliceRead::position_of_index.
        size_t lineStart = 0;
        size_t line = 1;
        for (size_t k = 0; k < at_; ++k) {
            if (s_[k] == '\n') {
                ++line;
                lineStart = k + 1;
            }
        }
        return std::string(Message(code_)) + " at line " + std::to_string(line) + " column " +
               std::to_string(at_ - lineStart);
    }

private:
    bool Allowed(int option) const { return (options_ & option) != 0; }
    int Peek() const { return i_ < n_ ? s_[i_] : -1; }
    bool Fail(Code code, size_t at) {
        code_ = code;
        at_ = at;
        return false;
    }
    // de.rs: error() points at what was read, peek_error() one further.
    bool Error(Code code) { return Fail(code, i_); }
    bool PeekError(Code code) { return Fail(code, std::min(n_, i_ + 1)); }

    bool SkipWhitespace(int* next);
    bool ReadIdent(const char* rest);
    bool ReadNumber(bool positive, size_t start, rapidjson::Value* v);
    bool ReadString(rapidjson::Value* value);
    bool ReadEscape(Sink* out);
    bool ReadUnicodeEscape(Sink* out);
    bool ErrorOrReplace(Code code, bool discard, Sink* out);
    void AppendRaw(size_t from, size_t to, Sink* out);
    bool DepthError(bool object);
    void CloseObject(Frame* f, rapidjson::Value* v);

    const unsigned char* s_;
    size_t n_;
    size_t i_ = 0;
    int options_;
    size_t maxDepth_;
    rapidjson::Document::AllocatorType* alloc_;
    Code code_ = kExpectedSomeValue;
    size_t at_ = 0;
};

// de.rs, Deserializer::parse_whitespace: comments count as whitespace when allowed.
bool Reader::SkipWhitespace(int* next) {
    for (;;) {
        int c = Peek();
        if (c == ' ' || c == '\n' || c == '\t' || c == '\r') {
            ++i_;
            continue;
        }
        if (c != '/' || !Allowed(JSON_ALLOW_COMMENTS)) {
            *next = c;
            return true;
        }
        ++i_;
        c = Peek();
        if (c == '/') {
            while (i_ < n_ && s_[i_] != '\n') ++i_;
            if (i_ == n_) {
                *next = -1;
                return true;
            }
            ++i_;
        } else if (c == '*') {
            ++i_;
            for (;;) {
                if (i_ >= n_) return PeekError(kEofWhileParsingBlockComment);
                if (s_[i_++] != '*') continue;
                if (i_ >= n_) return PeekError(kEofWhileParsingBlockComment);
                if (s_[i_] == '/') {
                    ++i_;
                    break;
                }
            }
        } else {
            return PeekError(kExpectedCommentSlashOrStar);
        }
    }
}

// de.rs, Deserializer::parse_ident.
bool Reader::ReadIdent(const char* rest) {
    for (; *rest != '\0'; ++rest) {
        if (i_ >= n_) return Error(kEofWhileParsingValue);
        if (s_[i_++] != static_cast<unsigned char>(*rest)) return Error(kExpectedSomeIdent);
    }
    return true;
}

// de.rs, parse_integer, parse_decimal and parse_exponent (with the
// float_roundtrip feature: every double correctly rounded), then the
// wrapper's visitor.rs: integers that fit in 32 bits are ints, all else doubles.
bool Reader::ReadNumber(bool positive, size_t start, rapidjson::Value* v) {
    if (i_ >= n_) return Error(kEofWhileParsingValue);
    const unsigned char first = s_[i_++];
    if (first < '0' || first > '9') return Error(kInvalidNumber);
    bool nonzero = first != '0';
    if (first == '0' && Peek() >= '0' && Peek() <= '9') return PeekError(kInvalidNumber);
    uint64_t whole = first - '0';
    bool wide = false;  // past u64: a double whatever follows
    while (first != '0' && Peek() >= '0' && Peek() <= '9') {
        unsigned digit = s_[i_++] - '0';
        if (!wide && whole > (UINT64_MAX - digit) / 10) wide = true;
        if (!wide) whole = whole * 10 + digit;
    }
    bool integer = true;
    if (Peek() == '.') {
        integer = false;
        ++i_;
        if (Peek() < '0' || Peek() > '9') return PeekError(i_ < n_ ? kInvalidNumber : kEofWhileParsingValue);
        while (Peek() >= '0' && Peek() <= '9') {
            if (s_[i_++] != '0') nonzero = true;
        }
    }
    if (Peek() == 'e' || Peek() == 'E') {
        integer = false;
        ++i_;
        bool positiveExp = true;
        if (Peek() == '+' || Peek() == '-') positiveExp = s_[i_++] == '+';
        if (i_ >= n_) return Error(kEofWhileParsingValue);
        if (s_[i_] < '0' || s_[i_] > '9') {
            ++i_;
            return Error(kInvalidNumber);
        }
        int64_t exp = 0;
        while (Peek() >= '0' && Peek() <= '9') {
            exp = exp * 10 + (s_[i_++] - '0');
            // parse_exponent_overflow: past i32, a nonzero number is out of range upward, else zero.
            if (exp > INT32_MAX) {
                if (nonzero && positiveExp) return Error(kNumberOutOfRange);
                while (Peek() >= '0' && Peek() <= '9') ++i_;
                v->SetDouble(positive ? 0.0 : -0.0);
                return true;
            }
        }
    }
    if (integer && !wide) {
        if (positive && whole <= INT32_MAX) {
            v->SetInt(static_cast<int>(whole));
            return true;
        }
        // parse_number: "-0" is the double -0.0.
        if (!positive && whole == 0) {
            v->SetDouble(-0.0);
            return true;
        }
        if (!positive && whole <= static_cast<uint64_t>(INT32_MAX) + 1) {
            v->SetInt(static_cast<int>(-static_cast<int64_t>(whole)));
            return true;
        }
    }
    const char* text = reinterpret_cast<const char*>(s_) + start;
    const char* end = reinterpret_cast<const char*>(s_) + i_;
    double d = 0;
    std::from_chars_result r = std::from_chars(text, end, d);
    if (r.ec == std::errc::result_out_of_range) {
        // Out of range one way or the other: tell which from the first significant digit's place.
        const char* p = text + (positive ? 0 : 1);
        int64_t place = 0;
        int64_t fractionDigits = 0;
        bool seen = false;
        bool fraction = false;
        for (; p < end && *p != 'e' && *p != 'E'; ++p) {
            if (*p == '.') {
                fraction = true;
                continue;
            }
            if (fraction) ++fractionDigits;
            if (!seen && *p != '0') {
                seen = true;
                place = fraction ? -fractionDigits : 0;
            } else if (seen && !fraction) {
                ++place;
            }
        }
        int64_t exp = 0;
        if (p < end) {
            ++p;
            bool negative = *p == '-';
            if (*p == '+' || *p == '-') ++p;
            for (; p < end; ++p) exp = exp * 10 + (*p - '0');
            if (negative) exp = -exp;
        }
        if (place + exp > 0) return Error(kNumberOutOfRange);
        d = positive ? 0.0 : -0.0;
    } else if (r.ec != std::errc() || r.ptr != end) {
        return Error(kInvalidNumber);
    }
    v->SetDouble(d);
    return true;
}

void Reader::AppendRaw(size_t from, size_t to, Sink* out) {
    if (!Allowed(JSON_REPLACE_INVALID_CHARACTERS)) {
        out->append(reinterpret_cast<const char*>(s_) + from, to - from);
        return;
    }
    // read.rs, SubstitutingStrUtfOutputStrategy: each invalid sequence becomes U+FFFD.
    while (from < to) {
        size_t skip = 0;
        size_t len = Utf8Char(s_ + from, to - from, &skip);
        if (len != 0) {
            out->append(reinterpret_cast<const char*>(s_) + from, len);
            from += len;
            continue;
        }
        *out += kReplacement;
        if (skip == 0) break;
        from += skip;
    }
}

// read.rs, error_or_replace.
bool Reader::ErrorOrReplace(Code code, bool discard, Sink* out) {
    if (Allowed(JSON_REPLACE_INVALID_CHARACTERS)) {
        *out += kReplacement;
        return true;
    }
    if (discard) ++i_;
    return Error(code);
}

// read.rs, parse_unicode_escape, for a string (surrogates must pair).
bool Reader::ReadUnicodeEscape(Sink* out) {
    auto hex4 = [&](uint32_t* n) {
        if (n_ - i_ < 4) {
            i_ = n_;
            return Error(kEofWhileParsingString);
        }
        int v = 0;
        bool ok = true;
        for (int k = 0; k < 4; ++k) {
            int h = HexValue(s_[i_ + k]);
            ok = ok && h >= 0;
            v = v * 16 + (h < 0 ? 0 : h);
        }
        i_ += 4;
        *n = static_cast<uint32_t>(v);
        return ok ? true : Error(kInvalidEscape);
    };
    uint32_t n = 0;
    if (!hex4(&n)) return false;
    if (n >= 0xDC00 && n <= 0xDFFF) return ErrorOrReplace(kLoneLeadingSurrogateInHexEscape, false, out);
    if (n < 0xD800 || n > 0xDBFF) {
        PushCodePoint(n, out);
        return true;
    }
    if (i_ >= n_) return Error(kEofWhileParsingString);
    if (s_[i_] != '\\') return ErrorOrReplace(kUnexpectedEndOfHexEscape, true, out);
    ++i_;
    if (i_ >= n_) return Error(kEofWhileParsingString);
    if (s_[i_] != 'u') return ErrorOrReplace(kUnexpectedEndOfHexEscape, true, out);
    ++i_;
    uint32_t n2 = 0;
    if (!hex4(&n2)) return false;
    if (n2 < 0xDC00 || n2 > 0xDFFF) return Error(kLoneLeadingSurrogateInHexEscape);
    PushCodePoint((((n - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000, out);
    return true;
}

// read.rs, parse_escape, after the backslash.
bool Reader::ReadEscape(Sink* out) {
    if (i_ >= n_) return Error(kEofWhileParsingString);
    const unsigned char c = s_[i_++];
    switch (c) {
    case '"': *out += '"'; return true;
    case '\\': *out += '\\'; return true;
    case '/': *out += '/'; return true;
    case 'b': *out += '\b'; return true;
    case 'f': *out += '\f'; return true;
    case 'n': *out += '\n'; return true;
    case 'r': *out += '\r'; return true;
    case 't': *out += '\t'; return true;
    case 'u': return ReadUnicodeEscape(out);
    default: break;
    }
    if (c == 'v' && Allowed(JSON_ALLOW_VERT_TAB)) {
        *out += '\v';
        return true;
    }
    if (c == 'x' && Allowed(JSON_ALLOW_X_ESCAPES)) {
        // A code point, not a byte: \xFF is U+00FF.
        if (n_ - i_ < 2) {
            i_ = n_;
            return Error(kEofWhileParsingString);
        }
        int hi = HexValue(s_[i_]);
        int lo = HexValue(s_[i_ + 1]);
        i_ += 2;
        if (hi < 0 || lo < 0) return Error(kInvalidEscape);
        PushCodePoint(static_cast<uint32_t>(hi * 16 + lo), out);
        return true;
    }
    return Error(kInvalidEscape);
}

// read.rs, SliceRead::parse_str_bytes, after the opening quote.
bool Reader::ReadString(rapidjson::Value* value) {
    // The decoded text is never longer than the raw one, but for U+FFFD
    // standing in for a single byte.
    size_t end = i_;
    while (end < n_ && s_[end] != '"') end += s_[end] == '\\' ? 2 : 1;
    const size_t raw = std::min(end, n_) - i_;
    Sink sink(alloc_, Allowed(JSON_REPLACE_INVALID_CHARACTERS) ? 3 * raw : raw);
    Sink* out = &sink;
    // The wrapper's lib.rs: control characters allowed means line breaks too.
    const bool newlines = Allowed(JSON_ALLOW_NEWLINES_IN_STRINGS) || Allowed(JSON_ALLOW_CONTROL_CHARS);
    const bool controls = Allowed(JSON_ALLOW_CONTROL_CHARS);
    size_t start = i_;
    for (;;) {
        while (i_ < n_) {
            const unsigned char c = s_[i_];
            if (c == '"' || c == '\\') break;
            if (c < 0x20 && !((c == '\n' || c == '\r') ? newlines : controls)) break;
            ++i_;
        }
        if (i_ == n_) return Error(kEofWhileParsingString);
        const unsigned char c = s_[i_];
        if (c == '"') {
            AppendRaw(start, i_, out);
            ++i_;
            break;
        }
        if (c != '\\') {
            ++i_;
            return Error(kControlCharacterWhileParsingString);
        }
        AppendRaw(start, i_, out);
        ++i_;
        if (!ReadEscape(out)) return false;
        start = i_;
    }
    if (Allowed(JSON_REPLACE_INVALID_CHARACTERS)) {
        *value = sink.Take();
        return true;
    }
    // StrUtfOutputStrategy: str::from_utf8 on the whole string.
    const unsigned char* p = reinterpret_cast<const unsigned char*>(out->data());
    for (size_t k = 0; k < out->size();) {
        size_t skip = 0;
        size_t len = Utf8Char(p + k, out->size() - k, &skip);
        if (len == 0) return Error(kInvalidUnicodeCodePoint);
        k += len;
    }
    *value = sink.Take();
    return true;
}

// The wrapper's visitor.rs, RecursionDepthCheck::recurse, fails with a custom
// error; de.rs then reads the container's end before it places the error.
bool Reader::DepthError(bool object) {
    int next = -1;
    if (SkipWhitespace(&next)) {
        if (next == (object ? '}' : ']')) {
            ++i_;
        } else if (!object && next == ',') {
            ++i_;
            SkipWhitespace(&next);
        }
    }
    return Error(kRecursionLimitExceeded);
}

std::string_view View(const rapidjson::Value& s) { return std::string_view(s.GetString(), s.GetStringLength()); }

// base::Value::Dict: one value per key, the last set, ordered by the key's bytes.
void Reader::CloseObject(Frame* f, rapidjson::Value* v) {
    std::vector<size_t> order(f->members.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return View(f->members[a].first) < View(f->members[b].first); });
    v->SetObject();
    for (size_t k = 0; k < order.size(); ++k) {
        if (k + 1 < order.size() && View(f->members[order[k]].first) == View(f->members[order[k + 1]].first)) continue;
        auto& m = f->members[order[k]];
        v->AddMember(m.first, m.second, *alloc_);
    }
}

// de.rs, Deserializer::deserialize_any with the wrapper's ValueVisitor, then
// Deserializer::end; the stack of frames stands for serde's recursion.
bool Reader::Read(rapidjson::Value* root) {
    enum { kValue, kArrayNext, kObjectNext, kAttach } state = kValue;
    std::vector<Frame> stack;
    size_t budget = maxDepth_ - 1;  // the top level counts as one
    rapidjson::Value value;
    for (;;) {
        int c = -1;
        switch (state) {
        case kValue: {
            if (!SkipWhitespace(&c)) return false;
            if (c == -1) return PeekError(kEofWhileParsingValue);
            if (c == '[' || c == '{') {
                ++i_;
                stack.emplace_back();
                stack.back().object = c == '{';
                stack.back().budget = budget;
                if (c == '[') stack.back().array.SetArray();
                // The wrapper's visitor.rs: a list or dictionary with no levels left fails as it opens.
                if (budget == 0) return DepthError(c == '{');
                state = c == '[' ? kArrayNext : kObjectNext;
                continue;
            }
            if (c == 'n' || c == 't' || c == 'f') {
                ++i_;
                if (!ReadIdent(c == 'n' ? "ull" : c == 't' ? "rue" : "alse")) return false;
                if (c == 'n') {
                    value.SetNull();
                } else {
                    value.SetBool(c == 't');
                }
            } else if (c == '-' || (c >= '0' && c <= '9')) {
                const size_t start = i_;
                if (c == '-') ++i_;
                if (!ReadNumber(c != '-', start, &value)) return false;
            } else if (c == '"') {
                ++i_;
                if (!ReadString(&value)) return false;
            } else {
                return PeekError(kExpectedSomeValue);
            }
            state = kAttach;
            continue;
        }
        case kAttach: {
            if (stack.empty()) {
                if (!SkipWhitespace(&c)) return false;
                if (c != -1) return PeekError(kTrailingCharacters);
                *root = value;
                return true;
            }
            Frame& f = stack.back();
            if (f.object) {
                f.members.emplace_back(std::move(f.key), std::move(value));
                state = kObjectNext;
            } else {
                f.array.PushBack(value, *alloc_);
                state = kArrayNext;
            }
            continue;
        }
        case kArrayNext: {
            Frame& f = stack.back();
            if (!SkipWhitespace(&c)) return false;
            if (c == -1) return PeekError(kEofWhileParsingList);
            bool close = c == ']';
            if (!close && !f.first) {
                if (c != ',') return PeekError(kExpectedListCommaOrEnd);
                ++i_;
                if (!SkipWhitespace(&c)) return false;
                if (c == -1) return PeekError(kEofWhileParsingValue);
                if (c == ']' && !Allowed(JSON_ALLOW_TRAILING_COMMAS)) return PeekError(kTrailingComma);
                close = c == ']';
            }
            if (close) {
                ++i_;
                value = f.array;
                stack.pop_back();
                state = kAttach;
                continue;
            }
            f.first = false;
            budget = f.budget - 1;
            state = kValue;
            continue;
        }
        case kObjectNext: {
            Frame& f = stack.back();
            if (!SkipWhitespace(&c)) return false;
            if (c == -1) return PeekError(kEofWhileParsingObject);
            bool close = c == '}';
            if (!close && f.first && c != '"') return PeekError(kKeyMustBeAString);
            if (!close && !f.first) {
                if (c != ',') return PeekError(kExpectedObjectCommaOrEnd);
                ++i_;
                if (!SkipWhitespace(&c)) return false;
                if (c == -1) return PeekError(kEofWhileParsingValue);
                if (c == '}' && !Allowed(JSON_ALLOW_TRAILING_COMMAS)) return PeekError(kTrailingComma);
                if (c != '}' && c != '"') return PeekError(kKeyMustBeAString);
                close = c == '}';
            }
            if (close) {
                ++i_;
                CloseObject(&f, &value);
                stack.pop_back();
                state = kAttach;
                continue;
            }
            f.first = false;
            ++i_;
            if (!ReadString(&f.key)) return false;
            if (!SkipWhitespace(&c)) return false;
            if (c == -1) return PeekError(kEofWhileParsingObject);
            if (c != ':') return PeekError(kExpectedColon);
            ++i_;
            budget = f.budget - 1;
            state = kValue;
            continue;
        }
        }
    }
}

}  // namespace

// base/json/json_reader.cc, JSONReader::ReadAndReturnValueWithError, through
// serde_json_lenient's wrapper lib.rs, decode_json.
bool ReadChromiumJson(const std::string& bytes, int options, rapidjson::Document* out, std::string* why,
                      size_t maxDepth) {
    rapidjson::Document fresh;
    out->Swap(fresh);
    size_t skip = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    Reader reader(bytes.data() + skip, bytes.size() - skip, options, maxDepth == 0 ? 1 : maxDepth,
                  &out->GetAllocator());
    rapidjson::Value root;
    if (!reader.Read(&root)) {
        *why = reader.Why();
        return false;
    }
    static_cast<rapidjson::Value&>(*out) = root;
    return true;
}

const rapidjson::Value* FindKey(const rapidjson::Value& object, const std::string& key) {
    if (!object.IsObject()) return nullptr;
    const rapidjson::Value* found = nullptr;
    for (const auto& m : object.GetObject()) {
        if (m.name.IsString() && m.name.GetStringLength() == key.size() &&
            key.compare(0, key.size(), m.name.GetString(), m.name.GetStringLength()) == 0) {
            found = &m.value;
        }
    }
    return found;
}
