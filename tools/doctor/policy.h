// The browser's policies: the Linux loader that fills a PolicyMap from the
// config folders, and the handlers that turn the merged values into what the
// browser acts on. The handlers serve every platform's loader.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tools/doctor/policy_map.h"

// Loads <configDir>/managed into `mandatory` and <configDir>/recommended into
// `recommended`, leaving out of `recommended` every policy `mandatory` sets.
// Files the browser skips are named, with the reason, in mandatory->problems.
void LoadPolicyFolders(const std::string& configDir, PolicyMap* mandatory, PolicyMap* recommended);

// A policy a handler drops, whole or in part: a WARN in the report.
struct PolicyProblem {
    std::string policy;
    std::string source;
    std::string text;
};

// A list policy as ListPolicyHandler leaves it.
struct ListPolicy {
    bool set = false;
    std::string source;
    std::vector<std::string> entries;
};

struct NativeMessagingPolicies {
    ListPolicy blocklist;
    ListPolicy allowlist;
    int userLevelHosts = -1;  // -1 unset, 0 false, 1 true
    std::string userLevelSource;
};

// The three native messaging policies as their handlers apply them, each from
// the level that won it (a mandatory value, else a recommended one).
NativeMessagingPolicies ReadNativeMessagingPolicies(const PolicyMap& mandatory, const PolicyMap& recommended,
                                                    std::vector<PolicyProblem>* problems);

// extensions/common/extension_urls.cc, kChromeWebstoreUpdateURL.
constexpr char kChromeWebstoreUpdateUrl[] = "https://clients2.google.com/service/update2/crx";
// Microsoft, "Alternative ways to distribute an extension": Edge Add-ons' update URL.
constexpr char kEdgeAddonsUpdateUrl[] = "https://edge.microsoft.com/extensionwebstorebase/v1/crx";

// How an extension comes to be in the profile.
enum class ExtensionKind { kUnpacked, kFromStore };

struct ExtensionPolicyVerdict {
    bool runs = true;
    std::string policy;  // the policy that decided, when one did
    std::string source;
    std::string why;  // fit for a report line
    std::string fix;  // when it does not run
};

// extension_management.h, ExtensionManagement::InstallationMode.
enum class InstallMode { kAllowed, kBlocked, kForced, kRecommended, kRemoved };

// extension_management_internal.h, IndividualSettings, with the policy and
// source that set each part.
struct IndividualSettings {
    InstallMode mode = InstallMode::kAllowed;
    std::string modePolicy;
    std::string modeSource;
    std::vector<std::string> blockedPermissions;  // less the allowed ones
    std::string permissionsSource;
    std::string updateUrl;  // where a forced or recommended extension comes from
};

// The extension policies as ExtensionManagement::Refresh leaves them.
struct ExtensionPolicies {
    bool any = false;  // whether any extension policy is set
    std::vector<PolicyProblem> problems;
    IndividualSettings defaults;
    std::map<std::string, IndividualSettings> byId;
    std::map<std::string, IndividualSettings> byUpdateUrl;
    // GlobalSettings' allowed_types: when restricted, the manifest types
    // that may load at all.
    bool restrictedTypes = false;
    std::vector<std::string> allowedTypes;
    std::string typesPolicy;
    std::string typesSource;
    // BlockExternalExtensions: the browser reads no external extensions
    // (Windows: its Extensions registry keys).
    bool blockExternal = false;
    std::string blockExternalSource;
    std::string storeUpdateUrl;
};
// `storeUpdateUrl`: what a forcelist entry of an id alone installs from
// (extension_urls::kChromeWebstoreUpdateURL, Edge's own in Edge).
ExtensionPolicies ReadExtensionPolicies(const PolicyMap& mandatory, const PolicyMap& recommended,
                                        const std::string& storeUpdateUrl = kChromeWebstoreUpdateUrl);
// Whether an extension of this id, installed so, may run at all.
ExtensionPolicyVerdict JudgeExtension(const ExtensionPolicies& policies, const std::string& id, ExtensionKind kind);
