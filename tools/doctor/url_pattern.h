// A manifest's allowed_origins entry as Chromium parses it, and whether an
// extension's origin matches it.
#pragma once

#include <string>

struct OriginPattern {
    bool valid = false;
    std::string error;  // the browser's own words when it refuses the manifest for this entry
    std::string scheme;
    int validSchemes = 0;
    std::string host;  // canonical; empty for the "*" host
    std::string port = "*";
    std::string path;
    bool matchAllUrls = false;
    bool matchSubdomains = false;
    // A host that is still non-ASCII once unescaped goes through UTS #46 in
    // the browser, which is not ported: it is taken as valid, matching no
    // extension, and the doctor cannot be sure of either.
    bool hostNeedsIdna = false;
};

OriginPattern ParseOriginPattern(const std::string& pattern);
bool OriginAllows(const OriginPattern& pattern, const std::string& extensionId);

// GURL(url).is_valid(), for what an update URL holds: a scheme, and for
// http, https, ws, wss and ftp a host the canonicaliser takes and a port of
// at most 65535. Other schemes' contents are not judged.
bool IsValidUrl(const std::string& url);
// The scheme of a URL that IsValidUrl takes, in lower case.
std::string UrlScheme(const std::string& url);
