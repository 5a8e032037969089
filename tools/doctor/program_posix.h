// What fork and execvp make, on Linux, of the program a manifest names.
#pragma once

#include <string>

#include "tools/doctor/rules.h"

// chrome/browser/extensions/api/messaging/launch_context.cc,
// LaunchContext::LaunchInBackground: "path" must be absolute and exist; then
// launch_context_posix.cc, LaunchNativeProcess, starts it through
// base/process/launch_posix.cc, LaunchProcess: fork, chdir to the program's
// folder, execvp. A program that cannot run still "starts": the child ends
// and the extension is told the host exited.
ProgramVerdict JudgeProgram(const std::string& manifestPath, const std::string& pathValue);
