// The process snapshot as CheckBrowser reads it, kernel32 resolution by name,
// process creation times, and the launcher that plays the browser. The
// portable cases run against our /proc reader and, under Wine, against the
// real ToolHelp.
#include <gtest/gtest.h>

#include <atomic>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tools/common/child_process.h"
#include "tools/common/wide.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#endif

namespace {

// The tests start this very program again as a child; this variable says
// what the child does instead of running tests.
const char kChildModeVariable[] = "ORVENDEL_TOOLHELP_CHILD";
// The exit status of a child that has reported.
constexpr uint32_t kReportedStatus = 7;

// Every entry of one snapshot, read the way CheckBrowser reads them.
std::vector<PROCESSENTRY32W> SnapshotEntries() {
    std::vector<PROCESSENTRY32W> entries;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPALL, GetCurrentProcessId());
    if (snapshot == INVALID_HANDLE_VALUE) return entries;
    PROCESSENTRY32W entry;
    memset(&entry, 0, sizeof entry);
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        entries.push_back(entry);
        memset(&entry, 0, sizeof entry);
        entry.dwSize = sizeof entry;
    }
    CloseHandle(snapshot);
    return entries;
}

const PROCESSENTRY32W* FindEntry(const std::vector<PROCESSENTRY32W>& entries, DWORD pid) {
    for (const auto& entry : entries) {
        if (entry.th32ProcessID == pid) return &entry;
    }
    return nullptr;
}

std::string ImageOf(const std::vector<PROCESSENTRY32W>& entries, DWORD pid) {
    const PROCESSENTRY32W* entry = FindEntry(entries, pid);
    return entry != nullptr ? Utf8(entry->szExeFile) : std::string("(none)");
}

uint64_t FileTimeValue(const FILETIME& ft) {
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// The current time in FILETIME units.
uint64_t Now() {
#if defined(_WIN32)
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return FileTimeValue(ft);
#else
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return 116444736000000000ull + static_cast<uint64_t>(ts.tv_sec) * 10000000ull +
           static_cast<uint64_t>(ts.tv_nsec) / 100;
#endif
}

constexpr uint64_t kSecond = 10000000ull;

bool CreationTime(DWORD pid, uint64_t* value) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) return false;
    FILETIME created, exited, kernel, user;
    BOOL ok = GetProcessTimes(process, &created, &exited, &kernel, &user);
    CloseHandle(process);
    *value = FileTimeValue(created);
    return ok != FALSE;
}

// Where the parent's window is, for a child of the launcher: a visible
// "Chrome_WidgetWin_1" window with a system menu that its parent owns.
struct WindowSearch {
    DWORD owner;
    bool found;
};

BOOL CALLBACK FindOwnedBrowserWindow(HWND hwnd, LPARAM lParam) {
    auto* search = reinterpret_cast<WindowSearch*>(lParam);
    WCHAR name[260] = {};
    GetClassNameW(hwnd, name, 260);
    if (Utf8(name) != "Chrome_WidgetWin_1" || !IsWindowVisible(hwnd) ||
        (GetWindowLongW(hwnd, GWL_STYLE) & WS_SYSMENU) == 0) {
        return TRUE;
    }
#if defined(_WIN32)
    DWORD owner = 0;
    GetWindowThreadProcessId(hwnd, &owner);
#else
    // On the simulated desktop the launcher's window handle is its pid.
    DWORD owner = static_cast<DWORD>(reinterpret_cast<uintptr_t>(hwnd));
#endif
    if (owner != search->owner) return TRUE;
    search->found = true;
    return FALSE;
}

// The child's side. "wait": stay until standard input ends. "report": write
// the names of our parent and grandparent and whether the parent shows a
// browser window, then end with kReportedStatus.
bool RunAsChildIfAsked() {
    const char* mode = getenv(kChildModeVariable);
    if (mode == nullptr) return false;
    if (strcmp(mode, "wait") == 0) {
        char buffer[256];
        while (fread(buffer, 1, sizeof buffer, stdin) > 0) {
        }
        std::_Exit(0);
    }
    if (strcmp(mode, "report") == 0) {
        std::vector<PROCESSENTRY32W> entries = SnapshotEntries();
        const PROCESSENTRY32W* self = FindEntry(entries, GetCurrentProcessId());
        DWORD parent = self != nullptr ? self->th32ParentProcessID : 0;
        const PROCESSENTRY32W* parentEntry = FindEntry(entries, parent);
        DWORD grandparent = parentEntry != nullptr ? parentEntry->th32ParentProcessID : 0;
        WindowSearch search = {parent, false};
        EnumWindows(FindOwnedBrowserWindow, reinterpret_cast<LPARAM>(&search));
        _setmode(_fileno(stdout), _O_BINARY);
        printf("parent=%s\ngrandparent=%s\nwindow=%s\n", ImageOf(entries, parent).c_str(),
               ImageOf(entries, grandparent).c_str(), search.found ? "yes" : "no");
        fflush(stdout);
        std::_Exit(static_cast<int>(kReportedStatus));
    }
    fprintf(stderr, "unknown %s: %s\n", kChildModeVariable, mode);
    std::_Exit(2);
}

[[maybe_unused]] const bool g_ranAsChild = RunAsChildIfAsked();

std::string OwnExecutable() {
#if defined(_WIN32)
    WCHAR path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return std::string();
    return Utf8(path);
#else
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
#endif
}

std::string BaseName(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Our name in a snapshot. Linux keeps the first 15 bytes of a process's name.
std::string OwnImageName() {
    std::string name = BaseName(OwnExecutable());
#if !defined(_WIN32)
    name = name.substr(0, 15);
#endif
    return name;
}

// A folder of program aliases: a program under another name. POSIX links
// (an exec'd link takes the link's name as its process name); Windows copies.
class AliasFolder {
public:
    AliasFolder() = default;
    AliasFolder(const AliasFolder&) = delete;
    AliasFolder& operator=(const AliasFolder&) = delete;
    ~AliasFolder() {
        for (const auto& file : files_) Delete(file);
        if (!dir_.empty()) RemoveFolder();
    }

    bool Create() {
#if defined(_WIN32)
        WCHAR temp[MAX_PATH];
        DWORD n = GetTempPathW(MAX_PATH, temp);
        if (n == 0 || n >= MAX_PATH) return false;
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string dir = Utf8(temp) + "orv-alias-" + std::to_string(GetCurrentProcessId()) + "-" +
                              std::to_string(attempt);
            if (CreateDirectoryW(Wide(dir).c_str(), nullptr)) {
                dir_ = dir;
                return true;
            }
        }
        return false;
#else
        char pattern[] = "/tmp/orv-alias-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return false;
        dir_ = pattern;
        return true;
#endif
    }

    // The alias's path, or "" when it could not be made.
    std::string Add(const std::string& program, const std::string& name) {
        std::string path = dir_ + kSeparator + name;
#if defined(_WIN32)
        if (!CopyFileW(Wide(program).c_str(), Wide(path).c_str(), TRUE)) return std::string();
#else
        if (symlink(program.c_str(), path.c_str()) != 0) return std::string();
#endif
        files_.push_back(path);
        return path;
    }

private:
#if defined(_WIN32)
    static constexpr const char* kSeparator = "\\";
    static void Delete(const std::string& file) { DeleteFileW(Wide(file).c_str()); }
    void RemoveFolder() { RemoveDirectoryW(Wide(dir_).c_str()); }
#else
    static constexpr const char* kSeparator = "/";
    static void Delete(const std::string& file) { unlink(file.c_str()); }
    void RemoveFolder() { rmdir(dir_.c_str()); }
#endif

    std::string dir_;
    std::vector<std::string> files_;
};

// Our own program, started again in one of the child modes.
bool StartSelf(ChildProcess* child, const std::string& program, const char* mode, std::string* error) {
    return child->Start(program, {}, {{kChildModeVariable, mode}}, error);
}

// ---------------------------------------------------------------------------

TEST(ToolhelpSnapshot, ListsOurselvesUnderOurImageName) {
    std::vector<PROCESSENTRY32W> entries = SnapshotEntries();
    const PROCESSENTRY32W* self = FindEntry(entries, GetCurrentProcessId());
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(Utf8(self->szExeFile), OwnImageName());
#if !defined(_WIN32)
    EXPECT_EQ(self->th32ParentProcessID, static_cast<DWORD>(getppid()));
#endif
    EXPECT_GE(self->cntThreads, 1u);
    // Pids are unique within one snapshot.
    for (size_t i = 0; i < entries.size(); ++i) {
        for (size_t j = i + 1; j < entries.size(); ++j) {
            ASSERT_NE(entries[i].th32ProcessID, entries[j].th32ProcessID);
        }
    }
}

TEST(ToolhelpSnapshot, SeesAChildUnderTheNameItWasStartedAs) {
    AliasFolder folder;
    ASSERT_TRUE(folder.Create());
    std::string alias = folder.Add(OwnExecutable(), ExecutableName("chrome"));
    ASSERT_FALSE(alias.empty());
    ChildProcess child;
    std::string error;
    ASSERT_TRUE(StartSelf(&child, alias, "wait", &error)) << error;

    std::vector<PROCESSENTRY32W> entries = SnapshotEntries();
    const PROCESSENTRY32W* entry = FindEntry(entries, child.Pid());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(Utf8(entry->szExeFile), ExecutableName("chrome"));
    EXPECT_EQ(entry->th32ParentProcessID, GetCurrentProcessId());

    child.CloseInput();
    uint32_t status = 99;
    ASSERT_TRUE(child.Wait(30000, &status));
    EXPECT_EQ(status, 0u);
    // Gone from the next snapshot.
    EXPECT_EQ(FindEntry(SnapshotEntries(), child.Pid()), nullptr);
}

// The product's record is 556 bytes, as on 32-bit Windows and in our stand-in;
// a 64-bit Windows build's is 568 (its heap id is pointer-sized).
#if !defined(_WIN64)
static_assert(sizeof(PROCESSENTRY32W) == 556, "the 32-bit PROCESSENTRY32W");
#else
static_assert(sizeof(PROCESSENTRY32W) == 568, "the 64-bit PROCESSENTRY32W");
#endif

TEST(ToolhelpSnapshot, EntrySizeIsChecked) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPALL, GetCurrentProcessId());
    ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
    PROCESSENTRY32W entry;
    for (DWORD size : {DWORD{0}, DWORD{4}, DWORD{sizeof entry - 1}}) {
        memset(&entry, 0, sizeof entry);
        entry.dwSize = size;
        SetLastError(0);
        EXPECT_FALSE(Process32FirstW(snapshot, &entry)) << size;
        DWORD error = GetLastError();
#if defined(_WIN32)
        // Windows says ERROR_BAD_LENGTH; Wine ERROR_INSUFFICIENT_BUFFER.
        EXPECT_TRUE(error == ERROR_BAD_LENGTH || error == ERROR_INSUFFICIENT_BUFFER) << error;
#else
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_BAD_LENGTH)) << size;
#endif
        EXPECT_EQ(entry.th32ProcessID, 0u);
    }
    memset(&entry, 0, sizeof entry);
    entry.dwSize = sizeof entry;
    ASSERT_TRUE(Process32FirstW(snapshot, &entry));
    entry.dwSize = 100;
    SetLastError(0);
    EXPECT_FALSE(Process32NextW(snapshot, &entry));
    EXPECT_NE(GetLastError(), 0u);
    CloseHandle(snapshot);
}

TEST(ToolhelpSnapshot, WalkEndsWithNoMoreFilesAndCanStartAgain) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
    PROCESSENTRY32W entry;
    memset(&entry, 0, sizeof entry);
    entry.dwSize = sizeof entry;
    ASSERT_TRUE(Process32FirstW(snapshot, &entry));
    DWORD first = entry.th32ProcessID;
    std::vector<DWORD> pids{first};
    while (Process32NextW(snapshot, &entry)) pids.push_back(entry.th32ProcessID);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_FALSE(Process32NextW(snapshot, &entry));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));

    // A second walk of the same snapshot gives the same entries.
    ASSERT_TRUE(Process32FirstW(snapshot, &entry));
    EXPECT_EQ(entry.th32ProcessID, first);
    size_t count = 1;
    while (Process32NextW(snapshot, &entry)) {
        ASSERT_LT(count, pids.size());
        EXPECT_EQ(entry.th32ProcessID, pids[count]);
        ++count;
    }
    EXPECT_EQ(count, pids.size());
    EXPECT_NE(std::find(pids.begin(), pids.end(), GetCurrentProcessId()), pids.end());
    CloseHandle(snapshot);
}

TEST(ToolhelpSnapshot, BadHandlesAreRefused) {
    PROCESSENTRY32W entry;
    memset(&entry, 0, sizeof entry);
    entry.dwSize = sizeof entry;
    SetLastError(0);
    EXPECT_FALSE(Process32FirstW(INVALID_HANDLE_VALUE, &entry));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(Process32NextW(nullptr, &entry));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

#if !defined(_WIN32)

// A forked child that renames itself and stays until told to go.
class NamedChild {
public:
    explicit NamedChild(const char* name) {
        int ready[2], release[2];
        if (pipe(ready) != 0) return;
        if (pipe(release) != 0) {
            close(ready[0]);
            close(ready[1]);
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(release[1]);
            prctl(PR_SET_NAME, name, 0, 0, 0);
            char c = 1;
            (void)!write(ready[1], &c, 1);
            (void)!read(release[0], &c, 1);
            _exit(0);
        }
        close(ready[1]);
        close(release[0]);
        release_ = release[1];
        char c = 0;
        if (pid_ < 0 || read(ready[0], &c, 1) != 1) pid_ = -1;
        close(ready[0]);
    }
    ~NamedChild() {
        if (release_ >= 0) close(release_);
        if (pid_ > 0) {
            int status;
            waitpid(pid_, &status, 0);
        }
    }
    DWORD Pid() const { return pid_ > 0 ? static_cast<DWORD>(pid_) : 0; }

private:
    pid_t pid_ = -1;
    int release_ = -1;
};

TEST(ToolhelpSnapshot, NamesWithBlanksAndParenthesesParse) {
    const char* names[] = {"chrome", "a b", "x) (y", ")", "( )) 1 2 3 4", "ends in ) ", "çhrome"};
    for (const char* name : names) {
        NamedChild child(name);
        ASSERT_NE(child.Pid(), 0u);
        std::vector<PROCESSENTRY32W> entries = SnapshotEntries();
        const PROCESSENTRY32W* entry = FindEntry(entries, child.Pid());
        ASSERT_NE(entry, nullptr) << name;
        EXPECT_EQ(Utf8(entry->szExeFile), name);
        EXPECT_EQ(entry->th32ParentProcessID, GetCurrentProcessId()) << name;
        EXPECT_GE(entry->cntThreads, 1u) << name;  // sanitizers add threads of their own
    }
}

TEST(ToolhelpSnapshot, NameThatIsNotUtf8StillParses) {
    NamedChild child("bad\xff) x");
    ASSERT_NE(child.Pid(), 0u);
    std::vector<PROCESSENTRY32W> entries = SnapshotEntries();
    const PROCESSENTRY32W* entry = FindEntry(entries, child.Pid());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->th32ParentProcessID, GetCurrentProcessId());
    EXPECT_EQ(entry->szExeFile[0], u'b');
    EXPECT_EQ(entry->szExeFile[3], 0xFF);
    EXPECT_EQ(entry->szExeFile[7], 0);
}

TEST(ToolhelpSnapshot, ProcessesThatComeAndGoDoNotSpoilTheSnapshot) {
    // Children that end while snapshots are being read.
    std::vector<pid_t> children;
    for (int round = 0; round < 20; ++round) {
        for (int i = 0; i < 5; ++i) {
            pid_t pid = fork();
            if (pid == 0) _exit(0);
            if (pid > 0) children.push_back(pid);
        }
        std::vector<PROCESSENTRY32W> entries = SnapshotEntries();
        ASSERT_NE(FindEntry(entries, GetCurrentProcessId()), nullptr) << round;
        for (pid_t pid : children) {
            int status;
            waitpid(pid, &status, 0);
        }
        children.clear();
    }
}

TEST(ToolhelpSnapshot, SnapshotWithoutProcessesListsNone) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD | TH32CS_SNAPMODULE, 0);
    ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
    PROCESSENTRY32W entry;
    memset(&entry, 0, sizeof entry);
    entry.dwSize = sizeof entry;
    EXPECT_FALSE(Process32FirstW(snapshot, &entry));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    CloseHandle(snapshot);
}

#endif  // !_WIN32

// ---------------------------------------------------------------------------

TEST(Kernel32Resolution, LoadsKernel32InAnyCase) {
    for (const WCHAR* name : {W("kernel32.dll"), W("KERNEL32.DLL"), W("Kernel32.Dll")}) {
        HMODULE module = LoadLibraryW(name);
        ASSERT_NE(module, nullptr) << Utf8(name);
        EXPECT_TRUE(FreeLibrary(module));
    }
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(W("orvendel-no-such-library.dll")), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST(Kernel32Resolution, ResolvesTheSnapshotFunctionsByName) {
    typedef HANDLE(WINAPI * CreateSnapshotFn)(DWORD, DWORD);
    typedef BOOL(WINAPI * WalkFn)(HANDLE, LPPROCESSENTRY32W);
    HMODULE kernel32 = LoadLibraryW(W("kernel32.dll"));
    ASSERT_NE(kernel32, nullptr);
    // Through void (*)() to keep the cast quiet, as callers do.
    auto createSnapshot = reinterpret_cast<CreateSnapshotFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "CreateToolhelp32Snapshot")));
    auto first = reinterpret_cast<WalkFn>(reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "Process32FirstW")));
    auto next = reinterpret_cast<WalkFn>(reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "Process32NextW")));
    ASSERT_NE(createSnapshot, nullptr);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(next, nullptr);

    HANDLE snapshot = createSnapshot(TH32CS_SNAPALL, GetCurrentProcessId());
    ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
    PROCESSENTRY32W entry;
    memset(&entry, 0, sizeof entry);
    entry.dwSize = sizeof entry;
    bool foundSelf = false;
    for (BOOL more = first(snapshot, &entry); more; more = next(snapshot, &entry)) {
        foundSelf = foundSelf || entry.th32ProcessID == GetCurrentProcessId();
    }
    EXPECT_TRUE(foundSelf);
    CloseHandle(snapshot);

    for (const char* missing : {"NoSuchFunction", "process32firstw", "Process32FirstW ", ""}) {
        SetLastError(0);
        EXPECT_EQ(GetProcAddress(kernel32, missing), nullptr) << missing;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND)) << missing;
    }
    EXPECT_TRUE(FreeLibrary(kernel32));
}

// ---------------------------------------------------------------------------

TEST(ProcessTimes, OurCreationTimeIsInThePast) {
    uint64_t created = 0;
    ASSERT_TRUE(CreationTime(GetCurrentProcessId(), &created));
    uint64_t now = Now();
    // Boot time has a resolution of one second.
    EXPECT_LE(created, now + kSecond);
    EXPECT_GT(created, now - 24 * 3600 * kSecond);
}

TEST(ProcessTimes, AChildIsNotCreatedBeforeItsParent) {
    std::string error;
    uint64_t before = Now();
    ChildProcess child;
    ASSERT_TRUE(StartSelf(&child, OwnExecutable(), "wait", &error)) << error;
    uint64_t ours = 0, theirs = 0;
    ASSERT_TRUE(CreationTime(GetCurrentProcessId(), &ours));
    ASSERT_TRUE(CreationTime(child.Pid(), &theirs));
    EXPECT_GE(theirs, ours);
    // Generous: only a wrong origin or unit would miss this.
    EXPECT_GT(theirs + 5 * kSecond, before);
    EXPECT_LT(theirs, Now() + 5 * kSecond);
    child.CloseInput();
    ASSERT_TRUE(child.Wait(30000, nullptr));
}

TEST(ProcessTimes, OpenProcessNeedsAnExistingProcess) {
    SetLastError(0);
    EXPECT_EQ(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    EXPECT_EQ(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0x7FFFFFF0u), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

#if !defined(_WIN32)
TEST(ProcessTimes, AThreadIdIsNoProcess) {
    std::atomic<pid_t> tid{0};
    int wake[2];
    ASSERT_EQ(pipe(wake), 0);
    // A thread's id opens in /proc like a pid, but names no process.
    std::thread worker([&] {
        tid = static_cast<pid_t>(GetCurrentThreadId());
        char c;
        (void)!read(wake[0], &c, 1);
    });
    while (tid.load() == 0) Sleep(1);
    SetLastError(0);
    EXPECT_EQ(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(tid.load())), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    (void)!write(wake[1], "x", 1);
    worker.join();
    close(wake[0]);
    close(wake[1]);
}
#endif

// ---------------------------------------------------------------------------

// The launcher, built beside the tests.
std::string LauncherPath() { return ProgramDirectory() + ExecutableName("orv-launcher"); }

class LauncherTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder.Create());
        launcher = LauncherPath();
        FILE* f = fopen(launcher.c_str(), "rb");
        ASSERT_NE(f, nullptr) << "build orv-launcher first: " << launcher;
        fclose(f);
#if !defined(_WIN32)
        ns = "orvtest-" + std::to_string(getpid()) + "-launcher";
#endif
    }
    void TearDown() override {
#if !defined(_WIN32)
        shm_unlink(("/orvendel." + ns + ".%desktop").c_str());
#endif
    }

    // Runs a launcher chain that ends in our own program in "report" mode.
    std::string Report(const std::string& first, const std::vector<std::string>& args, uint32_t* status) {
        ChildProcess child;
        std::string error;
        std::vector<std::pair<std::string, std::string>> env = {{kChildModeVariable, "report"}};
        if (!ns.empty()) env.push_back({"ORVENDEL_NAMESPACE", ns});
        EXPECT_TRUE(child.Start(first, args, env, &error)) << error;
        child.CloseInput();
        std::string output;
        EXPECT_TRUE(child.ReadToEnd(&output, 60000));
        EXPECT_TRUE(child.Wait(60000, status));
        return output;
    }

    AliasFolder folder;
    std::string launcher;
    std::string ns;
};

TEST_F(LauncherTest, ChildSeesTheBrowserAsItsParentAndItsWindow) {
    std::string chrome = folder.Add(launcher, ExecutableName("chrome"));
    ASSERT_FALSE(chrome.empty());
    uint32_t status = 0;
    std::string output = Report(chrome, {"--window", OwnExecutable()}, &status);
    // Nothing of the launcher's own on standard output, and the child's status.
    EXPECT_EQ(output, "parent=" + ExecutableName("chrome") + "\ngrandparent=" + OwnImageName() + "\nwindow=yes\n");
    EXPECT_EQ(status, kReportedStatus);
}

TEST_F(LauncherTest, ChainOfLaunchers) {
    std::string edge = folder.Add(launcher, ExecutableName("msedge"));
    std::string cmd = folder.Add(launcher, ExecutableName("cmd"));
    ASSERT_FALSE(edge.empty());
    ASSERT_FALSE(cmd.empty());
    uint32_t status = 0;
    std::string output = Report(edge, {"--window", cmd, "--exit-after-child", OwnExecutable()}, &status);
    EXPECT_NE(output.find("parent=" + ExecutableName("cmd") + "\ngrandparent=" + ExecutableName("msedge") + "\n"),
              std::string::npos)
        << output;
    // The window belongs to the grandparent, not to the parent.
    EXPECT_NE(output.find("window=no\n"), std::string::npos) << output;
    EXPECT_EQ(status, kReportedStatus);
}

TEST_F(LauncherTest, OwnFailuresHaveStatusesOfTheirOwn) {
    struct Case {
        std::vector<std::string> args;
        uint32_t status;
    };
    for (const Case& c : {Case{{"orvendel-no-such-program"}, 127u}, Case{{}, 125u}, Case{{"--window"}, 125u},
                          Case{{"--no-such-option", "x"}, 125u}}) {
        ChildProcess child;
        std::string error;
        ASSERT_TRUE(child.Start(launcher, c.args, {}, &error)) << error;
        child.CloseInput();
        std::string output;
        EXPECT_TRUE(child.ReadToEnd(&output, 60000));
        EXPECT_EQ(output, "");
        uint32_t status = 0;
        ASSERT_TRUE(child.Wait(60000, &status));
        EXPECT_EQ(status, c.status) << c.args.size();
    }
}

}  // namespace
