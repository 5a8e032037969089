// orvendel-doctor: says why a browser cannot reach the host, or the agent
// cannot reach the browser. It follows each browser's own lookup of the
// host's registration, checks the manifest it finds, the policies that can
// block the host, the client's ini file and dump folder, and which of the
// agent's named objects exist now. One line per check, OK, WARN or FAIL;
// every WARN and FAIL says what to do.
//
// It only looks: an event is opened to see that it exists and closed at once,
// never waited on or signalled, so it takes no signal from the agent or host.
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>
#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "bridge/profiles.h"
#include "orv_version.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

const char kReferenceId[] = "hmkgojdnhdinedldemacipdhgnbpllgk";
const char kDefaultName[] = "com.orvendel.native_host";

const char kUsage[] =
    "Usage: orvendel-doctor [options]\n"
    "Finds why a browser cannot start the Orvendel native messaging host, or why\n"
    "the agent cannot reach it. It checks, in the order a browser meets them:\n"
    "  - the registrations each browser looks at (Windows: the registry, HKCU then\n"
    "    HKLM, 32-bit view before 64-bit; Linux: the user's and the system's\n"
    "    manifest folders), the one it uses and those it shadows;\n"
    "  - that manifest: JSON, name, type, path to the host, allowed_origins;\n"
    "  - the browsers' policies that can block the host (Windows);\n"
    "  - the client's ini file, its Debug value, the dump folder and today's logs;\n"
    "  - which of the agent's six events and four blocks exist now, per browser.\n"
    "\n"
    "Options:\n"
    "  --browser BROWSER      check one browser only: chrome or edge (Linux: also\n"
    "                         chromium); default: all\n"
    "  --name NAME            the host's registered name (default: com.orvendel.native_host)\n"
    "  --extension-id ID      an extension id that must be allowed; repeatable\n"
    "                         (default: the reference extension's)\n"
    "  --json                 print the checks as one JSON document\n"
    "  -h, --help             show this text\n"
    "  --version              show the version\n"
    "\n"
    "Each line is OK, WARN or FAIL; every WARN and FAIL says what to do.\n"
    "Exit status: 0 nothing failed, 1 a check failed, 2 bad usage.\n";

enum class Status { kOk, kWarn, kFail };

struct Check {
    Status status;
    std::string area;  // registration, manifest, policy, client, agent
    std::string browser;
    std::string text;
    std::string fix;
};

std::vector<Check> g_checks;

void Add(Status status, const std::string& area, const std::string& browser, const std::string& text,
         const std::string& fix = std::string()) {
    g_checks.push_back({status, area, browser, text, fix});
}

using WString = std::basic_string<WCHAR>;

WString Wide(const std::string& utf8) {
    if (utf8.empty()) return WString();
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    WString out(static_cast<size_t>(n > 0 ? n : 1), 0);
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &out[0], n);
    out.resize(static_cast<size_t>(n > 0 ? n - 1 : 0));
    return out;
}

std::string Utf8(const WString& text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n > 0 ? n - 1 : 0));
    return out;
}

// A path as the platform's file functions take it: on POSIX the stand-in
// reads '\' as '/'.
fs::path NativePath(const std::string& utf8) {
#if defined(_WIN32)
    return fs::path(Wide(utf8));
#else
    std::string p = utf8;
    for (char& c : p) {
        if (c == '\\') c = '/';
    }
    return fs::u8path(p);
#endif
}

std::string Show(const fs::path& p) { return p.u8string(); }

bool ReadWhole(const fs::path& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream out;
    out << in.rdbuf();
    *text = out.str();
    return !in.bad();
}

bool IsExtensionId(const std::string& id) {
    if (id.size() != 32) return false;
    for (char c : id) {
        if (c < 'a' || c > 'p') return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// The host program a manifest names

// What the file is: "" when it is the program it should be, else why not.
std::string ProgramProblem(const fs::path& path) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return "does not exist";
#if defined(_WIN32)
    std::string bytes;
    if (!ReadWhole(path, &bytes)) return "cannot be read";
    auto u16 = [&](size_t at) { return at + 2 <= bytes.size() ? (uint8_t(bytes[at]) | uint8_t(bytes[at + 1]) << 8) : 0; };
    auto u32 = [&](size_t at) {
        return at + 4 <= bytes.size() ? uint32_t(u16(at)) | uint32_t(u16(at + 2)) << 16 : 0u;
    };
    if (bytes.size() < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z') return "is not a Windows program";
    size_t pe = u32(0x3C);
    if (pe + 0x60 > bytes.size() || bytes.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return "is not a Windows program";
    size_t optional = pe + 24;
    if (u16(optional) != 0x10B) return "is not a 32-bit (PE32) program";
    if (u16(optional + 68) != 3) return "is not a console program";
    return std::string();
#else
    if (::access(path.c_str(), X_OK) != 0) return "is not executable";
    return std::string();
#endif
}

// ---------------------------------------------------------------------------
// One manifest

void CheckManifest(const std::string& browser, const std::string& name, const fs::path& manifest,
                   const std::vector<std::string>& ids) {
    const std::string where = Show(manifest);
    std::string text;
    if (!ReadWhole(manifest, &text)) {
        Add(Status::kFail, "manifest", browser, "cannot read the manifest " + where,
            "put the manifest there, or register the host again (register.cmd, install.sh or the MSI)");
        return;
    }
    rapidjson::Document doc;
    doc.Parse(text.c_str(), text.size());
    if (doc.HasParseError() || !doc.IsObject()) {
        std::string why = doc.HasParseError() ? std::string(rapidjson::GetParseError_En(doc.GetParseError())) +
                                                    " at byte " + std::to_string(doc.GetErrorOffset())
                                              : "not a JSON object";
        Add(Status::kFail, "manifest", browser, where + " is not valid JSON: " + why,
            "restore the manifest: register the host again");
        return;
    }
    Add(Status::kOk, "manifest", browser, where + " is valid JSON");

    auto member = [&](const char* key) -> const rapidjson::Value* {
        auto it = doc.FindMember(key);
        return it == doc.MemberEnd() ? nullptr : &it->value;
    };
    const rapidjson::Value* value = member("name");
    if (value == nullptr || !value->IsString() || name != value->GetString()) {
        Add(Status::kFail, "manifest", browser,
            "name in " + where + " is " + (value && value->IsString() ? "\"" + std::string(value->GetString()) + "\"" : "missing") +
                ", not \"" + name + "\"",
            "set \"name\": \"" + name + "\" in " + where);
    } else {
        Add(Status::kOk, "manifest", browser, "name is \"" + name + "\"");
    }
    value = member("type");
    if (value == nullptr || !value->IsString() || std::strcmp(value->GetString(), "stdio") != 0) {
        Add(Status::kFail, "manifest", browser, "type in " + where + " is not \"stdio\"",
            "set \"type\": \"stdio\" in " + where);
    } else {
        Add(Status::kOk, "manifest", browser, "type is \"stdio\"");
    }
    value = member("path");
    if (value == nullptr || !value->IsString() || value->GetStringLength() == 0) {
        Add(Status::kFail, "manifest", browser, "no path in " + where, "set \"path\" to orvendel_host in " + where);
    } else {
        fs::path program = NativePath(value->GetString());
#if defined(_WIN32)
        const bool relativeAllowed = true;  // Windows browsers take it from the manifest's folder
#else
        const bool relativeAllowed = false;
#endif
        if (program.is_relative() && !relativeAllowed) {
            Add(Status::kFail, "manifest", browser, "path \"" + std::string(value->GetString()) + "\" in " + where + " is relative",
                "give the host's absolute path in " + where);
        } else {
            if (program.is_relative()) program = manifest.parent_path() / program;
            std::string problem = ProgramProblem(program);
            if (problem.empty()) {
                Add(Status::kOk, "manifest", browser, "path names the host " + Show(program));
            } else {
                Add(Status::kFail, "manifest", browser, "the host " + Show(program) + " " + problem,
                    "install the host there, or correct \"path\" in " + where);
            }
        }
    }
    value = member("allowed_origins");
    std::vector<std::string> allowed;
    bool wellFormed = value != nullptr && value->IsArray() && !value->Empty();
    if (wellFormed) {
        for (const auto& origin : value->GetArray()) {
            std::string o = origin.IsString() ? origin.GetString() : std::string("(not a string)");
            const std::string prefix = "chrome-extension://";
            bool ok = o.size() == prefix.size() + 33 && o.compare(0, prefix.size(), prefix) == 0 && o.back() == '/' &&
                      IsExtensionId(o.substr(prefix.size(), 32));
            if (!ok) {
                Add(Status::kFail, "manifest", browser, "allowed_origins entry \"" + o + "\" in " + where + " is malformed",
                    "write it as chrome-extension://<32 letters a-p>/ (no wildcard)");
                wellFormed = false;
            } else {
                allowed.push_back(o.substr(prefix.size(), 32));
            }
        }
    } else {
        Add(Status::kFail, "manifest", browser, "no allowed_origins list in " + where,
            "add \"allowed_origins\": [\"chrome-extension://<id>/\"] to " + where);
    }
    for (const std::string& id : ids) {
        bool found = false;
        for (const std::string& a : allowed) found = found || a == id;
        if (found) {
            Add(Status::kOk, "manifest", browser, "extension " + id + " is allowed");
        } else {
            Add(Status::kFail, "manifest", browser, "extension " + id + " is not in allowed_origins",
                "add chrome-extension://" + id + "/ to allowed_origins in " + where);
        }
    }
    if (wellFormed && !allowed.empty()) Add(Status::kOk, "manifest", browser, "allowed_origins entries are well formed");
}

// ---------------------------------------------------------------------------
// Where each browser looks

struct Registration {
    std::string where;    // the key (Windows) or file (Linux), as shown
    std::string manifest; // the manifest path it gives, as written
    bool userLevel = false;
};

// The registrations a browser looks at, in its order: the first is used, the
// others are shadowed by it.
void CheckFound(const std::string& browser, const std::string& name, const std::vector<std::string>& ids,
                const std::vector<Registration>& found);

#if defined(_WIN32)

struct Place {
    HKEY hive;
    REGSAM view;
    const char* key;  // under SOFTWARE\, without the host name
};

std::string Describe(const Place& p, const std::string& name) {
    return std::string(p.hive == HKEY_CURRENT_USER ? "HKCU" : "HKLM") + "\\SOFTWARE\\" + p.key + "\\" + name +
           (p.view == KEY_WOW64_32KEY ? " (32-bit view)" : " (64-bit view)");
}

bool ReadDefault(HKEY hive, REGSAM view, const std::string& subkey, std::string* value) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(hive, Wide(subkey).c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
    WCHAR data[2048] = {};
    DWORD type = 0, size = sizeof(data) - sizeof(WCHAR);
    LONG rc = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    *value = rc == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ) ? Utf8(data) : std::string();
    return true;
}

// The strings of a list policy (values 1, 2, ... of a key) in either view.
std::vector<std::string> ReadList(HKEY hive, const std::string& subkey) {
    std::vector<std::string> out;
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(hive, Wide(subkey).c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) continue;
        for (DWORD i = 0;; ++i) {
            WCHAR valueName[256];
            DWORD nameUnits = 256;
            WCHAR data[1024] = {};
            DWORD type = 0, size = sizeof(data) - sizeof(WCHAR);
            if (RegEnumValueW(key, i, valueName, &nameUnits, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
                ERROR_SUCCESS) {
                break;
            }
            if (type == REG_SZ) out.push_back(Utf8(data));
        }
        RegCloseKey(key);
    }
    return out;
}

bool ReadDword(HKEY hive, const std::string& subkey, const std::string& name, DWORD* value) {
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(hive, Wide(subkey).c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) continue;
        DWORD type = 0, size = sizeof(*value);
        LONG rc = RegQueryValueExW(key, Wide(name).c_str(), nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
        RegCloseKey(key);
        if (rc == ERROR_SUCCESS && type == REG_DWORD) return true;
    }
    return false;
}

struct Policies {
    bool userLevelAllowed = true;
    bool blocked = false;
    std::string why;
};

Policies CheckPolicies(const std::string& browser, const std::string& name) {
    const std::string base = browser == "chrome" ? "SOFTWARE\\Policies\\Google\\Chrome" : "SOFTWARE\\Policies\\Microsoft\\Edge";
    const std::string shown = browser == "chrome" ? "Chrome" : "Edge";
    Policies p;
    std::vector<std::string> block, allow;
    for (HKEY hive : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        for (const std::string& s : ReadList(hive, base + "\\NativeMessagingBlocklist")) block.push_back(s);
        for (const std::string& s : ReadList(hive, base + "\\NativeMessagingAllowlist")) allow.push_back(s);
    }
    DWORD userLevel = 1;
    // The machine's policy wins over the user's.
    if (ReadDword(HKEY_LOCAL_MACHINE, base, "NativeMessagingUserLevelHosts", &userLevel) ||
        ReadDword(HKEY_CURRENT_USER, base, "NativeMessagingUserLevelHosts", &userLevel)) {
        p.userLevelAllowed = userLevel != 0;
    }
    bool listed = false, wildcard = false, allowed = false;
    for (const std::string& s : block) {
        listed = listed || s == name;
        wildcard = wildcard || s == "*";
    }
    for (const std::string& s : allow) allowed = allowed || s == name;
    if (listed || (wildcard && !allowed)) {
        p.blocked = true;
        Add(Status::kFail, "policy", browser,
            shown + "'s NativeMessagingBlocklist blocks " + name + (listed ? "" : " (\"*\")"),
            listed ? "remove " + name + " from " + base + "\\NativeMessagingBlocklist"
                   : "add " + name + " to " + base + "\\NativeMessagingAllowlist");
    } else if (wildcard) {
        Add(Status::kOk, "policy", browser, shown + " blocks every host (\"*\") but allows " + name);
    } else {
        Add(Status::kOk, "policy", browser, shown + "'s policies do not block " + name);
    }
    if (!p.userLevelAllowed) {
        Add(Status::kOk, "policy", browser, shown + " uses machine-wide registrations only (NativeMessagingUserLevelHosts=0)");
    }
    return p;
}

std::vector<Place> LookupOrder(const std::string& browser, bool userLevel) {
    std::vector<Place> order;
    std::vector<HKEY> hives;
    if (userLevel) hives.push_back(HKEY_CURRENT_USER);
    hives.push_back(HKEY_LOCAL_MACHINE);
    for (HKEY hive : hives) {
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
            if (browser == "chrome") {
                order.push_back({hive, view, "Google\\Chrome\\NativeMessagingHosts"});
            } else {
                order.push_back({hive, view, "Microsoft\\Edge\\NativeMessagingHosts"});
                order.push_back({hive, view, "Chromium\\NativeMessagingHosts"});
                order.push_back({hive, view, "Google\\Chrome\\NativeMessagingHosts"});
            }
        }
    }
    return order;
}

void CheckBrowser(const std::string& browser, const std::string& name, const std::vector<std::string>& ids) {
    Policies policies = CheckPolicies(browser, name);
    std::vector<Registration> found;
    std::vector<std::string> userKeys;  // HKCU\SOFTWARE is one key in both views
    for (const Place& place : LookupOrder(browser, true)) {
        std::string value;
        if (!ReadDefault(place.hive, place.view, std::string("SOFTWARE\\") + place.key + "\\" + name, &value)) continue;
        if (place.hive == HKEY_CURRENT_USER) {
            bool again = false;
            for (const std::string& k : userKeys) again = again || k == place.key;
            if (again) continue;
            userKeys.push_back(place.key);
        }
        Registration r;
        r.where = Describe(place, name);
        r.manifest = value;
        r.userLevel = place.hive == HKEY_CURRENT_USER;
        if (r.userLevel && !policies.userLevelAllowed) {
            Add(Status::kWarn, "registration", browser, r.where + " is ignored: user-level hosts are turned off by policy",
                "register the host for the machine (MSI or register.cmd /machine), or remove this key");
            continue;
        }
        found.push_back(r);
    }
    CheckFound(browser, name, ids, found);
}

#else  // POSIX

struct Folder {
    std::string path;
    bool userLevel;
};

std::vector<Folder> LookupOrder(const std::string& browser) {
    const char* home = std::getenv("HOME");
    const char* root = std::getenv("ORVENDEL_SYSTEM_ROOT");  // tests: where /etc is
    std::string h = home != nullptr ? home : "";
    std::string r = root != nullptr ? root : "";
    // Each browser reads its user folder first, then the system's.
    if (browser == "chrome") {
        return {{h + "/.config/google-chrome/NativeMessagingHosts", true},
                {r + "/etc/opt/chrome/native-messaging-hosts", false}};
    }
    if (browser == "chromium") {
        return {{h + "/.config/chromium/NativeMessagingHosts", true},
                {r + "/etc/chromium/native-messaging-hosts", false}};
    }
    return {{h + "/.config/microsoft-edge/NativeMessagingHosts", true},
            {r + "/etc/opt/edge/native-messaging-hosts", false}};
}


void CheckBrowser(const std::string& browser, const std::string& name, const std::vector<std::string>& ids) {
    std::vector<Registration> found;
    for (const Folder& folder : LookupOrder(browser)) {
        fs::path file = fs::u8path(folder.path) / (name + ".json");
        std::error_code ec;
        if (!fs::exists(file, ec)) continue;
        Registration r;
        r.where = Show(file);
        r.manifest = Show(file);
        r.userLevel = folder.userLevel;
        found.push_back(r);
    }
    CheckFound(browser, name, ids, found);
}

#endif

void CheckFound(const std::string& browser, const std::string& name, const std::vector<std::string>& ids,
                const std::vector<Registration>& found) {
    const std::string shown = browser == "chrome" ? "Chrome" : browser == "chromium" ? "Chromium" : "Edge";
    if (found.empty()) {
#if defined(_WIN32)
        const std::string fix = "register the host: install the MSI, or run register.cmd (/machine for every user)";
#else
        const std::string fix = "register the host: install the package, or run install.sh";
#endif
        Add(Status::kFail, "registration", browser, shown + " finds no registration of " + name +
            " (\"Specified native messaging host not found\")", fix);
        return;
    }
    const Registration& used = found.front();
    Add(Status::kOk, "registration", browser, shown + " uses " + used.where);
    for (size_t i = 1; i < found.size(); ++i) {
        Add(Status::kWarn, "registration", browser, found[i].where + " is shadowed by " + used.where,
            found[i].manifest == used.manifest ? "nothing to do unless you remove the first"
                                               : "remove one of them, so that only the one you mean is registered");
    }
    fs::path manifest = NativePath(used.manifest);
#if defined(_WIN32)
    if (!manifest.is_absolute()) {
        Add(Status::kFail, "registration", browser,
            "the manifest path \"" + used.manifest + "\" in " + used.where + " is not absolute",
            "set the default value of " + used.where + " to the manifest's absolute path");
        return;
    }
#endif
    CheckManifest(browser, name, manifest, ids);
}

// ---------------------------------------------------------------------------
// The client's side: what the host reads and where it logs

void CheckClient() {
    WCHAR windows[MAX_PATH] = {};
    UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        Add(Status::kFail, "client", "", "the Windows folder cannot be found", "check the system's installation");
        return;
    }
    const std::string folder = Utf8(windows);
    const std::string ini = folder + "\\stelvo\\policy\\stelvo.ini";
    const std::string dump = folder + "\\stelvo\\dump";
    std::error_code ec;
    if (!fs::exists(NativePath(ini), ec)) {
        Add(Status::kWarn, "client", "", "no ini file " + Show(NativePath(ini)) + ": trace lines are off",
            "create it with [Root] Debug=1 to turn trace lines on");
    } else {
        WCHAR value[100] = {};
        GetPrivateProfileStringW(Wide("Root").c_str(), Wide("Debug").c_str(), Wide("0").c_str(), value, 100,
                                 Wide(ini).c_str());
        int debug = std::atoi(Utf8(value).c_str());
        Add(Status::kOk, "client", "", "ini file " + Show(NativePath(ini)) + ": Debug=" + Utf8(value) +
                                           (debug > 0 ? " (trace lines on)" : " (trace lines off)"));
    }
    fs::path dumpPath = NativePath(dump);
    if (!fs::is_directory(dumpPath, ec)) {
        Add(Status::kWarn, "client", "", "no dump folder " + Show(dumpPath) + ": nothing is logged",
            "create the folder " + Show(dumpPath));
        return;
    }
    fs::path probe = dumpPath / "orvendel-doctor.probe";
    {
        std::ofstream out(probe, std::ios::binary);
        out << "probe";
        if (!out) {
            Add(Status::kFail, "client", "", "the dump folder " + Show(dumpPath) + " takes no new file: nothing is logged",
                "let every user write to " + Show(dumpPath));
            return;
        }
    }
    fs::remove(probe, ec);
    Add(Status::kOk, "client", "", "the dump folder " + Show(dumpPath) + " takes new files");
    SYSTEMTIME now;
    GetLocalTime(&now);
    char today[32];
    std::snprintf(today, sizeof(today), "%04u%02u%02u_", now.wYear, now.wMonth, now.wDay);
    int logs = 0;
    for (const auto& entry : fs::directory_iterator(dumpPath, ec)) {
        std::string file = entry.path().filename().u8string();
        if (file.compare(0, 9, today) != 0 || entry.path().extension() != ".log") continue;
        ++logs;
        Add(Status::kOk, "client", "", "today's log " + file + ": " + std::to_string(entry.file_size(ec)) + " bytes");
    }
    if (logs == 0) Add(Status::kOk, "client", "", "no log written today");
}

// ---------------------------------------------------------------------------
// The agent's side, per browser: which named objects exist now

void CheckAgent(const std::string& browser) {
    // The host takes Chromium for Chrome: one set of objects.
    const BrowserProfile& p = browser == "edge" ? g_EdgeProfile : g_ChromeProfile;
    const WCHAR* events[] = {p.lpszEventResponseUrl, p.lpszEventRequestUrl,     p.lpszEventForRes,
                             p.lpszEventResponseDevtool, p.lpszEventRequestDevtool, p.lpszEventGetDevtoolRes};
    int present = 0;
    std::string missing;
    for (const WCHAR* name : events) {
        // Opened to be seen, closed at once: never waited on, never signalled.
        HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, name);
        if (event != nullptr) {
            CloseHandle(event);
            ++present;
        } else {
            missing += (missing.empty() ? "" : ", ") + Utf8(name);
        }
    }
    if (present == 6) {
        Add(Status::kOk, "agent", browser, "the six events exist (a host is running, or the agent made them)");
    } else if (present == 0) {
        Add(Status::kWarn, "agent", browser, "none of the six events exists: no host runs for this browser",
            "open the browser with the extension: it starts the host, which makes them");
    } else {
        Add(Status::kFail, "agent", browser, "missing events: " + missing,
            "restart the browser; if they stay missing, another object holds the name");
    }
    struct Block {
        const WCHAR* name;
        SIZE_T least;
    } blocks[] = {{p.lpszUrlRequestBlock, 16},
                  {p.lpszDevtoolRequestBlock, 16},
                  {p.lpszUrlResultBlock, 100000},
                  {p.lpszDevtoolResultBlock, 260}};
    for (const Block& block : blocks) {
        const std::string name = Utf8(block.name);
        HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, block.name);
        if (mapping == nullptr) {
            Add(Status::kWarn, "agent", browser, "no block " + name + ": the agent is not running",
                "start the Orvendel agent");
            continue;
        }
        void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, block.least);
        if (view != nullptr) {
            UnmapViewOfFile(view);
            Add(Status::kOk, "agent", browser, "block " + name + " holds at least " + std::to_string(block.least) + " bytes");
        } else {
            Add(Status::kFail, "agent", browser, "block " + name + " is smaller than the " +
                std::to_string(block.least) + " bytes the host needs", "update the agent; it makes the blocks");
        }
        CloseHandle(mapping);
    }
}

// ---------------------------------------------------------------------------
// Reporting

const char* Word(Status s) { return s == Status::kOk ? "OK" : s == Status::kWarn ? "WARN" : "FAIL"; }

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char u[8];
                std::snprintf(u, sizeof(u), "\\u%04x", c);
                out += u;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

void PrintText() {
    for (const Check& c : g_checks) {
        std::string line = std::string(Word(c.status)) + (c.status == Status::kOk ? "   " : " ") +
                           (c.browser.empty() ? "" : "[" + c.browser + "] ") + c.text;
        if (!c.fix.empty()) line += ". Fix: " + c.fix;
        std::puts(line.c_str());
    }
}

void PrintJson(const std::string& name) {
    int counts[3] = {0, 0, 0};
    for (const Check& c : g_checks) ++counts[static_cast<int>(c.status)];
    std::printf("{\"name\":%s,\"version\":%s,\"ok\":%d,\"warn\":%d,\"fail\":%d,\"checks\":[", JsonString(name).c_str(),
                JsonString(ORV_VERSION).c_str(), counts[0], counts[1], counts[2]);
    for (size_t i = 0; i < g_checks.size(); ++i) {
        const Check& c = g_checks[i];
        std::printf("%s{\"status\":%s,\"area\":%s,\"browser\":%s,\"text\":%s,\"fix\":%s}", i ? "," : "",
                    JsonString(Word(c.status)).c_str(), JsonString(c.area).c_str(), JsonString(c.browser).c_str(),
                    JsonString(c.text).c_str(), JsonString(c.fix).c_str());
    }
    std::printf("]}\n");
}

int UsageError(const std::string& text) {
    std::fprintf(stderr, "orvendel-doctor: %s\nTry 'orvendel-doctor --help'.\n", text.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
    std::vector<std::string> browsers = {"chrome", "edge"};
    const char* const kBrowsers = "chrome or edge";
#else
    std::vector<std::string> browsers = {"chrome", "chromium", "edge"};
    const char* const kBrowsers = "chrome, chromium or edge";
#endif
    std::string name = kDefaultName;
    std::vector<std::string> ids;
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::puts("orvendel-doctor " ORV_VERSION);
            return 0;
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--browser" && i + 1 < argc) {
            std::string b = argv[++i];
            bool known = false;
            for (const std::string& k : browsers) known = known || k == b;
            if (!known) return UsageError(std::string("--browser takes ") + kBrowsers + ", not '" + b + "'");
            browsers = {b};
        } else if (arg == "--name" && i + 1 < argc) {
            name = argv[++i];
            if (name.empty()) return UsageError("--name needs a name");
        } else if (arg == "--extension-id" && i + 1 < argc) {
            std::string id = argv[++i];
            if (!IsExtensionId(id)) return UsageError("invalid extension id '" + id + "': 32 letters a to p expected");
            ids.push_back(id);
        } else {
            return UsageError("unknown argument '" + arg + "'");
        }
    }
    if (ids.empty()) ids.push_back(kReferenceId);
    for (const std::string& b : browsers) CheckBrowser(b, name, ids);
    CheckClient();
    for (const std::string& b : browsers) {
        if (b != "chromium" || browsers.size() == 1) CheckAgent(b);
    }
    if (json) {
        PrintJson(name);
    } else {
        PrintText();
    }
    for (const Check& c : g_checks) {
        if (c.status == Status::kFail) return 1;
    }
    return 0;
}
