// Windows: Chrome and Edge read the registry for the manifest's path.
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tools/doctor/lookup.h"
#include "tools/doctor/wide.h"

namespace fs = std::filesystem;

namespace {

class Key {
public:
    Key(HKEY hive, const std::string& subkey, REGSAM view) {
        if (RegOpenKeyExW(hive, Wide(subkey).c_str(), 0, KEY_QUERY_VALUE | view, &key_) != ERROR_SUCCESS) key_ = nullptr;
    }
    ~Key() {
        if (key_ != nullptr) RegCloseKey(key_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

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
};

// native_process_launcher_win.cc, GetManifestPathWithFlags: Chrome reads its
// own key. Edge reads its own, then Chromium's and Chrome's (Microsoft:
// "Native messaging", Edge extensions documentation).
const Browser kBrowsers[] = {
    {"chrome", "Chrome", "SOFTWARE\\Policies\\Google\\Chrome", "chrome.exe", {"Google\\Chrome\\NativeMessagingHosts"}},
    {"edge", "Edge", "SOFTWARE\\Policies\\Microsoft\\Edge", "msedge.exe",
     {"Microsoft\\Edge\\NativeMessagingHosts", "Chromium\\NativeMessagingHosts", "Google\\Chrome\\NativeMessagingHosts"}},
};

const Browser* Find(const std::string& id) {
    for (const Browser& b : kBrowsers) {
        if (id == b.id) return &b;
    }
    return nullptr;
}

// How the browser being judged starts a host: set by GatherBrowser.
bool g_launchDirectly = false;
DWORD g_disableCmd = 0;

bool ReadDword(HKEY hive, const char* subkey, const wchar_t* name, DWORD* value) {
    Key key(hive, subkey, KEY_WOW64_64KEY);
    DWORD type = 0, size = sizeof(*value);
    return key.get() != nullptr &&
           RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS &&
           type == REG_DWORD;
}

bool ReadWhole(const fs::path& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// native_process_launcher.cc, DoLaunchOnThreadPool: on Windows a relative
// "path" is taken from the manifest's folder; the file must exist. Chrome
// starts it through cmd.exe, so any program starts; 32-bit console is the
// product's own rule, not the browser's.
ProgramVerdict JudgeProgram(const std::string& manifestPath, const std::string& pathValue) {
    ProgramVerdict v;
    fs::path program = fs::path(Wide(pathValue));
    if (program.is_relative()) program = fs::path(Wide(manifestPath)).parent_path() / program;
    const std::string shown = Utf8(program.wstring().c_str());
    std::error_code ec;
    if (!fs::exists(program, ec)) {
        v.status = Status::kFail;
        v.text = "the host " + shown + " does not exist";
        v.fix = "install the host there, or correct \"path\" in " + manifestPath;
        v.browserSays = browser_says::kNotFound;
        return v;
    }
    // native_process_launcher_win.cc, LaunchNativeProcess: "%COMSPEC% /d /c
    // host < pipe > pipe", unless NativeHostsExecutablesLaunchDirectly is on
    // and the host is an .exe. Microsoft, "Prevent access to the command
    // prompt": DisableCMD=1 makes cmd.exe refuse /c as well, so it ends
    // without ever starting the host.
    std::wstring extension = program.extension().wstring();
    const bool direct = g_launchDirectly && _wcsicmp(extension.c_str(), L".exe") == 0;
    if (!direct && g_disableCmd == 1) {
        v.status = Status::kFail;
        v.text = "the browser starts " + shown + " through cmd.exe, which DisableCMD=1 turns off";
        v.fix = "set NativeHostsExecutablesLaunchDirectly=1 for the browser, or DisableCMD=2 (scripts allowed)";
        v.browserSays = browser_says::kExited;
        return v;
    }
    std::string bytes;
    ReadWhole(program, &bytes);
    auto u16 = [&](size_t at) { return at + 2 <= bytes.size() ? (uint8_t(bytes[at]) | uint8_t(bytes[at + 1]) << 8) : 0; };
    auto u32 = [&](size_t at) { return at + 4 <= bytes.size() ? uint32_t(u16(at)) | uint32_t(u16(at + 2)) << 16 : 0u; };
    size_t pe = bytes.size() >= 0x40 ? u32(0x3C) : 0;
    bool isPe = bytes.size() >= 0x40 && bytes[0] == 'M' && bytes[1] == 'Z' && pe + 0x60 <= bytes.size() &&
                bytes.compare(pe, 4, std::string("PE\0\0", 4)) == 0;
    if (!isPe || u16(pe + 24) != 0x10B || u16(pe + 24 + 68) != 3) {
        v.status = Status::kWarn;
        v.text = "the host " + shown + " starts, but is not the 32-bit console Orvendel host";
        v.fix = "install the Orvendel host (MSI or ZIP)";
        return v;
    }
    v.text = "the host " + shown + " is a 32-bit console program";
    return v;
}

// policy_loader_win.cc: the machine's value of a policy wins over the
// user's, whole; a list is the values of its key. The handlers check entries.
void ReadPolicies(const Browser& b, BrowserInputs* in) {
    for (HKEY hive : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        const std::string source = std::string(hive == HKEY_LOCAL_MACHINE ? "HKLM\\" : "HKCU\\") + b.policyKey;
        rapidjson::Document scratch;
        auto list = [&](const char* name) {
            Key key(hive, std::string(b.policyKey) + "\\" + name, KEY_WOW64_64KEY);
            if (key.get() == nullptr) return;
            rapidjson::Value values(rapidjson::kArrayType);
            for (DWORD i = 0;; ++i) {
                wchar_t valueName[256];
                DWORD units = 256;
                if (RegEnumValueW(key.get(), i, valueName, &units, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
                    break;
                }
                std::string s;
                if (!ReadString(key.get(), valueName, &s)) continue;
                values.PushBack(rapidjson::Value(s.c_str(), static_cast<rapidjson::SizeType>(s.size()),
                                                 scratch.GetAllocator()),
                                scratch.GetAllocator());
            }
            in->policies.Set(name, values, source);
        };
        list("NativeMessagingBlocklist");
        list("NativeMessagingAllowlist");
        DWORD value = 0;
        if (ReadDword(hive, b.policyKey, L"NativeMessagingUserLevelHosts", &value)) {
            in->policies.Set("NativeMessagingUserLevelHosts", rapidjson::Value(value != 0), source);
        }
    }
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
    for (HKEY hive : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
            Key key(hive, std::string("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\") + b->image, view);
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
    DWORD value = 0;
    g_launchDirectly = false;
    for (HKEY hive : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        if (ReadDword(hive, b->policyKey, L"NativeHostsExecutablesLaunchDirectly", &value)) g_launchDirectly = value != 0;
    }
    g_disableCmd = 0;
    for (HKEY hive : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        if (ReadDword(hive, "SOFTWARE\\Policies\\Microsoft\\Windows\\System", L"DisableCMD", &value)) g_disableCmd = value;
    }
    // native_process_launcher_win.cc, FindManifest: HKCU then HKLM, each
    // 32-bit view then 64-bit; a key without a string default is passed
    // over. The first string found is used, and must be an absolute path.
    bool userSeen = false;
    for (HKEY hive : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
            // HKCU\SOFTWARE is one key in both views.
            if (hive == HKEY_CURRENT_USER && view == KEY_WOW64_64KEY && userSeen) continue;
            for (const char* sub : b->keys) {
                const std::string subkey = std::string("SOFTWARE\\") + sub + "\\" + name;
                Key key(hive, subkey, view);
                if (key.get() == nullptr) continue;
                if (hive == HKEY_CURRENT_USER) userSeen = true;
                Registration r;
                r.where = std::string(hive == HKEY_CURRENT_USER ? "HKCU\\" : "HKLM\\") + subkey +
                          (hive == HKEY_CURRENT_USER ? "" : view == KEY_WOW64_32KEY ? " (32-bit view)" : " (64-bit view)");
                r.userLevel = hive == HKEY_CURRENT_USER;
                if (!ReadString(key.get(), nullptr, &r.manifestPath)) {
                    r.skipped = true;
                    r.skippedWhy = "its default value is not a string";
                } else if (fs::path(Wide(r.manifestPath)).is_relative()) {
                    // FindManifest: the first value found must be absolute;
                    // a relative one is not passed over.
                    r.problem = "the manifest path \"" + r.manifestPath + "\" is not absolute";
                } else {
                    r.readable = ReadWhole(fs::path(Wide(r.manifestPath)), &r.text);
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

void AddAccountNotes(Report* report) {
    wchar_t user[256] = {};
    DWORD units = 256;
    if (GetUserNameW(user, &units) && _wcsicmp(user, L"SYSTEM") == 0) {
        report->notes.push_back(
            "run as SYSTEM: HKCU is SYSTEM's, not the desktop user's; run it as that user to check their registrations");
    }
}

// Who may write is in the folder's ACL; the doctor does not judge it.
void JudgeDumpFolder(const std::string& folder, Report* report) {
    report->Add(Status::kOk, "client", "client.dump", "",
                "the dump folder " + folder + " exists (the installer grants Users write access)");
}

std::string NativePath(const std::string& path) { return path; }
