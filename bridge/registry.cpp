#include "bridge/registry.h"

#include <string.h>

// Never destroyed: the relay threads may still look windows up while the
// process ends.
WindowRegistry& g_WindowRegistry = *new WindowRegistry;

namespace {

struct RegistryLock {
    RegistryLock() { AcquireSRWLockExclusive(&g_WindowRegistry.lock); }
    ~RegistryLock() { ReleaseSRWLockExclusive(&g_WindowRegistry.lock); }
};

#define CLASS_NAME_UNITS 260

BOOL CALLBACK EnumBrowserWindow(HWND hwnd, LPARAM lParam) {
    if (hwnd == nullptr) return TRUE;
    HWND* result = reinterpret_cast<HWND*>(lParam);
    if (result == nullptr) return FALSE;
    WCHAR className[CLASS_NAME_UNITS];
    memset(className, 0, sizeof(className));
    GetClassNameW(hwnd, className, CLASS_NAME_UNITS);
    if (_wcsnicmp(className, W("Chrome"), 6) != 0) return TRUE;
    if (!IsWindowVisible(hwnd)) return TRUE;
    if ((GetWindowLongW(hwnd, GWL_STYLE) & WS_SYSMENU) == 0) return TRUE;
    *result = hwnd;
    return FALSE;
}

}  // namespace

void BindWindow(HWND hwnd, int32_t windowId) {
    uint32_t h = HandleValue(hwnd);
    RegistryLock lock;
    auto bound = g_WindowRegistry.HandleToId.find(h);
    if (bound == g_WindowRegistry.HandleToId.end()) {
        g_WindowRegistry.HandleToId.emplace(h, windowId);
        g_WindowRegistry.IdToHandle.emplace(windowId, h);  // keeps an existing entry of the id
        return;
    }
    g_WindowRegistry.IdToHandle.erase(bound->second);
    g_WindowRegistry.IdToHandle.emplace(windowId, h);
    bound->second = windowId;
}

bool LookupWindowId(HWND hwnd, int32_t* windowId) {
    RegistryLock lock;
    auto found = g_WindowRegistry.HandleToId.find(HandleValue(hwnd));
    if (found == g_WindowRegistry.HandleToId.end()) return false;
    *windowId = found->second;
    return true;
}

HWND LookupWindowHandle(int32_t windowId) {
    RegistryLock lock;
    auto found = g_WindowRegistry.IdToHandle.find(windowId);
    return found == g_WindowRegistry.IdToHandle.end() ? nullptr : HandleFromValue(found->second);
}

HWND FindBrowserWindow() {
    HWND result = nullptr;
    EnumWindows(EnumBrowserWindow, reinterpret_cast<LPARAM>(&result));
    return result;
}

void ClearWindowRegistry() {
    RegistryLock lock;
    g_WindowRegistry.HandleToId.clear();
    g_WindowRegistry.IdToHandle.clear();
}
