// The one header the core includes. It brings the Win32 subset that the core
// calls: the real headers on Windows, our stand-in elsewhere.
#pragma once

#if defined(_WIN32)
#include "win32/platform_win32.h"
#else
#include "posix/platform_posix.h"
#endif

#include <cstddef>
#include <cstdint>

// Capacity of a fixed WCHAR array, in units.
template <typename T, size_t N>
constexpr DWORD CountOf(T (&)[N]) { return static_cast<DWORD>(N); }

// Image names of the browsers' processes on this platform, null-terminated.
extern const WCHAR* const g_ChromeImageNames[];
extern const WCHAR* const g_EdgeImageNames[];
