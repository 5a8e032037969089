// The doctor against the real browser: each case lays out user and system
// manifest folders, managed policies, environment and host program; Debian's
// Chromium (under Xvfb, since headless Chromium keeps its profile in a
// temporary folder and so never reads the user's folder) loads the reference
// extension, whose connectNative either starts the host or logs the browser's
// chrome.runtime.lastError. The doctor, run on the same files in the same
// mount namespace, must predict exactly that, with the checks listed.
//
// /etc/chromium is a temporary folder bound over the real one in a private
// mount namespace: the machine's own folders are never touched. That needs
// root; elsewhere the test is skipped, saying why.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bridge/contract.h"
#include "tools/doctor/verdict.h"

#ifndef ORV_DOCTOR_PATH
#error "ORV_DOCTOR_PATH must name orvendel-doctor"
#endif
#ifndef ORV_EXTENSION_DIR
#error "ORV_EXTENSION_DIR must name the reference extension's folder"
#endif

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

const char kChromium[] = "/usr/bin/chromium";
const char kEtc[] = "/etc/chromium";
const std::string kName = HOST_REGISTERED_NAME;
const std::string kRef = REFERENCE_EXTENSION_ID;
const std::string kOrigin = "chrome-extension://" + kRef + "/";
// Bounds, not expectations: a browser on a loaded 2-core machine is slow.
const int kOutcomeMs = 60000;
// A case whose extension never runs has no outcome: none within this bound is its outcome.
const int kNeverRunsMs = 25000;
const int kSideBySide = 3;

const char kStarts[] = "(the host starts)";
const char kNeverRuns[] = "(the extension never runs)";
// The messages as the doctor writes them; the browser's come from the browser.
using namespace browser_says;

bool WriteText(const fs::path& path, const std::string& text) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

bool ReadText(const fs::path& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// Where a case's files go; every path is inside its own temporary folder.
struct Layout {
    fs::path root;
    fs::path home() const { return root / "home"; }
    fs::path xdg() const { return root / "xdg"; }
    fs::path chromeConfig() const { return root / "chrome-config"; }
    fs::path etc() const { return root / "etc"; }  // bound over /etc/chromium
    fs::path marker() const { return root / "started"; }
    fs::path host() const { return root / "bin" / "host"; }
    fs::path noexec() const { return root / "noexec"; }  // bound over itself noexec, when it exists
    fs::path userData() const { return root / "user-data"; }  // CHROME_USER_DATA_DIR, when the case sets it
    // The user folder as the browser finds it with no variable set.
    fs::path homeUser() const { return home() / ".config" / "chromium" / "NativeMessagingHosts"; }
    fs::path xdgUser() const { return xdg() / "chromium" / "NativeMessagingHosts"; }
    fs::path chromeConfigUser() const { return chromeConfig() / "chromium" / "NativeMessagingHosts"; }
    fs::path system() const { return etc() / "native-messaging-hosts"; }
    fs::path policies() const { return etc() / "policies" / "managed"; }
};

// A manifest's fields; "raw" replaces the whole text.
struct Manifest {
    std::string name = kName;
    std::string description = "\"Orvendel native messaging host\"";
    std::string path;  // default: the case's host program
    std::string type = "\"stdio\"";
    std::string origins;  // default: the reference extension only
    std::string raw;
};

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

std::string Text(const Layout& l, const Manifest& m) {
    if (!m.raw.empty()) return m.raw;
    std::string text = "{\n  \"name\": " + Quote(m.name);
    if (!m.description.empty()) text += ",\n  \"description\": " + m.description;
    text += ",\n  \"path\": " + (m.path.empty() ? Quote(l.host().string()) : m.path);
    text += ",\n  \"type\": " + m.type;
    text += ",\n  \"allowed_origins\": " + (m.origins.empty() ? "[" + Quote(kOrigin) + "]" : m.origins);
    return text + "\n}\n";
}

void Put(const fs::path& folder, const std::string& text) { WriteText(folder / (kName + ".json"), text); }

// The host programs a case may name.
void GoodHost(const Layout& l) {
    // It marks that it ran and stays, as a host does, until the browser goes.
    WriteText(l.host(), "#!/bin/sh\necho $$ > '" + l.marker().string() + "'\nexec sleep 300\n");
    chmod(l.host().c_str(), 0755);
}

// The usual host, and the system manifest.
void System(const Layout& l, const Manifest& m) {
    GoodHost(l);
    Put(l.system(), Text(l, m));
}

// Dictionaries `levels` deep, the innermost empty.
std::string Nest(int levels) {
    std::string open, close;
    for (int i = 1; i < levels; ++i) {
        open += "{\"a\": ";
        close += "}";
    }
    return open + "{}" + close;
}

struct Case {
    const char* name;
    void (*setup)(const Layout&);
    bool xdg = false;           // XDG_CONFIG_HOME set to the case's folder
    bool chromeConfig = false;  // CHROME_CONFIG_HOME set too
    std::string asked = kName;  // the name the extension asks for
    std::string says;           // what the browser does: kStarts or its message
    std::vector<std::string> checks;  // the doctor's Chromium checks, "STATUS rule"
    bool control = false;  // the doctor is asked about another extension: must disagree
    // Where the browser's first write and first read race, it may say this instead.
    std::string alsoSays;
    bool userDataDir = false;  // CHROME_USER_DATA_DIR set to the case's folder
};

// An extension policy keeps the extension from running: the browser says nothing.
Case NeverRuns(const char* name, void (*setup)(const Layout&), std::vector<std::string> checks) {
    Case c;
    c.name = name;
    c.setup = setup;
    c.says = kNeverRuns;
    c.checks = std::move(checks);
    return c;
}

const std::vector<std::string> kGood = {"OK registration.used", "OK manifest.fields", "OK manifest.origin",
                                        "OK program"};
const std::vector<std::string> kBadProgram = {"OK registration.used", "OK manifest.fields", "OK manifest.origin",
                                              "FAIL program"};

std::vector<std::string> Plus(std::vector<std::string> head, const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        {"nothing registered", [](const Layout&) {}, false, false, kName, kNotFound, {"FAIL registration.none"}},
        {"system manifest",
         [](const Layout& l) { System(l, {}); },
         false, false, kName, kStarts, kGood},
        {"user manifest under ~/.config",
         [](const Layout& l) {
             GoodHost(l);
             Put(l.homeUser(), Text(l, {}));
         },
         false, false, kName, kStarts, kGood},
        {"same manifest in both folders",
         [](const Layout& l) {
             GoodHost(l);
             Put(l.homeUser(), Text(l, {}));
             Put(l.system(), Text(l, {}));
         },
         false, false, kName, kStarts,
         {"OK registration.used", "OK registration.unread", "OK manifest.fields", "OK manifest.origin", "OK program"}},
        {"bad user manifest under XDG_CONFIG_HOME shadows a good system one",
         [](const Layout& l) {
             GoodHost(l);
             Manifest other;
             other.origins = "[\"chrome-extension://" + std::string(32, 'a') + "/\"]";
             Put(l.xdgUser(), Text(l, other));
             Put(l.system(), Text(l, {}));
         },
         true, false, kName, kForbidden,
         {"OK registration.used", "OK registration.unread", "OK manifest.fields", "FAIL manifest.origin"}},
        {"~/.config is not read when XDG_CONFIG_HOME is set",
         [](const Layout& l) {
             GoodHost(l);
             Put(l.homeUser(), "{ broken");
             Put(l.system(), Text(l, {}));
         },
         true, false, kName, kStarts, kGood},
        {"CHROME_CONFIG_HOME comes before XDG_CONFIG_HOME",
         [](const Layout& l) {
             GoodHost(l);
             Manifest bare;
             bare.description.clear();
             Put(l.chromeConfigUser(), Text(l, bare));
             Put(l.xdgUser(), Text(l, {}));
         },
         true, true, kName, kNotFound, {"OK registration.used", "FAIL manifest.description"}},
        {"broken user JSON: no fallback to the system's",
         [](const Layout& l) {
             GoodHost(l);
             Put(l.homeUser(), "{\"name\": \"" + kName + "\",");
             Put(l.system(), Text(l, {}));
         },
         false, false, kName, kNotFound, {"OK registration.used", "OK registration.unread", "FAIL manifest.json"}},
        {"no description",
         [](const Layout& l) {
             GoodHost(l);
             Manifest m;
             m.description.clear();
             Put(l.system(), Text(l, m));
         },
         false, false, kName, kNotFound, {"OK registration.used", "FAIL manifest.description"}},
        {"empty description",
         [](const Layout& l) { Manifest m; m.description = "\"\""; System(l, m); },
         false, false, kName, kNotFound, {"OK registration.used", "FAIL manifest.description"}},
        {"another host's name",
         [](const Layout& l) { Manifest m; m.name = "com.example.other"; System(l, m); },
         false, false, kName, kNotFound, {"OK registration.used", "FAIL manifest.name"}},
        {"an invalid name in the manifest",
         [](const Layout& l) { Manifest m; m.name = "Com.Orvendel.Native_Host"; System(l, m); },
         false, false, kName, kNotFound, {"OK registration.used", "FAIL manifest.name"}},
        {"type other than stdio",
         [](const Layout& l) { Manifest m; m.type = "\"pipe\""; System(l, m); },
         false, false, kName, kNotFound, {"OK registration.used", "FAIL manifest.type"}},
        {"relative path",
         [](const Layout& l) { Manifest m; m.path = "\"bin/host\""; System(l, m); },
         false, false, kName, kNotFound, kBadProgram},
        {"path written with backslashes",
         [](const Layout& l) {
             GoodHost(l);
             std::string p = l.host().string();
             for (char& c : p) c = c == '/' ? '\\' : c;
             std::string escaped;
             for (char c : p) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
             Manifest m;
             m.path = Quote(escaped);
             Put(l.system(), Text(l, m));
         },
         false, false, kName, kNotFound, kBadProgram},
        {"missing program",
         [](const Layout& l) {
             Manifest m;
             m.path = Quote((l.root / "nowhere" / "host").string());
             Put(l.system(), Text(l, m));
         },
         false, false, kName, kNotFound, kBadProgram},
        {"program not executable",
         [](const Layout& l) {
             GoodHost(l);
             chmod(l.host().c_str(), 0644);
             Put(l.system(), Text(l, {}));
         },
         false, false, kName, kExited, kBadProgram,
         false, kIoError},
        {"program is a folder",
         [](const Layout& l) {
             std::error_code ec;
             fs::create_directories(l.host(), ec);
             Put(l.system(), Text(l, {}));
         },
         false, false, kName, kExited, kBadProgram,
         false, kIoError},
        {"the host script's interpreter is missing",
         [](const Layout& l) {
             WriteText(l.host(), "#!/nowhere/sh\n");
             chmod(l.host().c_str(), 0755);
             Put(l.system(), Text(l, {}));
         },
         false, false, kName, kExited, kBadProgram, false, kIoError},
        {"an empty host with x bits: /bin/sh runs it and it ends",
         [](const Layout& l) {
             WriteText(l.host(), "");
             chmod(l.host().c_str(), 0755);
             Put(l.system(), Text(l, {}));
         },
         false, false, kName, kExited, kBadProgram, false, kIoError},
        {"a host with no #! line runs under /bin/sh",
         [](const Layout& l) {
             WriteText(l.host(), "echo $$ > '" + l.marker().string() + "'\nexec sleep 300\n");
             chmod(l.host().c_str(), 0755);
             Put(l.system(), Text(l, {}));
         },
         false, false, kName, kStarts,
         {"OK registration.used", "OK manifest.fields", "OK manifest.origin", "WARN program"}},
        {"the host on a noexec mount",
         [](const Layout& l) {
             GoodHost(l);
             std::error_code ec;
             fs::create_directories(l.noexec(), ec);
             fs::copy_file(l.host(), l.noexec() / "host", ec);
             Manifest m;
             m.path = Quote((l.noexec() / "host").string());
             Put(l.system(), Text(l, m));
         },
         false, false, kName, kExited, kBadProgram, false, kIoError},
        {"the manifest is a folder",
         [](const Layout& l) {
             GoodHost(l);
             std::error_code ec;
             fs::create_directories(l.system() / (kName + ".json"), ec);
         },
         false, false, kName, kNotFound, {"OK registration.used", "FAIL manifest.read"}},
        {"CHROME_USER_DATA_DIR moves the user folder",
         [](const Layout& l) {
             GoodHost(l);
             Put(l.homeUser(), "{ broken");
             Put(l.userData() / "NativeMessagingHosts", Text(l, {}));
         },
         false, false, kName, kStarts, kGood, false, "", true},
        {"wildcard origin",
         [](const Layout& l) { Manifest m; m.origins = "[\"chrome-extension://*/\"]"; System(l, m); },
         false, false, kName, kNotFound, {"OK registration.used", "FAIL manifest.allowed_origins"}},
        {"origin without the trailing slash",
         [](const Layout& l) { Manifest m; m.origins = "[\"chrome-extension://" + kRef + "\"]"; System(l, m); },
         false, false, kName, kNotFound, {"OK registration.used", "FAIL manifest.allowed_origins"}},
        {"another extension only",
         [](const Layout& l) {
             Manifest m;
             m.origins = "[\"chrome-extension://" + std::string(32, 'a') + "/\"]";
             System(l, m);
         },
         false, false, kName, kForbidden, {"OK registration.used", "OK manifest.fields", "FAIL manifest.origin"}},
        {"origin with a path pattern",
         [](const Layout& l) { Manifest m; m.origins = "[\"chrome-extension://" + kRef + "/*\"]"; System(l, m); },
         false, false, kName, kStarts, kGood},
        {"origin in capitals",
         [](const Layout& l) {
             GoodHost(l);
             std::string upper = kRef;
             for (char& c : upper) c = static_cast<char>(toupper(c));
             Manifest m;
             m.origins = "[\"chrome-extension://" + upper + "/\"]";
             Put(l.system(), Text(l, m));
         },
         false, false, kName, kStarts, kGood},
        {"an extra origin that is no extension id",
         [](const Layout& l) {
             Manifest m;
             m.origins = "[\"chrome-extension://not-an-id-xyz/\", " + Quote(kOrigin) + "]";
             System(l, m);
         },
         false, false, kName, kStarts, kGood},
        {"allowed_origins not a list",
         [](const Layout& l) { Manifest m; m.origins = Quote(kOrigin); System(l, m); },
         false, false, kName, kNotFound, {"OK registration.used", "FAIL manifest.allowed_origins"}},
        {"comments in the manifest",
         [](const Layout& l) {
             GoodHost(l);
             std::string text = Text(l, {});
             text.insert(1, "\n  // installed by hand\n  /* a block\n     comment */");
             Put(l.system(), text);
         },
         false, false, kName, kStarts, kGood},
        {"a raw line break and a \\x escape in the description",
         [](const Layout& l) { Manifest m; m.description = "\"Orvendel\nnative host \\x41\""; System(l, m); },
         false, false, kName, kStarts, kGood},
        {"trailing comma in the manifest",
         [](const Layout& l) {
             GoodHost(l);
             std::string text = Text(l, {});
             text.insert(text.rfind("\n}"), ",");
             Put(l.system(), text);
         },
         false, false, kName, kNotFound, {"OK registration.used", "FAIL manifest.json"}},
        {"repeated key: the last path wins",
         [](const Layout& l) {
             Manifest m;
             m.path = Quote("/nowhere/host") + ",\n  \"path\": " + Quote(l.host().string());
             System(l, m);
         },
         false, false, kName, kStarts, kGood},
        {"repeated key: a bad last path loses the good first",
         [](const Layout& l) {
             Manifest m;
             m.path = Quote(l.host().string()) + ",\n  \"path\": " + Quote("/nowhere/host");
             System(l, m);
         },
         false, false, kName, kNotFound, kBadProgram},
        {"nesting 199 deep is read",
         [](const Layout& l) { Manifest m; m.type = "\"stdio\", \"x\": " + Nest(198); System(l, m); },
         false, false, kName, kStarts, kGood},
        {"nesting 200 deep is refused, even an empty dictionary last",
         [](const Layout& l) { Manifest m; m.type = "\"stdio\", \"x\": " + Nest(199); System(l, m); },
         false, false, kName, kNotFound, {"OK registration.used", "FAIL manifest.json"}},
        {"a NUL makes another key: \"name\\u0000\" leaves \"name\" alone",
         [](const Layout& l) { Manifest m; m.type = "\"stdio\", \"name\\u0000\": \"Not A Name\""; System(l, m); },
         false, false, kName, kStarts, kGood},
        {"a NUL ends the path",
         [](const Layout& l) { Manifest m; m.path = Quote(l.host().string() + "\\u0000/nowhere"); System(l, m); },
         false, false, kName, kStarts, kGood},
        {"a lone surrogate escape is refused",
         [](const Layout& l) { Manifest m; m.description = "\"host \\udc00\""; System(l, m); },
         false, false, kName, kNotFound, {"OK registration.used", "FAIL manifest.json"}},
        {"the extension asks for an invalid name",
         [](const Layout& l) { System(l, {}); },
         false, false, "com..orvendel", kInvalidName, {"FAIL name.valid"}},
        {"policy blocks every host",
         [](const Layout& l) {
             GoodHost(l);
             Put(l.system(), Text(l, {}));
             WriteText(l.policies() / "block.json", "{\"NativeMessagingBlocklist\": [\"*\"]}\n");
         },
         false, false, kName, kBlocked, {"FAIL policy.blocklist"}},
        {"policy blocks every host, the allowlist names ours",
         [](const Layout& l) {
             GoodHost(l);
             Put(l.system(), Text(l, {}));
             WriteText(l.policies() / "block.json",
                       "{\"NativeMessagingBlocklist\": [\"*\"], \"NativeMessagingAllowlist\": [\"" + kName + "\"]}\n");
         },
         false, false, kName, kStarts, Plus({"OK policy.allowlist"}, kGood)},
        {"an allowlist of \"*\" allows nothing",
         [](const Layout& l) {
             GoodHost(l);
             Put(l.system(), Text(l, {}));
             WriteText(l.policies() / "block.json",
                       "{\"NativeMessagingBlocklist\": [\"" + kName + "\"], \"NativeMessagingAllowlist\": [\"*\"]}\n");
         },
         false, false, kName, kBlocked, {"WARN policy.ignored", "FAIL policy.blocklist"}},
        {"the last policy file wins",
         [](const Layout& l) {
             GoodHost(l);
             Put(l.system(), Text(l, {}));
             WriteText(l.policies() / "10-block.json", "{\"NativeMessagingBlocklist\": [\"*\"]}\n");
             WriteText(l.policies() / "20-open.json", "{\"NativeMessagingBlocklist\": [\"com.example.other\"],}\n");
         },
         false, false, kName, kStarts, Plus({"OK policy.blocklist"}, kGood)},
        {"a policy file with comments is read",
         [](const Layout& l) {
             GoodHost(l);
             Put(l.system(), Text(l, {}));
             WriteText(l.policies() / "block.json", "// closed\n{\"NativeMessagingBlocklist\": [\"*\"]}\n");
         },
         false, false, kName, kBlocked, {"FAIL policy.blocklist"}},
        {"user-level hosts off: the user's bad manifest is not read",
         [](const Layout& l) {
             GoodHost(l);
             Put(l.homeUser(), "{ broken");
             Put(l.system(), Text(l, {}));
             WriteText(l.policies() / "user.json", "{\"NativeMessagingUserLevelHosts\": false}\n");
         },
         false, false, kName, kStarts, Plus({"OK policy.user_level_hosts", "OK registration.unread"}, kGood)},
        {"user-level hosts off: a user manifest alone is not found",
         [](const Layout& l) {
             GoodHost(l);
             Put(l.homeUser(), Text(l, {}));
             WriteText(l.policies() / "user.json", "{\"NativeMessagingUserLevelHosts\": false}\n");
         },
         false, false, kName, kNotFound,
         {"OK policy.user_level_hosts", "OK registration.unread", "FAIL registration.none"}},
        {"a badly typed later policy file wins, and leaves the blocklist unset",
         [](const Layout& l) {
             System(l, {});
             WriteText(l.policies() / "10-block.json", "{\"NativeMessagingBlocklist\": [\"*\"]}\n");
             WriteText(l.policies() / "20-typo.json", "{\"NativeMessagingBlocklist\": \"*\"}\n");
         },
         false, false, kName, kStarts, Plus({"WARN policy.ignored"}, kGood)},
        {"a hidden policy file is read",
         [](const Layout& l) {
             System(l, {});
             WriteText(l.policies() / ".block.json", "{\"NativeMessagingBlocklist\": [\"*\"]}\n");
         },
         false, false, kName, kBlocked, {"FAIL policy.blocklist"}},
        NeverRuns("ExtensionInstallBlocklist [\"*\"]: the extension never runs",
                  [](const Layout& l) {
                      System(l, {});
                      WriteText(l.policies() / "ext.json", "{\"ExtensionInstallBlocklist\": [\"*\"]}\n");
                  },
                  Plus({"FAIL extension.policy"}, kGood)),
        NeverRuns("ExtensionInstallBlocklist [\"*\"]: the allowlist does not let an unpacked extension in",
                  [](const Layout& l) {
                      System(l, {});
                      WriteText(l.policies() / "ext.json", "{\"ExtensionInstallBlocklist\": [\"*\"], "
                                                           "\"ExtensionInstallAllowlist\": [\"" + kRef + "\"]}\n");
                  },
                  Plus({"FAIL extension.policy"}, kGood)),
        NeverRuns("a recommended ExtensionInstallBlocklist keeps the extension out too",
                  [](const Layout& l) {
                      System(l, {});
                      WriteText(l.etc() / "policies" / "recommended" / "ext.json",
                                "{\"ExtensionInstallBlocklist\": [\"" + kRef + "\"]}\n");
                  },
                  Plus({"FAIL extension.policy"}, kGood)),
        NeverRuns("ExtensionSettings blocks the nativeMessaging permission: the extension never runs",
                  [](const Layout& l) {
                      System(l, {});
                      WriteText(l.policies() / "ext.json", "{\"ExtensionSettings\": {\"" + kRef +
                                                           "\": {\"blocked_permissions\": [\"nativeMessaging\"]}}}\n");
                  },
                  Plus({"FAIL extension.policy"}, kGood)),
        {"ExtensionSettings with one value outside its schema is dropped whole",
         [](const Layout& l) {
             System(l, {});
             WriteText(l.policies() / "ext.json", "{\"ExtensionSettings\": {\"" + kRef +
                                                  "\": {\"installation_mode\": \"blocked\", \"toolbar_pin\": \"pinned\"}}}\n");
         },
         false, false, kName, kStarts, Plus({"WARN policy.ignored"}, kGood)},
        {"control: the doctor asked about another extension must disagree",
         [](const Layout& l) { System(l, {}); },
         false, false, kName, kStarts, {"OK registration.used", "OK manifest.fields", "FAIL manifest.origin"}, true},
    };
    return cases;
}

// What one run of the browser and the doctor gave.
struct Outcome {
    std::string browser;  // kStarts, the lastError text, or why there is none
    std::string doctorSays;
    std::string doctorAlsoSays;
    std::vector<std::string> checks;
    std::string problem;  // set when the case could not be run
    std::string browserLines;  // the browser's own log lines on native messaging
    long long ms = 0;
};

// A virtual display of our own, for one browser at a time.
class Display {
public:
    ~Display() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool Start(int number) {
        const std::string lock = "/tmp/.X" + std::to_string(number) + "-lock";
        if (access(lock.c_str(), F_OK) == 0) return false;
        // Nothing is allocated after fork: other threads may hold malloc's lock.
        const std::string name = ":" + std::to_string(number);
        pid_ = fork();
        if (pid_ == 0) {
            int null = open("/dev/null", O_RDWR);
            dup2(null, 1);
            dup2(null, 2);
            execl("/usr/bin/Xvfb", "Xvfb", name.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
        auto start = Clock::now();
        while (Clock::now() - start < std::chrono::seconds(30)) {
            if (access(socket.c_str(), F_OK) == 0) {
                number_ = number;
                return true;
            }
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    std::string Name() const { return ":" + std::to_string(number_); }

private:
    pid_t pid_ = -1;
    int number_ = 0;
};

// The browser's message, from the reference extension's own log line.
bool BrowserMessage(const std::string& log, std::string* message) {
    const std::string tag = "[orvendel] host disconnected ";
    size_t at = log.find(tag);
    if (at == std::string::npos) return false;
    size_t end = log.find("\", source:", at);
    if (end == std::string::npos) return false;
    *message = log.substr(at + tag.size(), end - at - tag.size());
    return true;
}

std::string CopyExtension(const fs::path& to, const std::string& asked) {
    std::error_code ec;
    fs::copy(ORV_EXTENSION_DIR, to, fs::copy_options::recursive, ec);
    if (ec) return "cannot copy the extension: " + ec.message();
    fs::remove_all(to / "test", ec);
    fs::remove_all(to / "test-support", ec);
    fs::remove_all(to / "node_modules", ec);
    if (asked == kName) return "";
    std::string protocol;
    if (!ReadText(to / "protocol.js", &protocol)) return "no protocol.js";
    const std::string line = "export const HOST_NAME = '" + kName + "';";
    size_t at = protocol.find(line);
    if (at == std::string::npos) return "protocol.js no longer holds " + line;
    protocol.replace(at, line.size(), "export const HOST_NAME = '" + asked + "';");
    return WriteText(to / "protocol.js", protocol) ? "" : "cannot write protocol.js";
}

std::string Sh(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

Outcome RunCase(const Case& c, const fs::path& root, const Display& display) {
    Outcome out;
    Layout l{root};
    std::error_code ec;
    for (const fs::path& p : {l.home(), l.xdg(), l.chromeConfig(), l.etc(), root / "tmp"}) {
        fs::create_directories(p, ec);
    }
    // Debian's own file, so the browser starts as it does on the machine.
    fs::copy_file(std::string(kEtc) + "/master_preferences", l.etc() / "master_preferences", ec);
    c.setup(l);
    out.problem = CopyExtension(root / "extension", c.asked);
    if (!out.problem.empty()) return out;

    std::string doctor = Sh(ORV_DOCTOR_PATH) + " --browser chromium --unpacked --json";
    if (c.asked != kName) doctor += " --name " + Sh(c.asked);
    if (c.control) doctor += " --extension-id " + std::string(32, 'b');
    const std::string noexec = Sh(l.noexec().string());
    const std::string script =
        "mount --bind " + Sh(l.etc().string()) + " " + kEtc + " || exit 97\n" + "[ ! -d " + noexec +
        " ] || { mount --bind " + noexec + " " + noexec + " && mount -o remount,bind,noexec " + noexec + " " +
        noexec + "; } || exit 96\n" + doctor + " >" +
        Sh((root / "doctor.json").string()) + " 2>" + Sh((root / "doctor.err").string()) + "\nexec " + kChromium +
        " --no-sandbox --no-first-run --no-default-browser-check --disable-gpu --disable-background-networking"
        " --password-store=basic --enable-logging=stderr --v=0 --load-extension=" +
        Sh((root / "extension").string()) + " about:blank >" + Sh((root / "chromium.log").string()) + " 2>&1\n";
    std::vector<std::string> env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "HOME=" + l.home().string(),
                                     "DISPLAY=" + display.Name(), "TMPDIR=" + (root / "tmp").string(),
                                     "XDG_CACHE_HOME=" + (root / "cache").string(), "LANG=C.UTF-8"};
    if (c.xdg) env.push_back("XDG_CONFIG_HOME=" + l.xdg().string());
    if (c.chromeConfig) env.push_back("CHROME_CONFIG_HOME=" + l.chromeConfig().string());
    if (c.userDataDir) env.push_back("CHROME_USER_DATA_DIR=" + l.userData().string());
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);

    auto start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        setsid();  // one process group: the browser and all it starts
        execle("/usr/bin/unshare", "unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", script.c_str(),
               static_cast<char*>(nullptr), envp.data());
        _exit(127);
    }
    std::string log;
    const bool neverRuns = c.says == kNeverRuns;
    const int bound = neverRuns ? kNeverRunsMs : kOutcomeMs;
    out.browser = neverRuns ? kNeverRuns : "(no outcome within " + std::to_string(bound / 1000) + " s)";
    int status = 0;
    bool ended = false;
    while (Clock::now() - start < std::chrono::milliseconds(bound)) {
        if (fs::exists(l.marker(), ec)) {
            out.browser = kStarts;
            break;
        }
        std::string message;
        if (ReadText(root / "chromium.log", &log) && BrowserMessage(log, &message)) {
            out.browser = message;
            break;
        }
        log.clear();
        if (waitpid(pid, &status, WNOHANG) == pid) {
            ended = true;
            out.browser = "(the browser ended, status " + std::to_string(status) + ")";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (log.empty()) ReadText(root / "chromium.log", &log);
    out.ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("messaging") != std::string::npos || line.find("native") != std::string::npos) {
            out.browserLines += "\n    " + line.substr(0, 300);
        }
    }
    std::string hostPid;
    if (ReadText(l.marker(), &hostPid) && atoi(hostPid.c_str()) > 0) kill(atoi(hostPid.c_str()), SIGKILL);
    if (!ended) {
        kill(-pid, SIGKILL);
        waitpid(pid, &status, 0);
    }

    std::string json;
    rapidjson::Document doc;
    if (!ReadText(root / "doctor.json", &json) || doc.Parse(json.c_str()).HasParseError() || !doc.IsObject() ||
        !doc.HasMember("browsers") || !doc["browsers"].IsArray() || doc["browsers"].Empty()) {
        std::string err;
        ReadText(root / "doctor.err", &err);
        out.problem = "the doctor gave no report: " + json.substr(0, 300) + err.substr(0, 300);
        return out;
    }
    const auto& verdict = doc["browsers"][0];
    const bool runs = !verdict.HasMember("extensions") || verdict["extensions"].Empty() ||
                      verdict["extensions"][0]["runs"].GetBool();
    out.doctorSays = !runs ? kNeverRuns : verdict["starts"].GetBool() ? kStarts : verdict["browser_says"].GetString();
    out.doctorAlsoSays = verdict["browser_also_says"].GetString();
    for (const auto& check : doc["checks"].GetArray()) {
        if (std::string(check["browser"].GetString()) == "chromium") {
            out.checks.push_back(std::string(check["status"].GetString()) + " " + check["rule"].GetString());
        }
    }
    return out;
}

std::string Show(const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& line : lines) s += "\n    " + line;
    return s;
}

class DoctorAgreementTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(kChromium, X_OK) != 0) GTEST_SKIP() << kChromium << " is not installed: no real browser to ask";
        if (access("/usr/bin/Xvfb", X_OK) != 0) {
            GTEST_SKIP() << "no Xvfb: the browser needs a display to read user folders";
        }
        if (geteuid() != 0) {
            GTEST_SKIP() << "not root: the system folders are laid out by binding over " << kEtc
                         << " in a private mount namespace, which needs root";
        }
        if (!fs::is_directory(kEtc)) GTEST_SKIP() << kEtc << " does not exist: nothing to bind over";
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
        if (!root_.empty()) fs::remove_all(root_, ec);
    }
    fs::path root_;
};

TEST_F(DoctorAgreementTest, TheDoctorPredictsWhatChromiumDoes) {
    // ORVENDEL_AGREEMENT_FILTER=text runs only the cases whose name holds it.
    const char* filter = getenv("ORVENDEL_AGREEMENT_FILTER");
    std::vector<Case> cases;
    for (const Case& c : Cases()) {
        if (filter == nullptr || std::string(c.name).find(filter) != std::string::npos) cases.push_back(c);
    }
    std::vector<Outcome> outcomes(cases.size());
    std::atomic<size_t> next{0};
    std::mutex startMutex;
    std::vector<std::string> displayProblems;
    auto worker = [&](int slot) {
        Display display;
        bool up = false;
        for (int n = 90 + slot * 7; n < 90 + slot * 7 + 7 && !up; ++n) up = display.Start(n);
        if (!up) {
            std::lock_guard<std::mutex> lock(startMutex);
            displayProblems.push_back("no Xvfb display for slot " + std::to_string(slot));
            return;
        }
        for (size_t i = next++; i < cases.size(); i = next++) {
            outcomes[i] = RunCase(cases[i], root_ / std::to_string(i), display);
        }
    };
    auto start = Clock::now();
    std::vector<std::thread> workers;
    for (int slot = 0; slot < kSideBySide; ++slot) workers.emplace_back(worker, slot);
    for (std::thread& t : workers) t.join();
    ASSERT_TRUE(displayProblems.empty()) << displayProblems.front();
    printf("%zu cases in %lld ms, %d side by side\n", cases.size(),
           static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count()),
           kSideBySide);

    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const Outcome& o = outcomes[i];
        SCOPED_TRACE(c.name);
        printf("  %-66s %6lld ms  %s\n", c.name, o.ms, o.browser.c_str());
        if (!o.problem.empty()) {
            ADD_FAILURE() << o.problem;
            continue;
        }
        const bool raced = !c.alsoSays.empty() && o.browser == c.alsoSays;
        EXPECT_TRUE(o.browser == c.says || raced) << "Chromium no longer does what this case records: \"" << o.browser
                                                  << "\", not \"" << c.says << "\"; its log:" << o.browserLines;
        const bool agrees = o.doctorSays == o.browser || (raced && o.doctorAlsoSays == o.browser);
        if (c.control) {
            EXPECT_FALSE(agrees) << "a doctor asked the wrong question still agreed: the comparison is blind";
        } else {
            EXPECT_TRUE(agrees) << "the doctor predicts \"" << o.doctorSays << "\" (or \"" << o.doctorAlsoSays
                                << "\"), Chromium did \"" << o.browser << "\"";
        }
        EXPECT_EQ(o.checks, c.checks) << "the doctor's checks:" << Show(o.checks);
    }
}

}  // namespace
