#include "tools/tap/tap_io.h"

#include "tools/common/launch.h"
#include "tools/common/wide.h"

namespace {

// Large enough that a burst of replies never waits on the tap.
constexpr DWORD kPipeBytes = 64 * 1024;

std::wstring EnvironmentValue(const WCHAR* name) {
    DWORD units = GetEnvironmentVariableW(name, nullptr, 0);
    if (units == 0) return std::wstring();
    std::wstring value(units, L'\0');
    DWORD got = GetEnvironmentVariableW(name, &value[0], units);
    if (got == 0 || got >= units) return std::wstring();
    value.resize(got);
    return value;
}

std::string ErrorText(DWORD code) {
    std::string text = "error " + std::to_string(code);
    WCHAR* message = nullptr;
    DWORD units = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, reinterpret_cast<LPWSTR>(&message), 0, nullptr);
    if (units > 0 && message != nullptr) {
        std::wstring wide(message, units);
        while (!wide.empty() && (wide.back() == L'\r' || wide.back() == L'\n' || wide.back() == L' ')) {
            wide.pop_back();
        }
        text += ": " + ToUtf8(wide);
    }
    if (message != nullptr) LocalFree(message);
    return text;
}

}  // namespace

void PrepareStandardHandles() {
    // The host inherits every inheritable handle of ours: the browser's pipes
    // must not be among them, or the browser would wait on the host to see
    // our output end. Console handles may refuse; they do no harm.
    SetHandleInformation(GetStdHandle(STD_INPUT_HANDLE), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(GetStdHandle(STD_OUTPUT_HANDLE), HANDLE_FLAG_INHERIT, 0);
}

// ReadFile and WriteFile on the raw handles: no C runtime stream is involved,
// so nothing translates CR LF or stops at Ctrl-Z.
TapHandle StandardInput() { return GetStdHandle(STD_INPUT_HANDLE); }
TapHandle StandardOutput() { return GetStdHandle(STD_OUTPUT_HANDLE); }

void CloseStandardOutput() {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output != nullptr && output != INVALID_HANDLE_VALUE) {
        SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
        CloseHandle(output);
    }
}

long ReadSome(TapHandle handle, void* buffer, size_t size) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return 0;
    DWORD want = size > 0x10000000u ? 0x10000000u : static_cast<DWORD>(size);
    DWORD got = 0;
    // A pipe whose writer has gone fails with ERROR_BROKEN_PIPE: the end.
    if (!ReadFile(handle, buffer, want, &got, nullptr)) return 0;
    return static_cast<long>(got);
}

long ReadSomeUntilStopped(TapHandle handle, void* buffer, size_t size) {
    return ReadSome(handle, buffer, size);
}

bool StopReads() { return false; }

bool WriteAll(TapHandle handle, const void* data, size_t size) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        DWORD chunk = size > 0x10000000u ? 0x10000000u : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(handle, bytes, chunk, &written, nullptr)) return false;
        bytes += written;
        size -= written;
    }
    return true;
}

void CloseTapHandle(TapHandle* handle) {
    if (*handle != INVALID_HANDLE_VALUE && *handle != nullptr) CloseHandle(*handle);
    *handle = INVALID_HANDLE_VALUE;
}

TapArguments GetTapArguments(int, char**) {
    TapArguments arguments;
    arguments.tail = CommandLineTail(GetCommandLineW());
    return arguments;
}

NativeText HostPath() {
    std::wstring path = EnvironmentValue(L"ORVENDEL_TAP_HOST");
    if (!path.empty()) return path;
    std::wstring self(32768, L'\0');
    DWORD units = GetModuleFileNameW(nullptr, &self[0], static_cast<DWORD>(self.size()));
    if (units == 0 || units >= self.size()) return L"orvendel_host.exe";
    self.resize(units);
    size_t separator = self.find_last_of(L"\\/");
    return (separator == std::wstring::npos ? std::wstring() : self.substr(0, separator + 1)) +
           L"orvendel_host.exe";
}

NativeText RecordPath() {
    std::wstring path = EnvironmentValue(L"ORVENDEL_TAP_LOG");
    if (!path.empty()) return path;
    WCHAR folder[MAX_PATH + 1] = {};
    DWORD units = GetTempPathW(MAX_PATH + 1, folder);
    std::wstring name = units > 0 && units <= MAX_PATH ? std::wstring(folder, units) : std::wstring();
    SYSTEMTIME now;
    GetLocalTime(&now);
    WCHAR file[96];
    _snwprintf(file, 96, L"orvendel-tap-%04u%02u%02u-%02u%02u%02u-%lu.txt", now.wYear, now.wMonth, now.wDay,
               now.wHour, now.wMinute, now.wSecond, GetCurrentProcessId());
    file[95] = 0;
    return name + file;
}

TapHandle OpenRecord(const NativeText& path, std::string* why) {
    // FILE_APPEND_DATA alone: every write lands at the end, after any other
    // writer's. Shared, so that the record can be read while it grows.
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) *why = ErrorText(GetLastError());
    return file;
}

bool StartHost(const NativeText& path, const TapArguments& arguments, HostChild* host,
               std::string* why) {
    SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE childIn = nullptr, ourIn = nullptr, ourOut = nullptr, childOut = nullptr;
    if (!CreatePipe(&childIn, &ourIn, &inherit, kPipeBytes)) {
        *why = "CreatePipe: " + ErrorText(GetLastError());
        return false;
    }
    if (!CreatePipe(&ourOut, &childOut, &inherit, kPipeBytes)) {
        *why = "CreatePipe: " + ErrorText(GetLastError());
        CloseHandle(childIn);
        CloseHandle(ourIn);
        return false;
    }
    SetHandleInformation(ourIn, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(ourOut, HANDLE_FLAG_INHERIT, 0);
    // Our standard error may not be inheritable; a copy is.
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    HANDLE childErr = InheritableStdHandle(STD_ERROR_HANDLE);

    // A path holds no quote, so quoting it needs no escapes; the arguments
    // go on exactly as the browser wrote them.
    std::wstring line = L"\"" + path + L"\"";
    if (!arguments.tail.empty()) line += L" " + arguments.tail;
    std::vector<WCHAR> writable(line.begin(), line.end());
    writable.push_back(0);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = childOut;
    startup.hStdError = childErr;
    PROCESS_INFORMATION info = {};
    BOOL started = CreateProcessW(path.c_str(), writable.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &info);
    DWORD error = GetLastError();
    // The host's ends must go, or its output would never end for us.
    CloseHandle(childIn);
    CloseHandle(childOut);
    if (childErr != err) CloseHandle(childErr);
    if (!started) {
        CloseHandle(ourIn);
        CloseHandle(ourOut);
        *why = ErrorText(error);
        return false;
    }
    CloseHandle(info.hThread);
    host->process = info.hProcess;
    host->pid = info.dwProcessId;
    host->input = ourIn;
    host->output = ourOut;
    return true;
}

HostEnd WaitHost(HostChild* host) {
    HostEnd end;
    DWORD code = 125;
    if (WaitForSingleObject(host->process, INFINITE) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(host->process, &code)) {
        code = 125;
    }
    end.status = code;
    return end;
}

uint32_t HostPid(const HostChild& host) { return host.pid; }

void ExitTap(uint32_t status) {
    // The whole 32-bit code: a host's -1 reaches the browser as 0xFFFFFFFF.
    // ExitProcess also ends a thread still blocked on our standard input.
    ExitProcess(status);
}

std::string ToUtf8(const NativeText& text) { return Utf8(text.data(), text.size()); }

std::string DescribeArguments(const TapArguments& arguments) {
    return arguments.tail.empty() ? std::string("(none)") : ToUtf8(arguments.tail);
}
