// Between the files of the named objects: their names (object_names.cpp),
// the locks that count their holders (object_locks.cpp), the table of this
// process's holds (object_holds.cpp), and creating and opening them
// (named_object.cpp, whose top comment tells how they live).
#pragma once

#include <string>

#include "platform/posix/kernel_objects.h"

namespace pal {

extern const char kShmDir[];

// The file of a Win32 object name; false with the last error set.
bool PathOf(LPCWSTR name, std::string* out);

// The hold byte: every handle keeps a shared lock on it, and whoever takes
// it exclusively knows that no live process holds the object. type is
// F_RDLCK, F_WRLCK or F_UNLCK; never waits.
bool LockHold(int fd, short type);
// The join byte: openers that must tell whether anyone else still holds the
// object take it exclusively, one at a time.
bool LockJoin(int fd, short type);
bool LockIsTaken(int err);
// 1 when another open file holds a lock on the hold byte, 0 when none does,
// -1 with errno set when the kernel cannot say.
int HeldByOthers(int fd);
// Whether path still leads to the file of fd.
bool NamesFile(int fd, const std::string& path);
// Removes path, which must still name the file that fd holds exclusively.
// 0, or the errno of the refusal (EPERM: the sticky /dev/shm keeps another
// account's file).
int RemoveName(int fd, const std::string& path);

// Lists a hold, for the process's normal end and for fork.
void RememberHold(Hold* hold);
// Unmaps the header and closes the file; gives up no name.
void Detach(Hold* hold);

}  // namespace pal
