// What orv-launcher and orvendel-tap share as the parent of the one program
// each starts in a browser's place: on Windows, taking their own command line
// apart and handing their standard handles on; on POSIX, passing stop
// requests on to the child and reporting how it ended.
#pragma once

#include "platform/platform.h"

#if defined(_WIN32)

bool IsCommandLineBlank(WCHAR c);
const WCHAR* SkipCommandLineBlanks(const WCHAR* p);
// The rest of a command line after the program's name and the blanks that
// follow it: the arguments, exactly as the parent wrote them.
const WCHAR* CommandLineTail(const WCHAR* commandLine);
// An inheritable copy of one of our standard handles, or the handle itself
// when it can't be copied (a missing one stays missing).
HANDLE InheritableStdHandle(DWORD which);

#else

#include <signal.h>
#include <sys/types.h>

// SIGTERM, SIGINT, SIGHUP and SIGQUIT for us are meant for the child. Call
// before starting it: they are held until ForwardStopRequests names the
// child. *startMask gets our mask from before, the one the child starts with.
void HoldStopRequests(sigset_t* startMask);
// From now on stop requests go to the child; none is held any more.
void ForwardStopRequests(pid_t child, const sigset_t& startMask);
// Waits for the child, through interruptions; after it, stop requests go
// nowhere. False when waitpid failed; else its raw status in *raw.
bool WaitForChild(pid_t child, int* raw);
// A raw status as a shell reports it: the exit status, or 128 + the signal
// that ended the child; 125 for anything else.
int ShellExitStatus(int raw);

#endif
