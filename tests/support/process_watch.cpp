#include "tests/support/process_watch.h"

#if defined(_WIN32)

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstddef>
#include <vector>

namespace {

bool Alive(intptr_t process) {
    return process != -1 && WaitForSingleObject(reinterpret_cast<HANDLE>(process), 0) == WAIT_TIMEOUT;
}

// Not every child is the program the parent started: the first window of a
// Wine session starts the desktop (explorer.exe) as a child of the process
// that opened it, and a console program may get a console host.
bool SystemHelper(const WCHAR* image) {
    return lstrcmpiW(image, L"explorer.exe") == 0 || lstrcmpiW(image, L"conhost.exe") == 0;
}

// When the process started, or 0.
uint64_t CreationTime(uint32_t pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) return 0;
    FILETIME created, exited, kernel, user;
    const bool ok = GetProcessTimes(process, &created, &exited, &kernel, &user) != FALSE;
    CloseHandle(process);
    return ok ? (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime : 0;
}

// A parent id is only a number: the parent may have ended and its id gone
// to a newer process (Wine reuses ids at once, and its service processes
// name long-gone parents). A child is never older than its parent
// (Microsoft Learn, "PROCESSENTRY32W": th32ParentProcessID).
uint32_t FirstChildOf(uint32_t parent) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    const uint64_t parentCreated = CreationTime(parent);
    uint32_t found = 0;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more && found == 0; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ParentProcessID == parent && entry.th32ProcessID != parent && !SystemHelper(entry.szExeFile) &&
            CreationTime(entry.th32ProcessID) >= parentCreated) {
            found = entry.th32ProcessID;
        }
    }
    CloseHandle(snapshot);
    return found;
}

// The system's handle table, as NtQuerySystemInformation gives it to a
// 32-bit process.
struct HandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    PVOID object;
    ACCESS_MASK access;
};
struct HandleTable {
    ULONG count;
    HandleEntry entries[1];
};
const ULONG kSystemHandleInformation = 16;
const LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

long CountInSystemTable(uint32_t pid) {
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    static Query query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return -1;
    std::vector<unsigned char> buffer(1 << 16);
    for (;;) {
        ULONG needed = 0;
        LONG status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == kInfoLengthMismatch && buffer.size() < (64u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (status != 0) return -1;
        break;
    }
    const HandleTable* table = reinterpret_cast<const HandleTable*>(buffer.data());
    const size_t room = (buffer.size() - offsetof(HandleTable, entries)) / sizeof(HandleEntry);
    long count = 0;
    for (ULONG i = 0; i < table->count && i < room; ++i) {
        if (table->entries[i].ownerPid == pid) ++count;
    }
    return count;
}

}  // namespace

WatchedProcess::~WatchedProcess() {
    if (process_ != -1) CloseHandle(reinterpret_cast<HANDLE>(process_));
}

bool WatchedProcess::Open(uint32_t pid) {
    HANDLE process =
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
    if (process == nullptr) return false;
    if (process_ != -1) CloseHandle(reinterpret_cast<HANDLE>(process_));
    pid_ = pid;
    process_ = reinterpret_cast<intptr_t>(process);
    return true;
}

bool WatchedProcess::FindChildOf(uint32_t parent, int timeoutMs) {
    DWORD start = GetTickCount();
    do {
        uint32_t pid = FirstChildOf(parent);
        if (pid != 0 && Open(pid)) return true;
        Sleep(10);
    } while (GetTickCount() - start < static_cast<DWORD>(timeoutMs));
    return false;
}

bool WatchedProcess::Kill() {
    return process_ != -1 && TerminateProcess(reinterpret_cast<HANDLE>(process_), 9);
}

long WatchedProcess::ResidentKiB() const {
    if (!Alive(process_)) return -1;
    PROCESS_MEMORY_COUNTERS counters;
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(reinterpret_cast<HANDLE>(process_), &counters, sizeof(counters))) return -1;
    return static_cast<long>(counters.WorkingSetSize / 1024);
}

long WatchedProcess::OpenHandles() const {
    if (!Alive(process_)) return -1;
    // Wine answers GetProcessHandleCount with 0 for every process; no live
    // process has none, so 0 sends us to the system's table instead.
    DWORD count = 0;
    if (GetProcessHandleCount(reinterpret_cast<HANDLE>(process_), &count) && count != 0) return count;
    return CountInSystemTable(pid_);
}

const char* WatchedProcess::ResidentName() {
    return "WS KiB";
}

const char* WatchedProcess::HandlesName() {
    return "handles";
}

#else  // POSIX

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

#include "tests/support/proc_table.h"

WatchedProcess::~WatchedProcess() = default;

bool WatchedProcess::FindChildOf(uint32_t parent, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        for (uint32_t pid : ProcessIds()) {
            if (ParentOf(pid) == parent && Open(pid)) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

bool WatchedProcess::Open(uint32_t pid) {
    if (StatusKiB(pid, "VmRSS:") < 0) return false;
    pid_ = pid;
    return true;
}

bool WatchedProcess::Kill() { return pid_ != 0 && ::kill(static_cast<pid_t>(pid_), SIGKILL) == 0; }

long WatchedProcess::ResidentKiB() const {
    return StatusKiB(pid_, "VmRSS:");
}

long WatchedProcess::OpenHandles() const {
    std::error_code ec;
    long count = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        ++count;
    }
    return ec ? -1 : count;
}

const char* WatchedProcess::ResidentName() {
    return "VmRSS KiB";
}

const char* WatchedProcess::HandlesName() {
    return "fds";
}

#endif
