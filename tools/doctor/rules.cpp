#include "tools/doctor/rules.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "tools/doctor/json_reader.h"

#include "tools/doctor/policy.h"

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
        report->Add(Status::kFail, "manifest", "manifest.read", b,
                    "cannot read " + where + (used.readWhy.empty() ? "" : ": " + used.readWhy),
                    "make it a manifest file every user may read",
                    used.readSays.empty() ? browser_says::kNotFound : used.readSays);
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
    const rapidjson::Value* description = FindKey(doc, "description");  // no copy: it may be huge
    if (description == nullptr || !description->IsString() || description->GetStringLength() == 0) {
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
            // Without ICU's UTS #46 mapping the doctor cannot tell which ASCII
            // host the browser makes of a non-ASCII one (a fullwidth letter
            // may become the id): it says so beside its verdict.
            for (const OriginPattern& p : patterns) {
                if (p.hostNeedsIdna) {
                    report->Add(Status::kWarn, "manifest", "manifest.origin_idna", b,
                                "an allowed_origins host in " + where +
                                    " is not ASCII: the browser maps it through IDNA, which the doctor does not, so it "
                                    "may name " + id + " after all",
                                "write the extension's id in plain letters a-p");
                    report->checks.back().extensionId = id;
                    break;
                }
            }
            report->Add(Status::kFail, "manifest", "manifest.origin", b,
                        "extension " + id + " is not in allowed_origins of " + where,
                        "add \"chrome-extension://" + id + "/\" to allowed_origins", browser_says::kForbidden);
        }
        report->checks.back().extensionId = id;
    }
    return anyAllowed;
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// The browser's external-extension offers of one id (Windows: its
// Extensions registry keys), as ExtensionService meets them: passed over,
// not read at all, outranked by a policy's install, kept out by policy, or
// installed turned off until the user turns it on
// (external_install_manager.cc, ExternalInstallManager::IsPromptingEnabled:
// FeatureSwitch prompt_for_external_extensions, on for Windows and Mac).
void JudgeOffers(const BrowserInputs& in, const ExtensionPolicies& policies, const std::string& id,
                 const ExtensionPolicyVerdict& fromStore, ExtensionVerdict* install, Report* report) {
    const std::string& b = in.browser;
    for (const ExternalOffer& offer : in.offers) {
        if (offer.id != id) continue;
        const std::string from =
            offer.crxPath.empty() ? "update_url " + offer.updateUrl : "the file " + offer.crxPath;
        if (!offer.problem.empty()) {
            report->Add(Status::kWarn, "registration", "extension.offer", b,
                        offer.where + " does not offer extension " + id + " to " + in.shown + ": " + offer.problem,
                        "write the offer as " + in.shown + " reads it, or remove the key");
        } else if (policies.blockExternal) {
            report->Add(Status::kWarn, "registration", "extension.offer", b,
                        "extension " + id + " is offered through " + offer.where + ", but BlockExternalExtensions in " +
                            policies.blockExternalSource + " keeps " + in.shown + " from reading any offer",
                        "force-install the extension by policy, or turn BlockExternalExtensions off");
        } else if (!install->installedBy.empty()) {
            // Manifest::GetHigherPriorityLocation: a policy's download
            // outranks an external one.
            report->Add(Status::kOk, "registration", "extension.offer", b,
                        "extension " + id + " is also offered through " + offer.where + ", which " +
                            install->installPolicy + " outranks");
        } else {
            install->installedBy = "registry";
            install->installMode = "offered";
            install->installSource = offer.where;
            install->installUpdateUrl = offer.updateUrl;
            // install_verifier.cc, InstallVerifier::MustRemainDisabled: an
            // extension that does not update from the store stays off unless
            // a policy allows its id (IsInstallationExplicitlyAllowed).
            auto s = policies.byId.find(id);
            const bool allowed = s != policies.byId.end() && s->second.mode == InstallMode::kAllowed;
            const bool unverified = in.verifiesStore && !allowed &&
                                    (!offer.crxPath.empty() || !SameIgnoringCase(offer.updateUrl, in.storeUpdateUrl));
            if (!fromStore.runs) {
                report->Add(Status::kWarn, "registration", "extension.offer", b,
                            "extension " + id + " is offered through " + offer.where + " (" + from + "), but " +
                                fromStore.policy + " in " + fromStore.source + " keeps it out");
            } else if (unverified) {
                report->Add(Status::kWarn, "registration", "extension.offer", b,
                            "extension " + id + " is offered through " + offer.where + " (" + from + "), but " +
                                in.shown + " keeps an extension that is not from its store turned off",
                            "offer it from " + in.storeUpdateUrl + ", or allow " + id +
                                " by ExtensionInstallAllowlist");
            } else {
                report->Add(Status::kOk, "registration", "extension.offer", b,
                            "extension " + id + " is offered through " + offer.where + " (" + from + "): " +
                                in.shown + " installs it turned off and asks the user to turn it on");
            }
        }
        report->checks.back().extensionId = id;
    }
}

}  // namespace

BrowserVerdict JudgeBrowser(const BrowserInputs& in, const std::string& name, const std::vector<std::string>& ids,
                            Report* report) {
    const std::string& b = in.browser;
    BrowserVerdict verdict;
    verdict.browser = b;
    verdict.checked = true;
    const size_t first = report->checks.size();
    std::map<std::string, ExtensionVerdict> installs;  // how each id is rolled out
    // Per extension, the first FAIL that concerns it: the browser stops there.
    auto finish = [&]() {
        for (const std::string& id : ids) {
            ExtensionVerdict e;
            e.id = id;
            for (size_t i = first; i < report->checks.size(); ++i) {
                const Check& c = report->checks[i];
                if (c.status != Status::kFail || (!c.extensionId.empty() && c.extensionId != id)) continue;
                e.runs = c.rule != "extension.policy";
                e.browserSays = c.browserSays;
                e.browserAlsoSays = c.browserAlsoSays;
                e.decidedBy = c.decidedBy;
                break;
            }
            const ExtensionVerdict& install = installs[id];
            e.installedBy = install.installedBy;
            e.installMode = install.installMode;
            e.installPolicy = install.installPolicy;
            e.installSource = install.installSource;
            e.installUpdateUrl = install.installUpdateUrl;
            verdict.extensions.push_back(e);
        }
        return verdict;
    };
    auto decided = [&](const std::string& source) { report->checks.back().decidedBy = source; };

    // The extension is loaded when the browser starts, long before it asks
    // for a host: a policy that keeps it out leaves nothing to ask. Before
    // that, the browser installs it if a policy or an offer says so.
    const ExtensionPolicies extensionPolicies = ReadExtensionPolicies(in.policies, in.recommended, in.storeUpdateUrl);
    std::vector<PolicyProblem> problems = extensionPolicies.problems;
    for (const ExternalOffer& offer : in.offers) {
        if (offer.id.empty()) {
            report->Add(Status::kWarn, "registration", "extension.offer", b,
                        offer.where + " offers nothing to " + in.shown + ": " + offer.problem,
                        "name the key by the extension's id");
        }
    }
    for (const std::string& id : ids) {
        ExtensionVerdict& install = installs[id];
        // ExtensionManagement::GetForceInstallList and GetRecommendedInstallList,
        // which ExternalPolicyLoader installs from: the id's final mode.
        auto settings = extensionPolicies.byId.find(id);
        if (settings != extensionPolicies.byId.end() &&
            (settings->second.mode == InstallMode::kForced || settings->second.mode == InstallMode::kRecommended)) {
            install.installedBy = "policy";
            install.installMode = settings->second.mode == InstallMode::kForced ? "force_installed" : "normal_installed";
            install.installPolicy = settings->second.modePolicy;
            install.installSource = settings->second.modeSource;
            install.installUpdateUrl = settings->second.updateUrl;
        }
        const ExtensionKind kind = in.unpacked ? ExtensionKind::kUnpacked : ExtensionKind::kFromStore;
        const ExtensionKind other = in.unpacked ? ExtensionKind::kFromStore : ExtensionKind::kUnpacked;
        const ExtensionPolicyVerdict v = JudgeExtension(extensionPolicies, id, kind);
        const ExtensionPolicyVerdict o = JudgeExtension(extensionPolicies, id, other);
        JudgeOffers(in, extensionPolicies, id, JudgeExtension(extensionPolicies, id, ExtensionKind::kFromStore),
                    &install, report);
        if (!extensionPolicies.any) continue;
        const std::string how = in.unpacked ? "loaded unpacked" : "installed from the store";
        const std::string otherHow = in.unpacked ? "installed from the store" : "loaded unpacked (--load-extension)";
        const std::string said = v.policy.empty() ? v.why : v.policy + " in " + v.source + " " + v.why;
        if (!v.runs) {
            report->Add(Status::kFail, "policy", "extension.policy", b,
                        said + ": extension " + id + " " + how + " never runs, so it never calls connectNative",
                        v.fix);
            decided(v.source);
        } else if (install.installedBy == "policy") {
            // policy_loader_win.cc, LoadChromePolicy: on a machine that is
            // not managed, FilterSensitivePolicies drops every entry that
            // installs from elsewhere than the store.
            const bool offStore = in.storeRules && !in.managedMachine &&
                                  !SameIgnoringCase(install.installUpdateUrl, in.storeUpdateUrl);
            const bool forced = install.installMode == "force_installed";
            report->Add(offStore ? Status::kWarn : Status::kOk, "policy", "extension.policy", b,
                        "extension " + id + " is " + (forced ? "force-installed" : "installed") + " by policy " +
                            install.installPolicy + " (" + install.installSource + ") from " +
                            install.installUpdateUrl +
                            (forced ? "" : ", normal_installed: the user may turn it off") +
                            (offStore ? "; " + in.shown +
                                            " takes an update URL other than its store's only on a managed machine "
                                            "(joined to a domain or to Azure AD, or enrolled in MDM or the browser's "
                                            "cloud management), and this one is not joined to a domain"
                                      : ""),
                        offStore ? "install from " + in.storeUpdateUrl + ", or manage this machine" : std::string());
        } else if (!o.runs) {
            report->Add(Status::kWarn, "policy", "extension.policy", b,
                        "extension " + id + " " + how + " runs, but " + otherHow + " it would not: " + o.policy +
                            " in " + o.source + " " + o.why,
                        std::string());
        } else {
            report->Add(Status::kOk, "policy", "extension.policy", b, said + " (" + how + ")");
        }
        report->checks.back().extensionId = id;
    }

    // chrome_messaging_delegate.cc, IsNativeMessagingHostAllowed, asked by
    // message_service.cc before any lookup: the blocklist (the name or "*")
    // blocks unless the allowlist names the host.
    const NativeMessagingPolicies policy = ReadNativeMessagingPolicies(in.policies, in.recommended, &problems);
    for (const std::string& why : in.policies.problems) {
        report->Add(Status::kWarn, "policy", "policy.ignored", b, why, "correct the file, or remove it");
    }
    for (const PolicyProblem& p : problems) {
        report->Add(Status::kWarn, "policy", "policy.ignored", b,
                    p.policy + " in " + p.source + " " + p.text + ": the browser ignores it",
                    "correct the policy, or remove it");
    }
    const bool listed = Contains(policy.blocklist.entries, name) || Contains(policy.blocklist.entries, "*");
    if (policy.blocklist.set && listed) {
        if (policy.allowlist.set && Contains(policy.allowlist.entries, name)) {
            report->Add(Status::kOk, "policy", "policy.allowlist", b,
                        "NativeMessagingBlocklist in " + policy.blocklist.source + " lists " + name +
                            ", and NativeMessagingAllowlist in " + policy.allowlist.source + " allows it");
        } else {
            report->Add(Status::kFail, "policy", "policy.blocklist", b,
                        "NativeMessagingBlocklist in " + policy.blocklist.source + " blocks " + name,
                        "add " + name + " to NativeMessagingAllowlist, or take it off the blocklist",
                        browser_says::kBlocked);
            decided(policy.blocklist.source);
            return finish();
        }
    } else if (policy.blocklist.set) {
        report->Add(Status::kOk, "policy", "policy.blocklist", b,
                    "NativeMessagingBlocklist in " + policy.blocklist.source + " does not list " + name);
    }
    const bool userLevel = policy.userLevelHosts != 0;
    if (!userLevel) {
        report->Add(Status::kOk, "policy", "policy.user_level_hosts", b,
                    "NativeMessagingUserLevelHosts is false in " + policy.userLevelSource + ": " + in.shown +
                        " reads the system's registrations only");
    }

    // native_process_launcher.cc, DoLaunchOnThreadPool: the name first.
    if (!IsValidHostName(name)) {
        report->Add(Status::kFail, "registration", "name.valid", b,
                    "\"" + name + "\" is not a valid host name: a-z, 0-9, '.' and '_', no dot first, last or doubled",
                    "ask for the host by its registered name", browser_says::kInvalidName);
        return finish();
    }

    const Registration* used = nullptr;
    bool policyHidUser = false;
    for (const Registration& r : in.registrations) {
        policyHidUser = policyHidUser || (!r.skipped && r.userLevel && !userLevel);
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
        if (policyHidUser) decided(policy.userLevelSource);
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
