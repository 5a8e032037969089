// One request of the extension: parsed, checked, converted and dispatched.
#pragma once

#include "platform/platform.h"
#include "support/heap.h"

#define ARGUMENT_TEXT_UNITS 260

// The handlers a request can reach. The table is a seam: tests put recorders
// in place of the real handlers.
struct CommandHandlers {
    void (*findHandle)(int argumentValue);
    void (*returnUrlList)(const WCHAR* argumentText, DWORD argumentSize, int browserType);
    void (*returnCheckDevtools)(const WCHAR* argumentText, DWORD argumentSize, int browserType);
};

extern CommandHandlers g_CommandHandlers;

// Takes the request bytes (terminated by a zero byte) and releases them.
void HandleRequest(HeapArray<char> request, int browserType);
