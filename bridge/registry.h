// The two-way registry between window handles and the browser's window ids.
#pragma once

#include <cstdint>
#include <map>

#include "platform/platform.h"

struct WindowRegistry {
    std::map<uint32_t, int32_t> HandleToId;
    std::map<int32_t, uint32_t> IdToHandle;
    SRWLOCK lock = SRWLOCK_INIT;  // every operation is atomic to the relay threads
};

extern WindowRegistry& g_WindowRegistry;

// Window handles travel as 32-bit values.
inline uint32_t HandleValue(HWND hwnd) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hwnd)); }
inline HWND HandleFromValue(uint32_t value) { return reinterpret_cast<HWND>(static_cast<uintptr_t>(value)); }

void BindWindow(HWND hwnd, int32_t windowId);
// True with *windowId set when hwnd has an entry.
bool LookupWindowId(HWND hwnd, int32_t* windowId);
// The HWND bound to windowId; a miss yields the null handle, which the
// agent sees as "0;..." and which no real window has.
HWND LookupWindowHandle(int32_t windowId);
// The frontmost visible top-level window whose class begins with "Chrome"
// and that has a system menu; null when there is none.
HWND FindBrowserWindow();

// Empties both maps (tests only).
void ClearWindowRegistry();
