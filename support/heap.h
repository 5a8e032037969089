// Per-request and per-record buffers come from here, so that a failed
// allocation is an ordinary path with a last-error code, never an exception,
// and tests can make any chosen allocation fail.
#pragma once

#include <cstddef>
#include <memory>
#include <new>

#include "platform/platform.h"

template <typename T>
using HeapArray = std::unique_ptr<T[]>;

// True when the allocation about to be made must fail (test seam).
bool ShouldFailAllocation();

// Makes the nth allocation from now fail (1 = the next one); 0 turns it off.
void InjectAllocationFailure(int nth);

// A zero-filled array of count elements, or null with the last error set to
// ERROR_NOT_ENOUGH_MEMORY.
template <typename T>
HeapArray<T> AllocZeroed(size_t count) {
    if (ShouldFailAllocation()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    T* p = new (std::nothrow) T[count == 0 ? 1 : count]();
    if (p == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return HeapArray<T>(p);
}

// The same without the zero fill, for a buffer that its caller fills whole
// (a large one need not be written twice). Fails exactly as AllocZeroed does.
template <typename T>
HeapArray<T> AllocUninitialized(size_t count) {
    if (ShouldFailAllocation()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    T* p = new (std::nothrow) T[count == 0 ? 1 : count];
    if (p == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return HeapArray<T>(p);
}
