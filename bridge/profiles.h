// The names the host and the agent share, per browser, and the six events.
#pragma once

#include "platform/platform.h"

#define CHROME_BROSWER 2
#define MSEDGE_PROC 6

#define EVENT_NAME_UNITS 1024

struct BrowserProfile {
    const WCHAR* lpszLogName;
    // In HostEvents order.
    const WCHAR* lpszEventResponseUrl;
    const WCHAR* lpszEventRequestUrl;
    const WCHAR* lpszEventForRes;
    const WCHAR* lpszEventResponseDevtool;
    const WCHAR* lpszEventRequestDevtool;
    const WCHAR* lpszEventGetDevtoolRes;
    const WCHAR* lpszUrlRequestBlock;
    const WCHAR* lpszDevtoolRequestBlock;
    const WCHAR* lpszUrlResultBlock;
    const WCHAR* lpszDevtoolResultBlock;
};

struct HostEvents {
    HANDLE hEventResponseUrl;
    HANDLE hEventRequestUrl;
    HANDLE hEventForRes;
    HANDLE hEventResponseDevtool;
    HANDLE hEventRequestDevtool;
    HANDLE hEventGetDevtoolRes;
};

extern const BrowserProfile g_ChromeProfile;
extern const BrowserProfile g_EdgeProfile;
extern HostEvents g_HostEvents;

// The profile of BrowserType 2 or 6; null for any other value.
const BrowserProfile* SelectBrowserProfile(int browserType);
// Mapping names are chosen where they are used: 2 is Chrome, anything else Edge.
const BrowserProfile* MappingProfile(int browserType);

// A named auto-reset event that every account may open; null on failure.
HANDLE CreateEventForEveryone(const WCHAR* lpszEventName);
// The six events of the profile, in HostEvents order, failures kept as null.
void CreateHostEvents(const BrowserProfile* profile);
