// The doctor against the real browser, many cases a browser start. A group
// is what one browser sees: its environment and shared files (policies);
// each case of the group has a host name of its own, its own manifests and
// program. The test extension (agree-extension/, the reference extension's
// id) asks for every case's name and logs each outcome; the doctor is asked
// once a case, in the same mount namespace and environment.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

// One file of a layout. Paths are below the group's root; in texts, link
// targets and environment values "@R@" stands for that root, and "@RB@" for
// it written with backslashes and escaped for a JSON string.
struct AgreeFile {
    enum Kind { kText, kFolder, kLink };
    std::string path;
    std::string text;  // a link's target
    Kind kind = kText;
    int mode = 0644;
};

struct AgreeCase {
    std::string label;
    std::string asked;  // the name connectNative asks for
    std::vector<AgreeFile> files;
    // The doctor is asked about this extension instead: a control that must disagree.
    std::string otherExtension;
};

struct AgreeGroup {
    std::vector<std::pair<std::string, std::string>> env;
    std::vector<AgreeFile> files;
    std::vector<AgreeCase> cases;
};

// Where the browser and the doctor look, below a group's root.
namespace agree_path {
const char kHome[] = "home";
const char kUserHome[] = "home/.config/chromium/NativeMessagingHosts";
const char kXdg[] = "xdg";
const char kUserXdg[] = "xdg/chromium/NativeMessagingHosts";
const char kChromeConfig[] = "cch";
const char kUserChromeConfig[] = "cch/chromium/NativeMessagingHosts";
const char kUserDataDir[] = "udd";
const char kUserUserDataDir[] = "udd/NativeMessagingHosts";
const char kSystem[] = "etc/native-messaging-hosts";  // etc is bound over /etc/chromium
const char kPolicies[] = "etc/policies/managed";
const char kRecommended[] = "etc/policies/recommended";
const char kNoExec[] = "noexec";  // mounted noexec
}  // namespace agree_path

// The outcomes that are no lastError text.
extern const char kAgreeStarts[];
extern const char kAgreeNotRun[];

struct AgreeResult {
    std::string browser;  // kAgreeStarts, kAgreeNotRun, the lastError text, or why there is none
    std::string doctorSays;
    std::string doctorAlsoSays;
    std::vector<std::string> checks;  // "STATUS rule", Chromium's only
    std::string problem;              // set when the case could not be run
    std::string browserLines;         // the browser's own lines on native messaging and extensions
};

// The good host: it marks that it ran (by its pid, for the clean-up), sends
// one message, which the extension logs as "started", and stays.
std::string AgreeGoodHost(const std::string& marker);
std::string AgreeJsonString(const std::string& text);

// Empty where the engine can run here, else why not.
std::string AgreeSkipReason();

// Every group, up to sideBySide browsers at once, each in a folder below
// root. results[g][c] is group g's case c; groupMs[g] how long its browser ran.
struct AgreeRun {
    std::vector<std::vector<AgreeResult>> results;
    std::vector<long long> groupMs;
    std::string problem;
};
AgreeRun RunAgreement(const std::vector<AgreeGroup>& groups, const std::filesystem::path& root, int sideBySide);

bool AgreeAgrees(const AgreeResult& result);
// The layout of one case, to replay it by hand.
std::string AgreeDescribe(const AgreeGroup& group, const AgreeCase& c);
