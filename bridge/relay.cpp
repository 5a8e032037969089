#include "bridge/relay.h"

#include <stdio.h>
#include <string.h>

#include "bridge/profiles.h"
#include "bridge/registry.h"
#include "contract/envelope.h"
#include "contract/request_block.h"
#include "support/framing.h"
#include "support/handles.h"
#include "support/log.h"

namespace {

// What tells the two relays apart.
struct RelayChannel {
    const WCHAR* entryLine;
    const WCHAR* requestEventName;  // for the line about a missing request event
    HANDLE HostEvents::*requestEvent;
    HANDLE HostEvents::*answerEvent;
    HANDLE HostEvents::*responseEvent;
    const WCHAR* BrowserProfile::*requestBlock;
    const char* requestWord;
    const WCHAR* foundLine;
    const WCHAR* timeoutLine;
    bool pauseAfterFound;  // the URL relay pauses after every attempt
};

const RelayChannel kUrlChannel = {
    W("ChromeFrameRequestThread...BrowserType=%d"),
    W("hEventRequestUrl"),
    &HostEvents::hEventRequestUrl,
    &HostEvents::hEventForRes,
    &HostEvents::hEventResponseUrl,
    &BrowserProfile::lpszUrlRequestBlock,
    URL_QUESTION_WORD,
    W("###### call get url return HWND : %x window id : %d"),
    W("###### SetEvent  hEventForRes URL... Time out.##### %d(%x)"),
    true,
};

const RelayChannel kDevtoolChannel = {
    W("ChromeFrameRequestDevtoolThread...BrowserType=%d"),
    W("hEventRequestDevtool"),
    &HostEvents::hEventRequestDevtool,
    &HostEvents::hEventGetDevtoolRes,
    &HostEvents::hEventResponseDevtool,
    &BrowserProfile::lpszDevtoolRequestBlock,
    DEVTOOL_QUESTION_WORD,
    W("###### call GetFrameDevTool return HWND : %x window id : %d"),
    W("###### SetEvent  hEventGetDevtoolRes... Time out.##### %d(%x)"),
    false,
};

// Takes the HWND out of the request block and clears the block; false when
// the block can't be had.
bool TakeRequest(const WCHAR* blockName, uint32_t* hwnd) {
    UniqueHandle mapping(OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, blockName));
    if (!mapping) {
        DebugLog(LOG_ERROR, W("openfilemapp failed..."));
        return false;
    }
    UniqueView view(MapViewOfFile(mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, REQUEST_BLOCK_BYTES));
    if (!view) return false;
    const unsigned char* bytes = static_cast<const unsigned char*>(view.get());
    *hwnd = DecodeRequestHwnd(bytes);
    memset(view.get(), 0, REQUEST_BLOCK_BYTES);
    FlushViewOfFile(view.get(), 0);
    return true;
}

// One question: look the window up, ask the extension, wait for its answer.
void ServeRequest(const RelayChannel& channel, uint32_t hwnd) {
    char message[RELAY_MESSAGE_BYTES];
    memset(message, 0, sizeof(message));
    int32_t windowId = 0;
    bool found = false;
    for (int attempt = 0; attempt < RELAY_LOOKUP_ATTEMPTS && !found; ++attempt) {
        int32_t id = 0;
        if (LookupWindowId(HandleFromValue(hwnd), &id)) {
            windowId = id;
            found = true;
            DebugLog(LOG_ERROR, channel.foundLine, hwnd, windowId);
            snprintf(message, sizeof(message), ENVELOPE("%s", "%d"), channel.requestWord, windowId);
        } else {
            DebugLog(LOG_ERROR, W("###### Can't Find HWND : %x window id : %d"), hwnd, 0);
        }
        if (!found || channel.pauseAfterFound) Sleep(RELAY_LOOKUP_PAUSE_MS);
    }
    if (!found) {
        DebugLog(LOG_ERROR, W("###### find window failed.. (%x)%d"), hwnd, RELAY_LOOKUP_ATTEMPTS);
        return;
    }
    WriteFramedMessage(message);
    FlushOutput();
    if (WaitForSingleObject(g_HostEvents.*channel.answerEvent, RELAY_ANSWER_WAIT_MS) == WAIT_TIMEOUT) {
        DebugLog(LOG_ERROR, channel.timeoutLine, windowId, hwnd);
    }
}

unsigned RunRelay(const RelayChannel& channel, int browserType) {
    DebugLog(LOG_TRACE, channel.entryLine, browserType);
    HANDLE request = g_HostEvents.*channel.requestEvent;
    if (request == nullptr) {
        // Every wait on it would fail at once: rest instead of spinning.
        DebugLog(LOG_ERROR, W("%s is NULL: no request of this channel can be served"), channel.requestEventName);
        for (;;) Sleep(INFINITE);
    }
    const WCHAR* blockName = MappingProfile(browserType)->*channel.requestBlock;
    for (;;) {
        DWORD waited = WaitForSingleObject(request, INFINITE);
        if (waited != WAIT_OBJECT_0) {
            // A wait that keeps failing must not take a whole core.
            if (waited == WAIT_FAILED) Sleep(RELAY_LOOKUP_PAUSE_MS);
            continue;
        }
        uint32_t hwnd = 0;
        if (TakeRequest(blockName, &hwnd)) ServeRequest(channel, hwnd);
        SetEvent(g_HostEvents.*channel.responseEvent);
    }
}

}  // namespace

unsigned WINAPI ChromeFrameRequestThread(void* browserType) {
    return RunRelay(kUrlChannel, static_cast<int>(reinterpret_cast<intptr_t>(browserType)));
}

unsigned WINAPI ChromeFrameRequestDevtoolThread(void* browserType) {
    return RunRelay(kDevtoolChannel, static_cast<int>(reinterpret_cast<intptr_t>(browserType)));
}

void StartRelayThreads(int browserType) {
    unsigned threadId = 0;
    void* argument = reinterpret_cast<void*>(static_cast<intptr_t>(browserType));
    _beginthreadex(nullptr, 0, ChromeFrameRequestThread, argument, 0, &threadId);
    _beginthreadex(nullptr, 0, ChromeFrameRequestDevtoolThread, argument, 0, &threadId);
}
