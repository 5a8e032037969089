// Native messaging frames: a 4-byte little-endian length, then the body.
#pragma once

#include <stdio.h>

#include "platform/platform.h"
#include "support/heap.h"

// The host never takes more of one body than this.
#define MAX_REQUEST_BYTES 1000000u
#define REPLY_BUFFER_BYTES 260

enum FrameReadResult {
    FRAME_END_OF_INPUT,  // a zero length, or no length at all
    FRAME_NOT_TAKEN,     // no buffer for it: refused and skipped
    FRAME_REQUEST,       // *request holds the body and a terminating zero byte
};

FrameReadResult ReadFramedRequest(HeapArray<char>* request);
// Writes one whole frame; frames of different threads never interleave.
void WriteFramedMessage(const char* body);
// Sends out everything written so far.
void FlushOutput();
void SendReply(int resultCode, const WCHAR* data);

// The streams the frames travel on: standard input and output unless a test
// or benchmark chooses others.
void SetFrameStreams(FILE* input, FILE* output);
