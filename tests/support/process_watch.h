// The soak's view of the host's process from outside: found as a child of the
// launcher, then sampled for its resident memory and its open handles (file
// descriptors on POSIX, kernel handles on Windows).
#pragma once

#include <cstdint>

class WatchedProcess {
public:
    WatchedProcess() = default;
    WatchedProcess(const WatchedProcess&) = delete;
    WatchedProcess& operator=(const WatchedProcess&) = delete;
    ~WatchedProcess();

    // The first child of parent seen within timeoutMs, not counting the
    // system's helpers (a desktop or console host started beside it).
    bool FindChildOf(uint32_t parent, int timeoutMs);
    // A process known by its id; false when there is none.
    bool Open(uint32_t pid);
    uint32_t Pid() const { return pid_; }

    // Ends it as the system ends a process, with no code of its own run.
    bool Kill();

    // Both -1 once the process is gone.
    long ResidentKiB() const;
    long OpenHandles() const;

    // What the two figures are called on this platform.
    static const char* ResidentName();
    static const char* HandlesName();

private:
    uint32_t pid_ = 0;
    intptr_t process_ = -1;  // Windows: our handle to it, so its id cannot be reused
};
