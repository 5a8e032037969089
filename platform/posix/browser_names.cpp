#include "platform/platform.h"

// Chromium on Linux starts the host from its browser process, named after
// the binary.
const WCHAR* const g_ChromeImageNames[] = {W("chrome"), W("chromium"), nullptr};
const WCHAR* const g_EdgeImageNames[] = {W("msedge"), nullptr};
