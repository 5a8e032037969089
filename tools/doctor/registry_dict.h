// Windows: the browser's policies as its registry loader leaves them.
#pragma once

#include <windows.h>

#include <string>

#include "tools/doctor/policy_map.h"

// The suffix of a source whose values are only recommended: the browser reads
// NativeMessaging*, NativeHostsExecutablesLaunchDirectly and every extension
// policy but ExtensionInstallBlocklist from mandatory values only.
constexpr char kRecommendedSuffix[] = "\\Recommended";

// Fills `mandatory` and `recommended` from HKLM\<policyKey> and the user's
// hive's (HKCU, or a user's under HKEY_USERS, named `userShown`; 64-bit
// view) with the native messaging and extension policies, each the winner of
// the browser's merge; `recommended` leaves out what `mandatory` sets. The
// values it drops, and why, go to mandatory->problems.
void LoadRegistryPolicies(const std::string& policyKey, HKEY userHive, const std::string& userShown,
                          PolicyMap* mandatory, PolicyMap* recommended);
