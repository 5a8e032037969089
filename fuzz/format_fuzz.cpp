// The bounded formatter and the strsafe routines against small models: the
// integers against the C library's own formatting, the strings by hand.
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_bytes.h"
#include "support/format.h"
#include "support/text.h"
#include "fuzz/sanitizer_options.h"

namespace {

using Text = std::basic_string<WCHAR>;

[[noreturn]] void Mismatch(const char* what) {
    fprintf(stderr, "format_fuzz: %s\n", what);
    abort();
}

// One argument as it is passed: int, long long or a string.
struct Arg {
    enum Kind { kInt, kLong, kText } kind;
    long long number;
    const WCHAR* text;
};

const size_t kMaxArgs = 5;

// Passes the arguments with their own types, whatever their count.
template <typename... Passed>
int Dispatch(WCHAR* destination, size_t limit, const Text& format, const std::vector<Arg>& args, size_t i,
             Passed... passed);

template <typename... Passed>
int Dispatch(WCHAR* destination, size_t limit, const Text& format, const std::vector<Arg>& args, size_t i,
             Passed... passed) {
    if constexpr (sizeof...(Passed) >= kMaxArgs) {
        return FormatWide(destination, limit, format.c_str(), passed...);
    } else {
        if (i == args.size()) return FormatWide(destination, limit, format.c_str(), passed...);
        const Arg& a = args[i];
        if (a.kind == Arg::kText) return Dispatch(destination, limit, format, args, i + 1, passed..., a.text);
        if (a.kind == Arg::kLong) return Dispatch(destination, limit, format, args, i + 1, passed..., a.number);
        return Dispatch(destination, limit, format, args, i + 1, passed..., static_cast<int>(a.number));
    }
}

Text Widen(const std::string& s) { return Text(s.begin(), s.end()); }

// The strings an argument can be.
const WCHAR kShort[] = W("ab");
const WCHAR kEmpty[] = W("");
const WCHAR kMixed[] = {W('x'), 0x00E9, 0xD83D, 0xDE00, W('%'), W('y'), 0};
const WCHAR* const kTexts[] = {kShort, kEmpty, kMixed, nullptr};

// Builds a format of pieces with its expected output and arguments.
struct Case {
    Text format;
    Text expected;
    std::vector<Arg> args;
};

void AddDirective(Bytes& in, Case& c) {
    uint8_t choice = in.Byte();
    uint8_t flagBits = in.Byte();
    std::string flags;
    if (flagBits & 1) flags += '-';
    if (flagBits & 2) flags += '0';
    if (flagBits & 4) flags += '+';
    if (flagBits & 8) flags += ' ';
    if (flagBits & 16) flags += '#';
    bool starWidth = (flagBits & 32) != 0;
    bool hasPrecision = (flagBits & 64) != 0;
    bool starPrecision = hasPrecision && (flagBits & 128) != 0;

    static const char kConversions[] = {'d', 'u', 'x', 'X', 's', '%'};
    char conversion = kConversions[choice % sizeof(kConversions)];
    bool wide64 = conversion != 's' && conversion != '%' && (choice & 0x80) != 0;

    if (conversion == '%') {
        c.format += W("%%");
        c.expected += W('%');
        return;
    }
    size_t needed = (starWidth ? 1 : 0) + (starPrecision ? 1 : 0) + 1;
    if (c.args.size() + needed > kMaxArgs) return;

    int width = static_cast<int>(in.Byte() % 48);
    if (starWidth && (choice & 0x40)) width = -width;  // a negative '*' width means '-'
    int precision = static_cast<int>(in.Byte() % 40);
    if (starPrecision && (choice & 0x20)) precision = -1 - precision;  // a negative one counts as none

    std::string directive = "%" + flags;
    if (starWidth) {
        directive += '*';
        c.args.push_back({Arg::kInt, width, nullptr});
    } else if (width != 0) {
        directive += std::to_string(width);
    }
    if (hasPrecision) {
        directive += '.';
        if (starPrecision) {
            directive += '*';
            c.args.push_back({Arg::kInt, precision, nullptr});
        } else {
            directive += std::to_string(precision);
        }
    }
    std::string length = wide64 ? ((choice & 0x10) ? "ll" : "I64") : ((choice & 0x10) ? "l" : "");
    c.format += Widen(directive + length + conversion);

    // The model's reading of width and precision.
    bool left = flags.find('-') != std::string::npos;
    if (width < 0) {
        left = true;
        width = -width;
    }
    if (starPrecision && precision < 0) hasPrecision = false;

    if (conversion == 's') {
        const WCHAR* text = kTexts[in.Byte() % 4];
        c.args.push_back({Arg::kText, 0, text});
        Text body = text != nullptr ? Text(text) : Widen("(null)");
        if (hasPrecision && body.size() > static_cast<size_t>(precision)) body.resize(precision);
        size_t padding = static_cast<size_t>(width) > body.size() ? width - body.size() : 0;
        bool zero = flags.find('0') != std::string::npos;
        if (left) {
            c.expected += body + Text(padding, W(' '));
        } else {
            c.expected += Text(padding, zero ? W('0') : W(' ')) + body;
        }
        return;
    }

    long long value;
    if (wide64) {
        value = static_cast<long long>((static_cast<uint64_t>(in.Word()) << 32) | in.Word());
        c.args.push_back({Arg::kLong, value, nullptr});
    } else {
        value = static_cast<int>(in.Word());
        c.args.push_back({Arg::kInt, value, nullptr});
    }
    // The C library formats the same directive, with its width and precision spelled out.
    std::string model = "%" + flags;
    if (left) model += '-';
    model += std::to_string(width);
    if (hasPrecision) model += "." + std::to_string(precision);
    char out[256];
    if (conversion == 'd') {
        snprintf(out, sizeof(out), (model + "lld").c_str(), wide64 ? value : static_cast<long long>(static_cast<int>(value)));
    } else {
        unsigned long long u = wide64 ? static_cast<unsigned long long>(value)
                                      : static_cast<unsigned long long>(static_cast<unsigned int>(value));
        snprintf(out, sizeof(out), (model + "ll" + conversion).c_str(), u);
    }
    c.expected += Widen(out);
}

Case Build(Bytes& in) {
    Case c;
    while (!in.Empty() && c.format.size() < 400) {
        uint8_t piece = in.Byte();
        if (piece < 0x60) {
            AddDirective(in, c);
        } else if (piece < 0xF0) {
            // Literal units, never '%' or zero.
            WCHAR unit = piece < 0xE0 ? static_cast<WCHAR>(piece) : static_cast<WCHAR>(0x4E00 + in.Byte());
            c.format += unit;
            c.expected += unit;
        } else {
            // An unknown conversion is written as it stands.
            c.format += W("%5q");
            c.expected += W("%5q");
        }
    }
    return c;
}

const WCHAR kCanary = 0x7E7E;

void CheckFormat(const Case& c, size_t limit) {
    std::vector<WCHAR> buffer(limit + 2, kCanary);
    int n = Dispatch(buffer.data(), limit, c.format, c.args, 0);
    const size_t full = c.expected.size();
    if (full > limit) {
        if (n != -1) Mismatch("a cut output is not reported as -1");
        if (Text(buffer.data(), limit) != c.expected.substr(0, limit)) Mismatch("cut output differs");
        if (buffer[limit] != kCanary) Mismatch("wrote past the limit");
        return;
    }
    if (n != static_cast<int>(full)) Mismatch("count differs");
    if (Text(buffer.data(), full) != c.expected) Mismatch("output differs");
    if (full < limit && buffer[full] != 0) Mismatch("no terminator after a short output");
    if (full == limit && buffer[limit] != kCanary) Mismatch("an exact fit was terminated past the limit");
    if (buffer[limit + 1] != kCanary) Mismatch("wrote past the limit");
}

HRESULT PrintfArgs(WCHAR* destination, size_t capacity, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    HRESULT hr = StringCchVPrintfW(destination, capacity, format, args);
    va_end(args);
    return hr;
}

void CheckStrsafePrintf(const Case& c, size_t capacity) {
    // Only cases without arguments go through the variadic strsafe entry; the
    // rest was covered by the formatter above.
    std::vector<WCHAR> buffer(capacity + 1, kCanary);
    HRESULT hr = PrintfArgs(buffer.data(), capacity, c.format.c_str());
    const size_t full = c.expected.size();
    if (full < capacity) {
        if (hr != 0) Mismatch("printf failed where it fits");
        if (Text(buffer.data()) != c.expected) Mismatch("printf output differs");
    } else {
        if (hr != STRSAFE_E_INSUFFICIENT_BUFFER) Mismatch("printf did not report the cut");
        if (Text(buffer.data()) != c.expected.substr(0, capacity - 1)) Mismatch("printf cut differs");
    }
    if (buffer[capacity] != kCanary) Mismatch("printf wrote past the capacity");
}

// Concatenation and copy against the same model: the result keeps what fits
// and always ends in a terminator.
template <typename T>
void CheckCopyModel(const std::basic_string<T>& before, size_t capacity, const std::basic_string<T>& source,
                    HRESULT hr, const T* buffer, size_t start) {
    std::basic_string<T> whole = before.substr(0, start) + source;
    if (whole.size() < capacity) {
        if (hr != 0) Mismatch("copy failed where it fits");
        if (std::basic_string<T>(buffer) != whole) Mismatch("copy differs");
    } else {
        if (hr != STRSAFE_E_INSUFFICIENT_BUFFER) Mismatch("copy did not report the cut");
        if (std::basic_string<T>(buffer) != whole.substr(0, capacity - 1)) Mismatch("cut copy differs");
    }
}

void CheckCatAndCopy(Bytes& in) {
    size_t capacity = 1 + in.Byte() % 24;
    size_t existing = in.Byte() % 28;  // may fill the buffer without a terminator
    size_t added = in.Byte() % 28;
    Text dest(capacity + 1, kCanary);
    for (size_t i = 0; i < existing && i < capacity; ++i) dest[i] = static_cast<WCHAR>(W('a') + i % 26);
    if (existing < capacity) dest[existing] = 0;
    Text source;
    for (size_t i = 0; i < added; ++i) source += static_cast<WCHAR>(W('A') + i % 26);

    Text before = dest;
    HRESULT hr = StringCchCatW(&dest[0], capacity, source.c_str());
    if (existing >= capacity) {
        if (hr != STRSAFE_E_INVALID_PARAMETER) Mismatch("cat into an unterminated buffer");
        if (dest != before) Mismatch("cat changed an unterminated buffer");
    } else {
        CheckCopyModel<WCHAR>(before, capacity, source, hr, dest.data(), existing);
    }
    if (dest[capacity] != kCanary) Mismatch("cat wrote past the capacity");

    std::string narrowDest(capacity + 1, '\x7E');
    std::string narrowSource(added, 'n');
    hr = StringCchCopyA(&narrowDest[0], capacity, narrowSource.c_str());
    CheckCopyModel<char>(std::string(), capacity, narrowSource, hr, narrowDest.data(), 0);
    if (narrowDest[capacity] != '\x7E') Mismatch("copy wrote past the capacity");

    WCHAR untouched = kCanary;
    if (StringCchCatW(&untouched, 0, source.c_str()) != STRSAFE_E_INVALID_PARAMETER) Mismatch("cat into no room");
    if (StringCchCopyA(nullptr, capacity, "x") != STRSAFE_E_INVALID_PARAMETER) Mismatch("copy to null");
    if (PrintfArgs(&untouched, 0, W("x")) != STRSAFE_E_INVALID_PARAMETER) Mismatch("printf into no room");
    if (untouched != kCanary) Mismatch("a refused call wrote");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    Bytes in{data + 2, size - 2};
    Case c = Build(in);
    const size_t full = c.expected.size();
    // Limits around the full length find the edges; one from the input anywhere.
    size_t picked = data[0] % (full + 2);
    for (size_t limit : {size_t(0), full == 0 ? size_t(0) : full - 1, full, full + 1, picked}) {
        CheckFormat(c, limit);
    }
    if (c.args.empty()) {
        for (size_t capacity : {size_t(1), full, full + 1, picked + 1}) {
            if (capacity != 0) CheckStrsafePrintf(c, capacity);
        }
    }
    Bytes rest{data, size};
    rest.at = data[1] % size;
    CheckCatAndCopy(rest);
    return 0;
}
