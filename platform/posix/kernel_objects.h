// Between the files of the kernel-object stand-ins: named-object lifetime
// (named_object.cpp), events (events.cpp), mappings (mappings.cpp), views
// (views.cpp), threads (threads.cpp) and security descriptors (security.cpp).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <new>
#include <string>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace pal {

constexpr uint32_t kReadyMagic = 0x4E56524Fu;  // "ORVN"
constexpr uint32_t kKindEvent = 1;
constexpr uint32_t kKindMapping = 2;
constexpr uint32_t kSignalled = 1;

constexpr uint64_t kPage = 4096;
constexpr uint64_t kHeaderBytes = kPage;  // a mapping's data starts here

inline uint64_t RoundUpToPage(uint64_t bytes) { return (bytes + kPage - 1) / kPage * kPage; }

struct SharedHeader {
    std::atomic<uint32_t> ready;    // kReadyMagic once the fields below are set
    uint32_t kind;
    uint32_t manualReset;
    std::atomic<uint32_t> state;    // event: kSignalled
    uint32_t protect;               // mapping: PAGE_READWRITE or PAGE_READONLY
    uint64_t size;                  // mapping: the size asked for, in bytes
};
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free,
              "the header's words must be plain lock-free 32-bit words shared between processes");
static_assert(sizeof(SharedHeader) <= kHeaderBytes, "the header must fit its page");

// What a creator puts in a new object's header.
struct Creation {
    uint32_t kind = 0;
    bool manualReset = false;
    bool initialState = false;
    uint32_t protect = 0;
    uint64_t size = 0;
};

// One handle's open of an object's file and its header page. For a named
// object it is also a hold: a shared lock that keeps the object alive while
// the handle is open. Views map the file, but hold nothing.
class Hold {
public:
    Hold() = default;
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    ~Hold();

    int fd = -1;
    SharedHeader* header = nullptr;
    std::string path;      // empty for an unnamed object
    pid_t holder = 0;      // the process whose lock this is
    bool released = true;  // its lock given up, its name no longer ours to remove
    int childFd = -1;      // while forking: the child's own hold
    const Object* handle = nullptr;  // reachable from here while open, for leak checkers

    // Gives the object up; removes its name if no other process holds it.
    void Release();
};
using HoldRef = std::unique_ptr<Hold>;

// Creates the named object (creation != nullptr), or opens it; also when a
// live process holds it already, with *existed set. Null with the last error
// set on failure.
HoldRef AttachNamed(LPCWSTR name, uint32_t kind, const Creation* creation, bool* existed);
HoldRef CreateUnnamed(const Creation& creation);

// Waits until *word has kSignalled set, and with consume clears it in the
// same step, so that exactly one waiter takes each signal.
DWORD WaitForWord(std::atomic<uint32_t>* word, bool consume, DWORD dwMilliseconds);
long FutexWait(std::atomic<uint32_t>* word, uint32_t expected, const struct timespec* relative);
void FutexWakeAll(std::atomic<uint32_t>* word);

struct Waitable {
    virtual ~Waitable() = default;
    virtual DWORD Wait(DWORD dwMilliseconds) = 0;
};

struct EventObject : Object, Waitable {
    static constexpr uint32_t kKind = kKindEvent;
    HoldRef hold;
    DWORD Wait(DWORD dwMilliseconds) override;
};

struct MappingObject : Object {
    static constexpr uint32_t kKind = kKindMapping;
    HoldRef hold;
    bool writable = false;
};

// Makes (name null or empty: unnamed) or opens an object of the handle type T.
template <typename T>
T* MakeObject(LPCWSTR lpName, const Creation* creation, bool* existed) {
    std::unique_ptr<T> object(new (std::nothrow) T);
    if (!object) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    *existed = false;
    bool named = lpName != nullptr && *lpName != 0;
    object->hold = named ? AttachNamed(lpName, T::kKind, creation, existed) : CreateUnnamed(*creation);
    if (!object->hold) return nullptr;
    object->hold->handle = object.get();
    return object.release();
}

// An object can be opened only by a name; the errors are Wine's.
bool NameToOpen(LPCWSTR lpName);

template <typename T>
T* ObjectOf(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
    return dynamic_cast<T*>(static_cast<Object*>(h));
}

}  // namespace pal
