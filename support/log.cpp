#include "support/log.h"

#include <string.h>

#include "contract/log_record.h"
#include "support/heap.h"
#include "support/text.h"

LogState g_LogState;

#define LOG_LINE_UNITS 4096
#define LOG_FILE_PATH_UNITS 520
#define LOG_CONVERTED_BYTES 4096
static_assert(LOG_RECORD_TEXT_BYTES + LOG_RECORD_SEPARATOR_BYTES < LOG_CONVERTED_BYTES,
              "a whole record and its terminator fit the conversion buffer");

namespace {

const WCHAR* const kPrefixFormats[] = {
    W("\r\n   [%02d/%02d %02d:%02d:%02d][%04X:%04X] "),
    W("\r\n<A>[%02d/%02d %02d:%02d:%02d][%04X:%04X] "),
    W("\r\n<E>[%02d/%02d %02d:%02d:%02d][%04X:%04X] "),
};

struct BusyScope {
    BusyScope() { g_LogState.busy.fetch_add(1); }
    ~BusyScope() { g_LogState.busy.fetch_sub(1); }
};

struct FileCloser {
    HANDLE file;
    ~FileCloser() {
        BusyScope busy;
        CloseHandle(file);
    }
};

// Converts the line to the ANSI code page, at most LOG_RECORD_TEXT_BYTES
// bytes; a longer line is shortened at a character boundary.
int ConvertLine(const WCHAR* line, char* converted) {
    int units = lstrlenW(line);
    if (units == 0) return 0;
    int n = WideCharToMultiByte(CP_ACP, 0, line, units, converted, LOG_RECORD_TEXT_BYTES, nullptr, nullptr);
    if (n == 0) {
        int low = 0, high = units;  // the longest prefix that fits lies in [low, high]
        while (low < high) {
            int mid = low + (high - low + 1) / 2;
            int need = WideCharToMultiByte(CP_ACP, 0, line, mid, nullptr, 0, nullptr, nullptr);
            if (need > 0 && need <= LOG_RECORD_TEXT_BYTES) {
                low = mid;
            } else {
                high = mid - 1;
            }
        }
        if (low > 0 && line[low - 1] >= 0xD800 && line[low - 1] <= 0xDBFF) --low;
        n = low == 0 ? 0 : WideCharToMultiByte(CP_ACP, 0, line, low, converted, LOG_RECORD_TEXT_BYTES, nullptr, nullptr);
    }
    if (n < 0) n = 0;
    converted[n] = '\0';
    return n;
}

}  // namespace

void DebugLog(int level, const WCHAR* format, ...) {
    if (g_LogState.busy.load() != 0) return;
    if (g_LogState.loaded.load() == 0) {
        int expected = 0;
        // A call that meets another thread reading the configuration is dropped,
        // just as one that meets the busy flag.
        if (!g_LogState.loading.compare_exchange_strong(expected, 1)) return;
        BusyScope busy;
        LoadLogConfig();
    }
    if (g_LogState.enabled.load() == 1 || level != LOG_TRACE) {
        va_list args;
        va_start(args, format);
        WriteLogRecord(level, format, args);
        va_end(args);
    }
}

void WriteLogRecord(int level, const WCHAR* format, va_list args) {
    AcquireSRWLockExclusive(&g_LogState.nameLock);
    bool unnamed = g_LogState.logName[0] == 0;
    ReleaseSRWLockExclusive(&g_LogState.nameLock);
    if (unnamed) SetLogName(nullptr);

    HeapArray<WCHAR> path = AllocZeroed<WCHAR>(LOG_FILE_PATH_UNITS);
    HeapArray<WCHAR> line = AllocZeroed<WCHAR>(LOG_LINE_UNITS);
    HeapArray<WCHAR> message = AllocZeroed<WCHAR>(LOG_LINE_UNITS);
    HeapArray<char> converted = AllocZeroed<char>(LOG_CONVERTED_BYTES);
    if (!path || !line || !message || !converted) return;

    SYSTEMTIME now;
    GetLocalTime(&now);
    const WCHAR* prefix = level == LOG_ALERT || level == LOG_ERROR ? kPrefixFormats[level] : kPrefixFormats[0];
    StringCchPrintfW(line.get(), LOG_LINE_UNITS, prefix, now.wMonth, now.wDay, now.wHour, now.wMinute,
                     now.wSecond, GetCurrentProcessId(), GetCurrentThreadId());
    StringCchVPrintfW(message.get(), LOG_LINE_UNITS, format != nullptr ? format : W(""), args);
    StringCchCatW(line.get(), LOG_LINE_UNITS, message.get());

    AcquireSRWLockExclusive(&g_LogState.nameLock);
    StringCchPrintfW(path.get(), LOG_FILE_PATH_UNITS, W("%s\\%04d%02d%02d_%s.log"), g_LogState.dumpFolder,
                     now.wYear, now.wMonth, now.wDay, g_LogState.logName);
    ReleaseSRWLockExclusive(&g_LogState.nameLock);

    HANDLE file;
    {
        BusyScope busy;
        // Append access only: every write lands at the end, whoever else appends.
        file = CreateFileW(path.get(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (file == INVALID_HANDLE_VALUE) return;
    FileCloser closer{file};

    int n = ConvertLine(line.get(), converted.get());
    if (n == 0) return;
    for (int i = 0; i < n; ++i) {
        converted[i] = static_cast<char>(ScrambleLogByte(static_cast<unsigned char>(converted[i]), i));
    }
    StringCchCopyA(converted.get() + n, LOG_CONVERTED_BYTES - n, LOG_RECORD_SEPARATOR);

    AcquireSRWLockExclusive(&g_LogState.appendLock);
    SetFilePointer(file, 0, nullptr, FILE_END);
    DWORD written = 0;
    WriteFile(file, converted.get(), static_cast<DWORD>(n + LOG_RECORD_SEPARATOR_BYTES), &written, nullptr);
    ReleaseSRWLockExclusive(&g_LogState.appendLock);
}

void ResetLogState() {
    g_LogState.osClass = 0;
    g_LogState.enabled = 0;
    g_LogState.loaded = 0;
    g_LogState.busy = 0;
    g_LogState.loading = 0;
    AcquireSRWLockExclusive(&g_LogState.nameLock);
    memset(g_LogState.logName, 0, sizeof(g_LogState.logName));
    memset(g_LogState.dumpFolder, 0, sizeof(g_LogState.dumpFolder));
    ReleaseSRWLockExclusive(&g_LogState.nameLock);
}
