// What differs per platform: which browsers there are, where each looks for
// the host's registration and policies, and what a program must be.
// lookup_posix.cpp and lookup_win.cpp each define these.
#pragma once

#include <string>
#include <vector>

#include "tools/doctor/rules.h"

// Extension ids, file extensions and log names compare in ASCII lower case.
inline std::string AsciiLower(std::string s) {
    for (char& c : s) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return s;
}

// In report order; the first names are what --browser takes.
std::vector<std::string> KnownBrowsers();
bool BrowserInstalled(const std::string& browser);
// The registrations, manifests and policies the browser reads, as it reads them.
BrowserInputs GatherBrowser(const std::string& browser, const std::string& name);
// The browser's --user-data-dir; empty: none given.
void SetUserDataDir(const std::string& dir);
// Whose HOME or HKCU the doctor reads, when that is not the desktop user's.
void AddAccountNotes(Report* report);

// A user judged instead of the account the doctor runs as: Windows a SID
// (its hive under HKEY_USERS), Linux a login (its HOME).
struct UserAccount {
    std::string id;
    std::string name;    // the account's name; the id when it has none
    std::string unread;  // set by JudgeUser: why its settings cannot be read
    std::string fix;
};
// --user: the account `given` names; false, with why, when it names none.
bool FindUser(const std::string& given, UserAccount* user, std::string* why);
// --all-users: every user's account, those that cannot be read too.
std::vector<UserAccount> ListUsers();
// From now on the registrations and policies read are this user's; false,
// with user->unread and fix, when they cannot be read.
bool JudgeUser(UserAccount* user);
// Whether every account may add files to the dump folder, judged without
// writing there.
void JudgeDumpFolder(const std::string& folder, Report* report);
// The agent's objects: which profile of names a browser uses.
bool UsesEdgeNames(const std::string& browser);
// The user sessions whose hosts share the agent's objects (Windows only).
void CheckSessions(Report* report);
// A path of the client's, as the platform's file functions take it.
std::string NativePath(const std::string& path);
