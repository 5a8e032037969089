// Our bounded UTF-16 formatter, used on both platforms so that formatting
// behaves the same everywhere. Semantics of _vsnwprintf: at most limit units
// are written; the result is the count written (a terminator follows when
// count < limit), or -1 when the output was cut to limit units, unterminated.
//
// Conversions: %s (UTF-16 string; null prints "(null)"), %c, %d, %i, %u, %x,
// %X, %%; flags '-', '0', '+', ' ', '#'; width and precision, also as '*';
// the length modifiers h, l, w are accepted and ignored (arguments are 32-bit),
// ll and I64 take 64-bit integers. Any other conversion is written as it stands.
#pragma once

#include <stdarg.h>
#include <stddef.h>

#include "platform/platform.h"

int FormatWideV(WCHAR* destination, size_t limit, const WCHAR* format, va_list args);

// The same with its arguments in place of a list.
int FormatWide(WCHAR* destination, size_t limit, const WCHAR* format, ...);
