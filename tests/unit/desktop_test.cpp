// The simulated desktop that EnumWindows and friends read on POSIX: order,
// replacement, the user32 answers for known and unknown windows, and the
// table shared between processes, also when one dies holding its lock.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/desktop.h"
#include "tools/common/child_process.h"

namespace {

const char16_t kChromeClass[] = u"Chrome_WidgetWin_1";

DesktopWindow Window(uint32_t hwnd, const std::u16string& className = kChromeClass, bool visible = true,
                     uint32_t style = WS_OVERLAPPEDWINDOW | WS_VISIBLE) {
    DesktopWindow window;
    window.hwnd = hwnd;
    window.className = className;
    window.visible = visible;
    window.style = style;
    return window;
}

HWND Hwnd(uint32_t value) { return reinterpret_cast<HWND>(static_cast<uintptr_t>(value)); }

std::vector<uint32_t> ListedHandles() {
    std::vector<uint32_t> handles;
    for (const auto& window : DesktopList()) handles.push_back(window.hwnd);
    return handles;
}

BOOL CALLBACK CollectHandles(HWND hwnd, LPARAM lParam) {
    reinterpret_cast<std::vector<uint32_t>*>(lParam)->push_back(
        static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hwnd)));
    return TRUE;
}

std::vector<uint32_t> EnumeratedHandles() {
    std::vector<uint32_t> handles;
    EXPECT_TRUE(EnumWindows(CollectHandles, reinterpret_cast<LPARAM>(&handles)));
    return handles;
}

std::string ClassOf(uint32_t hwnd) {
    WCHAR name[260];
    int n = GetClassNameW(Hwnd(hwnd), name, 260);
    return std::string(name, name + (n > 0 ? n : 0));
}

int64_t NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits for a child; SIGKILLs it when it takes longer than timeoutMs.
// Its exit status, or -1 when it had to be killed.
int WaitBounded(pid_t pid, int timeoutMs) {
    int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (NowMs() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(2000);
    }
}

// Runs body in a forked child, so that a hang or a crash fails the test
// instead of ending it. Body's result is the child's exit status.
template <typename Body>
int InChild(Body body, int timeoutMs = 20000) {
    pid_t pid = fork();
    if (pid == 0) _exit(body() ? 0 : 1);
    if (pid < 0) return -2;
    return WaitBounded(pid, timeoutMs);
}

// Each test gets the desktop of a namespace of its own; every object of that
// namespace is removed afterwards.
class DesktopTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = getenv("ORVENDEL_NAMESPACE");
        hadNamespace_ = old != nullptr;
        if (hadNamespace_) oldNamespace_ = old;
        static int counter = 0;
        ns_ = "orvtest-" + std::to_string(getpid()) + "-desktop-" + std::to_string(++counter);
        setenv("ORVENDEL_NAMESPACE", ns_.c_str(), 1);
    }
    void TearDown() override {
        RemoveObjects(ns_);
        if (hadNamespace_) {
            setenv("ORVENDEL_NAMESPACE", oldNamespace_.c_str(), 1);
        } else {
            unsetenv("ORVENDEL_NAMESPACE");
        }
    }

    static void RemoveObjects(const std::string& ns) {
        std::string prefix = "orvendel." + ns + ".";
        DIR* dir = opendir("/dev/shm");
        if (dir == nullptr) return;
        std::vector<std::string> names;
        while (struct dirent* entry = readdir(dir)) {
            if (std::string(entry->d_name).compare(0, prefix.size(), prefix) == 0) names.push_back(entry->d_name);
        }
        closedir(dir);
        for (const auto& name : names) shm_unlink(("/" + name).c_str());
    }

    std::string ObjectName() const { return "/orvendel." + ns_ + ".%desktop"; }

    std::string ns_;

private:
    bool hadNamespace_ = false;
    std::string oldNamespace_;
};

TEST_F(DesktopTest, EmptyDesktopListsNothing) {
    EXPECT_TRUE(DesktopList().empty());
    EXPECT_TRUE(EnumeratedHandles().empty());
}

TEST_F(DesktopTest, WindowsGoInFrontOrBehind) {
    ASSERT_TRUE(DesktopAddWindow(Window(1), false));
    ASSERT_TRUE(DesktopAddWindow(Window(2), true));
    ASSERT_TRUE(DesktopAddWindow(Window(3), false));
    ASSERT_TRUE(DesktopAddWindow(Window(4), true));
    std::vector<uint32_t> expected = {4, 2, 1, 3};
    EXPECT_EQ(ListedHandles(), expected);
    EXPECT_EQ(EnumeratedHandles(), expected);
}

TEST_F(DesktopTest, AddingAKnownWindowReplacesIt) {
    for (uint32_t h : {10u, 20u, 30u}) ASSERT_TRUE(DesktopAddWindow(Window(h), false));
    ASSERT_TRUE(DesktopAddWindow(Window(30, u"Other", false, WS_OVERLAPPEDWINDOW), true));
    EXPECT_EQ(ListedHandles(), (std::vector<uint32_t>{30, 10, 20}));
    EXPECT_EQ(ClassOf(30), "Other");
    EXPECT_FALSE(IsWindowVisible(Hwnd(30)));

    ASSERT_TRUE(DesktopAddWindow(Window(10, u"Back"), false));
    EXPECT_EQ(ListedHandles(), (std::vector<uint32_t>{30, 20, 10}));
    EXPECT_EQ(ClassOf(10), "Back");
    EXPECT_TRUE(IsWindowVisible(Hwnd(10)));
}

TEST_F(DesktopTest, RemoveAndClear) {
    for (uint32_t h : {1u, 2u, 3u}) ASSERT_TRUE(DesktopAddWindow(Window(h), false));
    EXPECT_TRUE(DesktopRemoveWindow(2));
    EXPECT_EQ(ListedHandles(), (std::vector<uint32_t>{1, 3}));
    SetLastError(0);
    EXPECT_FALSE(DesktopRemoveWindow(2));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_FALSE(DesktopRemoveWindow(0));
    EXPECT_EQ(ClassOf(2), "");

    DesktopClear();
    EXPECT_TRUE(DesktopList().empty());
    EXPECT_TRUE(EnumeratedHandles().empty());
    EXPECT_FALSE(IsWindowVisible(Hwnd(1)));
    // Usable again after a clear.
    ASSERT_TRUE(DesktopAddWindow(Window(5), false));
    EXPECT_EQ(ListedHandles(), std::vector<uint32_t>{5});
}

struct StopAt {
    uint32_t stopAfter;
    std::vector<uint32_t> seen;
    std::vector<std::string> classes;
};

BOOL CALLBACK StopAtCallback(HWND hwnd, LPARAM lParam) {
    auto* state = reinterpret_cast<StopAt*>(lParam);
    uint32_t h = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hwnd));
    state->seen.push_back(h);
    // The callback may use the desktop itself, as FindBrowserWindow does.
    state->classes.push_back(ClassOf(h));
    return h == state->stopAfter ? FALSE : TRUE;
}

TEST_F(DesktopTest, EnumerationStopsWhenTheCallbackSaysSo) {
    ASSERT_TRUE(DesktopAddWindow(Window(1, u"One"), false));
    ASSERT_TRUE(DesktopAddWindow(Window(2, u"Two"), false));
    ASSERT_TRUE(DesktopAddWindow(Window(3, u"Three"), false));
    int status = InChild([] {
        StopAt state{2, {}, {}};
        EnumWindows(StopAtCallback, reinterpret_cast<LPARAM>(&state));
        return state.seen == std::vector<uint32_t>{1, 2} &&
               state.classes == std::vector<std::string>{"One", "Two"};
    });
    EXPECT_EQ(status, 0) << "-1: the callback hung";

    SetLastError(0);
    EXPECT_FALSE(EnumWindows(nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

BOOL CALLBACK RemoveOthers(HWND hwnd, LPARAM lParam) {
    auto* seen = reinterpret_cast<std::vector<std::string>*>(lParam);
    uint32_t h = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hwnd));
    if (h == 1) DesktopRemoveWindow(2);
    seen->push_back(ClassOf(h));
    return TRUE;
}

TEST_F(DesktopTest, WindowRemovedDuringEnumerationIsUnknownToItsCallback) {
    ASSERT_TRUE(DesktopAddWindow(Window(1, u"One"), false));
    ASSERT_TRUE(DesktopAddWindow(Window(2, u"Two"), false));
    ASSERT_TRUE(DesktopAddWindow(Window(3, u"Three"), false));
    int status = InChild([] {
        std::vector<std::string> seen;
        EnumWindows(RemoveOthers, reinterpret_cast<LPARAM>(&seen));
        // The list was taken before the removal: 2 is delivered, but gone.
        return seen == std::vector<std::string>{"One", "", "Three"};
    });
    EXPECT_EQ(status, 0);
}

TEST_F(DesktopTest, ClassNameIsCutToTheBuffer) {
    ASSERT_TRUE(DesktopAddWindow(Window(7), false));
    struct Case {
        int size;
        int count;
        const char* text;
    };
    for (const Case& c : {Case{260, 18, "Chrome_WidgetWin_1"}, Case{19, 18, "Chrome_WidgetWin_1"},
                          Case{18, 17, "Chrome_WidgetWin_"}, Case{7, 6, "Chrome"}, Case{2, 1, "C"}, Case{1, 0, ""}}) {
        WCHAR buffer[300];
        for (WCHAR& u : buffer) u = u'#';
        EXPECT_EQ(GetClassNameW(Hwnd(7), buffer, c.size), c.count) << c.size;
        EXPECT_EQ(std::string(buffer, buffer + c.count), c.text) << c.size;
        EXPECT_EQ(buffer[c.count], 0) << c.size;
        // Nothing written past the buffer.
        EXPECT_EQ(buffer[c.size], u'#') << c.size;
    }
    WCHAR untouched[4] = {u'#', u'#', u'#', u'#'};
    EXPECT_EQ(GetClassNameW(Hwnd(7), untouched, 0), 0);
    EXPECT_EQ(untouched[0], u'#');
}

TEST_F(DesktopTest, ClassNamesOfEveryLengthTheTableHolds) {
    std::u16string longest(DESKTOP_CLASS_UNITS - 1, u'x');
    std::u16string wide = u"\u00e7hrome_\U0001F600";
    ASSERT_TRUE(DesktopAddWindow(Window(1, longest), false));
    ASSERT_TRUE(DesktopAddWindow(Window(2, wide), false));
    ASSERT_TRUE(DesktopAddWindow(Window(3, u""), false));
    WCHAR buffer[260];
    EXPECT_EQ(GetClassNameW(Hwnd(1), buffer, 260), DESKTOP_CLASS_UNITS - 1);
    EXPECT_EQ(std::u16string(buffer), longest);
    EXPECT_EQ(GetClassNameW(Hwnd(2), buffer, 260), static_cast<int>(wide.size()));
    EXPECT_EQ(std::u16string(buffer), wide);
    EXPECT_EQ(GetClassNameW(Hwnd(3), buffer, 260), 0);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(DesktopList()[0].className, longest);
}

TEST_F(DesktopTest, RefusedWindows) {
    SetLastError(0);
    EXPECT_FALSE(DesktopAddWindow(Window(0), true));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(DesktopAddWindow(Window(1, std::u16string(DESKTOP_CLASS_UNITS, u'x')), true));
    EXPECT_FALSE(DesktopAddWindow(Window(1, std::u16string(u"Chrome\0x", 8)), true));
    EXPECT_TRUE(DesktopList().empty());
}

TEST_F(DesktopTest, UnknownWindows) {
    ASSERT_TRUE(DesktopAddWindow(Window(5), false));
    for (uint32_t h : {0u, 6u, 0xFFFFFFFFu}) {
        WCHAR buffer[16];
        buffer[0] = u'#';
        SetLastError(0);
        EXPECT_EQ(GetClassNameW(Hwnd(h), buffer, 16), 0) << h;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE)) << h;
        EXPECT_FALSE(IsWindowVisible(Hwnd(h))) << h;
        SetLastError(0);
        EXPECT_EQ(GetWindowLongW(Hwnd(h), GWL_STYLE), 0) << h;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE)) << h;
    }
}

TEST_F(DesktopTest, StyleAgreesWithVisibility) {
    const LONG overlapped = WS_OVERLAPPEDWINDOW;
    // Hidden although the style says visible, and the other way round.
    ASSERT_TRUE(DesktopAddWindow(Window(1, kChromeClass, false, WS_OVERLAPPEDWINDOW | WS_VISIBLE), false));
    ASSERT_TRUE(DesktopAddWindow(Window(2, kChromeClass, true, WS_OVERLAPPEDWINDOW), false));
    ASSERT_TRUE(DesktopAddWindow(Window(3, kChromeClass, true, 0), false));
    EXPECT_FALSE(IsWindowVisible(Hwnd(1)));
    EXPECT_EQ(GetWindowLongW(Hwnd(1), GWL_STYLE), overlapped);
    EXPECT_TRUE(IsWindowVisible(Hwnd(2)));
    EXPECT_EQ(GetWindowLongW(Hwnd(2), GWL_STYLE), overlapped | WS_VISIBLE);
    // No system menu.
    EXPECT_EQ(GetWindowLongW(Hwnd(3), GWL_STYLE) & WS_SYSMENU, 0);
    std::vector<DesktopWindow> listed = DesktopList();
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0].style, static_cast<uint32_t>(WS_OVERLAPPEDWINDOW));
    EXPECT_FALSE(listed[0].visible);
    EXPECT_EQ(listed[1].style, static_cast<uint32_t>(WS_OVERLAPPEDWINDOW | WS_VISIBLE));

    SetLastError(0);
    EXPECT_EQ(GetWindowLongW(Hwnd(2), -20), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));
}

TEST_F(DesktopTest, TableHoldsAFixedNumberOfWindows) {
    for (uint32_t h = 1; h <= DESKTOP_MAX_WINDOWS; ++h) ASSERT_TRUE(DesktopAddWindow(Window(h), false)) << h;
    EXPECT_FALSE(DesktopAddWindow(Window(DESKTOP_MAX_WINDOWS + 1), false));
    EXPECT_FALSE(DesktopAddWindow(Window(DESKTOP_MAX_WINDOWS + 1), true));
    // A known window can still move.
    ASSERT_TRUE(DesktopAddWindow(Window(DESKTOP_MAX_WINDOWS, u"Last"), true));
    std::vector<uint32_t> handles = ListedHandles();
    ASSERT_EQ(handles.size(), static_cast<size_t>(DESKTOP_MAX_WINDOWS));
    EXPECT_EQ(handles.front(), static_cast<uint32_t>(DESKTOP_MAX_WINDOWS));
    EXPECT_EQ(handles.back(), static_cast<uint32_t>(DESKTOP_MAX_WINDOWS - 1));
    ASSERT_TRUE(DesktopRemoveWindow(1));
    EXPECT_TRUE(DesktopAddWindow(Window(DESKTOP_MAX_WINDOWS + 1), false));
}

// ---------------------------------------------------------------------------

TEST_F(DesktopTest, SharedWithAnotherProcess) {
    ASSERT_TRUE(DesktopAddWindow(Window(1, u"Parent"), false));
    int status = InChild([] {
        bool sawParent = ClassOf(1) == "Parent";
        return sawParent && DesktopAddWindow(Window(2, u"Child"), true) && DesktopRemoveWindow(1);
    });
    ASSERT_EQ(status, 0);
    EXPECT_EQ(ListedHandles(), std::vector<uint32_t>{2});
    EXPECT_EQ(ClassOf(2), "Child");
}

TEST_F(DesktopTest, ProcessesThatStartTogetherShareOneDesktop) {
    // Several processes make first use of a fresh desktop at the same moment.
    for (int round = 0; round < 5; ++round) {
        RemoveObjects(ns_);
        int gate[2];
        ASSERT_EQ(pipe(gate), 0);
        std::vector<pid_t> children;
        for (int i = 0; i < 6; ++i) {
            pid_t pid = fork();
            if (pid == 0) {
                close(gate[1]);
                char c;
                (void)!read(gate[0], &c, 1);
                _exit(DesktopAddWindow(Window(static_cast<uint32_t>(getpid())), (i & 1) != 0) ? 0 : 1);
            }
            ASSERT_GT(pid, 0);
            children.push_back(pid);
        }
        close(gate[0]);
        close(gate[1]);  // opens the gate for all of them at once
        for (pid_t pid : children) EXPECT_EQ(WaitBounded(pid, 20000), 0) << round;
        std::vector<uint32_t> handles = ListedHandles();
        std::set<uint32_t> listed(handles.begin(), handles.end());
        std::set<uint32_t> expected;
        for (pid_t pid : children) expected.insert(static_cast<uint32_t>(pid));
        EXPECT_EQ(listed, expected) << round;
        EXPECT_EQ(handles.size(), children.size()) << round;
    }
}

TEST_F(DesktopTest, ProcessKilledWhileChangingTheDesktopDoesNotWedgeIt) {
    for (uint32_t h = 1; h <= 200; ++h) ASSERT_TRUE(DesktopAddWindow(Window(h), false));
    for (int round = 0; round < 30; ++round) {
        pid_t writer = fork();
        if (writer == 0) {
            // Moves windows around for as long as it lives; most of its time
            // is spent holding the lock.
            for (uint32_t i = 0;; ++i) DesktopAddWindow(Window(1 + i % 200, u"Moved"), (i & 1) != 0);
        }
        ASSERT_GT(writer, 0);
        usleep(static_cast<useconds_t>(2000 + (round * 7919) % 20000));
        kill(writer, SIGKILL);
        int ignored;
        waitpid(writer, &ignored, 0);

        int status = InChild([] {
            std::vector<uint32_t> handles = ListedHandles();
            std::set<uint32_t> unique(handles.begin(), handles.end());
            return handles.size() == 200 && unique.size() == 200 && *unique.begin() == 1 && *unique.rbegin() == 200 &&
                   DesktopAddWindow(Window(1000), true) && DesktopRemoveWindow(1000);
        });
        ASSERT_EQ(status, 0) << "round " << round << (status == -1 ? ": the desktop stayed locked" : "");
    }
}

TEST_F(DesktopTest, ObjectOfAnotherLayoutIsRefused) {
    int fd = shm_open(ObjectName().c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 4096), 0);
    close(fd);
    int status = InChild([] {
        SetLastError(0);
        bool refused = !DesktopAddWindow(Window(1), true) && GetLastError() == ERROR_INVALID_DATA;
        return refused && DesktopList().empty() && !IsWindowVisible(Hwnd(1));
    });
    EXPECT_EQ(status, 0);
}

TEST_F(DesktopTest, ObjectThatIsNeverSetUpTimesOut) {
    // A creator that died before it got to set the object up.
    int fd = shm_open(ObjectName().c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    int status = InChild(
        [] {
            SetLastError(0);
            return !DesktopAddWindow(Window(1), true) && GetLastError() == ERROR_TIMEOUT;
        },
        60000);
    EXPECT_EQ(status, 0);
}

// ---------------------------------------------------------------------------

TEST_F(DesktopTest, LauncherShowsItsWindowWhileTheProgramRuns) {
    std::string launcher = ProgramDirectory() + ExecutableName("orv-launcher");
    ASSERT_EQ(access(launcher.c_str(), X_OK), 0) << "build orv-launcher first: " << launcher;
    ASSERT_TRUE(DesktopAddWindow(Window(1, u"Behind"), true));

    ChildProcess child;
    std::string error;
    ASSERT_TRUE(child.Start(launcher, {"--window", "/bin/cat"}, {}, &error)) << error;
    int64_t deadline = NowMs() + 20000;
    std::vector<DesktopWindow> windows;
    while (NowMs() < deadline) {
        windows = DesktopList();
        if (windows.size() == 2) break;
        usleep(2000);
    }
    ASSERT_EQ(windows.size(), 2u);
    EXPECT_EQ(windows[0].hwnd, child.Pid());
    EXPECT_EQ(windows[0].className, kChromeClass);
    EXPECT_TRUE(windows[0].visible);
    EXPECT_EQ(windows[0].style, static_cast<uint32_t>(WS_OVERLAPPEDWINDOW | WS_VISIBLE));

    // Our bytes reach the program, and its output reaches us.
    ASSERT_TRUE(child.Write("hello", 5));
    child.CloseInput();
    std::string output;
    EXPECT_TRUE(child.ReadToEnd(&output, 20000));
    EXPECT_EQ(output, "hello");
    uint32_t status = 99;
    ASSERT_TRUE(child.Wait(20000, &status));
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(ListedHandles(), std::vector<uint32_t>{1});
}

TEST_F(DesktopTest, LauncherPassesOnTheProgramsStatusAndSignals) {
    std::string launcher = ProgramDirectory() + ExecutableName("orv-launcher");
    ASSERT_EQ(access(launcher.c_str(), X_OK), 0) << "build orv-launcher first: " << launcher;
    {
        ChildProcess child;
        std::string error;
        ASSERT_TRUE(child.Start(launcher, {"--window", "/bin/sh", "-c", "exit 42"}, {}, &error)) << error;
        uint32_t status = 0;
        ASSERT_TRUE(child.Wait(20000, &status));
        EXPECT_EQ(status, 42u);
        EXPECT_TRUE(DesktopList().empty());
    }
    {
        // A browser told to stop tells its program, and ends when it has.
        ChildProcess child;
        std::string error;
        ASSERT_TRUE(child.Start(launcher, {"--window", "/bin/cat"}, {}, &error)) << error;
        int64_t deadline = NowMs() + 20000;
        while (DesktopList().empty() && NowMs() < deadline) usleep(2000);
        ASSERT_EQ(DesktopList().size(), 1u);
        kill(static_cast<pid_t>(child.Pid()), SIGTERM);
        uint32_t status = 0;
        ASSERT_TRUE(child.Wait(20000, &status));
        EXPECT_EQ(status, 128u + SIGTERM);
        EXPECT_TRUE(DesktopList().empty());
    }
}

}  // namespace

#endif  // !_WIN32
