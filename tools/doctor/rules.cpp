#include "tools/doctor/rules.h"

#include <algorithm>
#include <cctype>

#include "tools/doctor/json_reader.h"

const char* StatusWord(Status status) {
    return status == Status::kOk ? "OK" : status == Status::kWarn ? "WARN" : "FAIL";
}

// native_messaging_host_manifest.cc, NativeMessagingHostManifest::IsValidName:
// [a-z0-9._], no dot first, last or beside another.
bool IsValidHostName(const std::string& name) {
    if (name.empty()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_')) return false;
        if (c == '.' && (i == 0 || name[i - 1] == '.' || i == name.size() - 1)) return false;
    }
    return true;
}

bool IsExtensionId(const std::string& id) {
    if (id.size() != 32) return false;
    for (char c : id) {
        if (c < 'a' || c > 'p') return false;
    }
    return true;
}

namespace {

// The string's bytes, embedded NULs and all.
std::string StringOf(const rapidjson::Value* v) {
    return v != nullptr && v->IsString() ? std::string(v->GetString(), v->GetStringLength()) : std::string();
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

bool ParseManifestJson(const std::string& text, rapidjson::Document* doc, std::string* why) {
    // native_messaging_host_manifest.cc, NativeMessagingHostManifest::Load:
    // JSONFileValueDeserializer's default options; anything but a dictionary
    // is "Invalid manifest file."
    if (!ReadChromiumJson(text, JSON_PARSE_CHROMIUM_EXTENSIONS, doc, why)) return false;
    if (!doc->IsObject()) {
        *why = "not a JSON object";
        return false;
    }
    return true;
}

bool ParsePolicyJson(const std::string& text, rapidjson::Document* doc, std::string* why) {
    // components/policy/core/common/config_dir_policy_loader.cc,
    // ConfigDirPolicyLoader::LoadFromPath.
    if (!ReadChromiumJson(text, JSON_PARSE_CHROMIUM_EXTENSIONS | JSON_ALLOW_TRAILING_COMMAS, doc, why)) return false;
    if (!doc->IsObject()) {
        *why = "not a JSON object";
        return false;
    }
    return true;
}

// extensions/common/url_pattern.cc, URLPattern::Parse, with the manifest's
// SCHEME_EXTENSION; native_messaging_host_manifest.cc, Parse, then refuses
// <all_urls> and any host wildcard.
OriginPattern ParseOriginPattern(const std::string& pattern) {
    OriginPattern p;
    if (pattern == "<all_urls>") {
        p.error = "<all_urls> is not allowed";
        return p;
    }
    size_t colon = pattern.find(':');
    if (colon == std::string::npos) {
        p.error = "no scheme separator";
        return p;
    }
    if (Lower(pattern.substr(0, colon)) != "chrome-extension") {
        p.error = "the scheme is not chrome-extension";
        return p;
    }
    if (pattern.compare(colon, 3, "://") != 0) {
        p.error = "the scheme is not followed by ://";
        return p;
    }
    size_t hostStart = colon + 3;
    size_t hostEnd = pattern.find('/', hostStart);
    if (hostStart >= pattern.size() || hostEnd == hostStart) {
        p.error = "no host";
        return p;
    }
    if (hostEnd == std::string::npos) {
        p.error = "no path: end it with /";
        return p;
    }
    std::string host = pattern.substr(hostStart, hostEnd - hostStart);
    size_t portAt = host.rfind(':');
    if (portAt != std::string::npos) {
        std::string port = host.substr(portAt + 1);
        bool digits = !port.empty() && port.size() <= 5;
        for (char c : port) digits = digits && c >= '0' && c <= '9';
        if (port != "*" && (!digits || std::stoul(port) > 65535)) {
            p.error = "invalid port";
            return p;
        }
        host.erase(portAt);
    }
    if (host == "*" || host.compare(0, 2, "*.") == 0) {
        p.error = "a wildcard host is not allowed";
        return p;
    }
    if (host.find('*') != std::string::npos) {
        p.error = "a wildcard inside the host";
        return p;
    }
    p.valid = true;
    p.host = Lower(host);
    return p;
}

// URLPattern::MatchesSecurityOrigin: scheme and host only, any path.
bool OriginAllows(const OriginPattern& pattern, const std::string& extensionId) {
    return pattern.valid && pattern.host == extensionId;
}

// native_messaging_policy_handler.cc, NativeMessagingHostListPolicyHandler:
// entries that are not valid host names ("*" in the blocklist aside) are
// dropped; a value of the wrong type drops the whole policy.
void ReadPolicyDictionary(const rapidjson::Value& dict, const std::string& source, NativeMessagingPolicy* policy) {
    auto list = [&](const char* key, bool wildcard, bool* set, std::vector<std::string>* out) {
        const rapidjson::Value* v = FindKey(dict, key);
        if (v == nullptr) return;
        if (!v->IsArray()) {
            policy->ignored.push_back(std::string(key) + " in " + source + " is not a list");
            return;
        }
        *set = true;
        out->clear();
        for (const auto& entry : v->GetArray()) {
            std::string s = StringOf(&entry);
            if (entry.IsString() && (IsValidHostName(s) || (wildcard && s == "*"))) {
                out->push_back(s);
            } else {
                policy->ignored.push_back(std::string(key) + " entry " + (entry.IsString() ? "\"" + s + "\"" : "(not a string)") +
                                          " in " + source + " is not a host name");
            }
        }
        policy->source = source;
    };
    list("NativeMessagingBlocklist", true, &policy->blocklistSet, &policy->blocklist);
    list("NativeMessagingAllowlist", false, &policy->allowlistSet, &policy->allowlist);
    if (const rapidjson::Value* v = FindKey(dict, "NativeMessagingUserLevelHosts")) {
        if (v->IsBool()) {
            policy->userLevelHosts = v->GetBool() ? 1 : 0;
        } else {
            policy->ignored.push_back("NativeMessagingUserLevelHosts in " + source + " is not true or false");
        }
    }
}

namespace {

bool Contains(const std::vector<std::string>& list, const std::string& s) {
    for (const std::string& e : list) {
        if (e == s) return true;
    }
    return false;
}

// The manifest the browser uses; false when the browser stops at it.
bool JudgeManifest(const BrowserInputs& in, const Registration& used, const std::string& name,
                   const std::vector<std::string>& ids, Report* report, std::string* pathValue) {
    const std::string& b = in.browser;
    const std::string where = used.manifestPath;
    const std::string fix = "correct " + where + ", or register the host again";
    auto fail = [&](const std::string& rule, const std::string& text, const std::string& f) {
        report->Add(Status::kFail, "manifest", rule, b, text, f, browser_says::kNotFound);
    };
    // native_process_launcher.cc, DoLaunchOnThreadPool: a manifest that does
    // not load is "not found", whatever its fault.
    if (!used.readable) {
        fail("manifest.read", "cannot read " + where, "let every user read it");
        return false;
    }
    rapidjson::Document doc;
    std::string why;
    if (!ParseManifestJson(used.text, &doc, &why)) {
        fail("manifest.json", where + " is not valid JSON: " + why, fix);
        return false;
    }
    // native_messaging_host_manifest.cc, Parse: every field, in this order.
    bool ok = true;
    const std::string manifestName = StringOf(FindKey(doc, "name"));
    if (!IsValidHostName(manifestName)) {
        ok = false;
        fail("manifest.name", "\"name\" in " + where + " is missing or not a valid host name", fix);
    }
    if (StringOf(FindKey(doc, "description")).empty()) {
        ok = false;
        fail("manifest.description", "\"description\" in " + where + " is missing or empty",
             "give it a description: the browser requires one");
    }
    if (StringOf(FindKey(doc, "type")) != "stdio") {
        ok = false;
        fail("manifest.type", "\"type\" in " + where + " is not \"stdio\"", "set \"type\": \"stdio\"");
    }
    *pathValue = StringOf(FindKey(doc, "path"));
    if (pathValue->empty()) {
        ok = false;
        fail("manifest.path", "\"path\" in " + where + " is missing or empty", "set \"path\" to the host program");
    }
    // base/files/file_path.cc, FilePath::FilePath: the path ends at its first NUL.
    pathValue->resize(std::min(pathValue->size(), pathValue->find('\0')));
    std::vector<OriginPattern> patterns;
    const rapidjson::Value* origins = FindKey(doc, "allowed_origins");
    if (origins == nullptr || !origins->IsArray()) {
        ok = false;
        fail("manifest.allowed_origins", "\"allowed_origins\" in " + where + " is missing or not a list",
             "add \"allowed_origins\": [\"chrome-extension://<id>/\"]");
    } else {
        for (const auto& entry : origins->GetArray()) {
            if (!entry.IsString()) {
                ok = false;
                fail("manifest.allowed_origins", "an allowed_origins entry in " + where + " is not a string",
                     "write each origin as \"chrome-extension://<id>/\"");
                break;
            }
            OriginPattern p = ParseOriginPattern(StringOf(&entry));
            if (!p.valid) {
                ok = false;
                fail("manifest.allowed_origins",
                     "allowed_origins entry \"" + StringOf(&entry) + "\" in " + where + ": " + p.error,
                     "write it as chrome-extension://<32 letters a-p>/");
                break;
            }
            patterns.push_back(p);
        }
    }
    if (!ok) return false;
    // DoLaunchOnThreadPool: the manifest's name must be the one asked for.
    if (manifestName != name) {
        fail("manifest.name", "\"name\" in " + where + " is \"" + manifestName + "\", not \"" + name + "\"",
             "set \"name\": \"" + name + "\"");
        return false;
    }
    report->Add(Status::kOk, "manifest", "manifest.fields", b,
                where + " is valid: name, description, type, path and allowed_origins");
    // DoLaunchOnThreadPool: allowed_origins().MatchesSecurityOrigin, else forbidden.
    bool anyAllowed = false;
    for (const std::string& id : ids) {
        bool allowed = false;
        for (const OriginPattern& p : patterns) allowed = allowed || OriginAllows(p, id);
        if (allowed) {
            anyAllowed = true;
            report->Add(Status::kOk, "manifest", "manifest.origin", b, "extension " + id + " is allowed");
        } else {
            report->Add(Status::kFail, "manifest", "manifest.origin", b,
                        "extension " + id + " is not in allowed_origins of " + where,
                        "add \"chrome-extension://" + id + "/\" to allowed_origins", browser_says::kForbidden);
        }
    }
    return anyAllowed;
}

}  // namespace

BrowserVerdict JudgeBrowser(const BrowserInputs& in, const std::string& name, const std::vector<std::string>& ids,
                            Report* report) {
    const std::string& b = in.browser;
    BrowserVerdict verdict;
    verdict.browser = b;
    verdict.checked = true;
    const size_t first = report->checks.size();
    auto finish = [&]() {
        for (size_t i = first; i < report->checks.size(); ++i) {
            if (report->checks[i].status == Status::kFail) {
                verdict.browserSays = report->checks[i].browserSays;
                verdict.browserAlsoSays = report->checks[i].browserAlsoSays;
                break;
            }
        }
        return verdict;
    };

    // chrome_messaging_delegate.cc, IsNativeMessagingHostAllowed, asked by
    // message_service.cc before any lookup: the blocklist (the name or "*")
    // blocks unless the allowlist names the host.
    const NativeMessagingPolicy& policy = in.policy;
    for (const std::string& why : policy.ignored) {
        report->Add(Status::kWarn, "policy", "policy.ignored", b, why + ": the browser ignores it",
                    "correct the policy, or remove it");
    }
    const bool listed = Contains(policy.blocklist, name) || Contains(policy.blocklist, "*");
    if (policy.blocklistSet && listed) {
        if (policy.allowlistSet && Contains(policy.allowlist, name)) {
            report->Add(Status::kOk, "policy", "policy.allowlist", b,
                        "NativeMessagingBlocklist in " + policy.source + " lists " + name +
                            ", and NativeMessagingAllowlist allows it");
        } else {
            report->Add(Status::kFail, "policy", "policy.blocklist", b,
                        "NativeMessagingBlocklist in " + policy.source + " blocks " + name,
                        "add " + name + " to NativeMessagingAllowlist, or take it off the blocklist",
                        browser_says::kBlocked);
            return finish();
        }
    } else if (policy.blocklistSet) {
        report->Add(Status::kOk, "policy", "policy.blocklist", b,
                    "NativeMessagingBlocklist in " + policy.source + " does not list " + name);
    }
    const bool userLevel = policy.userLevelHosts != 0;
    if (!userLevel) {
        report->Add(Status::kOk, "policy", "policy.user_level_hosts", b,
                    "NativeMessagingUserLevelHosts is false: " + in.shown + " reads the system's registrations only");
    }

    // native_process_launcher.cc, DoLaunchOnThreadPool: the name first.
    if (!IsValidHostName(name)) {
        report->Add(Status::kFail, "registration", "name.valid", b,
                    "\"" + name + "\" is not a valid host name: a-z, 0-9, '.' and '_', no dot first, last or doubled",
                    "ask for the host by its registered name", browser_says::kInvalidName);
        return finish();
    }

    const Registration* used = nullptr;
    for (const Registration& r : in.registrations) {
        if (r.skipped || (r.userLevel && !userLevel)) {
            report->Add(Status::kOk, "registration", "registration.unread", b,
                        r.where + " is not read by " + in.shown + ": " +
                            (r.skipped ? r.skippedWhy : std::string("user-level hosts are turned off by policy")));
            continue;
        }
        if (used == nullptr) {
            used = &r;
            report->Add(Status::kOk, "registration", "registration.used", b, in.shown + " uses " + r.where);
        } else {
            report->Add(Status::kOk, "registration", "registration.unread", b,
                        r.where + " is not read by " + in.shown + ": " + used->where + " comes first" +
                            (r.text == used->text && r.manifestPath == used->manifestPath ? " (the same manifest)" : ""));
        }
    }
    if (used == nullptr) {
        report->Add(Status::kFail, "registration", "registration.none", b,
                    in.shown + " finds no registration of " + name, in.registerFix, browser_says::kNotFound);
        return finish();
    }

    if (!used->problem.empty()) {
        report->Add(Status::kFail, "registration", "registration.path", b, used->where + ": " + used->problem,
                    "set it to the manifest's absolute path, or register the host again", browser_says::kNotFound);
        return finish();
    }
    std::string pathValue;
    if (!JudgeManifest(in, *used, name, ids, report, &pathValue)) return finish();
    if (in.judgeProgram != nullptr) {
        ProgramVerdict program = in.judgeProgram(used->manifestPath, pathValue);
        report->Add(program.status, "program", "program", b, program.text, program.fix,
                    program.status == Status::kFail ? program.browserSays : std::string());
        report->checks.back().browserAlsoSays = program.status == Status::kFail ? program.browserAlsoSays : std::string();
    }
    return finish();
}
