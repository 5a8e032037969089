// The debug log: one scrambled record per call, appended to the day's file
// of the current log name in the client's dump folder.
#pragma once

#include <stdarg.h>

#include <atomic>

#include "platform/platform.h"

#define LOG_TRACE 0
#define LOG_ALERT 1
#define LOG_ERROR 2

#define LOG_NAME_UNITS 260
#define LOG_PATH_UNITS 260

#define OS_CLASS_UNKNOWN 0
#define OS_CLASS_WIN9X 1
#define OS_CLASS_NT5 2
#define OS_CLASS_NT6 3

struct LogState {
    std::atomic<int> osClass{0};
    std::atomic<int> enabled{0};
    std::atomic<int> loaded{0};
    // Calls that meet busy set are dropped. It counts the calls inside the
    // configuration read, a file open or a file close, so that one thread
    // clearing it never unmarks another's step.
    std::atomic<int> busy{0};
    std::atomic<int> loading{0};  // one thread reads the configuration
    WCHAR logName[LOG_NAME_UNITS] = {};
    WCHAR dumpFolder[LOG_PATH_UNITS] = {};
    SRWLOCK nameLock = SRWLOCK_INIT;    // guards logName against SetLogName
    SRWLOCK appendLock = SRWLOCK_INIT;  // one positioning and write at a time
};

extern LogState g_LogState;

void DebugLog(int level, const WCHAR* format, ...);
void WriteLogRecord(int level, const WCHAR* format, va_list args);

void LoadLogConfig();
// Whether the ini file turns trace lines on: its Debug key a number above 0.
bool IniTurnsTraceOn(const WCHAR* iniPath);
void SetLogName(const WCHAR* name);

// Back to the state at process start (tests only).
void ResetLogState();
