#include "support/text.h"

#include <limits.h>

#include "support/format.h"
#include "support/heap.h"

namespace {

bool IsValidCapacity(size_t cch) { return cch != 0 && cch <= STRSAFE_MAX_CCH; }

// The copy step shared by concatenation and copy: on a cut the last copied
// unit gives way to the terminator.
template <typename T>
HRESULT CopyBounded(T* destination, size_t capacity, const T* source) {
    size_t i = 0;
    while (i < capacity && source[i] != 0) {
        destination[i] = source[i];
        ++i;
    }
    if (i == capacity) {
        destination[capacity - 1] = 0;
        return STRSAFE_E_INSUFFICIENT_BUFFER;
    }
    destination[i] = 0;
    return 0;
}

const WCHAR kEmptyWide[] = W("");
const char kEmptyNarrow[] = "";

// A UTF-16 unit never takes more than three bytes in UTF-8, the ANSI code
// page of the POSIX build; double-byte code pages take at most two.
const size_t kMaxAnsiBytesPerUnit = 3;

}  // namespace

HRESULT StringCchVPrintfW(WCHAR* pszDest, size_t cchDest, const WCHAR* pszFormat, va_list argList) {
    if (pszDest == nullptr || pszFormat == nullptr || !IsValidCapacity(cchDest)) {
        return STRSAFE_E_INVALID_PARAMETER;
    }
    const size_t limit = cchDest - 1;
    int written = FormatWideV(pszDest, limit, pszFormat, argList);
    if (written < 0 || static_cast<size_t>(written) > limit) {
        pszDest[limit] = 0;
        return STRSAFE_E_INSUFFICIENT_BUFFER;
    }
    if (static_cast<size_t>(written) == limit) pszDest[limit] = 0;
    return 0;
}

HRESULT StringCchPrintfW(WCHAR* pszDest, size_t cchDest, const WCHAR* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    HRESULT hr = StringCchVPrintfW(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return hr;
}

HRESULT StringCchCatW(WCHAR* pszDest, size_t cchDest, const WCHAR* pszSrc) {
    if (pszDest == nullptr || !IsValidCapacity(cchDest)) return STRSAFE_E_INVALID_PARAMETER;
    size_t length = 0;
    while (length < cchDest && pszDest[length] != 0) ++length;
    if (length == cchDest) return STRSAFE_E_INVALID_PARAMETER;
    return CopyBounded(pszDest + length, cchDest - length, pszSrc != nullptr ? pszSrc : kEmptyWide);
}

HRESULT StringCchCopyA(char* pszDest, size_t cchDest, const char* pszSrc) {
    if (pszDest == nullptr || !IsValidCapacity(cchDest)) return STRSAFE_E_INVALID_PARAMETER;
    return CopyBounded(pszDest, cchDest, pszSrc != nullptr ? pszSrc : kEmptyNarrow);
}

int TrimWhiteSpace(WCHAR* str) {
    if (str == nullptr) return 0;

    if (str[0] != 0) {
        size_t leading = 0;
        while (str[leading] != 0 && iswspace(str[leading])) ++leading;
        // White space alone is left to the trailing pass below.
        if (leading > 0 && str[leading] != 0) {
            size_t i = 0;
            for (; i < TOKENIZER_FIELD_UNITS - 1 && str[leading + i] != 0; ++i) {
                str[i] = str[leading + i];
            }
            str[i] = 0;
        }
    }

    int length = lstrlenW(str);
    if (length == 0) return 0;
    while (length > 0 && iswspace(str[length - 1])) {
        str[--length] = 0;
    }
    return length;
}

WCHAR* TokenizerNext(Tokenizer* tokenizer) {
    if (tokenizer == nullptr || tokenizer->position == nullptr || *tokenizer->position == 0) {
        return nullptr;
    }

    memset(tokenizer->field, 0, sizeof(tokenizer->field));

    const WCHAR* position = tokenizer->position;
    const WCHAR* separator = wcspbrk(position, tokenizer->separators);
    if (separator != nullptr) {
        size_t k = static_cast<size_t>(separator - position);
        if (k > 0) {
            size_t units = k < TOKENIZER_FIELD_UNITS ? k : TOKENIZER_FIELD_UNITS - 1;
            memcpy(tokenizer->field, position, units * sizeof(WCHAR));
            tokenizer->field[units] = 0;
        }
        tokenizer->position = separator + 1;
    } else {
        lstrcpynW(tokenizer->field, position, TOKENIZER_FIELD_UNITS);
        tokenizer->position = nullptr;
    }

    if (tokenizer->trim == 1) TrimWhiteSpace(tokenizer->field);
    return tokenizer->field;
}

WCHAR* TokenizerBegin(Tokenizer* tokenizer, const WCHAR* text) {
    if (tokenizer == nullptr) return nullptr;
    tokenizer->position = text;
    tokenizer->trim = 1;
    lstrcpynW(tokenizer->separators, W(";"), TOKENIZER_SEPARATOR_UNITS);
    return TokenizerNext(tokenizer);
}

void WideToAnsi(const WCHAR* source, char* destination) {
    if (source == nullptr || destination == nullptr) return;
    int length = lstrlenW(source);
    if (length == 0) return;

    if (static_cast<size_t>(length) > (static_cast<size_t>(INT_MAX) - 1) / kMaxAnsiBytesPerUnit) {
        return;
    }
    const int bytes = static_cast<int>(kMaxAnsiBytesPerUnit * static_cast<size_t>(length) + 1);
    HeapArray<char> converted = AllocZeroed<char>(static_cast<size_t>(bytes));
    if (!converted) return;

    // The length is known: the terminator is the one unit past it.
    if (WideCharToMultiByte(CP_ACP, 0, source, length + 1, converted.get(), bytes, nullptr, nullptr) > 0) {
        lstrcpynA(destination, converted.get(), ANSI_TEXT_BYTES);
    }
}

void AnsiToWide(const char* source, WCHAR* destination, int capacity) {
    if (source == nullptr || destination == nullptr || capacity <= 0) return;
    int length = lstrlenA(source);
    if (length == 0 || length == INT_MAX) return;

    const int units = length + 1;
    HeapArray<WCHAR> converted = AllocZeroed<WCHAR>(static_cast<size_t>(units));
    if (!converted) return;

    if (MultiByteToWideChar(CP_ACP, 0, source, units, converted.get(), units) > 0) {
        lstrcpynW(destination, converted.get(), capacity);
    }
}
