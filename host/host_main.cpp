#include "host/host_main.h"

#include <stdarg.h>
#include <stdio.h>

#include "bridge/profiles.h"
#include "bridge/relay.h"
#include "host/browser.h"
#include "host/request.h"
#include "support/framing.h"
#include "support/log.h"
#include "support/text.h"

namespace {

// Chrome copies a host's standard error into its own log (--enable-logging),
// so one line there says why the host ended before serving. Written with
// WriteFile, not stdio: no text-mode translation, and nothing buffered.
void ReportExit(const WCHAR* format, ...) {
    WCHAR reason[512];
    va_list args;
    va_start(args, format);
    StringCchVPrintfW(reason, CountOf(reason), format, args);  // a cut reason still ends the line
    va_end(args);
    WCHAR line[600];
    StringCchPrintfW(line, CountOf(line), W("orvendel_host: %s; exiting\n"), reason);
    char bytes[sizeof(line) / sizeof(line[0]) * 3];
    int size = WideCharToMultiByte(CP_UTF8, 0, line, -1, bytes, sizeof(bytes), nullptr, nullptr);
    if (size <= 1) return;
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), bytes, static_cast<DWORD>(size - 1), &written, nullptr);
}

void ReportNoBrowser() {
    WCHAR parent[PARENT_NAME_UNITS] = {};
    DWORD parentId = 0;
    if (GetParentProcessFileInfoEx2(0, &parentId, parent)) {
        ReportExit(W("no ancestor process is Chrome or Edge (parent process: %s)"), parent);
    } else {
        ReportExit(W("no ancestor process is Chrome or Edge (parent process unknown)"));
    }
}

// Frames are bytes: no stream of the host may translate them.
bool SetBinaryMode(FILE* stream, const WCHAR* name) {
    if (_setmode(_fileno(stream), _O_BINARY) == -1) {
        int error = static_cast<int>(GetLastError());
        DebugLog(LOG_ERROR, W("_setmode Failed : %d"), error);
        ReportExit(W("cannot switch standard %s to binary mode: error %d"), name, error);
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
        ReportNoBrowser();
        return -1;
    }
    SetLogName(profile->lpszLogName);
    CreateHostEvents(profile);

    if (!SetBinaryMode(stdin, W("input")) || !SetBinaryMode(stdout, W("output"))) return -1;
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
