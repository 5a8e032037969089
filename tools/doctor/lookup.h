// What differs per platform: which browsers there are, where each looks for
// the host's registration and policies, and what a program must be.
// lookup_posix.cpp and lookup_win.cpp each define these.
#pragma once

#include <string>
#include <vector>

#include "tools/doctor/rules.h"

// In report order; the first names are what --browser takes.
std::vector<std::string> KnownBrowsers();
bool BrowserInstalled(const std::string& browser);
// The registrations, manifests and policies the browser reads, as it reads them.
BrowserInputs GatherBrowser(const std::string& browser, const std::string& name);
// The browser's --user-data-dir; empty: none given.
void SetUserDataDir(const std::string& dir);
// Whose HOME or HKCU the doctor reads, when that is not the desktop user's.
void AddAccountNotes(Report* report);
// Whether every account may add files to the dump folder, judged without
// writing there.
void JudgeDumpFolder(const std::string& folder, Report* report);
// The agent's objects: which profile of names a browser uses.
bool UsesEdgeNames(const std::string& browser);
// The user sessions whose hosts share the agent's objects (Windows only).
void CheckSessions(Report* report);
// A path of the client's, as the platform's file functions take it.
std::string NativePath(const std::string& path);
