// Files, system information, time, ids and locks on POSIX.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace pal {

std::string ToUtf8(const WCHAR* text) {
    if (text == nullptr || *text == 0) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

std::u16string ToUtf16(const std::string& text) {
    if (text.empty()) return std::u16string();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (n <= 0) return std::u16string();
    std::u16string out(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &out[0], n);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

std::string ToPosixPath(const WCHAR* path) {
    std::string out = ToUtf8(path);
    for (char& c : out) {
        if (c == '\\') c = '/';
    }
    return out;
}

DWORD ErrorFromErrno(int err) {
    switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    default: return ERROR_WRITE_FAULT;
    }
}

FileObject::~FileObject() {
    if (fd >= 0) ::close(fd);
}

}  // namespace pal

using pal::ErrorFromErrno;

BOOL CloseHandle(HANDLE hObject) {
    if (hObject == nullptr || hObject == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete static_cast<pal::Object*>(hObject);
    return TRUE;
}

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    if (lpFileName == nullptr || *lpFileName == 0) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    int flags = O_CLOEXEC;
    bool read = (dwDesiredAccess & GENERIC_READ) != 0;
    bool write = (dwDesiredAccess & GENERIC_WRITE) != 0;
    bool append = (dwDesiredAccess & FILE_APPEND_DATA) != 0 && !write;
    if (append) write = true;
    flags |= read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
    // An opener with append access only appends, whoever else writes the file.
    if (append) flags |= O_APPEND;
    switch (dwCreationDisposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case TRUNCATE_EXISTING: flags |= O_TRUNC; break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
    }
    std::string path = pal::ToPosixPath(lpFileName);
    struct stat st;
    bool existed = ::stat(path.c_str(), &st) == 0;
    if (existed && S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        int err = errno;
        SetLastError(err == ENOENT && (flags & O_CREAT) ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(err));
        return INVALID_HANDLE_VALUE;
    }
    auto* file = new (std::nothrow) pal::FileObject;
    if (file == nullptr) {
        ::close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    file->fd = fd;
    bool reportsExisting = dwCreationDisposition == OPEN_ALWAYS || dwCreationDisposition == CREATE_ALWAYS;
    SetLastError(existed && reportsExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return file;
}

static pal::FileObject* AsFile(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
    return dynamic_cast<pal::FileObject*>(static_cast<pal::Object*>(h));
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                     DWORD dwMoveMethod) {
    pal::FileObject* file = AsFile(hFile);
    if (file == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_SET_FILE_POINTER;
    }
    int64_t distance = lpDistanceToMoveHigh != nullptr
                           ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*lpDistanceToMoveHigh)) << 32) |
                                                  static_cast<uint32_t>(lDistanceToMove))
                           : static_cast<int64_t>(lDistanceToMove);
    int whence = dwMoveMethod == FILE_END ? SEEK_END : dwMoveMethod == FILE_CURRENT ? SEEK_CUR : SEEK_SET;
    off_t pos = ::lseek(file->fd, static_cast<off_t>(distance), whence);
    if (pos < 0) {
        SetLastError(ErrorFromErrno(errno));
        return INVALID_SET_FILE_POINTER;
    }
    if (lpDistanceToMoveHigh != nullptr) *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<uint64_t>(pos) >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(static_cast<uint64_t>(pos) & 0xFFFFFFFFu);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
    pal::FileObject* file = AsFile(hFile);
    if (file == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const char* p = static_cast<const char*>(lpBuffer);
    DWORD done = 0;
    while (done < nNumberOfBytesToWrite) {
        ssize_t n = ::write(file->fd, p + done, nNumberOfBytesToWrite - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            SetLastError(ErrorFromErrno(errno));
            if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = done;
            return FALSE;
        }
        done += static_cast<DWORD>(n);
    }
    if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = done;
    return TRUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
    pal::FileObject* file = AsFile(hFile);
    if (file == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ssize_t n;
    do {
        n = ::read(file->fd, lpBuffer, nNumberOfBytesToRead);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = static_cast<DWORD>(n);
    return TRUE;
}

namespace {

struct StdStreamObject : pal::FileObject {
    explicit StdStreamObject(int descriptor) { fd = descriptor; }
    ~StdStreamObject() override { fd = -1; }  // never closed, not even at exit
};

}  // namespace

HANDLE GetStdHandle(DWORD nStdHandle) {
    static StdStreamObject input(0), output(1), error(2);
    switch (nStdHandle) {
    case STD_INPUT_HANDLE: return &input;
    case STD_OUTPUT_HANDLE: return &output;
    case STD_ERROR_HANDLE: return &error;
    default: SetLastError(ERROR_INVALID_HANDLE); return INVALID_HANDLE_VALUE;
    }
}

// The stand-in Windows folder. Tests and the demo point ORVENDEL_WINDOWS_DIR
// at a folder of their own; an empty value plays a folder that can't be read.
static const char kDefaultWindowsDir[] = "/var/lib/orvendel/windows";

UINT GetSystemWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize) {
    const char* env = ::getenv("ORVENDEL_WINDOWS_DIR");
    std::string dir = env != nullptr ? env : kDefaultWindowsDir;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (dir.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    std::u16string wide = pal::ToUtf16(dir);
    if (wide.empty()) {
        SetLastError(ERROR_INVALID_DATA);
        return 0;
    }
    if (lpBuffer == nullptr || wide.size() + 1 > uSize) return static_cast<UINT>(wide.size() + 1);
    std::memcpy(lpBuffer, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
    return static_cast<UINT>(wide.size());
}

BOOL GetVersionExW(LPOSVERSIONINFOW lpVersionInformation) {
    if (lpVersionInformation == nullptr ||
        lpVersionInformation->dwOSVersionInfoSize < sizeof(OSVERSIONINFOW)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    // The host only needs to know it is on the NT line, version 6 or later.
    lpVersionInformation->dwMajorVersion = 10;
    lpVersionInformation->dwMinorVersion = 0;
    lpVersionInformation->dwBuildNumber = 0;
    lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    lpVersionInformation->szCSDVersion[0] = 0;
    return TRUE;
}

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    if (hModule != nullptr || lpFilename == nullptr || nSize == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    char path[PATH_MAX + 1];
    ssize_t n = ::readlink("/proc/self/exe", path, PATH_MAX);
    if (n <= 0) {
        SetLastError(ErrorFromErrno(errno));
        return 0;
    }
    path[n] = '\0';
    std::u16string wide = pal::ToUtf16(path);
    if (wide.size() + 1 > nSize) {
        // Cut and terminated, as Windows does from Vista on.
        std::memcpy(lpFilename, wide.data(), (nSize - 1) * sizeof(WCHAR));
        lpFilename[nSize - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    std::memcpy(lpFilename, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(wide.size());
}

void GetLocalTime(LPSYSTEMTIME lpSystemTime) {
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    time_t seconds = ts.tv_sec;
    ::localtime_r(&seconds, &tm);
    lpSystemTime->wYear = static_cast<WORD>(tm.tm_year + 1900);
    lpSystemTime->wMonth = static_cast<WORD>(tm.tm_mon + 1);
    lpSystemTime->wDayOfWeek = static_cast<WORD>(tm.tm_wday);
    lpSystemTime->wDay = static_cast<WORD>(tm.tm_mday);
    lpSystemTime->wHour = static_cast<WORD>(tm.tm_hour);
    lpSystemTime->wMinute = static_cast<WORD>(tm.tm_min);
    lpSystemTime->wSecond = static_cast<WORD>(tm.tm_sec > 59 ? 59 : tm.tm_sec);
    lpSystemTime->wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000);
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }
DWORD GetCurrentThreadId() { return static_cast<DWORD>(::syscall(SYS_gettid)); }

void Sleep(DWORD dwMilliseconds) {
    struct timespec ts;
    ts.tv_sec = dwMilliseconds / 1000;
    ts.tv_nsec = static_cast<long>(dwMilliseconds % 1000) * 1000000L;
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void AcquireSRWLockExclusive(PSRWLOCK SRWLock) { ::pthread_mutex_lock(&SRWLock->mutex); }
void ReleaseSRWLockExclusive(PSRWLOCK SRWLock) { ::pthread_mutex_unlock(&SRWLock->mutex); }

namespace {

bool gClosedAtStart[3];

// A standard descriptor that was closed when the program started is held on
// /dev/null, so that no file opened later (the log, a named object) takes its
// number and receives frames or has them read from it. The stream itself
// stays unusable, as on Windows, where such a stream has no handle.
__attribute__((constructor)) void HoldClosedStandardDescriptors() {
    for (int fd = 0; fd < 3; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // The lowest free number: this one, as the ones below are open.
        const int held = ::open("/dev/null", O_RDWR);
        if (held == fd) {
            gClosedAtStart[fd] = true;
        } else if (held >= 0) {
            ::close(held);
        }
    }
}

}  // namespace

int _setmode(int fd, int mode) {
    const bool closedAtStart = fd >= 0 && fd < 3 && gClosedAtStart[fd];
    if (closedAtStart || ::fcntl(fd, F_GETFD) < 0 || (mode != _O_BINARY && mode != _O_TEXT)) {
        errno = EBADF;
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    // Streams that carry frames must fail quietly when the peer has gone, as
    // they do on Windows, instead of ending the process with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    return _O_TEXT;
}
