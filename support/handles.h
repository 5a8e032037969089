// Owners for kernel handles and mapped views: released on every path.
#pragma once

#include <memory>

#include "platform/platform.h"

struct HandleCloser {
    void operator()(HANDLE handle) const {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

struct ViewUnmapper {
    void operator()(void* view) const {
        if (view != nullptr) UnmapViewOfFile(view);
    }
};
using UniqueView = std::unique_ptr<void, ViewUnmapper>;
