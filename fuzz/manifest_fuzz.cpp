// Any bytes as a manifest and as a policy file: the reader must never fault
// nor recurse, what it gives must hold as Chromium's values hold (at most 199
// levels, each dictionary's keys unique and in byte order, strings UTF-8),
// a policy file's wider options must read a manifest's text the same, and the
// manifest's checks and the report must take whatever it gave.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <utility>
#include <vector>

#include "contract/contract.h"
#include "tools/doctor/json_reader.h"
#include "tools/doctor/report.h"
#include "tools/doctor/rules.h"
#include "fuzz/sanitizer_options.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "manifest_fuzz: %s\n", what);
    abort();
}

std::string Bytes(const rapidjson::Value& v) { return std::string(v.GetString(), v.GetStringLength()); }

void CheckValues(const rapidjson::Value& root) {
    std::vector<std::pair<const rapidjson::Value*, size_t>> stack = {{&root, 1}};
    while (!stack.empty()) {
        const rapidjson::Value* v = stack.back().first;
        const size_t depth = stack.back().second;
        stack.pop_back();
        if (v->IsString() && ValidUtf8(Bytes(*v)) != Bytes(*v)) Fail("a string that is not UTF-8");
        if (!v->IsArray() && !v->IsObject()) continue;
        if (depth > kJsonMaxDepth - 1) Fail("deeper than Chromium reads");
        if (v->IsArray()) {
            for (const auto& e : v->GetArray()) stack.push_back({&e, depth + 1});
            continue;
        }
        const rapidjson::Value* previous = nullptr;
        for (const auto& m : v->GetObject()) {
            if (ValidUtf8(Bytes(m.name)) != Bytes(m.name)) Fail("a key that is not UTF-8");
            if (previous != nullptr && !(Bytes(*previous) < Bytes(m.name))) Fail("keys repeated or out of order");
            if (FindKey(*v, Bytes(m.name)) != &m.value) Fail("FindKey misses a key");
            previous = &m.name;
            stack.push_back({&m.value, depth + 1});
        }
    }
}

ProgramVerdict ProgramStarts(const std::string&, const std::string& path) {
    ProgramVerdict v;
    v.text = "program " + path;
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    rapidjson::Document manifest;
    rapidjson::Document policy;
    std::string why;
    const bool manifestRead = ReadChromiumJson(text, JSON_PARSE_CHROMIUM_EXTENSIONS, &manifest, &why);
    const bool policyRead =
        ReadChromiumJson(text, JSON_PARSE_CHROMIUM_EXTENSIONS | JSON_ALLOW_TRAILING_COMMAS, &policy, &why);
    if (!policyRead && why.empty()) Fail("refused without a reason");
    if (manifestRead && (!policyRead || manifest != policy)) Fail("trailing commas allowed changed what was read");
    if (manifestRead) CheckValues(manifest);
    if (policyRead) CheckValues(policy);
    if (ParseManifestJson(text, &manifest, &why) != (manifestRead && manifest.IsObject())) {
        Fail("ParseManifestJson disagrees with the reader");
    }
    // The policy handlers have a target of their own (policy_fuzz).
    ParsePolicyJson(text, &policy, &why);

    BrowserInputs in;
    in.browser = "chromium";
    in.shown = "Chromium";
    Registration r;
    r.where = r.manifestPath = "/etc/chromium/native-messaging-hosts/" HOST_REGISTERED_NAME ".json";
    r.readable = true;
    r.text = text;
    in.registrations.push_back(r);
    in.judgeProgram = ProgramStarts;
    Report report;
    JudgeBrowser(in, HOST_REGISTERED_NAME, {std::string(32, 'a')}, &report);
    rapidjson::Document out;
    if (out.Parse(ReportJson(report, "fuzz").c_str()).HasParseError()) Fail("the report is not JSON");
    return 0;
}
