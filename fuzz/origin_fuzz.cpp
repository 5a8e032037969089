// The doctor's port of Chromium's allowed_origins parser: any bytes parse
// without a fault into an accepted pattern or one of the browser's refusals;
// an accepted pattern written back from its parts parses to the same host;
// and it matches an extension exactly when its host is that id.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "contract/contract.h"
#include "fuzz/fuzz_bytes.h"
#include "tools/doctor/url_pattern.h"
#include "fuzz/sanitizer_options.h"

namespace {

const std::string kId = REFERENCE_EXTENSION_ID;

[[noreturn]] void Mismatch(const char* what, const std::string& pattern) {
    fprintf(stderr, "origin_fuzz: %s: \"%s\"\n", what, pattern.c_str());
    abort();
}

bool StartsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first byte's low bit puts the scheme in front, so that most inputs
    // reach the host; the rest is the entry as written.
    Bytes in{data, size};
    const bool withScheme = (in.Byte() & 1) != 0;
    std::string pattern = withScheme ? "chrome-extension://" : "";
    pattern.append(reinterpret_cast<const char*>(data) + in.at, size - in.at);

    OriginPattern p = ParseOriginPattern(pattern);
    if (!p.valid) {
        if (!StartsWith(p.error, "Failed to parse pattern \"" + pattern + "\": ") &&
            p.error != "Pattern \"" + pattern + "\" is not allowed.") {
            Mismatch("a refusal not in the browser's words", pattern);
        }
        if (OriginAllows(p, kId)) Mismatch("a refused pattern matches", pattern);
        return 0;
    }
    if (!p.error.empty()) Mismatch("an accepted pattern with an error", pattern);
    if (p.host.empty() || p.matchSubdomains || p.matchAllUrls) Mismatch("a wildcard accepted", pattern);
    if (p.port != "*") Mismatch("a port the extension scheme cannot have", pattern);

    std::string again = p.scheme + "://" + p.host + p.path;
    OriginPattern q = ParseOriginPattern(again);
    if (!q.valid || q.host != p.host) Mismatch("the canonical host does not parse back to itself", pattern);

    const bool expected = p.scheme == "chrome-extension" && (p.host == kId || p.host == kId + ".");
    if (OriginAllows(p, kId) != expected) Mismatch("matching disagrees with the host", pattern);
    return 0;
}
