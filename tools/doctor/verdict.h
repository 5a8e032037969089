// The doctor's findings: one check per line, and per browser what
// connectNative ends in.
#pragma once

#include <string>
#include <vector>

enum class Status { kOk, kWarn, kFail };

// chrome.runtime.lastError after connectNative, word for word.
namespace browser_says {
// extensions/browser/api/messaging/native_message_host.cc (NativeMessageHost::k*Error)
constexpr char kNotFound[] = "Specified native messaging host not found.";
constexpr char kForbidden[] = "Access to the specified native messaging host is forbidden.";
constexpr char kInvalidName[] = "Invalid native messaging host name specified.";
constexpr char kExited[] = "Native host has exited.";
constexpr char kFailedToStart[] = "Failed to start native messaging host.";
constexpr char kIoError[] = "Error when communicating with the native messaging host.";
// extensions/browser/api/messaging/message_service.cc, kProhibitedByPoliciesError
constexpr char kBlocked[] = "Access to the native messaging host was disabled by the system administrator.";
// No lastError at all: the browser blocks reading the manifest (a FIFO) and
// connectNative neither starts the host nor fails.
constexpr char kNoAnswer[] = "(no answer: connectNative neither starts the host nor fails)";
}  // namespace browser_says

struct Check {
    Status status;
    std::string area;  // policy, registration, manifest, program, client, agent
    std::string rule;  // a stable name for fleet tools and tests
    std::string browser;
    std::string text;
    std::string fix;
    std::string browserSays;  // with a FAIL: what the extension is told
    // A race can tell it this instead: whichever of the browser's first write
    // and first read meets the ended host first.
    std::string browserAlsoSays;
    std::string extensionId;  // the one extension it concerns; empty: every one
    std::string decidedBy;    // with a FAIL a policy caused: the file or key that set that policy
};

// What connectNative ends in for one extension.
struct ExtensionVerdict {
    std::string id;
    bool runs = true;  // false: a policy keeps the extension from running at all
    std::string browserSays;  // empty when the host starts, or when it never runs
    std::string browserAlsoSays;
    std::string decidedBy;
    // How this machine's settings roll the extension out: "policy" (forced or
    // installed by policy), "registry" (offered by the browser's external
    // extension keys), or "" (the user installs it).
    std::string installedBy;
    std::string installMode;    // force_installed, normal_installed or offered
    std::string installPolicy;  // the policy that installs it
    std::string installSource;  // the file or key that set that policy, or the key that offers it
    std::string installUpdateUrl;
};

struct BrowserVerdict {
    std::string browser;
    bool installed = true;
    bool checked = false;
    std::vector<ExtensionVerdict> extensions;  // one per id, in the order asked

    // The first id's verdict, which the browser's own fields report.
    ExtensionVerdict First() const { return extensions.empty() ? ExtensionVerdict() : extensions.front(); }
};

struct Report {
    std::string name;
    // The user judged when one is named (--user, --all-users): the SID or
    // login, and the account's name; empty: the account the doctor runs as.
    std::string user;
    std::string account;
    std::string unread;  // why that user's settings could not be read
    std::vector<std::string> notes;
    std::vector<BrowserVerdict> browsers;
    std::vector<Check> checks;
    // --all-users: a report per user; this one keeps what the machine shares.
    bool listsUsers = false;
    std::vector<Report> users;

    void Add(Status status, const std::string& area, const std::string& rule, const std::string& browser,
             const std::string& text, const std::string& fix = std::string(),
             const std::string& browserSays = std::string()) {
        checks.push_back({status, area, rule, browser, text, fix, browserSays, std::string(), std::string(),
                          std::string()});
    }
    int Count(Status status) const {
        int n = 0;
        for (const Check& c : checks) n += c.status == status;
        for (const Report& u : users) n += u.Count(status);
        return n;
    }
};

const char* StatusWord(Status status);
