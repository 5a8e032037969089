// Where the client's files are and whether trace lines are on: read once, by
// the first log call.
#include <string.h>

#include "contract/contract.h"
#include "support/log.h"
#include "support/text.h"

#define INI_VALUE_UNITS 100

bool IniTurnsTraceOn(const WCHAR* iniPath) {
    WCHAR value[INI_VALUE_UNITS] = {};
    DWORD read = GetPrivateProfileStringW(W("" CLIENT_INI_SECTION), W("" CLIENT_INI_DEBUG_KEY), W("0"), value,
                                          CountOf(value), iniPath);
    return read != 0 && _wtoi(value) > 0;
}

void LoadLogConfig() {
    if (g_LogState.osClass.load() == OS_CLASS_UNKNOWN) {
        OSVERSIONINFOW version;
        memset(&version, 0, sizeof(version));
        version.dwOSVersionInfoSize = sizeof(version);
        if (GetVersionExW(&version)) {
            if (version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
                g_LogState.osClass = version.dwMajorVersion >= 6 ? OS_CLASS_NT6 : OS_CLASS_NT5;
            } else {
                g_LogState.osClass = OS_CLASS_WIN9X;
            }
        }
    }

    WCHAR windowsFolder[LOG_PATH_UNITS] = {};
    WCHAR iniPath[LOG_PATH_UNITS] = {};
    WCHAR dumpFolder[LOG_PATH_UNITS] = {};
    UINT length = GetSystemWindowsDirectoryW(windowsFolder, CountOf(windowsFolder));
    // A folder that did not fit, or whose paths would be cut, is no better
    // than none: a cut path would name some other file.
    bool usable = length != 0 && length < CountOf(windowsFolder) &&
                  StringCchPrintfW(iniPath, CountOf(iniPath), W("%s\\" CLIENT_INI_SUBPATH), windowsFolder) == 0 &&
                  StringCchPrintfW(dumpFolder, CountOf(dumpFolder), W("%s\\" CLIENT_DUMP_SUBPATH), windowsFolder) == 0;
    if (!usable) {
        lstrcpynW(iniPath, W("policy\\stelvo.ini"), CountOf(iniPath));
        lstrcpynW(dumpFolder, g_LogState.osClass.load() == OS_CLASS_NT6 ? W("c:\\users\\public") : W("c:\\"),
                  CountOf(dumpFolder));
    }
    AcquireSRWLockExclusive(&g_LogState.nameLock);
    memcpy(g_LogState.dumpFolder, dumpFolder, sizeof(dumpFolder));
    ReleaseSRWLockExclusive(&g_LogState.nameLock);

    if (!IniTurnsTraceOn(iniPath)) {
        g_LogState.enabled = 0;
    } else {
        g_LogState.enabled = 1;
        _wsetlocale(LC_ALL, W(""));
    }
    g_LogState.loaded = 1;
}

void SetLogName(const WCHAR* name) {
    AcquireSRWLockExclusive(&g_LogState.nameLock);
    if (name != nullptr && name[0] != 0) {
        lstrcpynW(g_LogState.logName, name, CountOf(g_LogState.logName));
    }
    if (g_LogState.logName[0] == 0) {
        WCHAR path[MAX_PATH] = {};
        if (GetModuleFileNameW(nullptr, path, CountOf(path)) != 0) {
            WCHAR drive[_MAX_DRIVE] = {};
            WCHAR folder[_MAX_DIR] = {};
            WCHAR baseName[_MAX_FNAME] = {};
            WCHAR extension[_MAX_EXT] = {};
            _wsplitpath_s(path, drive, CountOf(drive), folder, CountOf(folder), baseName, CountOf(baseName),
                          extension, CountOf(extension));
            memset(g_LogState.logName, 0, sizeof(g_LogState.logName));
            lstrcpynW(g_LogState.logName, baseName, CountOf(g_LogState.logName));
        }
    }
    ReleaseSRWLockExclusive(&g_LogState.nameLock);
}
