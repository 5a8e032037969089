// Named objects live while a live process holds them, as on Windows, where
// the system closes a process's handles however it ends.
//
// A named object is a file in /dev/shm whose first page is a small header; a
// mapping's bytes start on the second page. The kernel keeps the count of its
// holders: every handle is an open file description with a shared
// open-file-description lock on the file's hold byte. The handle's close
// gives the lock up; the kernel drops it when the process dies, a SIGKILL
// included. Whoever takes the hold byte exclusively knows that no live
// process holds the object:
//  - a creator builds the object whole and nameless (O_TMPFILE), with its
//    final mode and contents and its shared lock already taken, and only then
//    gives it the name with link(), which never replaces a name. No object is
//    seen under its name half made, and a creator killed at any step leaves
//    nothing under it;
//  - an opener never adopts an object that nobody holds: ended processes
//    left it. It removes the name; or, where the sticky /dev/shm keeps it
//    from removing another account's file, a creator sets the file up afresh
//    while it holds it exclusively, and an opener leaves it;
//  - an opener refused the exclusive lock shares the object only if, once it
//    holds its shared lock, another open still holds one (F_OFD_GETLK):
//    whoever held it exclusively may have let go meanwhile and left the name
//    (a closer refused the removal, a taker killed while setting it up).
//    Nobody else: a leftover, as above. Openers check one at a time, under
//    an exclusive lock on a second byte (the join byte), so that two of them
//    never vouch for each other;
//  - the closer of the last handle, or a process that ends normally while it
//    holds the object, removes the name, once, and gives up the exclusive
//    lock at once, whatever views remain. A closer refused the exclusive
//    lock tries once more after giving up its own, so that of two last
//    closers at once one removes the name. A name is only removed by a
//    process that holds the object it names exclusively, checked just before.
// Only regular files are objects: anything else under a name is reported
// and refused, as Windows refuses a name taken by another type of object.
// Files are open to every account (the stand-in for a null DACL): another
// account can change, truncate or lock one while others hold it. An open
// checks the header against the file's size, but a holder that touches the
// object after a later truncation dies of SIGBUS, and a join byte held
// exclusively keeps openers out until their deadline. Opens never create
// (no O_CREAT), so fs.protected_regular never matters. A forked child takes
// holds of its own, as it inherits handles on Windows. No lock is ever
// waited on without a deadline, and none outlives its holder.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "platform/posix/fault_seam.h"
#include "platform/posix/named_object.h"

namespace pal {
namespace {

// How long an opener waits for a process that holds the object exclusively
// (removing it, or setting it up afresh), or for other openers' checks.
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

// Logged once per call: an entry that this account can neither use nor
// remove needs a person.
void ReportEntry(const std::string& path, const char* what) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return;
    ::fprintf(stderr,
              "orvendel: %s (owner uid %u, mode %04o) %s by uid %u; remove it as its owner or as root once no "
              "process of its owner uses it\n",
              path.c_str(), static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 07777), what,
              static_cast<unsigned>(::geteuid()));
}

const char* OddKind(mode_t mode) {
    if (S_ISLNK(mode)) return "is a symbolic link, not an object, seen";
    if (S_ISDIR(mode)) return "is a folder, not an object, seen";
    if (S_ISSOCK(mode)) return "is a socket, not an object, seen";
    if (S_ISFIFO(mode)) return "is a FIFO, not an object, seen";
    return "is a device or other special file, not an object, seen";
}

enum class Outcome { Done, Failed, Again };

// Anything but a regular file under the name: as Windows answers for a name
// that an object of another type has.
Outcome RefuseOddEntry(const std::string& path, mode_t mode) {
    ReportEntry(path, OddKind(mode));
    SetLastError(ERROR_INVALID_HANDLE);
    return Outcome::Failed;
}

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
    if (!LockHold(hold->fd, F_RDLCK)) {
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
        ReportEntry(hold->path, "cannot be set up afresh");
        return Outcome::Failed;
    }
    ORV_FAULT_POINT("leftover.reset");
    // From exclusive to shared in one step: nobody comes between.
    if (!LockHold(hold->fd, F_RDLCK)) {
        SetLastError(ErrorFromErrno(errno));
        return Outcome::Failed;
    }
    return Outcome::Done;
}

// An object that another process holds, checked before use: anyone may have
// written its file. A mapping's file must hold every byte its header
// promises, or its views would raise SIGBUS.
Outcome Adopt(Hold* hold, uint32_t kind) {
    struct stat st;
    bool usable = ::fstat(hold->fd, &st) == 0 && static_cast<uint64_t>(st.st_size) >= kHeaderBytes &&
                  MapHeader(hold) && hold->header->ready.load(std::memory_order_acquire) == kReadyMagic &&
                  hold->header->kind == kind;
    if (usable && kind == kKindMapping) {
        uint64_t room = static_cast<uint64_t>(st.st_size) - kHeaderBytes;
        uint64_t size = hold->header->size;
        usable = size <= room && RoundUpToPage(size) <= room;
    }
    if (!usable) {
        SetLastError(ERROR_INVALID_HANDLE);
        return Outcome::Failed;
    }
    return Outcome::Done;
}

// Refused the exclusive lock: shares the object once nobody holds it
// exclusively, if someone else still holds it then; otherwise takes it over
// as a leftover. Under the join lock, which the caller gives up.
Outcome Join(Hold* hold, uint32_t kind, const Creation* creation, bool* existed) {
    if (!LockJoin(hold->fd, F_WRLCK) || !LockHold(hold->fd, F_RDLCK)) {
        if (!LockIsTaken(errno)) {
            SetLastError(ErrorFromErrno(errno));
            return Outcome::Failed;
        }
        ORV_FAULT_POINT("open.blocked");
        PauseBriefly();
        return Outcome::Again;
    }
    ORV_FAULT_POINT("open.locked");
    int others = HeldByOthers(hold->fd);
    if (others < 0) {
        SetLastError(ErrorFromErrno(errno));
        return Outcome::Failed;
    }
    if (others == 0) {
        // Whoever held it let go while we were refused, and left the name.
        if (!LockHold(hold->fd, F_WRLCK)) return Outcome::Again;
        if (!NamesFile(hold->fd, hold->path)) return Outcome::Again;
        *existed = false;
        return TakeOverLeftover(hold, creation);
    }
    if (!NamesFile(hold->fd, hold->path)) return Outcome::Again;
    *existed = true;
    return Adopt(hold, kind);
}

// One try at the name: Again when the name changed under us.
Outcome TryAttach(Hold* hold, uint32_t kind, const Creation* creation, bool* existed) {
    // Non-blocking, so that a FIFO under the name never holds us up.
    UniqueFd fd(::open(hold->path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
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
        struct stat st;
        if (::lstat(hold->path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return RefuseOddEntry(hold->path, st.st_mode);
        if (err == EACCES) ReportEntry(hold->path, "cannot be opened");
        SetLastError(ErrorFromErrno(err));
        return Outcome::Failed;
    }
    hold->fd = fd.release();
    struct stat st;
    if (::fstat(hold->fd, &st) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return Outcome::Failed;
    }
    if (!S_ISREG(st.st_mode)) return RefuseOddEntry(hold->path, st.st_mode);
    ORV_FAULT_POINT("open.opened");
    if (LockHold(hold->fd, F_WRLCK)) {
        if (!NamesFile(hold->fd, hold->path)) return Outcome::Again;  // its last holder removed it as we came
        *existed = false;
        return TakeOverLeftover(hold, creation);
    }
    if (!LockIsTaken(errno)) {
        SetLastError(ErrorFromErrno(errno));
        return Outcome::Failed;
    }
    ORV_FAULT_POINT("open.refused");
    return Join(hold, kind, creation, existed);
}

}  // namespace

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
    LockJoin(hold->fd, F_UNLCK);  // if it was taken, the next opener may check now
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
