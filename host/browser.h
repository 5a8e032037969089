// Which browser started the host: the nearest Chrome or Edge ancestor.
#pragma once

#include "bridge/profiles.h"
#include "platform/platform.h"

#define PARENT_NAME_UNITS 260

// 2 (CHROME_BROSWER), 6 (MSEDGE_PROC), or 0 when no browser is an ancestor.
int CheckBrowser();

// One step of the walk: the parent of processId (0 = this process) and its
// image name, lowercased.
BOOL GetParentProcessFileInfoEx2(DWORD processId, DWORD* parentId, WCHAR* wszParentProcess);
