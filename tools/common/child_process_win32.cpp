#include "tools/common/child_process.h"

#include "platform/platform.h"
#include "tools/common/wide.h"

namespace {

// Handle inheritance and the environment are process-wide: two Starts at
// once could hand one child the other's pipe ends or variables.
SRWLOCK g_startLock = SRWLOCK_INIT;

HANDLE AsHandle(intptr_t value) { return reinterpret_cast<HANDLE>(value); }
intptr_t AsValue(HANDLE handle) { return reinterpret_cast<intptr_t>(handle); }

void CloseSlot(intptr_t* slot) {
    if (*slot != -1) {
        CloseHandle(AsHandle(*slot));
        *slot = -1;
    }
}

// Quotes one argument so that the C runtime's argv parser gives it back unchanged.
void AppendQuoted(const std::wstring& arg, std::wstring* line) {
    if (!line->empty()) line->push_back(L' ');
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line->append(arg);
        return;
    }
    line->push_back(L'"');
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            line->append(backslashes * 2 + 1, L'\\');
        } else {
            line->append(backslashes, L'\\');
        }
        backslashes = 0;
        line->push_back(c);
    }
    line->append(backslashes * 2, L'\\');
    line->push_back(L'"');
}

struct SavedVariable {
    std::wstring name;
    bool present = false;
    std::wstring value;
};

SavedVariable SaveVariable(const std::wstring& name) {
    SavedVariable saved;
    saved.name = name;
    DWORD units = GetEnvironmentVariableW(name.c_str(), nullptr, 0);
    if (units == 0) return saved;
    std::wstring value(units, L'\0');
    DWORD got = GetEnvironmentVariableW(name.c_str(), &value[0], units);
    if (got >= units) return saved;  // changed under us; treat as absent
    value.resize(got);
    saved.present = true;
    saved.value = value;
    return saved;
}

std::string LastErrorText(const std::string& what) {
    return what + ": error " + std::to_string(GetLastError());
}

}  // namespace

ChildProcess::~ChildProcess() { Reset(); }

void ChildProcess::Reset() {
    CloseSlot(&input_);
    Kill();
    CloseSlot(&output_);
    CloseSlot(&process_);
    pid_ = 0;
    exited_ = false;
    status_ = 0;
}

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::pair<std::string, std::string>>& env,
                         std::string* error) {
    if (process_ != -1) {
        if (error != nullptr) *error = "Start: already started";
        return false;
    }
    std::wstring commandLine;
    AppendQuoted(Wide(program), &commandLine);
    for (const auto& arg : args) AppendQuoted(Wide(arg), &commandLine);
    std::wstring applicationName = Wide(program);

    AcquireSRWLockExclusive(&g_startLock);

    SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE childIn = nullptr, ourIn = nullptr, ourOut = nullptr, childOut = nullptr;
    HANDLE childErr = nullptr;
    std::string failure;
    if (!CreatePipe(&childIn, &ourIn, &inherit, 0)) {
        failure = LastErrorText("CreatePipe");
    } else if (!CreatePipe(&ourOut, &childOut, &inherit, 0)) {
        failure = LastErrorText("CreatePipe");
    } else if (!SetHandleInformation(ourIn, HANDLE_FLAG_INHERIT, 0) ||
               !SetHandleInformation(ourOut, HANDLE_FLAG_INHERIT, 0)) {
        failure = LastErrorText("SetHandleInformation");
    }

    if (failure.empty() && !errorFile_.empty()) {
        childErr = CreateFileW(Wide(errorFile_).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (childErr == INVALID_HANDLE_VALUE) {
            childErr = nullptr;
            failure = LastErrorText("CreateFile " + errorFile_);
        }
    }

    PROCESS_INFORMATION info = {};
    if (failure.empty()) {
        // Our standard error may not be inheritable; an inheritable copy is.
        HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
        if (errorFile_.empty() && err != nullptr && err != INVALID_HANDLE_VALUE &&
            !DuplicateHandle(GetCurrentProcess(), err, GetCurrentProcess(), &childErr, 0, TRUE,
                             DUPLICATE_SAME_ACCESS)) {
            childErr = nullptr;
        }

        std::vector<SavedVariable> saved;
        for (const auto& var : env) {
            std::wstring name = Wide(var.first);
            saved.push_back(SaveVariable(name));
            SetEnvironmentVariableW(name.c_str(), Wide(var.second).c_str());
        }

        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = childIn;
        startup.hStdOutput = childOut;
        startup.hStdError = childErr != nullptr ? childErr : GetStdHandle(STD_ERROR_HANDLE);
        std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
        line.push_back(L'\0');
        if (!CreateProcessW(applicationName.c_str(), line.data(), nullptr, nullptr, TRUE, 0,
                            nullptr, nullptr, &startup, &info)) {
            failure = LastErrorText("CreateProcess " + program);
        }

        // Restore in reverse order, so that a name given twice ends as it was.
        for (auto it = saved.rbegin(); it != saved.rend(); ++it) {
            SetEnvironmentVariableW(it->name.c_str(), it->present ? it->value.c_str() : nullptr);
        }
    }

    // The child's ends must go, or we would never see the end of its output.
    if (childIn != nullptr) CloseHandle(childIn);
    if (childOut != nullptr) CloseHandle(childOut);
    if (childErr != nullptr) CloseHandle(childErr);
    ReleaseSRWLockExclusive(&g_startLock);

    if (!failure.empty()) {
        if (ourIn != nullptr) CloseHandle(ourIn);
        if (ourOut != nullptr) CloseHandle(ourOut);
        if (error != nullptr) *error = failure;
        return false;
    }
    CloseHandle(info.hThread);
    process_ = AsValue(info.hProcess);
    pid_ = info.dwProcessId;
    input_ = AsValue(ourIn);
    output_ = AsValue(ourOut);
    exited_ = false;
    status_ = 0;
    return true;
}

bool ChildProcess::Write(const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        if (input_ == -1) return false;
        DWORD chunk = size > 0x10000000u ? 0x10000000u : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(AsHandle(input_), bytes, chunk, &written, nullptr)) return false;
        bytes += written;
        size -= written;
    }
    return true;
}

void ChildProcess::CloseInput() { CloseSlot(&input_); }
void ChildProcess::CloseOutput() { CloseSlot(&output_); }

long ChildProcess::Read(void* buffer, size_t size, int timeoutMs) {
    if (output_ == -1) return 0;
    if (size == 0) return -1;
    // Anonymous pipes have no overlapped reads: poll what is waiting.
    DWORD start = GetTickCount();
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(AsHandle(output_), nullptr, 0, nullptr, &available, nullptr)) {
            return 0;  // broken pipe: the writer has gone
        }
        if (available > 0) {
            DWORD want = available < size ? available : static_cast<DWORD>(size);
            if (want > 0x10000000u) want = 0x10000000u;
            DWORD got = 0;
            if (!ReadFile(AsHandle(output_), buffer, want, &got, nullptr) || got == 0) return 0;
            return static_cast<long>(got);
        }
        if (static_cast<int>(GetTickCount() - start) >= timeoutMs) return -1;
        Sleep(1);
    }
}

bool ChildProcess::ReadExact(void* buffer, size_t size, int timeoutMs) {
    char* bytes = static_cast<char*>(buffer);
    DWORD start = GetTickCount();
    while (size > 0) {
        int left = timeoutMs - static_cast<int>(GetTickCount() - start);
        long got = Read(bytes, size, left > 0 ? left : 0);
        if (got <= 0) return false;
        bytes += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

bool ChildProcess::ReadToEnd(std::string* out, int timeoutMs) {
    DWORD start = GetTickCount();
    char chunk[65536];
    for (;;) {
        int left = timeoutMs - static_cast<int>(GetTickCount() - start);
        long got = Read(chunk, sizeof chunk, left > 0 ? left : 0);
        if (got == 0) return true;
        if (got < 0) return false;
        out->append(chunk, static_cast<size_t>(got));
    }
}

bool ChildProcess::Wait(int timeoutMs, uint32_t* status) {
    if (process_ == -1) return false;
    if (!exited_) {
        DWORD wait = WaitForSingleObject(AsHandle(process_),
                                         timeoutMs > 0 ? static_cast<DWORD>(timeoutMs) : 0);
        if (wait != WAIT_OBJECT_0) return false;
        DWORD code = 0;
        GetExitCodeProcess(AsHandle(process_), &code);
        exited_ = true;
        status_ = code;
    }
    if (status != nullptr) *status = status_;
    return true;
}

void ChildProcess::Kill() {
    if (process_ == -1 || exited_) return;
    TerminateProcess(AsHandle(process_), 1);
    WaitForSingleObject(AsHandle(process_), INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(AsHandle(process_), &code);
    exited_ = true;
    status_ = code;
}

bool ChildProcess::Running() const {
    if (process_ == -1 || exited_) return false;
    return WaitForSingleObject(AsHandle(process_), 0) == WAIT_TIMEOUT;
}

std::string ProgramDirectory() {
    std::wstring path(32768, L'\0');
    DWORD units = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (units == 0 || units >= path.size()) return ".\\";
    path.resize(units);
    size_t separator = path.find_last_of(L"\\/");
    if (separator == std::wstring::npos) return ".\\";
    return Utf8(path.substr(0, separator + 1));
}

std::string ExecutableName(const std::string& base) { return base + ".exe"; }
