// The ToolHelp process snapshot, kernel32 resolution by name, and process
// creation times, read from /proc.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace {

// The fields of /proc/<pid>/stat that we use.
struct StatLine {
    uint32_t pid = 0;
    uint32_t ppid = 0;
    std::string comm;
    uint64_t utime = 0;      // clock ticks
    uint64_t stime = 0;      // clock ticks
    uint32_t threads = 0;
    uint64_t starttime = 0;  // clock ticks since boot
};

// Reads a small /proc file whole. False when it can't be opened or read,
// which for a process that has just exited is ENOENT or ESRCH.
bool ReadProcFile(const char* path, std::string* out) {
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    out->clear();
    char chunk[1024];
    for (;;) {
        ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ::close(fd);
            return false;
        }
        if (got == 0) break;
        out->append(chunk, static_cast<size_t>(got));
    }
    ::close(fd);
    return true;
}

bool ParseUnsigned(const char*& p, uint64_t* value) {
    while (*p == ' ') ++p;
    if (*p < '0' || *p > '9') return false;
    uint64_t v = 0;
    while (*p >= '0' && *p <= '9') v = v * 10 + static_cast<uint64_t>(*p++ - '0');
    *value = v;
    return true;
}

// Skips one space-separated field, which may be signed.
bool SkipField(const char*& p) {
    while (*p == ' ') ++p;
    if (*p == 0) return false;
    while (*p != ' ' && *p != 0) ++p;
    return true;
}

// "pid (comm) state ppid ...": the name may hold anything, ')' and spaces
// included, so it ends at the last ')' of the line. text is terminated.
bool ParseStat(const char* text, size_t size, StatLine* line) {
    const char* open = static_cast<const char*>(memchr(text, '(', size));
    const char* close = nullptr;
    for (size_t i = size; i > 0; --i) {
        if (text[i - 1] == ')') {
            close = text + i - 1;
            break;
        }
    }
    if (open == nullptr || close == nullptr || close < open) return false;
    const char* p = text;
    uint64_t value = 0;
    if (!ParseUnsigned(p, &value) || value > 0xFFFFFFFFu) return false;
    line->pid = static_cast<uint32_t>(value);
    line->comm.assign(open + 1, static_cast<size_t>(close - open - 1));

    // Fields after the name, counted from 3 (state) as proc(5) does.
    p = close + 1;
    if (!SkipField(p)) return false;  // 3 state
    if (!ParseUnsigned(p, &value)) return false;  // 4 ppid
    line->ppid = static_cast<uint32_t>(value);
    for (int field = 5; field <= 13; ++field) {
        if (!SkipField(p)) return false;
    }
    if (!ParseUnsigned(p, &line->utime)) return false;  // 14
    if (!ParseUnsigned(p, &line->stime)) return false;  // 15
    for (int field = 16; field <= 19; ++field) {
        if (!SkipField(p)) return false;
    }
    if (!ParseUnsigned(p, &value)) return false;  // 20 num_threads
    line->threads = static_cast<uint32_t>(value);
    if (!SkipField(p)) return false;  // 21 itrealvalue
    return ParseUnsigned(p, &line->starttime);  // 22
}

bool ParseStat(const std::string& text, StatLine* line) { return ParseStat(text.c_str(), text.size(), line); }

bool ReadStat(uint32_t pid, StatLine* line);

// One /proc/<pid>/stat read whole into a buffer on the stack, through the
// descriptor of /proc: a snapshot reads one such file per process.
bool ReadStatAt(int procFd, const char* pidName, StatLine* line) {
    char path[32];
    int n = snprintf(path, sizeof path, "%s/stat", pidName);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof path) return false;
    int fd;
    do {
        fd = ::openat(procFd, path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    // The kernel makes the whole line at the first read: one read shorter
    // than the room left holds all of it, with no second read to see the end.
    char text[1024];
    ssize_t got;
    do {
        got = ::read(fd, text, sizeof text - 1);
    } while (got < 0 && errno == EINTR);
    ::close(fd);
    if (got <= 0) return false;
    if (static_cast<size_t>(got) == sizeof text - 1) {
        // A line this long is read again by the general reader.
        return ReadStat(static_cast<uint32_t>(strtoul(pidName, nullptr, 10)), line);
    }
    text[got] = 0;
    return ParseStat(text, static_cast<size_t>(got), line);
}

bool ReadStat(uint32_t pid, StatLine* line) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%u/stat", pid);
    std::string text;
    return ReadProcFile(path, &text) && ParseStat(text, line);
}

// A process name as UTF-16. Names are bytes; one that isn't UTF-8 is taken
// byte by byte (Latin-1) rather than lost.
void NameToWide(const std::string& name, WCHAR* out, size_t units) {
    size_t n = 0;
    // Most names are ASCII, the same units in either reading.
    bool ascii = true;
    for (unsigned char c : name) ascii = ascii && c < 0x80;
    if (ascii) {
        for (; n + 1 < units && n < name.size(); ++n) out[n] = static_cast<unsigned char>(name[n]);
        out[n] = 0;
        return;
    }
    int wide = name.empty() ? 0
                            : MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(),
                                                  static_cast<int>(name.size()), nullptr, 0);
    if (wide > 0) {
        std::u16string text(static_cast<size_t>(wide), u'\0');
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(), static_cast<int>(name.size()),
                            &text[0], wide);
        for (; n + 1 < units && n < text.size(); ++n) out[n] = text[n];
    } else {
        for (; n + 1 < units && n < name.size(); ++n) out[n] = static_cast<unsigned char>(name[n]);
    }
    out[n] = 0;
}

struct Snapshot : pal::Object {
    std::vector<PROCESSENTRY32W> entries;
    size_t next = 0;
};

Snapshot* AsSnapshot(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
    return dynamic_cast<Snapshot*>(static_cast<pal::Object*>(h));
}

// Reads every process of /proc into snapshot. Processes that exit meanwhile
// are simply left out.
bool FillSnapshot(Snapshot* snapshot) {
    DIR* dir = ::opendir("/proc");
    if (dir == nullptr) {
        SetLastError(pal::ErrorFromErrno(errno));
        return false;
    }
    snapshot->entries.reserve(512);
    for (;;) {
        errno = 0;
        struct dirent* entry = ::readdir(dir);
        if (entry == nullptr) break;
        const char* name = entry->d_name;
        if (*name < '1' || *name > '9') continue;
        const char* p = name;
        while (*p >= '0' && *p <= '9') ++p;
        if (*p != 0) continue;
        StatLine line;
        if (!ReadStatAt(::dirfd(dir), name, &line)) continue;
        PROCESSENTRY32W record;
        memset(&record, 0, sizeof record);
        record.dwSize = sizeof record;
        record.th32ProcessID = line.pid;
        record.th32ParentProcessID = line.ppid;
        record.cntThreads = line.threads;
        record.pcPriClassBase = 8;  // normal priority class
        NameToWide(line.comm, record.szExeFile, MAX_PATH);
        snapshot->entries.push_back(record);
    }
    int err = errno;
    ::closedir(dir);
    if (err != 0) {
        SetLastError(pal::ErrorFromErrno(err));
        return false;
    }
    return true;
}

BOOL NextEntry(HANDLE hSnapshot, LPPROCESSENTRY32W lppe, bool first) {
    Snapshot* snapshot = AsSnapshot(hSnapshot);
    if (snapshot == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lppe == nullptr || lppe->dwSize < sizeof(PROCESSENTRY32W)) {
        SetLastError(ERROR_BAD_LENGTH);
        return FALSE;
    }
    if (first) snapshot->next = 0;
    if (snapshot->next >= snapshot->entries.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    // The caller's dwSize stays as the caller set it.
    DWORD size = lppe->dwSize;
    *lppe = snapshot->entries[snapshot->next++];
    lppe->dwSize = size;
    return TRUE;
}

// A handle of OpenProcess: the process as it was when opened, so that a
// reused pid can't change the answers.
struct Process : pal::Object {
    uint32_t pid = 0;
    uint64_t starttime = 0;
};

Process* AsProcess(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
    return dynamic_cast<Process*>(static_cast<pal::Object*>(h));
}

// Boot time in seconds since 1970, from /proc/stat; read once so that every
// creation time of this process uses the same origin.
bool BootTime(uint64_t* seconds) {
    static const uint64_t bootTime = [] {
        std::string text;
        if (!ReadProcFile("/proc/stat", &text)) return uint64_t{0};
        size_t at = text.find("\nbtime ");
        if (at == std::string::npos) return uint64_t{0};
        const char* p = text.c_str() + at + 7;
        uint64_t value = 0;
        return ParseUnsigned(p, &value) ? value : uint64_t{0};
    }();
    *seconds = bootTime;
    return bootTime != 0;
}

// 100-ns units from 1601-01-01 to 1970-01-01.
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

FILETIME ToFileTime(uint64_t value) {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return ft;
}

uint64_t TicksTo100ns(uint64_t ticks) {
    long perSecond = ::sysconf(_SC_CLK_TCK);
    if (perSecond <= 0) perSecond = 100;
    return ticks / static_cast<uint64_t>(perSecond) * 10000000ull +
           ticks % static_cast<uint64_t>(perSecond) * 10000000ull / static_cast<uint64_t>(perSecond);
}

struct Kernel32Module {
    int unused;
};
Kernel32Module g_kernel32;

HMODULE Kernel32() { return reinterpret_cast<HMODULE>(&g_kernel32); }

// Through void (*)(), the one function type any other converts to quietly.
template <typename F>
FARPROC AsFarProc(F* f) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

HANDLE CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID) {
    auto* snapshot = new (std::nothrow) Snapshot;
    if (snapshot == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    // Heaps, threads and modules are not listed here: only processes.
    if ((dwFlags & TH32CS_SNAPPROCESS) != 0) {
        bool filled = false;
        try {
            filled = FillSnapshot(snapshot);
        } catch (const std::bad_alloc&) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        }
        if (!filled) {
            delete snapshot;
            return INVALID_HANDLE_VALUE;
        }
    }
    return snapshot;
}

BOOL Process32FirstW(HANDLE hSnapshot, LPPROCESSENTRY32W lppe) { return NextEntry(hSnapshot, lppe, true); }

BOOL Process32NextW(HANDLE hSnapshot, LPPROCESSENTRY32W lppe) { return NextEntry(hSnapshot, lppe, false); }

HMODULE LoadLibraryW(LPCWSTR lpLibFileName) {
    if (lpLibFileName != nullptr && _wcsicmp(lpLibFileName, W("kernel32.dll")) == 0) return Kernel32();
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (hModule != Kernel32()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // Small values are ordinals, which we don't export.
    if (reinterpret_cast<uintptr_t>(lpProcName) > 0xFFFFu) {
        struct Export {
            const char* name;
            FARPROC proc;
        };
        static const Export exports[] = {
            {"CreateToolhelp32Snapshot", AsFarProc(&CreateToolhelp32Snapshot)},
            {"Process32FirstW", AsFarProc(&Process32FirstW)},
            {"Process32NextW", AsFarProc(&Process32NextW)},
            {"OpenProcess", AsFarProc(&OpenProcess)},
            {"GetProcessTimes", AsFarProc(&GetProcessTimes)},
        };
        for (const Export& e : exports) {
            if (strcmp(e.name, lpProcName) == 0) return e.proc;
        }
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

BOOL FreeLibrary(HMODULE hLibModule) {
    // kernel32 never unloads, however often it is freed.
    if (hLibModule == Kernel32()) return TRUE;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
}

HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId) {
    StatLine line;
    // A thread's id names no process, though /proc answers for it too.
    if (dwProcessId == 0 || !ReadStat(dwProcessId, &line)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    char path[64];
    snprintf(path, sizeof path, "/proc/%u/status", dwProcessId);
    std::string status;
    if (ReadProcFile(path, &status)) {
        size_t at = status.find("\nTgid:");
        if (at != std::string::npos) {
            const char* p = status.c_str() + at + 6;
            while (*p == '\t') ++p;
            uint64_t tgid = 0;
            if (ParseUnsigned(p, &tgid) && tgid != dwProcessId) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return nullptr;
            }
        }
    }
    auto* process = new (std::nothrow) Process;
    if (process == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    process->pid = dwProcessId;
    process->starttime = line.starttime;
    return process;
}

BOOL GetProcessTimes(HANDLE hProcess, LPFILETIME lpCreationTime, LPFILETIME lpExitTime, LPFILETIME lpKernelTime,
                     LPFILETIME lpUserTime) {
    Process* process = AsProcess(hProcess);
    if (process == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpCreationTime == nullptr || lpExitTime == nullptr || lpKernelTime == nullptr || lpUserTime == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint64_t boot = 0;
    if (!BootTime(&boot)) {
        SetLastError(ERROR_READ_FAULT);
        return FALSE;
    }
    *lpCreationTime = ToFileTime(kUnixEpochAsFileTime + boot * 10000000ull + TicksTo100ns(process->starttime));
    *lpExitTime = ToFileTime(0);
    // CPU times only while the pid is still the process we opened.
    StatLine line;
    bool same = ReadStat(process->pid, &line) && line.starttime == process->starttime;
    *lpKernelTime = ToFileTime(same ? TicksTo100ns(line.stime) : 0);
    *lpUserTime = ToFileTime(same ? TicksTo100ns(line.utime) : 0);
    return TRUE;
}
