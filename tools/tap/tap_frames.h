// The frames of one direction as they go by, cut out of a byte stream that
// arrives in pieces of any size, and the text of their records. Nothing here
// touches a pipe or a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "contract/frame_header.h"
#include "platform/platform.h"

// A body longer than this is recorded by its first part.
constexpr size_t kRecordedBodyBytes = 64 * 1024;

enum TapEventKind {
    TAP_FRAME,         // a whole frame (a zero length included)
    TAP_SHORT_HEADER,  // the stream stopped inside the four length bytes
    TAP_SHORT_BODY,    // the stream stopped inside a body
    TAP_NOTE,          // something the tap saw happen, as text
};

struct TapEvent {
    TapEventKind kind = TAP_FRAME;
    SYSTEMTIME time = {};
    uint32_t declared = 0;  // the length in the header
    uint32_t received = 0;  // body bytes that came
    std::string kept;       // the body's first part, or the header bytes that came
    std::string text;       // a note; for a cut frame, when it was cut
};

struct FrameReader {
    unsigned char header[FRAME_HEADER_BYTES] = {};
    size_t headerBytes = 0;
    bool inBody = false;
    uint32_t declared = 0;
    uint32_t received = 0;
    std::string kept;
};

inline TapEvent StampedEvent(TapEventKind kind) {
    TapEvent event;
    event.kind = kind;
    GetLocalTime(&event.time);
    return event;
}

inline TapEvent NoteEvent(const std::string& text) {
    TapEvent event = StampedEvent(TAP_NOTE);
    event.text = text;
    return event;
}

inline void FinishFrame(FrameReader* reader, std::vector<TapEvent>* events) {
    TapEvent event = StampedEvent(TAP_FRAME);
    event.declared = reader->declared;
    event.received = reader->received;
    event.kept = std::move(reader->kept);
    events->push_back(std::move(event));
    *reader = FrameReader();
}

// Adds an event for every frame that the bytes complete.
inline void FeedFrames(FrameReader* reader, const char* data, size_t size,
                       std::vector<TapEvent>* events) {
    while (size > 0) {
        if (!reader->inBody) {
            size_t take = FRAME_HEADER_BYTES - reader->headerBytes;
            if (take > size) take = size;
            memcpy(reader->header + reader->headerBytes, data, take);
            reader->headerBytes += take;
            data += take;
            size -= take;
            if (reader->headerBytes < FRAME_HEADER_BYTES) return;
            reader->declared = DecodeFrameHeader(reader->header);
            reader->inBody = true;
            reader->received = 0;
            if (reader->declared == 0) FinishFrame(reader, events);
            continue;
        }
        size_t take = reader->declared - reader->received;
        if (take > size) take = size;
        if (reader->kept.size() < kRecordedBodyBytes) {
            size_t keep = kRecordedBodyBytes - reader->kept.size();
            reader->kept.append(data, keep < take ? keep : take);
        }
        reader->received += static_cast<uint32_t>(take);
        data += take;
        size -= take;
        if (reader->received == reader->declared) FinishFrame(reader, events);
    }
}

// A frame the stream stopped inside, if any; when says how it stopped.
inline void TakeUnfinishedFrame(FrameReader* reader, const char* when,
                                std::vector<TapEvent>* events) {
    if (!reader->inBody && reader->headerBytes == 0) return;
    TapEvent event = StampedEvent(reader->inBody ? TAP_SHORT_BODY : TAP_SHORT_HEADER);
    event.declared = reader->declared;
    event.received = reader->received;
    if (reader->inBody) {
        event.kept = std::move(reader->kept);
    } else {
        event.kept.assign(reinterpret_cast<const char*>(reader->header), reader->headerBytes);
    }
    event.text = when;
    events->push_back(std::move(event));
    *reader = FrameReader();
}

// ---- Record text ----

inline void AppendHexByte(std::string* out, unsigned char byte) {
    const char kHex[] = "0123456789abcdef";
    out->push_back(kHex[byte >> 4]);
    out->push_back(kHex[byte & 0x0F]);
}

// "2026-12-08 14:03:21.123", local time.
inline std::string FormatRecordTime(const SYSTEMTIME& time) {
    char text[48];  // room for any WORD in every field
    snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", unsigned{time.wYear}, unsigned{time.wMonth},
             unsigned{time.wDay}, unsigned{time.wHour}, unsigned{time.wMinute}, unsigned{time.wSecond},
             unsigned{time.wMilliseconds});
    return text;
}

// Stands for the start of a character that the end of a cut body splits.
constexpr uint32_t kCutSequence = 0xFFFFFFFFu;

// Length of the UTF-8 sequence at bytes[at], or 0 when it is not a valid one
// (overlong forms, surrogates and values past U+10FFFF are not). A sequence
// that the end of the bytes cuts is valid when cut is true: a body recorded by
// its first part may end inside a character. *codePoint gets the value.
inline size_t Utf8SequenceAt(const std::string& bytes, size_t at, bool cut, uint32_t* codePoint) {
    unsigned char lead = static_cast<unsigned char>(bytes[at]);
    size_t length;
    uint32_t value;
    uint32_t least;
    if (lead < 0x80) {
        *codePoint = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1Fu, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0Fu, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07u, least = 0x10000;
    } else {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if (at + i >= bytes.size()) {
            // What is left of the character is shown by its bytes.
            if (!cut) return 0;
            *codePoint = kCutSequence;
            return bytes.size() - at;
        }
        unsigned char next = static_cast<unsigned char>(bytes[at + i]);
        if ((next & 0xC0) != 0x80) return 0;
        value = value << 6 | (next & 0x3Fu);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *codePoint = value;
    return length;
}

inline bool IsControl(uint32_t codePoint) {
    return codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F);
}

// Valid UTF-8 with few control characters: what a JSON message looks like,
// even a broken one. Anything else is better read as a hex dump.
inline bool LooksLikeText(const std::string& bytes, bool cut) {
    size_t controls = 0;
    size_t characters = 0;
    for (size_t at = 0; at < bytes.size();) {
        uint32_t codePoint = 0;
        size_t length = Utf8SequenceAt(bytes, at, cut, &codePoint);
        if (length == 0) return false;
        if (codePoint != kCutSequence && IsControl(codePoint) && codePoint != '\r' &&
            codePoint != '\n' && codePoint != '\t') {
            ++controls;
        }
        ++characters;
        at += length;
    }
    // One in eight, and one more: a short body with a stray 1A is still text.
    return controls * 8 <= characters + 8;
}

// One line: control characters as <0D>, <0A>, <1A> (C1 ones as <U+0085>),
// so that they differ from a JSON escape such as \n, which stays as it is.
inline std::string EscapedText(const std::string& bytes, bool cut) {
    const char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() + 16);
    for (size_t at = 0; at < bytes.size();) {
        uint32_t codePoint = 0;
        size_t length = Utf8SequenceAt(bytes, at, cut, &codePoint);
        if (length == 0) {  // not for text that LooksLikeText
            length = 1;
            codePoint = kCutSequence;
        }
        if (codePoint == kCutSequence) {
            text += "<cut";
            for (size_t i = at; i < at + length; ++i) {
                text.push_back(' ');
                AppendHexByte(&text, static_cast<unsigned char>(bytes[i]));
            }
            text += ">";
        } else if (IsControl(codePoint)) {
            text += codePoint < 0x80 ? "<" : "<U+00";
            text.push_back(kHex[codePoint >> 4]);
            text.push_back(kHex[codePoint & 0x0F]);
            text.push_back('>');
        } else {
            text.append(bytes, at, length);
        }
        at += length;
    }
    return text;
}

// Lines of 16 bytes: offset, the bytes in hexadecimal, the printable ones.
inline std::string HexDump(const std::string& bytes, const char* indent) {
    const char kHex[] = "0123456789abcdef";
    std::string text;
    for (size_t line = 0; line < bytes.size(); line += 16) {
        text += indent;
        for (int shift = line > 0xFFFF ? 20 : 12; shift >= 0; shift -= 4) {
            text.push_back(kHex[(line >> shift) & 0x0F]);
        }
        text += "  ";
        for (size_t i = line; i < line + 16; ++i) {
            if (i < bytes.size()) {
                AppendHexByte(&text, static_cast<unsigned char>(bytes[i]));
                text.push_back(' ');
            } else {
                text += "   ";
            }
            if (i == line + 7) text.push_back(' ');
        }
        text += " |";
        for (size_t i = line; i < line + 16 && i < bytes.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(bytes[i]);
            text.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.');
        }
        text += "|\n";
    }
    return text;
}

// The body lines of a record and, in the header line, how they show it.
inline void AppendBody(const TapEvent& event, std::string* header, std::string* body) {
    if (event.kept.empty()) return;
    bool cut = event.kept.size() < event.received;
    bool text = LooksLikeText(event.kept, cut);
    *header += text ? " (text" : " (hex";
    if (cut) *header += ", first " + std::to_string(event.kept.size()) + " bytes";
    *header += ")";
    if (text) {
        *body += "  " + EscapedText(event.kept, cut) + "\n";
    } else {
        *body += HexDump(event.kept, "  ");
    }
    if (cut) *body += "  ... (" + std::to_string(event.received) + " bytes in all)\n";
}

// The record of one event: a line that begins with the time, then the body
// lines, each indented by two blanks.
inline std::string FormatTapEvent(const char* direction, const TapEvent& event) {
    std::string header = FormatRecordTime(event.time) + "  " + direction + "  ";
    std::string body;
    switch (event.kind) {
    case TAP_FRAME:
        header += "length " + std::to_string(event.declared);
        AppendBody(event, &header, &body);
        break;
    case TAP_SHORT_BODY:
        header += "length " + std::to_string(event.declared) + ", short body: " +
                  std::to_string(event.received) + " bytes " + event.text;
        AppendBody(event, &header, &body);
        break;
    case TAP_SHORT_HEADER:
        header += "short header: " + std::to_string(event.kept.size()) + " of 4 bytes " +
                  event.text + ":";
        for (char c : event.kept) {
            header.push_back(' ');
            AppendHexByte(&header, static_cast<unsigned char>(c));
        }
        break;
    case TAP_NOTE:
        header += event.text;
        break;
    }
    return header + "\n" + body;
}
