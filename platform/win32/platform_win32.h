// Windows: the real Win32 and C runtime. Only what Windows lacks is added here.
#pragma once

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef MINGW_HAS_SECURE_API
#define MINGW_HAS_SECURE_API 1
#endif

#include <windows.h>
#include <tlhelp32.h>
#include <fcntl.h>
#include <io.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <wctype.h>

// UTF-16 literal: L"" is 16-bit on Windows.
#define W(s) L##s

static_assert(sizeof(WCHAR) == 2, "WCHAR must be a UTF-16 unit");
