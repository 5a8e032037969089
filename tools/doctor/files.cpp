#include "tools/doctor/files.h"

#include "tools/doctor/owned.h"

#ifdef _WIN32
#include <windows.h>

#include "tools/common/wide.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace {

ReadResult Fail(ReadResult result, const std::string& reason, std::string* text, std::string* why) {
    text->clear();
    *why = reason;
    return result;
}

std::string TooLarge(size_t limit) { return "it is larger than " + std::to_string(limit / (1024 * 1024)) + " MB"; }

}  // namespace

#ifdef _WIN32

ReadResult ReadRegularFile(const std::string& path, std::string* text, std::string* why, size_t limit) {
    // Backup semantics, so a folder opens and is told apart from a missing file.
    Handle f(CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (f.get() == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || e == ERROR_INVALID_NAME) {
            return Fail(ReadResult::kMissing, "it does not exist", text, why);
        }
        return Fail(ReadResult::kUnreadable, "it cannot be opened (error " + std::to_string(e) + ")", text, why);
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(f.get()) != FILE_TYPE_DISK || !GetFileInformationByHandle(f.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return Fail(ReadResult::kNotRegular, "it is not a file", text, why);
    }
    const unsigned long long size = (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    if (size > limit) return Fail(ReadResult::kTooLarge, TooLarge(limit), text, why);
    text->assign(static_cast<size_t>(size), '\0');
    size_t got = 0;
    while (got < text->size()) {
        DWORD n = 0;
        DWORD want = static_cast<DWORD>(text->size() - got);
        if (!ReadFile(f.get(), &(*text)[got], want, &n, nullptr)) {
            return Fail(ReadResult::kUnreadable, "it cannot be read (error " + std::to_string(GetLastError()) + ")",
                        text, why);
        }
        if (n == 0) break;  // shrank while read
        got += n;
    }
    text->resize(got);
    why->clear();
    return ReadResult::kOk;
}

#else

ReadResult ReadRegularFile(const std::string& path, std::string* text, std::string* why, size_t limit) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) {
        const int e = errno;
        if (e == ENOENT || e == ENOTDIR) return Fail(ReadResult::kMissing, "it does not exist", text, why);
        if (e == ELOOP) return Fail(ReadResult::kUnreadable, "its links form a loop", text, why);
        return Fail(ReadResult::kUnreadable, std::string("it cannot be opened: ") + std::strerror(e), text, why);
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        return Fail(ReadResult::kUnreadable, std::string("it cannot be read: ") + std::strerror(errno), text, why);
    }
    if (!S_ISREG(st.st_mode)) {
        const char* kind = S_ISDIR(st.st_mode)    ? "a folder"
                           : S_ISFIFO(st.st_mode) ? "a FIFO"
                           : S_ISSOCK(st.st_mode) ? "a socket"
                                                  : "a device";
        return Fail(ReadResult::kNotRegular, std::string("it is ") + kind + ", not a file", text, why);
    }
    if (static_cast<unsigned long long>(st.st_size) > limit) {
        return Fail(ReadResult::kTooLarge, TooLarge(limit), text, why);
    }
    // Read to the end, not to st_size: /proc and similar files report 0,
    // and a file may grow while read. The bound holds either way.
    text->clear();
    text->reserve(static_cast<size_t>(st.st_size));  // one allocation, not a doubling one
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            return Fail(ReadResult::kUnreadable, std::string("it cannot be read: ") + std::strerror(errno), text, why);
        }
        if (n == 0) break;
        if (text->size() + static_cast<size_t>(n) > limit) return Fail(ReadResult::kTooLarge, TooLarge(limit), text, why);
        text->append(buffer, static_cast<size_t>(n));
    }
    why->clear();
    return ReadResult::kOk;
}

#endif
