// Named objects' locks: open-file-description locks on two bytes of the
// file, which the kernel drops when the last descriptor of their open goes,
// however its process ends. Locks past the end of a file are allowed, so
// the bytes need not exist.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/named_object.h"

namespace pal {
namespace {

constexpr off_t kHoldByte = 0;
constexpr off_t kJoinByte = 1;

struct flock ByteLock(off_t byte, short type) {
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    return lock;
}

bool LockByte(int fd, off_t byte, short type) {
    struct flock lock = ByteLock(byte, type);
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

}  // namespace

bool LockHold(int fd, short type) { return LockByte(fd, kHoldByte, type); }

bool LockJoin(int fd, short type) { return LockByte(fd, kJoinByte, type); }

bool LockIsTaken(int err) { return err == EAGAIN || err == EACCES; }

// Our own open's lock never conflicts with an exclusive request of ours, so
// any lock reported belongs to another open of the file.
int HeldByOthers(int fd) {
    struct flock lock = ByteLock(kHoldByte, F_WRLCK);
    if (::fcntl(fd, F_OFD_GETLK, &lock) != 0) return -1;
    return lock.l_type == F_UNLCK ? 0 : 1;
}

bool NamesFile(int fd, const std::string& path) {
    struct stat mine, named;
    return ::fstat(fd, &mine) == 0 && mine.st_nlink > 0 && ::stat(path.c_str(), &named) == 0 &&
           named.st_dev == mine.st_dev && named.st_ino == mine.st_ino;
}

int RemoveName(int fd, const std::string& path) {
    if (!NamesFile(fd, path)) return 0;
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

}  // namespace pal
