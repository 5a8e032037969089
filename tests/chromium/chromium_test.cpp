// Real Chromium end to end: Debian's browser, headless, loads the reference
// extension and starts the host itself through the NativeMessagingHosts
// folder of its profile; the test plays the DRM agent against it, in this
// process and through orvendel-agent, and watches the processes by pid.
//
// Every browser lives in a temporary home of its own, and every process it
// started is killed by pid at the end of each test, whatever the outcome.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "bridge/profiles.h"
#include "contract/contract.h"
#include "platform/platform.h"
#include "platform/posix/desktop.h"
#include "tests/support/agent_side.h"
#include "tests/support/host_fixture.h"
#include "tests/support/proc_table.h"
#include "tools/common/child_process.h"

#ifndef ORV_HOST_PATH
#error "ORV_HOST_PATH must name the orvendel_host to register"
#endif
#ifndef ORV_AGENT_PATH
#error "ORV_AGENT_PATH must name orvendel-agent"
#endif
#ifndef ORV_EXTENSION_DIR
#error "ORV_EXTENSION_DIR must name the reference extension's folder"
#endif

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

const char kChromium[] = "/usr/bin/chromium";
const char kExtensionOrigin[] = "chrome-extension://" REFERENCE_EXTENSION_ID "/";
const char kHostName[] = HOST_REGISTERED_NAME;
// The simulated desktop's browser window: the one FindHandle binds.
const uint32_t kWindow = 0x5A5A;

// Bounds, not expectations: a browser on a loaded 2-core machine is slow.
const int kStartMs = 45000;
const int kQuestionMs = 10000;
const int kEndMs = 20000;
// How long one wrong URL answer must stay the same to be taken as final.
const int kSettledMs = 8000;

const char kFindHandleLine[] = "[FindHandle] Insert & Find Map for HWND & WINDOW ID : [";
const char kUrlFoundLine[] = "###### call get url return HWND : ";

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Also for /proc files, whose process may end while they are read.
bool ReadText(const fs::path& path, std::string* text) { return ReadProcFile(path.string(), text); }

bool WriteText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

// The extension may live elsewhere while it is being worked on.
std::string ExtensionDir() {
    const char* dir = getenv("ORVENDEL_EXTENSION_DIR");
    return dir != nullptr && *dir != '\0' ? std::string(dir) : std::string(ORV_EXTENSION_DIR);
}

// ---- processes, by pid, from /proc ----

// A process as /proc shows it; pid and start time together name one process,
// so a pid reused by someone else is never taken for ours.
struct Proc {
    pid_t pid = 0;
    pid_t ppid = 0;
    unsigned long long start = 0;
    char state = '?';
};

bool ReadProc(pid_t pid, Proc* proc) {
    std::string stat;
    if (!ReadText("/proc/" + std::to_string(pid) + "/stat", &stat)) return false;
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream fields(stat.substr(close + 1));
    std::vector<std::string> f;
    std::string word;
    while (fields >> word) f.push_back(word);
    // After the name: state, ppid, ... and the start time as the 20th.
    if (f.size() < 20) return false;
    proc->pid = pid;
    proc->state = f[0][0];
    proc->ppid = static_cast<pid_t>(std::stol(f[1]));
    proc->start = std::stoull(f[19]);
    return true;
}

std::vector<Proc> AllProcs() {
    std::vector<Proc> procs;
    DIR* dir = opendir("/proc");
    if (dir == nullptr) return procs;
    while (dirent* entry = readdir(dir)) {
        char* end = nullptr;
        long pid = strtol(entry->d_name, &end, 10);
        Proc proc;
        if (pid > 0 && *end == '\0' && ReadProc(static_cast<pid_t>(pid), &proc)) procs.push_back(proc);
    }
    closedir(dir);
    return procs;
}

// Still running: the same process, and not a zombie waiting for its reaper.
bool Alive(const Proc& proc) {
    Proc now;
    return ReadProc(proc.pid, &now) && now.start == proc.start && now.state != 'Z' && now.state != 'X';
}

std::vector<Proc> Descendants(pid_t root) {
    std::vector<Proc> all = AllProcs(), found;
    std::vector<pid_t> parents = {root};
    while (!parents.empty()) {
        pid_t parent = parents.back();
        parents.pop_back();
        for (const Proc& proc : all) {
            if (proc.ppid == parent) {
                found.push_back(proc);
                parents.push_back(proc.pid);
            }
        }
    }
    return found;
}

std::vector<std::string> CommandLine(pid_t pid) {
    std::string raw;
    std::vector<std::string> args;
    if (!ReadText("/proc/" + std::to_string(pid) + "/cmdline", &raw)) return args;
    std::istringstream in(raw);
    std::string arg;
    while (std::getline(in, arg, '\0')) args.push_back(arg);
    return args;
}

std::string ExeOf(pid_t pid) {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
    return ec ? std::string() : exe.string();
}

// Our host: its image is the host we registered and its environment holds
// this test's namespace, which only the browser can have handed down.
bool FindHost(const std::string& hostExe, const std::string& nameSpace, Proc* host) {
    if (hostExe.empty() || nameSpace.empty()) return false;
    const std::string wanted = "ORVENDEL_NAMESPACE=" + nameSpace;
    for (const Proc& proc : AllProcs()) {
        if (ExeOf(proc.pid) != hostExe || !Alive(proc)) continue;
        std::string environ;
        if (!ReadText("/proc/" + std::to_string(proc.pid) + "/environ", &environ)) continue;
        std::istringstream in(environ);
        std::string variable;
        while (std::getline(in, variable, '\0')) {
            if (variable == wanted) {
                *host = proc;
                return true;
            }
        }
    }
    return false;
}

// ---- the test pages: a tree of frames whose breadth-first order differs
// from both the depth-first one and the order the frames finish loading ----

struct Pages {
    std::string top;
    std::vector<std::string> frames;  // as the answer must list them
};

bool WritePages(const fs::path& dir, Pages* pages) {
    const std::string base = "file://" + dir.string() + "/";
    bool ok = WriteText(dir / "top.html",
                        "<!doctype html><title>top</title>"
                        "<iframe src=\"a.html\"></iframe>"
                        "<iframe src=\"c;d.html?x=1;y=2\"></iframe>"
                        "<iframe srcdoc=\"<p>inline</p>\"></iframe>\n") &&
              WriteText(dir / "a.html", "<!doctype html><title>a</title><iframe src=\"b.html\"></iframe>\n") &&
              WriteText(dir / "c;d.html", "<!doctype html><title>cd</title><iframe src=\"e.html\"></iframe>\n") &&
              WriteText(dir / "b.html", "<!doctype html><title>b</title>b\n") &&
              WriteText(dir / "e.html", "<!doctype html><title>e</title>e\n");
    pages->top = base + "top.html";
    // A ";" inside a URL travels as %3B, so that the answer splits right.
    pages->frames = {pages->top, base + "a.html", base + "c%3Bd.html?x=1%3By=2", "about:srcdoc",
                     base + "b.html", base + "e.html"};
    return ok;
}

std::string Join(const std::vector<std::string>& parts) {
    std::string text;
    for (const std::string& part : parts) text += ";" + part;
    return text;
}

// "<hwnd hex>;<window id>;..." -> the window id; 0 when there is none.
int WindowIdOf(const std::string& answer) {
    size_t first = answer.find(';');
    if (first == std::string::npos) return 0;
    return atoi(answer.c_str() + first + 1);
}

// ---- the fixture ----

class ChromiumTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(kChromium, X_OK) != 0) {
            GTEST_SKIP() << kChromium << " is not installed (apt-get install chromium): "
                         << "no real-browser test can run here";
        }
        extension_ = ExtensionDir();
        ASSERT_TRUE(fs::exists(fs::path(extension_) / "manifest.json"))
            << "no extension at " << extension_ << " (set ORVENDEL_EXTENSION_DIR to load another)";
        std::error_code ec;
        hostExe_ = fs::canonical(ORV_HOST_PATH, ec).string();
        ASSERT_FALSE(ec) << "no host at " << ORV_HOST_PATH;
        ASSERT_TRUE(fs::exists(ORV_AGENT_PATH)) << "no agent at " << ORV_AGENT_PATH;

        std::string error;
        ASSERT_TRUE(folder_.Create(&error)) << error;
        folder_.UseInThisProcess();

        const char* tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/orvendel-chromium-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        ASSERT_NE(mkdtemp(buffer.data()), nullptr) << "mkdtemp failed";
        root_ = buffer.data();
        for (const char* sub : {"home/.config", "home/.cache", "profile/NativeMessagingHosts", "pages", "tmp"}) {
            fs::create_directories(root_ / sub, ec);
            ASSERT_FALSE(ec) << "cannot create " << (root_ / sub) << ": " << ec.message();
        }
        ASSERT_TRUE(WriteText(root_ / "profile" / "NativeMessagingHosts" / (std::string(kHostName) + ".json"),
                              std::string("{\n  \"name\": \"") + kHostName +
                                  "\",\n  \"description\": \"Orvendel native messaging host\",\n"
                                  "  \"path\": \"" + hostExe_ + "\",\n  \"type\": \"stdio\",\n"
                                  "  \"allowed_origins\": [\"" + kExtensionOrigin + "\"]\n}\n"));
        ASSERT_TRUE(WritePages(root_ / "pages", &pages_));

        // There before the browser, so the extension's first FindHandle binds it.
        DesktopWindow window;
        window.hwnd = kWindow;
        window.className = u"Chrome_WidgetWin_1";
        window.visible = true;
        window.style = WS_OVERLAPPEDWINDOW | WS_VISIBLE;
        ASSERT_TRUE(DesktopAddWindow(window, true)) << "cannot add the desktop window";
        windowAdded_ = true;
    }

    void TearDown() override {
        EndEverything();
        if (cdpIn_ >= 0) close(cdpIn_);
        if (cdpOut_ >= 0) close(cdpOut_);
        agent_.Close();
        if (windowAdded_) DesktopRemoveWindow(kWindow);
        folder_.Remove();
        if (!root_.empty()) {
            std::error_code ec;
            fs::remove_all(root_, ec);
        }
    }

    // Starts the browser on the test page; its pid is the browser process
    // (the shell and Debian's wrapper script exec it).
    // devtoolsPipe: the browser's --remote-debugging-pipe ends (its fds 3
    // and 4) are FIFOs in our folder, which OpenDevtoolsPipe then opens.
    ::testing::AssertionResult StartBrowser(const std::vector<std::string>& extraFlags = {},
                                            bool devtoolsPipe = false) {
        const fs::path home = root_ / "home";
        std::string redirect = " >>'" + (root_ / "chromium.log").string() + "' 2>&1";
        if (devtoolsPipe) {
            for (const char* fifo : {"cdp-in", "cdp-out"}) {
                if (mkfifo((root_ / fifo).c_str(), 0600) != 0) {
                    return ::testing::AssertionFailure() << "mkfifo " << fifo << ": " << strerror(errno);
                }
            }
            redirect += " 3<'" + (root_ / "cdp-in").string() + "' 4>'" + (root_ / "cdp-out").string() + "'";
        }
        std::vector<std::string> args = {
            "-c", "exec \"$0\" \"$@\"" + redirect, kChromium,
            "--headless=new", "--no-sandbox", "--user-data-dir=" + (root_ / "profile").string(),
            "--no-first-run", "--no-default-browser-check", "--disable-gpu",
            "--load-extension=" + extension_};
        if (devtoolsPipe) args.push_back("--remote-debugging-pipe");
        args.insert(args.end(), extraFlags.begin(), extraFlags.end());
        args.push_back(pages_.top);
        std::vector<std::pair<std::string, std::string>> env = folder_.HostEnvironment();
        env.push_back({"HOME", home.string()});
        env.push_back({"XDG_CONFIG_HOME", (home / ".config").string()});
        env.push_back({"XDG_CACHE_HOME", (home / ".cache").string()});
        // A browser killed by pid leaves its scratch folders behind: keep them in ours.
        env.push_back({"TMPDIR", (root_ / "tmp").string()});
        std::string error;
        started_ = Clock::now();
        if (!browser_.Start("/bin/sh", args, env, &error)) {
            return ::testing::AssertionFailure() << "cannot start " << kChromium << ": " << error;
        }
        return ::testing::AssertionSuccess();
    }

    // Asks the URL question until the whole frame tree of the page comes back
    // for our window: the browser is up, the host bound the window, the page
    // and its frames are loaded. Yields the window id of the answer.
    ::testing::AssertionResult WaitForPage(int* windowId) {
        std::string error;
        if (!agent_.CreateBlocks(g_ChromeProfile, true, &error)) return ::testing::AssertionFailure() << error;
        const std::string tail = Join(pages_.frames);
        std::string last = "(no answer)";
        auto lastSince = Clock::now();
        bool eventsOpen = false;
        while (MsSince(started_) < kStartMs) {
            if (!browser_.Running()) {
                return ::testing::AssertionFailure() << "the browser ended early\n" << Diagnostics();
            }
            if (!eventsOpen && !(eventsOpen = agent_.OpenEvents(&error))) {
                SleepMs(100);  // no host yet
                continue;
            }
            std::string answer;
            if (AskUrl(&answer)) {
                if (answer != last) lastSince = Clock::now();
                last = answer;
                size_t id = HandleHex(kWindow).size() + 1;
                size_t rest = answer.find(';', id);
                if (answer.compare(0, id, HandleHex(kWindow) + ";") == 0 && rest != std::string::npos &&
                    answer.substr(rest) == tail) {
                    *windowId = WindowIdOf(answer);
                    return ::testing::AssertionSuccess();
                }
                // Local pages load in moments: an answer that stays wrong is wrong.
                if (MsSince(lastSince) >= kSettledMs) break;
            }
            SleepMs(200);
        }
        return ::testing::AssertionFailure()
               << "no whole answer within " << MsSince(started_) << " ms of the start; last URL block: \"" << last
               << "\", expected \"" << HandleHex(kWindow) << ";<window id>" << tail << "\"\n"
               << Diagnostics();
    }

    // One URL question about our window, from this process; false when no
    // response came or the host left the block as it was.
    bool AskUrl(std::string* answer) {
        agent_.StainResult(AgentChannel::Url);
        if (!agent_.Post(AgentChannel::Url, kWindow) || !agent_.WaitResponse(AgentChannel::Url, kQuestionMs)) {
            return false;
        }
        *answer = agent_.ResultText(AgentChannel::Url);
        return *answer != kStainText;
    }

    // One DevTools question from orvendel-agent, a process of its own; its
    // answer as the URL block would read: "<hwnd>;<window id>;<0|1>".
    ::testing::AssertionResult AskDevtoolsByAgentTool(std::string* answer) {
        ChildProcess tool;
        std::string error, output;
        if (!tool.Start(ORV_AGENT_PATH, {"create", ",", "ask", "devtools", HandleHex(kWindow), "timeout=10000"},
                        {}, &error)) {
            return ::testing::AssertionFailure() << "cannot start orvendel-agent: " << error;
        }
        tool.CloseInput();
        uint32_t status = 0;
        if (!tool.ReadToEnd(&output, 20000) || !tool.Wait(5000, &status)) {
            return ::testing::AssertionFailure() << "orvendel-agent did not end; it said: " << output;
        }
        const std::string prefix = "ok devtools hwnd=";
        size_t at = output.find(prefix);
        size_t quote = output.find("answer=\"", at);
        size_t end = quote == std::string::npos ? quote : output.find('"', quote + 8);
        if (status != 0 || at == std::string::npos || end == std::string::npos) {
            return ::testing::AssertionFailure() << "orvendel-agent ended with " << status << ": " << output;
        }
        std::string hwnd = output.substr(at + prefix.size(), quote - at - prefix.size());
        while (!hwnd.empty() && hwnd.back() == ' ') hwnd.pop_back();
        *answer = hwnd + ";" + output.substr(quote + 8, end - quote - 8);
        return ::testing::AssertionSuccess();
    }

    // The window ids that the host's log pairs with our window. A log line
    // that meets another thread's is dropped, so either kind may be missing.
    std::vector<int> LoggedIds() const {
        HostLog log = folder_.ReadLog();
        std::vector<int> ids;
        for (const std::string& line : MessagesStartingWith(log, 0, kFindHandleLine)) {
            int id = 0;
            unsigned hwnd = 0;
            if (sscanf(line.c_str() + strlen(kFindHandleLine), "%d:%x]", &id, &hwnd) == 2 && hwnd == kWindow) {
                ids.push_back(id);
            }
        }
        const std::string found = kUrlFoundLine + HandleHex(kWindow) + " window id : ";
        for (const std::string& line : MessagesStartingWith(log, 2, found)) ids.push_back(atoi(line.c_str() + found.size()));
        return ids;
    }

    // The host's log and the end of the browser's own output.
    std::string Diagnostics() const {
        std::string text = DescribeLog(folder_.ReadLog());
        std::string browserLog;
        if (ReadText(root_ / "chromium.log", &browserLog)) {
            std::istringstream in(browserLog);
            std::vector<std::string> lines;
            std::string line;
            while (std::getline(in, line)) {
                // The machine has no D-Bus: that noise says nothing.
                if (line.find("dbus") == std::string::npos) lines.push_back(line);
            }
            text += "browser output (last lines, D-Bus noise left out):\n";
            for (size_t i = lines.size() > 25 ? lines.size() - 25 : 0; i < lines.size(); ++i) {
                text += "  " + lines[i].substr(0, 300) + "\n";
            }
        }
        return text;
    }

    // Every process of the browser's tree, and the host, as they are now.
    void Track() {
        if (browser_.Running()) {
            for (const Proc& proc : Descendants(static_cast<pid_t>(browser_.Pid()))) tracked_.push_back(proc);
        }
        Proc host;
        if (FindHost(hostExe_, folder_.Namespace(), &host)) tracked_.push_back(host);
    }

    // Kills, by pid, the browser and every process of its that was seen.
    void EndEverything() {
        Track();
        browser_.Kill();
        for (const Proc& proc : tracked_) {
            if (Alive(proc)) kill(proc.pid, SIGKILL);
        }
        auto start = Clock::now();
        for (const Proc& proc : tracked_) {
            while (Alive(proc) && MsSince(start) < kEndMs) SleepMs(20);
        }
        tracked_.clear();
    }

    // ---- the DevTools protocol over --remote-debugging-pipe: one JSON
    // message per NUL-terminated record, each way ----

    ::testing::AssertionResult OpenDevtoolsPipe() {
        // Our reading end first: the shell opens fd 3, then waits on fd 4 for a reader.
        cdpOut_ = open((root_ / "cdp-out").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (cdpOut_ < 0) return ::testing::AssertionFailure() << "open cdp-out: " << strerror(errno);
        while (cdpIn_ < 0 && MsSince(started_) < kStartMs) {
            cdpIn_ = open((root_ / "cdp-in").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (cdpIn_ < 0) SleepMs(50);  // ENXIO until the shell opens its end
        }
        if (cdpIn_ < 0) return ::testing::AssertionFailure() << "the browser never opened its DevTools pipe";
        fcntl(cdpIn_, F_SETFL, 0);
        return ::testing::AssertionSuccess();
    }

    // Sends one command and returns its reply's "result" (an empty object on
    // an error reply, whose text goes to *error). Events are skipped.
    bool Devtools(const std::string& method, const std::string& params, const std::string& session,
                  rapidjson::Document* reply, std::string* error) {
        const int id = ++cdpId_;
        std::string message = "{\"id\":" + std::to_string(id) + ",\"method\":\"" + method + "\",\"params\":" + params +
                              (session.empty() ? "" : ",\"sessionId\":\"" + session + "\"") + "}";
        message.push_back('\0');
        if (write(cdpIn_, message.data(), message.size()) != static_cast<ssize_t>(message.size())) {
            *error = "cannot write to the DevTools pipe";
            return false;
        }
        auto sent = Clock::now();
        while (MsSince(sent) < kQuestionMs) {
            size_t end;
            while ((end = cdpBuffer_.find('\0')) != std::string::npos) {
                std::string record = cdpBuffer_.substr(0, end);
                cdpBuffer_.erase(0, end + 1);
                reply->Parse(record.c_str());
                if (reply->HasParseError() || !reply->IsObject() || !reply->HasMember("id") ||
                    !(*reply)["id"].IsInt() || (*reply)["id"].GetInt() != id) {
                    continue;
                }
                if (reply->HasMember("result")) return true;
                *error = method + " failed: " + record;
                return false;
            }
            pollfd p = {cdpOut_, POLLIN, 0};
            if (poll(&p, 1, 200) > 0) {
                char chunk[65536];
                ssize_t n = read(cdpOut_, chunk, sizeof chunk);
                if (n > 0) cdpBuffer_.append(chunk, static_cast<size_t>(n));
                if (n == 0) SleepMs(50);  // no writer yet, or the browser ended
            }
        }
        *error = method + ": no reply within " + std::to_string(kQuestionMs) + " ms";
        return false;
    }

    HostFolder folder_;
    AgentSide agent_;
    ChildProcess browser_;
    Clock::time_point started_;
    fs::path root_;
    std::string extension_;
    std::string hostExe_;
    Pages pages_;
    bool windowAdded_ = false;
    std::vector<Proc> tracked_;
    int cdpIn_ = -1;
    int cdpOut_ = -1;
    int cdpId_ = 0;
    std::string cdpBuffer_;
};

// The URL question about a window the browser's own extension bound: the
// answer carries the window's real id and the frame tree of its active tab,
// top first and then level by level, with every ";" of a URL escaped.
TEST_F(ChromiumTest, UrlQuestionAnswersTheFrameTreeOfTheBoundWindow) {
    ASSERT_TRUE(StartBrowser());
    int windowId = 0;
    ASSERT_TRUE(WaitForPage(&windowId));
    printf("whole answer %lld ms after the browser started\n", MsSince(started_));
    EXPECT_NE(windowId, 0);

    std::vector<int> logged = LoggedIds();
    ASSERT_FALSE(logged.empty()) << "the log pairs no window id with " << HandleHex(kWindow) << "\n" << Diagnostics();
    for (int id : logged) EXPECT_EQ(id, windowId) << "the host bound another window id than the answer names";

    // Asked again, the same answer, and the request block taken.
    std::string answer;
    ASSERT_TRUE(AskUrl(&answer)) << Diagnostics();
    EXPECT_EQ(answer, HandleHex(kWindow) + ";" + std::to_string(windowId) + Join(pages_.frames));
    EXPECT_TRUE(agent_.RequestBlockIsZero(AgentChannel::Url));
}

// Without DevTools the answer is 0, also once a DevTools page would have
// had time to come up.
TEST_F(ChromiumTest, DevtoolsQuestionAnswersZeroWithoutDevtools) {
    ASSERT_TRUE(StartBrowser());
    int windowId = 0;
    ASSERT_TRUE(WaitForPage(&windowId));
    const std::string closed = HandleHex(kWindow) + ";" + std::to_string(windowId) + ";0";
    std::string answer;
    ASSERT_TRUE(AskDevtoolsByAgentTool(&answer));
    EXPECT_EQ(answer, closed) << Diagnostics();
    SleepMs(4000);
    ASSERT_TRUE(AskDevtoolsByAgentTool(&answer));
    EXPECT_EQ(answer, closed) << Diagnostics();
}

// With DevTools opened for every tab, the answer turns to 1 once the
// DevTools page has reported itself; the frames of the page stay as they are.
TEST_F(ChromiumTest, DevtoolsQuestionAnswersOneWithDevtoolsOpen) {
    ASSERT_TRUE(StartBrowser({"--auto-open-devtools-for-tabs"}));
    int windowId = 0;
    ASSERT_TRUE(WaitForPage(&windowId));
    const std::string open = HandleHex(kWindow) + ";" + std::to_string(windowId) + ";1";
    std::string answer = "(no answer)";
    auto asked = Clock::now();
    while (MsSince(asked) < 30000) {
        ASSERT_TRUE(AskDevtoolsByAgentTool(&answer));
        if (answer == open) break;
        SleepMs(250);
    }
    ASSERT_EQ(answer, open) << "DevTools never showed within 30 s\n" << Diagnostics();
    printf("DevTools reported %lld ms after the browser started\n", MsSince(started_));

    std::string urls;
    ASSERT_TRUE(AskUrl(&urls)) << Diagnostics();
    EXPECT_EQ(urls, HandleHex(kWindow) + ";" + std::to_string(windowId) + Join(pages_.frames));
}

// A user closing the browser: the host it started sees the end of its input,
// logs it and exits, and nothing the browser started outlives it.
TEST_F(ChromiumTest, ClosingTheBrowserEndsTheHost) {
    ASSERT_TRUE(StartBrowser());
    int windowId = 0;
    ASSERT_TRUE(WaitForPage(&windowId));

    Proc host;
    ASSERT_TRUE(FindHost(hostExe_, folder_.Namespace(), &host)) << "no running host has our namespace";
    EXPECT_EQ(host.ppid, static_cast<pid_t>(browser_.Pid())) << "the host is not the browser's own child";
    std::vector<std::string> argv = CommandLine(host.pid);
    ASSERT_GE(argv.size(), 2u);
    EXPECT_EQ(argv[1], kExtensionOrigin);
    Track();
    ASSERT_FALSE(tracked_.empty());
    HostLog before = folder_.ReadLog();
    ASSERT_EQ(CountMessage(before, 2, "Request data length is 0"), 0u) << DescribeLog(before);

    ASSERT_EQ(kill(static_cast<pid_t>(browser_.Pid()), SIGTERM), 0);
    uint32_t status = 0;
    ASSERT_TRUE(browser_.Wait(kEndMs, &status)) << "the browser did not end on SIGTERM";

    auto ended = Clock::now();
    while (Alive(host) && MsSince(ended) < kEndMs) SleepMs(20);
    ASSERT_FALSE(Alive(host)) << "the host outlived its browser\n" << Diagnostics();
    HostLog log = folder_.ReadLog();
    EXPECT_EQ(CountMessage(log, 2, "Request data length is 0"), 1u) << DescribeLog(log);

    std::string left;
    for (const Proc& proc : tracked_) {
        while (Alive(proc) && MsSince(ended) < kEndMs) SleepMs(20);
        if (Alive(proc)) left += " " + std::to_string(proc.pid) + " (" + ExeOf(proc.pid) + ")";
    }
    EXPECT_TRUE(left.empty()) << "still running after the browser ended:" << left;
}

// No host registered: the extension's toolbar button says so, with the
// browser's own words in its tooltip. Read from the extension's service worker
// through the DevTools protocol, as the user would see it.
TEST_F(ChromiumTest, BadgeSaysTheHostIsNotFound) {
    std::error_code ec;
    ASSERT_TRUE(fs::remove(root_ / "profile" / "NativeMessagingHosts" / (std::string(kHostName) + ".json"), ec));
    ASSERT_TRUE(StartBrowser({}, true));
    ASSERT_TRUE(OpenDevtoolsPipe()) << Diagnostics();

    const std::string worker = std::string(kExtensionOrigin) + "background.js";
    rapidjson::Document reply;
    std::string error, targetId;
    while (targetId.empty() && MsSince(started_) < kStartMs) {
        ASSERT_TRUE(Devtools("Target.getTargets", "{}", "", &reply, &error)) << error << "\n" << Diagnostics();
        for (const auto& t : reply["result"]["targetInfos"].GetArray()) {
            if (t["type"] == "service_worker" && t["url"].GetString() == worker) targetId = t["targetId"].GetString();
        }
        if (targetId.empty()) SleepMs(200);
    }
    ASSERT_FALSE(targetId.empty()) << "no service worker " << worker << "\n" << Diagnostics();
    ASSERT_TRUE(Devtools("Target.attachToTarget", "{\"targetId\":\"" + targetId + "\",\"flatten\":true}", "", &reply,
                         &error))
        << error;
    const std::string session = reply["result"]["sessionId"].GetString();

    const std::string expected =
        "[\"MISS\",[217,48,37,255],\"Orvendel: the host is not registered, or its manifest does not load.\\n"
        "The browser says: \\\"Specified native messaging host not found.\\\"\\n"
        "See README: Troubleshooting (orvendel-doctor tells why).\"]";
    const std::string ask =
        "{\"expression\":\"Promise.all([chrome.action.getBadgeText({}), chrome.action.getBadgeBackgroundColor({}),"
        " chrome.action.getTitle({})]).then(JSON.stringify)\",\"awaitPromise\":true,\"returnByValue\":true}";
    std::string shown = "(nothing)";
    auto asked = Clock::now();
    // The badge turns ON for a moment on each retry of the back-off.
    while (shown != expected && MsSince(asked) < 30000) {
        ASSERT_TRUE(Devtools("Runtime.evaluate", ask, session, &reply, &error)) << error;
        const auto& value = reply["result"]["result"];
        shown = value.HasMember("value") && value["value"].IsString() ? value["value"].GetString()
                : value.HasMember("description") && value["description"].IsString()
                    ? std::string("(threw) ") + value["description"].GetString()
                    : "(no value)";
        if (shown != expected) SleepMs(100);
    }
    EXPECT_EQ(shown, expected) << Diagnostics();
}

}  // namespace
