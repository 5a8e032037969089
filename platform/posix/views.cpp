// Views of file mappings. A view keeps the memory of its mapping, not its
// name nor its hold: as on Windows, the name goes with the last handle.
#include <errno.h>
#include <sys/mman.h>

#include <map>
#include <mutex>

#include "platform/posix/kernel_objects.h"

using pal::MappingObject;

namespace {

constexpr uint64_t kViewAlignment = 65536;

// UnmapViewOfFile gets only an address, so the views are kept here.
struct ViewTable {
    std::mutex lock;
    std::map<uintptr_t, size_t> views;  // base -> length
};

ViewTable& Views() {
    // Never destroyed: views may still be unmapped while statics go away.
    static ViewTable* table = new ViewTable;
    return *table;
}

// The view holding address: any address inside a view names it, as under
// Windows. False with the last error set when none does.
bool FindView(ViewTable& table, LPCVOID address, std::map<uintptr_t, size_t>::iterator* found) {
    uintptr_t a = reinterpret_cast<uintptr_t>(address);
    auto it = table.views.upper_bound(a);
    if (it != table.views.begin()) {
        --it;
        if (a < it->first + it->second) {
            *found = it;
            return true;
        }
    }
    SetLastError(ERROR_INVALID_ADDRESS);
    return false;
}

}  // namespace

LPVOID MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                     DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap) {
    MappingObject* mapping = pal::ObjectOf<MappingObject>(hFileMappingObject);
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
    uint64_t limit = pal::RoundUpToPage(mapping->hold->header->size);
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
    void* view = ::mmap(nullptr, static_cast<size_t>(length), prot, copy ? MAP_PRIVATE : MAP_SHARED, mapping->hold->fd,
                        static_cast<off_t>(pal::kHeaderBytes + offset));
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
    std::map<uintptr_t, size_t>::iterator it;
    if (!FindView(table, lpBaseAddress, &it)) return FALSE;
    uintptr_t from = reinterpret_cast<uintptr_t>(lpBaseAddress);
    uintptr_t viewEnd = it->first + it->second;
    uintptr_t to = dwNumberOfBytesToFlush == 0 || dwNumberOfBytesToFlush > viewEnd - from
                       ? viewEnd : from + dwNumberOfBytesToFlush;
    uintptr_t start = from - (from - it->first) % pal::kPage;
    if (::msync(reinterpret_cast<void*>(start), to - start, MS_SYNC) != 0) {
        SetLastError(pal::ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL UnmapViewOfFile(LPCVOID lpBaseAddress) {
    ViewTable& table = Views();
    std::lock_guard<std::mutex> guard(table.lock);
    std::map<uintptr_t, size_t>::iterator it;
    if (!FindView(table, lpBaseAddress, &it)) return FALSE;
    ::munmap(reinterpret_cast<void*>(it->first), it->second);
    table.views.erase(it);
    return TRUE;
}

