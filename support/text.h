// Bounded text routines (strsafe semantics), the ';' field splitter and the
// conversions between UTF-16 and the ANSI code page.
#pragma once

#include <stdarg.h>
#include <stddef.h>

#include "platform/platform.h"

#define STRSAFE_E_INVALID_PARAMETER (static_cast<HRESULT>(0x80070057L))
#define STRSAFE_E_INSUFFICIENT_BUFFER (static_cast<HRESULT>(0x8007007AL))
#define STRSAFE_MAX_CCH 2147483647u

// Capacities count units including the terminator.
HRESULT StringCchPrintfW(WCHAR* pszDest, size_t cchDest, const WCHAR* pszFormat, ...);
HRESULT StringCchVPrintfW(WCHAR* pszDest, size_t cchDest, const WCHAR* pszFormat, va_list argList);
HRESULT StringCchCatW(WCHAR* pszDest, size_t cchDest, const WCHAR* pszSrc);
HRESULT StringCchCopyA(char* pszDest, size_t cchDest, const char* pszSrc);

#define TOKENIZER_FIELD_UNITS 8192
#define TOKENIZER_SEPARATOR_UNITS 10

struct Tokenizer {
    const WCHAR* position;  // next field; null after the last one
    int trim;
    WCHAR separators[TOKENIZER_SEPARATOR_UNITS];
    WCHAR field[TOKENIZER_FIELD_UNITS];
};

// First ';'-separated field of text, trimmed; null when there is none.
WCHAR* TokenizerBegin(Tokenizer* tokenizer, const WCHAR* text);
WCHAR* TokenizerNext(Tokenizer* tokenizer);
// Trims white space at both ends in place; returns the new length.
int TrimWhiteSpace(WCHAR* str);

#define ANSI_TEXT_BYTES 260
// Converts to the ANSI code page into a 260-byte destination (at most 259 bytes).
void WideToAnsi(const WCHAR* source, char* destination);
// Converts from the ANSI code page, at most capacity - 1 units and a terminator.
void AnsiToWide(const char* source, WCHAR* destination, int capacity);
