#include "host/browser.h"

#include <string.h>

#include <vector>

#include "support/handles.h"
#include "support/log.h"

namespace {

typedef HANDLE(WINAPI* CreateToolhelp32SnapshotFn)(DWORD, DWORD);
typedef BOOL(WINAPI* Process32FirstWFn)(HANDLE, LPPROCESSENTRY32W);
typedef BOOL(WINAPI* Process32NextWFn)(HANDLE, LPPROCESSENTRY32W);

struct LibraryOwner {
    HMODULE module;
    ~LibraryOwner() { FreeLibrary(module); }
};

template <typename Fn>
Fn Resolve(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

struct Snapshot {
    HANDLE handle;
    Process32FirstWFn first;
    Process32NextWFn next;

    // Walks from the first entry to the one of processId.
    bool Find(DWORD processId, PROCESSENTRY32W* entry) const {
        memset(entry, 0, sizeof(*entry));
        entry->dwSize = sizeof(PROCESSENTRY32W);
        for (BOOL more = first(handle, entry); more; more = next(handle, entry)) {
            if (entry->th32ProcessID == processId) return true;
            memset(entry, 0, sizeof(*entry));
            entry->dwSize = sizeof(PROCESSENTRY32W);
        }
        return false;
    }
};

// True when the platform can tell that parentId was created after
// processId: then the parent has exited and its id was reused.
bool CreatedAfter(DWORD parentId, DWORD processId) {
    UniqueHandle parent(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parentId));
    UniqueHandle child(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!parent || !child) return false;
    FILETIME parentTimes[4], childTimes[4];
    if (!GetProcessTimes(parent.get(), &parentTimes[0], &parentTimes[1], &parentTimes[2], &parentTimes[3]) ||
        !GetProcessTimes(child.get(), &childTimes[0], &childTimes[1], &childTimes[2], &childTimes[3])) {
        return false;
    }
    auto value = [](const FILETIME& t) {
        return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return value(parentTimes[0]) > value(childTimes[0]);
}

bool IsOneOf(const WCHAR* name, const WCHAR* const* names) {
    for (; *names != nullptr; ++names) {
        if (_wcsicmp(name, *names) == 0) return true;
    }
    return false;
}

}  // namespace

BOOL GetParentProcessFileInfoEx2(DWORD processId, DWORD* parentId, WCHAR* wszParentProcess) {
    HMODULE kernel32 = LoadLibraryW(W("kernel32.dll"));
    if (kernel32 == nullptr) return FALSE;
    LibraryOwner library{kernel32};
    auto createSnapshot = Resolve<CreateToolhelp32SnapshotFn>(kernel32, "CreateToolhelp32Snapshot");
    auto first = Resolve<Process32FirstWFn>(kernel32, "Process32FirstW");
    auto next = Resolve<Process32NextWFn>(kernel32, "Process32NextW");
    if (createSnapshot == nullptr || first == nullptr || next == nullptr) return FALSE;

    DWORD self = GetCurrentProcessId();
    if (processId == 0) processId = self;
    HANDLE handle = createSnapshot(TH32CS_SNAPALL, self);
    if (handle == INVALID_HANDLE_VALUE) return FALSE;
    UniqueHandle owner(handle);
    Snapshot snapshot{handle, first, next};

    PROCESSENTRY32W entry;
    if (!snapshot.Find(processId, &entry)) return FALSE;
    DWORD parent = entry.th32ParentProcessID;
    if (parent == 0xFFFFFFFFu) return FALSE;
    if (!snapshot.Find(parent, &entry)) return FALSE;
    if (CreatedAfter(parent, processId)) return FALSE;

    *parentId = parent;
    lstrcpynW(wszParentProcess, entry.szExeFile, PARENT_NAME_UNITS);
    _wcslwr_s(wszParentProcess, PARENT_NAME_UNITS);
    return TRUE;
}

int CheckBrowser() {
    WCHAR wszParentProcess[PARENT_NAME_UNITS];
    memset(wszParentProcess, 0, sizeof(wszParentProcess));
    // Ids are reused: the walk stops at a process it has seen, so it always ends.
    std::vector<DWORD> examined;
    DWORD processId = 0;
    for (;;) {
        DWORD parentId = 0;
        bool seen = false;
        for (DWORD id : examined) seen = seen || id == processId;
        if ((!examined.empty() && processId == 0) || seen ||
            !GetParentProcessFileInfoEx2(processId, &parentId, wszParentProcess)) {
            DebugLog(LOG_TRACE, W("[CheckBrowser] GetParentProcessFileInfoEx2 FALSE"));
            return 0;
        }
        examined.push_back(processId == 0 ? GetCurrentProcessId() : processId);
        DebugLog(LOG_TRACE, W("[CheckBrowser] wszParentProcess=%s"), wszParentProcess);
        if (IsOneOf(wszParentProcess, g_ChromeImageNames)) {
            DebugLog(LOG_TRACE, W("[CheckBrowser] BroswerType = CHROME_BROSWER"));
            return CHROME_BROSWER;
        }
        if (IsOneOf(wszParentProcess, g_EdgeImageNames)) {
            DebugLog(LOG_TRACE, W("[CheckBrowser] BroswerType = MSEDGE_PROC"));
            return MSEDGE_PROC;
        }
        processId = parentId;
    }
}
