// The simulated desktop: a table of top-level windows in POSIX shared memory,
// and the user32 calls that read it.
//
// The table lives twice in the object. A change is written into the copy not
// in use and then published by flipping one word, so a process that dies in
// the middle of a change leaves the published table whole; the robust mutex
// then only has to be marked consistent again.
#include "platform/posix/desktop.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace {

struct SharedWindow {
    uint32_t hwnd;
    uint32_t style;  // WS_VISIBLE agrees with visible
    uint32_t visible;
    uint32_t classUnits;
    char16_t className[DESKTOP_CLASS_UNITS];
};

struct WindowTable {
    uint32_t count;
    SharedWindow windows[DESKTOP_MAX_WINDOWS];  // front to back
};

struct SharedDesktop {
    uint32_t ready;   // set last by the process that created the object
    uint32_t layout;  // sizeof(SharedDesktop) of the creator's build
    pthread_mutex_t mutex;
    uint32_t current;  // which of tables is published
    WindowTable tables[2];
};

constexpr uint32_t kReady = 1;
// How long an opener waits for the creator to finish setting the object up.
constexpr int kReadyWaitMs = 5000;

std::string DesktopName() {
    std::string name = "/orvendel.";
    const char* ns = ::getenv("ORVENDEL_NAMESPACE");
    if (ns != nullptr && *ns != 0) {
        name += ns;
        name += '.';
    }
    // A bare '%' never comes out of the object-name escaping, so no named
    // event or mapping can take this name.
    return name + "%desktop";
}

int64_t NowMs() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void PauseBriefly() {
    struct timespec ts = {0, 1000000};
    ::nanosleep(&ts, nullptr);
}

bool InitialiseMutex(pthread_mutex_t* mutex) {
    pthread_mutexattr_t attr;
    if (::pthread_mutexattr_init(&attr) != 0) return false;
    bool ok = ::pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
              ::pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
              ::pthread_mutex_init(mutex, &attr) == 0;
    ::pthread_mutexattr_destroy(&attr);
    return ok;
}

// This process's view of the shared desktop, for the length of one call.
class DesktopView {
public:
    DesktopView() = default;
    DesktopView(const DesktopView&) = delete;
    DesktopView& operator=(const DesktopView&) = delete;
    ~DesktopView() {
        if (locked_) ::pthread_mutex_unlock(&desktop_->mutex);
        if (desktop_ != nullptr) ::munmap(desktop_, sizeof(SharedDesktop));
    }

    // Maps the desktop (creating it on first use) and takes its lock.
    bool OpenLocked() {
        if (!Map()) return false;
        int rc = ::pthread_mutex_lock(&desktop_->mutex);
        if (rc == EOWNERDEAD) {
            // The published table is whole whatever the owner was doing.
            ::pthread_mutex_consistent(&desktop_->mutex);
            rc = 0;
        }
        if (rc != 0) {
            SetLastError(pal::ErrorFromErrno(rc));
            return false;
        }
        locked_ = true;
        if (Published().count > DESKTOP_MAX_WINDOWS) {
            SetLastError(ERROR_INVALID_DATA);
            return false;
        }
        return true;
    }

    const WindowTable& Published() const { return desktop_->tables[desktop_->current & 1]; }
    WindowTable& Draft() { return desktop_->tables[(desktop_->current & 1) ^ 1]; }
    void Publish() { __atomic_store_n(&desktop_->current, (desktop_->current & 1) ^ 1, __ATOMIC_RELEASE); }

    const SharedWindow* Find(uint32_t hwnd) const {
        const WindowTable& table = Published();
        for (uint32_t i = 0; i < table.count; ++i) {
            if (table.windows[i].hwnd == hwnd) return &table.windows[i];
        }
        return nullptr;
    }

private:
    bool Map() {
        std::string name = DesktopName();
        int64_t deadline = NowMs() + kReadyWaitMs;
        for (;;) {
            int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) return Create(fd, name);
            if (errno != EEXIST) {
                SetLastError(pal::ErrorFromErrno(errno));
                return false;
            }
            fd = ::shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
            if (fd < 0) {
                // Removed between the two opens: try to create it again.
                if (errno == ENOENT && NowMs() < deadline) continue;
                SetLastError(pal::ErrorFromErrno(errno));
                return false;
            }
            bool mapped = Attach(fd, deadline);
            ::close(fd);
            return mapped;
        }
    }

    bool Create(int fd, const std::string& name) {
        // Open to every user, as the host's other named objects are.
        ::fchmod(fd, 0666);
        void* view = MAP_FAILED;
        if (::ftruncate(fd, sizeof(SharedDesktop)) == 0) {
            view = ::mmap(nullptr, sizeof(SharedDesktop), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        }
        int err = errno;
        ::close(fd);
        if (view == MAP_FAILED) {
            ::shm_unlink(name.c_str());
            SetLastError(pal::ErrorFromErrno(err));
            return false;
        }
        desktop_ = static_cast<SharedDesktop*>(view);
        if (!InitialiseMutex(&desktop_->mutex)) {
            ::shm_unlink(name.c_str());
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        desktop_->layout = sizeof(SharedDesktop);
        desktop_->current = 0;
        desktop_->tables[0].count = 0;
        __atomic_store_n(&desktop_->ready, kReady, __ATOMIC_RELEASE);
        return true;
    }

    // Maps an object another process created, once that process has sized
    // and set it up.
    bool Attach(int fd, int64_t deadline) {
        struct stat st;
        for (;;) {
            if (::fstat(fd, &st) != 0) {
                SetLastError(pal::ErrorFromErrno(errno));
                return false;
            }
            if (st.st_size != 0) break;
            if (NowMs() >= deadline) {
                SetLastError(ERROR_TIMEOUT);
                return false;
            }
            PauseBriefly();
        }
        if (st.st_size != static_cast<off_t>(sizeof(SharedDesktop))) {
            SetLastError(ERROR_INVALID_DATA);
            return false;
        }
        void* view = ::mmap(nullptr, sizeof(SharedDesktop), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (view == MAP_FAILED) {
            SetLastError(pal::ErrorFromErrno(errno));
            return false;
        }
        desktop_ = static_cast<SharedDesktop*>(view);
        while (__atomic_load_n(&desktop_->ready, __ATOMIC_ACQUIRE) != kReady) {
            if (NowMs() >= deadline) {
                SetLastError(ERROR_TIMEOUT);
                return false;
            }
            PauseBriefly();
        }
        if (desktop_->layout != sizeof(SharedDesktop)) {
            SetLastError(ERROR_INVALID_DATA);
            return false;
        }
        return true;
    }

    SharedDesktop* desktop_ = nullptr;
    bool locked_ = false;
};

uint32_t HwndValue(HWND hWnd) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hWnd)); }

uint32_t StyleFor(uint32_t style, bool visible) {
    return visible ? style | static_cast<uint32_t>(WS_VISIBLE) : style & ~static_cast<uint32_t>(WS_VISIBLE);
}

// Copies the entries of from into to, leaving out hwnd.
void CopyWithout(const WindowTable& from, uint32_t hwnd, WindowTable* to, uint32_t offset) {
    uint32_t n = offset;
    for (uint32_t i = 0; i < from.count; ++i) {
        if (from.windows[i].hwnd != hwnd) to->windows[n++] = from.windows[i];
    }
    to->count = n;
}

}  // namespace

bool DesktopAddWindow(const DesktopWindow& window, bool front) {
    if (window.hwnd == 0 || window.className.size() >= DESKTOP_CLASS_UNITS ||
        window.className.find(u'\0') != std::u16string::npos) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    SharedWindow entry;
    memset(&entry, 0, sizeof entry);
    entry.hwnd = window.hwnd;
    entry.visible = window.visible ? 1 : 0;
    entry.style = StyleFor(window.style, window.visible);
    entry.classUnits = static_cast<uint32_t>(window.className.size());
    memcpy(entry.className, window.className.data(), window.className.size() * sizeof(char16_t));

    DesktopView view;
    if (!view.OpenLocked()) return false;
    const WindowTable& published = view.Published();
    bool known = view.Find(window.hwnd) != nullptr;
    if (!known && published.count >= DESKTOP_MAX_WINDOWS) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    WindowTable& draft = view.Draft();
    if (front) {
        CopyWithout(published, window.hwnd, &draft, 1);
        draft.windows[0] = entry;
    } else {
        CopyWithout(published, window.hwnd, &draft, 0);
        draft.windows[draft.count++] = entry;
    }
    view.Publish();
    return true;
}

bool DesktopRemoveWindow(uint32_t hwnd) {
    DesktopView view;
    if (!view.OpenLocked()) return false;
    if (hwnd == 0 || view.Find(hwnd) == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    CopyWithout(view.Published(), hwnd, &view.Draft(), 0);
    view.Publish();
    return true;
}

void DesktopClear() {
    DesktopView view;
    if (!view.OpenLocked()) return;
    view.Draft().count = 0;
    view.Publish();
}

std::vector<DesktopWindow> DesktopList() {
    std::vector<DesktopWindow> windows;
    DesktopView view;
    if (!view.OpenLocked()) return windows;
    const WindowTable& table = view.Published();
    windows.reserve(table.count);
    for (uint32_t i = 0; i < table.count; ++i) {
        const SharedWindow& w = table.windows[i];
        DesktopWindow window;
        window.hwnd = w.hwnd;
        window.className.assign(w.className, w.classUnits < DESKTOP_CLASS_UNITS ? w.classUnits : 0);
        window.visible = w.visible != 0;
        window.style = w.style;
        windows.push_back(window);
    }
    return windows;
}

BOOL EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam) {
    if (lpEnumFunc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The callback runs without the lock: it may call back into the desktop.
    uint32_t handles[DESKTOP_MAX_WINDOWS];
    uint32_t count = 0;
    {
        DesktopView view;
        if (!view.OpenLocked()) return FALSE;
        const WindowTable& table = view.Published();
        for (; count < table.count; ++count) handles[count] = table.windows[count].hwnd;
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (!lpEnumFunc(reinterpret_cast<HWND>(static_cast<uintptr_t>(handles[i])), lParam)) break;
    }
    return TRUE;
}

// The window of hWnd in an open, locked view; null (with the error set) when
// the desktop has no such window.
static const SharedWindow* LookUpWindow(DesktopView& view, HWND hWnd) {
    if (!view.OpenLocked()) return nullptr;
    const SharedWindow* window = hWnd != nullptr ? view.Find(HwndValue(hWnd)) : nullptr;
    if (window == nullptr) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return window;
}

int GetClassNameW(HWND hWnd, LPWSTR lpClassName, int nMaxCount) {
    DesktopView view;
    const SharedWindow* window = LookUpWindow(view, hWnd);
    if (window == nullptr) return 0;
    if (lpClassName == nullptr || nMaxCount <= 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    uint32_t units = window->classUnits < DESKTOP_CLASS_UNITS ? window->classUnits : 0;
    if (units > static_cast<uint32_t>(nMaxCount - 1)) units = static_cast<uint32_t>(nMaxCount - 1);
    memcpy(lpClassName, window->className, units * sizeof(WCHAR));
    lpClassName[units] = 0;
    return static_cast<int>(units);
}

BOOL IsWindowVisible(HWND hWnd) {
    DesktopView view;
    if (hWnd == nullptr || !view.OpenLocked()) return FALSE;
    const SharedWindow* window = view.Find(HwndValue(hWnd));
    return window != nullptr && window->visible != 0 ? TRUE : FALSE;
}

LONG GetWindowLongW(HWND hWnd, int nIndex) {
    DesktopView view;
    const SharedWindow* window = LookUpWindow(view, hWnd);
    if (window == nullptr) return 0;
    if (nIndex != GWL_STYLE) {
        SetLastError(ERROR_INVALID_INDEX);
        return 0;
    }
    return static_cast<LONG>(window->style);
}
