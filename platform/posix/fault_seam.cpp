#include "platform/posix/fault_seam.h"

#if defined(ORV_FAULT_SEAM)
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace pal {

// "stop" says where on standard output first, so that the test knows which
// step holds the process before it looks at what the step left.
void FaultPoint(const char* step) {
    // Each listed step acts once: a step in a retry loop stops the process
    // only the first time.
    constexpr int kMostSteps = 8;
    static bool fired[kMostSteps] = {};
    const char* fault = ::getenv("ORVENDEL_FAULT");
    const size_t n = ::strlen(step);
    for (int i = 0; fault != nullptr && *fault != 0 && i < kMostSteps; ++i) {
        const char* comma = ::strchr(fault, ',');
        size_t length = comma != nullptr ? static_cast<size_t>(comma - fault) : ::strlen(fault);
        if (!fired[i] && length == n + 5 && ::strncmp(fault, step, n) == 0 && fault[n] == ':') {
            fired[i] = true;
            const char* action = fault + n + 1;
            if (::strncmp(action, "kill", 4) == 0) ::raise(SIGKILL);
            if (::strncmp(action, "stop", 4) == 0) {
                ::printf("@ipc stopped %s\n", step);
                ::fflush(stdout);
                ::raise(SIGSTOP);
            }
            return;
        }
        fault = comma != nullptr ? comma + 1 : fault + length;
    }
}

}  // namespace pal
#endif
