// orv-verinfo: reads the version resources of Windows programs back, as
// Windows shows them in a file's properties.
//
//   orv-verinfo [--expect VERSION] FILE|FOLDER...
//
// Prints each file's seven version strings. With --expect, each file's
// FileVersion, ProductVersion and fixed file version must be VERSION and its
// OriginalFilename its own name. A FOLDER stands for every *.exe in it.
// Exit status: 0 all present (and as expected), 1 otherwise, 2 bad usage.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const wchar_t* const kKeys[] = {L"CompanyName",      L"FileDescription", L"FileVersion",  L"InternalName",
                                L"LegalCopyright",   L"OriginalFilename", L"ProductName", L"ProductVersion"};

std::wstring Wide(const char* text) {
    int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring out(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1) MultiByteToWideChar(CP_ACP, 0, text, -1, &out[0], n);
    return out;
}

std::string Narrow(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring BaseName(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// The files a FILE|FOLDER argument stands for.
std::vector<std::wstring> Expand(const std::wstring& arg) {
    DWORD attributes = GetFileAttributesW(arg.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return {arg};
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((arg + L"\\*.exe").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return files;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) files.push_back(arg + L"\\" + found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return files;
}

bool Check(const std::wstring& path, const std::wstring& expected) {
    std::printf("%s\n", Narrow(path).c_str());
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    std::vector<char> data(size);
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, data.data())) {
        std::printf("  no version resource (error %lu)\n", GetLastError());
        return false;
    }
    bool ok = true;
    for (const wchar_t* key : kKeys) {
        std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + key;
        wchar_t* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) || length == 0) {
            std::printf("  %s missing\n", Narrow(key).c_str());
            ok = false;
            continue;
        }
        std::wstring text(value);
        std::printf("  %s=%s\n", Narrow(key).c_str(), Narrow(text).c_str());
        if (expected.empty()) continue;
        std::wstring want = std::wstring(key) == L"OriginalFilename" ? BaseName(path) : expected;
        bool checked = std::wstring(key) == L"FileVersion" || std::wstring(key) == L"ProductVersion" ||
                       std::wstring(key) == L"OriginalFilename";
        if (checked && _wcsicmp(text.c_str(), want.c_str()) != 0) {
            std::printf("  %s is not %s\n", Narrow(key).c_str(), Narrow(want).c_str());
            ok = false;
        }
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || fixed == nullptr) {
        std::printf("  no fixed file version\n");
        return false;
    }
    std::wstring numbers = std::to_wstring(HIWORD(fixed->dwFileVersionMS)) + L"." +
                           std::to_wstring(LOWORD(fixed->dwFileVersionMS)) + L"." +
                           std::to_wstring(HIWORD(fixed->dwFileVersionLS));
    std::printf("  fixed=%s.%u\n", Narrow(numbers).c_str(), static_cast<unsigned>(LOWORD(fixed->dwFileVersionLS)));
    if (!expected.empty() && expected != numbers) {
        std::printf("  the fixed file version is not %s\n", Narrow(expected).c_str());
        ok = false;
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    std::wstring expected;
    std::vector<std::wstring> files;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::puts("Usage: orv-verinfo [--expect VERSION] FILE|FOLDER...");
            return 0;
        }
        if (arg == "--expect" && i + 1 < argc) {
            expected = Wide(argv[++i]);
        } else if (!arg.empty() && arg[0] == '-') {
            std::fprintf(stderr, "orv-verinfo: unknown option '%s'\n", arg.c_str());
            return 2;
        } else {
            for (const std::wstring& f : Expand(Wide(argv[i]))) files.push_back(f);
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "orv-verinfo: no file\n");
        return 2;
    }
    bool ok = true;
    for (const std::wstring& f : files) ok = Check(f, expected) && ok;
    return ok ? 0 : 1;
}
