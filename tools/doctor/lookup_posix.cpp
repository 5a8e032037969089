// Linux: Chromium, Google Chrome and Microsoft Edge run the same lookup, each
// with its own folders.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tools/doctor/files.h"
#include "tools/doctor/lookup.h"
#include "tools/doctor/program_posix.h"
#include "tools/doctor/policy.h"
#include "tools/doctor/report.h"

namespace fs = std::filesystem;

namespace {

struct Browser {
    const char* id;
    const char* shown;
    // chrome/common/chrome_paths_linux.cc, GetDefaultUserDataDirectory: the
    // product's folder name with its channel suffix.
    const char* userFolder;
    // chrome/common/chrome_paths.cc, DIR_NATIVE_MESSAGING;
    // components/policy/core/common/policy_paths.cc, kPolicyPath.
    const char* etc;  // nullptr: none the browser can read
    // What shows it installed: under the system root, or under HOME ("~/").
    const char* programs[3];
    // A confined package: its user data folder under HOME (none of the
    // host's config folders), and what its sandbox makes of any host.
    const char* homeFolder = nullptr;
    ProgramVerdict (*confined)(const std::string& manifestPath, const std::string& pathValue) = nullptr;
};

// Snap: the Chromium snap keeps its user data in $SNAP_USER_COMMON/chromium
// (its profile is ~/snap/chromium/common/chromium/Default,
// https://github.com/darktrojan/openwith/issues/275), and strict confinement
// keeps it from running programs of the host: "confinement prevents the
// browser from executing random executables on the user's host"
// (https://forum.snapcraft.io/t/native-messaging-support-in-strictly-confined-browser-snaps/26849).
ProgramVerdict SnapCannotStart(const std::string&, const std::string& pathValue) {
    ProgramVerdict v;
    v.status = Status::kFail;
    v.text = "a snap browser cannot start a host outside its confinement: the snap may not run " + pathValue +
             " (https://forum.snapcraft.io/t/native-messaging-support-in-strictly-confined-browser-snaps/26849)";
    v.fix = "use the browser's deb or rpm package";
    v.browserSays = browser_says::kFailedToStart;
    return v;
}

// Flatpak: the sandbox sets XDG_CONFIG_HOME to ~/.var/app/<id>/config
// (https://docs.flatpak.org/en/latest/conventions.html#xdg-base-directories);
// the host's /etc and programs are not in it. Only hosts shipped in the
// org.chromium.Chromium.Extension point's native-messaging-hosts reach the
// browser (https://github.com/flathub/org.chromium.Chromium, README), and a
// host program outside the sandbox needs flatpak-spawn --host, which needs
// the org.freedesktop.Flatpak permission
// (https://docs.flatpak.org/en/latest/flatpak-command-reference.html#flatpak-spawn);
// no portal for native messaging exists yet
// (https://github.com/flatpak/xdg-desktop-portal/issues/655).
ProgramVerdict FlatpakCannotStart(const std::string&, const std::string& pathValue) {
    ProgramVerdict v;
    v.status = Status::kFail;
    v.text = "a Flatpak browser cannot start a host outside its sandbox: it looks for " + pathValue +
             " among the sandbox's files, not the system's, and no portal starts a host outside "
             "(https://github.com/flatpak/xdg-desktop-portal/issues/655)";
    v.fix = "use the browser's deb or rpm package";
    v.browserSays = browser_says::kFailedToStart;
    return v;
}

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
    {"chromium-snap", "Chromium (snap)", nullptr, nullptr, {"/snap/bin/chromium", "/snap/chromium/current", nullptr},
     "snap/chromium/common/chromium", SnapCannotStart},
    // Flatpak's system installation is /var/lib/flatpak
    // (https://github.com/flatpak/flatpak/wiki/Distribution), a --user one
    // ~/.local/share/flatpak (flatpak-command-reference.html, flatpak install).
    {"chromium-flatpak", "Chromium (Flatpak)", nullptr, nullptr,
     {"/var/lib/flatpak/app/org.chromium.Chromium", "~/.local/share/flatpak/app/org.chromium.Chromium", nullptr},
     ".var/app/org.chromium.Chromium/config/chromium", FlatpakCannotStart},
    {"chrome-flatpak", "Google Chrome (Flatpak)", nullptr, nullptr,
     {"/var/lib/flatpak/app/com.google.Chrome", "~/.local/share/flatpak/app/com.google.Chrome", nullptr},
     ".var/app/com.google.Chrome/config/google-chrome", FlatpakCannotStart},
    {"edge-flatpak", "Microsoft Edge (Flatpak)", nullptr, nullptr,
     {"/var/lib/flatpak/app/com.microsoft.Edge", "~/.local/share/flatpak/app/com.microsoft.Edge", nullptr},
     ".var/app/com.microsoft.Edge/config/microsoft-edge", FlatpakCannotStart},
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

// The account named by --user or --all-users; none: the one the doctor runs as.
bool g_judged = false;
std::string g_home;
std::string g_login;

std::string Home() {
    if (g_judged) return g_home;
    std::string home = Env("HOME");
    if (!home.empty()) return home;
    const passwd* pw = getpwuid(getuid());
    return pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir : "";
}

// base/files/file_path.cc, StripTrailingSeparators.
std::string StripSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// chrome/common/chrome_paths_linux.cc, GetDefaultUserDataDirectory:
// $CHROME_CONFIG_HOME (when UTF-8), else base/nix/xdg_util.cc
// GetXDGDirectory: a non-empty $XDG_CONFIG_HOME, else ~/.config.
std::string ConfigHome() {
    // The variables are this process's, not the judged user's session's.
    if (g_judged) return StripSlashes(Home() + "/.config");
    const char* chrome = std::getenv("CHROME_CONFIG_HOME");
    if (chrome != nullptr && ValidUtf8(chrome) == chrome) return chrome;
    std::string xdg = Env("XDG_CONFIG_HOME");
    return StripSlashes(!xdg.empty() ? xdg : Home() + "/.config");
}

std::string g_userDataSwitch;  // --user-data-dir, as given to the doctor

// Where a browser started with a user data folder of its own keeps it.
struct UserData {
    std::string dir;      // empty: the browser's default
    std::string from;     // "--user-data-dir" or "CHROME_USER_DATA_DIR"
    std::string given;
    std::string problem;  // why the browser falls back to its default
};

// Whether base::CreateDirectory, which makes every missing parent, would make
// `path`: the nearest folder that exists must take new entries.
bool CanMake(const std::string& path, std::string* why) {
    std::string at = path;
    for (;;) {
        const size_t slash = at.find_last_of('/');
        at = slash == std::string::npos ? "." : slash == 0 ? "/" : at.substr(0, slash);
        struct stat st;
        if (::stat(at.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                *why = at + " is not a folder";
                return false;
            }
            if (::access(at.c_str(), W_OK | X_OK) != 0) {
                *why = "no new folder can be made in " + at;
                return false;
            }
            return true;
        }
        if (at == "/" || at == ".") return false;
    }
}

// chrome/app/chrome_main_delegate.cc, InitializeUserDataDir: the switch, else
// (Linux) $CHROME_USER_DATA_DIR when UTF-8; an empty value counts as none.
// base/path_service.cc, OverrideAndCreateIfNeeded: a missing folder is made,
// then the path is made absolute (realpath); if either fails the browser
// keeps its default folder.
UserData UserDataDir() {
    UserData u;
    u.given = g_userDataSwitch;
    u.from = "--user-data-dir";
    if (u.given.empty() && !g_judged) {
        const char* env = std::getenv("CHROME_USER_DATA_DIR");
        u.given = env != nullptr && ValidUtf8(env) == env ? env : "";
        u.from = "CHROME_USER_DATA_DIR";
    }
    if (u.given.empty()) return UserData();
    struct stat st;
    if (::stat(u.given.c_str(), &st) != 0) {
        std::string why;
        if (!CanMake(u.given, &why)) {
            u.problem = "it cannot be made" + (why.empty() ? std::string() : ": " + why);
            return u;
        }
        // The browser makes it empty: no manifest can be there yet.
        char* cwd = ::getcwd(nullptr, 0);
        u.dir = u.given[0] == '/' || cwd == nullptr ? u.given : std::string(cwd) + "/" + u.given;
        std::free(cwd);
        return u;
    }
    char* real = ::realpath(u.given.c_str(), nullptr);
    if (real == nullptr) {
        u.problem = std::string("it cannot be resolved: ") + std::strerror(errno);
        return u;
    }
    u.dir = real;
    std::free(real);
    return u;
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

namespace {

// Ubuntu's chromium-browser deb is a transitional package that brings the
// snap (https://snapcraft.io/blog/chromium-in-ubuntu-deb-to-snap-transition):
// its /usr/bin/chromium-browser is a script that starts /snap/bin/chromium,
// which is that browser, not a Chromium of the system's.
bool StartsSnap(const std::string& program) {
    std::ifstream in(program, std::ios::binary);
    char head[4096] = {};
    in.read(head, sizeof head - 1);
    const std::string text(head, static_cast<size_t>(in.gcount()));
    return text.compare(0, 2, "#!") == 0 && text.find("/snap/bin/") != std::string::npos;
}

}  // namespace

bool BrowserInstalled(const std::string& browser) {
    const Browser* b = Find(browser);
    if (b == nullptr) return false;
    for (const char* program : b->programs) {
        if (program == nullptr) continue;
        const std::string at = program[0] == '~' ? Home() + (program + 1) : SystemPath(program);
        if (::access(at.c_str(), X_OK) == 0 && (b->confined != nullptr || !StartsSnap(at))) return true;
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
    in.judgeProgram = b->confined != nullptr ? b->confined : JudgeProgram;
    if (b->confined != nullptr) {
        in.registerFix = "use the browser's deb or rpm package: its sandbox keeps the host out wherever it is registered";
    }
    // A confined package reads its policies from inside its sandbox only.
    if (b->etc != nullptr) ReadPolicies(SystemPath(std::string(b->etc) + "/policies"), &in);
    // External extensions (JSON files in the browser's extensions folders)
    // are not read: only a policy's install is told.
    if (UsesEdgeNames(browser)) in.storeUpdateUrl = kEdgeAddonsUpdateUrl;
    // chrome/browser/extensions/api/messaging/launch_context_posix.cc,
    // FindManifest: the user's folder first (chrome_paths.cc,
    // DIR_USER_NATIVE_MESSAGING: <user data dir>/NativeMessagingHosts), then
    // the system's (DIR_NATIVE_MESSAGING).
    const UserData userData = UserDataDir();
    // A confined browser is started by its package, without the switches
    // and variables given here.
    const std::string userDir = b->homeFolder != nullptr ? Home() + "/" + b->homeFolder
                                : !userData.dir.empty()  ? userData.dir
                                                         : ConfigHome() + "/" + b->userFolder;
    const std::string file = name + ".json";
    const std::string places[2] = {
        userDir + "/NativeMessagingHosts/" + file,
        b->etc != nullptr ? SystemPath(std::string(b->etc) + "/native-messaging-hosts/" + file) : std::string()};
    for (int i = 0; i < 2 && !places[i].empty(); ++i) {
        Registration r;
        r.where = places[i];
        r.manifestPath = places[i];
        r.userLevel = i == 0;
        // FindManifestInDir: base::PathExists, access(F_OK), follows links:
        // one that leads nowhere or in a loop is passed over.
        struct stat st;
        if (::stat(places[i].c_str(), &st) != 0) {
            const bool loop = errno == ELOOP;
            if (::lstat(places[i].c_str(), &st) != 0) continue;
            r.skipped = true;
            r.skippedWhy = loop ? "it is a loop of links, which the browser passes over"
                                : "it is a link that leads nowhere, which the browser passes over";
            in.registrations.push_back(std::move(r));
            continue;
        }
        // native_messaging_host_manifest.cc, Load: JSONFileValueDeserializer,
        // base::ReadFileToString: fopen and fread to the end. A folder
        // (EISDIR), a socket (ENXIO), an unreadable file, /proc/self/mem (EIO)
        // fail to read, and a manifest that does not load is "not found". A
        // FIFO blocks fopen until a writer comes: connectNative never answers.
        std::string why;
        r.readable = ReadRegularFile(places[i], &r.text, &why) == ReadResult::kOk;
        if (!r.readable) {
            r.readWhy = why;
            if (S_ISFIFO(st.st_mode)) {
                r.readWhy += ": the browser waits on it for a writer, and connectNative never answers";
                r.readSays = browser_says::kNoAnswer;
            }
        }
        in.registrations.push_back(std::move(r));
    }
    return in;
}

void SetUserDataDir(const std::string& dir) { g_userDataSwitch = dir; }

void AddAccountNotes(Report* report) {
    const UserData u = UserDataDir();
    if (!u.problem.empty()) {
        report->notes.push_back(u.from + " " + u.given + ": " + u.problem +
                                "; the browser keeps its default user data folder");
    } else if (!u.dir.empty()) {
        report->notes.push_back("user data folder " + u.dir + " (" + u.from +
                                "): the user-level manifests are read from its NativeMessagingHosts folder");
    }
    if (g_judged) report->notes.push_back("HOME of " + g_login + ": " + g_home);
    if (geteuid() == 0 && !g_judged) {
        report->notes.push_back("run as root: HOME (" + Home() +
                                ") and the user-level folders checked are root's, not the desktop user's; run it with "
                                "--user LOGIN or --all-users, or as that user, to check theirs");
    }
}

bool FindUser(const std::string& given, UserAccount* user, std::string* why) {
    const passwd* pw = getpwnam(given.c_str());
    if (pw == nullptr && given.find_first_not_of("0123456789") == std::string::npos && given.size() < 10) {
        pw = getpwuid(static_cast<uid_t>(std::stoul(given)));
    }
    if (pw == nullptr || pw->pw_name == nullptr) {
        *why = "--user: no account has the login or uid '" + given + "'";
        return false;
    }
    user->id = user->name = pw->pw_name;
    return true;
}

// Accounts of people: from uid 1000 (Debian's and Fedora's first), not
// nobody (65534), with a home; each login once.
std::vector<UserAccount> ListUsers() {
    std::vector<UserAccount> users;
    setpwent();
    while (const passwd* pw = getpwent()) {
        struct stat st;
        if (pw->pw_uid < 1000 || pw->pw_uid == 65534 || pw->pw_name == nullptr || pw->pw_dir == nullptr ||
            ::stat(pw->pw_dir, &st) != 0) {
            continue;
        }
        const std::string login = pw->pw_name;
        if (std::none_of(users.begin(), users.end(), [&](const UserAccount& u) { return u.id == login; })) {
            users.push_back({login, login, std::string(), std::string()});
        }
    }
    endpwent();
    return users;
}

bool JudgeUser(UserAccount* user) {
    const passwd* pw = getpwnam(user->id.c_str());
    const std::string home = pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir : "";
    user->fix = "run it as root or as " + user->name;
    if (home.empty()) {
        user->unread = "it has no home folder";
        return false;
    }
    // The user-level folders are read below HOME: it must be open to us.
    if (::access(home.c_str(), R_OK | X_OK) != 0) {
        user->unread = "its home " + home + " cannot be read: " + std::strerror(errno);
        return false;
    }
    g_judged = true;
    g_home = home;
    g_login = user->id;
    return true;
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

// No check here: the agent and its Global\ objects are Windows's, and
// sessions there share them.
void CheckSessions(Report*) {}

// The POSIX stand-in reads '\' in the client's paths as '/'.
std::string NativePath(const std::string& path) {
    std::string p = path;
    std::replace(p.begin(), p.end(), '\\', '/');
    return p;
}
