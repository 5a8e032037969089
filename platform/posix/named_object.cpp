// Named objects live while a live process holds them, as on Windows, where
// the system closes a process's handles however it ends.
//
// A named object is a file in /dev/shm whose first page is a small header; a
// mapping's bytes start on the second page. The kernel keeps the count of its
// holders: every handle is an open file description with a shared
// open-file-description lock on the file. The handle's close gives the lock
// up; the kernel drops it when the process dies, a SIGKILL included. Whoever
// takes the lock exclusively knows that no live process holds the object:
//  - a creator builds the object whole and nameless (O_TMPFILE), with its
//    final mode and contents and its shared lock already taken, and only then
//    gives it the name with link(), which never replaces a name. No object is
//    seen under its name half made, and a creator killed at any step leaves
//    nothing under it;
//  - an opener never adopts an object that nobody holds: ended processes
//    left it. It removes the name; or, where the sticky /dev/shm keeps it
//    from removing another account's file, a creator sets the file up afresh
//    while it holds it exclusively, and an opener leaves it;
//  - the closer of the last handle, or a process that ends normally while it
//    holds the object, removes the name, once, and gives up the exclusive
//    lock at once, whatever views remain. A name is only removed by a
//    process that holds the object it names exclusively, checked just before.
// Opens never create (no O_CREAT), so fs.protected_regular never matters. A
// forked child takes holds of its own, as it inherits handles on Windows.
// No lock is ever waited on without a deadline, and none outlives its holder.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <new>
#include <set>

#include "platform/posix/fault_seam.h"
#include "platform/posix/kernel_objects.h"

namespace pal {
namespace {

const char kShmDir[] = "/dev/shm";

// How long an opener waits for a process that holds the object exclusively
// (removing it, or setting it up afresh).
constexpr int64_t kExclusiveWaitNs = 5000LL * 1000000LL;

int64_t NowNs() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void PauseBriefly() {
    struct timespec ts = {0, 200000};
    ::nanosleep(&ts, nullptr);
}

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

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

// The file of a Win32 object name, one-to-one: "Global\x" becomes
// "/dev/shm/orvendel.<namespace>.Global%5Cx". The escapes keep '/' out of the
// file name and keep "a\b", "a/b" and "a%5Cb" apart.
bool PathOf(LPCWSTR name, std::string* out) {
    std::string utf8;
    if (!NameToUtf8(name, &utf8)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    std::string file = "orvendel.";
    const char* ns = ::getenv("ORVENDEL_NAMESPACE");
    if (ns != nullptr && *ns != 0) {
        AppendEscaped(&file, ns);
        file += '.';
    }
    AppendEscaped(&file, utf8);
    if (file.size() > NAME_MAX) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    *out = std::string(kShmDir) + "/" + file;
    return true;
}

// ---------------------------------------------------------------------------
// Locks on the whole file

bool LockFile(int fd, short type) {
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

bool LockIsTaken(int err) { return err == EAGAIN || err == EACCES; }

// Whether path still leads to the file of fd.
bool NamesFile(int fd, const std::string& path) {
    struct stat mine, named;
    return ::fstat(fd, &mine) == 0 && mine.st_nlink > 0 && ::stat(path.c_str(), &named) == 0 &&
           named.st_dev == mine.st_dev && named.st_ino == mine.st_ino;
}

// Removes path, which must still name the file that fd holds exclusively.
// 0, or the errno of the refusal (EPERM: the sticky /dev/shm keeps another
// account's file).
int RemoveName(int fd, const std::string& path) {
    if (!NamesFile(fd, path)) return 0;
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

DWORD ErrorFromAllocation(int err) {
    // Out of space or out of inodes is the same to a caller: no room.
    return err == ENOSPC || err == EFBIG || err == ENOMEM || err == EDQUOT ? ERROR_NOT_ENOUGH_MEMORY
                                                                            : ErrorFromErrno(err);
}

bool MapHeader(Hold* hold) {
    void* page = ::mmap(nullptr, kHeaderBytes, PROT_READ | PROT_WRITE, MAP_SHARED, hold->fd, 0);
    if (page == MAP_FAILED) {
        SetLastError(ErrorFromErrno(errno));
        return false;
    }
    hold->header = static_cast<SharedHeader*>(page);
    return true;
}

// Sizes and fills the object of hold->fd from nothing, while nobody else can
// see it or use it; the header reads as ready last.
bool Initialise(Hold* hold, const Creation& creation) {
    if (::ftruncate(hold->fd, 0) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return false;
    }
    uint64_t bytes = kHeaderBytes + (creation.kind == kKindMapping ? RoundUpToPage(creation.size) : 0);
    // Commit the memory now, as Windows does: a full /dev/shm then fails the
    // creation instead of raising SIGBUS at the first touch of a view.
    int err = ::posix_fallocate(hold->fd, 0, static_cast<off_t>(bytes));
    if (err == EOPNOTSUPP || err == EINVAL) err = ::ftruncate(hold->fd, static_cast<off_t>(bytes)) == 0 ? 0 : errno;
    if (err != 0) {
        SetLastError(ErrorFromAllocation(err));
        return false;
    }
    if (!MapHeader(hold)) return false;
    SharedHeader* h = hold->header;
    h->kind = creation.kind;
    h->manualReset = creation.manualReset ? 1 : 0;
    h->state.store(creation.initialState ? kSignalled : 0, std::memory_order_relaxed);
    h->protect = creation.protect;
    h->size = creation.size;
    h->ready.store(kReadyMagic, std::memory_order_release);
    return true;
}

// ---------------------------------------------------------------------------
// The named objects this process holds, for its normal end and for fork.

struct HoldTable {
    std::mutex lock;
    std::set<Hold*> holds;
};

HoldTable& Holds() {
    // Never destroyed: handles may still be closed while statics go away.
    static HoldTable* table = new HoldTable;
    return *table;
}

void ReleaseLocked(Hold* hold);

// At exit the names of objects that nobody else holds go, as the system
// closes every handle of an ending process on Windows. Nothing is unmapped:
// other threads may still be using the objects until the process is gone.
// The holds stay listed, so that leak checkers see the handles never closed.
void ReleaseAllAtExit() {
    HoldTable& table = Holds();
    std::lock_guard<std::mutex> guard(table.lock);
    for (Hold* hold : table.holds) ReleaseLocked(hold);
}

// A forked child gets holds of its own, as handle inheritance gives it its
// own references on Windows: its copies of our descriptors would share our
// locks, so our last close would remove a name that the child still uses,
// and the child's ours. Each new hold is taken before the fork, so that no
// close of ours can come between.
void HoldForChild() {
    HoldTable& table = Holds();
    table.lock.lock();
    for (Hold* hold : table.holds) {
        if (hold->released || hold->holder != ::getpid()) continue;
        char self[64];
        ::snprintf(self, sizeof self, "/proc/self/fd/%d", hold->fd);
        hold->childFd = ::open(self, O_RDWR | O_CLOEXEC);
        if (hold->childFd >= 0 && !LockFile(hold->childFd, F_RDLCK)) {
            ::close(hold->childFd);
            hold->childFd = -1;
        }
    }
}

// In the parent, the child's holds are the child's alone.
void HoldOnlyOurs() {
    HoldTable& table = Holds();
    for (Hold* hold : table.holds) {
        if (hold->childFd >= 0) ::close(hold->childFd);
        hold->childFd = -1;
    }
    table.lock.unlock();
}

void TakeChildHolds() {
    HoldTable& table = Holds();
    for (Hold* hold : table.holds) {
        if (hold->childFd < 0) continue;
        if (::dup3(hold->childFd, hold->fd, O_CLOEXEC) >= 0) hold->holder = ::getpid();
        ::close(hold->childFd);
        hold->childFd = -1;
    }
    table.lock.unlock();
}

void RememberHold(Hold* hold) {
    static std::once_flag registered;
    std::call_once(registered, [] {
        std::atexit(ReleaseAllAtExit);
        ::pthread_atfork(HoldForChild, HoldOnlyOurs, TakeChildHolds);
    });
    HoldTable& table = Holds();
    std::lock_guard<std::mutex> guard(table.lock);
    hold->holder = ::getpid();
    hold->released = false;
    table.holds.insert(hold);
}

// With the table locked: each hold is given up once, and never acts again.
void ReleaseLocked(Hold* hold) {
    if (hold->released) return;
    hold->released = true;
    // A child that could not take its own hold after fork shares ours.
    if (hold->holder != ::getpid()) return;
    if (LockFile(hold->fd, F_WRLCK)) {
        ORV_FAULT_POINT("release.locked");
        // Refused across accounts: the file stays, nobody holds it, and the
        // next taker of the name sees that.
        RemoveName(hold->fd, hold->path);
        ORV_FAULT_POINT("release.removed");
    }
    // At once, even while views (or another thread's wait at exit) keep the
    // file mapped: what they map is no longer held.
    LockFile(hold->fd, F_UNLCK);
}

// ---------------------------------------------------------------------------
// Creating and opening

// Logged once per call: a leftover that this account can neither use nor
// remove needs a person.
void ReportLeftover(const std::string& path, const char* what) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return;
    ::fprintf(stderr,
              "orvendel: %s (owner uid %u, mode %04o) %s by uid %u; remove it as its owner or as root once no "
              "process of its owner uses it\n",
              path.c_str(), static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 07777), what,
              static_cast<unsigned>(::geteuid()));
}

enum class Outcome { Done, Failed, Again };

// Names the nameless file of fd; fails with EEXIST rather than replace.
bool LinkNameless(int fd, const std::string& path) {
    char self[64];
    ::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    if (::linkat(AT_FDCWD, self, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
    // /proc/self is closed to a process that changed its ids (not dumpable);
    // linking by the descriptor itself may need a capability, so it comes second.
    if (errno != EACCES && errno != ENOENT) return false;
    return ::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0;
}

// Builds the object nameless, whole and held, then names it. Again when
// another process named its own object first.
Outcome Publish(Hold* hold, const Creation& creation) {
    UniqueFd fd(::open(kShmDir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        SetLastError(ErrorFromAllocation(errno));
        return Outcome::Failed;
    }
    hold->fd = fd.release();
    // Open to every account, whatever the umask: the stand-in for a null DACL.
    if (::fchmod(hold->fd, 0666) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return Outcome::Failed;
    }
    if (!Initialise(hold, creation)) return Outcome::Failed;
    if (!LockFile(hold->fd, F_RDLCK)) {
        SetLastError(ErrorFromErrno(errno));
        return Outcome::Failed;
    }
    ORV_FAULT_POINT("create.built");
    if (!LinkNameless(hold->fd, hold->path)) {
        int err = errno;
        if (err == EEXIST) return Outcome::Again;
        SetLastError(ErrorFromAllocation(err));
        return Outcome::Failed;
    }
    ORV_FAULT_POINT("create.published");
    return Outcome::Done;
}

// The file is held exclusively by us: nobody holds the object. Openers
// remove its name; creators too, or, when that is refused, set the file up
// afresh and share it.
Outcome TakeOverLeftover(Hold* hold, const Creation* creation) {
    ORV_FAULT_POINT("leftover.locked");
    int refused = RemoveName(hold->fd, hold->path);
    if (refused == 0) return Outcome::Again;
    if (creation == nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return Outcome::Failed;
    }
    if (!Initialise(hold, *creation)) {
        ReportLeftover(hold->path, "cannot be set up afresh");
        return Outcome::Failed;
    }
    ORV_FAULT_POINT("leftover.reset");
    // From exclusive to shared in one step: nobody comes between.
    if (!LockFile(hold->fd, F_RDLCK)) {
        SetLastError(ErrorFromErrno(errno));
        return Outcome::Failed;
    }
    return Outcome::Done;
}

// Shares an object that a live process holds, once whoever holds it
// exclusively has let go. Again when its name went meanwhile.
Outcome Adopt(Hold* hold, uint32_t kind) {
    if (!LockFile(hold->fd, F_RDLCK)) {
        if (!LockIsTaken(errno)) {
            SetLastError(ErrorFromErrno(errno));
            return Outcome::Failed;
        }
        ORV_FAULT_POINT("open.blocked");
        PauseBriefly();
        return Outcome::Again;
    }
    ORV_FAULT_POINT("open.locked");
    if (!NamesFile(hold->fd, hold->path)) return Outcome::Again;
    struct stat st;
    if (::fstat(hold->fd, &st) != 0 || static_cast<uint64_t>(st.st_size) < kHeaderBytes || !MapHeader(hold) ||
        hold->header->ready.load(std::memory_order_acquire) != kReadyMagic || hold->header->kind != kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return Outcome::Failed;
    }
    return Outcome::Done;
}

// One try at the name: Again when the name changed under us.
Outcome TryAttach(Hold* hold, uint32_t kind, const Creation* creation, bool* existed) {
    UniqueFd fd(::open(hold->path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0) {
        int err = errno;
        if (err == ENOENT) {
            if (creation == nullptr) {
                SetLastError(ERROR_FILE_NOT_FOUND);
                return Outcome::Failed;
            }
            *existed = false;
            return Publish(hold, *creation);
        }
        if (err == EACCES) ReportLeftover(hold->path, "cannot be opened");
        SetLastError(ErrorFromErrno(err));
        return Outcome::Failed;
    }
    hold->fd = fd.release();
    ORV_FAULT_POINT("open.opened");
    if (LockFile(hold->fd, F_WRLCK)) {
        if (!NamesFile(hold->fd, hold->path)) return Outcome::Again;  // its last holder removed it as we came
        *existed = false;
        return TakeOverLeftover(hold, creation);
    }
    if (!LockIsTaken(errno)) {
        SetLastError(ErrorFromErrno(errno));
        return Outcome::Failed;
    }
    *existed = true;
    return Adopt(hold, kind);
}

void Detach(Hold* hold) {
    if (hold->header != nullptr) ::munmap(hold->header, kHeaderBytes);
    if (hold->fd >= 0) ::close(hold->fd);
    hold->header = nullptr;
    hold->fd = -1;
}

}  // namespace

Hold::~Hold() {
    Release();
    Detach(this);
}

void Hold::Release() {
    if (path.empty()) return;
    std::lock_guard<std::mutex> guard(Holds().lock);
    ReleaseLocked(this);
    Holds().holds.erase(this);
}

HoldRef AttachNamed(LPCWSTR name, uint32_t kind, const Creation* creation, bool* existed) {
    HoldRef hold(new (std::nothrow) Hold);
    if (!hold) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (!PathOf(name, &hold->path)) return nullptr;
    const int64_t deadline = NowNs() + kExclusiveWaitNs;
    for (;;) {
        Outcome outcome = TryAttach(hold.get(), kind, creation, existed);
        if (outcome == Outcome::Done) break;
        // What the failed try took is given up; its name is not ours to remove.
        DWORD error = GetLastError();
        Detach(hold.get());
        if (outcome == Outcome::Failed) {
            SetLastError(error);
            return nullptr;
        }
        if (NowNs() > deadline) {
            SetLastError(ERROR_TIMEOUT);
            return nullptr;
        }
    }
    RememberHold(hold.get());
    return hold;
}

HoldRef CreateUnnamed(const Creation& creation) {
    HoldRef hold(new (std::nothrow) Hold);
    if (!hold) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    hold->fd = ::memfd_create("orvendel", MFD_CLOEXEC);
    if (hold->fd < 0) {
        SetLastError(ErrorFromAllocation(errno));
        return nullptr;
    }
    if (!Initialise(hold.get(), creation)) return nullptr;
    return hold;
}

}  // namespace pal
