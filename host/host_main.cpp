#include "host/host_main.h"

#include <stdio.h>

#include "bridge/profiles.h"
#include "bridge/relay.h"
#include "host/browser.h"
#include "host/framing.h"
#include "host/request.h"
#include "support/log.h"

namespace {

// Frames are bytes: no stream of the host may translate them.
bool SetBinaryMode(FILE* stream) {
    if (_setmode(_fileno(stream), _O_BINARY) == -1) {
        DebugLog(LOG_ERROR, W("_setmode Failed : %d"), static_cast<int>(GetLastError()));
        return false;
    }
    return true;
}

}  // namespace

int HostMain() {
    SetLogName(W("Orvendel"));
    int browserType = CheckBrowser();
    const BrowserProfile* profile = SelectBrowserProfile(browserType);
    if (profile == nullptr) {
        DebugLog(LOG_ERROR, W("BrowserType ERR"));
        return -1;
    }
    SetLogName(profile->lpszLogName);
    CreateHostEvents(profile);

    if (!SetBinaryMode(stdin) || !SetBinaryMode(stdout)) return -1;
    StartRelayThreads(browserType);

    for (;;) {
        HeapArray<char> request;
        FrameReadResult result = ReadFramedRequest(&request);
        if (result == FRAME_END_OF_INPUT) break;
        if (result == FRAME_NOT_TAKEN) continue;
        HandleRequest(std::move(request), browserType);
    }

    DebugLog(LOG_ERROR, W("Request data length is 0"));
    SendReply(-1, W(""));
    FlushOutput();
    return -1;
}
