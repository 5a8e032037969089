#include "tools/doctor/url_pattern.h"

#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>

#ifdef ORV_HAVE_ICU
#include <unicode/uidna.h>
#endif

namespace {

// extensions/common/url_pattern.h, URLPattern::SchemeMasks.
const int kSchemeHttp = 1 << 0;
const int kSchemeHttps = 1 << 1;
const int kSchemeExtension = 1 << 5;
const int kSchemeAll = -1;

const char kExtensionScheme[] = "chrome-extension";

// extensions/common/url_pattern.cc, kValidSchemes beside kValidSchemeMasks.
const struct {
    const char* scheme;
    int mask;
} kValidSchemes[] = {{"http", 1 << 0},     {"https", 1 << 1},          {"file", 1 << 2},       {"ftp", 1 << 3},
                     {"chrome", 1 << 4},   {kExtensionScheme, 1 << 5}, {"filesystem", 1 << 6}, {"ws", 1 << 7},
                     {"wss", 1 << 8},      {"data", 1 << 9},           {"uuid-in-package", 1 << 10}};

// extensions/common/url_pattern.h, URLPattern::ParseResult, with the texts
// of url_pattern.cc, kParseResultMessages, in the same order.
enum class ParseResult {
    kSuccess,
    kMissingSchemeSeparator,
    kInvalidScheme,
    kWrongSchemeSeparator,
    kEmptyHost,
    kInvalidHostWildcard,
    kEmptyPath,
    kInvalidPort,
    kInvalidHost,
};
const char* const kParseResultMessages[] = {"Success.",          "Missing scheme separator.", "Invalid scheme.",
                                            "Wrong scheme type.", "Host can not be empty.",    "Invalid host wildcard.",
                                            "Empty path.",        "Invalid port.",             "Invalid host."};

// ---- The host canonicaliser of a standard scheme's URL ----

enum class HostFamily { kNeutral, kBroken, kIPv4, kIPv6 };

bool IsHexChar(unsigned char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool IsDecChar(unsigned char c) { return c >= '0' && c <= '9'; }
bool IsOctChar(unsigned char c) { return c >= '0' && c <= '7'; }
// url/url_canon_internal.h, kSharedCharTypeTable's CHAR_IPV4.
bool IsIPv4Char(unsigned char c) { return IsHexChar(c) || c == '.' || c == 'x' || c == 'X'; }
int HexValue(unsigned char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }

// url/url_canon_host.cc, kHostCharLookup: 0 refuses the character, kEsc
// keeps it percent-escaped (space and '*'), anything else is its canonical form.
const unsigned char kEsc = 0xff;
unsigned char HostCharLookup(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c - 'A' + 'a');
    if ((c >= 'a' && c <= 'z') || IsDecChar(c)) return c;
    if (c == ' ' || c == '*') return kEsc;
    if (c != 0 && c < 0x80 && std::strchr("!\"$&'()+,-.:;=[]_`{}~", c) != nullptr) return c;
    return 0;
}

// A code unit of either width, as the canonicaliser's templates read it.
template <typename Str>
uint32_t Unit(const Str& s, size_t i) {
    return static_cast<uint32_t>(static_cast<std::make_unsigned_t<typename Str::value_type>>(s[i]));
}

// url/url_canon_internal.h, AppendEscapedChar (base::AppendHexEncodedByte: capitals).
template <typename Str>
void AppendEscaped(unsigned char c, Str* out) {
    static const char kHex[] = "0123456789ABCDEF";
    out->push_back('%');
    out->push_back(kHex[c >> 4]);
    out->push_back(kHex[c & 15]);
}

// url/url_canon_internal.h, DecodeEscaped: '%' and two hex digits.
template <typename Str>
bool DecodeEscaped(const Str& s, size_t* at, unsigned char* value) {
    if (*at + 3 > s.size()) return false;
    const uint32_t first = Unit(s, *at + 1), second = Unit(s, *at + 2);
    if (first >= 0x80 || second >= 0x80) return false;
    if (!IsHexChar(static_cast<unsigned char>(first)) || !IsHexChar(static_cast<unsigned char>(second))) return false;
    *value = static_cast<unsigned char>((HexValue(static_cast<unsigned char>(first)) << 4) +
                                        HexValue(static_cast<unsigned char>(second)));
    *at += 2;
    return true;
}

// url/url_canon_host.cc, DoSimpleHost, for 8- and 16-bit input: unescapes,
// lower-cases and checks each unit; units past ASCII pass through for IDNA
// to judge (an escaped byte past ASCII becomes that one unit, as there).
template <typename Str>
bool DoSimpleHost(const Str& host, Str* out, bool* hasNonAscii) {
    *hasNonAscii = false;
    bool success = true;
    for (size_t i = 0; i < host.size(); ++i) {
        uint32_t source = Unit(host, i);
        if (source == '%') {
            unsigned char decoded = 0;
            if (!DecodeEscaped(host, &i, &decoded)) {
                AppendEscaped('%', out);
                success = false;
                continue;
            }
            source = decoded;
        }
        if (source < 0x80) {
            unsigned char replacement = HostCharLookup(static_cast<unsigned char>(source));
            if (replacement == 0) {
                AppendEscaped(static_cast<unsigned char>(source), out);
                success = false;
            } else if (replacement == kEsc) {
                // url/url_features.cc: kDisallowSpaceCharacterInURLHostParsing is off by default.
                AppendEscaped(static_cast<unsigned char>(source), out);
            } else {
                out->push_back(static_cast<typename Str::value_type>(replacement));
            }
        } else {
            out->push_back(static_cast<typename Str::value_type>(source));
            *hasNonAscii = true;
        }
    }
    return success;
}

// url/url_canon_internal.h, ConvertUTF8ToUTF16 (base::ReadUnicodeCharacter:
// no overlong forms, surrogates or code points past U+10FFFF).
bool ConvertUtf8ToUtf16(const std::string& s, std::u16string* out) {
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            out->push_back(c);
            ++i;
            continue;
        }
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 ? 1 : -1;
        if (extra < 0 || c > 0xF4 || i + static_cast<size_t>(extra) >= s.size()) return false;
        uint32_t cp = c & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            unsigned char t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (t & 0x3F);
        }
        const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        if (cp > 0xFFFF) {
            out->push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out->push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out->push_back(static_cast<char16_t>(cp));
        }
        i += extra + 1;
    }
    return true;
}

#ifdef ORV_HAVE_ICU
// url/url_idna_icu.cc, IDNToASCII: UTS #46 with the BiDi check and, as
// url_features.cc's kUseIDNA2008NonTransitional is on, non-transitional
// processing; the hyphen and DNS length errors are ignored, as WHATWG's URL
// standard asks, and an empty result is a failure. The joiner check
// (CheckJoiners in that standard) too: Chromium 156 was seen to refuse a
// zero-width joiner between two letters, which only that check refuses.
bool IdnToAscii(const std::u16string& src, std::u16string* out) {
    static UIDNA* const idna = [] {
        UErrorCode err = U_ZERO_ERROR;
        UIDNA* u = uidna_openUTS46(UIDNA_CHECK_BIDI | UIDNA_CHECK_CONTEXTJ | UIDNA_NONTRANSITIONAL_TO_ASCII |
                                               UIDNA_NONTRANSITIONAL_TO_UNICODE,
                                   &err);
        return U_SUCCESS(err) ? u : nullptr;
    }();
    if (idna == nullptr) return false;
    out->assign(src.size() * 4 + 64, u'\0');
    for (;;) {
        UErrorCode err = U_ZERO_ERROR;
        UIDNAInfo info = UIDNA_INFO_INITIALIZER;
        int32_t n = uidna_nameToASCII(idna, reinterpret_cast<const UChar*>(src.data()), static_cast<int32_t>(src.size()),
                                      reinterpret_cast<UChar*>(&(*out)[0]), static_cast<int32_t>(out->size()), &info,
                                      &err);
        info.errors &= ~(UIDNA_ERROR_HYPHEN_3_4 | UIDNA_ERROR_LEADING_HYPHEN | UIDNA_ERROR_TRAILING_HYPHEN |
                         UIDNA_ERROR_EMPTY_LABEL | UIDNA_ERROR_LABEL_TOO_LONG | UIDNA_ERROR_DOMAIN_NAME_TOO_LONG);
        if (U_SUCCESS(err) && info.errors == 0) {
            if (n <= 0) return false;
            out->resize(static_cast<size_t>(n));
            return true;
        }
        if (err != U_BUFFER_OVERFLOW_ERROR || info.errors != 0) return false;
        out->assign(static_cast<size_t>(n), u'\0');
    }
}
#endif

// url/url_canon_ip.h, IPv4ComponentToNumber: 0x hex, leading-0 octal, else
// decimal; a number that does not fit 32 bits, or "08", is broken.
HostFamily IPv4ComponentToNumber(const std::string& s, size_t begin, size_t len, uint32_t* number) {
    if (len == 0) return HostFamily::kNeutral;
    int base = 10;
    size_t prefix = 0;
    if (s[begin] == '0') {
        if (len == 1) {
            base = 10;
        } else if (s[begin + 1] == 'x' || s[begin + 1] == 'X') {
            base = 16;
            prefix = 2;
        } else {
            base = 8;
            prefix = 1;
        }
    }
    while (prefix < len && s[begin + prefix] == '0') ++prefix;
    uint64_t value = 0;
    size_t digits = 0;
    bool mayBeBrokenOctal = false;
    for (size_t i = begin + prefix; i < begin + len; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) return HostFamily::kNeutral;
        bool ofBase = base == 16 ? IsHexChar(c) : base == 10 ? IsDecChar(c) : IsOctChar(c);
        if (!ofBase) {
            if (!IsDecChar(c)) return HostFamily::kNeutral;
            mayBeBrokenOctal = true;
        }
        // StringToUint64WithBase over at most 16 digits: past them it is too big anyway.
        if (digits < 16 && !mayBeBrokenOctal) value = value * static_cast<unsigned>(base) + HexValue(c);
        ++digits;
    }
    if (mayBeBrokenOctal) return HostFamily::kBroken;
    if (digits > 16 || value > 0xFFFFFFFFu) return HostFamily::kBroken;
    *number = static_cast<uint32_t>(value);
    return HostFamily::kIPv4;
}

// url/url_canon_ip.h, DoIPv4AddressToNumber: one to four components read
// from the last; a last component that is not a number makes a host name,
// any other one that is not makes the host broken.
HostFamily IPv4AddressToNumber(const std::string& s, size_t begin, size_t len, unsigned char address[4],
                               int* components) {
    if (len > 0 && s[begin + len - 1] == '.') --len;
    if (len == 0) return HostFamily::kNeutral;
    uint32_t values[4] = {0, 0, 0, 0};
    int existing = 0;
    size_t componentEnd = begin + len;
    size_t position = componentEnd;
    for (;;) {
        if (position != begin && s[position - 1] != '.') {
            --position;
            continue;
        }
        HostFamily family = IPv4ComponentToNumber(s, position, componentEnd - position, &values[existing]);
        if (family == HostFamily::kNeutral && existing == 0) return HostFamily::kNeutral;
        if (family != HostFamily::kIPv4) return HostFamily::kBroken;
        ++existing;
        if (position == begin) break;
        if (existing == 4) return HostFamily::kBroken;
        componentEnd = position - 1;
        --position;
    }
    for (int i = existing - 1; i > 0; --i) {
        if (values[i] > 0xFF) return HostFamily::kBroken;
        address[existing - i - 1] = static_cast<unsigned char>(values[i]);
    }
    uint32_t last = values[0];
    for (int i = 3; i >= existing - 1; --i) {
        address[i] = static_cast<unsigned char>(last);
        last >>= 8;
    }
    if (last != 0) return HostFamily::kBroken;
    *components = existing;
    return HostFamily::kIPv4;
}

// url/url_canon_ip.h, IPv6Parsed and DoParseIPv6: up to eight hex groups of
// at most four digits, one "::", and dotted IPv4 only at the end.
struct IPv6Parsed {
    size_t hexBegin[8] = {};
    size_t hexLen[8] = {};
    int hexComponents = 0;
    int contraction = -1;
    bool hasIPv4 = false;
    size_t ipv4Begin = 0;
    size_t ipv4Len = 0;
};

bool DoParseIPv6(const std::string& s, size_t begin, size_t end, IPv6Parsed* parsed) {
    if (begin == end) return false;
    size_t componentBegin = begin;
    for (size_t i = begin;; ++i) {
        bool isColon = i < end && s[i] == ':';
        bool isContraction = isColon && i + 1 < end && s[i + 1] == ':';
        if (isColon || i == end) {
            size_t length = i - componentBegin;
            if (length > 4) return false;
            if (length == 0 && !((isContraction && i == begin) ||
                                 (i == end && parsed->contraction == parsed->hexComponents))) {
                return false;
            }
            if (length > 0) {
                if (parsed->hexComponents >= 8) return false;
                parsed->hexBegin[parsed->hexComponents] = componentBegin;
                parsed->hexLen[parsed->hexComponents] = length;
                ++parsed->hexComponents;
            }
        }
        if (i == end) break;
        if (isContraction) {
            if (parsed->contraction != -1) return false;
            parsed->contraction = parsed->hexComponents;
            ++i;
        }
        if (isColon) {
            componentBegin = i + 1;
        } else {
            unsigned char c = static_cast<unsigned char>(s[i]);
            if (c >= 0x80) return false;
            if (!IsHexChar(c)) {
                if (!IsIPv4Char(c)) return false;
                parsed->hasIPv4 = true;
                parsed->ipv4Begin = componentBegin;
                parsed->ipv4Len = end - componentBegin;
                break;
            }
        }
    }
    return true;
}

// url/url_canon_ip.h, DoIPv6AddressToNumber with CheckIPv6ComponentsSize:
// "[...]" holding exactly 128 bits, an embedded IPv4 address in four parts
// and without a final dot.
bool IPv6AddressToNumber(const std::string& s, unsigned char address[16]) {
    if (s.size() < 2 || s[0] != '[' || s[s.size() - 1] != ']') return false;
    IPv6Parsed parsed;
    if (!DoParseIPv6(s, 1, s.size() - 1, &parsed)) return false;
    int bytesWithout = parsed.hexComponents * 2 + (parsed.hasIPv4 ? 4 : 0);
    int contractionBytes = 0;
    if (parsed.contraction != -1) {
        contractionBytes = 16 - bytesWithout;
        if (contractionBytes < 2) contractionBytes = 2;
    }
    if (bytesWithout + contractionBytes != 16) return false;
    int at = 0;
    for (int i = 0; i <= parsed.hexComponents; ++i) {
        if (i == parsed.contraction) {
            for (int j = 0; j < contractionBytes; ++j) address[at++] = 0;
        }
        if (i != parsed.hexComponents) {
            unsigned value = 0;
            for (size_t k = 0; k < parsed.hexLen[i]; ++k) {
                value = value * 16 + HexValue(static_cast<unsigned char>(s[parsed.hexBegin[i] + k]));
            }
            address[at++] = static_cast<unsigned char>(value >> 8);
            address[at++] = static_cast<unsigned char>(value & 0xFF);
        }
    }
    if (parsed.hasIPv4) {
        int components = 0;
        bool trailingDot = parsed.ipv4Len > 0 && s[parsed.ipv4Begin + parsed.ipv4Len - 1] == '.';
        if (IPv4AddressToNumber(s, parsed.ipv4Begin, parsed.ipv4Len, &address[at], &components) != HostFamily::kIPv4) {
            return false;
        }
        if (components != 4 || trailingDot) return false;
    }
    return true;
}

// url/url_canon_ip.cc, AppendIPv6Address with ChooseIPv6ContractionRange:
// the longest run of two or more zero groups, the first of equals, is "::".
std::string IPv6Text(const unsigned char a[16]) {
    int maxBegin = -1, maxLen = 0, curBegin = -1, curLen = 0;
    for (int i = 0; i < 16; i += 2) {
        bool zero = a[i] == 0 && a[i + 1] == 0;
        if (zero) {
            if (curBegin < 0) curBegin = i;
            curLen += 2;
        }
        if (!zero || i == 14) {
            if (curLen > 2 && curLen > maxLen) {
                maxBegin = curBegin;
                maxLen = curLen;
            }
            curBegin = -1;
            curLen = 0;
        }
    }
    std::string out = "[";
    for (int i = 0; i <= 14;) {
        if (i == maxBegin) {
            if (i == 0) out += ':';
            out += ':';
            i = maxBegin + maxLen;
        } else {
            char group[8];
            std::snprintf(group, sizeof group, "%x", (a[i] << 8) | a[i + 1]);
            out += group;
            i += 2;
            if (i < 16) out += ':';
        }
    }
    return out + "]";
}

// url/url_canon_ip.cc, CanonicalizeIPAddress: IPv4 first, then IPv6; a host
// that is neither but holds '[', ']' or ':' is broken.
HostFamily CanonicalizeIPAddress(std::string* host) {
    unsigned char address[16] = {};
    int components = 0;
    HostFamily family = IPv4AddressToNumber(*host, 0, host->size(), address, &components);
    if (family == HostFamily::kIPv4) {
        *host = std::to_string(address[0]) + "." + std::to_string(address[1]) + "." + std::to_string(address[2]) +
                "." + std::to_string(address[3]);
        return family;
    }
    if (family == HostFamily::kBroken) return family;
    if (IPv6AddressToNumber(*host, address)) {
        *host = IPv6Text(address);
        return HostFamily::kIPv6;
    }
    return host->find_first_of("[]:") != std::string::npos ? HostFamily::kBroken : HostFamily::kNeutral;
}

// net/base/url_util.cc, CanonicalizeHost, over url/url_canon_host.cc,
// DoHost and DoHostSubstring: the canonical host, or "" when the browser
// refuses it.
std::string CanonicalizeHost(const std::string& host, HostFamily* family, bool* needsIdna) {
    *family = HostFamily::kNeutral;
    *needsIdna = false;
    bool hasNonAscii = false, hasEscaped = false;
    for (char c : host) {
        if (static_cast<unsigned char>(c) >= 0x80) hasNonAscii = true;
        if (c == '%') hasEscaped = true;
    }
    std::string out;
    bool success;
    if (!hasNonAscii && !hasEscaped) {
        success = DoSimpleHost(host, &out, &hasNonAscii);
    } else {
        // DoComplexHost: unescape first; what is ASCII then is done.
        std::string utf8 = host;
        bool allEscapedValid = true;
        if (hasEscaped) {
            allEscapedValid = DoSimpleHost(host, &out, &hasNonAscii);
            utf8 = out;
        }
        if (!hasNonAscii) {
            success = allEscapedValid;
        } else {
            // DoComplexHost, then DoIDNHost: to UTF-16, escaped where ASCII
            // is refused, bounded by kMaxHostBufferLength (253 * 5).
            std::u16string utf16, escaped;
            bool nonAscii = false;
            if (!ConvertUtf8ToUtf16(utf8, &utf16)) return std::string();
            DoSimpleHost(utf16, &escaped, &nonAscii);
            if (escaped.size() > 253 * 5) return std::string();
#ifdef ORV_HAVE_ICU
            std::u16string ascii, canonical;
            if (!IdnToAscii(escaped, &ascii)) return std::string();
            // The ASCII ICU made is checked as a plain host; ICU may have
            // made new escapes ("%" from U+FE6A), which fail here.
            success = DoSimpleHost(ascii, &canonical, &nonAscii) && allEscapedValid;
            if (nonAscii) return std::string();
            out.assign(canonical.begin(), canonical.end());
#else
            // No ICU in this build (Windows): a host that is valid as far as
            // DoSimpleHost tells is taken as valid, and marked unsure.
            out.clear();
            if (!DoSimpleHost(utf8, &out, &hasNonAscii) || !allEscapedValid) return std::string();
            *needsIdna = true;
            return out;
#endif
        }
    }
    if (!success) return std::string();
    *family = CanonicalizeIPAddress(&out);
    if (*family == HostFamily::kBroken || out.empty()) return std::string();
    return out;
}

// ---- URLPattern ----

// url_pattern.cc, URLPattern::IsValidScheme.
bool IsValidScheme(int validSchemes, const std::string& scheme) {
    if (validSchemes == kSchemeAll) return true;
    for (const auto& s : kValidSchemes) {
        if (scheme == s.scheme && (validSchemes & s.mask) != 0) return true;
    }
    return false;
}

// url_pattern.cc, URLPattern::SetScheme: the scheme as written, no case
// folding; "*" stands for http and https only, so with chrome-extension
// alone it leaves no scheme at all.
bool SetScheme(OriginPattern* p, const std::string& scheme) {
    p->scheme = scheme;
    if (scheme == "*") {
        p->validSchemes &= (kSchemeHttp | kSchemeHttps);
        return true;
    }
    return IsValidScheme(p->validSchemes, scheme);
}

// url_pattern.cc, IsStandardScheme: "*" counts as standard, and the browser
// registers chrome-extension as one; SetScheme lets no other scheme through.
bool IsStandardScheme(const std::string& scheme) { return scheme == "*" || scheme == kExtensionScheme; }

// url_pattern.cc, IsValidPortForScheme: a number only where the scheme has
// a default port (url/url_canon_stdurl.cc, DefaultPortForScheme: http, https,
// ftp, ws, wss); neither "*" nor chrome-extension has one.
bool IsValidPort(const std::string& port) { return port == "*"; }

// extensions/common/url_pattern.cc, URLPattern::Parse.
ParseResult Parse(const std::string& pattern, OriginPattern* p) {
    p->matchAllUrls = false;
    p->matchSubdomains = false;
    p->port = "*";
    if (pattern == "<all_urls>") {
        // URLPattern::SetMatchAllURLs.
        p->matchAllUrls = true;
        p->matchSubdomains = true;
        p->scheme = "*";
        p->host.clear();
        p->path = "/*";
        return ParseResult::kSuccess;
    }
    size_t schemeEnd = pattern.find("://");
    bool hasStandardSeparator = true;
    if (schemeEnd == std::string::npos) {
        schemeEnd = pattern.find(':');
        hasStandardSeparator = false;
    }
    if (schemeEnd == std::string::npos) return ParseResult::kMissingSchemeSeparator;
    if (!SetScheme(p, pattern.substr(0, schemeEnd))) return ParseResult::kInvalidScheme;
    bool standard = IsStandardScheme(p->scheme);
    if (standard != hasStandardSeparator) return ParseResult::kWrongSchemeSeparator;
    // Only standard schemes other than file get here: the host is required.
    size_t hostStart = schemeEnd + 3;
    if (hostStart >= pattern.size()) return ParseResult::kEmptyHost;
    size_t hostEnd = pattern.find('/', hostStart);
    if (hostStart == hostEnd) return ParseResult::kEmptyHost;
    if (hostEnd == std::string::npos) return ParseResult::kEmptyPath;
    std::string hostAndPort = pattern.substr(hostStart, hostEnd - hostStart);
    size_t portSeparator = std::string::npos;
    if (hostAndPort[0] != '[') {
        portSeparator = hostAndPort.find(':');
    } else {
        size_t ipv6End = hostAndPort.find(']');
        if (ipv6End == std::string::npos) return ParseResult::kInvalidHost;
        if (ipv6End == 1) return ParseResult::kEmptyHost;
        if (ipv6End < hostAndPort.size() - 1) {
            if (hostAndPort[ipv6End + 1] != ':') return ParseResult::kInvalidHost;
            portSeparator = ipv6End + 1;
        }
    }
    if (portSeparator != std::string::npos) {
        // URLPattern::SetPort.
        std::string port = hostAndPort.substr(portSeparator + 1);
        if (!IsValidPort(port)) return ParseResult::kInvalidPort;
        p->port = port;
    }
    std::string hostPiece = hostAndPort.substr(0, portSeparator);
    if (hostPiece.empty()) return ParseResult::kEmptyHost;
    if (hostPiece == "*") {
        p->matchSubdomains = true;
        hostPiece.clear();
    } else if (hostPiece.compare(0, 2, "*.") == 0) {
        if (hostPiece.size() == 2) return ParseResult::kEmptyHost;
        p->matchSubdomains = true;
        hostPiece.erase(0, 2);
    }
    p->host = hostPiece;
    p->path = pattern.substr(hostEnd);
    if (p->host.find('*') != std::string::npos) return ParseResult::kInvalidHostWildcard;
    if (!p->host.empty()) {
        HostFamily family;
        p->host = CanonicalizeHost(p->host, &family, &p->hostNeedsIdna);
        if (p->host.empty()) return ParseResult::kInvalidHost;
    }
    if (p->host.find('\0') != std::string::npos) return ParseResult::kInvalidHost;
    return ParseResult::kSuccess;
}

// url_pattern.cc, CanonicalizeHostForMatching: one final dot is dropped.
std::string WithoutFinalDot(std::string host) {
    if (!host.empty() && host.back() == '.') host.pop_back();
    return host;
}

// url_pattern.cc, URLPattern::MatchesHost(const GURL&).
bool MatchesHost(const OriginPattern& p, const std::string& host, HostFamily family) {
    const std::string test = WithoutFinalDot(host);
    const std::string own = WithoutFinalDot(p.host);
    if (test == own) return true;
    if (p.matchSubdomains && own.empty()) return true;
    if (!p.matchSubdomains) return false;
    if (family == HostFamily::kIPv4 || family == HostFamily::kIPv6) return false;
    if (test.size() <= own.size() + 1) return false;
    if (test.compare(test.size() - own.size(), own.size(), own) != 0) return false;
    return test[test.size() - own.size() - 1] == '.';
}

}  // namespace

OriginPattern ParseOriginPattern(const std::string& pattern) {
    // chrome/browser/extensions/api/messaging/native_messaging_host_manifest.cc,
    // NativeMessagingHostManifest::Parse: URLPattern(SCHEME_EXTENSION), then
    // no <all_urls> and no wildcard host.
    OriginPattern p;
    p.validSchemes = kSchemeExtension;
    ParseResult result = Parse(pattern, &p);
    if (result != ParseResult::kSuccess) {
        p.error = "Failed to parse pattern \"" + pattern + "\": " + kParseResultMessages[static_cast<int>(result)];
        return p;
    }
    if (p.matchAllUrls || p.matchSubdomains) {
        p.error = "Pattern \"" + pattern + "\" is not allowed.";
        return p;
    }
    p.valid = true;
    return p;
}

bool OriginAllows(const OriginPattern& pattern, const std::string& extensionId) {
    if (!pattern.valid) return false;
    // native_message_process_host.cc, NativeMessageProcessHost::LaunchHostProcess:
    // the origin is GURL("chrome-extension://" + id), whose host the same
    // canonicaliser makes.
    HostFamily family;
    bool needsIdna = false;
    const std::string host = CanonicalizeHost(extensionId, &family, &needsIdna);
    if (host.empty()) return false;
    // url_pattern.cc, URLPattern::MatchesSecurityOrigin: MatchesScheme first.
    if (!IsValidScheme(pattern.validSchemes, kExtensionScheme)) return false;
    if (pattern.scheme != "*" && pattern.scheme != kExtensionScheme) return false;
    if (pattern.matchAllUrls) return true;
    // MatchesSecurityOriginHelper: the host, then MatchesPortPattern against
    // GURL::EffectiveIntPort, -1 for a scheme without a default port.
    if (!MatchesHost(pattern, host, family)) return false;
    return pattern.port == "*" || pattern.port == "-1";
}

// url/url_parse.cc, ExtractScheme: leading and trailing control characters
// and spaces are trimmed; a letter, then letters, digits, '+', '-', '.'.
std::string UrlScheme(const std::string& url) {
    size_t begin = 0, end = url.size();
    while (begin < end && static_cast<unsigned char>(url[begin]) <= 0x20) ++begin;
    while (end > begin && static_cast<unsigned char>(url[end - 1]) <= 0x20) --end;
    const size_t colon = url.find(':', begin);
    if (colon == std::string::npos || colon >= end || colon == begin) return std::string();
    std::string scheme;
    for (size_t i = begin; i < colon; ++i) {
        const char c = url[i];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter && (i == begin || !(IsDecChar(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.'))) {
            return std::string();
        }
        scheme += static_cast<char>(letter ? c | 0x20 : c);
    }
    return scheme;
}

// url/gurl.cc, GURL::InitCanonical over url_canon_stdurl.cc: a standard
// scheme's authority (any number of slashes, then up to '/', '?', '#' or
// '\\'), without user info, needs a host and a numeric port if any.
bool IsValidUrl(const std::string& url) {
    const std::string scheme = UrlScheme(url);
    if (scheme.empty()) return false;
    if (scheme != "http" && scheme != "https" && scheme != "ws" && scheme != "wss" && scheme != "ftp") return true;
    size_t end = url.size();
    while (end > 0 && static_cast<unsigned char>(url[end - 1]) <= 0x20) --end;
    size_t at = url.find(':') + 1;
    while (at < end && (url[at] == '/' || url[at] == '\\')) ++at;
    const size_t authorityEnd = std::min(end, url.find_first_of("/?#\\", at));
    std::string authority = url.substr(at, authorityEnd - at);
    const size_t user = authority.rfind('@');
    if (user != std::string::npos) authority.erase(0, user + 1);
    size_t portSeparator = authority.rfind(':');
    if (portSeparator != std::string::npos && authority.find(']', portSeparator) != std::string::npos) {
        portSeparator = std::string::npos;  // inside an IPv6 literal
    }
    if (portSeparator != std::string::npos) {
        const std::string port = authority.substr(portSeparator + 1);
        long value = 0;
        for (char c : port) {
            if (!IsDecChar(static_cast<unsigned char>(c))) return false;
            value = std::min(value * 10 + (c - '0'), 100000L);
        }
        if (value > 65535) return false;
        authority.erase(portSeparator);
    }
    if (authority.empty()) return false;
    HostFamily family;
    bool needsIdna = false;
    return !CanonicalizeHost(authority, &family, &needsIdna).empty();
}
