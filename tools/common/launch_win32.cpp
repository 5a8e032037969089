#include "tools/common/launch.h"

bool IsCommandLineBlank(WCHAR c) { return c == L' ' || c == L'\t'; }

const WCHAR* SkipCommandLineBlanks(const WCHAR* p) {
    while (IsCommandLineBlank(*p)) ++p;
    return p;
}

const WCHAR* CommandLineTail(const WCHAR* p) {
    // The program's name follows simpler rules than the arguments: a quoted
    // name ends at the next quote, whatever precedes it.
    if (*p == L'"') {
        ++p;
        while (*p != 0 && *p != L'"') ++p;
        if (*p == L'"') ++p;
    } else {
        while (*p != 0 && !IsCommandLineBlank(*p)) ++p;
    }
    return SkipCommandLineBlanks(p);
}

HANDLE InheritableStdHandle(DWORD which) {
    HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return handle;
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
        return handle;
    }
    return copy;
}
