// Named and unnamed events, and waits on them and on threads. Nothing in the
// shared header is ever locked: an event is one state word changed by atomic
// operations, with futexes for sleeping, so a process killed at any point
// leaves no lock held and every other process carries on.
#include <errno.h>
#include <limits.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <memory>

#include "platform/posix/kernel_objects.h"

namespace pal {
namespace {

// Longest single sleep of a wait. A signaller killed between setting the
// state and waking the sleepers would otherwise leave them asleep.
constexpr int64_t kWaitSliceNs = 1000LL * 1000000LL;

int64_t NowNs() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

uint32_t* FutexWord(std::atomic<uint32_t>* word) { return reinterpret_cast<uint32_t*>(word); }

}  // namespace

// Shared (not PRIVATE) futex calls: the words live in MAP_SHARED memory that
// other processes map at other addresses.
long FutexWait(std::atomic<uint32_t>* word, uint32_t expected, const struct timespec* relative) {
    return ::syscall(SYS_futex, FutexWord(word), FUTEX_WAIT, expected, relative, nullptr, 0);
}

void FutexWakeAll(std::atomic<uint32_t>* word) {
    ::syscall(SYS_futex, FutexWord(word), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

DWORD WaitForWord(std::atomic<uint32_t>* word, bool consume, DWORD dwMilliseconds) {
    const bool forever = dwMilliseconds == INFINITE;
    const int64_t deadline = forever ? 0 : NowNs() + static_cast<int64_t>(dwMilliseconds) * 1000000LL;
    for (;;) {
        // The state comes before the clock: a waiter woken at its deadline
        // still takes a signal that is there.
        uint32_t seen = word->load(std::memory_order_acquire);
        if (seen & kSignalled) {
            if (!consume) return WAIT_OBJECT_0;
            if (word->compare_exchange_weak(seen, seen & ~kSignalled, std::memory_order_acq_rel)) {
                return WAIT_OBJECT_0;
            }
            continue;
        }
        int64_t sleepNs = kWaitSliceNs;
        if (!forever) {
            int64_t left = deadline - NowNs();
            if (left <= 0) return WAIT_TIMEOUT;
            if (left < sleepNs) sleepNs = left;
        }
        struct timespec slice = {static_cast<time_t>(sleepNs / 1000000000LL),
                                 static_cast<long>(sleepNs % 1000000000LL)};
        if (FutexWait(word, seen, &slice) != 0 && errno != EAGAIN && errno != EINTR && errno != ETIMEDOUT) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
}

bool NameToOpen(LPCWSTR lpName) {
    if (lpName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (*lpName == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

DWORD EventObject::Wait(DWORD dwMilliseconds) {
    return WaitForWord(&hold->header->state, hold->header->manualReset == 0, dwMilliseconds);
}

}  // namespace pal

using pal::EventObject;
using pal::ObjectOf;

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
    pal::Creation creation;
    creation.kind = pal::kKindEvent;
    creation.manualReset = bManualReset != FALSE;
    creation.initialState = bInitialState != FALSE;
    bool existed = false;
    EventObject* event = pal::MakeObject<EventObject>(lpName, &creation, &existed);
    if (event == nullptr) return nullptr;
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return static_cast<pal::Object*>(event);
}

HANDLE OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName) {
    if (!pal::NameToOpen(lpName)) return nullptr;
    bool existed = false;
    return static_cast<pal::Object*>(pal::MakeObject<EventObject>(lpName, nullptr, &existed));
}

BOOL SetEvent(HANDLE hEvent) {
    EventObject* event = ObjectOf<EventObject>(hEvent);
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->hold->header->state.fetch_or(pal::kSignalled, std::memory_order_acq_rel);
    // Every sleeper rechecks and one takes the signal: waking only one could
    // pick a waiter that is dying, and the signal would sit unseen.
    pal::FutexWakeAll(&event->hold->header->state);
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    EventObject* event = ObjectOf<EventObject>(hEvent);
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->hold->header->state.fetch_and(~pal::kSignalled, std::memory_order_acq_rel);
    return TRUE;
}

// INVALID_HANDLE_VALUE is the current process on Windows; here it fails.
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    pal::Object* object = ObjectOf<pal::Object>(hHandle);
    pal::Waitable* waitable = object != nullptr ? dynamic_cast<pal::Waitable*>(object) : nullptr;
    if (waitable == nullptr) {
        // A mapping handle lacks SYNCHRONIZE access, as Wine reports it.
        SetLastError(dynamic_cast<pal::MappingObject*>(object) != nullptr ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return waitable->Wait(dwMilliseconds);
}
