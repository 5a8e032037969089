#include "bridge/profiles.h"

#include "contract/object_names.h"
#include "support/log.h"

// W() of a macro's value.
#define WIDE(s) W(s)

const BrowserProfile g_ChromeProfile = {
    WIDE(CHROME_LOG_NAME),
    WIDE(CHROME_EVENT_RESPONSE_URL),
    WIDE(CHROME_EVENT_REQUEST_URL),
    WIDE(CHROME_EVENT_FOR_RES),
    WIDE(CHROME_EVENT_RESPONSE_DEVTOOL),
    WIDE(CHROME_EVENT_REQUEST_DEVTOOL),
    WIDE(CHROME_EVENT_GET_DEVTOOL_RES),
    WIDE(CHROME_URL_REQUEST_BLOCK),
    WIDE(CHROME_DEVTOOL_REQUEST_BLOCK),
    WIDE(CHROME_URL_RESULT_BLOCK),
    WIDE(CHROME_DEVTOOL_RESULT_BLOCK),
};

const BrowserProfile g_EdgeProfile = {
    WIDE(EDGE_LOG_NAME),
    WIDE(EDGE_EVENT_RESPONSE_URL),
    WIDE(EDGE_EVENT_REQUEST_URL),
    WIDE(EDGE_EVENT_FOR_RES),
    WIDE(EDGE_EVENT_RESPONSE_DEVTOOL),
    WIDE(EDGE_EVENT_REQUEST_DEVTOOL),
    WIDE(EDGE_EVENT_GET_DEVTOOL_RES),
    WIDE(EDGE_URL_REQUEST_BLOCK),
    WIDE(EDGE_DEVTOOL_REQUEST_BLOCK),
    WIDE(EDGE_URL_RESULT_BLOCK),
    WIDE(EDGE_DEVTOOL_RESULT_BLOCK),
};

HostEvents g_HostEvents = {};

const BrowserProfile* SelectBrowserProfile(int browserType) {
    if (browserType == CHROME_BROSWER) return &g_ChromeProfile;
    if (browserType == MSEDGE_PROC) return &g_EdgeProfile;
    return nullptr;
}

const BrowserProfile* MappingProfile(int browserType) {
    return browserType == CHROME_BROSWER ? &g_ChromeProfile : &g_EdgeProfile;
}

HANDLE CreateEventForEveryone(const WCHAR* lpszEventName) {
    if (lpszEventName == nullptr) {
        DebugLog(LOG_ERROR, W("CreateEventForEveryone() -> Invalid params! lpszEventName == NULL"));
        return nullptr;
    }
    if (lpszEventName[0] == 0) {
        DebugLog(LOG_ERROR, W("CreateEventForEveryone() -> Invalid params! Length of lpszEventName is ZERO"));
        return nullptr;
    }
    WCHAR name[EVENT_NAME_UNITS] = {};
    lstrcpynW(name, lpszEventName, CountOf(name));

    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)) {
        DebugLog(LOG_ERROR, W("CreateEventForEveryone() -> InitializeSecurityDescriptor() fails! GetLastError=%d"),
                 static_cast<int>(GetLastError()));
        return nullptr;
    }
    // A present, null DACL: the agent may run under any account.
    if (!SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) {
        DebugLog(LOG_ERROR, W("CreateEventForEveryone() -> SetSecurityDescriptorDacl() fails! GetLastError=%d"),
                 static_cast<int>(GetLastError()));
        return nullptr;
    }
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = FALSE;

    HANDLE event = CreateEventW(&attributes, FALSE, FALSE, name);
    DWORD error = GetLastError();
    if (event != nullptr) {
        if (error == ERROR_ALREADY_EXISTS) {
            DebugLog(LOG_TRACE, W("CreateEventForEveryone() -> CreateEvent(%s) success. But, Already EXISTS!"), name);
        } else {
            DebugLog(LOG_TRACE, W("CreateEventForEveryone() -> CreateEvent(%s) success"), name);
        }
        return event;
    }
    DebugLog(LOG_ERROR, W("CreateEventForEveryone() -> CreateEvent(%s) fails! GetLastError=%d"), name,
             static_cast<int>(error));
    return nullptr;
}

void CreateHostEvents(const BrowserProfile* profile) {
    g_HostEvents.hEventResponseUrl = CreateEventForEveryone(profile->lpszEventResponseUrl);
    g_HostEvents.hEventRequestUrl = CreateEventForEveryone(profile->lpszEventRequestUrl);
    g_HostEvents.hEventForRes = CreateEventForEveryone(profile->lpszEventForRes);
    g_HostEvents.hEventResponseDevtool = CreateEventForEveryone(profile->lpszEventResponseDevtool);
    g_HostEvents.hEventRequestDevtool = CreateEventForEveryone(profile->lpszEventRequestDevtool);
    g_HostEvents.hEventGetDevtoolRes = CreateEventForEveryone(profile->lpszEventGetDevtoolRes);
}
