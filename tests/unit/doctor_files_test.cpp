// What the doctor makes of the files it meets on Linux: the bounded reader on
// every kind of file, the host program as fork and execvp fare with it, and
// the built doctor on manifests that are no files at all, which must end in
// a FAIL, never a crash, a hang or a balloon.
#ifndef _WIN32
#include <elf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "contract/contract.h"
#include "tools/common/child_process.h"
#include "tools/doctor/files.h"
#include "tools/doctor/program_posix.h"

namespace fs = std::filesystem;

namespace {

// A hang guard, not a timing: a sanitized doctor reads a 16 MB manifest many
// times slower, more so on a loaded machine (over 30 s was seen under TSan).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr unsigned kHangSeconds = 200;
#else
constexpr unsigned kHangSeconds = 30;
#endif


class DoctorFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "orvendel-files-XXXXXX").string();
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        root_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    std::string Put(const std::string& name, const std::string& bytes, mode_t mode = 0644) {
        const std::string path = (root_ / name).string();
        std::error_code ec;
        fs::create_directories(fs::path(path).parent_path(), ec);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        chmod(path.c_str(), mode);
        return path;
    }
    std::string At(const std::string& name) const { return (root_ / name).string(); }
    fs::path root_;
};

TEST_F(DoctorFilesTest, TheReaderTakesOnlyRegularFilesWithinItsBound) {
    struct Row {
        const char* what;
        std::function<std::string()> make;
        size_t limit;
        ReadResult result;
        std::string text;  // kOk: the text's start; otherwise part of the reason
    };
    const std::vector<Row> rows = {
        {"a file", [&] { return Put("f", "{}\n"); }, kMaxReadBytes, ReadResult::kOk, "{}\n"},
        {"an empty file", [&] { return Put("e", ""); }, kMaxReadBytes, ReadResult::kOk, ""},
        {"/proc: size 0, text all the same", [] { return std::string("/proc/self/status"); }, kMaxReadBytes,
         ReadResult::kOk, "Name:"},
        {"missing", [&] { return At("none"); }, kMaxReadBytes, ReadResult::kMissing, "does not exist"},
        {"a link leading nowhere",
         [&] {
             symlink(At("none").c_str(), At("dangling").c_str());
             return At("dangling");
         },
         kMaxReadBytes, ReadResult::kMissing, "does not exist"},
        {"a loop of links",
         [&] {
             symlink(At("loop").c_str(), At("loop").c_str());
             return At("loop");
         },
         kMaxReadBytes, ReadResult::kUnreadable, "loop"},
        {"a folder", [&] { return root_.string(); }, kMaxReadBytes, ReadResult::kNotRegular, "a folder"},
        {"a FIFO no one writes",
         [&] {
             mkfifo(At("fifo").c_str(), 0644);
             return At("fifo");
         },
         kMaxReadBytes, ReadResult::kNotRegular, "a FIFO"},
        {"a device", [] { return std::string("/dev/zero"); }, kMaxReadBytes, ReadResult::kNotRegular, "a device"},
        {"a socket",
         [&] {
             sockaddr_un a = {};
             a.sun_family = AF_UNIX;
             std::strncpy(a.sun_path, At("sock").c_str(), sizeof a.sun_path - 1);
             int s = socket(AF_UNIX, SOCK_STREAM, 0);
             bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
             close(s);
             return At("sock");
         },
         kMaxReadBytes, ReadResult::kUnreadable, "No such device"},  // open() refuses it: ENXIO
        {"larger than the bound", [&] { return Put("big", "0123456789"); }, 4, ReadResult::kTooLarge, "larger"},
        {"a link to /proc/self/mem",
         [&] {
             symlink("/proc/self/mem", At("mem").c_str());
             return At("mem");
         },
         kMaxReadBytes, ReadResult::kUnreadable, "cannot be read"},
    };
    for (const Row& r : rows) {
        std::string text = "stale", why;
        const ReadResult got = ReadRegularFile(r.make(), &text, &why, r.limit);
        EXPECT_EQ(got, r.result) << r.what << ": " << why;
        if (r.result == ReadResult::kOk) {
            EXPECT_EQ(text.compare(0, r.text.size(), r.text), 0) << r.what << ": " << text;
            EXPECT_EQ(why, "") << r.what;
        } else {
            EXPECT_EQ(text, "") << r.what;
            EXPECT_NE(why.find(r.text), std::string::npos) << r.what << ": " << why;
        }
    }
}

// An ELF header alone, for this processor or another, with a loader or none.
std::string Elf(bool native, const std::string& loader) {
#if defined(__x86_64__)
    const Elf64_Half here = EM_X86_64, there = EM_AARCH64;
#else
    const Elf64_Half here = EM_AARCH64, there = EM_X86_64;
#endif
    Elf64_Ehdr e = {};
    std::memcpy(e.e_ident, ELFMAG, SELFMAG);
    e.e_ident[EI_CLASS] = ELFCLASS64;
    e.e_ident[EI_DATA] = ELFDATA2LSB;
    e.e_ident[EI_VERSION] = EV_CURRENT;
    e.e_type = ET_DYN;
    e.e_machine = native ? here : there;
    e.e_phoff = sizeof e;
    e.e_phentsize = sizeof(Elf64_Phdr);
    e.e_phnum = 1;
    Elf64_Phdr p = {};
    p.p_type = loader.empty() ? PT_LOAD : PT_INTERP;
    p.p_offset = sizeof e + sizeof p;
    p.p_filesz = loader.size() + 1;
    std::string bytes(reinterpret_cast<const char*>(&e), sizeof e);
    bytes.append(reinterpret_cast<const char*>(&p), sizeof p);
    return bytes + loader + std::string(1, '\0');
}

bool BinfmtMiscIdle() {
    std::error_code ec;
    for (fs::directory_iterator it("/proc/sys/fs/binfmt_misc", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string n = it->path().filename().string();
        if (n != "register" && n != "status") return false;
    }
    return true;
}

// The verdicts the real browser gave for the kinds it was shown are in
// tests/chromium/doctor_agreement_test.cpp; these are the kinds around them.
TEST_F(DoctorFilesTest, TheProgramAsExecvpFaresWithIt) {
    const bool root = geteuid() == 0;
    const std::string exited = browser_says::kExited;
    struct Row {
        const char* what;
        std::function<std::string()> make;  // the manifest's "path"
        Status status;
        std::string says;  // with a FAIL
        std::string text;  // part of the check's text
    };
    const std::vector<Row> rows = {
        {"relative", [] { return std::string("bin/host"); }, Status::kFail, browser_says::kNotFound, "is relative"},
        {"missing", [&] { return At("none"); }, Status::kFail, browser_says::kNotFound, "does not exist"},
        {"a folder", [&] { return root_.string(); }, Status::kFail, exited, "is a folder"},
        {"a FIFO",
         [&] {
             mkfifo(At("fifo").c_str(), 0755);
             return At("fifo");
         },
         Status::kFail, exited, "is not a file"},
        {"no x bit", [&] { return Put("h", "#!/bin/sh\n", 0644); }, Status::kFail, exited, "is not executable"},
        {"a /bin/sh script", [&] { return Put("h", "#!/bin/sh\nexec cat\n", 0755); }, Status::kOk, "",
         "a script run by /bin/sh"},
        {"blanks and an argument after #!", [&] { return Put("h", "#! \t/bin/sh -e\n", 0755); }, Status::kOk, "",
         "a script run by /bin/sh"},
        {"the interpreter is missing", [&] { return Put("h", "#!/nowhere/sh\n", 0755); }, Status::kFail, exited,
         "its interpreter /nowhere/sh does not exist"},
        {"the interpreter is not executable",
         [&] {
             Put("sh", "", 0644);
             return Put("h", "#!" + At("sh") + "\n", 0755);
         },
         Status::kFail, exited, "its interpreter " + At("sh") + " is not executable"},
        {"a relative interpreter, from the program's folder",
         [&] {
             symlink("/bin/sh", At("local-sh").c_str());
             return Put("h", "#!local-sh\n", 0755);
         },
         Status::kOk, "", "a script run by local-sh"},
        {"an interpreter that is a script itself",
         [&] {
             Put("wrap", "#!/bin/sh\n", 0755);
             return Put("h", "#!" + At("wrap") + "\n", 0755);
         },
         Status::kOk, "", "a script run by " + At("wrap")},
        {"a #! naming nothing: /bin/sh runs it", [&] { return Put("h", "#!\necho\n", 0755); }, Status::kWarn, "",
         "execvp runs it with /bin/sh as a shell script"},
        {"no #! line: /bin/sh runs it", [&] { return Put("h", "exec cat\n", 0755); }, Status::kWarn, "",
         "execvp runs it with /bin/sh as a shell script"},
        {"empty, with x bits", [&] { return Put("h", "", 0755); }, Status::kFail, exited, "is empty"},
        {"binary, no ELF", [&] { return Put("h", std::string("MZ\0\0\x90", 5), 0755); }, Status::kFail, exited,
         "cannot run binary content"},
        {"this processor's ELF program", [] { return fs::read_symlink("/proc/self/exe").string(); }, Status::kOk, "",
         "an ELF program for this machine"},
        {"an ELF program whose loader is missing", [&] { return Put("h", Elf(true, "/nowhere/ld.so"), 0755); },
         Status::kFail, exited, "its loader /nowhere/ld.so does not exist"},
        {"a static ELF program", [&] { return Put("h", Elf(true, ""), 0755); }, Status::kOk, "", "a static ELF"},
        {"another processor's ELF program", [&] { return Put("h", Elf(false, ""), 0755); },
         BinfmtMiscIdle() ? Status::kFail : Status::kWarn, BinfmtMiscIdle() ? exited : "",
         "built for another processor"},
        // Run as root, any x bit lets it run, but only for root.
        {"only its owner may run it", [&] { return Put("h", "#!/bin/sh\n", 0700); },
         root ? Status::kWarn : Status::kOk, "", root ? "only its owner or group may run it" : "a script run by"},
    };
    for (const Row& r : rows) {
        std::error_code ec;
        for (const char* name : {"h", "sh", "wrap", "local-sh", "fifo"}) fs::remove(root_ / name, ec);
        const ProgramVerdict v = JudgeProgram("m.json", r.make());
        EXPECT_EQ(v.status, r.status) << r.what << ": " << v.text;
        EXPECT_EQ(v.browserSays, r.says) << r.what << ": " << v.text;
        EXPECT_EQ(v.browserAlsoSays, r.says == exited ? browser_says::kIoError : "") << r.what;
        EXPECT_NE(v.text.find(r.text), std::string::npos) << r.what << ": " << v.text;
        EXPECT_EQ(v.fix.empty(), r.status == Status::kOk) << r.what << ": " << v.fix;
    }
}

struct DoctorRun {
    bool ended = false;  // within the bound, by itself
    int status = -1;
    long peakKb = 0;
    std::string out;
};

// The built doctor as a child that SIGALRM ends if it hangs.
DoctorRun RunDoctor(const fs::path& root) {
    DoctorRun run;
    const std::string doctor = ProgramDirectory() + "orvendel-doctor";
    const std::string home = "HOME=" + (root / "home").string();
    const std::string system = "ORVENDEL_SYSTEM_ROOT=" + (root / "sys").string();
    int out[2];
    if (pipe(out) != 0) return run;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        alarm(kHangSeconds);
        const char* argv[] = {doctor.c_str(), "--browser", "chromium", "--json", nullptr};
        const char* envp[] = {home.c_str(), system.c_str(), "PATH=/usr/bin:/bin", nullptr};
        execve(doctor.c_str(), const_cast<char**>(argv), const_cast<char**>(envp));
        _exit(127);
    }
    close(out[1]);
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) != 0;) {
        if (n > 0) run.out.append(buffer, static_cast<size_t>(n));
        if (n < 0 && errno != EINTR) break;
    }
    close(out[0]);
    int status = 0;
    rusage usage = {};
    if (wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status)) {
        run.ended = true;
        run.status = WEXITSTATUS(status);
    } else {
        run.status = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    }
    run.peakKb = usage.ru_maxrss;
    return run;
}

TEST_F(DoctorFilesTest, TheDoctorFailsClearlyOnManifestsThatAreNoFiles) {
    const std::string name = HOST_REGISTERED_NAME;
    const fs::path user = root_ / "home" / ".config" / "chromium" / "NativeMessagingHosts";
    const std::string manifest = (user / (name + ".json")).string();
    const size_t big = kMaxReadBytes - 1024 * 1024;
    struct Row {
        const char* what;
        std::function<void()> make;
        std::string says;
        std::vector<std::string> checks;  // the chromium checks, "STATUS rule"
    };
    const std::vector<Row> rows = {
        {"a folder", [&] { fs::create_directories(manifest); }, browser_says::kNotFound,
         {"OK registration.used", "FAIL manifest.read"}},
        {"a FIFO", [&] { mkfifo(manifest.c_str(), 0644); }, browser_says::kNoAnswer,
         {"OK registration.used", "FAIL manifest.read"}},
        {"a loop of links", [&] { symlink(manifest.c_str(), manifest.c_str()); }, browser_says::kNotFound,
         {"OK registration.unread", "FAIL registration.none"}},
        {"a link to /proc/self/mem", [&] { symlink("/proc/self/mem", manifest.c_str()); }, browser_says::kNotFound,
         {"OK registration.used", "FAIL manifest.read"}},
        {"larger than the bound",
         [&] {
             std::ofstream f(manifest, std::ios::binary);
             f << std::string(kMaxReadBytes + 1, ' ');
         },
         browser_says::kNotFound, {"OK registration.used", "FAIL manifest.read"}},
        // Held twice at most: its bytes and their rewrite, parsed in place.
        {"a valid manifest near the bound",
         [&] {
             std::ofstream f(manifest, std::ios::binary);
             f << "{\"name\": \"" << name << "\", \"path\": \"/nowhere/host\", \"type\": \"stdio\","
               << " \"allowed_origins\": [\"chrome-extension://" REFERENCE_EXTENSION_ID "/\"], \"description\": \""
               << std::string(big, 'd') << "\"}";
         },
         browser_says::kNotFound,
         {"OK registration.used", "OK manifest.fields", "OK manifest.origin", "FAIL program"}},
    };
    for (const Row& r : rows) {
        std::error_code ec;
        fs::remove_all(root_ / "home", ec);
        fs::create_directories(user, ec);
        r.make();
        const DoctorRun run = RunDoctor(root_);
        ASSERT_TRUE(run.ended) << r.what << ": it did not end by itself (status " << run.status << ")";
        EXPECT_EQ(run.status, 1) << r.what;
        rapidjson::Document doc;
        ASSERT_FALSE(doc.Parse(run.out.c_str()).HasParseError()) << r.what << ": " << run.out.substr(0, 300);
        const auto& verdict = doc["browsers"][0];
        EXPECT_FALSE(verdict["starts"].GetBool()) << r.what;
        EXPECT_EQ(std::string(verdict["browser_says"].GetString()), r.says) << r.what;
        std::vector<std::string> checks;
        for (const auto& c : doc["checks"].GetArray()) {
            if (std::string(c["browser"].GetString()) == "chromium") {
                checks.push_back(std::string(c["status"].GetString()) + " " + c["rule"].GetString());
            }
        }
        EXPECT_EQ(checks, r.checks) << r.what;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        // The doctor alone takes a few MB; the peak also counts this test's
        // own pages from before the exec, so the bound holds some slack.
        EXPECT_LT(run.peakKb * 1024L, static_cast<long>(2 * big + 12 * 1024 * 1024)) << r.what;
#endif
    }
}

}  // namespace
#endif
