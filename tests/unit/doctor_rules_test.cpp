// The doctor's rules without a file system: what a browser makes of names,
// origins, manifests and policies, and a report that stays valid JSON
// whatever bytes a path holds. Each table row is a rule of Chromium's whose
// source the rule's comment names; the real browser checks the same rules in
// tests/chromium/doctor_agreement_test.cpp.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "contract/contract.h"
#include "tools/doctor/policy.h"
#include "tools/doctor/report.h"
#include "tools/doctor/rules.h"
#include "tools/doctor/url_pattern.h"

namespace {

const std::string kName = HOST_REGISTERED_NAME;
const std::string kRef = REFERENCE_EXTENSION_ID;

TEST(DoctorRulesTest, HostNames) {
    struct Row {
        const char* name;
        bool valid;
    } rows[] = {{"com.orvendel.native_host", true}, {"a", true},         {"a_b.c9", true},  {"", false},
                {"com..bad", false},                 {".com.x", false},   {"com.x.", false}, {"Com.X", false},
                {"com-x", false},                    {"com.x/y", false},  {"*", false}};
    for (const Row& r : rows) EXPECT_EQ(IsValidHostName(r.name), r.valid) << r.name;
}

TEST(DoctorRulesTest, OriginPatterns) {
    struct Row {
        std::string pattern;
        bool valid;
        bool allowsRef;
    } rows[] = {
        {"chrome-extension://" + kRef + "/", true, true},
        {"chrome-extension://" + kRef + "/*", true, true},
        {"chrome-extension://" + kRef + "/any/path", true, true},
        {"CHROME-EXTENSION://" + kRef + "/", false, false},
        {"chrome-extension://not-an-id-xyz/", true, false},
        {"chrome-extension://" + std::string(32, 'a') + "/", true, false},
        {"chrome-extension://" + kRef, false, false},
        {"chrome-extension://*/", false, false},
        {"chrome-extension://*." + kRef + "/", false, false},
        {"chrome-extension://a*b/", false, false},
        {"<all_urls>", false, false},
        {"https://" + kRef + "/", false, false},
        {"chrome-extension:" + kRef + "/", false, false},
        {"chrome-extension:///", false, false},
        {"chrome-extension://" + kRef + ":x/", false, false},
    };
    for (const Row& r : rows) {
        OriginPattern p = ParseOriginPattern(r.pattern);
        EXPECT_EQ(p.valid, r.valid) << r.pattern << ": " << p.error;
        EXPECT_EQ(OriginAllows(p, kRef), r.allowsRef) << r.pattern;
    }
}

TEST(DoctorRulesTest, ManifestJsonAsChromiumReadsIt) {
    struct Row {
        const char* what;
        std::string text;
        bool parses;
    } rows[] = {
        {"plain", "{\"a\": 1}", true},
        {"comments", "// x\n{ /* y */ \"a\": 1 // z\n}", true},
        {"a comment holding a quote", "{ /* \" */ \"a\": \"b\" }", true},
        {"raw line break in a string", "{\"a\": \"x\ny\"}", true},
        {"\\x escape", "{\"a\": \"\\x41\"}", true},
        {"byte order mark", "\xEF\xBB\xBF{\"a\": 1}", true},
        {"trailing comma", "{\"a\": 1,}", false},
        {"not an object", "[1]", false},
        {"invalid UTF-8", "{\"a\": \"\xC3\x28\"}", false},
        {"cut short", "{\"a\": ", false},
        {"text after the object", "{\"a\": 1} x", false},
    };
    for (const Row& r : rows) {
        rapidjson::Document doc;
        std::string why;
        EXPECT_EQ(ParseManifestJson(r.text, &doc, &why), r.parses) << r.what << ": " << why;
    }
    rapidjson::Document doc;
    std::string why;
    ASSERT_TRUE(ParseManifestJson("{\"a\": \"\\x41\nB\"}", &doc, &why)) << why;
    EXPECT_STREQ(doc["a"].GetString(), "A\nB");
    EXPECT_TRUE(ParsePolicyJson("{\"a\": [1,],}", &doc, &why)) << why;
    EXPECT_TRUE(ParsePolicyJson("// x\n{}", &doc, &why)) << why;
    EXPECT_FALSE(ParsePolicyJson("[]", &doc, &why));
}

ProgramVerdict ProgramStarts(const std::string&, const std::string& path) {
    ProgramVerdict v;
    v.text = "program " + path;
    return v;
}

std::string Manifest(const std::string& extra = std::string()) {
    return "{\"name\": \"" + kName + "\", \"description\": \"d\", \"path\": \"/h\", \"type\": \"stdio\", " +
           "\"allowed_origins\": [\"chrome-extension://" + kRef + "/\"]" + extra + "}";
}

Registration At(const std::string& where, const std::string& text, bool user = false) {
    Registration r;
    r.where = where;
    r.manifestPath = where;
    r.userLevel = user;
    r.readable = true;
    r.text = text;
    return r;
}

// What the real browser cannot be asked here: the policy comes before the
// name, and a manifest with every field wrong lists each one.
TEST(DoctorRulesTest, BrowserVerdicts) {
    struct Row {
        const char* what;
        bool blockAll;
        std::vector<Registration> registrations;
        std::string name;
        std::string says;
        std::vector<std::string> checks;
    };
    std::vector<Row> rows = {
        {"blocked before an invalid name", true, {}, "Com.X", browser_says::kBlocked, {"FAIL policy.blocklist"}},
        {"every field missing", false, {At("s", "{}")}, kName, browser_says::kNotFound,
         {"OK registration.used", "FAIL manifest.name", "FAIL manifest.description", "FAIL manifest.type",
          "FAIL manifest.path", "FAIL manifest.allowed_origins"}},
        {"two extensions, the first allowed", false, {At("s", Manifest())}, kName, "",
         {"OK registration.used", "OK manifest.fields", "OK manifest.origin", "FAIL manifest.origin", "OK program"}},
    };
    for (const Row& r : rows) {
        BrowserInputs in;
        in.browser = "chromium";
        in.shown = "Chromium";
        rapidjson::Document all;
        all.Parse("[\"*\"]");
        if (r.blockAll) in.policies.Set("NativeMessagingBlocklist", all, "f");
        in.registrations = r.registrations;
        in.judgeProgram = ProgramStarts;
        Report report;
        BrowserVerdict v = JudgeBrowser(in, r.name, {kRef, std::string(32, 'a')}, &report);
        std::vector<std::string> checks;
        for (const Check& c : report.checks) checks.push_back(std::string(StatusWord(c.status)) + " " + c.rule);
        EXPECT_EQ(v.First().browserSays, r.says) << r.what;
        EXPECT_EQ(checks, r.checks) << r.what;
    }
}

#ifndef _WIN32  // the policy folders are the Linux browsers'; Windows' come from the registry
// Policy files as the loader finds them, through the handlers to one verdict
// per extension: the merged mandatory map ("name=value@file", in name order),
// the policy checks, and per id "starts", the text the extension is told, or
// "never runs", each with the source that decided it.
TEST(DoctorRulesTest, PolicyFoldersToVerdicts) {
    const std::string other(32, 'a');
    const std::string origins = ", \"allowed_origins\": [\"chrome-extension://" + kRef + "/\", \"chrome-extension://" +
                                other + "/\"]";
    struct Row {
        const char* what;
        std::vector<std::pair<std::string, std::string>> files;  // path -> text; "/" makes a folder
        bool unpacked;
        std::vector<std::string> merged;
        std::vector<std::string> checks;
        std::vector<std::string> verdicts;  // kRef's, then the other id's
    };
    const std::string blocked = std::string(browser_says::kBlocked);
    std::vector<Row> rows = {
        {"the last file in name order wins",
         {{"managed/10.json", "{\"NativeMessagingBlocklist\": [\"*\"]}"},
          {"managed/20.json", "{\"NativeMessagingBlocklist\": [\"com.example.other\"],}"}},
         false,
         {"NativeMessagingBlocklist=[\"com.example.other\"]@managed/20.json"},
         {"OK policy.blocklist"},
         {"starts", "starts"}},
        {"a later file's badly typed value wins the merge, and the handler leaves the policy unset",
         {{"managed/10.json", "{\"NativeMessagingBlocklist\": [\"*\"]}"},
          {"managed/20.json", "{\"NativeMessagingBlocklist\": \"*\"}"}},
         false,
         {"NativeMessagingBlocklist=\"*\"@managed/20.json"},
         {"WARN policy.ignored"},
         {"starts", "starts"}},
        {"hidden files are read, folders and files that are no JSON dictionary are not",
         {{"managed/.old.json", "{\"NativeMessagingBlocklist\": [\"*\"], \"3rdparty\": {}}"},
          {"managed/a.json/", ""},
          {"managed/b.json", "[\"NativeMessagingBlocklist\"]"},
          {"managed/c.json", "{\"NativeMessagingAllowlist\": [\"" + kName + "\""}},
         false,
         {"NativeMessagingBlocklist=[\"*\"]@managed/.old.json"},
         {"WARN policy.ignored", "WARN policy.ignored", "FAIL policy.blocklist"},
         {blocked + " [managed/.old.json]", blocked + " [managed/.old.json]"}},
        {"a key repeated in one file keeps its last value; entries that are no host name are dropped",
         {{"managed/a.json", "{\"NativeMessagingBlocklist\": [\"*\"], \"NativeMessagingBlocklist\": [\"Com.X\", 3]}"}},
         false,
         {"NativeMessagingBlocklist=[\"Com.X\",3]@managed/a.json"},
         {"WARN policy.ignored", "WARN policy.ignored", "OK policy.blocklist"},
         {"starts", "starts"}},
        {"the blocklist decides, not the allowlist's later file",
         {{"managed/10.json", "{\"NativeMessagingBlocklist\": [\"" + kName + "\"]}"},
          {"managed/20.json", "{\"NativeMessagingAllowlist\": [\"*\"], \"NativeMessagingUserLevelHosts\": 0}"}},
         false,
         {"NativeMessagingAllowlist=[\"*\"]@managed/20.json", "NativeMessagingBlocklist=[\"" + kName + "\"]@managed/10.json",
          "NativeMessagingUserLevelHosts=0@managed/20.json"},
         {"WARN policy.ignored", "WARN policy.ignored", "FAIL policy.blocklist"},
         {blocked + " [managed/10.json]", blocked + " [managed/10.json]"}},
        {"a recommended native messaging policy counts for nothing",
         {{"managed/z.json", "{\"NativeMessagingBlocklist\": [\"com.example.other\"]}"},
          {"recommended/a.json", "{\"NativeMessagingBlocklist\": [\"*\"], \"NativeMessagingUserLevelHosts\": false}"}},
         false,
         {"NativeMessagingBlocklist=[\"com.example.other\"]@managed/z.json"},
         {"WARN policy.ignored", "OK policy.blocklist"},
         {"starts", "starts"}},
        {"ExtensionInstallBlocklist [\"*\"]: no extension runs",
         {{"managed/x.json", "{\"ExtensionInstallBlocklist\": [\"*\"]}"}},
         true,
         {"ExtensionInstallBlocklist=[\"*\"]@managed/x.json"},
         {"FAIL extension.policy", "FAIL extension.policy"},
         {"never runs [managed/x.json]", "never runs [managed/x.json]"}},
        {"the allowlist lets a store extension run past \"*\", never an unpacked one",
         {{"managed/x.json", "{\"ExtensionInstallBlocklist\": [\"*\"]}"},
          {"managed/y.json", "{\"ExtensionInstallAllowlist\": [\"" + kRef + "\"]}"}},
         false,
         {"ExtensionInstallAllowlist=[\"" + kRef + "\"]@managed/y.json", "ExtensionInstallBlocklist=[\"*\"]@managed/x.json"},
         {"WARN extension.policy", "FAIL extension.policy"},
         {"starts", "never runs [managed/x.json]"}},
        {"an id on both lists is blocked; a recommended blocklist counts, a recommended allowlist does not",
         {{"managed/x.json", "{\"ExtensionInstallAllowlist\": [\"" + kRef + "\"]}"},
          {"recommended/y.json", "{\"ExtensionInstallBlocklist\": [\"" + kRef + "\"], \"ExtensionSettings\": {}}"}},
         false,
         {"ExtensionInstallAllowlist=[\"" + kRef + "\"]@managed/x.json"},
         {"FAIL extension.policy", "OK extension.policy", "WARN policy.ignored"},
         {"never runs [recommended/y.json]", "starts"}},
        {"ExtensionSettings: the defaults block, the id's own settings allow",
         {{"managed/s.json", "{\"ExtensionSettings\": {\"*\": {\"installation_mode\": \"blocked\"}, \"" + kRef +
                                 "\": {\"installation_mode\": \"allowed\"}, \"not-an-id\": 1}}"}},
         false,
         {"ExtensionSettings={\"*\":{\"installation_mode\":\"blocked\"},\"" + kRef +
          "\":{\"installation_mode\":\"allowed\"},\"not-an-id\":1}@managed/s.json"},
         {"WARN extension.policy", "FAIL extension.policy", "WARN policy.ignored"},
         {"starts", "never runs [managed/s.json]"}},
        {"ExtensionSettings: one value outside the schema drops the whole policy",
         {{"managed/s.json", "{\"ExtensionSettings\": {\"*\": {\"installation_mode\": \"blocked\"}, \"" + kRef +
                                 "\": {\"installation_mode\": \"block\"}}}"}},
         true,
         {"ExtensionSettings={\"*\":{\"installation_mode\":\"blocked\"},\"" + kRef +
          "\":{\"installation_mode\":\"block\"}}@managed/s.json"},
         {"WARN policy.ignored"},
         {"starts", "starts"}},
        {"ExtensionSettings: a blocked nativeMessaging permission keeps the extension out; force_installed without "
         "update_url is dropped",
         {{"managed/s.json", "{\"ExtensionSettings\": {\"" + kRef + "\": {\"blocked_permissions\": [\"nativeMessaging\"]}, \"" +
                                 other + "\": {\"installation_mode\": \"force_installed\"}}}"}},
         false,
         // base::Value::Dict orders keys by their bytes.
         {"ExtensionSettings={\"" + other + "\":{\"installation_mode\":\"force_installed\"},\"" + kRef +
          "\":{\"blocked_permissions\":[\"nativeMessaging\"]}}@managed/s.json"},
         {"FAIL extension.policy", "OK extension.policy", "WARN policy.ignored"},
         {"never runs [managed/s.json]", "starts"}},
        // ExtensionManagement::GetForceInstallList / GetRecommendedInstallList.
        {"the forcelist installs from the entry's URL, or from the store for an id alone",
         {{"managed/f.json", "{\"ExtensionInstallForcelist\": [\"" + kRef + ";https://example.com/u.xml\", \"" + other + "\"]}"}},
         false,
         {"ExtensionInstallForcelist=[\"" + kRef + ";https://example.com/u.xml\",\"" + other + "\"]@managed/f.json"},
         {"OK extension.policy", "OK extension.policy"},
         {"starts {policy force_installed ExtensionInstallForcelist@managed/f.json https://example.com/u.xml}",
          "starts {policy force_installed ExtensionInstallForcelist@managed/f.json " +
              std::string(kChromeWebstoreUpdateUrl) + "}"}},
        {"normal_installed installs; \"allowed\" in ExtensionSettings undoes a forcelist entry; an entry with an "
         "invalid URL is dropped; BlockExternalExtensions is not recommendable",
         {{"managed/f.json", "{\"ExtensionInstallForcelist\": [\"" + kRef + ";https://\", \"" + other +
                                 "\"], \"ExtensionSettings\": {\"" + kRef +
                                 "\": {\"installation_mode\": \"normal_installed\", \"update_url\": \"https://e.com/u\"}, \"" +
                                 other + "\": {\"installation_mode\": \"allowed\"}}}"},
          {"recommended/b.json", "{\"BlockExternalExtensions\": true}"}},
         false,
         {"ExtensionInstallForcelist=[\"" + kRef + ";https://\",\"" + other + "\"]@managed/f.json",
          "ExtensionSettings={\"" + other + "\":{\"installation_mode\":\"allowed\"},\"" + kRef +
              "\":{\"installation_mode\":\"normal_installed\",\"update_url\":\"https://e.com/u\"}}@managed/f.json"},
         {"OK extension.policy", "OK extension.policy", "WARN policy.ignored", "WARN policy.ignored"},
         {"starts {policy normal_installed ExtensionSettings@managed/f.json https://e.com/u}", "starts"}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        char folder[] = "/tmp/orv-doctor-policy-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        const std::string root = folder;
        for (const auto& f : r.files) {
            const std::string path = root + "/" + f.first;
            std::filesystem::create_directories(std::filesystem::path(path).parent_path());
            if (path.back() == '/') {
                std::filesystem::create_directories(path);
                continue;
            }
            std::ofstream(path, std::ios::binary) << f.second;
        }
        BrowserInputs in;
        in.browser = "chromium";
        in.shown = "Chromium";
        LoadPolicyFolders(root, &in.policies, &in.recommended);
        in.unpacked = r.unpacked;
        in.registrations = {At("s", Manifest(origins))};
        in.judgeProgram = ProgramStarts;
        auto shown = [&](const std::string& source) {
            return source.compare(0, root.size() + 1, root + "/") == 0 ? source.substr(root.size() + 1) : source;
        };
        std::vector<std::string> merged;
        for (const auto& m : in.policies.values.GetObject()) {
            rapidjson::StringBuffer buffer;
            rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
            m.value.Accept(w);
            merged.push_back(std::string(m.name.GetString()) + "=" + buffer.GetString() + "@" +
                             shown(in.policies.SourceOf(m.name.GetString())));
        }
        std::sort(merged.begin(), merged.end());
        Report report;
        BrowserVerdict v = JudgeBrowser(in, kName, {kRef, other}, &report);
        std::vector<std::string> checks, verdicts;
        for (const Check& c : report.checks) {
            if (c.area == "policy") checks.push_back(std::string(StatusWord(c.status)) + " " + c.rule);
        }
        for (const ExtensionVerdict& e : v.extensions) {
            std::string said = !e.runs ? "never runs" : e.browserSays.empty() ? "starts" : e.browserSays;
            verdicts.push_back(said + (e.decidedBy.empty() ? "" : " [" + shown(e.decidedBy) + "]") +
                               (e.installedBy.empty() ? ""
                                                      : " {" + e.installedBy + " " + e.installMode + " " + e.installPolicy +
                                                            "@" + shown(e.installSource) + " " + e.installUpdateUrl + "}"));
        }
        EXPECT_EQ(merged, r.merged);
        EXPECT_EQ(checks, r.checks);
        EXPECT_EQ(verdicts, r.verdicts);
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
}
#endif

// url/gurl.cc, GURL::is_valid, for update URLs.
TEST(DoctorRulesTest, UpdateUrls) {
    struct Row {
        const char* url;
        bool valid;
    } rows[] = {{kChromeWebstoreUpdateUrl, true},   {"HTTPS://Example.COM:443/x", true}, {" http:example.com ", true},
                {"file:///C:/crx/u.xml", true},        {"urn:anything", true},              {"https://", false},
                {"https://ex ample.com/", true},       {"https://ex<ample.com/", false},   {"https://a.com:65536/", false},
                {"https://user@:80/", false},          {"example.com/u.xml", false},        {"1http://a.com/", false},
                {"https://[::1]:8080/", true},         {"", false}};
    for (const Row& r : rows) EXPECT_EQ(IsValidUrl(r.url), r.valid) << r.url;
}

// An offer in the browser's external-extension keys, and the policies
// around it: one verdict per id, "runs/installed_by mode source url", and
// the checks, in order.
TEST(DoctorRulesTest, OffersToVerdicts) {
    const std::string key = "HKLM\\SOFTWARE\\WOW6432Node\\Google\\Chrome\\Extensions\\" + kRef;
    auto offer = [&](const std::string& url, const std::string& problem = std::string()) {
        ExternalOffer o;
        o.name = o.id = kRef;
        o.where = key;
        o.updateUrl = url;
        o.problem = problem;
        return o;
    };
    const std::string store = kChromeWebstoreUpdateUrl, own = "https://example.com/u.xml";
    struct Row {
        const char* what;
        std::vector<ExternalOffer> offers;
        std::string policies;  // JSON: the mandatory policies, from "P"
        bool managed;
        std::string verdict;
        std::vector<std::string> checks;
    };
    std::vector<Row> rows = {
        {"offered from the store", {offer(store)}, "{}", false, "runs/registry offered " + key + " " + store,
         {"OK extension.offer"}},
        {"offered from elsewhere: Chrome keeps it off", {offer(own)}, "{}", false,
         "runs/registry offered " + key + " " + own, {"WARN extension.offer"}},
        {"offered from elsewhere, allowed by policy", {offer(own)}, "{\"ExtensionInstallAllowlist\": [\"" + kRef + "\"]}",
         false, "runs/registry offered " + key + " " + own, {"OK extension.offer", "OK extension.policy"}},
        {"an offer passed over", {offer("", "its update_url \"\" is not a valid URL")}, "{}", false, "runs/",
         {"WARN extension.offer"}},
        {"BlockExternalExtensions: no offer is read", {offer(store)}, "{\"BlockExternalExtensions\": true}", false,
         "runs/", {"WARN extension.offer"}},
        {"offered and blocked", {offer(store)}, "{\"ExtensionInstallBlocklist\": [\"" + kRef + "\"]}", false,
         "never/registry offered " + key + " " + store, {"WARN extension.offer", "FAIL extension.policy"}},
        {"offered and force-installed: the policy outranks the offer", {offer(store)},
         "{\"ExtensionInstallForcelist\": [\"" + kRef + "\"]}", false,
         "runs/policy force_installed P " + store, {"OK extension.offer", "OK extension.policy"}},
        {"force-installed from elsewhere on a machine in no domain", {},
         "{\"ExtensionInstallForcelist\": [\"" + kRef + ";" + own + "\"]}", false, "runs/policy force_installed P " + own,
         {"WARN extension.policy"}},
        {"force-installed from elsewhere in a domain", {}, "{\"ExtensionInstallForcelist\": [\"" + kRef + ";" + own + "\"]}",
         true, "runs/policy force_installed P " + own, {"OK extension.policy"}},
    };
    for (const Row& r : rows) {
        BrowserInputs in;
        in.browser = "chrome";
        in.shown = "Chrome";
        rapidjson::Document doc;
        doc.Parse(r.policies.c_str());
        for (const auto& m : doc.GetObject()) in.policies.Set(m.name.GetString(), m.value, "P");
        in.offers = r.offers;
        in.storeRules = in.verifiesStore = true;
        in.managedMachine = r.managed;
        in.registrations = {At("s", Manifest())};
        in.judgeProgram = ProgramStarts;
        Report report;
        BrowserVerdict v = JudgeBrowser(in, kName, {kRef}, &report);
        std::vector<std::string> checks;
        for (const Check& c : report.checks) {
            if (c.extensionId == kRef && c.rule != "manifest.origin") {
                checks.push_back(std::string(StatusWord(c.status)) + " " + c.rule);
            }
        }
        const ExtensionVerdict& e = v.First();
        std::string verdict = std::string(e.runs ? "runs" : "never") + "/" + e.installedBy;
        if (!e.installedBy.empty()) verdict += " " + e.installMode + " " + e.installSource + " " + e.installUpdateUrl;
        EXPECT_EQ(verdict, r.verdict) << r.what;
        EXPECT_EQ(checks, r.checks) << r.what;
    }
}

TEST(DoctorRulesTest, ReportJsonIsValidWhateverTheBytes) {
    const std::string bytes[] = {"plain", "caf\xC3\xA9", "\xFF\xFE", "\xC3", "\xED\xA0\x80", "\xC0\xAF", "a\"b\\c\n\x01",
                                 std::string("nul\0in", 6)};
    for (const std::string& b : bytes) {
        Report report;
        report.name = b;
        report.Add(Status::kFail, "manifest", "manifest.json", "chromium", b, b, browser_says::kNotFound);
        std::string json = ReportJson(report, "1");
        rapidjson::Document doc;
        doc.Parse<rapidjson::kParseValidateEncodingFlag>(json.c_str(), json.size());
        ASSERT_FALSE(doc.HasParseError()) << json;
        EXPECT_EQ(std::string(doc["checks"][0]["text"].GetString(), doc["checks"][0]["text"].GetStringLength()),
                  ValidUtf8(b));
    }
    EXPECT_EQ(ValidUtf8("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(ValidUtf8("\xFF" "a"), "\xEF\xBF\xBD" "a");
}

}  // namespace
