// Linux: Chromium, Google Chrome and Microsoft Edge run the same lookup, each
// with its own folders.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tools/doctor/lookup.h"
#include "tools/doctor/policy.h"
#include "tools/doctor/report.h"

namespace fs = std::filesystem;

namespace {

struct Browser {
    const char* id;
    const char* shown;
    // chrome_paths_linux.cc, GetDefaultUserDataDirectory: the product's
    // folder name with its channel suffix.
    const char* userFolder;
    // chrome_paths.cc, DIR_NATIVE_MESSAGING; policy_paths.cc, kPolicyPath.
    const char* etc;
    const char* programs[3];
};

// Edge on Linux is Chromium with Microsoft's folders (its packages install
// /opt/microsoft/msedge*; it reads /etc/opt/edge).
const Browser kBrowsers[] = {
    {"chromium", "Chromium", "chromium", "/etc/chromium", {"/usr/bin/chromium", "/usr/bin/chromium-browser", nullptr}},
    {"chrome", "Google Chrome", "google-chrome", "/etc/opt/chrome", {"/opt/google/chrome/chrome", nullptr, nullptr}},
    {"chrome-beta", "Google Chrome Beta", "google-chrome-beta", "/etc/opt/chrome",
     {"/opt/google/chrome-beta/chrome", nullptr, nullptr}},
    {"chrome-dev", "Google Chrome Dev", "google-chrome-unstable", "/etc/opt/chrome",
     {"/opt/google/chrome-unstable/chrome", nullptr, nullptr}},
    {"edge", "Microsoft Edge", "microsoft-edge", "/etc/opt/edge", {"/opt/microsoft/msedge/msedge", nullptr, nullptr}},
    {"edge-beta", "Microsoft Edge Beta", "microsoft-edge-beta", "/etc/opt/edge",
     {"/opt/microsoft/msedge-beta/msedge", nullptr, nullptr}},
    {"edge-dev", "Microsoft Edge Dev", "microsoft-edge-dev", "/etc/opt/edge",
     {"/opt/microsoft/msedge-dev/msedge", nullptr, nullptr}},
};

const Browser* Find(const std::string& id) {
    for (const Browser& b : kBrowsers) {
        if (id == b.id) return &b;
    }
    return nullptr;
}

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

// Tests put the system's folders under another root.
std::string SystemPath(const std::string& path) { return Env("ORVENDEL_SYSTEM_ROOT") + path; }

std::string Home() {
    std::string home = Env("HOME");
    if (!home.empty()) return home;
    const passwd* pw = getpwuid(getuid());
    return pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir : "";
}

// chrome_paths_linux.cc, GetDefaultUserDataDirectory: $CHROME_CONFIG_HOME
// (when UTF-8), else base/nix/xdg_util.cc GetXDGDirectory: a non-empty
// $XDG_CONFIG_HOME, else ~/.config.
std::string ConfigHome() {
    const char* chrome = std::getenv("CHROME_CONFIG_HOME");
    if (chrome != nullptr && ValidUtf8(chrome) == chrome) return chrome;
    std::string xdg = Env("XDG_CONFIG_HOME");
    return !xdg.empty() ? xdg : Home() + "/.config";
}

bool ReadWhole(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// base::PathExists: stat, so a dangling link is absent and a folder present.
bool PathExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// native_process_launcher.cc, DoLaunchOnThreadPool: on Linux "path" must be
// absolute and must exist; a backslash is an ordinary character there.
// native_process_launcher_posix.cc, LaunchNativeProcess: base::LaunchProcess
// forks and then execs, so a program that cannot run still "starts", and
// the browser only sees it end: on reading (native_message_process_host.cc,
// "Native host has exited.") or, when its first message is written first,
// on writing ("Error when communicating ..."). Chromium 156 was seen to give
// either.
ProgramVerdict JudgeProgram(const std::string& manifestPath, const std::string& pathValue) {
    ProgramVerdict v;
    const std::string fix = "set \"path\" in " + manifestPath + " to the host's absolute path";
    if (pathValue.empty() || pathValue[0] != '/') {
        v.status = Status::kFail;
        v.text = "\"path\" " + pathValue + " in " + manifestPath + " is relative" +
                 (pathValue.find('\\') != std::string::npos ? " (a backslash is no separator on Linux)" : "");
        v.fix = fix;
        v.browserSays = browser_says::kNotFound;
        return v;
    }
    if (!PathExists(pathValue)) {
        v.status = Status::kFail;
        v.text = "the host " + pathValue + " does not exist";
        v.fix = "install the host there, or " + fix;
        v.browserSays = browser_says::kNotFound;
        return v;
    }
    struct stat st;
    ::stat(pathValue.c_str(), &st);
    if (!S_ISREG(st.st_mode) || (st.st_mode & 0111) == 0) {
        v.status = Status::kFail;
        v.text = "the host " + pathValue + (S_ISREG(st.st_mode) ? " is not executable" : " is not a file") +
                 ": the browser starts it and it ends at once";
        v.fix = S_ISREG(st.st_mode) ? "chmod 755 " + pathValue : fix;
        v.browserSays = browser_says::kExited;
        v.browserAlsoSays = browser_says::kIoError;
        return v;
    }
    v.text = "the host " + pathValue + " is an executable file";
    return v;
}

// policy_paths.cc, kPolicyPath: its managed and recommended folders.
void ReadPolicies(const std::string& folder, BrowserInputs* in) {
    LoadPolicyFolders(folder, &in->policies, &in->recommended);
    in->policiesRead = true;
}

}  // namespace

std::vector<std::string> KnownBrowsers() {
    std::vector<std::string> ids;
    for (const Browser& b : kBrowsers) ids.push_back(b.id);
    return ids;
}

bool BrowserInstalled(const std::string& browser) {
    const Browser* b = Find(browser);
    if (b == nullptr) return false;
    for (const char* program : b->programs) {
        if (program != nullptr && ::access(SystemPath(program).c_str(), X_OK) == 0) return true;
    }
    return false;
}

bool UsesEdgeNames(const std::string& browser) { return browser.compare(0, 4, "edge") == 0; }

BrowserInputs GatherBrowser(const std::string& browser, const std::string& name) {
    const Browser* b = Find(browser);
    BrowserInputs in;
    in.browser = browser;
    in.shown = b->shown;
    in.registerFix = "register the host: install the package, or run install.sh";
    in.judgeProgram = JudgeProgram;
    ReadPolicies(SystemPath(std::string(b->etc) + "/policies"), &in);
    // native_process_launcher_posix.cc, FindManifest: the user's folder
    // (<user data dir>/NativeMessagingHosts) first, then the system's.
    const std::string file = name + ".json";
    const std::string places[2] = {ConfigHome() + "/" + b->userFolder + "/NativeMessagingHosts/" + file,
                                   SystemPath(std::string(b->etc) + "/native-messaging-hosts/" + file)};
    for (int i = 0; i < 2; ++i) {
        if (!PathExists(places[i])) continue;
        Registration r;
        r.where = places[i];
        r.manifestPath = places[i];
        r.userLevel = i == 0;
        r.readable = ReadWhole(places[i], &r.text);
        in.registrations.push_back(r);
    }
    return in;
}

void AddAccountNotes(Report* report) {
    if (geteuid() == 0) {
        report->notes.push_back("run as root: HOME (" + Home() +
                                ") and the user-level folders checked are root's, not the desktop user's; run it as "
                                "that user to check theirs");
    }
}

void JudgeDumpFolder(const std::string& folder, Report* report) {
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0) return;
    if ((st.st_mode & S_IWOTH) != 0 && (st.st_mode & S_IXOTH) != 0) {
        report->Add(Status::kOk, "client", "client.dump", "", "every account may add files to the dump folder " + folder);
    } else {
        report->Add(Status::kWarn, "client", "client.dump", "",
                    "the dump folder " + folder + " takes new files only from its owner and group: other users' hosts log nothing",
                    "chmod 1777 " + folder);
    }
}

// The POSIX stand-in reads '\' in the client's paths as '/'.
std::string NativePath(const std::string& path) {
    std::string p = path;
    std::replace(p.begin(), p.end(), '\\', '/');
    return p;
}
