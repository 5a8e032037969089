#include "support/heap.h"

#include <atomic>

namespace {
std::atomic<int> g_failCountdown{0};
}

bool ShouldFailAllocation() {
    int n = g_failCountdown.load(std::memory_order_relaxed);
    while (n > 0) {
        if (g_failCountdown.compare_exchange_weak(n, n - 1)) return n == 1;
    }
    return false;
}

void InjectAllocationFailure(int nth) { g_failCountdown.store(nth < 0 ? 0 : nth); }
