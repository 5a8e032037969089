// The named objects this process holds, for its normal end and for fork,
// and how a hold is given up.
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <mutex>
#include <set>

#include "platform/posix/fault_seam.h"
#include "platform/posix/named_object.h"

namespace pal {
namespace {

struct HoldTable {
    std::mutex lock;
    std::set<Hold*> holds;
};

HoldTable& Holds() {
    // Never destroyed: handles may still be closed while statics go away.
    static HoldTable* table = new HoldTable;
    return *table;
}

// With the table locked: each hold is given up once, and never acts again.
void ReleaseLocked(Hold* hold) {
    if (hold->released) return;
    hold->released = true;
    // A child that could not take its own hold after fork shares ours.
    if (hold->holder != ::getpid()) return;
    if (LockHold(hold->fd, F_WRLCK)) {
        ORV_FAULT_POINT("release.locked");
        // Refused across accounts: the file stays, nobody holds it, and the
        // next taker of the name sees that.
        RemoveName(hold->fd, hold->path);
        ORV_FAULT_POINT("release.removed");
    } else {
        // Two last closers at once each refuse the other; tried once more
        // without our own lock, one of them gets it.
        ORV_FAULT_POINT("release.refused");
        LockHold(hold->fd, F_UNLCK);
        if (LockHold(hold->fd, F_WRLCK)) RemoveName(hold->fd, hold->path);
    }
    // At once, even while views (or another thread's wait at exit) keep the
    // file mapped: what they map is no longer held.
    LockHold(hold->fd, F_UNLCK);
}

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
        if (hold->childFd >= 0 && !LockHold(hold->childFd, F_RDLCK)) {
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

}  // namespace

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

void Detach(Hold* hold) {
    if (hold->header != nullptr) ::munmap(hold->header, kHeaderBytes);
    if (hold->fd >= 0) ::close(hold->fd);
    hold->header = nullptr;
    hold->fd = -1;
}

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

}  // namespace pal
