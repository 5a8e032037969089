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
    static bool fired = false;  // once: a step in a retry loop stops the process only the first time
    const char* fault = ::getenv("ORVENDEL_FAULT");
    if (fault == nullptr || fired) return;
    size_t n = ::strlen(step);
    if (::strncmp(fault, step, n) != 0 || fault[n] != ':') return;
    const char* action = fault + n + 1;
    fired = true;
    if (::strcmp(action, "kill") == 0) ::raise(SIGKILL);
    if (::strcmp(action, "stop") == 0) {
        ::printf("@ipc stopped %s\n", step);
        ::fflush(stdout);
        ::raise(SIGSTOP);
    }
}

}  // namespace pal
#endif
