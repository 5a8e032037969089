// Included by each fuzz target once. Pointer-overflow checks are built
// recoverable so that the one known third-party report can be suppressed;
// every other report still ends the run.
#pragma once

extern "C" const char* __ubsan_default_options() {
    return "halt_on_error=1:print_stacktrace=1:suppressions=" ORV_UBSAN_SUPPRESSIONS;
}
