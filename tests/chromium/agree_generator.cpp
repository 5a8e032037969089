#include "tests/chromium/agree_generator.h"

#include <algorithm>
#include <initializer_list>
#include <string>
#include <utility>

#include "contract/contract.h"
#include "tests/support/fullwidth.h"

namespace {

const std::string kRef = REFERENCE_EXTENSION_ID;
const std::string kOtherId = "abcdefghijklmnopabcdefghijklmnop";

// splitmix64: the same numbers from the same seed on every machine.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    size_t Below(size_t n) { return static_cast<size_t>(Next() % n); }
    bool Percent(int p) { return static_cast<int>(Below(100)) < p; }
    // One of the choices, by weight.
    template <typename T>
    T Pick(std::initializer_list<std::pair<int, T>> choices) {
        int total = 0;
        for (const auto& c : choices) total += c.first;
        int at = static_cast<int>(Below(static_cast<size_t>(total)));
        for (const auto& c : choices) {
            if (at < c.first) return c.second;
            at -= c.first;
        }
        return choices.begin()->second;
    }

private:
    uint64_t state_;
};

using S = std::pair<int, std::string>;

std::string Name(size_t i) { return "com.orvendel.gen_" + std::to_string(i); }
std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}
std::string Json(const std::string& s) { return AgreeJsonString(s); }


// An origin: the reference one, or a near miss with one or two parts changed.
std::string Origin(Rng& r) {
    std::string scheme = "chrome-extension", sep = "://", host = kRef, port, path = "/";
    if (r.Percent(60)) return Json(scheme + sep + host + path);
    for (int changes = r.Percent(70) ? 1 : 2; changes > 0; --changes) {
        switch (r.Below(5)) {
            case 0:
                scheme = r.Pick<std::string>({S{3, "Chrome-Extension"}, S{3, "CHROME-EXTENSION"}, S{4, "*"},
                                              S{2, "http"}, S{2, "https"}, S{2, "chrome-extensions"}, S{1, ""},
                                              S{1, "chrome-extension "}});
                break;
            case 1:
                sep = r.Pick<std::string>({S{3, ":/"}, S{3, ":///"}, S{2, "//"}, S{1, ":"}, S{1, ":\\\\"}});
                break;
            case 2:
                host = r.Pick<std::string>({S{4, Upper(kRef)}, S{4, kOtherId}, S{4, "*"}, S{3, "*." + kRef},
                                            S{3, kRef + "."}, S{3, "%68" + kRef.substr(1)}, S{2, "[::1]"},
                                            S{2, "[" + kRef + "]"}, S{3, kRef + "^"},
                                            S{2, kRef.substr(0, 6) + " " + kRef.substr(6)}, S{2, kRef.substr(0, 31)},
                                            S{2, kRef + "a"}, S{2, "localhost"}, S{2, ""}, S{1, kRef + "%2e"},
                                            S{1, "user@" + kRef}, S{1, kRef.substr(0, 16) + "%00" + kRef.substr(16)},
                                            // Non-ASCII: what IDNA maps to the id, and what it does not.
                                            S{2, Fullwidth(kRef)}, S{1, kRef.substr(0, 9) + "\xC2\xAD" + kRef.substr(9)},
                                            S{1, kRef.substr(0, 9) + "\xE2\x80\x8D" + kRef.substr(9)},
                                            S{1, kRef + "\xEF\xBC\x8E"}, S{1, "\xC3\xA9" + kRef.substr(1)},
                                            S{1, "%EF%BD%88" + kRef.substr(1)}});
                break;
            case 3:
                port =
                    r.Pick<std::string>({S{3, ":80"}, S{3, ":*"}, S{2, ":"}, S{2, ":65536"}, S{1, ":0"}, S{1, ":x"}});
                break;
            default:
                path = r.Pick<std::string>({S{6, ""}, S{6, "/*"}, S{3, "/x"}, S{3, "/x/*"}, S{2, "//"}, S{2, "/?q"},
                                            S{2, "/#f"}, S{2, "*"}, S{2, "/background.js"}, S{1, "/%2A"}});
                break;
        }
    }
    std::string text = Json(scheme + sep + host + port + path);
    // Escapes that read back as the same characters.
    if (r.Percent(5)) {
        for (size_t at = text.find('/'); at != std::string::npos; at = text.find('/', at + 2))
            text.replace(at, 1, "\\/");
    }
    return text;
}

std::string Origins(Rng& r) {
    const int kind = r.Pick<int>({{150, 0}, {3, 1}, {3, 2}, {3, 3}, {3, 4}, {2, 5}, {2, 6}});
    switch (kind) {
        case 1:
            return Origin(r);
        case 2:
            return "";
        case 3:
            return "[]";
        case 4:
            return "{}";
        case 5:
            return "null";
        case 6:
            return "[" + Json("chrome-extension://" + kRef + "/") + "," + Json("chrome-extension://" + kRef + "/") +
                   "]";
        default:
            break;
    }
    std::string list = "[";
    const size_t n = r.Pick<size_t>({{7, 1}, {2, 2}, {1, 3}});
    for (size_t k = 0; k < n; ++k) {
        if (k > 0) list += ", ";
        if (r.Percent(6)) list += r.Pick<std::string>({S{1, "1"}, S{1, "null"}, S{1, "{}"}, S{1, "[]"}}) + ", ";
        list += Origin(r);
    }
    if (r.Percent(3)) list += ",";
    return list + "]";
}

std::string Description(Rng& r) {
    return r.Pick<std::string>({S{220, "\"Generated host\""}, S{3, "\"\""}, S{3, ""}, S{2, "5"}, S{2, "[\"x\"]"},
                                S{2, "\"Gen\nhost\""}, S{2, "\"Gen \\x41 host\""}, S{1, "\"Gen \\v host\""},
                                S{2, std::string("\"Gen\0host\"", 10)}, S{2, "\"Gen \xff host\""},
                                S{1, "\"Gen \xc0\xaf host\""}, S{1, "\"Gen \\ud800 host\""}, S{1, "\"Gen\\u0000host\""},
                                S{1, "\" \""}, S{1, "null"}, S{1, "'Generated host'"}});
}

// The manifest's members, key and value as written; the text's oddities.
std::string Manifest(Rng& r, size_t i, const std::string& asked, const std::string& program) {
    const std::string name =
        r.Pick<std::string>({S{200, Json(asked)}, S{3, Json(Name(i + 1))}, S{3, Json(Upper(asked))}, S{3, ""},
                             S{2, "7"}, S{1, "null"}, S{2, "\"\\u0063" + asked.substr(1) + "\""},
                             S{2, Json(asked + " ")}, S{1, Json(asked + ".")}, S{1, "[" + Json(asked) + "]"}});
    const std::string bin = "bin/g" + std::to_string(i) + "/host";
    const std::string path =
        r.Pick<std::string>({S{200, Json(program)}, S{2, Json(bin)}, S{2, ""}, S{2, "5"}, S{2, "\"\""},
                             S{2, "\"@RB@\\\\bin\\\\g" + std::to_string(i) + "\\\\host\""}, S{2, Json(program + "/")},
                             S{2, Json("@R@/./" + program.substr(4))}, S{2, Json("@R@//" + program.substr(4))},
                             S{2, Json("@R@/bin/../" + program.substr(4))}, S{1, Json(" " + program)},
                             S{1, "\"@R@\\u002f" + program.substr(4) + "\""}, S{1, Json(program + "\n")}});
    const std::string type =
        r.Pick<std::string>({S{180, "\"stdio\""}, S{3, "\"STDIO\""}, S{3, "\"pipe\""}, S{3, ""}, S{2, "1"},
                             S{2, "\"stdio \""}, S{1, "[\"stdio\"]"}, S{1, "\"std\\u0069o\""}, S{1, "'stdio'"}});
    std::vector<std::pair<std::string, std::string>> members = {{"\"name\"", name},
                                                                {"\"description\"", Description(r)},
                                                                {"\"path\"", path},
                                                                {"\"type\"", type},
                                                                {"\"allowed_origins\"", Origins(r)}};
    if (r.Percent(15)) {
        for (size_t k = members.size(); k > 1; --k) std::swap(members[k - 1], members[r.Below(k)]);
    }
    if (r.Percent(6))
        members.insert(members.begin() + static_cast<long>(r.Below(members.size())), {"\"version\"", "\"1.0\""});
    if (r.Percent(3)) members.push_back({"\"name\\u0000\"", "1"});
    if (r.Percent(2)) members.push_back({"\"\\u006eame\"", Json(Name(i + 1))});
    if (r.Percent(2)) members.push_back({"name", Json(asked)});  // unquoted
    if (r.Percent(6)) {
        // The same key twice: the browser keeps one of them.
        const size_t k = r.Below(members.size());
        std::pair<std::string, std::string> other = members[k];
        other.second = r.Percent(50)
                           ? "\"\""
                           : r.Pick<std::string>({S{1, Json(program)}, S{1, "\"x\""}, S{1, "1"}, S{1, Origins(r)}});
        members.insert(members.begin() + static_cast<long>(r.Percent(50) ? k : k + 1), other);
    }
    if (r.Percent(3)) {
        const size_t depth = r.Pick<size_t>({{1, 150}, {1, 198}, {1, 199}, {1, 200}, {1, 201}});
        members.push_back({"\"deep\"", std::string(depth, '[') + std::string(depth, ']')});
    }
    if (r.Percent(2)) {
        members.push_back({"\"n\"", r.Pick<std::string>({S{1, "1e400"}, S{1, "-0"}, S{1, "0x10"}, S{1, "+1"},
                                                         S{1, ".5"}, S{1, "NaN"}, S{1, "Infinity"}, S{1, "01"}})});
    }

    const std::string nl = r.Percent(3) ? "\r\n" : "\n";
    std::string text = r.Percent(3) ? "\xEF\xBB\xBF{" : "{";
    if (r.Percent(3)) text += nl + "  // written by hand";
    bool first = true;
    for (const auto& m : members) {
        if (m.second.empty()) continue;
        text += std::string(first ? "" : ",") + nl + "  ";
        if (r.Percent(1)) text += "/* a note */ ";
        text += m.first + ": " + m.second;
        first = false;
    }
    if (r.Percent(3)) text += ",";
    text += nl + "}" + nl;
    switch (r.Pick<int>({{94, 0}, {1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 5}, {1, 6}})) {
        case 1:
            return "[" + text + "]";
        case 2:
            return "";
        case 3:
            return text + " x";
        case 4:
            return text + std::string("\0", 1);
        case 5:
            return "null";
        case 6:
            return text + "}";
        default:
            return text;
    }
}

// The host program case i's manifests name: every kind the browser may meet.
std::string Program(Rng& r, size_t i, std::vector<AgreeFile>* files) {
    const std::string tag = "g" + std::to_string(i);
    const std::string bin = "bin/" + tag + "/host";
    const std::string good = AgreeGoodHost(tag);
    // The marker the good host writes, without its line: a script on its own.
    std::string bare = good.substr(good.find('\n') + 1);
    switch (r.Pick<int>(
        {{120, 0}, {5, 1}, {4, 2}, {5, 3}, {4, 4}, {4, 5}, {4, 6}, {5, 7}, {3, 8}, {2, 9}, {3, 10}, {3, 11}})) {
        case 1:  // not executable
            files->push_back({bin, good, AgreeFile::kText, 0644});
            break;
        case 2:
            files->push_back({bin, "", AgreeFile::kFolder});
            break;
        case 3:  // missing
            break;
        case 4:
            files->push_back({bin, "#!/nonexistent/interpreter\n" + bare, AgreeFile::kText, 0755});
            break;
        case 5:  // empty, with x bits
            files->push_back({bin, "", AgreeFile::kText, 0755});
            break;
        case 6: {  // an ELF file for another machine
            std::string elf(
                "\x7f"
                "ELF\x02\x01\x01",
                7);
            elf += std::string(9, '\0') + std::string("\x02\x00\xb7\x00", 4) + std::string(44, '\0');
            files->push_back({bin, elf, AgreeFile::kText, 0755});
            break;
        }
        case 7: {
            const std::string at = std::string(agree_path::kNoExec) + "/" + tag + "/host";
            files->push_back({at, good, AgreeFile::kText, 0755});
            return "@R@/" + at;
        }
        case 8:
            files->push_back({"bin/" + tag + "/real", good, AgreeFile::kText, 0755});
            files->push_back({bin, "real", AgreeFile::kLink});
            break;
        case 9:
            files->push_back({bin, "@R@/bin/" + tag + "/nothing", AgreeFile::kLink});
            break;
        case 10:  // the interpreter's name ends in a carriage return
            files->push_back({bin, "#!/bin/sh\r\n" + bare, AgreeFile::kText, 0755});
            break;
        case 11:  // no #! line
            files->push_back({bin, bare, AgreeFile::kText, 0755});
            break;
        default:
            files->push_back({bin, good, AgreeFile::kText, 0755});
            break;
    }
    return "@R@/" + bin;
}

AgreeCase Case(uint64_t seed, size_t i) {
    Rng r(seed * 0x100000001B3ull + i);
    AgreeCase c;
    c.label = "seed " + std::to_string(seed) + " case " + std::to_string(i);
    const std::string n = std::to_string(i);
    c.asked = r.Pick<std::string>({S{94, Name(i)}, S{1, "com.orvendel.Gen_" + n}, S{1, Name(i) + "."},
                                   S{1, "com..orvendel.gen_" + n}, S{1, "com.orvendel.gen-" + n}, S{1, "." + Name(i)},
                                   S{1, Name(i) + " "}});
    const std::string program = Program(r, i, &c.files);
    const std::string file = c.asked + ".json";
    // One folder most of the time, now and then another beside it, or none.
    const std::vector<const char*> places = {agree_path::kSystem, agree_path::kUserHome, agree_path::kUserXdg,
                                             agree_path::kUserChromeConfig, agree_path::kUserUserDataDir};
    std::vector<std::string> folders;
    const size_t primary = r.Pick<size_t>({{55, 0}, {30, 1}, {5, 2}, {5, 3}, {5, 4}});
    if (r.Percent(97)) folders.push_back(places[primary]);
    for (size_t k = 0; k < places.size(); ++k) {
        if (k != primary && r.Percent(7)) folders.push_back(places[k]);
    }
    std::string text = Manifest(r, i, c.asked, program);
    for (const std::string& folder : folders) {
        if (r.Percent(30)) text = Manifest(r, i, c.asked, program);
        const std::string at = folder + "/" + file;
        switch (r.Pick<int>({{92, 0}, {2, 1}, {3, 2}, {2, 3}, {1, 4}})) {
            case 1:
                c.files.push_back({at, "", AgreeFile::kFolder});
                break;
            case 2:
                c.files.push_back({"store/" + std::to_string(i) + "/" + folder + ".json", text});
                c.files.push_back({at, "@R@/store/" + std::to_string(i) + "/" + folder + ".json", AgreeFile::kLink});
                break;
            case 3:
                c.files.push_back({at, "@R@/store/nothing.json", AgreeFile::kLink});
                break;
            case 4:
                c.files.push_back({at, text + std::string(70000, ' ')});
                break;
            default:
                c.files.push_back({at, text});
                break;
        }
    }
    return c;
}

std::string Entry(Rng& r, const std::vector<std::string>& names) {
    return r.Pick<std::string>(
        {S{50, Json(names[r.Below(names.size())])}, S{15, "\"*\""}, S{8, "\"com.orvendel.none\""}, S{4, "\"COM.Bad\""},
         S{4, "5"}, S{3, "null"}, S{3, "\"\""}, S{5, "\"com.orvendel.*\""},
         S{4, Json(Upper(names[r.Below(names.size())]))}, S{2, Json(names[r.Below(names.size())] + " ")}});
}

std::string List(Rng& r, const std::vector<std::string>& names) {
    if (r.Percent(12)) return r.Pick<std::string>({S{2, "\"*\""}, S{1, "1"}, S{1, "{}"}, S{1, "true"}, S{1, "null"}});
    std::string list = "[";
    for (size_t k = 0, n = 1 + r.Below(4); k < n; ++k) list += (k ? ", " : "") + Entry(r, names);
    return list + "]";
}

// One policy file's text: some of the native messaging policies.
std::string NativePolicies(Rng& r, const std::vector<std::string>& names) {
    std::vector<std::string> members;
    if (r.Percent(55)) members.push_back("\"NativeMessagingBlocklist\": " + List(r, names));
    if (r.Percent(40)) members.push_back("\"NativeMessagingAllowlist\": " + List(r, names));
    if (r.Percent(30) || members.empty()) {
        members.push_back(
            "\"NativeMessagingUserLevelHosts\": " +
            r.Pick<std::string>({S{4, "false"}, S{3, "true"}, S{1, "\"false\""}, S{1, "0"}, S{1, "null"}}));
    }
    if (r.Percent(4)) members.push_back("\"NativeMessagingBlacklist\": " + List(r, names));
    if (r.Percent(4)) members.push_back("\"NativeMessagingWhitelist\": " + List(r, names));
    std::string text = "{";
    for (size_t k = 0; k < members.size(); ++k) text += (k ? ",\n  " : "\n  ") + members[k];
    text += r.Percent(5) ? ",\n}\n" : "\n}\n";
    switch (r.Pick<int>({{88, 0}, {5, 1}, {3, 2}, {2, 3}, {2, 4}})) {
        case 1:
            return "// managed\n" + text;
        case 2:
            return "{";
        case 3:
            return "[" + text + "]";
        case 4:
            return "\xEF\xBB\xBF" + text;
        default:
            return text;
    }
}

// Extension policies: most keep the extension from running, some do not.
std::string ExtensionPolicies(Rng& r) {
    std::vector<std::string> members;
    const std::string ref = Json(kRef), other = Json(kOtherId);
    if (r.Percent(50)) {
        members.push_back("\"ExtensionInstallBlocklist\": " +
                          r.Pick<std::string>({S{4, "[\"*\"]"}, S{3, "[" + ref + "]"}, S{2, "[" + other + "]"},
                                               S{1, "\"*\""}, S{1, "[" + Json(Upper(kRef)) + "]"}}));
    }
    if (r.Percent(35)) {
        members.push_back("\"ExtensionInstallAllowlist\": " +
                          r.Pick<std::string>({S{3, "[" + ref + "]"}, S{2, "[" + other + "]"}, S{1, ref}}));
    }
    if (r.Percent(15)) {
        members.push_back("\"ExtensionInstallForcelist\": [" + Json(kRef + ";https://example.invalid/update.xml") +
                          "]");
    }
    if (r.Percent(40) || members.empty()) {
        members.push_back(
            "\"ExtensionSettings\": " +
            r.Pick<std::string>({S{3, "{\"*\": {\"installation_mode\": \"blocked\"}}"},
                                 S{3, "{" + ref + ": {\"installation_mode\": \"blocked\"}}"},
                                 S{2, "{\"*\": {\"installation_mode\": \"blocked\"}, " + ref +
                                          ": {\"installation_mode\": \"allowed\"}}"},
                                 S{1, "{" + ref + ": {\"installation_mode\": \"removed\"}}"},
                                 S{1, "{" + other + ": {\"installation_mode\": \"blocked\"}}"},
                                 S{1, "{\"*\": {\"allowed_types\": [\"theme\"]}}"},
                                 S{1, "{\"*\": {\"installation_mode\": \"blocked\"}, " + ref + ": \"allowed\"}"}}));
    }
    std::string text = "{";
    for (size_t k = 0; k < members.size(); ++k) text += (k ? ",\n  " : "\n  ") + members[k];
    return text + "\n}\n";
}

void Environment(Rng& r, AgreeGroup* g) {
    while (g->env.empty()) {
        // Not a relative XDG_CONFIG_HOME: the browser does not start at all
        // with one. Nor a relative CHROME_CONFIG_HOME: the browser was seen
        // to end at its start with one (status 5), so no extension runs.
        const std::string xdg =
            r.Pick<std::string>({S{50, "-"}, S{25, "@R@/xdg"}, S{5, ""}, S{5, "@R@/xdg/"}, S{5, "@R@/nowhere"}});
        const std::string chrome = r.Pick<std::string>({S{65, "-"}, S{25, "@R@/cch"}, S{5, ""}, S{5, "@R@/cch\xff"}});
        const std::string data = r.Pick<std::string>({S{75, "-"}, S{20, "@R@/udd"}, S{5, ""}});
        if (xdg != "-") g->env.push_back({"XDG_CONFIG_HOME", xdg});
        if (chrome != "-") g->env.push_back({"CHROME_CONFIG_HOME", chrome});
        if (data != "-") g->env.push_back({"CHROME_USER_DATA_DIR", data});
    }
}

void Policies(Rng& r, const std::vector<std::string>& names, AgreeGroup* g) {
    std::vector<std::string> files = {"00-first.json", "10-a.json",    "20-b.json",   "a.json", "Z.json",
                                      "b.txt",         ".hidden.json", "policy.JSON", "z"};
    for (size_t k = files.size(); k > 1; --k) std::swap(files[k - 1], files[r.Below(k)]);
    for (size_t k = 0, n = 1 + r.Below(3); k < n; ++k) {
        const char* level = r.Percent(6) ? agree_path::kRecommended : agree_path::kPolicies;
        g->files.push_back({std::string(level) + "/" + files[k], NativePolicies(r, names)});
    }
}

}  // namespace

std::vector<AgreeGroup> AgreeGenerate(uint64_t seed, int cases) {
    Rng r(seed);
    std::vector<AgreeGroup> groups;
    size_t next = 0;
    while (next < static_cast<size_t>(cases)) {
        // What the group's browser shares: nothing, policies, environment,
        // or extension policies (whose cases all end alike when the
        // extension does not run, so few of them).
        const int kind = r.Pick<int>({{40, 0}, {30, 1}, {20, 2}, {10, 3}});
        const size_t size = std::min(static_cast<size_t>(cases) - next, kind == 0   ? 10 + r.Below(25)
                                                                        : kind == 3 ? 1 + r.Below(2)
                                                                                    : 3 + r.Below(5));
        AgreeGroup g;
        Rng gr(seed * 0x9E3779B97F4A7C15ull + next);
        std::vector<std::string> names;
        for (size_t i = next; i < next + size; ++i) names.push_back(Name(i));
        if (kind == 1) Policies(gr, names, &g);
        if (kind == 2 || (kind == 1 && gr.Percent(20))) Environment(gr, &g);
        if (kind == 3) {
            g.files.push_back({std::string(agree_path::kPolicies) + "/extensions.json", ExtensionPolicies(gr)});
            if (gr.Percent(30)) Policies(gr, names, &g);
        }
        for (size_t i = next; i < next + size; ++i) g.cases.push_back(Case(seed, i));
        next += size;
        groups.push_back(std::move(g));
    }
    return groups;
}
