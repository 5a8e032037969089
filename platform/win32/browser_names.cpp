#include "platform/platform.h"

const WCHAR* const g_ChromeImageNames[] = {W("CHROME.EXE"), nullptr};
const WCHAR* const g_EdgeImageNames[] = {W("MSEDGE.EXE"), nullptr};
