// The doctor against the real browser: a fixed table of hand-written layouts
// (each disagreement the generator finds is added here, made small, with the
// browser's outcome and the doctor's checks), then layouts generated from
// fixed seeds. Both run on one engine (agree_engine.h): every case whose
// environment and policies are the same shares a browser start. The engine
// needs root, Chromium and Xvfb; elsewhere the tests are skipped, saying why.
//
// To replay or widen the generated cases: ORVENDEL_AGREE_SEED=S and
// ORVENDEL_AGREE_CASES=N run that seed alone (./run agree --seed S --cases N),
// ORVENDEL_AGREE_ONLY=i,j only those of its cases; ORVENDEL_AGREE_BROWSERS
// sets how many browsers run side by side; with ORVENDEL_AGREE_KEEP set, the
// layouts, the browsers' logs and the doctor's reports stay.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "contract/contract.h"
#include "tests/chromium/agree_engine.h"
#include "tests/chromium/agree_generator.h"
#include "tests/support/fullwidth.h"
#include "tools/doctor/verdict.h"

#ifndef ORV_EXTENSION_DIR
#error "ORV_EXTENSION_DIR must name the reference extension's folder"
#endif
#ifndef ORV_AGREE_EXTENSION_DIR
#error "ORV_AGREE_EXTENSION_DIR must name the test extension's folder"
#endif

namespace fs = std::filesystem;

namespace {

const std::string kRef = REFERENCE_EXTENSION_ID;
const std::string kOrigin = "chrome-extension://" + kRef + "/";
// What ./run test runs: at least 100 generated cases.
const uint64_t kSeeds[] = {1, 2, 3};
const int kCasesPerSeed = 40;

using namespace browser_says;

// One fixed case's layout: its host name, program and manifests are its own;
// its environment and policies are what its browser shares.
struct Lay {
    std::string name;
    std::string tag;
    AgreeCase c;
    AgreeGroup shared;
    std::string host() const { return "@R@/bin/" + tag + "/host"; }
};

// A manifest's fields; "raw" replaces the whole text.
struct Manifest {
    std::string name;  // default: the case's
    std::string description = "\"Orvendel native messaging host\"";
    std::string path;  // default: the case's host program
    std::string type = "\"stdio\"";
    std::string origins;  // default: the reference extension only
};

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

std::string Text(const Lay& l, const Manifest& m) {
    std::string text = "{\n  \"name\": " + Quote(m.name.empty() ? l.name : m.name);
    if (!m.description.empty()) text += ",\n  \"description\": " + m.description;
    text += ",\n  \"path\": " + (m.path.empty() ? Quote(l.host()) : m.path);
    text += ",\n  \"type\": " + m.type;
    text += ",\n  \"allowed_origins\": " + (m.origins.empty() ? "[" + Quote(kOrigin) + "]" : m.origins);
    return text + "\n}\n";
}

void Put(Lay& l, const char* folder, const std::string& text) {
    l.c.files.push_back({std::string(folder) + "/" + l.name + ".json", text});
}
void GoodHost(Lay& l, int mode = 0755) {
    l.c.files.push_back({"bin/" + l.tag + "/host", AgreeGoodHost(l.tag), AgreeFile::kText, mode});
}
// The usual host, and the system manifest.
void System(Lay& l, const Manifest& m) {
    GoodHost(l);
    Put(l, agree_path::kSystem, Text(l, m));
}
void Policy(Lay& l, const std::string& file, const std::string& text) {
    l.shared.files.push_back({std::string(agree_path::kPolicies) + "/" + file, text});
}
void Xdg(Lay& l) { l.shared.env.push_back({"XDG_CONFIG_HOME", "@R@/" + std::string(agree_path::kXdg)}); }

// Dictionaries `levels` deep, the innermost empty.
std::string Nest(int levels) {
    std::string open, close;
    for (int i = 1; i < levels; ++i) {
        open += "{\"a\": ";
        close += "}";
    }
    return open + "{}" + close;
}

struct Fixed {
    const char* label;
    void (*setup)(Lay&);
    std::string says;                 // what the browser does: kAgreeStarts or its message
    std::vector<std::string> checks;  // the doctor's Chromium checks, "STATUS rule"
    // Where the browser's first write and first read race, it may say this instead.
    std::string alsoSays = "";
    bool control = false;  // the doctor is asked about another extension: must disagree
};

const std::vector<std::string> kGood = {"OK registration.used", "OK manifest.fields", "OK manifest.origin",
                                        "OK program"};
const std::vector<std::string> kBadProgram = {"OK registration.used", "OK manifest.fields", "OK manifest.origin",
                                              "FAIL program"};

std::vector<std::string> Plus(std::vector<std::string> head, const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

const std::vector<Fixed>& FixedTable() {
    static const std::vector<Fixed> cases = {
        {"nothing registered", [](Lay&) {}, kNotFound, {"FAIL registration.none"}},
        {"system manifest", [](Lay& l) { System(l, {}); }, kAgreeStarts, kGood},
        {"user manifest under ~/.config",
         [](Lay& l) {
             GoodHost(l);
             Put(l, agree_path::kUserHome, Text(l, {}));
         },
         kAgreeStarts, kGood},
        {"same manifest in both folders",
         [](Lay& l) {
             GoodHost(l);
             Put(l, agree_path::kUserHome, Text(l, {}));
             Put(l, agree_path::kSystem, Text(l, {}));
         },
         kAgreeStarts,
         {"OK registration.used", "OK registration.unread", "OK manifest.fields", "OK manifest.origin", "OK program"}},
        {"bad user manifest under XDG_CONFIG_HOME shadows a good system one",
         [](Lay& l) {
             Xdg(l);
             GoodHost(l);
             Manifest other;
             other.origins = "[\"chrome-extension://" + std::string(32, 'a') + "/\"]";
             Put(l, agree_path::kUserXdg, Text(l, other));
             Put(l, agree_path::kSystem, Text(l, {}));
         },
         kForbidden,
         {"OK registration.used", "OK registration.unread", "OK manifest.fields", "FAIL manifest.origin"}},
        {"~/.config is not read when XDG_CONFIG_HOME is set",
         [](Lay& l) {
             Xdg(l);
             GoodHost(l);
             Put(l, agree_path::kUserHome, "{ broken");
             Put(l, agree_path::kSystem, Text(l, {}));
         },
         kAgreeStarts, kGood},
        {"CHROME_CONFIG_HOME comes before XDG_CONFIG_HOME",
         [](Lay& l) {
             Xdg(l);
             l.shared.env.push_back({"CHROME_CONFIG_HOME", "@R@/" + std::string(agree_path::kChromeConfig)});
             GoodHost(l);
             Manifest bare;
             bare.description.clear();
             Put(l, agree_path::kUserChromeConfig, Text(l, bare));
             Put(l, agree_path::kUserXdg, Text(l, {}));
         },
         kNotFound, {"OK registration.used", "FAIL manifest.description"}},
        {"broken user JSON: no fallback to the system's",
         [](Lay& l) {
             GoodHost(l);
             Put(l, agree_path::kUserHome, "{\"name\": \"" + l.name + "\",");
             Put(l, agree_path::kSystem, Text(l, {}));
         },
         kNotFound, {"OK registration.used", "OK registration.unread", "FAIL manifest.json"}},
        {"no description",
         [](Lay& l) {
             Manifest m;
             m.description.clear();
             System(l, m);
         },
         kNotFound, {"OK registration.used", "FAIL manifest.description"}},
        {"empty description",
         [](Lay& l) {
             Manifest m;
             m.description = "\"\"";
             System(l, m);
         },
         kNotFound, {"OK registration.used", "FAIL manifest.description"}},
        {"another host's name",
         [](Lay& l) {
             Manifest m;
             m.name = "com.example.other";
             System(l, m);
         },
         kNotFound, {"OK registration.used", "FAIL manifest.name"}},
        {"an invalid name in the manifest",
         [](Lay& l) {
             Manifest m;
             m.name = "Com.Orvendel.Native_Host";
             System(l, m);
         },
         kNotFound, {"OK registration.used", "FAIL manifest.name"}},
        {"type other than stdio",
         [](Lay& l) {
             Manifest m;
             m.type = "\"pipe\"";
             System(l, m);
         },
         kNotFound, {"OK registration.used", "FAIL manifest.type"}},
        {"relative path",
         [](Lay& l) {
             Manifest m;
             m.path = Quote("bin/" + l.tag + "/host");
             System(l, m);
         },
         kNotFound, kBadProgram},
        {"path written with backslashes",
         [](Lay& l) {
             Manifest m;
             m.path = "\"@RB@\\\\bin\\\\" + l.tag + "\\\\host\"";
             System(l, m);
         },
         kNotFound, kBadProgram},
        {"missing program",
         [](Lay& l) {
             Manifest m;
             m.path = Quote("@R@/nowhere/host");
             Put(l, agree_path::kSystem, Text(l, m));
         },
         kNotFound, kBadProgram},
        {"program not executable",
         [](Lay& l) {
             GoodHost(l, 0644);
             Put(l, agree_path::kSystem, Text(l, {}));
         },
         kExited, kBadProgram, kIoError},
        {"program is a folder",
         [](Lay& l) {
             l.c.files.push_back({"bin/" + l.tag + "/host", "", AgreeFile::kFolder});
             Put(l, agree_path::kSystem, Text(l, {}));
         },
         kExited, kBadProgram, kIoError},
        {"wildcard origin",
         [](Lay& l) {
             Manifest m;
             m.origins = "[\"chrome-extension://*/\"]";
             System(l, m);
         },
         kNotFound, {"OK registration.used", "FAIL manifest.allowed_origins"}},
        {"origin without the trailing slash",
         [](Lay& l) {
             Manifest m;
             m.origins = "[\"chrome-extension://" + kRef + "\"]";
             System(l, m);
         },
         kNotFound, {"OK registration.used", "FAIL manifest.allowed_origins"}},
        {"another extension only",
         [](Lay& l) {
             Manifest m;
             m.origins = "[\"chrome-extension://" + std::string(32, 'a') + "/\"]";
             System(l, m);
         },
         kForbidden, {"OK registration.used", "OK manifest.fields", "FAIL manifest.origin"}},
        {"origin with a path pattern",
         [](Lay& l) {
             Manifest m;
             m.origins = "[\"chrome-extension://" + kRef + "/*\"]";
             System(l, m);
         },
         kAgreeStarts, kGood},
        {"origin in capitals",
         [](Lay& l) {
             std::string upper = kRef;
             for (char& c : upper) c = static_cast<char>(toupper(c));
             Manifest m;
             m.origins = "[\"chrome-extension://" + upper + "/\"]";
             System(l, m);
         },
         kAgreeStarts, kGood},
        {"an extra origin that is no extension id",
         [](Lay& l) {
             Manifest m;
             m.origins = "[\"chrome-extension://not-an-id-xyz/\", " + Quote(kOrigin) + "]";
             System(l, m);
         },
         kAgreeStarts, kGood},
        {"allowed_origins not a list",
         [](Lay& l) {
             Manifest m;
             m.origins = Quote(kOrigin);
             System(l, m);
         },
         kNotFound, {"OK registration.used", "FAIL manifest.allowed_origins"}},
        {"comments in the manifest",
         [](Lay& l) {
             GoodHost(l);
             std::string text = Text(l, {});
             text.insert(1, "\n  // installed by hand\n  /* a block\n     comment */");
             Put(l, agree_path::kSystem, text);
         },
         kAgreeStarts, kGood},
        {"a raw line break and a \\x escape in the description",
         [](Lay& l) {
             Manifest m;
             m.description = "\"Orvendel\nnative host \\x41\"";
             System(l, m);
         },
         kAgreeStarts, kGood},
        {"trailing comma in the manifest",
         [](Lay& l) {
             GoodHost(l);
             std::string text = Text(l, {});
             text.insert(text.rfind("\n}"), ",");
             Put(l, agree_path::kSystem, text);
         },
         kNotFound, {"OK registration.used", "FAIL manifest.json"}},
        {"repeated key: the last path wins",
         [](Lay& l) {
             Manifest m;
             m.path = Quote("/nowhere/host") + ",\n  \"path\": " + Quote(l.host());
             System(l, m);
         },
         kAgreeStarts, kGood},
        {"repeated key: a bad last path loses the good first",
         [](Lay& l) {
             Manifest m;
             m.path = Quote(l.host()) + ",\n  \"path\": " + Quote("/nowhere/host");
             System(l, m);
         },
         kNotFound, kBadProgram},
        {"the extension asks for an invalid name",
         [](Lay& l) {
             System(l, {});
             l.c.asked = "com..orvendel";
         },
         kInvalidName, {"FAIL name.valid"}},
        {"policy blocks every host",
         [](Lay& l) {
             System(l, {});
             Policy(l, "block.json", "{\"NativeMessagingBlocklist\": [\"*\"]}\n");
         },
         kBlocked, {"FAIL policy.blocklist"}},
        {"policy blocks every host, the allowlist names ours",
         [](Lay& l) {
             System(l, {});
             Policy(l, "block.json",
                    "{\"NativeMessagingBlocklist\": [\"*\"], \"NativeMessagingAllowlist\": [\"" + l.name + "\"]}\n");
         },
         kAgreeStarts, Plus({"OK policy.allowlist"}, kGood)},
        {"an allowlist of \"*\" allows nothing",
         [](Lay& l) {
             System(l, {});
             Policy(l, "block.json",
                    "{\"NativeMessagingBlocklist\": [\"" + l.name + "\"], \"NativeMessagingAllowlist\": [\"*\"]}\n");
         },
         kBlocked, {"WARN policy.ignored", "FAIL policy.blocklist"}},
        {"the last policy file wins",
         [](Lay& l) {
             System(l, {});
             Policy(l, "10-block.json", "{\"NativeMessagingBlocklist\": [\"*\"]}\n");
             Policy(l, "20-open.json", "{\"NativeMessagingBlocklist\": [\"com.example.other\"],}\n");
         },
         kAgreeStarts, Plus({"OK policy.blocklist"}, kGood)},
        {"a policy file with comments is read",
         [](Lay& l) {
             System(l, {});
             Policy(l, "block.json", "// closed\n{\"NativeMessagingBlocklist\": [\"*\"]}\n");
         },
         kBlocked, {"FAIL policy.blocklist"}},
        {"user-level hosts off: the user's bad manifest is not read",
         [](Lay& l) {
             GoodHost(l);
             Put(l, agree_path::kUserHome, "{ broken");
             Put(l, agree_path::kSystem, Text(l, {}));
             Policy(l, "user.json", "{\"NativeMessagingUserLevelHosts\": false}\n");
         },
         kAgreeStarts, Plus({"OK policy.user_level_hosts", "OK registration.unread"}, kGood)},
        {"user-level hosts off: a user manifest alone is not found",
         [](Lay& l) {
             GoodHost(l);
             Put(l, agree_path::kUserHome, Text(l, {}));
             Policy(l, "user.json", "{\"NativeMessagingUserLevelHosts\": false}\n");
         },
         kNotFound, {"OK policy.user_level_hosts", "OK registration.unread", "FAIL registration.none"}},
        // Found by the generated layouts, or by the real browser on a new rule, made small.
        {"an origin with a port",
         [](Lay& l) {
             Manifest m;
             m.origins = "[\"chrome-extension://" + kRef + ":80/\"]";
             System(l, m);
         },
         kNotFound, {"OK registration.used", "FAIL manifest.allowed_origins"}},
        {"an origin's scheme in capitals",
         [](Lay& l) {
             Manifest m;
             m.origins = "[\"Chrome-Extension://" + kRef + "/\"]";
             System(l, m);
         },
         kNotFound, {"OK registration.used", "FAIL manifest.allowed_origins"}},
        {"an origin's host with a trailing dot",
         [](Lay& l) {
             Manifest m;
             m.origins = "[\"chrome-extension://" + kRef + "./\"]";
             System(l, m);
         },
         kAgreeStarts, {"OK registration.used", "OK manifest.fields", "OK manifest.origin", "OK program"}},
        {"an origin of any scheme: \"*\" is http and https only",
         [](Lay& l) {
             Manifest m;
             m.origins = "[\"*://" + kRef + "/\"]";
             System(l, m);
         },
         kForbidden, {"OK registration.used", "OK manifest.fields", "FAIL manifest.origin"}},
        {"an origin of any port",
         [](Lay& l) {
             Manifest m;
             m.origins = "[\"chrome-extension://" + kRef + ":*/\"]";
             System(l, m);
         },
         kAgreeStarts, {"OK registration.used", "OK manifest.fields", "OK manifest.origin", "OK program"}},
        {"a key \"name\\u0000\" beside the name",
         [](Lay& l) {
             GoodHost(l);
             std::string text = Text(l, {});
             text.insert(text.rfind("\n}"), ",\n  \"name\\u0000\": 1");
             Put(l, agree_path::kSystem, text);
         },
         kAgreeStarts, {"OK registration.used", "OK manifest.fields", "OK manifest.origin", "OK program"}},
        {"a NUL byte after the closing brace",
         [](Lay& l) {
             GoodHost(l);
             Put(l, agree_path::kSystem, Text(l, {}) + std::string(1, '\0'));
         },
         kNotFound, {"OK registration.used", "FAIL manifest.json"}},
        {"the manifest is a folder",
         [](Lay& l) {
             GoodHost(l);
             l.c.files.push_back({std::string(agree_path::kSystem) + "/" + l.name + ".json", "", AgreeFile::kFolder});
         },
         kNotFound, {"OK registration.used", "FAIL manifest.read"}},
        {"the program is on a noexec mount",
         [](Lay& l) {
             l.c.files.push_back({std::string(agree_path::kNoExec) + "/" + l.tag + "/host", AgreeGoodHost(l.tag),
                                  AgreeFile::kText, 0755});
             Manifest m;
             m.path = Quote("@R@/" + std::string(agree_path::kNoExec) + "/" + l.tag + "/host");
             Put(l, agree_path::kSystem, Text(l, m));
         },
         kExited, {"OK registration.used", "OK manifest.fields", "OK manifest.origin", "FAIL program"}, kIoError},
        {"the program's interpreter is missing",
         [](Lay& l) {
             l.c.files.push_back({"bin/" + l.tag + "/host", "#!/nonexistent/interpreter\n", AgreeFile::kText, 0755});
             Put(l, agree_path::kSystem, Text(l, {}));
         },
         kExited, {"OK registration.used", "OK manifest.fields", "OK manifest.origin", "FAIL program"}, kIoError},
        {"the program is empty, with x bits",
         [](Lay& l) {
             l.c.files.push_back({"bin/" + l.tag + "/host", "", AgreeFile::kText, 0755});
             Put(l, agree_path::kSystem, Text(l, {}));
         },
         kExited, {"OK registration.used", "OK manifest.fields", "OK manifest.origin", "FAIL program"}, kIoError},
        {"the program is a script without a #! line",
         [](Lay& l) {
             std::string good = AgreeGoodHost(l.tag);
             l.c.files.push_back({"bin/" + l.tag + "/host", good.substr(good.find('\n') + 1), AgreeFile::kText, 0755});
             Put(l, agree_path::kSystem, Text(l, {}));
         },
         kAgreeStarts, {"OK registration.used", "OK manifest.fields", "OK manifest.origin", "WARN program"}},
        {"every extension blocked but another: the extension does not run",
         [](Lay& l) {
             System(l, {});
             Policy(l, "extensions.json",
                    "{\"ExtensionInstallBlocklist\": [\"*\"], \"ExtensionInstallAllowlist\": [\"" +
                        std::string(32, 'a') + "\"]}\n");
         },
         kAgreeNotRun, {"FAIL extension.policy", "OK registration.used", "OK manifest.fields", "OK manifest.origin", "OK program"}},
        {"nesting 199 deep is read",
         [](Lay& l) { Manifest m; m.type = "\"stdio\", \"x\": " + Nest(198); System(l, m); },
         kAgreeStarts, {"OK registration.used", "OK manifest.fields", "OK manifest.origin", "OK program"}},
        {"nesting 200 deep is refused, even an empty dictionary last",
         [](Lay& l) { Manifest m; m.type = "\"stdio\", \"x\": " + Nest(199); System(l, m); },
         kNotFound, {"OK registration.used", "FAIL manifest.json"}},
        {"a NUL ends the path",
         [](Lay& l) { Manifest m; m.path = Quote(l.host() + "\\u0000/nowhere"); System(l, m); },
         kAgreeStarts, {"OK registration.used", "OK manifest.fields", "OK manifest.origin", "OK program"}},
        {"a lone surrogate escape is refused",
         [](Lay& l) { Manifest m; m.description = "\"host \\udc00\""; System(l, m); },
         kNotFound, {"OK registration.used", "FAIL manifest.json"}},
        {"a badly typed later policy file wins, and leaves the blocklist unset",
         [](Lay& l) {
             System(l, {});
             Policy(l, "10-block.json", "{\"NativeMessagingBlocklist\": [\"*\"]}\n");
             Policy(l, "20-typo.json", "{\"NativeMessagingBlocklist\": \"*\"}\n");
         },
         kAgreeStarts, {"WARN policy.ignored", "OK registration.used", "OK manifest.fields", "OK manifest.origin", "OK program"}},
        {"a hidden policy file is read",
         [](Lay& l) {
             System(l, {});
             Policy(l, ".block.json", "{\"NativeMessagingBlocklist\": [\"*\"]}\n");
         },
         kBlocked, {"FAIL policy.blocklist"}},
        {"a recommended NativeMessagingBlocklist counts for nothing",
         [](Lay& l) {
             System(l, {});
             l.shared.files.push_back({std::string(agree_path::kRecommended) + "/block.json",
                                       "{\"NativeMessagingBlocklist\": [\"*\"]}\n"});
         },
         kAgreeStarts, {"WARN policy.ignored", "OK registration.used", "OK manifest.fields", "OK manifest.origin", "OK program"}},
        {"ExtensionInstallBlocklist [\"*\"]: the extension does not run",
         [](Lay& l) {
             System(l, {});
             Policy(l, "ext.json", "{\"ExtensionInstallBlocklist\": [\"*\"]}\n");
         },
         kAgreeNotRun, {"FAIL extension.policy", "OK registration.used", "OK manifest.fields", "OK manifest.origin", "OK program"}},
        {"the allowlist does not let an unpacked extension past ExtensionInstallBlocklist [\"*\"]",
         [](Lay& l) {
             System(l, {});
             Policy(l, "ext.json", "{\"ExtensionInstallBlocklist\": [\"*\"], \"ExtensionInstallAllowlist\": [\"" + kRef +
                                       "\"]}\n");
         },
         kAgreeNotRun, {"FAIL extension.policy", "OK registration.used", "OK manifest.fields", "OK manifest.origin", "OK program"}},
        {"a recommended ExtensionInstallBlocklist keeps the extension out too",
         [](Lay& l) {
             System(l, {});
             l.shared.files.push_back({std::string(agree_path::kRecommended) + "/ext.json",
                                       "{\"ExtensionInstallBlocklist\": [\"" + kRef + "\"]}\n"});
         },
         kAgreeNotRun, {"FAIL extension.policy", "OK registration.used", "OK manifest.fields", "OK manifest.origin", "OK program"}},
        {"ExtensionSettings blocks the nativeMessaging permission",
         [](Lay& l) {
             System(l, {});
             Policy(l, "ext.json", "{\"ExtensionSettings\": {\"" + kRef +
                                       "\": {\"blocked_permissions\": [\"nativeMessaging\"]}}}\n");
         },
         kAgreeNotRun, {"FAIL extension.policy", "OK registration.used", "OK manifest.fields", "OK manifest.origin", "OK program"}},
        {"ExtensionSettings with one value outside its schema is dropped whole",
         [](Lay& l) {
             System(l, {});
             Policy(l, "ext.json", "{\"ExtensionSettings\": {\"" + kRef +
                                       "\": {\"installation_mode\": \"blocked\", \"toolbar_pin\": \"pinned\"}}}\n");
         },
         kAgreeStarts, {"WARN policy.ignored", "OK registration.used", "OK manifest.fields", "OK manifest.origin", "OK program"}},
        {"CHROME_USER_DATA_DIR moves the user folder",
         [](Lay& l) {
             GoodHost(l);
             Put(l, agree_path::kUserHome, "{ broken");
             Put(l, agree_path::kUserUserDataDir, Text(l, {}));
             l.shared.env.push_back({"CHROME_USER_DATA_DIR", "@R@/" + std::string(agree_path::kUserDataDir)});
         },
         kAgreeStarts, {"OK registration.used", "OK manifest.fields", "OK manifest.origin", "OK program"}},
        {"an origin's id in fullwidth letters: IDNA maps it to the id",
         [](Lay& l) {
             Manifest m;
             m.origins = "[" + Quote("chrome-extension://" + Fullwidth(kRef) + "/") + "]";
             System(l, m);
         },
         kAgreeStarts, {"OK registration.used", "OK manifest.fields", "OK manifest.origin", "OK program"}},
        {"an origin's id with a zero-width joiner between letters: IDNA refuses it",
         [](Lay& l) {
             Manifest m;
             m.origins = "[" + Quote("chrome-extension://" + kRef.substr(0, 9) + "\xE2\x80\x8D" + kRef.substr(9) + "/") + "]";
             System(l, m);
         },
         kNotFound, {"OK registration.used", "FAIL manifest.allowed_origins"}},
        {"a force-listed id loaded unpacked is refused",
         [](Lay& l) {
             System(l, {});
             Policy(l, "ext.json", "{\"ExtensionInstallForcelist\": [\"" + kRef + ";https://example.invalid/u.xml\"]}\n");
         },
         kAgreeNotRun, Plus({"FAIL extension.policy"}, kGood)},
        {"ExtensionSettings allows themes only",
         [](Lay& l) {
             System(l, {});
             Policy(l, "ext.json", "{\"ExtensionSettings\": {\"*\": {\"allowed_types\": [\"theme\"]}}}\n");
         },
         kAgreeNotRun, Plus({"FAIL extension.policy"}, kGood)},
        {"ExtensionAllowedTypes without \"extension\"",
         [](Lay& l) {
             System(l, {});
             Policy(l, "ext.json", "{\"ExtensionAllowedTypes\": [\"theme\", \"no_such_type\"]}\n");
         },
         kAgreeNotRun, Plus({"FAIL extension.policy", "WARN policy.ignored"}, kGood)},
        {"control: the doctor asked about another extension must disagree",
         [](Lay& l) {
             System(l, {});
             l.c.otherExtension = std::string(32, 'b');
         },
         kAgreeStarts, {"OK registration.used", "OK manifest.fields", "FAIL manifest.origin"}, "", true},
    };
    return cases;
}

// The fixed table in groups: cases whose environment and shared files are the
// same share a browser, as long as each asks for a name of its own.
std::vector<AgreeGroup> FixedGroups(std::vector<std::vector<const Fixed*>>* fixedOf) {
    std::vector<AgreeGroup> groups;
    std::map<std::string, size_t> byKey;
    const char* filter = getenv("ORVENDEL_AGREEMENT_FILTER");
    for (size_t i = 0; i < FixedTable().size(); ++i) {
        const Fixed& f = FixedTable()[i];
        if (filter != nullptr && std::string(f.label).find(filter) == std::string::npos) continue;
        Lay l;
        l.name = "com.orvendel.fixed_" + std::to_string(i);
        l.tag = "f" + std::to_string(i);
        l.c.label = f.label;
        l.c.asked = l.name;
        f.setup(l);
        std::string key;
        for (const auto& kv : l.shared.env) key += kv.first + "=" + kv.second + "\n";
        for (const AgreeFile& file : l.shared.files) key += file.path + "\n" + file.text + "\n";
        auto at = byKey.find(key);
        bool clash = false;
        if (at != byKey.end()) {
            for (const AgreeCase& c : groups[at->second].cases) clash = clash || c.asked == l.c.asked;
        }
        if (at == byKey.end() || clash) {
            byKey[key] = groups.size();
            groups.push_back(l.shared);
            fixedOf->emplace_back();
            at = byKey.find(key);
        }
        groups[at->second].cases.push_back(l.c);
        (*fixedOf)[at->second].push_back(&f);
    }
    return groups;
}

int SideBySide() {
    const char* n = getenv("ORVENDEL_AGREE_BROWSERS");
    return n != nullptr && atoi(n) > 0 ? atoi(n) : 3;
}

std::string Show(const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& line : lines) s += "\n    " + line;
    return s;
}

long long Ms(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

void PrintCost(const std::vector<AgreeGroup>& groups, const AgreeRun& run, long long ms) {
    size_t cases = 0;
    long long browserMs = 0;
    for (size_t g = 0; g < groups.size(); ++g) {
        cases += groups[g].cases.size();
        browserMs += run.groupMs[g];
    }
    printf("%zu cases, %zu browser starts (%.1f cases each, %lld ms each on average), %lld ms, %d side by side\n",
           cases, groups.size(), groups.empty() ? 0.0 : static_cast<double>(cases) / groups.size(),
           groups.empty() ? 0 : browserMs / static_cast<long long>(groups.size()), ms, SideBySide());
}

class DoctorAgreementTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string why = AgreeSkipReason();
        if (!why.empty()) GTEST_SKIP() << why;
        const char* tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/orvendel-agree-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        ASSERT_NE(mkdtemp(buffer.data()), nullptr);
        root_ = buffer.data();
        chmod(root_.c_str(), 0755);
    }
    void TearDown() override {
        std::error_code ec;
        if (getenv("ORVENDEL_AGREE_KEEP") != nullptr) {
            printf("the layouts and logs stay in %s\n", root_.c_str());
        } else if (!root_.empty()) {
            fs::remove_all(root_, ec);
        }
    }
    fs::path root_;
};

std::string ManifestKey(const std::string& folder) {
    std::ifstream in(folder + "/manifest.json", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    rapidjson::Document doc;
    if (doc.Parse(text.c_str()).HasParseError() || !doc.IsObject() || !doc.HasMember("key") || !doc["key"].IsString()) {
        return "";
    }
    return doc["key"].GetString();
}

// The test extension must have the reference extension's id: the doctor is
// asked about that id.
TEST(DoctorAgreementProbe, HasTheReferenceExtensionsKey) {
    const std::string key = ManifestKey(ORV_EXTENSION_DIR);
    ASSERT_FALSE(key.empty());
    EXPECT_EQ(ManifestKey(ORV_AGREE_EXTENSION_DIR), key);
}

TEST_F(DoctorAgreementTest, FixedTable) {
    // ORVENDEL_AGREEMENT_FILTER=text runs only the cases whose name holds it.
    std::vector<std::vector<const Fixed*>> fixedOf;
    const std::vector<AgreeGroup> groups = FixedGroups(&fixedOf);
    auto start = std::chrono::steady_clock::now();
    const AgreeRun run = RunAgreement(groups, root_, SideBySide());
    ASSERT_TRUE(run.problem.empty()) << run.problem;
    PrintCost(groups, run, Ms(start));

    for (size_t g = 0; g < groups.size(); ++g) {
        for (size_t i = 0; i < groups[g].cases.size(); ++i) {
            const Fixed& f = *fixedOf[g][i];
            const AgreeResult& o = run.results[g][i];
            SCOPED_TRACE(f.label);
            printf("  %-66s %s\n", f.label, o.browser.c_str());
            if (!o.problem.empty()) {
                ADD_FAILURE() << o.problem;
                continue;
            }
            const bool raced = !f.alsoSays.empty() && o.browser == f.alsoSays;
            EXPECT_TRUE(o.browser == f.says || raced)
                << "Chromium no longer does what this case records: \"" << o.browser << "\", not \"" << f.says
                << "\"; its log:" << o.browserLines << "\nthe layout:\n"
                << AgreeDescribe(groups[g], groups[g].cases[i]);
            if (f.control) {
                EXPECT_FALSE(AgreeAgrees(o))
                    << "a doctor asked the wrong question still agreed: the comparison is blind";
            } else {
                EXPECT_TRUE(AgreeAgrees(o)) << "the doctor predicts \"" << o.doctorSays << "\" (or \""
                                            << o.doctorAlsoSays << "\"), Chromium did \"" << o.browser << "\"";
            }
            EXPECT_EQ(o.checks, f.checks) << "the doctor's checks:" << Show(o.checks);
        }
    }
}

TEST_F(DoctorAgreementTest, GeneratedLayouts) {
    std::vector<uint64_t> seeds(std::begin(kSeeds), std::end(kSeeds));
    int count = kCasesPerSeed;
    const char* seed = getenv("ORVENDEL_AGREE_SEED");
    const char* cases = getenv("ORVENDEL_AGREE_CASES");
    if (seed != nullptr && *seed != '\0') seeds = {strtoull(seed, nullptr, 10)};
    if (cases != nullptr && atoi(cases) > 0) count = atoi(cases);
    std::set<std::string> only;
    if (const char* o = getenv("ORVENDEL_AGREE_ONLY")) {
        std::stringstream list(o);
        for (std::string i; std::getline(list, i, ',');) only.insert("case " + i);
    }
    std::vector<AgreeGroup> groups;
    std::vector<uint64_t> seedOf;
    for (uint64_t s : seeds) {
        for (AgreeGroup& g : AgreeGenerate(s, count)) {
            if (!only.empty()) {
                std::vector<AgreeCase> kept;
                for (AgreeCase& c : g.cases) {
                    if (only.count(c.label.substr(c.label.find("case ")))) kept.push_back(c);
                }
                g.cases = kept;
                if (kept.empty()) continue;
            }
            groups.push_back(g);
            seedOf.push_back(s);
        }
    }
    auto start = std::chrono::steady_clock::now();
    const AgreeRun run = RunAgreement(groups, root_, SideBySide());
    ASSERT_TRUE(run.problem.empty()) << run.problem;
    PrintCost(groups, run, Ms(start));

    // What the browser did, so that a run shows what the generator reached.
    std::map<std::string, int> outcomes;
    int disagreements = 0;
    for (size_t g = 0; g < groups.size(); ++g) {
        for (size_t i = 0; i < groups[g].cases.size(); ++i) {
            const AgreeCase& c = groups[g].cases[i];
            const AgreeResult& o = run.results[g][i];
            ++outcomes[o.browser];
            if (AgreeAgrees(o)) continue;
            ++disagreements;
            const std::string index = c.label.substr(c.label.find("case ") + 5);
            ADD_FAILURE() << c.label << ": Chromium did \"" << o.browser << "\", the doctor predicts \""
                          << o.doctorSays << "\""
                          << (o.doctorAlsoSays.empty() ? "" : " (or \"" + o.doctorAlsoSays + "\")")
                          << o.problem << "\n"
                          << AgreeDescribe(groups[g], c) << "  replay: ./run agree --seed " << seedOf[g] << " --cases "
                          << count << " (ORVENDEL_AGREE_ONLY=" << index
                          << " for this case alone)\n  the browser's lines:"
                          << o.browserLines.substr(0, 2000);
        }
    }
    for (const auto& kv : outcomes) printf("  %4d  %s\n", kv.second, kv.first.c_str());
    printf("%d disagreements\n", disagreements);
}

}  // namespace
