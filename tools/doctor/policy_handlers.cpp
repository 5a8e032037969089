// The policy handlers the browser runs on the merged policies, and what
// extension management then makes of them: which values it drops and whether
// an extension may run at all.
#include <rapidjson/document.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <string>
#include <vector>

#include "tools/doctor/policy.h"
#include "tools/doctor/rules.h"
#include "tools/doctor/url_pattern.h"

namespace {

std::string Str(const rapidjson::Value& v) { return std::string(v.GetString(), v.GetStringLength()); }

// components/crx_file/id_util.cc, IdIsValid: 32 letters a to p, either case.
bool IdIsValid(const std::string& id) {
    if (id.size() != 32) return false;
    for (char c : id) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (c < 'a' || c > 'p') return false;
    }
    return true;
}

const char* TypeName(const rapidjson::Value& v) {
    return v.IsBool()     ? "a boolean"
           : v.IsNumber() ? "a number"
           : v.IsString() ? "a string"
           : v.IsArray()  ? "a list"
           : v.IsObject() ? "a dictionary"
                          : "null";
}

// A policy from the level that won it.
struct Found {
    const rapidjson::Value* value = nullptr;
    std::string source;
    bool recommended = false;
};

Found Find(const PolicyMap& mandatory, const PolicyMap* recommended, const std::string& name) {
    Found f;
    if ((f.value = mandatory.Get(name)) != nullptr) {
        f.source = mandatory.SourceOf(name);
    } else if (recommended != nullptr && (f.value = recommended->Get(name)) != nullptr) {
        f.source = recommended->SourceOf(name);
        f.recommended = true;
    }
    return f;
}

// configuration_policy_handler.cc, TypeCheckingPolicyHandler::CheckAndGetValue
// and ListPolicyHandler::CheckAndGetList: a value of another type is dropped
// whole, leaving the policy unset; entries that are not strings or that
// CheckListEntry refuses are dropped one by one.
ListPolicy ReadList(const Found& f, const std::string& name, bool (*entryOk)(const std::string&), const char* entryKind,
                    std::vector<PolicyProblem>* problems) {
    ListPolicy list;
    if (f.value == nullptr) return list;
    if (!f.value->IsArray()) {
        problems->push_back({name, f.source, std::string("is ") + TypeName(*f.value) + ", not a list"});
        return list;
    }
    list.set = true;
    list.source = f.source;
    for (const auto& entry : f.value->GetArray()) {
        if (!entry.IsString()) {
            problems->push_back(
                {name, f.source, std::string("has an entry that is ") + TypeName(entry) + ", not a string"});
        } else if (!entryOk(Str(entry))) {
            problems->push_back({name, f.source, "entry \"" + Str(entry) + "\" is not " + entryKind});
        } else {
            list.entries.push_back(Str(entry));
        }
    }
    return list;
}

bool Contains(const std::vector<std::string>& list, const std::string& s) {
    return std::find(list.begin(), list.end(), s) != list.end();
}

}  // namespace

// chrome/browser/extensions/api/messaging/native_messaging_policy_handler.cc,
// NativeMessagingHostListPolicyHandler::CheckListEntry: a valid host name,
// or "*" in the blocklist; NativeMessagingUserLevelHosts is a
// SimplePolicyHandler of a boolean. chrome_messaging_delegate.cc,
// IsNativeMessagingHostAllowed, reads each pref only when
// IsManagedPreference: a recommended value counts for nothing.
NativeMessagingPolicies ReadNativeMessagingPolicies(const PolicyMap& mandatory, const PolicyMap& recommended,
                                                    std::vector<PolicyProblem>* problems) {
    NativeMessagingPolicies p;
    for (const char* name : {"NativeMessagingBlocklist", "NativeMessagingAllowlist", "NativeMessagingUserLevelHosts"}) {
        if (mandatory.Get(name) == nullptr && recommended.Get(name) != nullptr) {
            problems->push_back(
                {name, recommended.SourceOf(name), "is recommended: the browser takes this policy only as mandatory"});
        }
    }
    p.blocklist = ReadList(
        Find(mandatory, nullptr, "NativeMessagingBlocklist"), "NativeMessagingBlocklist",
        [](const std::string& s) { return s == "*" || IsValidHostName(s); }, "a host name or \"*\"", problems);
    p.allowlist = ReadList(Find(mandatory, nullptr, "NativeMessagingAllowlist"), "NativeMessagingAllowlist",
                           IsValidHostName, "a host name", problems);
    Found user = Find(mandatory, nullptr, "NativeMessagingUserLevelHosts");
    if (user.value != nullptr && user.value->IsBool()) {
        p.userLevelHosts = user.value->GetBool() ? 1 : 0;
        p.userLevelSource = user.source;
    } else if (user.value != nullptr) {
        problems->push_back({"NativeMessagingUserLevelHosts", user.source,
                             std::string("is ") + TypeName(*user.value) + ", not true or false"});
    }
    return p;
}

namespace {

bool IsIdOrWildcard(const std::string& s) { return s == "*" || IdIsValid(s); }

// Schema::Normalize with SCHEMA_ALLOW_UNKNOWN against ExtensionSettings'
// schema (policy_definitions/Extensions/ExtensionSettings.yaml): unknown keys
// are dropped, a known key of the wrong type or outside its enum makes the
// whole policy invalid.
enum class Scope { kDefault, kIndividual, kUpdateUrl };

bool StringList(const rapidjson::Value& v) {
    if (!v.IsArray()) return false;
    for (const auto& e : v.GetArray()) {
        if (!e.IsString()) return false;
    }
    return true;
}

bool InEnum(const rapidjson::Value& v, std::initializer_list<const char*> names) {
    if (!v.IsString()) return false;
    for (const char* n : names) {
        if (Str(v) == n) return true;
    }
    return false;
}

bool VersionPattern(const std::string& s) {
    // ^[0-9]+([.][0-9]+)*$
    bool digit = false;
    for (char c : s) {
        if (c >= '0' && c <= '9') {
            digit = true;
        } else if (c == '.' && digit) {
            digit = false;
        } else {
            return false;
        }
    }
    return digit;
}

bool ValidSettings(const rapidjson::Value& dict, Scope scope, std::string* why) {
    if (!dict.IsObject()) {
        *why = std::string("is ") + TypeName(dict) + ", not a dictionary";
        return false;
    }
    for (const auto& m : dict.GetObject()) {
        const std::string key = Str(m.name);
        const rapidjson::Value& v = m.value;
        bool ok = true;
        if (key == "installation_mode") {
            ok = scope == Scope::kIndividual
                     ? InEnum(v, {"blocked", "allowed", "force_installed", "normal_installed", "removed"})
                     : InEnum(v, {"blocked", "allowed", "removed"});
        } else if (key == "allowed_permissions" || key == "blocked_permissions") {
            ok = StringList(v);
        } else if (scope == Scope::kUpdateUrl) {
            continue;
        } else if (key == "runtime_allowed_hosts" || key == "runtime_blocked_hosts") {
            ok = StringList(v);
        } else if (key == "blocked_install_message") {
            ok = v.IsString();
        } else if (scope == Scope::kDefault) {
            if (key == "install_sources") ok = StringList(v);
            if (key == "allowed_types") {
                ok = v.IsArray();
                for (size_t i = 0; ok && i < v.Size(); ++i) {
                    ok = InEnum(
                        v[static_cast<rapidjson::SizeType>(i)],
                        {"extension", "theme", "user_script", "hosted_app", "legacy_packaged_app", "platform_app"});
                }
            }
        } else if (key == "update_url") {
            ok = v.IsString();
        } else if (key == "minimum_version_required") {
            ok = v.IsString() && VersionPattern(Str(v));
        } else if (key == "toolbar_pin") {
            ok = InEnum(v, {"force_pinned", "default_unpinned"});
        } else if (key == "file_url_navigation_allowed" || key == "override_update_url") {
            ok = v.IsBool();
        }
        if (!ok) {
            *why = "\"" + key + "\" has a value its schema does not allow";
            return false;
        }
    }
    return true;
}

// The id list pattern ^[a-p]{32}(?:,[a-p]{32})*,?$
bool IdListKey(const std::string& key) {
    size_t i = 0;
    while (i + 32 <= key.size()) {
        for (size_t k = i; k < i + 32; ++k) {
            if (key[k] < 'a' || key[k] > 'p') return false;
        }
        i += 32;
        if (i == key.size()) return true;
        if (key[i] != ',') return false;
        if (++i == key.size()) return true;
    }
    return false;
}

// policy_handlers.cc, IsValidUpdateUrl: a valid URL of http, https or file.
bool UpdateUrlAllowed(const std::string& url) {
    const std::string scheme = UrlScheme(url);
    return IsValidUrl(url) && (scheme == "http" || scheme == "https" || scheme == "file");
}

// base::SplitString(",", TRIM_WHITESPACE, SPLIT_WANT_NONEMPTY).
std::vector<std::string> SplitIds(const std::string& key) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= key.size()) {
        size_t comma = key.find(',', start);
        if (comma == std::string::npos) comma = key.size();
        std::string part = key.substr(start, comma - start);
        const char* ws = " \t\r\n\f\v";
        size_t b = part.find_first_not_of(ws), e = part.find_last_not_of(ws);
        if (b != std::string::npos) out.push_back(part.substr(b, e - b + 1));
        start = comma + 1;
    }
    return out;
}

// extension_management_internal.cc, IndividualSettings::Parse, for what
// decides whether an extension runs: the installation mode and the blocked
// permissions. False where Parse fails.
bool ParseSettings(const std::map<std::string, const rapidjson::Value*>& dict, Scope scope, const std::string& source,
                   IndividualSettings* s) {
    auto get = [&](const char* key) -> const rapidjson::Value* {
        auto it = dict.find(key);
        return it != dict.end() ? it->second : nullptr;
    };
    if (const rapidjson::Value* mode = get("installation_mode")) {
        const std::string m = mode->IsString() ? Str(*mode) : "";
        InstallMode parsed = m == "allowed"            ? InstallMode::kAllowed
                             : m == "blocked"          ? InstallMode::kBlocked
                             : m == "force_installed"  ? InstallMode::kForced
                             : m == "normal_installed" ? InstallMode::kRecommended
                                                       : InstallMode::kRemoved;
        if (parsed == InstallMode::kForced || parsed == InstallMode::kRecommended) {
            const rapidjson::Value* url = get("update_url");
            if (scope != Scope::kIndividual || url == nullptr || !url->IsString() || url->GetStringLength() == 0) {
                return false;
            }
            s->updateUrl = Str(*url);
        }
        s->mode = parsed;
        s->modePolicy = "ExtensionSettings";
        s->modeSource = source;
    }
    std::vector<std::string> blocked, allowed;
    if (const rapidjson::Value* list = get("allowed_permissions")) {
        for (const auto& e : list->GetArray()) allowed.push_back(Str(e));
    }
    if (const rapidjson::Value* list = get("blocked_permissions")) {
        for (const auto& e : list->GetArray()) blocked.push_back(Str(e));
        s->blockedPermissions.clear();
        for (const std::string& b : blocked) {
            if (!Contains(allowed, b)) s->blockedPermissions.push_back(b);
        }
        s->permissionsSource = source;
    }
    if (const rapidjson::Value* pin = get("toolbar_pin")) {
        if (!InEnum(*pin, {"force_pinned", "default_unpinned"})) return false;
    }
    return true;
}

// base::Value::Dict: one value per key, the last written, in key order.
std::map<std::string, const rapidjson::Value*> Dict(const rapidjson::Value& object) {
    std::map<std::string, const rapidjson::Value*> out;
    for (const auto& m : object.GetObject()) out[Str(m.name)] = &m.value;
    return out;
}

}  // namespace

// chrome/browser/extensions/policy_handlers.cc, the handlers, then
// extension_management.cc, ExtensionManagement::Refresh. Refresh reads the
// allowlist, forcelist and ExtensionSettings only when managed
// (LoadPreference's force_managed); the blocklist whatever level set it.
ExtensionPolicies ReadExtensionPolicies(const PolicyMap& mandatory, const PolicyMap& recommended,
                                        const std::string& storeUpdateUrl) {
    ExtensionPolicies out;
    out.storeUpdateUrl = storeUpdateUrl;
    std::vector<PolicyProblem>& problems = out.problems;
    for (const char* name : {"ExtensionInstallAllowlist", "ExtensionInstallForcelist", "ExtensionSettings",
                             "BlockExternalExtensions"}) {
        if (mandatory.Get(name) == nullptr && recommended.Get(name) != nullptr) {
            problems.push_back(
                {name, recommended.SourceOf(name), "is recommended: the browser takes this policy only as mandatory"});
        }
    }
    const ListPolicy block =
        ReadList(Find(mandatory, &recommended, "ExtensionInstallBlocklist"), "ExtensionInstallBlocklist",
                 IsIdOrWildcard, "an extension id or \"*\"", &problems);
    const ListPolicy allow = ReadList(Find(mandatory, nullptr, "ExtensionInstallAllowlist"),
                                      "ExtensionInstallAllowlist", IdIsValid, "an extension id", &problems);
    // ExtensionInstallForceListPolicyHandler::ParseList: "<id>" or
    // "<id>;<update URL>"; entries whose id or URL is invalid are dropped.
    const ListPolicy force = ReadList(
        Find(mandatory, nullptr, "ExtensionInstallForcelist"), "ExtensionInstallForcelist",
        [](const std::string& s) {
            size_t semi = s.find(';');
            return IdIsValid(s.substr(0, semi)) && (semi == std::string::npos || UpdateUrlAllowed(s.substr(semi + 1)));
        },
        "\"<extension id>\" or \"<extension id>;<update URL>\"", &problems);
    // ExtensionSettingsPolicyHandler: the schema, then SanitizePolicySettings
    // drops the entries that install an extension without a usable update_url.
    std::map<std::string, const rapidjson::Value*> settings;
    std::string settingsSource;
    Found s = Find(mandatory, nullptr, "ExtensionSettings");
    if (s.value != nullptr) {
        std::string why;
        bool valid = s.value->IsObject();
        if (!valid) why = std::string("is ") + TypeName(*s.value) + ", not a dictionary";
        if (valid) {
            settings = Dict(*s.value);
            for (auto it = settings.begin(); valid && it != settings.end();) {
                const std::string& key = it->first;
                Scope scope = key == "*"                               ? Scope::kDefault
                              : key.compare(0, 11, "update_url:") == 0 ? Scope::kUpdateUrl
                              : IdListKey(key)                         ? Scope::kIndividual
                                                                       : Scope::kDefault;
                if (key != "*" && scope == Scope::kDefault) {
                    problems.push_back({"ExtensionSettings", s.source,
                                        "key \"" + key + "\" is neither \"*\", extension ids nor update_url:..."});
                    it = settings.erase(it);
                    continue;
                }
                if (!ValidSettings(*it->second, scope, &why)) {
                    why = "\"" + key + "\" " + why;
                    valid = false;
                    break;
                }
                if (scope == Scope::kIndividual) {
                    const rapidjson::Value& d = *it->second;
                    auto mode = d.FindMember("installation_mode");
                    auto url = d.FindMember("update_url");
                    const bool installs = mode != d.MemberEnd() && (Str(mode->value) == "force_installed" ||
                                                                    Str(mode->value) == "normal_installed");
                    if (installs && (url == d.MemberEnd() || !UpdateUrlAllowed(Str(url->value)))) {
                        problems.push_back({"ExtensionSettings", s.source,
                                            "\"" + key +
                                                "\" installs an extension without a valid update_url: "
                                                "the entry is dropped"});
                        it = settings.erase(it);
                        continue;
                    }
                }
                ++it;
            }
        }
        if (!valid) {
            problems.push_back({"ExtensionSettings", s.source, why + ": the whole policy is dropped"});
            settings.clear();
        } else {
            settingsSource = s.source;
        }
    }
    // ExtensionAllowedTypesPolicyHandler, a StringMappingListPolicyHandler:
    // names it does not know are dropped, the rest restrict the types.
    auto isType = [](const std::string& t) {
        for (const char* k : {"extension", "theme", "user_script", "hosted_app", "legacy_packaged_app", "platform_app"}) {
            if (t == k) return true;
        }
        return false;
    };
    const ListPolicy types = ReadList(Find(mandatory, nullptr, "ExtensionAllowedTypes"), "ExtensionAllowedTypes", isType,
                                      "an extension type", &problems);
    if (types.set) {
        out.restrictedTypes = true;
        out.allowedTypes = types.entries;
        out.typesPolicy = "ExtensionAllowedTypes";
        out.typesSource = types.source;
    }
    out.any = block.set || allow.set || force.set || types.set || !settingsSource.empty();

    // external_provider_impl.cc, CreateExternalProviders: with
    // BlockExternalExtensions (a SimplePolicyHandler of a boolean, not
    // recommendable) no external loader is made at all.
    Found external = Find(mandatory, nullptr, "BlockExternalExtensions");
    if (external.value != nullptr && external.value->IsBool()) {
        out.blockExternal = external.value->GetBool();
        out.blockExternalSource = external.source;
    } else if (external.value != nullptr) {
        problems.push_back({"BlockExternalExtensions", external.source,
                            std::string("is ") + TypeName(*external.value) + ", not true or false"});
    }

    // Refresh: a "*" in the blocklist blocks by default; "*" of
    // ExtensionSettings then parses over that, and a parse failure resets it.
    IndividualSettings& defaults = out.defaults;
    if (Contains(block.entries, "*")) {
        defaults.mode = InstallMode::kBlocked;
        defaults.modePolicy = "ExtensionInstallBlocklist";
        defaults.modeSource = block.source;
    }
    auto star = settings.find("*");
    if (star != settings.end() && !ParseSettings(Dict(*star->second), Scope::kDefault, settingsSource, &defaults)) {
        defaults = IndividualSettings();
    }
    // Refresh: "allowed_types" of "*" replaces ExtensionAllowedTypes.
    if (star != settings.end() && star->second->IsObject()) {
        auto t = star->second->FindMember("allowed_types");
        if (t != star->second->MemberEnd() && t->value.IsArray()) {
            out.restrictedTypes = true;
            out.allowedTypes.clear();
            for (const auto& e : t->value.GetArray()) out.allowedTypes.push_back(Str(e));
            out.typesPolicy = "ExtensionSettings";
            out.typesSource = settingsSource;
        }
    }
    // AccessById: a new entry starts as a copy of the defaults. The
    // blocklist comes after the allowlist, the forcelist after both.
    auto byId = [&](const std::string& id) -> IndividualSettings& {
        auto it = out.byId.find(id);
        if (it == out.byId.end()) it = out.byId.emplace(id, defaults).first;
        return it->second;
    };
    auto setMode = [&](const std::string& id, InstallMode mode, const char* policy, const std::string& source) {
        IndividualSettings& s = byId(id);
        s.mode = mode;
        s.modePolicy = policy;
        s.modeSource = source;
    };
    for (const std::string& id : allow.entries)
        setMode(id, InstallMode::kAllowed, "ExtensionInstallAllowlist", allow.source);
    for (const std::string& id : block.entries) {
        if (id != "*") setMode(id, InstallMode::kBlocked, "ExtensionInstallBlocklist", block.source);
    }
    // ExtensionManagement::UpdateForcedExtensions: the entry's URL, or the
    // store's for an id alone (ParseList).
    for (const std::string& entry : force.entries) {
        const size_t semi = entry.find(';');
        const std::string id = entry.substr(0, semi);
        setMode(id, InstallMode::kForced, "ExtensionInstallForcelist", force.source);
        byId(id).updateUrl = semi == std::string::npos ? storeUpdateUrl : entry.substr(semi + 1);
    }
    for (const auto& kv : settings) {
        if (kv.first == "*") continue;
        if (kv.first.compare(0, 11, "update_url:") == 0) {
            IndividualSettings byUrl = defaults;
            if (ParseSettings(Dict(*kv.second), Scope::kUpdateUrl, settingsSource, &byUrl)) {
                out.byUpdateUrl[kv.first.substr(11)] = byUrl;
            }
            continue;
        }
        for (const std::string& id : SplitIds(kv.first)) {
            if (!IdIsValid(id)) continue;
            // ParseById: settings that fail to parse are erased, whatever the
            // legacy lists had set for the id.
            if (!ParseSettings(Dict(*kv.second), Scope::kIndividual, settingsSource, &byId(id))) {
                problems.push_back(
                    {"ExtensionSettings", settingsSource, "the settings of " + id + " are malformed and dropped"});
                out.byId.erase(id);
            }
        }
    }
    return out;
}

// StandardManagementPolicyProvider::UserMayLoad and UserMayInstall
// (standard_management_policy_provider.cc): blocked or removed, it does not
// load. extensions/browser/unpacked_installer.cc, IsLoadingUnpackedAllowed:
// while extensions are blocked by default
// (ExtensionManagement::BlocklistedByDefault), no unpacked one loads, even
// one the allowlist names.
// PermissionsBasedManagementPolicyProvider::UserMayLoad: a blocked permission
// the extension requires keeps it out; ours requires nativeMessaging.
ExtensionPolicyVerdict JudgeExtension(const ExtensionPolicies& policies, const std::string& id, ExtensionKind kind) {
    // The policy that keeps the extension out, and why.
    auto refused = [](const std::string& policy, const std::string& source, const std::string& why,
                      const std::string& fix) {
        ExtensionPolicyVerdict v;
        v.runs = false;
        v.policy = policy;
        v.source = source;
        v.why = why;
        v.fix = fix;
        return v;
    };
    // UserMayLoad, first: ExtensionManagement::IsAllowedManifestType. Ours
    // is of TYPE_EXTENSION.
    if (policies.restrictedTypes && !Contains(policies.allowedTypes, "extension")) {
        return refused(policies.typesPolicy, policies.typesSource, "allows no extension of the type \"extension\"",
                       "add \"extension\" to the allowed types in " + policies.typesPolicy);
    }
    const IndividualSettings& d = policies.defaults;
    const bool blockedByDefault = d.mode == InstallMode::kBlocked || d.mode == InstallMode::kRemoved;
    if (kind == ExtensionKind::kUnpacked && blockedByDefault) {
        return refused(d.modePolicy, d.modeSource,
                       "blocks every extension by default, and then no unpacked extension loads, listed or not",
                       "install the extension from the store or by policy, or unblock extensions by default in " +
                           d.modePolicy);
    }
    // ExtensionManagement::GetInstallationMode: the id's settings, else those
    // of its update URL, else the defaults.
    const IndividualSettings* s = &d;
    auto it = policies.byId.find(id);
    if (it != policies.byId.end()) {
        s = &it->second;
    } else if (kind == ExtensionKind::kFromStore) {
        auto u = policies.byUpdateUrl.find(policies.storeUpdateUrl);
        if (u != policies.byUpdateUrl.end()) s = &u->second;
    }
    // UserMayInstall, which loading unpacked goes through: a force-installed
    // id may come only from its policy, never from a folder.
    if (kind == ExtensionKind::kUnpacked && s->mode == InstallMode::kForced) {
        return refused(s->modePolicy, s->modeSource,
                       "force-installs extension " + id + " from its update URL, so a copy loaded unpacked is refused",
                       "load it from the policy's update URL, or take " + id + " off " + s->modePolicy);
    }
    if (s->mode == InstallMode::kBlocked || s->mode == InstallMode::kRemoved) {
        return refused(s->modePolicy, s->modeSource,
                       std::string(s->mode == InstallMode::kBlocked ? "blocks" : "removes") + " extension " + id,
                       "allow " + id + " in " + s->modePolicy + (s == &d ? ", or by ExtensionInstallAllowlist" : ""));
    }
    if (Contains(s->blockedPermissions, "nativeMessaging")) {
        return refused("ExtensionSettings", s->permissionsSource,
                       "blocks the nativeMessaging permission of extension " + id + ", which it requires",
                       "add nativeMessaging to allowed_permissions of " + id + " in ExtensionSettings");
    }
    ExtensionPolicyVerdict v;
    v.policy = s->modePolicy;
    v.source = s->modeSource;
    v.why = s->mode == InstallMode::kForced || s->mode == InstallMode::kRecommended ? "installs extension " + id
            : s->modePolicy.empty()                                                ? "extension " + id + " is not blocked"
                                                                                   : "allows extension " + id;
    return v;
}
