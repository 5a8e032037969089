// allowed_origins entries as Chromium's URLPattern parses them for a native
// messaging manifest, and whether the reference extension's origin matches.
// The first rows are extensions/common/url_pattern_unittest.cc's cases moved
// to the extension scheme; the rest are the kinds where the browser and the
// doctor were seen to disagree.
#include <gtest/gtest.h>

#include <string>

#include "contract/contract.h"
#include "tests/support/fullwidth.h"
#include "tools/doctor/url_pattern.h"

namespace {

const std::string kRef = REFERENCE_EXTENSION_ID;
const std::string kE = "chrome-extension://";
const char kNotAllowed[] = "not allowed";

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(c - 'a' + 'A');
    return s;
}

TEST(DoctorOriginTest, ParsesAndMatchesAsChromium) {
    struct Row {
        std::string pattern;
        const char* refusal;  // nullptr: accepted; else Chromium's parse result text, or kNotAllowed
        bool matches;
    } rows[] = {
        // url_pattern_unittest.cc: ParseInvalid, Ports, IPv6Patterns.
        {"chrome-extension", "Missing scheme separator.", false},
        {"chrome-extension:", "Wrong scheme type.", false},
        {"chrome-extension:/" + kRef + "/", "Wrong scheme type.", false},
        {kE, "Host can not be empty.", false},
        {kE + "/", "Host can not be empty.", false},
        {kE + ":1234/", "Invalid port.", false},
        {kE + ":*/", "Host can not be empty.", false},
        {kE + "*./", "Host can not be empty.", false},
        {kE + "*foo/bar", "Invalid host wildcard.", false},
        {kE + "foo.*.bar/baz", "Invalid host wildcard.", false},
        {kE + kRef, "Empty path.", false},
        {kE + kRef + ":/", "Invalid port.", false},
        {kE + kRef + ":com/", "Invalid port.", false},
        {kE + kRef + ":80:80/", "Invalid port.", false},
        {kE + kRef + "/:1234", nullptr, true},
        {kE + "[2607:f8b0:4005:805::200e]/", nullptr, false},
        {kE + "[2607:f8b0:4005:805::200e]:/*", "Invalid port.", false},
        {kE + "[]:8888/*", "Host can not be empty.", false},
        {kE + "[2607:f8b0:4005:805::200e/*", "Invalid host.", false},
        {kE + "[2607:f8b0:4005:805::200e]]/*", "Invalid host.", false},
        {kE + "[[2607:f8b0:4005:805::200e]/*", "Invalid host.", false},
        {kE + "[2607:f8b0:4005:805:200e]/*", "Invalid host.", false},
        {kE + "[2607:f8b0:4005:805:200e:12:bogus]/*", "Invalid host.", false},
        {std::string("chrome-extension://\0www/", 24), "Invalid host.", false},
        // The manifest's own refusals: <all_urls> and wildcard hosts.
        {"<all_urls>", kNotAllowed, false},
        {kE + "*/", kNotAllowed, false},
        {kE + "*:*/", kNotAllowed, false},
        {kE + "*." + kRef + "/", kNotAllowed, false},
        // Scheme: as written, no case folding; "*" means http and https only.
        {kE + kRef + "/", nullptr, true},
        {kE + kRef + "/any/path?q#f", nullptr, true},
        {kE + std::string(32, 'a') + "/", nullptr, false},
        {"CHROME-EXTENSION://" + kRef + "/", "Invalid scheme.", false},
        {"Chrome-extension://" + kRef + "/", "Invalid scheme.", false},
        {" chrome-extension://" + kRef + "/", "Invalid scheme.", false},
        {"https://" + kRef + "/", "Invalid scheme.", false},
        {"://" + kRef + "/", "Invalid scheme.", false},
        {"*://" + kRef + "/", nullptr, false},
        {"*:" + kRef + "/", "Wrong scheme type.", false},
        // Ports: only "*", chrome-extension and "*" having no default port.
        {kE + kRef + ":*/", nullptr, true},
        {kE + kRef + ":80/", "Invalid port.", false},
        {"*://" + kRef + ":443/", "Invalid port.", false},
        // Bracketed hosts go through the IPv6 parser.
        {kE + "[::1]:*/", nullptr, false},
        {kE + "[::1]:80/", "Invalid port.", false},
        {kE + "[::1]x/", "Invalid host.", false},
        {kE + "[::ffff:1.2.3.4]/", nullptr, false},
        {kE + "[::1.2.3]/", "Invalid host.", false},
        {kE + "[" + kRef + "]/", "Invalid host.", false},
        {kE + "a]b/", "Invalid host.", false},
        // Case and percent escapes are undone before comparing.
        {kE + Upper(kRef) + "/", nullptr, true},
        {kE + "%68" + kRef.substr(1) + "/", nullptr, true},
        {kE + kRef + "%2e/", nullptr, true},
        {kE + kRef + "%/", "Invalid host.", false},
        {kE + kRef + "%zz/", "Invalid host.", false},
        {kE + kRef + "%00/", "Invalid host.", false},
        {kE + kRef + "%FF/", "Invalid host.", false},
        {kE + "%C0%AF/", "Invalid host.", false},
        {kE + "%C3%A9%zz/", "Invalid host.", false},
        {kE + "\xC3\xA9" "<b/", "Invalid host.", false},
        {kE + kRef + "%2A/", nullptr, false},
        {kE + "a b/", nullptr, false},
        // Characters the host canonicaliser refuses, and odd ones it keeps.
        {kE + "a<b/", "Invalid host.", false},
        {kE + "a@b/", "Invalid host.", false},
        {kE + "a\\b/", "Invalid host.", false},
        {kE + "a#b/", "Invalid host.", false},
        {kE + "a?b/", "Invalid host.", false},
        {kE + "a^b/", "Invalid host.", false},
        {kE + "a|b/", "Invalid host.", false},
        {kE + "a\tb/", "Invalid host.", false},
        {kE + "a\x7f" "b/", "Invalid host.", false},
        {kE + "a!$&'()+,;=_`{}~\"-b/", nullptr, false},
        // Trailing dots: one is dropped for matching; numbers make IPv4.
        {kE + kRef + "./", nullptr, true},
        {kE + kRef + "../", nullptr, false},
        {kE + "." + kRef + "/", nullptr, false},
        {kE + kRef + ".1/", "Invalid host.", false},
        {kE + kRef + ".0x/", "Invalid host.", false},
        {kE + "0x7f.1/", nullptr, false},
        {kE + "1.2.3.256/", "Invalid host.", false},
        {kE + "09.1/", "Invalid host.", false},
        {kE + "4294967295/", nullptr, false},
        {kE + "4294967296/", "Invalid host.", false},
        {kE + "1.2.3.4.5/", "Invalid host.", false},
    };
    for (const Row& r : rows) {
        OriginPattern p = ParseOriginPattern(r.pattern);
        std::string error;
        if (r.refusal == kNotAllowed) {
            error = "Pattern \"" + r.pattern + "\" is not allowed.";
        } else if (r.refusal != nullptr) {
            error = "Failed to parse pattern \"" + r.pattern + "\": " + r.refusal;
        }
        EXPECT_EQ(p.valid, r.refusal == nullptr) << r.pattern;
        EXPECT_EQ(p.error, error) << r.pattern;
        EXPECT_EQ(OriginAllows(p, kRef), r.matches) << r.pattern;
        EXPECT_FALSE(p.hostNeedsIdna) << r.pattern;
    }
}


TEST(DoctorOriginTest, CanonicalHosts) {
    struct Row {
        std::string pattern;
        std::string host;
        bool idna;
    } rows[] = {
        {kE + "0x7f.1/", "127.0.0.1", false},
        {kE + "[0:0:0:0:0:0:0:1]/", "[::1]", false},
        {kE + "[1:0:0:2:0:0:0:3]/", "[1:0:0:2::3]", false},
        {kE + "[::FFFF:1.2.3.4]/", "[::ffff:102:304]", false},
        {kE + "A%2Ab/", "a%2Ab", false},
#ifdef _WIN32  // no ICU: the host stays as it is, marked for IDNA
        {kE + "%C3%A9/", "\xC3\xA9", true},
#else
        {kE + "%C3%A9/", "xn--9ca", false},
        {kE + Fullwidth(kRef) + "/", kRef, false},
        {kE + kRef.substr(0, 5) + "\xC2\xAD" + kRef.substr(5) + "/", kRef, false},  // a soft hyphen is mapped away
#endif
    };
    for (const Row& r : rows) {
        OriginPattern p = ParseOriginPattern(r.pattern);
        EXPECT_TRUE(p.valid) << r.pattern << ": " << p.error;
        EXPECT_EQ(p.host, r.host) << r.pattern;
        EXPECT_EQ(p.hostNeedsIdna, r.idna) << r.pattern;
    }
}

}  // namespace
