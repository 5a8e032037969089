// How the debug log stores one record, which the host writes and the log
// reader, the doctor's bundle and the tests read back: the line's text in the
// ANSI code page, each byte scrambled with its place in the record, then the
// separator.
#pragma once

#include <stddef.h>

// Text bytes of one record at most, before its separator.
#define LOG_RECORD_TEXT_BYTES 4091
#define LOG_RECORD_SEPARATOR "@!@"
#define LOG_RECORD_SEPARATOR_BYTES 3

// Its own inverse: the same call scrambles and unscrambles.
inline unsigned char ScrambleLogByte(unsigned char byte, size_t index) {
    return static_cast<unsigned char>(~byte ^ (index & 0xFF));
}
