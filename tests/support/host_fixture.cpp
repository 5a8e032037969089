#include "tests/support/host_fixture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "contract/contract.h"
#include "contract/frame_header.h"
#include "platform/platform.h"
#include "support/framing.h"
#include "support/heap.h"
#include "support/log.h"
#include "tests/support/peer.h"

namespace fs = std::filesystem;

const std::vector<std::string> kChromeParent = {"chrome"};

namespace {

const char kDefaultIni[] = CLIENT_INI_WITH_DEBUG("1");

fs::path PathOf(const std::string& utf8) { return fs::u8path(utf8); }

bool WriteBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool ReadBytes(const fs::path& path, std::string* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool IsLogFile(const fs::directory_entry& entry) {
    std::error_code ec;
    return entry.is_regular_file(ec) && entry.path().extension() == ".log";
}

// Whether any process still has a log file of the folder open. A log call
// closes its file under the same busy flag that drops other threads' lines.
#if defined(_WIN32)
bool LogFileHeld(const std::string& dumpDir) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(PathOf(dumpDir), ec)) {
        if (!IsLogFile(entry)) continue;
        // An open that shares nothing fails while another handle is open.
        HANDLE file = CreateFileW(entry.path().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_SHARING_VIOLATION) return true;
        } else {
            CloseHandle(file);
        }
    }
    return false;
}
#else
bool LogFileHeld(const std::string& dumpDir) {
    const std::string prefix = dumpDir + "/";
    std::error_code ec;
    for (const auto& process : fs::directory_iterator("/proc", ec)) {
        std::error_code fdError;
        for (const auto& fd : fs::directory_iterator(process.path() / "fd", fdError)) {
            std::error_code linkError;
            fs::path target = fs::read_symlink(fd.path(), linkError);
            if (!linkError && target.native().compare(0, prefix.size(), prefix) == 0 &&
                target.extension() == ".log") {
                return true;
            }
        }
    }
    return false;
}
#endif

#if defined(_WIN32)
bool SystemWindowsDir(std::string* dir) {
    WCHAR buffer[MAX_PATH] = {};
    UINT units = GetSystemWindowsDirectoryW(buffer, MAX_PATH);
    if (units == 0 || units >= MAX_PATH) return false;
    *dir = fs::path(buffer).u8string();
    while (!dir->empty() && (dir->back() == '\\' || dir->back() == '/')) dir->pop_back();
    return true;
}
#else
bool TemporaryDir(std::string* dir) {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/orvendel-host-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) return false;
    *dir = buffer.data();
    return true;
}
#endif

}  // namespace

HostFolder::~HostFolder() { Remove(); }

bool HostFolder::Create(std::string* error) {
    Remove();
#if defined(_WIN32)
    if (!SystemWindowsDir(&windowsDir_)) {
        *error = "GetSystemWindowsDirectoryW failed";
        return false;
    }
    temporary_ = false;
#else
    if (!TemporaryDir(&windowsDir_)) {
        *error = "mkdtemp failed";
        return false;
    }
    temporary_ = true;
#endif
    std::error_code ec;
    fs::create_directories(PathOf(DumpDir()), ec);
    if (ec) {
        *error = "cannot create " + DumpDir() + ": " + ec.message();
        return false;
    }
    fs::create_directories(PathOf(IniPath()).parent_path(), ec);
    if (ec) {
        *error = "cannot create the policy folder: " + ec.message();
        return false;
    }
    // The real Windows folder outlives the test: earlier runs' logs must not count.
    for (const auto& entry : fs::directory_iterator(PathOf(DumpDir()), ec)) {
        if (IsLogFile(entry)) {
            std::error_code removeError;
            fs::remove(entry.path(), removeError);
            if (removeError) {
                *error = "cannot delete " + entry.path().u8string();
                return false;
            }
        }
    }
    if (!WriteIni(kDefaultIni)) {
        *error = "cannot write " + IniPath();
        return false;
    }
    return true;
}

void HostFolder::Remove() {
#if !defined(_WIN32)
    // Named objects of this folder's namespace outlive crashed processes.
    std::string prefix = "orvendel." + Namespace() + ".";
    std::error_code shmError;
    if (!windowsDir_.empty()) {
        for (const auto& entry : fs::directory_iterator("/dev/shm", shmError)) {
            if (entry.path().filename().string().compare(0, prefix.size(), prefix) == 0) {
                fs::remove(entry.path(), shmError);
            }
        }
    }
#endif
    if (temporary_ && !windowsDir_.empty()) {
        std::error_code ec;
        fs::remove_all(PathOf(windowsDir_), ec);
    }
    temporary_ = false;
    windowsDir_.clear();
}

bool HostFolder::WriteIni(const std::string& text) {
    const bool written = WriteBytes(PathOf(IniPath()), text);
    // As the host will read it.
    traceOn_ = written && IniTurnsTraceOn(Wide(IniPath()).c_str());
    return written;
}

bool HostFolder::RemoveIni() {
    traceOn_ = false;
    std::error_code ec;
    fs::remove(PathOf(IniPath()), ec);
    return !ec && !fs::exists(PathOf(IniPath()));
}

std::string HostFolder::DumpDir() const {
    return (PathOf(windowsDir_) / "stelvo" / "dump").u8string();
}

std::string HostFolder::IniPath() const {
    std::string sub = CLIENT_INI_SUBPATH;
    std::replace(sub.begin(), sub.end(), '\\', '/');
    return (PathOf(windowsDir_) / PathOf(sub)).make_preferred().u8string();
}

std::string HostFolder::Namespace() const {
    return windowsDir_.empty() ? std::string() : "t" + PathOf(windowsDir_).filename().u8string();
}

std::vector<std::pair<std::string, std::string>> HostFolder::HostEnvironment() const {
#if defined(_WIN32)
    return {};
#else
    return {{"ORVENDEL_WINDOWS_DIR", windowsDir_}, {"ORVENDEL_NAMESPACE", Namespace()}};
#endif
}

void HostFolder::UseInThisProcess() const {
#if !defined(_WIN32)
    for (const auto& variable : HostEnvironment()) setenv(variable.first.c_str(), variable.second.c_str(), 1);
#endif
}

std::string HostFolder::LauncherDir() const {
#if defined(_WIN32)
    // Copies, not links: a launcher's image name is its file name.
    return ProgramDirectory() + "launchers";
#else
    return (PathOf(windowsDir_) / "launchers").u8string();
#endif
}

HostLog HostFolder::ReadLog() const {
    HostLog log;
    std::vector<fs::path> paths;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(PathOf(DumpDir()), ec)) {
        if (IsLogFile(entry)) paths.push_back(entry.path());
    }
    std::sort(paths.begin(), paths.end(),
              [](const fs::path& a, const fs::path& b) { return a.filename() < b.filename(); });
    for (const auto& path : paths) {
        log.files.push_back(path.filename().u8string());
        std::string bytes;
        if (!ReadBytes(path, &bytes)) continue;
        LogDecodeResult decoded = DecodeLogBuffer(bytes, true);
        log.records.insert(log.records.end(), decoded.records.begin(), decoded.records.end());
        log.skipped += decoded.skipped;
    }
    return log;
}

bool LaunchHost(ChildProcess* child, const HostFolder& folder, const std::vector<std::string>& args,
                std::string* error, const std::vector<std::string>& ancestors) {
    return LaunchProgram(child, folder, ProgramDirectory() + ExecutableName("orvendel_host"), args,
                         folder.HostEnvironment(), error, ancestors);
}

bool LaunchProgram(ChildProcess* child, const HostFolder& folder, const std::string& program,
                   const std::vector<std::string>& args,
                   const std::vector<std::pair<std::string, std::string>>& env, std::string* error,
                   const std::vector<std::string>& ancestors) {
    std::vector<std::string> command;
    std::error_code ec;
    fs::create_directories(PathOf(folder.LauncherDir()), ec);
    fs::path launcher = PathOf(ProgramDirectory() + ExecutableName("orv-launcher"));
    for (const std::string& ancestor : ancestors) {
        // "chrome+window": a launcher that also shows a browser window.
        size_t plus = ancestor.find('+');
        std::string name = ancestor.substr(0, plus);
        fs::path named = PathOf(folder.LauncherDir()) / ExecutableName(name);
        if (!fs::exists(named, ec)) {
#if defined(_WIN32)
            fs::copy_file(launcher, named, fs::copy_options::overwrite_existing, ec);
#else
            fs::create_symlink(launcher, named, ec);
#endif
            if (ec) {
                *error = "cannot make " + named.u8string() + ": " + ec.message();
                return false;
            }
        }
        command.push_back(named.u8string());
        if (plus != std::string::npos) command.push_back("--" + ancestor.substr(plus + 1));
    }
    command.push_back(program);
    command.insert(command.end(), args.begin(), args.end());
    std::string outermost = command.front();
    command.erase(command.begin());
    return child->Start(outermost, command, env, error);
}

namespace {

// The sizes of the folder's log files, to put the log back as it was.
std::vector<std::pair<fs::path, uintmax_t>> LogSizes(const std::string& dumpDir) {
    std::vector<std::pair<fs::path, uintmax_t>> sizes;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(PathOf(dumpDir), ec)) {
        if (IsLogFile(entry)) sizes.emplace_back(entry.path(), entry.file_size(ec));
    }
    return sizes;
}

// Puts the log back as it was before a discarded host started; what that
// host wrote is kept in the test's Windows folder, for a person.
void RestoreLog(const std::string& dumpDir, const std::vector<std::pair<fs::path, uintmax_t>>& sizes,
                const fs::path& keepDir, int start) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(PathOf(dumpDir), ec)) {
        if (!IsLogFile(entry)) continue;
        auto known = std::find_if(sizes.begin(), sizes.end(),
                                  [&](const std::pair<fs::path, uintmax_t>& size) { return size.first == entry.path(); });
        const uintmax_t kept = known == sizes.end() ? 0 : known->second;
        {
            std::ifstream in(entry.path(), std::ios::binary);
            in.seekg(static_cast<std::streamoff>(kept));
            std::ofstream out(keepDir / ("discarded-" + std::to_string(start) + "-" + entry.path().filename().string()),
                              std::ios::binary);
            out << in.rdbuf();
        }
        std::error_code fileError;
        if (known == sizes.end()) {
            fs::remove(entry.path(), fileError);
        } else {
            fs::resize_file(entry.path(), known->second, fileError);
        }
    }
}

// One line per host started again, beside the test programs: ./run test
// counts them per build.
void CountRestart(const char* what) {
    std::ofstream out(PathOf(ProgramDirectory() + "host-restarts.log"), std::ios::app);
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    out << (test != nullptr ? std::string(test->test_suite_name()) + "." + test->name() : std::string("?")) << ": "
        << what << "\n";
}

}  // namespace

bool HostProcess::Start(const HostFolder& folder, const std::vector<std::string>& args, std::string* error,
                        const std::vector<std::string>& ancestors) {
    // A log call that meets another thread opening or closing the log file
    // is dropped. Each relay thread logs once as it starts; a test that
    // spoke to the host before both had done so, and closed the file again,
    // could find a line of the main thread missing. When one relay's line was
    // itself lost to the other's, nothing tells a lost line from a late one:
    // that host is ended and the log put back, and a new one started.
    // Under Wine about one start in five loses a line, and one test saw 8
    // in a row: a budget that only a fault spends.
    const int kStarts = 20;
    std::vector<std::pair<fs::path, uintmax_t>> sizes = LogSizes(folder.DumpDir());
    for (int start = 1;; ++start) {
        if (!LaunchHost(&child_, folder, args, error, ancestors)) return false;
        if (!folder.TraceOn()) return true;
        RelayStart relays = WaitForRelays(folder);
        if (relays != RelayStart::LostOne) return true;  // a host that never got there: its test shows why
        if (start == kStarts) {
            CountRestart("budget spent");
            *error = "one relay's start line was lost in each of " + std::to_string(kStarts) + " starts";
            return false;
        }
        CountRestart("a relay's start line lost");
        fprintf(stderr, "host_fixture: one relay's start line was lost; the host is started again (%d of %d)\n",
                start + 1, kStarts);
        // The discarded host must still end as any host does at the end of
        // its input (it may have passed an agent's question on meanwhile).
        const HostExit ended = Finish(10000);
        child_.Reset();
        RestoreLog(folder.DumpDir(), sizes, PathOf(folder.WindowsDir()), start);
        if (!ended.outputEnded || !ended.exited || ended.status != kExitStatusMinusOne) {
            *error = "a host started again did not end as it should: " +
                     std::string(!ended.outputEnded ? "its output did not end"
                                 : !ended.exited    ? "it did not exit"
                                                    : "exit status " + std::to_string(ended.status));
            return false;
        }
    }
}

HostProcess::RelayStart HostProcess::WaitForRelays(const HostFolder& folder) {
    const char* kEntries[] = {"ChromeFrameRequestThread...BrowserType=", "ChromeFrameRequestDevtoolThread...BrowserType="};
    // Generous: Wine on a loaded machine can start a thread seconds late.
    const int kBoundMs = 30000;
    // The second line comes within milliseconds of the first, unless lost.
    const int kLostAfterMs = 500;
    const int kPollMs = 20;
    int oneLineFor = 0;
    bool settled = false;
    for (int waited = 0; waited < kBoundMs; waited += kPollMs) {
        HostLog log = folder.ReadLog();
        if (!MessagesStartingWith(log, 2, "BrowserType ERR").empty()) return RelayStart::Ended;
        size_t seen = 0;
        for (const char* entry : kEntries) seen += MessagesStartingWith(log, 0, entry).empty() ? 0 : 1;
        // A thread that has just closed the file still holds the busy flag
        // for a moment: quiet on two polls in a row. (Looking for open files
        // costs a walk of /proc: only once both lines are there.)
        if (seen == 2 && !LogFileHeld(folder.DumpDir())) {
            if (settled) return RelayStart::Logged;
            settled = true;
        } else {
            settled = false;
        }
        oneLineFor = seen == 1 ? oneLineFor + kPollMs : 0;
        if (oneLineFor >= kLostAfterMs) return RelayStart::LostOne;
        if (!child_.Running()) return RelayStart::Ended;
        Sleep(kPollMs);
    }
    return RelayStart::TimedOut;
}

bool HostProcess::SendRaw(const std::string& bytes) {
    return child_.Write(bytes.data(), bytes.size());
}

bool HostProcess::ReadFrame(std::string* body, int timeoutMs) {
    unsigned char header[FRAME_HEADER_BYTES];
    if (!child_.ReadExact(header, sizeof header, timeoutMs)) return false;
    const uint32_t length = DecodeFrameHeader(header);
    body->assign(length, '\0');
    return length == 0 || child_.ReadExact(&(*body)[0], length, timeoutMs);
}

bool HostProcess::WaitExit(uint32_t* status, int timeoutMs) {
    return child_.Wait(timeoutMs, status);
}

HostExit HostProcess::Finish(int timeoutMs) {
    HostExit result;
    child_.CloseInput();
    result.outputEnded = child_.ReadToEnd(&result.output, timeoutMs);
    // A host whose output never ended is hung: no point waiting twice.
    result.exited = child_.Wait(result.outputEnded ? timeoutMs : 0, &result.status);
    return result;
}

::testing::AssertionResult EndedWithReplies(const HostExit& exit, size_t replies) {
    if (!exit.outputEnded) {
        return ::testing::AssertionFailure() << "the host's output did not end in time";
    }
    if (!exit.exited) return ::testing::AssertionFailure() << "the host did not exit in time";
    if (exit.status != kExitStatusMinusOne) {
        return ::testing::AssertionFailure() << "exit status " << exit.status << ", expected "
                                             << kExitStatusMinusOne;
    }
    std::vector<std::string> bodies;
    if (!SplitFrames(exit.output, &bodies)) {
        return ::testing::AssertionFailure()
               << "the output ends inside a frame (" << exit.output.size() << " bytes)";
    }
    if (bodies.size() != replies) {
        return ::testing::AssertionFailure()
               << bodies.size() << " frames, expected " << replies << " replies";
    }
    for (size_t i = 0; i < bodies.size(); ++i) {
        if (bodies[i] != kReplyBody) {
            return ::testing::AssertionFailure() << "frame " << i << " is " << bodies[i];
        }
    }
    return ::testing::AssertionSuccess();
}

void HostTest::SetUp() {
    std::string error;
    ASSERT_TRUE(folder.Create(&error)) << error;
    folder.UseInThisProcess();
}

void HostTest::TearDown() {
    // Killing would end only the launcher: end the host by its input, so that
    // it is gone (and its log closed) before the next test clears the folder.
    if (host.Child().Pid() != 0) host.Finish(10000);
    host.Child().Kill();
    folder.Remove();
}

::testing::AssertionResult HostTest::StartHost(const std::vector<std::string>& args,
                                               const std::vector<std::string>& ancestors) {
    std::string error;
    if (!host.Start(folder, args, &error, ancestors)) {
        return ::testing::AssertionFailure() << "cannot start the host: " << error;
    }
    return ::testing::AssertionSuccess();
}

void InProcessRequestTest::SetUp() {
    std::string error;
    ASSERT_TRUE(folder.Create(&error)) << error;
    folder.UseInThisProcess();
    ResetLogState();
    SetLogName(logName_);
    saved_ = g_CommandHandlers;
    g_CommandHandlers = handlers_;
    output = tmpfile();
    ASSERT_NE(output, nullptr);
    SetFrameStreams(nullptr, output);
}

void InProcessRequestTest::TearDown() {
    SetFrameStreams(nullptr, nullptr);
    if (output != nullptr) fclose(output);
    g_CommandHandlers = saved_;
    ResetLogState();
    folder.Remove();
}

void InProcessRequestTest::Handle(const std::string& body, int browserType) {
    HeapArray<char> request = AllocZeroed<char>(body.size() + 1);
    memcpy(request.get(), body.data(), body.size());
    HandleRequest(std::move(request), browserType);
}

std::string InProcessRequestTest::Output() {
    fflush(output);
    rewind(output);
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), output)) > 0) out.append(buffer, n);
    return out;
}
