// The bundle's Windows side: files, the programs beside the doctor, their
// VERSIONINFO and Authenticode state, and the system's facts.
#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <filesystem>

#include "tools/doctor/bundle.h"
#include "tools/doctor/owned.h"
#include "tools/common/wide.h"

namespace fs = std::filesystem;

namespace {

std::string Error(DWORD e) { return "error " + std::to_string(e); }

std::string Hex(LONG code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
    return text;
}

// WinVerifyTrust's result in words, then its name and code.
std::string TrustWords(LONG result) {
    struct Known {
        LONG code;
        const char* name;
        const char* words;
    } known[] = {
        {TRUST_E_NOSIGNATURE, "TRUST_E_NOSIGNATURE", "not signed"},
        {TRUST_E_SUBJECT_FORM_UNKNOWN, "TRUST_E_SUBJECT_FORM_UNKNOWN", "not signed: a kind of file that carries no signature"},
        {TRUST_E_PROVIDER_UNKNOWN, "TRUST_E_PROVIDER_UNKNOWN", "not checked: no trust provider"},
        {CERT_E_UNTRUSTEDROOT, "CERT_E_UNTRUSTEDROOT", "signed, but by a root certificate this machine does not trust"},
        {CERT_E_CHAINING, "CERT_E_CHAINING", "signed, but its certificate chain cannot be built"},
        {TRUST_E_BAD_DIGEST, "TRUST_E_BAD_DIGEST", "signed, but the file was changed after signing"},
        {TRUST_E_EXPLICIT_DISTRUST, "TRUST_E_EXPLICIT_DISTRUST", "signed, by a certificate marked distrusted"},
        {TRUST_E_SUBJECT_NOT_TRUSTED, "TRUST_E_SUBJECT_NOT_TRUSTED", "signed, but not trusted"},
        {CRYPT_E_SECURITY_SETTINGS, "CRYPT_E_SECURITY_SETTINGS", "signed, but the machine's security settings forbid trusting it"},
        {CERT_E_EXPIRED, "CERT_E_EXPIRED", "signed, but a certificate has expired and no timestamp vouches for the signing time"},
        {CERT_E_REVOKED, "CERT_E_REVOKED", "signed, but a certificate was revoked"},
        {CERT_E_WRONG_USAGE, "CERT_E_WRONG_USAGE", "signed, by a certificate not meant for code signing"},
        {TRUST_E_CERT_SIGNATURE, "TRUST_E_CERT_SIGNATURE", "signed, but a certificate's own signature is bad"},
        {CRYPT_E_FILE_ERROR, "CRYPT_E_FILE_ERROR", "not checked: the file cannot be read"},
    };
    if (result == ERROR_SUCCESS) return "signed and trusted";
    for (const Known& k : known) {
        if (k.code == result) return std::string(k.words) + " (" + k.name + ", " + Hex(result) + ")";
    }
    return "not verified (" + Hex(result) + ")";
}

// Authenticode as Explorer and SmartScreen judge it, without revocation
// checks (which would go to the network) and without any window.
std::string Signature(const std::string& path) {
    const WString wide = Wide(path);
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = wide.c_str();
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return TrustWords(result);
}

std::string FileVersion(const std::string& path) {
    const WString wide = Wide(path);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(wide.c_str(), &ignored);
    if (size == 0) return "none (no VERSIONINFO resource)";
    std::string block(size, '\0');
    if (!GetFileVersionInfoW(wide.c_str(), 0, size, &block[0])) return "unknown (" + Error(GetLastError()) + ")";
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(&block[0], L"\\", reinterpret_cast<void**>(&fixed), &length) || fixed == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO)) {
        return "none (the VERSIONINFO resource has no fixed part)";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%lu.%lu.%lu.%lu", static_cast<unsigned long>(HIWORD(fixed->dwFileVersionMS)),
                  static_cast<unsigned long>(LOWORD(fixed->dwFileVersionMS)),
                  static_cast<unsigned long>(HIWORD(fixed->dwFileVersionLS)),
                  static_cast<unsigned long>(LOWORD(fixed->dwFileVersionLS)));
    return text;
}

std::string OwnFolder() {
    wchar_t path[32768] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, 32768);
    if (n == 0 || n >= 32768) return "";
    return fs::path(path).parent_path().u8string();
}

}  // namespace

bool bundle::WriteNewFile(const std::string& path, const std::string& bytes, std::string* why) {
    Handle f(CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (f.get() == INVALID_HANDLE_VALUE) {
        *why = Error(GetLastError());
        return false;
    }
    for (size_t done = 0; done < bytes.size();) {
        const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        DWORD n = 0;
        if (!WriteFile(f.get(), bytes.data() + done, want, &n, nullptr) || n == 0) {
            *why = Error(GetLastError());
            return false;
        }
        done += n;
    }
    return true;
}

bool bundle::MakeFolder(const std::string& path, std::string* why) {
    if (CreateDirectoryW(Wide(path).c_str(), nullptr)) return true;
    *why = Error(GetLastError());
    return false;
}

// The MSI and the ZIP put every program in one folder.
std::vector<std::string> bundle::ShippedPrograms() {
    const std::string dir = OwnFolder();
    if (dir.empty()) return {};
    std::vector<std::string> out;
    for (const std::string& name : bundle::ProductPrograms()) out.push_back(dir + "\\" + name + ".exe");
    return out;
}

// native_messaging_host_manifest.cc: a relative "path" is taken from the
// manifest's folder on Windows.
std::string bundle::ManifestProgram(const std::string& manifestPath, const std::string& pathValue) {
    const fs::path value = fs::u8path(pathValue);
    if (value.is_absolute()) return pathValue;
    return (fs::u8path(manifestPath).parent_path() / value).lexically_normal().u8string();
}

void bundle::DescribeProgram(const std::string& path, std::string* version, std::string* signature) {
    *version = FileVersion(path);
    *signature = Signature(path);
}

std::vector<std::pair<std::string, std::string>> bundle::Environment() {
    std::vector<std::pair<std::string, std::string>> out;
    LPWCH block = GetEnvironmentStringsW();
    if (block == nullptr) return out;
    for (const wchar_t* e = block; *e != 0; e += wcslen(e) + 1) {
        const std::string entry = Utf8(e);
        // "=C:=C:\..." entries are the drives' current folders, not variables.
        const size_t eq = entry.find('=', 1);
        if (entry[0] != '=' && eq != std::string::npos) out.emplace_back(entry.substr(0, eq), entry.substr(eq + 1));
    }
    FreeEnvironmentStringsW(block);
    return out;
}

std::vector<std::pair<std::string, std::string>> bundle::SystemFacts() {
    std::vector<std::pair<std::string, std::string>> out;
    // RtlGetVersion tells the true version; GetVersionExW lies to a program
    // without a manifest naming the newer systems.
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    auto rtlGetVersion =
        ntdll != nullptr ? reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "RtlGetVersion"))) : nullptr;
    OSVERSIONINFOW v = {};
    v.dwOSVersionInfoSize = sizeof v;
    if (rtlGetVersion != nullptr && rtlGetVersion(&v) == 0) {
        out.emplace_back("system", "Windows " + std::to_string(v.dwMajorVersion) + "." +
                                       std::to_string(v.dwMinorVersion) + " build " + std::to_string(v.dwBuildNumber) +
                                       (v.szCSDVersion[0] != 0 ? " " + Utf8(v.szCSDVersion) : ""));
    } else {
        out.emplace_back("system", "unknown");
    }
    using WineVersionFn = const char*(CDECL*)();
    auto wine = ntdll != nullptr ? reinterpret_cast<WineVersionFn>(reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "wine_get_version"))) : nullptr;
    if (wine != nullptr) out.emplace_back("wine", wine());
    SYSTEM_INFO info = {};
    GetNativeSystemInfo(&info);
    out.emplace_back("architecture", info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64   ? "x64"
                                     : info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64 ? "arm64"
                                     : info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL ? "x86"
                                                                                                   : "other");
    wchar_t user[257] = {};
    DWORD units = 257;
    out.emplace_back("account", GetUserNameW(user, &units) ? Utf8(user) : "unknown (" + Error(GetLastError()) + ")");
    HANDLE token = nullptr;
    std::string elevated = "unknown";
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        TOKEN_ELEVATION e = {};
        DWORD size = 0;
        if (GetTokenInformation(token, TokenElevation, &e, sizeof e, &size)) elevated = e.TokenIsElevated ? "yes" : "no";
        CloseHandle(token);
    }
    out.emplace_back("elevated", elevated);
    return out;
}
