#include "host/handlers.h"

#include <string.h>

#include "bridge/profiles.h"
#include "bridge/registry.h"
#include "contract/contract.h"
#include "support/handles.h"
#include "support/heap.h"
#include "support/log.h"
#include "support/text.h"

// An answer of up to half the block keeps its size; a larger one fills the
// whole block, as UTF-16 units.
#define URL_BLOCK_BYTE_LIMIT (URL_RESULT_BLOCK_BYTES / 2u)
#define URL_BLOCK_CAPPED_UNITS (URL_RESULT_BLOCK_BYTES / 2u)
static_assert(URL_BLOCK_CAPPED_UNITS * sizeof(WCHAR) == URL_RESULT_BLOCK_BYTES, "a capped answer fills its block");
static_assert(DEVTOOL_RESULT_BLOCK_BYTES % 2 == 0, "the DevTools block holds whole UTF-16 units");
#define DEVTOOL_BLOCK_BYTES static_cast<unsigned>(DEVTOOL_RESULT_BLOCK_BYTES)
#define DEVTOOL_FORMAT_UNITS (DEVTOOL_BLOCK_BYTES / 2 + 1)

namespace {

// The window id of an answer: its first ';' field, read as _wtoi reads it.
int32_t AnswerWindowId(const WCHAR* argumentText) {
    static Tokenizer tokenizer;  // 16 KB: kept off the stack; handlers run on the main thread only
    WCHAR* field = TokenizerBegin(&tokenizer, argumentText);
    return field != nullptr ? _wtoi(field) : 0;
}

// "%x;%s" of the HWND bound to the answer's window id, in units units.
HeapArray<WCHAR> FormatAnswer(const WCHAR* argumentText, size_t units) {
    HWND hwnd = LookupWindowHandle(AnswerWindowId(argumentText));
    HeapArray<WCHAR> text = AllocZeroed<WCHAR>(units);
    if (!text) {
        DebugLog(LOG_ERROR, W("Buffer allocation failed : %d"), static_cast<int>(GetLastError()));
        return text;
    }
    StringCchPrintfW(text.get(), units, W("%x;%s"), HandleValue(hwnd), argumentText);
    return text;
}

}  // namespace

void FindHandle(int argumentValue) {
    // The search has no effect of its own: an id of 0 needs none.
    if (argumentValue == 0) return;
    HWND hwnd = FindBrowserWindow();
    uint32_t value = HandleValue(hwnd);
    if (value == 0 || value == 0xFFFFFFFFu) return;
    BindWindow(hwnd, argumentValue);
    int32_t windowId = 0;
    LookupWindowId(hwnd, &windowId);
    HWND bound = LookupWindowHandle(windowId);
    DebugLog(LOG_TRACE, W("[FindHandle] Insert & Find Map for HWND & WINDOW ID : [%d:%x] "), windowId,
             HandleValue(bound));
}

void ReturnUrlList(const WCHAR* argumentText, DWORD argumentSize, int browserType) {
    UniqueHandle mapping(OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE,
                                          MappingProfile(browserType)->lpszUrlResultBlock));
    if (!mapping) {
        DebugLog(LOG_ERROR, W(" GETFRAMEURL_LIST OPENFILEMAP FAILED (%d)"), browserType);
        return;
    }
    // The cap is tested on the bytes and set on the units: blocks up to 50000
    // bytes keep their size, larger ones take 100000.
    uint64_t units = static_cast<uint64_t>(argumentSize) + 16;
    if (2 * units > URL_BLOCK_BYTE_LIMIT) units = URL_BLOCK_CAPPED_UNITS;
    HeapArray<WCHAR> text = FormatAnswer(argumentText, static_cast<size_t>(units));
    if (!text) return;
    size_t bytes = static_cast<size_t>(units) * sizeof(WCHAR);
    {
        UniqueView view(MapViewOfFile(mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, bytes));
        if (!view) return;
        memcpy(view.get(), text.get(), bytes);
        FlushViewOfFile(view.get(), 0);
    }
    mapping.reset();
    // Only now is the block complete for the agent.
    SetEvent(g_HostEvents.hEventForRes);
}

void ReturnCheckDevtools(const WCHAR* argumentText, DWORD argumentSize, int browserType) {
    UniqueHandle mapping(OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE,
                                          MappingProfile(browserType)->lpszDevtoolResultBlock));
    if (!mapping) {
        DebugLog(LOG_ERROR, W(" GETFRAMEURL_DEVTOOL OPENFILEMAP FAILED "));
        return;
    }
    uint64_t units = static_cast<uint64_t>(argumentSize) + 16;
    // Only the first 130 units can reach the block, and a text cut at 131
    // units begins with them unchanged: a long answer is not formatted whole.
    uint64_t formatted = units < DEVTOOL_FORMAT_UNITS ? units : DEVTOOL_FORMAT_UNITS;
    HeapArray<WCHAR> text = FormatAnswer(argumentText, static_cast<size_t>(formatted));
    if (!text) return;
    {
        UniqueView view(MapViewOfFile(mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, DEVTOOL_BLOCK_BYTES));
        if (!view) return;
        // Cleared first: a short answer leaves no bytes of an older one behind it.
        memset(view.get(), 0, DEVTOOL_BLOCK_BYTES);
        uint64_t bytes = units * sizeof(WCHAR);
        memcpy(view.get(), text.get(), static_cast<size_t>(bytes < DEVTOOL_BLOCK_BYTES ? bytes : DEVTOOL_BLOCK_BYTES));
        FlushViewOfFile(view.get(), 0);
    }
    mapping.reset();
    SetEvent(g_HostEvents.hEventGetDevtoolRes);
}
