// One policy file's text, as the browser's config folder loader finds it,
// through the handlers to a verdict for two extensions, loaded unpacked and
// from the store, and the report of it.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "tools/doctor/policy.h"
#include "tools/doctor/report.h"
#include "tools/doctor/rules.h"
#include "fuzz/sanitizer_options.h"

namespace {

namespace fs = std::filesystem;

std::string g_folder;

void TearDown() {
    std::error_code ec;
    if (!g_folder.empty()) fs::remove_all(g_folder, ec);
}

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "policy_fuzz: %s\n", what);
    abort();
}

ProgramVerdict ProgramStarts(const std::string&, const std::string&) { return ProgramVerdict(); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char folder[] = "/tmp/orv-policy-fuzz-XXXXXX";
    if (mkdtemp(folder) == nullptr) Fail("no temporary folder");
    g_folder = folder;
    std::error_code ec;
    fs::create_directories(g_folder + "/managed", ec);
    if (ec) Fail("no managed folder");
    atexit(TearDown);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        FILE* f = fopen((g_folder + "/managed/policy.json").c_str(), "wb");
        if (f == nullptr) Fail("cannot write the policy file");
        if (size != 0 && fwrite(data, 1, size, f) != size) Fail("cannot write the policy file");
        fclose(f);
    }
    const std::string ids[] = {"abcdefghijklmnopabcdefghijklmnop", std::string(32, 'a')};
    for (bool unpacked : {false, true}) {
        BrowserInputs in;
        in.browser = "chromium";
        in.shown = "Chromium";
        in.unpacked = unpacked;
        LoadPolicyFolders(g_folder, &in.policies, &in.recommended);
        Registration r;
        r.where = r.manifestPath = "/etc/chromium/native-messaging-hosts/com.example.host.json";
        r.readable = true;
        r.text = "{\"name\": \"com.example.host\", \"description\": \"d\", \"path\": \"/h\", \"type\": \"stdio\", "
                 "\"allowed_origins\": [\"chrome-extension://" + ids[0] + "/\"]}";
        in.registrations.push_back(r);
        in.judgeProgram = ProgramStarts;
        Report report;
        report.browsers.push_back(JudgeBrowser(in, "com.example.host", {ids[0], ids[1]}, &report));
        if (report.browsers[0].extensions.size() != 2) Fail("not one verdict per extension");
        ReportText(report);
        ReportJson(report, "0");
    }
    return 0;
}
