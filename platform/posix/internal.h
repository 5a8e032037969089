// Helpers shared by the POSIX stand-ins.
#pragma once

#include <string>

#include "platform/platform.h"

namespace pal {

std::string ToUtf8(const WCHAR* text);
std::u16string ToUtf16(const std::string& text);
// A Win32 path as a POSIX one: UTF-8, '\' read as '/'.
std::string ToPosixPath(const WCHAR* path);
// The last-error code for an errno value.
DWORD ErrorFromErrno(int err);

// Base of every object a HANDLE points at; CloseHandle deletes it.
struct Object {
    virtual ~Object() = default;
};

struct FileObject : Object {
    int fd = -1;
    ~FileObject() override;
};

}  // namespace pal
