// Plays a browser process for tests: starts a program on our own standard
// input, output and error, waits for it and exits with its exit status.
// Copied or linked under a browser's name (chrome, msedge, chrome.exe, ...),
// it is the parent that the host looks for among its ancestors.
//
//   launcher [--window] [--exit-after-child] PROGRAM [ARGS...]
//
// --window            show a top-level window of class "Chrome_WidgetWin_1"
//                     while the program runs (on POSIX: on the simulated
//                     desktop, with our pid as its handle, in front)
// --exit-after-child  end as soon as the program has ended (what the
//                     launcher always does; accepted so callers can say so)
// --close-input, --close-output, --close-error
//                     (POSIX) start the program with that standard
//                     descriptor closed, as a careless parent might
//
// Standard output belongs to the program: the launcher writes only to
// standard error. Exit status 125 means the launcher itself failed, 127 that
// the program could not be started.
#include <stdio.h>
#include <string.h>

#include <string>

#include "orv_version.h"
#include "platform/platform.h"
#include "tools/common/launch.h"

namespace {

constexpr int kLauncherFailed = 125;
constexpr int kCannotStart = 127;

const char kUsage[] =
    "Usage: orv-launcher [--window] [--exit-after-child] [--close-input|--close-output|--close-error]\n"
    "                    PROGRAM [ARGS...]\n";

// --help, -h or --version alone: answered here, nothing started.
bool AnswersAPerson(const std::string& arg) {
    if (arg == "--help" || arg == "-h") {
        fputs(kUsage, stdout);
        return true;
    }
    if (arg == "--version") {
        fputs("orv-launcher " ORV_VERSION "\n", stdout);
        return true;
    }
    return false;
}

}  // namespace

#if defined(_WIN32)

#include <string>

namespace {

const WCHAR kWindowClass[] = L"Chrome_WidgetWin_1";

// One argument of a command line as the C runtime splits it: start and end
// in the line, and its text without the quoting (enough for our options).
const WCHAR* NextArgument(const WCHAR* p, std::wstring* text) {
    text->clear();
    bool quoted = false;
    while (*p != 0 && (quoted || !IsCommandLineBlank(*p))) {
        if (*p == L'\\') {
            size_t slashes = 0;
            while (p[slashes] == L'\\') ++slashes;
            if (p[slashes] == L'"') {
                text->append(slashes / 2, L'\\');
                p += slashes;
                if (slashes % 2 == 1) {
                    text->push_back(L'"');
                    ++p;
                }
            } else {
                text->append(slashes, L'\\');
                p += slashes;
            }
            continue;
        }
        if (*p == L'"') {
            quoted = !quoted;
        } else {
            text->push_back(*p);
        }
        ++p;
    }
    return p;
}

HWND ShowBrowserWindow() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = instance;
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kWindowClass;
    if (RegisterClassExW(&wc) == 0) {
        fprintf(stderr, "launcher: RegisterClassExW failed: %lu\n", GetLastError());
        return nullptr;
    }
    HWND window = CreateWindowExW(0, kWindowClass, L"Orvendel test browser", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                  CW_USEDEFAULT, CW_USEDEFAULT, 640, 480, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        fprintf(stderr, "launcher: CreateWindowExW failed: %lu\n", GetLastError());
        return nullptr;
    }
    return window;
}

// Waits for the process while the window's thread keeps answering messages,
// as a browser's UI thread does.
bool WaitPumping(HANDLE process) {
    for (;;) {
        DWORD wait = MsgWaitForMultipleObjects(1, &process, FALSE, INFINITE, QS_ALLINPUT);
        if (wait == WAIT_OBJECT_0) return true;
        if (wait != WAIT_OBJECT_0 + 1) {
            fprintf(stderr, "launcher: MsgWaitForMultipleObjects failed: %lu\n", GetLastError());
            return false;
        }
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && AnswersAPerson(argv[1])) return 0;
    const WCHAR* p = CommandLineTail(GetCommandLineW());
    bool window = false;
    std::wstring arg;
    for (;;) {
        const WCHAR* end = NextArgument(p, &arg);
        if (arg == L"--window") {
            window = true;
        } else if (arg == L"--exit-after-child") {
            // The default.
        } else if (arg == L"--") {
            p = SkipCommandLineBlanks(end);
            break;
        } else if (arg.compare(0, 2, L"--") == 0) {
            fprintf(stderr, "orv-launcher: unknown option\n%s", kUsage);
            return kLauncherFailed;
        } else {
            break;
        }
        p = SkipCommandLineBlanks(end);
    }
    if (*p == 0) {
        fputs(kUsage, stderr);
        return kLauncherFailed;
    }
    // The program's part of our command line goes on unchanged.
    std::wstring commandLine(p);

    HWND browserWindow = nullptr;
    if (window) {
        browserWindow = ShowBrowserWindow();
        if (browserWindow == nullptr) return kLauncherFailed;
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = InheritableStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = InheritableStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = InheritableStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
        fprintf(stderr, "launcher: CreateProcessW failed: %lu\n", GetLastError());
        if (browserWindow != nullptr) DestroyWindow(browserWindow);
        return kCannotStart;
    }
    CloseHandle(info.hThread);

    bool waited = browserWindow != nullptr ? WaitPumping(info.hProcess)
                                           : WaitForSingleObject(info.hProcess, INFINITE) == WAIT_OBJECT_0;
    DWORD code = kLauncherFailed;
    if (waited && !GetExitCodeProcess(info.hProcess, &code)) {
        fprintf(stderr, "launcher: GetExitCodeProcess failed: %lu\n", GetLastError());
        code = kLauncherFailed;
    }
    CloseHandle(info.hProcess);
    if (browserWindow != nullptr) DestroyWindow(browserWindow);
    // The whole 32-bit code, so that a child's -1 reaches our parent as -1.
    ExitProcess(code);
}

#else  // POSIX

#include <spawn.h>
#include <unistd.h>

#include <vector>

#include "platform/posix/desktop.h"

extern char** environ;

int main(int argc, char** argv) {
    if (argc == 2 && AnswersAPerson(argv[1])) return 0;
    bool window = false;
    std::vector<int> closed;
    int first = 1;
    for (; first < argc; ++first) {
        const char* arg = argv[first];
        if (strcmp(arg, "--window") == 0) {
            window = true;
        } else if (strcmp(arg, "--exit-after-child") == 0) {
            // The default.
        } else if (strcmp(arg, "--close-input") == 0) {
            closed.push_back(0);
        } else if (strcmp(arg, "--close-output") == 0) {
            closed.push_back(1);
        } else if (strcmp(arg, "--close-error") == 0) {
            closed.push_back(2);
        } else if (strcmp(arg, "--") == 0) {
            ++first;
            break;
        } else if (strncmp(arg, "--", 2) == 0) {
            fprintf(stderr, "orv-launcher: unknown option %s\n%s", arg, kUsage);
            return kLauncherFailed;
        } else {
            break;
        }
    }
    if (first >= argc) {
        fputs(kUsage, stderr);
        return kLauncherFailed;
    }

    // A browser asked to stop passes it on, and ends when the program does.
    // The program starts with our own signal mask (exec resets the handlers).
    sigset_t previous;
    HoldStopRequests(&previous);

    // The window is there before the program starts and goes when it ends;
    // a stop request in between waits for the program's pid.
    const uint32_t self = static_cast<uint32_t>(getpid());
    if (window) {
        DesktopWindow browser;
        browser.hwnd = self;
        browser.className = u"Chrome_WidgetWin_1";
        browser.visible = true;
        browser.style = WS_OVERLAPPEDWINDOW | WS_VISIBLE;
        if (!DesktopAddWindow(browser, true)) {
            fprintf(stderr, "launcher: cannot add the window to the desktop: error %u\n", GetLastError());
            return kLauncherFailed;
        }
    }

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setsigmask(&attr, &previous);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : closed) posix_spawn_file_actions_addclose(&actions, fd);
    pid_t child = 0;
    int spawnError = posix_spawnp(&child, argv[first], &actions, &attr, &argv[first], environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);

    int status = kCannotStart;
    if (spawnError != 0) {
        fprintf(stderr, "launcher: cannot start %s: %s\n", argv[first], strerror(spawnError));
    } else {
        ForwardStopRequests(child, previous);
        int raw = 0;
        status = WaitForChild(child, &raw) ? ShellExitStatus(raw) : kLauncherFailed;
    }
    if (window && !DesktopRemoveWindow(self)) {
        fprintf(stderr, "launcher: cannot remove the window from the desktop: error %u\n", GetLastError());
    }
    return status;
}

#endif
