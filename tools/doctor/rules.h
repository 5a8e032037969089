// The browsers' own rules, free of any file system or registry: each takes
// what the platform's lookup read and adds its checks to the report.
#pragma once

#include <rapidjson/document.h>

#include <string>
#include <vector>

#include "tools/doctor/policy.h"
#include "tools/doctor/policy_map.h"
#include "tools/doctor/url_pattern.h"
#include "tools/doctor/verdict.h"

bool IsValidHostName(const std::string& name);
bool IsExtensionId(const std::string& id);

// A manifest's text as Chromium reads it; false with a reason when it does not.
bool ParseManifestJson(const std::string& text, rapidjson::Document* doc, std::string* why);
// A policy file's text as Chromium reads it.
bool ParsePolicyJson(const std::string& text, rapidjson::Document* doc, std::string* why);


// One registration as the browser meets it, in its order.
struct Registration {
    std::string where;         // the file or key, as shown
    std::string manifestPath;  // the manifest it leads to
    bool userLevel = false;
    bool skipped = false;      // present but never read by the browser
    std::string skippedWhy;
    std::string problem;       // why the browser gets no manifest from it
    bool readable = false;
    std::string readWhy;       // when not readable: why, and what the browser then does
    std::string readSays;      // empty: "not found"
    std::string text;          // the manifest's bytes
};

// What the platform knows about the program a manifest names.
struct ProgramVerdict {
    Status status = Status::kOk;
    std::string text;
    std::string fix;
    std::string browserSays;
    std::string browserAlsoSays;
};

// One subkey of the browser's external-extension registry keys (Windows),
// as ExternalRegistryLoader and ExternalProviderImpl leave it.
struct ExternalOffer {
    std::string name;       // the subkey's name
    std::string id;         // the name in lower case, when it is an extension id
    std::string where;      // the key read, as shown
    std::string updateUrl;  // either this
    std::string crxPath;    // or a .crx file and its version
    std::string problem;    // why the browser passes over it; empty: it offers the extension
};

struct BrowserInputs {
    std::string user;  // the account judged, when named (--user, --all-users)
    std::string browser;
    std::string shown;
    bool policiesRead = false;
    PolicyMap policies;     // the mandatory policies the loader merged
    PolicyMap recommended;  // the recommended ones no mandatory value outranks
    bool unpacked = false;  // the extensions are loaded unpacked (--load-extension), not from the store
    std::vector<Registration> registrations;
    // Where an extension from the store comes from (kChromeWebstoreUpdateURL
    // or Edge's), for a forcelist entry of an id alone.
    std::string storeUpdateUrl = kChromeWebstoreUpdateUrl;
    // Windows: the offers in the browser's external-extension keys. A policy
    // that installs from elsewhere than the store counts only on a managed
    // machine (storeRules); Chrome keeps an offered extension from elsewhere
    // turned off (verifiesStore).
    std::vector<ExternalOffer> offers;  // those passed over too, with the reason
    bool storeRules = false;
    bool managedMachine = false;  // joined to a domain
    bool verifiesStore = false;
    std::string registerFix;  // how to register the host on this platform
    // The program's verdict from the manifest's path and the "path" value.
    ProgramVerdict (*judgeProgram)(const std::string& manifestPath, const std::string& pathValue) = nullptr;
};

// Adds the browser's checks in the order the browser meets them and returns
// its verdict: what connectNative ends in.
BrowserVerdict JudgeBrowser(const BrowserInputs& in, const std::string& name, const std::vector<std::string>& ids,
                            Report* report);
