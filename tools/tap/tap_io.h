// The tap's pipes, files and child process, one set of calls per platform.
// Unlike ChildProcess (tools/common/child_process.h), reads block with no time-out,
// the host gets the tap's own command line untouched, and its exit status is
// kept whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

#if defined(_WIN32)

typedef HANDLE TapHandle;
#define TAP_NO_HANDLE INVALID_HANDLE_VALUE
typedef std::wstring NativeText;

// Windows passes one command line: the tap's, less its program name.
struct TapArguments {
    std::wstring tail;
};

struct HostChild {
    HANDLE process = nullptr;
    DWORD pid = 0;
    HANDLE input = INVALID_HANDLE_VALUE;   // our end of the host's standard input
    HANDLE output = INVALID_HANDLE_VALUE;  // our end of the host's standard output
};

#else

typedef int TapHandle;
#define TAP_NO_HANDLE (-1)
typedef std::string NativeText;

struct TapArguments {
    std::vector<std::string> args;  // argv[1..]
};

struct HostChild {
    int pid = 0;
    int input = -1;
    int output = -1;
};

#endif

// How the host ended.
struct HostEnd {
    uint32_t status = 0;  // what the tap exits with
    int signal = 0;       // POSIX: the signal that ended it, if one did
};

// Standard handles the way the tap uses them: raw, in binary, and not handed
// to the host by accident. Call first.
void PrepareStandardHandles();
TapHandle StandardInput();
TapHandle StandardOutput();
// Our standard output ends for the browser (the handle number stays taken).
void CloseStandardOutput();

// Bytes read (> 0), or 0 at the end of the input or on an error.
long ReadSome(TapHandle handle, void* buffer, size_t size);
// As ReadSome, but -1 once StopReads has been called.
long ReadSomeUntilStopped(TapHandle handle, void* buffer, size_t size);
// Wakes ReadSomeUntilStopped; false where a blocked read cannot be woken
// (Windows), and only the end of the process ends it.
bool StopReads();
bool WriteAll(TapHandle handle, const void* data, size_t size);
void CloseTapHandle(TapHandle* handle);

TapArguments GetTapArguments(int argc, char** argv);
// The host: ORVENDEL_TAP_HOST, else orvendel_host(.exe) beside the tap.
NativeText HostPath();
// The record file: ORVENDEL_TAP_LOG, else orvendel-tap-<YYYYMMDD-HHMMSS>-<pid>.txt
// in the temporary folder.
NativeText RecordPath();
// Opened for appending, or TAP_NO_HANDLE with the reason in *why.
TapHandle OpenRecord(const NativeText& path, std::string* why);

// Starts the host with the arguments on two new pipes; standard error is ours.
bool StartHost(const NativeText& path, const TapArguments& arguments, HostChild* host,
               std::string* why);
HostEnd WaitHost(HostChild* host);
uint32_t HostPid(const HostChild& host);
// Ends the tap with the host's status, as a parent sees it.
[[noreturn]] void ExitTap(uint32_t status);

std::string ToUtf8(const NativeText& text);
// The arguments as the record shows them.
std::string DescribeArguments(const TapArguments& arguments);
