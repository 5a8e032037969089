// Windows: Chrome and Edge read the registry for the manifest's path.
#include <windows.h>
#include <lm.h>
#include <sddl.h>
#include <wtsapi32.h>

#include <cctype>
#include <cstring>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "tools/doctor/files.h"
#include "tools/doctor/lookup.h"
#include "tools/doctor/owned.h"
#include "tools/doctor/registry_dict.h"
#include "tools/doctor/sessions.h"
#include "tools/common/wide.h"

namespace {

// base/win/registry.cc, RegKey::ReadValue into a string: REG_SZ as it is,
// REG_EXPAND_SZ expanded; any other type, or none, is no value.
bool ReadString(HKEY key, const wchar_t* name, std::string* value) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, 0);
    DWORD bytes = static_cast<DWORD>((data.size() - 1) * sizeof(wchar_t));
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &bytes) != ERROR_SUCCESS) {
        return false;
    }
    WString text(data.data());
    if (type == REG_EXPAND_SZ) {
        DWORD need = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
        std::vector<wchar_t> expanded(need + 1, 0);
        if (need == 0 || ExpandEnvironmentStringsW(text.c_str(), expanded.data(), need) == 0) return false;
        text = expanded.data();
    }
    *value = Utf8(text.c_str());
    return true;
}

struct Browser {
    const char* id;
    const char* shown;
    const char* policyKey;
    const char* image;  // under App Paths
    std::vector<const char*> keys;  // under SOFTWARE\, in the order read
    const char* extensionsKey;      // under Software\: the external extensions
    const char* storeUpdateUrl;
    bool verifiesStore;  // install_verifier.cc, GetExperimentStatus: Google Chrome's builds only
    // Whether, with NativeHostsExecutablesLaunchDirectly unset, the browser
    // may start an .exe host directly or through cmd.exe.
    bool launchRollout;
};

// launch_context_win.cc, GetManifestPathWithFlags: Chrome reads its own key.
// Edge reads its own, then Chromium's and Chrome's (Microsoft: "Native
// messaging", Edge extensions documentation).
// native_process_launcher.cc, NativeProcessLauncher::CreateDefault: unset,
// the policy leaves Chrome to kLaunchWindowsNativeHostsDirectly, off by
// default: cmd.exe. Edge moves to direct launch by a staged rollout
// (Microsoft, Edge policy NativeHostsExecutablesLaunchDirectly), so which
// one it uses is its own default's business.
const Browser kBrowsers[] = {
    {"chrome", "Chrome", "SOFTWARE\\Policies\\Google\\Chrome", "chrome.exe", {"Google\\Chrome\\NativeMessagingHosts"},
     "Google\\Chrome\\Extensions", kChromeWebstoreUpdateUrl, true, false},
    {"edge", "Edge", "SOFTWARE\\Policies\\Microsoft\\Edge", "msedge.exe",
     {"Microsoft\\Edge\\NativeMessagingHosts", "Chromium\\NativeMessagingHosts",
      "Google\\Chrome\\NativeMessagingHosts"},
     "Microsoft\\Edge\\Extensions", kEdgeAddonsUpdateUrl, false, true},
};

const Browser* Find(const std::string& id) {
    for (const Browser& b : kBrowsers) {
        if (id == b.id) return &b;
    }
    return nullptr;
}

// The judged user's hive: HKCU, or a user's hive under HKEY_USERS (--user,
// --all-users), and how the report names it.
HKEY g_userHive = HKEY_CURRENT_USER;
std::string g_userShown = "HKCU";
bool g_judged = false;

enum class Launch { kThroughCmd, kDirectly, kEitherWay };

// How the browser being judged starts a host: set by GatherBrowser.
Launch g_launch = Launch::kThroughCmd;
DWORD g_disableCmd = 0;
std::string g_browserShown;

bool ReadDword(HKEY hive, const char* subkey, const wchar_t* name, DWORD* value) {
    Key key(hive, Wide(subkey), KEY_QUERY_VALUE | KEY_WOW64_64KEY);
    DWORD type = 0, size = sizeof(*value);
    return key.get() != nullptr &&
           RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS &&
           type == REG_DWORD;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// base::FilePath::IsAbsolute on Windows: a drive letter, a colon and a
// separator, or two separators (UNC).
bool IsAbsolutePath(const std::string& p) {
    if (p.size() >= 3 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':' && IsSeparator(p[2])) {
        return true;
    }
    return p.size() >= 2 && IsSeparator(p[0]) && IsSeparator(p[1]);
}

std::string LowerExtension(const std::string& path) {
    size_t dot = path.find_last_of('.');
    size_t sep = path.find_last_of("\\/");
    if (dot == std::string::npos || (sep != std::string::npos && dot < sep)) return std::string();
    return AsciiLower(path.substr(dot));
}

// What a path names, for starting it.
enum class Kind { kProgram, kScript, kOther };
struct Target {
    Kind kind = Kind::kOther;
    bool console32 = false;  // the product's host: PE32, console subsystem
    std::string what;        // for kOther: what it is instead
};

// Reads the headers only: an .exe may be large, and the path may name a
// device or pipe, which is never read.
Target Examine(const std::string& path) {
    Target t;
    const WString wide = Wide(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        t.what = "a folder";
        return t;
    }
    Handle f(CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (f.get() == INVALID_HANDLE_VALUE) {
        t.what = "a file that cannot be opened (error " + std::to_string(GetLastError()) + ")";
        return t;
    }
    if (GetFileType(f.get()) != FILE_TYPE_DISK) {
        t.what = "a device, not a file";
        return t;
    }
    std::string bytes(64 * 1024, '\0');
    DWORD got = 0;
    if (!ReadFile(f.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr)) got = 0;
    bytes.resize(got);
    auto u16 = [&](size_t at) {
        return at + 2 <= bytes.size() ? (uint8_t(bytes[at]) | uint8_t(bytes[at + 1]) << 8) : 0;
    };
    auto u32 = [&](size_t at) { return at + 4 <= bytes.size() ? uint32_t(u16(at)) | uint32_t(u16(at + 2)) << 16 : 0u; };
    const size_t pe = bytes.size() >= 0x40 && bytes[0] == 'M' && bytes[1] == 'Z' ? u32(0x3C) : 0;
    const bool isPe = pe != 0 && pe + 0x60 <= bytes.size() && bytes.compare(pe, 4, std::string("PE\0\0", 4)) == 0;
    const unsigned machine = isPe ? u16(pe + 4) : 0;
    const unsigned characteristics = isPe ? u16(pe + 22) : 0;
    // IMAGE_FILE_EXECUTABLE_IMAGE and not IMAGE_FILE_DLL, for x86, x64 or ARM64.
    const bool runnable = isPe && (characteristics & 0x0002) != 0 && (characteristics & 0x2000) == 0 &&
                          (machine == 0x14C || machine == 0x8664 || machine == 0xAA64);
    const std::string ext = LowerExtension(path);
    if ((ext == ".exe" || ext == ".com") && runnable) {
        t.kind = Kind::kProgram;
        t.console32 = u16(pe + 24) == 0x10B && u16(pe + 24 + 68) == 3;
    } else if (ext == ".bat" || ext == ".cmd") {
        t.kind = Kind::kScript;
    } else if (ext == ".exe" || ext == ".com") {
        t.what = isPe ? "a Windows file that is no program (a DLL, or for another processor)" : "not a Windows program";
    } else {
        t.what = runnable ? "a program without the .exe extension, which cmd.exe does not start"
                          : "no program (cmd.exe runs .exe, .com, .bat and .cmd files)";
    }
    return t;
}

struct Outcome {
    bool starts = true;
    std::string says, alsoSays, why, fix;
};

// launch_context_win.cc, LaunchNativeExeDirectly: the browser opens the
// pipes itself, then CreateProcess; a program it refuses is a launch
// failure (LaunchInBackground: RESULT_FAILED_TO_START).
Outcome Directly(const Target& t, const std::string& shown, const std::string& manifestPath) {
    Outcome o;
    if (t.kind == Kind::kProgram) return o;
    o.starts = false;
    o.says = browser_says::kFailedToStart;
    o.why = g_browserShown + " starts " + shown + " directly, and Windows cannot run it: it is " + t.what;
    o.fix = "set \"path\" in " + manifestPath + " to the host's .exe";
    return o;
}

// launch_context_win.cc, LaunchNativeHostViaCmd: "%COMSPEC% /d /s /c
// "host" < in-pipe > out-pipe". cmd.exe opens both pipes before it looks
// at the host, so the browser sees the host start (ConnectPipes) and then
// end: "Native host has exited." on reading, or on writing first the I/O
// error. A cmd.exe that ends before it opens them (COMSPEC unset: no
// process at all) is a failure to start (OnObjectSignaled).
Outcome ThroughCmd(const Target& t, const std::string& shown, const std::string& manifestPath, bool isExe) {
    Outcome o;
    if (GetEnvironmentVariableW(L"COMSPEC", nullptr, 0) == 0) {
        o.starts = false;
        o.says = browser_says::kFailedToStart;
        o.why = g_browserShown + " starts hosts through %COMSPEC%, and COMSPEC is not set";
        o.fix = "set COMSPEC to C:\\Windows\\System32\\cmd.exe";
        return o;
    }
    // Microsoft, "Prevent access to the command prompt": DisableCMD=1 turns
    // off cmd.exe for scripts and /c too; 2 only the interactive prompt.
    // cmd.exe then shows its refusal and waits for a key in a window no one
    // sees, or ends: the extension is told it failed to start, or nothing.
    if (g_disableCmd == 1) {
        o.starts = false;
        o.says = browser_says::kFailedToStart;
        o.why = g_browserShown + " starts " + shown +
                " through cmd.exe, which DisableCMD=1 turns off: cmd.exe refuses before it opens the pipes, then "
                "ends or waits for a key in its hidden window (the extension then hears nothing)";
        o.fix = isExe ? "set NativeHostsExecutablesLaunchDirectly=1 for " + g_browserShown +
                            ", or DisableCMD=2 (scripts allowed)"
                      : "set DisableCMD=2 (scripts allowed)";
        return o;
    }
    if (t.kind != Kind::kOther) return o;
    o.starts = false;
    o.says = browser_says::kExited;
    o.alsoSays = browser_says::kIoError;
    o.why = "cmd.exe takes the browser's pipes, then cannot start " + shown + ": it is " + t.what;
    o.fix = "set \"path\" in " + manifestPath + " to the host's .exe";
    return o;
}

// launch_context.cc, LaunchInBackground: on Windows a relative "path" is
// taken from the manifest's folder; it must exist (base::PathExists, so a
// folder does). launch_context_win.cc, LaunchNativeProcess: an .exe goes
// straight to CreateProcess when NativeHostsExecutablesLaunchDirectly says
// so, anything else through cmd.exe. 32-bit console is the product's rule,
// not the browser's.
ProgramVerdict JudgeProgram(const std::string& manifestPath, const std::string& pathValue) {
    ProgramVerdict v;
    std::string program = pathValue;
    if (!IsAbsolutePath(program)) {
        // base::FilePath::DirName, then Append: one separator between.
        size_t sep = manifestPath.find_last_of("\\/");
        program = (sep == std::string::npos ? std::string(".") : manifestPath.substr(0, sep)) + "\\" + pathValue;
    }
    if (GetFileAttributesW(Wide(program).c_str()) == INVALID_FILE_ATTRIBUTES) {
        v.status = Status::kFail;
        v.text = "the host " + program + " does not exist";
        v.fix = "install the host there, or correct \"path\" in " + manifestPath;
        v.browserSays = browser_says::kNotFound;
        return v;
    }
    const Target target = Examine(program);
    // base::FilePath::MatchesFinalExtension: case-insensitive.
    const bool isExe = LowerExtension(program) == ".exe";
    const Launch launch = isExe ? g_launch : Launch::kThroughCmd;
    Outcome direct = Directly(target, program, manifestPath);
    Outcome cmd = ThroughCmd(target, program, manifestPath, isExe);
    const Outcome& used = launch == Launch::kDirectly ? direct : cmd;
    if (launch == Launch::kEitherWay && direct.starts != cmd.starts) {
        const Outcome& failing = direct.starts ? cmd : direct;
        v.status = Status::kWarn;
        v.text = "depends on the browser's default: " + g_browserShown +
                 " starts .exe hosts directly or through cmd.exe as its staged rollout decides, and " +
                 (direct.starts ? "only directly" : "only through cmd.exe") +
                 " does " + program + " start (" + failing.why + ")";
        v.fix = std::string("set NativeHostsExecutablesLaunchDirectly=") + (direct.starts ? "1" : "0") + " for " +
                g_browserShown + ", or: " + failing.fix;
        return v;
    }
    if (!used.starts) {
        v.status = Status::kFail;
        v.text = used.why;
        v.fix = used.fix;
        v.browserSays = used.says;
        v.browserAlsoSays = used.alsoSays;
        if (launch == Launch::kEitherWay && direct.says != cmd.says) {
            // Fails either way, with the text of whichever way it is started.
            v.text = direct.why + "; through cmd.exe: " + cmd.why;
            v.browserSays = direct.says;
            v.browserAlsoSays = cmd.says;
        }
        return v;
    }
    const std::string how = launch == Launch::kDirectly   ? "started directly"
                            : launch == Launch::kEitherWay ? "started directly or through cmd.exe"
                                                           : "started through cmd.exe";
    if (target.kind == Kind::kScript) {
        v.status = Status::kWarn;
        v.text = "the host " + program + " is a batch script (" + how + "), not the 32-bit console Orvendel host";
        v.fix = "install the Orvendel host (MSI or ZIP)";
    } else if (!target.console32) {
        v.status = Status::kWarn;
        v.text = "the host " + program + " starts (" + how + "), but is not the 32-bit console Orvendel host";
        v.fix = "install the Orvendel host (MSI or ZIP)";
    } else {
        v.text = "the host " + program + " is a 32-bit console program (" + how + ")";
    }
    return v;
}

// The subkeys' names, as base::win::RegistryKeyIterator lists them, bounded.
std::vector<WString> Subkeys(HKEY hive, const WString& path, REGSAM view) {
    std::vector<WString> names;
    Key key(hive, path, KEY_READ | view);
    if (key.get() == nullptr) return names;
    WCHAR name[256];
    for (DWORD i = 0; i < 10000; ++i) {
        DWORD units = 256;
        LONG rc = RegEnumKeyExW(key.get(), i, name, &units, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc == ERROR_SUCCESS) names.push_back(WString(name, units));
    }
    return names;
}

bool Is64BitWindows() {
#ifdef _WIN64
    return true;
#else
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
#endif
}

// base/version.cc, ParseVersionNumbers: numbers split by dots, digits only,
// each within 32 bits, no leading zero in the first.
bool IsVersion(const std::string& v) {
    size_t start = 0;
    for (bool first = true;; first = false) {
        const size_t dot = std::min(v.find('.', start), v.size());
        const std::string piece = v.substr(start, dot - start);
        if (piece.empty() || piece.size() > 10 || piece.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        if (std::stoull(piece) > 0xFFFFFFFFull || (first && piece.size() > 1 && piece[0] == '0')) return false;
        if (dot == v.size()) return true;
        start = dot + 1;
    }
}

// The browser's offers of extensions. external_registry_loader_win.cc,
// ExternalRegistryLoader::LoadPrefsOnBlockingThread: the subkeys of HKLM's
// 32-bit view and of HKCU, each name once, in order; each read from HKLM if
// it opens there, else from HKCU. An update_url (REG_SZ or REG_EXPAND_SZ)
// makes the offer; without one, an absolute path to a readable .crx and a
// valid version. Values of one id written under two spellings merge. Then
// external_provider_impl.cc, RetrieveExtensionsFromPrefs: exactly one of
// the two kinds, a valid update URL (GURL), no ".." in the path. HKLM's
// 64-bit view is never read: its subkeys are listed as such.
void ReadOffers(const Browser& b, BrowserInputs* in) {
    const WString path = Wide(std::string("Software\\") + b.extensionsKey);
    const std::string machine = std::string("HKLM\\SOFTWARE\\") + (Is64BitWindows() ? "WOW6432Node\\" : "") +
                                b.extensionsKey + "\\";
    const std::string user = g_userShown + "\\Software\\" + b.extensionsKey + "\\";
    std::set<WString> names;
    for (const WString& n : Subkeys(HKEY_LOCAL_MACHINE, path, KEY_WOW64_32KEY)) names.insert(n);
    for (const WString& n : Subkeys(g_userHive, path, 0)) names.insert(n);
    struct Merged {
        ExternalOffer offer;
        bool url = false, crx = false;
    };
    std::map<std::string, Merged> byId;
    std::vector<std::string> order;
    for (const WString& wideName : names) {
        ExternalOffer offer;
        offer.name = Utf8(wideName.c_str());
        const WString subkey = path + L"\\" + wideName;
        Key machineKey(HKEY_LOCAL_MACHINE, subkey, KEY_READ | KEY_WOW64_32KEY);
        Key userKey(g_userHive, subkey, KEY_READ);
        HKEY key = machineKey.get() != nullptr ? machineKey.get() : userKey.get();
        if (key == nullptr) continue;
        offer.where = (machineKey.get() != nullptr ? machine : user) + offer.name;
        std::string id = AsciiLower(offer.name);
        if (!IsExtensionId(id)) {
            offer.problem = "its name is not an extension id (32 letters a to p)";
            in->offers.push_back(offer);
            continue;
        }
        offer.id = id;
        std::string version;
        if (ReadString(key, L"update_url", &offer.updateUrl)) {
        } else if (!ReadString(key, L"path", &offer.crxPath)) {
            offer.problem = "it holds neither an update_url nor a path string";
        } else if (!IsAbsolutePath(offer.crxPath)) {
            offer.problem = "its path \"" + offer.crxPath + "\" is not absolute";
        } else if (GetFileAttributesW(Wide(offer.crxPath).c_str()) == INVALID_FILE_ATTRIBUTES) {
            offer.problem = "its path " + offer.crxPath + " does not exist";
        } else if (Handle(CreateFileW(Wide(offer.crxPath).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))
                       .get() == INVALID_HANDLE_VALUE) {
            offer.problem = "its path " + offer.crxPath + " cannot be read";
        } else if (!ReadString(key, L"version", &version)) {
            offer.problem = "it has a path but no version string";
        } else if (!IsVersion(version)) {
            offer.problem = "its version \"" + version + "\" is not a version";
        }
        if (!offer.problem.empty()) {
            in->offers.push_back(offer);
            continue;
        }
        auto it = byId.find(id);
        if (it == byId.end()) {
            it = byId.emplace(id, Merged()).first;
            order.push_back(id);
        }
        Merged& m = it->second;
        m.offer.id = id;
        m.offer.name = offer.name;
        m.offer.where = offer.where;
        if (!offer.updateUrl.empty() || offer.crxPath.empty()) {
            m.offer.updateUrl = offer.updateUrl;
            m.url = true;
        } else {
            m.offer.crxPath = offer.crxPath;
            m.crx = true;
        }
    }
    for (const std::string& id : order) {
        ExternalOffer& offer = byId[id].offer;
        if (byId[id].url && byId[id].crx) {
            offer.problem = "an update_url and a path are both given, under two spellings of the id";
        } else if (byId[id].url && !IsValidUrl(offer.updateUrl)) {
            offer.problem = "its update_url \"" + offer.updateUrl + "\" is not a valid URL";
        } else if (byId[id].crx && offer.crxPath.find("..") != std::string::npos) {
            offer.problem = "its path holds \"..\"";
        }
        in->offers.push_back(offer);
    }
    if (!Is64BitWindows()) return;
    for (const WString& n : Subkeys(HKEY_LOCAL_MACHINE, path, KEY_WOW64_64KEY)) {
        ExternalOffer offer;
        offer.name = Utf8(n.c_str());
        offer.id = AsciiLower(offer.name);
        if (!IsExtensionId(offer.id)) continue;
        offer.where = std::string("HKLM\\SOFTWARE\\") + b.extensionsKey + "\\" + offer.name + " (64-bit view)";
        offer.problem = "the browser reads HKLM's 32-bit view only (" + machine + offer.name + ")";
        in->offers.push_back(offer);
    }
}

// Microsoft, NetGetJoinInformation: NetSetupDomainName for a machine in a
// domain, the one kind of management the doctor can tell.
bool DomainJoined() {
    LPWSTR domain = nullptr;
    NETSETUP_JOIN_STATUS status = NetSetupUnknownStatus;
    const bool joined = NetGetJoinInformation(nullptr, &domain, &status) == NERR_Success && status == NetSetupDomainName;
    if (domain != nullptr) NetApiBufferFree(domain);
    return joined;
}

// registry_dict.cpp: the mandatory and recommended levels as the browser
// merges them; the handlers check types and entries.
void ReadPolicies(const Browser& b, BrowserInputs* in) {
    LoadRegistryPolicies(b.policyKey, g_userHive, g_userShown, &in->policies, &in->recommended);
    in->policiesRead = true;
}

}  // namespace

std::vector<std::string> KnownBrowsers() { return {"chrome", "edge"}; }

bool UsesEdgeNames(const std::string& browser) { return browser == "edge"; }

// Installed programs register under App Paths, where ShellExecute finds
// them (Microsoft, "Application Registration"), in either view.
bool BrowserInstalled(const std::string& browser) {
    const Browser* b = Find(browser);
    if (b == nullptr) return false;
    for (HKEY hive : {HKEY_LOCAL_MACHINE, g_userHive}) {
        for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
            Key key(hive, Wide(std::string("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\") + b->image),
                    KEY_QUERY_VALUE | view);
            if (key.get() != nullptr) return true;
        }
    }
    return false;
}

BrowserInputs GatherBrowser(const std::string& browser, const std::string& name) {
    const Browser* b = Find(browser);
    BrowserInputs in;
    in.browser = browser;
    in.shown = b->shown;
    in.registerFix = "register the host: install the MSI, or run register.cmd (/machine for every user)";
    in.judgeProgram = JudgeProgram;
    ReadPolicies(*b, &in);
    in.storeUpdateUrl = b->storeUpdateUrl;
    in.storeRules = true;
    in.verifiesStore = b->verifiesStore;
    in.managedMachine = DomainJoined();
    ReadOffers(*b, &in);
    g_browserShown = b->shown;
    // NativeProcessLauncher::CreateDefault reads the policy only when managed:
    // `policies` holds the mandatory values alone.
    const rapidjson::Value* direct = in.policies.Get("NativeHostsExecutablesLaunchDirectly");
    if (direct != nullptr && direct->IsBool()) {
        g_launch = direct->GetBool() ? Launch::kDirectly : Launch::kThroughCmd;
    } else {
        g_launch = b->launchRollout ? Launch::kEitherWay : Launch::kThroughCmd;
    }
    g_disableCmd = 0;
    DWORD value = 0;
    for (HKEY hive : {HKEY_LOCAL_MACHINE, g_userHive}) {
        if (ReadDword(hive, "SOFTWARE\\Policies\\Microsoft\\Windows\\System", L"DisableCMD", &value)) {
            g_disableCmd = value;
        }
    }
    // launch_context_win.cc, FindManifest and GetManifestPath: HKCU then
    // HKLM, each 32-bit view then 64-bit; a key without a string default is
    // passed over. The first string found is used, and must be absolute.
    bool userSeen = false;
    for (HKEY hive : {g_userHive, HKEY_LOCAL_MACHINE}) {
        const bool user = hive != HKEY_LOCAL_MACHINE;
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
            // HKCU\SOFTWARE is one key in both views.
            if (user && view == KEY_WOW64_64KEY && userSeen) continue;
            for (const char* sub : b->keys) {
                const std::string subkey = std::string("SOFTWARE\\") + sub + "\\" + name;
                Key key(hive, Wide(subkey), KEY_QUERY_VALUE | view);
                if (key.get() == nullptr) continue;
                if (user) userSeen = true;
                Registration r;
                r.where = (user ? g_userShown : std::string("HKLM")) + "\\" + subkey +
                          (user ? "" : view == KEY_WOW64_32KEY ? " (32-bit view)" : " (64-bit view)");
                r.userLevel = user;
                if (!ReadString(key.get(), nullptr, &r.manifestPath)) {
                    r.skipped = true;
                    r.skippedWhy = "its default value is not a string";
                } else if (!IsAbsolutePath(r.manifestPath)) {
                    // FindManifest: the first value found must be absolute;
                    // a relative one is not passed over.
                    r.problem = "the manifest path \"" + r.manifestPath + "\" is not absolute";
                } else {
                    // NativeMessagingHostManifest::Load: a manifest that
                    // cannot be read is "not found", like a missing one.
                    std::string why;
                    ReadResult read = ReadRegularFile(r.manifestPath, &r.text, &why);
                    r.readable = read == ReadResult::kOk;
                    if (read != ReadResult::kOk && read != ReadResult::kUnreadable) {
                        r.problem = "the manifest " + r.manifestPath + " cannot be used: " + why;
                    }
                }
                in.registrations.push_back(r);
            }
        }
    }
    return in;
}

// chrome/install_static/user_data_dir.cc: Chrome on Windows takes the switch
// too, but finds its hosts in the registry, not in the user data folder.
void SetUserDataDir(const std::string&) {}

namespace {

// The process's own token, or INVALID_HANDLE_VALUE.
HANDLE OwnToken(DWORD access) {
    HANDLE token = nullptr;
    return OpenProcessToken(GetCurrentProcess(), access, &token) ? token : INVALID_HANDLE_VALUE;
}

// By its SID, S-1-5-18: the account's name is localized on some Windows
// languages ("SYSTEM", "Система", ...).
bool RunsAsLocalSystem() {
    Handle token(OwnToken(TOKEN_QUERY));
    alignas(TOKEN_USER) BYTE buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    DWORD size = 0;
    if (token.get() == INVALID_HANDLE_VALUE ||
        !GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &size)) {
        return false;
    }
    return IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, WinLocalSystemSid) != FALSE;
}

// Whether this account may create a file in the folder, as the kernel would
// judge it, without writing anything: AccessCheck of an impersonation copy of
// the process's token against the folder's owner, group and DACL
// (Microsoft Learn, "AccessCheck function"). 0, or the Win32 error.
DWORD MayAddFiles(const WString& folder, bool* allowed) {
    *allowed = false;
    const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD needed = 0;
    GetFileSecurityW(folder.c_str(), parts, nullptr, 0, &needed);
    if (needed == 0) return GetLastError();
    std::vector<BYTE> descriptor(needed);
    if (!GetFileSecurityW(folder.c_str(), parts, descriptor.data(), needed, &needed)) return GetLastError();
    Handle own(OwnToken(TOKEN_DUPLICATE | TOKEN_QUERY));
    HANDLE copy = nullptr;
    if (own.get() == INVALID_HANDLE_VALUE || !DuplicateToken(own.get(), SecurityImpersonation, &copy)) {
        return GetLastError();
    }
    Handle token(copy);
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    PRIVILEGE_SET privileges = {};
    DWORD privilegesSize = sizeof(privileges);
    DWORD granted = 0;
    BOOL ok = FALSE;
    if (!AccessCheck(descriptor.data(), token.get(), FILE_ADD_FILE, &mapping, &privileges, &privilegesSize, &granted,
                     &ok)) {
        return GetLastError();
    }
    *allowed = ok != FALSE;
    return 0;
}

std::string AccountName() {
    wchar_t user[256] = {};
    DWORD units = 256;
    return GetUserNameW(user, &units) ? Utf8(user) : std::string("this account");
}

}  // namespace

void AddAccountNotes(Report* report) {
    if (RunsAsLocalSystem() && !g_judged) {
        report->notes.push_back(
            "run as SYSTEM: HKCU is SYSTEM's, not the desktop user's; run it with --all-users or --user SID, or as "
            "that user, to check their registrations");
    }
}

namespace {

// A user's hive under HKEY_USERS: the S-1-5-21 accounts, local and of a
// domain, and Azure AD's S-1-12-1; not their _Classes, not .DEFAULT nor the
// service accounts (S-1-5-18, 19, 20).
bool IsUserHive(const std::string& name) {
    auto startsWith = [&](const char* prefix) { return name.compare(0, std::strlen(prefix), prefix) == 0; };
    const std::string classes = "_Classes";
    const bool isClasses = name.size() > classes.size() &&
                           _stricmp(name.c_str() + name.size() - classes.size(), classes.c_str()) == 0;
    return (startsWith("S-1-5-21-") || startsWith("S-1-12-1-")) && !isClasses;
}

const wchar_t kProfileList[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

std::string ErrorText(LONG code) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::string out = n > 0 && text != nullptr ? Utf8(text) : std::string();
    if (text != nullptr) LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.')) {
        out.pop_back();
    }
    return (out.empty() ? "error" : out) + " (error " + std::to_string(code) + ")";
}

// The SID as Windows writes it, and the account's name (DOMAIN\name), or
// the SID when it cannot be looked up (a deleted account, no domain).
bool Account(const std::string& given, UserAccount* user) {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidW(Wide(given).c_str(), &sid)) return false;
    wchar_t* text = nullptr;
    user->id = ConvertSidToStringSidW(sid, &text) ? Utf8(text) : given;
    if (text != nullptr) LocalFree(text);
    wchar_t name[256] = {}, domain[256] = {};
    DWORD nameUnits = 256, domainUnits = 256;
    SID_NAME_USE use;
    if (LookupAccountSidW(nullptr, sid, name, &nameUnits, domain, &domainUnits, &use) && name[0] != 0) {
        user->name = (domain[0] != 0 ? Utf8(domain) + "\\" : std::string()) + Utf8(name);
    } else {
        user->name = user->id;
    }
    LocalFree(sid);
    return true;
}

}  // namespace

bool FindUser(const std::string& given, UserAccount* user, std::string* why) {
    if (Account(given, user)) return true;
    *why = "--user takes a SID (S-1-5-21-...), not '" + given + "'";
    return false;
}

// The loaded users' hives, then the profiles whose hives are not loaded.
std::vector<UserAccount> ListUsers() {
    std::vector<UserAccount> users;
    std::set<std::string> seen;
    auto add = [&](const WString& key) {
        UserAccount user;
        const std::string name = Utf8(key.c_str());
        if (IsUserHive(name) && Account(name, &user) && seen.insert(user.id).second) users.push_back(user);
    };
    for (const WString& n : Subkeys(HKEY_USERS, WString(), 0)) add(n);
    for (const WString& n : Subkeys(HKEY_LOCAL_MACHINE, kProfileList, KEY_WOW64_64KEY)) add(n);
    return users;
}

bool JudgeUser(UserAccount* user) {
    HKEY hive = nullptr;
    const LONG rc = RegOpenKeyExW(HKEY_USERS, Wide(user->id).c_str(), 0, KEY_READ, &hive);
    if (rc != ERROR_SUCCESS) {
        Key profile(HKEY_LOCAL_MACHINE, WString(kProfileList) + L"\\" + Wide(user->id), KEY_READ | KEY_WOW64_64KEY);
        if (rc == ERROR_FILE_NOT_FOUND && profile.get() != nullptr) {
            user->unread = "its hive is not loaded: the user is not signed in";
            user->fix = "check again while " + user->name + " is signed in, or run it as that user";
        } else {
            user->unread = "HKEY_USERS\\" + user->id + " cannot be opened: " + ErrorText(rc);
            user->fix = rc == ERROR_ACCESS_DENIED ? "run it as an administrator or as SYSTEM"
                                                  : "check the SID: reg query HKU lists the users signed in";
        }
        return false;
    }
    if (g_userHive != HKEY_CURRENT_USER) RegCloseKey(g_userHive);
    g_userHive = hive;
    g_userShown = "HKU\\" + user->id;
    g_judged = true;
    return true;
}

// The host logs as the desktop user, so what counts is that user's right to
// add a file: judged for the account the doctor runs as.
void JudgeDumpFolder(const std::string& folder, Report* report) {
    bool allowed = false;
    const DWORD error = MayAddFiles(Wide(folder), &allowed);
    const std::string who = AccountName();
    if (error != 0) {
        report->Add(Status::kWarn, "client", "client.dump", "",
                    "cannot read who may write to the dump folder " + folder + " (error " + std::to_string(error) + ")",
                    "check its permissions: icacls \"" + folder + "\"");
    } else if (allowed) {
        report->Add(Status::kOk, "client", "client.dump", "",
                    who + " may add files to the dump folder " + folder +
                        (RunsAsLocalSystem() ? " (judged for SYSTEM, not the desktop user)" : ""));
    } else {
        report->Add(Status::kWarn, "client", "client.dump", "",
                    who + " may not add files to the dump folder " + folder + ": a host run by " + who + " logs nothing",
                    "icacls \"" + folder + "\" /grant *S-1-5-32-545:(OI)(CI)(RX,W)");
    }
}

// Microsoft Learn, WTSEnumerateSessionsW and WTSQuerySessionInformationW
// (WTSUserName). A machine whose sessions cannot be listed gets no line: the
// doctor cannot tell, and a guess would be noise. Nor does an empty list,
// which Windows never gives (session 0 is always there) but Wine 8 does.
void CheckSessions(Report* report) {
    WTS_SESSION_INFOW* list = nullptr;
    DWORD count = 0;
    if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &list, &count)) return;
    if (count == 0) {
        if (list != nullptr) WTSFreeMemory(list);
        return;
    }
    std::vector<UserSession> sessions;
    for (DWORD i = 0; i < count; ++i) {
        UserSession s;
        s.id = list[i].SessionId;
        s.state = list[i].State == WTSActive         ? SessionState::kActive
                  : list[i].State == WTSDisconnected ? SessionState::kDisconnected
                                                     : SessionState::kOther;
        LPWSTR user = nullptr;
        DWORD bytes = 0;
        if (WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, s.id, WTSUserName, &user, &bytes) &&
            user != nullptr) {
            s.user = Utf8(user);
        }
        if (user != nullptr) WTSFreeMemory(user);
        sessions.push_back(s);
    }
    if (list != nullptr) WTSFreeMemory(list);
    JudgeSessions(sessions, report);
}

std::string NativePath(const std::string& path) { return path; }
