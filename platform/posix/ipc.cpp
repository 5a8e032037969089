// Named events and file mappings, security descriptors and threads on POSIX.
//
// Every kernel object is a shared-memory object whose first page is a small
// header; a mapping's bytes start on the second page. Named objects live in
// /dev/shm (shm_open), unnamed ones in a memfd. Nothing in the header is ever
// locked: an event is one state word changed by atomic operations, with
// futexes for sleeping, so a process killed at any point leaves no lock held
// and every other process carries on.
//
// A named object lives while a live process holds it, as on Windows, where
// the system closes a process's handles however it ends. The kernel keeps
// the count: every handle (and every view, which maps through its handle's
// open file description) holds a shared open-file-description lock on the
// object's file, and the kernel drops it when the last descriptor or mapping
// of that description goes, a SIGKILL included. Whoever can take the lock
// exclusively knows that no live process holds the object:
//  - a creator then sets it up afresh under that lock, and only then shares
//    it, so an opener never sees it half made (and a creator killed half-way
//    leaves nothing that blocks the next);
//  - an opener takes it for gone and removes the name;
//  - the closer of the last handle removes the name, as does a process that
//    ends normally for the objects it still holds.
// No lock is ever waited on without a deadline, and none outlives its holder.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace {

constexpr uint32_t kReadyMagic = 0x4E56524Fu;  // "ORVN"
constexpr uint32_t kKindEvent = 1;
constexpr uint32_t kKindMapping = 2;
constexpr uint32_t kSignalled = 1;

constexpr uint64_t kPage = 4096;
constexpr uint64_t kHeaderBytes = kPage;  // a mapping's data starts here
constexpr uint64_t kViewAlignment = 65536;
// Far beyond any block the agent makes; keeps the offset arithmetic in range.
constexpr uint64_t kMaxMappingBytes = uint64_t(1) << 40;
constexpr size_t kShmNameMax = NAME_MAX;

// How long an opener waits for a creator that is still setting the object up.
constexpr int64_t kReadyWaitNs = 5000LL * 1000000LL;
// Longest single sleep of a wait. A signaller killed between setting the
// state and waking the sleepers would otherwise leave them asleep.
constexpr int64_t kWaitSliceNs = 1000LL * 1000000LL;

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

int64_t NowNs() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void PauseBriefly() {
    struct timespec ts = {0, 200000};
    ::nanosleep(&ts, nullptr);
}

uint64_t RoundUpToPage(uint64_t bytes) { return (bytes + kPage - 1) / kPage * kPage; }

uint32_t* FutexWord(std::atomic<uint32_t>* word) { return reinterpret_cast<uint32_t*>(word); }

// Shared (not PRIVATE) futex calls: the words live in MAP_SHARED memory that
// other processes map at other addresses.
long FutexWait(std::atomic<uint32_t>* word, uint32_t expected, const struct timespec* relative) {
    return ::syscall(SYS_futex, FutexWord(word), FUTEX_WAIT, expected, relative, nullptr, 0);
}

void FutexWakeAll(std::atomic<uint32_t>* word) {
    ::syscall(SYS_futex, FutexWord(word), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

// Waits until *word has kSignalled set, and with consume clears it in the
// same step, so that exactly one waiter takes each signal.
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

// ---------------------------------------------------------------------------
// Names

void AppendEscaped(std::string* out, const std::string& text) {
    for (char c : text) {
        switch (c) {
        case '%': *out += "%25"; break;
        case '/': *out += "%2F"; break;
        case '\\': *out += "%5C"; break;
        default: *out += c;
        }
    }
}

// Strict UTF-16 to UTF-8: a lone surrogate has no spelling, and replacing it
// would let two different names meet in one object.
bool NameToUtf8(LPCWSTR name, std::string* out) {
    for (const WCHAR* p = name; *p != 0; ++p) {
        uint32_t cp = *p;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (p[1] < 0xDC00 || p[1] > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<uint32_t>(p[1]) - 0xDC00);
            ++p;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return false;
        }
        if (cp < 0x80) {
            *out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            *out += static_cast<char>(0xC0 | (cp >> 6));
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            *out += static_cast<char>(0xE0 | (cp >> 12));
            *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            *out += static_cast<char>(0xF0 | (cp >> 18));
            *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return true;
}

// The shm name of a Win32 object name, one-to-one: "Global\x" becomes
// "/orvendel.<namespace>.Global%5Cx". The escapes keep '/' out of the shm
// name and keep "a\b", "a/b" and "a%5Cb" apart.
bool ShmNameOf(LPCWSTR name, std::string* out) {
    std::string utf8;
    if (!NameToUtf8(name, &utf8)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    std::string shm = "/orvendel.";
    const char* ns = ::getenv("ORVENDEL_NAMESPACE");
    if (ns != nullptr && *ns != 0) {
        AppendEscaped(&shm, ns);
        shm += '.';
    }
    AppendEscaped(&shm, utf8);
    if (shm.size() - 1 > kShmNameMax) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    *out = std::move(shm);
    return true;
}

// ---------------------------------------------------------------------------
// Holds: open-file-description locks on the whole file

bool LockFile(int fd, short type) {
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

bool LockIsTaken(int err) { return err == EAGAIN || err == EACCES; }

// False once the name no longer leads to this file: its last holder removed it.
bool StillNamed(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && st.st_nlink > 0;
}

// ---------------------------------------------------------------------------
// Objects

struct Waitable {
    virtual ~Waitable() = default;
    virtual DWORD Wait(DWORD dwMilliseconds) = 0;
};

struct SharedObject;
void ForgetHold(SharedObject* object);

// One handle's hold on a shared object: its descriptor and header page.
struct SharedObject : pal::Object {
    int fd = -1;
    SharedHeader* header = nullptr;
    std::string shmName;  // empty for an unnamed object
    bool held = false;    // holds the named object's shared lock
    pid_t holder = 0;     // the process that took it

    ~SharedObject() override {
        if (held) {
            ForgetHold(this);
            ReleaseName();
        }
        if (header != nullptr) ::munmap(header, kHeaderBytes);
        if (fd >= 0) ::close(fd);
    }

    // The last holder removes the name. Nobody else can take the exclusive
    // lock while we hold ours, so the name still leads to this object. A
    // forked child shares its parent's lock and must leave the name alone.
    void ReleaseName() {
        if (holder == ::getpid() && LockFile(fd, F_WRLCK)) ::shm_unlink(shmName.c_str());
    }
};

// The named objects this process holds, for its normal end.
struct HoldTable {
    std::mutex lock;
    std::set<SharedObject*> objects;
};

HoldTable& Holds() {
    // Never destroyed: handles may still be closed while statics go away.
    static HoldTable* table = new HoldTable;
    return *table;
}

// At exit the names of objects that nobody else holds go, as the system
// closes every handle of an ending process on Windows. Nothing is unmapped:
// other threads may still be using the objects until the process is gone.
void ReleaseNamesAtExit() {
    HoldTable& table = Holds();
    std::lock_guard<std::mutex> guard(table.lock);
    for (SharedObject* object : table.objects) object->ReleaseName();
}

void RememberHold(SharedObject* object) {
    static std::once_flag registered;
    std::call_once(registered, [] { std::atexit(ReleaseNamesAtExit); });
    HoldTable& table = Holds();
    std::lock_guard<std::mutex> guard(table.lock);
    table.objects.insert(object);
}

void ForgetHold(SharedObject* object) {
    HoldTable& table = Holds();
    std::lock_guard<std::mutex> guard(table.lock);
    table.objects.erase(object);
}

struct EventObject : SharedObject, Waitable {
    DWORD Wait(DWORD dwMilliseconds) override {
        return WaitForWord(&header->state, header->manualReset == 0, dwMilliseconds);
    }
};

struct MappingObject : SharedObject {
    bool writable = false;
};

bool MapHeader(SharedObject* object) {
    void* page = ::mmap(nullptr, kHeaderBytes, PROT_READ | PROT_WRITE, MAP_SHARED, object->fd, 0);
    if (page == MAP_FAILED) {
        SetLastError(pal::ErrorFromErrno(errno));
        return false;
    }
    object->header = static_cast<SharedHeader*>(page);
    return true;
}

DWORD ErrorFromAllocation(int err) {
    return err == ENOSPC || err == EFBIG || err == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : pal::ErrorFromErrno(err);
}

// Sizes and fills a freshly made object; only then does it read as ready.
// A named one may be what processes now gone left behind: it starts empty.
bool Initialise(SharedObject* object, const Creation& creation) {
    // Open to every account, whatever the umask: the stand-in for a null DACL.
    ::fchmod(object->fd, 0666);
    if (::ftruncate(object->fd, 0) != 0) {
        SetLastError(pal::ErrorFromErrno(errno));
        return false;
    }
    uint64_t bytes = kHeaderBytes + (creation.kind == kKindMapping ? RoundUpToPage(creation.size) : 0);
    // Commit the memory now, as Windows does: a full /dev/shm then fails the
    // creation instead of raising SIGBUS at the first touch of a view.
    int err = ::posix_fallocate(object->fd, 0, static_cast<off_t>(bytes));
    if (err == EOPNOTSUPP || err == EINVAL) err = ::ftruncate(object->fd, static_cast<off_t>(bytes)) == 0 ? 0 : errno;
    if (err != 0) {
        SetLastError(ErrorFromAllocation(err));
        return false;
    }
    if (!MapHeader(object)) return false;
    SharedHeader* h = object->header;
    h->kind = creation.kind;
    h->manualReset = creation.manualReset ? 1 : 0;
    h->state.store(creation.initialState ? kSignalled : 0, std::memory_order_relaxed);
    h->protect = creation.protect;
    h->size = creation.size;
    h->ready.store(kReadyMagic, std::memory_order_release);
    return true;
}

bool CreateUnnamed(SharedObject* object, const Creation& creation) {
    object->fd = ::memfd_create("orvendel", MFD_CLOEXEC);
    if (object->fd < 0) {
        SetLastError(pal::ErrorFromErrno(errno));
        return false;
    }
    return Initialise(object, creation);
}

void Detach(SharedObject* object) {
    if (object->header != nullptr) ::munmap(object->header, kHeaderBytes);
    if (object->fd >= 0) ::close(object->fd);
    object->header = nullptr;
    object->fd = -1;
}

// Fails with the last error set, after letting go of the object.
bool Abandon(SharedObject* object, DWORD error) {
    Detach(object);
    SetLastError(error);
    return false;
}

// Maps the header of an object that we share with a live holder. False when
// it is not ready: its creator died half-way.
bool MapReadyHeader(SharedObject* object) {
    struct stat st;
    if (::fstat(object->fd, &st) != 0 || static_cast<uint64_t>(st.st_size) < kHeaderBytes) return false;
    return MapHeader(object) && object->header->ready.load(std::memory_order_acquire) == kReadyMagic;
}

// Creates the named object, or with creation == nullptr (or when a live
// process holds it already) opens it. Of two racing creators, one makes the
// object and the other opens it once it is made.
bool Attach(SharedObject* object, const std::string& shmName, uint32_t kind, const Creation* creation,
            bool* existed) {
    object->shmName = shmName;
    const int64_t deadline = NowNs() + kReadyWaitNs;
    for (;;) {
        int flags = O_RDWR | O_CLOEXEC | (creation != nullptr ? O_CREAT : 0);
        object->fd = ::shm_open(shmName.c_str(), flags, 0666);
        if (object->fd < 0) {
            SetLastError(pal::ErrorFromErrno(errno));
            return false;
        }
        if (LockFile(object->fd, F_WRLCK)) {
            // No live process holds it: new, or left by processes now gone.
            if (!StillNamed(object->fd)) {
                Detach(object);  // its last holder removed it as we came
                continue;
            }
            if (creation == nullptr) {
                ::shm_unlink(shmName.c_str());
                return Abandon(object, ERROR_FILE_NOT_FOUND);
            }
            if (!Initialise(object, *creation)) {
                DWORD error = GetLastError();
                ::shm_unlink(shmName.c_str());
                return Abandon(object, error);
            }
            if (!LockFile(object->fd, F_RDLCK)) return Abandon(object, pal::ErrorFromErrno(errno));
            object->held = true;
            object->holder = ::getpid();
            *existed = false;
            return true;
        }
        if (!LockIsTaken(errno)) return Abandon(object, pal::ErrorFromErrno(errno));
        // Held: share it once its creator (or a closer) has let go of it alone.
        while (!LockFile(object->fd, F_RDLCK)) {
            if (!LockIsTaken(errno)) return Abandon(object, pal::ErrorFromErrno(errno));
            if (NowNs() > deadline) return Abandon(object, ERROR_TIMEOUT);
            PauseBriefly();
        }
        if (!StillNamed(object->fd) || !MapReadyHeader(object)) {
            // Removed meanwhile, or its creator died half-way and we may be
            // the one to set it up afresh: start again.
            Detach(object);
            if (NowNs() > deadline) {
                SetLastError(ERROR_TIMEOUT);
                return false;
            }
            PauseBriefly();
            continue;
        }
        if (object->header->kind != kind) return Abandon(object, ERROR_INVALID_HANDLE);
        object->held = true;
        object->holder = ::getpid();
        *existed = true;
        return true;
    }
}

template <typename T>
T* ObjectOf(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
    return dynamic_cast<T*>(static_cast<pal::Object*>(h));
}

// Makes (name == null or empty: unnamed) or opens an object of the handle type T.
template <typename T>
T* MakeObject(LPCWSTR lpName, uint32_t kind, const Creation* creation, bool* existed) {
    std::string shmName;
    bool named = lpName != nullptr && *lpName != 0;
    if (named && !ShmNameOf(lpName, &shmName)) return nullptr;
    std::unique_ptr<T> object(new (std::nothrow) T);
    if (!object) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    *existed = false;
    bool ok = named ? Attach(object.get(), shmName, kind, creation, existed) : CreateUnnamed(object.get(), *creation);
    if (!ok) return nullptr;
    if (object->held) RememberHold(object.get());
    return object.release();
}

// ---------------------------------------------------------------------------
// Views: UnmapViewOfFile gets only an address, so the sizes are kept here.

struct ViewTable {
    std::mutex lock;
    std::map<uintptr_t, size_t> views;  // base -> length
};

ViewTable& Views() {
    // Never destroyed: views may still be unmapped while statics go away.
    static ViewTable* table = new ViewTable;
    return *table;
}

// The view holding address, or views.end(). Any address inside a view
// names it, as under Windows.
std::map<uintptr_t, size_t>::iterator FindView(ViewTable& table, LPCVOID address) {
    uintptr_t a = reinterpret_cast<uintptr_t>(address);
    auto it = table.views.upper_bound(a);
    if (it == table.views.begin()) return table.views.end();
    --it;
    return a < it->first + it->second ? it : table.views.end();
}

// ---------------------------------------------------------------------------
// Threads

struct ThreadState {
    std::atomic<uint32_t> id{0};
    std::atomic<uint32_t> done{0};  // kSignalled once the start routine returned
};

struct ThreadObject : pal::Object, Waitable {
    std::shared_ptr<ThreadState> state;
    ThreadObject();
    ~ThreadObject() override;
    DWORD Wait(DWORD dwMilliseconds) override { return WaitForWord(&state->done, false, dwMilliseconds); }
};

// Thread handles that are never closed (the host keeps none) stay reachable
// here, so leak checkers do not report them.
struct ThreadRegistry {
    std::mutex lock;
    std::set<ThreadObject*> threads;
};

ThreadRegistry& Threads() {
    static ThreadRegistry* registry = new ThreadRegistry;
    return *registry;
}

ThreadObject::ThreadObject() {
    std::lock_guard<std::mutex> guard(Threads().lock);
    Threads().threads.insert(this);
}

ThreadObject::~ThreadObject() {
    std::lock_guard<std::mutex> guard(Threads().lock);
    Threads().threads.erase(this);
}

struct ThreadStart {
    unsigned (*routine)(void*);
    void* argument;
    std::shared_ptr<ThreadState> state;
};

void* ThreadMain(void* p) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(p));
    start->state->id.store(static_cast<uint32_t>(::syscall(SYS_gettid)), std::memory_order_release);
    FutexWakeAll(&start->state->id);
    start->routine(start->argument);
    start->state->done.store(kSignalled, std::memory_order_release);
    FutexWakeAll(&start->state->done);
    return nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// Events

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
    Creation creation;
    creation.kind = kKindEvent;
    creation.manualReset = bManualReset != FALSE;
    creation.initialState = bInitialState != FALSE;
    bool existed = false;
    EventObject* event = MakeObject<EventObject>(lpName, kKindEvent, &creation, &existed);
    if (event == nullptr) return nullptr;
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return static_cast<pal::Object*>(event);
}

// An object can be opened only by a name; the errors are Wine's.
static bool NameToOpen(LPCWSTR lpName) {
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

HANDLE OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName) {
    if (!NameToOpen(lpName)) return nullptr;
    bool existed = false;
    EventObject* event = MakeObject<EventObject>(lpName, kKindEvent, nullptr, &existed);
    return static_cast<pal::Object*>(event);
}

BOOL SetEvent(HANDLE hEvent) {
    EventObject* event = ObjectOf<EventObject>(hEvent);
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->header->state.fetch_or(kSignalled, std::memory_order_acq_rel);
    // Every sleeper rechecks and one takes the signal: waking only one could
    // pick a waiter that is dying, and the signal would sit unseen.
    FutexWakeAll(&event->header->state);
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    EventObject* event = ObjectOf<EventObject>(hEvent);
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->header->state.fetch_and(~kSignalled, std::memory_order_acq_rel);
    return TRUE;
}

// INVALID_HANDLE_VALUE is the current process on Windows; here it fails.
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    pal::Object* object = ObjectOf<pal::Object>(hHandle);
    Waitable* waitable = object != nullptr ? dynamic_cast<Waitable*>(object) : nullptr;
    if (waitable == nullptr) {
        // A mapping handle lacks SYNCHRONIZE access, as Wine reports it.
        SetLastError(dynamic_cast<MappingObject*>(object) != nullptr ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return waitable->Wait(dwMilliseconds);
}

// ---------------------------------------------------------------------------
// File mappings

HANDLE CreateFileMappingW(HANDLE hFile, LPSECURITY_ATTRIBUTES lpFileMappingAttributes, DWORD flProtect,
                          DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow, LPCWSTR lpName) {
    uint32_t protect = flProtect & 0xFFu;
    uint64_t size = (static_cast<uint64_t>(dwMaximumSizeHigh) << 32) | dwMaximumSizeLow;
    // Only memory-backed mappings are needed here.
    if (hFile != INVALID_HANDLE_VALUE || size == 0 || (protect != PAGE_READWRITE && protect != PAGE_READONLY)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (size > kMaxMappingBytes) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    Creation creation;
    creation.kind = kKindMapping;
    creation.protect = protect;
    creation.size = size;
    bool existed = false;
    MappingObject* mapping = MakeObject<MappingObject>(lpName, kKindMapping, &creation, &existed);
    if (mapping == nullptr) return nullptr;
    mapping->writable = protect == PAGE_READWRITE && mapping->header->protect == PAGE_READWRITE;
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return static_cast<pal::Object*>(mapping);
}

HANDLE OpenFileMappingW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName) {
    if (!NameToOpen(lpName)) return nullptr;
    bool existed = false;
    MappingObject* mapping = MakeObject<MappingObject>(lpName, kKindMapping, nullptr, &existed);
    if (mapping == nullptr) return nullptr;
    mapping->writable = (dwDesiredAccess & FILE_MAP_WRITE) != 0 && mapping->header->protect == PAGE_READWRITE;
    return static_cast<pal::Object*>(mapping);
}

LPVOID MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                     DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap) {
    MappingObject* mapping = ObjectOf<MappingObject>(hFileMappingObject);
    if (mapping == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const bool copy = dwDesiredAccess == FILE_MAP_COPY;
    const bool write = (dwDesiredAccess & FILE_MAP_WRITE) != 0;
    if (write && !copy && !mapping->writable) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    uint64_t offset = (static_cast<uint64_t>(dwFileOffsetHigh) << 32) | dwFileOffsetLow;
    if (offset % kViewAlignment != 0) {
        SetLastError(ERROR_MAPPED_ALIGNMENT);
        return nullptr;
    }
    // Windows sizes a mapping in whole pages: a 16-byte one takes a 4096-byte view.
    uint64_t limit = RoundUpToPage(mapping->header->size);
    if (offset >= limit) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    uint64_t length = dwNumberOfBytesToMap == 0 ? limit - offset : dwNumberOfBytesToMap;
    if (length > limit - offset) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    int prot = write || copy ? PROT_READ | PROT_WRITE : PROT_READ;
    void* view = ::mmap(nullptr, static_cast<size_t>(length), prot, copy ? MAP_PRIVATE : MAP_SHARED, mapping->fd,
                        static_cast<off_t>(kHeaderBytes + offset));
    if (view == MAP_FAILED) {
        SetLastError(pal::ErrorFromErrno(errno));
        return nullptr;
    }
    ViewTable& table = Views();
    std::lock_guard<std::mutex> guard(table.lock);
    table.views[reinterpret_cast<uintptr_t>(view)] = static_cast<size_t>(length);
    return view;
}

BOOL FlushViewOfFile(LPCVOID lpBaseAddress, SIZE_T dwNumberOfBytesToFlush) {
    ViewTable& table = Views();
    std::lock_guard<std::mutex> guard(table.lock);
    auto it = FindView(table, lpBaseAddress);
    if (it == table.views.end()) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return FALSE;
    }
    uintptr_t from = reinterpret_cast<uintptr_t>(lpBaseAddress);
    uintptr_t viewEnd = it->first + it->second;
    uintptr_t to = dwNumberOfBytesToFlush == 0 || dwNumberOfBytesToFlush > viewEnd - from
                       ? viewEnd : from + dwNumberOfBytesToFlush;
    uintptr_t start = from - (from - it->first) % kPage;
    if (::msync(reinterpret_cast<void*>(start), to - start, MS_SYNC) != 0) {
        SetLastError(pal::ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL UnmapViewOfFile(LPCVOID lpBaseAddress) {
    ViewTable& table = Views();
    std::lock_guard<std::mutex> guard(table.lock);
    auto it = FindView(table, lpBaseAddress);
    if (it == table.views.end()) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return FALSE;
    }
    ::munmap(reinterpret_cast<void*>(it->first), it->second);
    table.views.erase(it);
    return TRUE;
}

// ---------------------------------------------------------------------------
// Security descriptors: recorded only; every object is open to all.

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
    if (pSecurityDescriptor == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (dwRevision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    auto* descriptor = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
    *descriptor = SECURITY_DESCRIPTOR();
    descriptor->Revision = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                               BOOL bDaclDefaulted) {
    if (pSecurityDescriptor == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* descriptor = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
    if (descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    if (!bDaclPresent) {
        descriptor->Control &= static_cast<WORD>(~SE_DACL_PRESENT);
        return TRUE;
    }
    descriptor->Control |= SE_DACL_PRESENT;
    if (bDaclDefaulted) {
        descriptor->Control |= SE_DACL_DEFAULTED;
    } else {
        descriptor->Control &= static_cast<WORD>(~SE_DACL_DEFAULTED);
    }
    descriptor->Dacl = pDacl;
    return TRUE;
}

// ---------------------------------------------------------------------------
// Threads: detached pthreads; the handle is signalled when the routine returns.

uintptr_t _beginthreadex(void* security, unsigned stack_size, unsigned (*start_address)(void*), void* arglist,
                         unsigned initflag, unsigned* thrdaddr) {
    if (start_address == nullptr || (initflag & CREATE_SUSPENDED) != 0) {
        errno = EINVAL;
        return 0;
    }
    std::unique_ptr<ThreadObject> thread(new (std::nothrow) ThreadObject);
    std::shared_ptr<ThreadState> state(new (std::nothrow) ThreadState);
    std::unique_ptr<ThreadStart> start(new (std::nothrow) ThreadStart);
    if (!thread || !state || !start) {
        errno = ENOMEM;
        return 0;
    }
    thread->state = state;
    start->routine = start_address;
    start->argument = arglist;
    start->state = state;

    pthread_attr_t attr;
    int err = ::pthread_attr_init(&attr);
    if (err != 0) {
        errno = err;
        return 0;
    }
    ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stack_size != 0) {
        size_t bytes = stack_size < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : stack_size;
        ::pthread_attr_setstacksize(&attr, static_cast<size_t>(RoundUpToPage(bytes)));
    }
    pthread_t id;
    err = ::pthread_create(&id, &attr, ThreadMain, start.get());
    ::pthread_attr_destroy(&attr);
    if (err != 0) {
        errno = err;
        return 0;
    }
    start.release();  // the thread owns it now
    // The id is the new thread's own GetCurrentThreadId, as on Windows.
    while (state->id.load(std::memory_order_acquire) == 0) FutexWait(&state->id, 0, nullptr);
    if (thrdaddr != nullptr) *thrdaddr = state->id.load(std::memory_order_acquire);
    return reinterpret_cast<uintptr_t>(static_cast<pal::Object*>(thread.release()));
}
