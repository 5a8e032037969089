// The ';' splitter and the trimmer against a plain model of them.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wctype.h>

#include <string>
#include <vector>

#include "support/text.h"
#include "fuzz/sanitizer_options.h"

namespace {

using Text = std::basic_string<WCHAR>;

const size_t kFieldCut = TOKENIZER_FIELD_UNITS - 1;

[[noreturn]] void Mismatch(const char* what, size_t index) {
    fprintf(stderr, "tokenizer_fuzz: %s (field %zu)\n", what, index);
    abort();
}

bool IsSpace(WCHAR unit) { return iswspace(static_cast<wint_t>(unit)) != 0; }

Text ModelTrim(const Text& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && IsSpace(text[begin])) ++begin;
    while (end > begin && IsSpace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// Fields up to the end of the text; an empty rest after a ';' is no field.
std::vector<Text> ModelFields(const Text& text) {
    std::vector<Text> fields;
    size_t position = 0;
    while (position < text.size()) {
        size_t separator = text.find(W(';'), position);
        size_t end = separator == Text::npos ? text.size() : separator;
        Text field = text.substr(position, end - position);
        if (field.size() > kFieldCut) field.resize(kFieldCut);
        fields.push_back(ModelTrim(field));
        if (separator == Text::npos) break;
        position = separator + 1;
    }
    return fields;
}

// Bytes below 0xC0 pick from units the splitter and trimmer care about; the
// rest take the next byte as a raw unit or repeat the previous unit, so long
// fields are cheap to reach.
Text Decode(const uint8_t* data, size_t size) {
    static const WCHAR kAlphabet[] = {W(';'), W(' '), W('\t'), W('\n'), W('\r'), W('\v'), W('\f'), W('a'),
                                      W('Z'), W('0'), W('-'), 0x00A0, 0x3000, 0x2028, 0x1680, 0xFEFF};
    Text text;
    for (size_t i = 0; i < size; ++i) {
        uint8_t b = data[i];
        if (b < 0xC0) {
            text.push_back(kAlphabet[b % (sizeof(kAlphabet) / sizeof(kAlphabet[0]))]);
        } else if (b < 0xF0) {
            if (i + 1 >= size) break;
            WCHAR unit = static_cast<WCHAR>(((b & 0x0F) << 12) | (data[++i] << 4) | 0x5);
            text.push_back(unit);
        } else {
            if (i + 1 >= size || text.empty()) continue;
            size_t times = static_cast<size_t>(data[++i]) * 40;
            text.append(times, text.back());
        }
    }
    return text;
}

void CheckTokenizer(const Text& text) {
    static Tokenizer tokenizer;  // 16 KB
    std::vector<Text> expected = ModelFields(text);
    size_t index = 0;
    for (WCHAR* field = TokenizerBegin(&tokenizer, text.c_str()); field != nullptr;
         field = TokenizerNext(&tokenizer), ++index) {
        if (index >= expected.size()) Mismatch("more fields than the text holds", index);
        if (field != tokenizer.field) Mismatch("field outside the tokenizer", index);
        if (Text(field) != expected[index]) Mismatch("field differs", index);
    }
    if (index != expected.size()) Mismatch("fewer fields than the text holds", index);
    // Past the end it stays at the end.
    if (TokenizerNext(&tokenizer) != nullptr) Mismatch("a field after the end", index);
}

void CheckTrim(const Text& text) {
    // The trimmer works on field buffers: at most kFieldCut units and a terminator.
    static WCHAR buffer[TOKENIZER_FIELD_UNITS + 1];
    Text input = text.substr(0, kFieldCut);
    memcpy(buffer, input.c_str(), (input.size() + 1) * sizeof(WCHAR));
    buffer[TOKENIZER_FIELD_UNITS] = 0x7777;
    Text expected = ModelTrim(input);
    int length = TrimWhiteSpace(buffer);
    if (length != static_cast<int>(expected.size())) Mismatch("trimmed length differs", 0);
    if (Text(buffer) != expected) Mismatch("trimmed text differs", 0);
    if (buffer[TOKENIZER_FIELD_UNITS] != 0x7777) Mismatch("trim wrote past the buffer", 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Text text = Decode(data, size);
    // The text is a C string: it ends at its first zero unit.
    size_t zero = text.find(WCHAR(0));
    if (zero != Text::npos) text.resize(zero);
    CheckTokenizer(text);
    CheckTrim(text);
    if (TrimWhiteSpace(nullptr) != 0) Mismatch("null trimmed to a length", 0);
    if (TokenizerBegin(nullptr, text.c_str()) != nullptr || TokenizerNext(nullptr) != nullptr) {
        Mismatch("a field without a tokenizer", 0);
    }
    return 0;
}
