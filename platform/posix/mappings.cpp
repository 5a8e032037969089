// Named and unnamed file mappings of memory. Their lifetime is the named
// objects' (named_object.cpp); their views are in views.cpp.
#include "platform/posix/kernel_objects.h"

using pal::MappingObject;

namespace {
// Far beyond any block the agent makes; keeps the offset arithmetic in range.
constexpr uint64_t kMaxMappingBytes = uint64_t(1) << 40;
}  // namespace

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
    pal::Creation creation;
    creation.kind = pal::kKindMapping;
    creation.protect = protect;
    creation.size = size;
    bool existed = false;
    MappingObject* mapping = pal::MakeObject<MappingObject>(lpName, &creation, &existed);
    if (mapping == nullptr) return nullptr;
    mapping->writable = protect == PAGE_READWRITE && mapping->hold->header->protect == PAGE_READWRITE;
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return static_cast<pal::Object*>(mapping);
}

HANDLE OpenFileMappingW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName) {
    if (!pal::NameToOpen(lpName)) return nullptr;
    bool existed = false;
    MappingObject* mapping = pal::MakeObject<MappingObject>(lpName, nullptr, &existed);
    if (mapping == nullptr) return nullptr;
    mapping->writable = (dwDesiredAccess & FILE_MAP_WRITE) != 0 && mapping->hold->header->protect == PAGE_READWRITE;
    return static_cast<pal::Object*>(mapping);
}

