#include "tools/doctor/bundle.h"

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <system_error>

#include "contract/contract.h"
#include "platform/platform.h"
#include "tools/doctor/files.h"
#include "tools/doctor/lookup.h"
#include "tools/doctor/report.h"
#include "tools/common/wide.h"
#include "tools/log_reader/log_decode.h"

namespace fs = std::filesystem;

namespace {

// A day's log with trace lines on stays far below this; a larger file is
// listed, not copied.
constexpr size_t kMaxLogBytes = 64u * 1024u * 1024u;
constexpr size_t kMaxIniBytes = 1024u * 1024u;
constexpr size_t kMaxProgramBytes = 256u * 1024u * 1024u;

// --- SHA-256 (FIPS 180-4) -------------------------------------------------

constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void Compress(uint32_t h[8], const unsigned char* block) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
        w[i] = static_cast<uint32_t>(block[4 * i]) << 24 | static_cast<uint32_t>(block[4 * i + 1]) << 16 |
               static_cast<uint32_t>(block[4 * i + 2]) << 8 | block[4 * i + 3];
    }
    for (int i = 16; i < 64; ++i) {
        const uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
    for (int i = 0; i < 64; ++i) {
        const uint32_t t1 = k + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
        const uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        k = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += k;
}

// --- the parts ------------------------------------------------------------

struct Part {
    std::string name;  // the file or folder in the bundle
    std::string what;  // what it holds, or why it could not be gathered
};

struct Writer {
    std::string folder;
    std::vector<Part> parts;
    bool failed = false;
    std::string why;

    bool Write(const std::string& name, const std::string& bytes) {
        if (failed) return false;
        std::string reason;
        if (!bundle::WriteNewFile(folder + "/" + name, bytes, &reason)) {
            failed = true;
            why = name + ": " + reason;
        }
        return !failed;
    }
    void Folder(const std::string& name) {
        if (failed) return;
        std::string reason;
        if (!bundle::MakeFolder(folder + "/" + name, &reason)) {
            failed = true;
            why = name + ": " + reason;
        }
    }
    void Add(const std::string& name, const std::string& what) { parts.push_back({name, what}); }
};

// A name of the bundle's made from something outside it: no separators, no
// leading dot.
std::string SafeName(const std::string& name) {
    std::string out;
    for (char c : name) out += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' ? c : '_';
    if (out.empty() || out[0] == '.') out.insert(0, "_");
    return out;
}

// The client's folder under the system's Windows folder, as the host finds it.
bool ClientPath(const char* subpath, std::string* path) {
    WCHAR windows[MAX_PATH] = {};
    const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    *path = NativePath(Utf8(windows) + "\\" + subpath);
    return true;
}

// Days since 1970-01-01 and back (Howard Hinnant's days_from_civil and
// civil_from_days), for "yesterday" across months and years.
long DaysFromCivil(long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long>(doe) - 719468;
}

// YYYYMMDD, as the log files' names begin.
std::string DateBefore(int y, unsigned m, unsigned d, int days) {
    const long z = DaysFromCivil(y, m, d) - days + 719468;
    const long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned day = doy - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    const long year = static_cast<long>(yoe) + era * 400 + (month <= 2);
    char out[48];
    std::snprintf(out, sizeof out, "%04ld%02u%02u", year, month, day);
    return out;
}

void AddLogs(Writer* w) {
    w->Folder("logs");
    std::string dump;
    if (!ClientPath(CLIENT_DUMP_SUBPATH, &dump)) {
        w->Add("logs/", "not gathered: the Windows folder cannot be found");
        return;
    }
    SYSTEMTIME now;
    GetLocalTime(&now);
    const std::string today = DateBefore(now.wYear, now.wMonth, now.wDay, 0);
    const std::string yesterday = DateBefore(now.wYear, now.wMonth, now.wDay, 1);
    std::error_code ec;
    const fs::path dumpPath = fs::u8path(dump);
    if (!fs::is_directory(dumpPath, ec)) {
        w->Add("logs/", "not gathered: no dump folder " + dump + " (the host logs nothing without it)");
        return;
    }
    // The host's own files only: YYYYMMDD_Orvendel*.log, the client's
    // other programs' logs stay out.
    std::vector<std::string> names;
    int older = 0;
    for (fs::directory_iterator it(dumpPath, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string file = it->path().filename().u8string();
        if (file.size() < 13 || file[8] != '_' || AsciiLower(file.substr(9, 8)) != "orvendel" ||
            AsciiLower(file.substr(file.size() - 4)) != ".log" ||
            !std::all_of(file.begin(), file.begin() + 8, [](char c) { return c >= '0' && c <= '9'; })) {
            continue;
        }
        const std::string date = file.substr(0, 8);
        if (date == today || date == yesterday) {
            names.push_back(file);
        } else {
            ++older;
        }
    }
    if (ec) w->Add("logs/", "the dump folder " + dump + " could not be listed whole: " + ec.message());
    std::sort(names.begin(), names.end());
    w->Add("logs/", "the host's logs of " + today + " and " + yesterday + " from " + dump + ", decoded as orvendel-log shows them: " +
                        std::to_string(names.size()) + " file(s); " + std::to_string(older) + " of other days left out");
    for (const std::string& file : names) {
        const std::string out = "logs/" + SafeName(file.substr(0, file.size() - 4)) + ".txt";
        std::string bytes, why;
        if (ReadRegularFile(dump + "/" + file, &bytes, &why, kMaxLogBytes) != ReadResult::kOk) {
            w->Add(out, "not gathered: " + file + ": " + why);
            continue;
        }
        const LogDecodeResult decoded = DecodeLogBuffer(bytes, true);
        std::string text;
        for (const LogRecord& r : decoded.records) text += FormatLogRecordLine(r) + "\n";
        w->Write(out, text);
        w->Add(out, file + " (" + std::to_string(bytes.size()) + " bytes): " + std::to_string(decoded.records.size()) +
                        " records" +
                        (decoded.skipped > 0 ? ", " + std::to_string(decoded.skipped) + " bytes that are no record" : ""));
    }
}

void AddIni(Writer* w) {
    std::string ini;
    const std::string name = "stelvo.ini";
    if (!ClientPath(CLIENT_INI_SUBPATH, &ini)) {
        w->Add(name, "not gathered: the Windows folder cannot be found");
        return;
    }
    std::string text, why;
    if (ReadRegularFile(ini, &text, &why, kMaxIniBytes) != ReadResult::kOk) {
        w->Add(name, "not gathered: " + ini + ": " + why);
        return;
    }
    w->Write(name, text);
    w->Add(name, "the client's ini file " + ini + ", as it is");
}

std::string Json(const rapidjson::Value& v) {
    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> out(buffer);
    v.Accept(out);
    return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

std::string PolicyJson(const BrowserInputs& in) {
    rapidjson::Document doc;
    doc.SetObject();
    auto& a = doc.GetAllocator();
    auto str = [&a](const std::string& s) {
        const std::string valid = ValidUtf8(s);
        return rapidjson::Value(valid.c_str(), static_cast<rapidjson::SizeType>(valid.size()), a);
    };
    doc.AddMember("read", in.policiesRead, a);
    for (const auto* level : {&in.policies, &in.recommended}) {
        const bool mandatory = level == &in.policies;
        rapidjson::Value values;
        PolicyMap::DeepCopy(level->values, &values, a);
        rapidjson::Value sources(rapidjson::kObjectType);
        for (const auto& s : level->sources) sources.AddMember(str(s.first), str(s.second), a);
        rapidjson::Value problems(rapidjson::kArrayType);
        for (const std::string& p : level->problems) problems.PushBack(str(p), a);
        doc.AddMember(rapidjson::StringRef(mandatory ? "mandatory" : "recommended"), values, a);
        doc.AddMember(rapidjson::StringRef(mandatory ? "mandatory_sources" : "recommended_sources"), sources, a);
        doc.AddMember(rapidjson::StringRef(mandatory ? "mandatory_problems" : "recommended_problems"), problems, a);
    }
    return Json(doc);
}

// Each program's path, and why it is listed.
using Programs = std::map<std::string, std::vector<std::string>>;

void AddRegistrations(Writer* w, const std::vector<BrowserInputs>& inputs, Programs* programs) {
    w->Folder("manifests");
    w->Folder("policies");
    std::string list;
    int manifests = 0;
    std::map<std::string, int> seen;  // a browser judged for several users gets files of each
    for (const BrowserInputs& in : inputs) {
        list += in.shown + " (" + in.browser + ")" + (in.user.empty() ? "" : ", user " + in.user) + "\n";
        const int count = ++seen[in.browser];
        const std::string stem = SafeName(in.browser) + (count > 1 ? "-" + std::to_string(count) : "");
        const std::string policyFile = "policies/" + stem + ".json";
        w->Write(policyFile, PolicyJson(in));
        w->Add(policyFile, in.shown + "'s policies as the doctor merged them, each with the file or key that set it");
        if (in.registrations.empty()) list += "  no registration found\n";
        int n = 0;
        for (const Registration& r : in.registrations) {
            list += std::string("  registration ") + (r.userLevel ? "(user) " : "(system) ") + r.where + "\n";
            if (r.manifestPath != r.where) list += "    manifest path: " + r.manifestPath + "\n";
            if (r.skipped) list += "    never read by the browser: " + r.skippedWhy + "\n";
            if (!r.problem.empty()) list += "    problem: " + r.problem + "\n";
            if (!r.readable) {
                const std::string why = r.readWhy.empty() ? "not read" : r.readWhy;
                list += "    manifest not copied: " + why + "\n";
                continue;
            }
            const std::string file = "manifests/" + stem + "-" + std::to_string(++n) + ".json";
            w->Write(file, r.text);
            w->Add(file, in.shown + ": the manifest " + r.manifestPath + (r.where != r.manifestPath ? " (" + r.where + ")" : ""));
            list += "    copied as " + file + "\n";
            ++manifests;
            rapidjson::Document doc;
            std::string why;
            if (ParseManifestJson(r.text, &doc, &why) && doc.IsObject() && doc.HasMember("path") &&
                doc["path"].IsString()) {
                const std::string path = bundle::ManifestProgram(r.manifestPath, doc["path"].GetString());
                (*programs)[path].push_back("named by " + r.manifestPath);
            }
        }
        for (const ExternalOffer& o : in.offers) {
            list += "  extension offer " + o.where + "\n";
            if (!o.updateUrl.empty()) list += "    update_url: " + o.updateUrl + "\n";
            if (!o.crxPath.empty()) list += "    path: " + o.crxPath + "\n";
            if (!o.problem.empty()) list += "    passed over: " + o.problem + "\n";
        }
        if (in.policiesRead && in.policies.sources.empty() && in.recommended.sources.empty()) {
            list += "  no policy set\n";
        }
        for (const auto* level : {&in.policies, &in.recommended}) {
            for (const auto& s : level->sources) {
                list += std::string("  policy ") + s.first + (level == &in.recommended ? " (recommended)" : "") +
                        " from " + s.second + "\n";
            }
            for (const std::string& p : level->problems) list += "  policy source passed over: " + p + "\n";
        }
    }
    if (inputs.empty()) list += "no browser was checked\n";
    w->Write("registrations.txt", list);
    w->Add("registrations.txt",
           "the registrations (Windows: registry keys and values; Linux: manifest files), extension offers and policy "
           "sources the doctor read, per browser");
    w->Add("manifests/", manifests > 0 ? std::to_string(manifests) + " manifest(s), as read"
                                       : "not gathered: no manifest was read (registrations.txt says why)");
    w->Add("policies/", inputs.empty() ? "not gathered: no browser was checked" : "one file per browser checked");
}

void AddPrograms(Writer* w, Programs programs) {
    for (const std::string& path : bundle::ShippedPrograms()) programs[path].insert(programs[path].begin(), "shipped");
    std::string text;
    for (const auto& p : programs) {
        text += p.first + "\n";
        std::string roles;
        for (const std::string& r : p.second) roles += (roles.empty() ? "" : "; ") + r;
        text += "  listed: " + roles + "\n";
        std::string bytes, why;
        const ReadResult read = ReadRegularFile(p.first, &bytes, &why, kMaxProgramBytes);
        if (read != ReadResult::kOk) {
            text += "  not examined: " + why + "\n";
            continue;
        }
        std::string version, signature;
        bundle::DescribeProgram(p.first, &version, &signature);
        text += "  version: " + version + "\n  signature: " + signature + "\n  sha256: " + Sha256Hex(bytes) + "\n";
    }
    w->Write("programs.txt", text);
    w->Add("programs.txt", "each shipped program beside the doctor and each host a manifest names: version, "
                           "signature state and sha256, or why it could not be examined");
}

void AddEnvironment(Writer* w) {
    std::string text;
    for (const auto& fact : bundle::SystemFacts()) text += fact.first + ": " + fact.second + "\n";
    text += "\n";
    auto vars = bundle::Environment();
    std::sort(vars.begin(), vars.end());
    for (const auto& v : vars) {
        if (bundle::EnvironmentAllowed(v.first)) text += v.first + "=" + v.second + "\n";
    }
    w->Write("environment.txt", text);
    w->Add("environment.txt", "the system's version, the account and whether it is elevated, and the environment "
                              "variables that decide where things are looked for (an allowlist: no others)");
}

}  // namespace

std::string Sha256Hex(const std::string& bytes) {
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    const size_t whole = bytes.size() / 64 * 64;
    const unsigned char* data = reinterpret_cast<const unsigned char*>(bytes.data());
    for (size_t i = 0; i < whole; i += 64) Compress(h, data + i);
    unsigned char tail[128] = {};
    const size_t rest = bytes.size() - whole;
    std::copy(data + whole, data + bytes.size(), tail);
    tail[rest] = 0x80;
    const size_t tailSize = rest < 56 ? 64 : 128;
    const uint64_t bits = static_cast<uint64_t>(bytes.size()) * 8;
    for (int i = 0; i < 8; ++i) tail[tailSize - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    for (size_t i = 0; i < tailSize; i += 64) Compress(h, tail + i);
    char out[65];
    for (int i = 0; i < 8; ++i) std::snprintf(out + 8 * i, 9, "%08x", static_cast<unsigned>(h[i]));
    return std::string(out, 64);
}

std::vector<std::string> bundle::ProductPrograms() {
    std::vector<std::string> names;
    std::string list = ORV_PRODUCT_PROGRAMS;
    for (size_t start = 0; start <= list.size();) {
        const size_t comma = std::min(list.find(',', start), list.size());
        if (comma > start) names.push_back(list.substr(start, comma - start));
        start = comma + 1;
    }
    return names;
}

bool bundle::EnvironmentAllowed(const std::string& name) {
    static const char* const kNames[] = {"PATH", "HOME", "USERPROFILE", "LOCALAPPDATA", "CHROME_USER_DATA_DIR",
                                         "CHROME_CONFIG_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "DISPLAY",
                                         "WAYLAND_DISPLAY", "LANG", "LANGUAGE", "FLATPAK_ID", "PROCESSOR_ARCHITECTURE",
                                         "PROCESSOR_ARCHITEW6432", "ORVENDEL_WINDOWS_DIR"};
#ifdef _WIN32
    std::string n = name;
    for (char& c : n) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
#else
    const std::string& n = name;
#endif
    for (const char* k : kNames) {
        if (n == k) return true;
    }
    return n.compare(0, 3, "LC_") == 0 || n.compare(0, 4, "SNAP") == 0;
}

BundleStart PrepareBundle(const std::string& folder, std::string* why) {
    std::error_code ec;
    const fs::path path = fs::u8path(folder);
    const fs::file_status st = fs::status(path, ec);
    if (fs::exists(st)) {
        if (!fs::is_directory(st)) {
            *why = "--bundle " + folder + ": it exists and is not a folder; name a new or empty folder";
            return BundleStart::kNotEmpty;
        }
        const bool empty = fs::is_empty(path, ec);
        if (ec) {
            *why = "cannot read the folder " + folder + ": " + ec.message();
            return BundleStart::kCannotWrite;
        }
        if (!empty) {
            *why = "--bundle " + folder + ": the folder is not empty; name a new or empty folder, so nothing is overwritten";
            return BundleStart::kNotEmpty;
        }
    } else {
        // Its parents too, as a support engineer names a path to paste.
        const fs::path parent = path.parent_path();
        if (!parent.empty() && !fs::exists(parent, ec)) fs::create_directories(parent, ec);
        std::string reason;
        if (ec || !bundle::MakeFolder(folder, &reason)) {
            *why = "cannot make the folder " + folder + ": " + (ec ? ec.message() : reason);
            return BundleStart::kCannotWrite;
        }
    }
    // Written first, so an unwritable folder fails before the checks run;
    // rewritten whole at the end.
    std::string reason;
    if (!bundle::WriteNewFile(folder + "/README.txt", "orvendel-doctor --bundle: not finished\n", &reason)) {
        *why = "cannot write in " + folder + ": " + reason;
        return BundleStart::kCannotWrite;
    }
    return BundleStart::kReady;
}

bool WriteBundle(const std::string& folder, const std::string& version, const std::vector<BrowserInputs>& inputs,
                 const std::string& reportText, const std::string& reportJson, std::string* why) {
    Writer w;
    w.folder = folder;
    w.Write("doctor.txt", reportText);
    w.Add("doctor.txt", "the doctor's report, as it printed it");
    w.Write("doctor.json", reportJson);
    w.Add("doctor.json", "the same report as JSON (--json)");
    AddLogs(&w);
    AddIni(&w);
    Programs programs;
    AddRegistrations(&w, inputs, &programs);
    AddPrograms(&w, programs);
    AddEnvironment(&w);
    if (w.failed) {
        *why = "cannot write the bundle in " + folder + ": " + w.why;
        return false;
    }
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    std::string index = "Orvendel support bundle, made by orvendel-doctor " + version + " at " + stamp +
                        " (local time).\nEach part, with what it holds or why it could not be gathered:\n\n";
    for (const Part& p : w.parts) index += p.name + ": " + p.what + "\n";
    index += "\nNothing secret is gathered: no token files, no environment variables outside the allowlist, no "
             "registry values outside the keys the doctor reads.\n";
    // The placeholder from PrepareBundle goes, so the index is a new file too.
    std::error_code ec;
    fs::remove(fs::u8path(folder + "/README.txt"), ec);
    std::string reason;
    if (!bundle::WriteNewFile(folder + "/README.txt", index, &reason)) {
        *why = "cannot write the bundle in " + folder + ": README.txt: " + reason;
        return false;
    }
    return true;
}
