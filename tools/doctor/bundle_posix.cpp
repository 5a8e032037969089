// The bundle's Linux side: files, where the package puts the programs, the
// package's version, and the system's facts.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "tools/doctor/bundle.h"
#include "tools/doctor/files.h"
#include "tools/doctor/owned.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr char kPackage[] = "orvendel";

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

// This program's folder, from /proc/self/exe.
std::string OwnFolder() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : self.parent_path().string();
}

// "Version:" of the package's stanza in dpkg's status file, when the package
// is installed and lists `path` among its files. Tests put dpkg's folder
// under ORVENDEL_SYSTEM_ROOT, as the doctor's other system folders.
std::string PackageVersion(const std::string& path) {
    const std::string dpkg = Env("ORVENDEL_SYSTEM_ROOT") + "/var/lib/dpkg";
    std::string list, status, why;
    if (ReadRegularFile(dpkg + "/info/" + kPackage + ".list", &list, &why) != ReadResult::kOk) return "";
    std::error_code ec;
    const std::string real = fs::weakly_canonical(path, ec).string();
    bool listed = false;
    std::istringstream lines(list);
    for (std::string line; !listed && std::getline(lines, line);) listed = line == path || line == real;
    if (!listed || ReadRegularFile(dpkg + "/status", &status, &why) != ReadResult::kOk) return "";
    std::istringstream stanzas(status);
    bool ours = false;
    for (std::string line; std::getline(stanzas, line);) {
        if (line.empty()) ours = false;
        if (line == std::string("Package: ") + kPackage) ours = true;
        if (ours && line.compare(0, 9, "Version: ") == 0) return line.substr(9);
    }
    return "";
}

}  // namespace

bool bundle::WriteNewFile(const std::string& path, const std::string& bytes, std::string* why) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (fd.get() < 0) {
        *why = std::strerror(errno);
        return false;
    }
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *why = n < 0 ? std::strerror(errno) : "nothing written";
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool bundle::MakeFolder(const std::string& path, std::string* why) {
    if (::mkdir(path.c_str(), 0755) == 0) return true;
    *why = std::strerror(errno);
    return false;
}

// The .deb puts the tools in bin/ and the host in lib/orvendel/; a build
// folder and the tar.gz's tools folder hold them all together.
std::vector<std::string> bundle::ShippedPrograms() {
    const std::string dir = OwnFolder();
    if (dir.empty()) return {};
    std::vector<std::string> out;
    for (const std::string& name : bundle::ProductPrograms()) {
        if (name != "orvendel_host") out.push_back(dir + "/" + name);
    }
    const std::string beside = dir + "/orvendel_host";
    struct stat st;
    const bool packaged = ::stat(beside.c_str(), &st) != 0 && fs::path(dir).filename() == "bin";
    out.push_back(packaged ? (fs::path(dir).parent_path() / "lib/orvendel/orvendel_host").string() : beside);
    return out;
}

// Linux browsers take an absolute "path" only, as it is.
std::string bundle::ManifestProgram(const std::string&, const std::string& pathValue) { return pathValue; }

void bundle::DescribeProgram(const std::string& path, std::string* version, std::string* signature) {
    const std::string package = PackageVersion(path);
    *version = package.empty() ? "not recorded (no installed " + std::string(kPackage) + " package lists this file)"
                               : "package " + std::string(kPackage) + " " + package;
    *signature = "not signed (Linux programs carry no signature; the .deb's is checked by apt)";
}

std::vector<std::pair<std::string, std::string>> bundle::Environment() {
    std::vector<std::pair<std::string, std::string>> out;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        const std::string entry = *e;
        const size_t eq = entry.find('=');
        if (eq != std::string::npos && eq > 0) out.emplace_back(entry.substr(0, eq), entry.substr(eq + 1));
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> bundle::SystemFacts() {
    std::vector<std::pair<std::string, std::string>> out;
    struct utsname u;
    if (::uname(&u) == 0) {
        out.emplace_back("system", std::string(u.sysname) + " " + u.release + " " + u.version + " " + u.machine);
    } else {
        out.emplace_back("system", std::string("unknown: ") + std::strerror(errno));
    }
    std::string release, why;
    if (ReadRegularFile("/etc/os-release", &release, &why, 64 * 1024) == ReadResult::kOk) {
        std::istringstream lines(release);
        for (std::string line; std::getline(lines, line);) {
            if (line.compare(0, 12, "PRETTY_NAME=") == 0) out.emplace_back("distribution", line.substr(12));
        }
    }
    const uid_t uid = ::geteuid();
    const passwd* pw = ::getpwuid(uid);
    out.emplace_back("account", (pw != nullptr && pw->pw_name != nullptr ? std::string(pw->pw_name) : "unknown") +
                                    " (uid " + std::to_string(uid) + ")");
    out.emplace_back("root", uid == 0 ? "yes" : "no");
    return out;
}
