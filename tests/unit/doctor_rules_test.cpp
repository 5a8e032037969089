// The doctor's rules without a file system: what a browser makes of names,
// origins, manifests and policies, and a report that stays valid JSON
// whatever bytes a path holds. Each table row is a rule of Chromium's whose
// source the rule's comment names; the real browser checks the same rules in
// tests/chromium/doctor_agreement_test.cpp.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <string>
#include <vector>

#include "bridge/contract.h"
#include "tools/doctor/report.h"
#include "tools/doctor/rules.h"

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
        {"two extensions, one allowed", false, {At("s", Manifest())}, kName, browser_says::kForbidden,
         {"OK registration.used", "OK manifest.fields", "OK manifest.origin", "FAIL manifest.origin", "OK program"}},
    };
    for (const Row& r : rows) {
        BrowserInputs in;
        in.browser = "chromium";
        in.shown = "Chromium";
        in.policy.blocklistSet = r.blockAll;
        if (r.blockAll) in.policy.blocklist = {"*"};
        in.registrations = r.registrations;
        in.judgeProgram = ProgramStarts;
        Report report;
        BrowserVerdict v = JudgeBrowser(in, r.name, {kRef, std::string(32, 'a')}, &report);
        std::vector<std::string> checks;
        for (const Check& c : report.checks) checks.push_back(std::string(StatusWord(c.status)) + " " + c.rule);
        EXPECT_EQ(v.browserSays, r.says) << r.what;
        EXPECT_EQ(checks, r.checks) << r.what;
    }
}

TEST(DoctorRulesTest, PolicyEntriesTheBrowserDrops) {
    rapidjson::Document doc;
    std::string why;
    ASSERT_TRUE(ParsePolicyJson("{\"NativeMessagingBlocklist\": [\"*\", \"Com.X\", 3],"
                                " \"NativeMessagingAllowlist\": [\"*\", \"" + kName + "\"],"
                                " \"NativeMessagingUserLevelHosts\": 0}",
                                &doc, &why))
        << why;
    NativeMessagingPolicy p;
    ReadPolicyDictionary(doc, "f", &p);
    EXPECT_EQ(p.blocklist, (std::vector<std::string>{"*"}));
    EXPECT_EQ(p.allowlist, (std::vector<std::string>{kName}));
    EXPECT_EQ(p.userLevelHosts, -1) << "a number is not a boolean policy";
    EXPECT_EQ(p.ignored.size(), 4u);
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
