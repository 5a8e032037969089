// GetPrivateProfileStringW over a UTF-8 ini file: section and key names match
// without regard to ASCII case, blanks around names and values are dropped,
// a value in matching quotes loses them, CR LF and LF lines both work.
#include <stdio.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace {

// Lines longer than this are read only this far; a huge file costs no memory.
constexpr size_t kMaxLine = 4096;

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool ReadLine(FILE* f, std::string* line) {
    line->clear();
    int c;
    bool any = false;
    while ((c = fgetc(f)) != EOF) {
        any = true;
        if (c == '\n') return true;
        if (line->size() < kMaxLine) line->push_back(static_cast<char>(c));
    }
    return any;
}

bool FindValue(const std::string& path, const std::string& section, const std::string& key,
               std::string* value) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    std::string line;
    bool inSection = false, found = false, first = true;
    while (!found && ReadLine(f, &line)) {
        if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        first = false;
        std::string t = Trim(line);
        if (t.empty() || t[0] == ';') continue;
        if (t[0] == '[') {
            size_t close = t.find(']');
            inSection = close != std::string::npos && EqualNoCase(Trim(t.substr(1, close - 1)), section);
            continue;
        }
        if (!inSection) continue;
        size_t eq = t.find('=');
        if (eq == std::string::npos || !EqualNoCase(Trim(t.substr(0, eq)), key)) continue;
        std::string v = Trim(t.substr(eq + 1));
        if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0]) v = v.substr(1, v.size() - 2);
        *value = v;
        found = true;
    }
    fclose(f);
    return found;
}

DWORD CopyOut(const std::u16string& text, LPWSTR out, DWORD size) {
    DWORD n = static_cast<DWORD>(text.size());
    if (n > size - 1) n = size - 1;
    std::memcpy(out, text.data(), n * sizeof(WCHAR));
    out[n] = 0;
    return n;
}

}  // namespace

DWORD GetPrivateProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpDefault,
                               LPWSTR lpReturnedString, DWORD nSize, LPCWSTR lpFileName) {
    if (lpReturnedString == nullptr || nSize == 0) return 0;
    lpReturnedString[0] = 0;
    if (lpAppName == nullptr || lpKeyName == nullptr || lpFileName == nullptr) return 0;
    std::string value;
    if (FindValue(pal::ToPosixPath(lpFileName), pal::ToUtf8(lpAppName), pal::ToUtf8(lpKeyName), &value)) {
        SetLastError(ERROR_SUCCESS);
        return CopyOut(pal::ToUtf16(value), lpReturnedString, nSize);
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    // The default loses its trailing blanks, as on Windows.
    std::u16string def = lpDefault != nullptr ? std::u16string(lpDefault) : std::u16string();
    while (!def.empty() && def.back() == u' ') def.pop_back();
    return CopyOut(def, lpReturnedString, nSize);
}
