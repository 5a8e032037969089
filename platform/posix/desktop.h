// The simulated desktop: the top-level windows that EnumWindows lists on
// POSIX, front to back, in a shared-memory table that any process of the
// same namespace (ORVENDEL_NAMESPACE) sees. Tests, the demo and
// orvendel-agent fill it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#define DESKTOP_MAX_WINDOWS 256
#define DESKTOP_CLASS_UNITS 128

struct DesktopWindow {
    uint32_t hwnd = 0;
    std::u16string className;
    bool visible = true;
    uint32_t style = 0;
};

// Adds (or replaces) a window, in front of all others or behind them.
bool DesktopAddWindow(const DesktopWindow& window, bool front);
bool DesktopRemoveWindow(uint32_t hwnd);
void DesktopClear();
std::vector<DesktopWindow> DesktopList();  // front to back
