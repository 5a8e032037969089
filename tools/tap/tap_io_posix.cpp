#include "tools/tap/tap_io.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "tools/common/child_process.h"
#include "tools/common/launch.h"

extern char** environ;

namespace {

sigset_t g_startMask;
bool g_pipeWasDefault = true;

// Written once StopReads is called; the reader of standard input polls it.
int g_stop[2] = {-1, -1};

// A copy at 3 or above, so that the child's dup2 onto 0 and 1 cannot hit it.
int AboveStandard(int fd) {
    if (fd > 2) return fd;
    int copy = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return copy;
}

bool MakePipe(int ends[2]) {
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    ends[0] = AboveStandard(ends[0]);
    ends[1] = AboveStandard(ends[1]);
    return ends[0] >= 0 && ends[1] >= 0;
}

std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') quoted.push_back('\\');
        quoted.push_back(c);
    }
    return quoted + "\"";
}

std::string EnvironmentValue(const char* name) {
    const char* value = getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

}  // namespace

void PrepareStandardHandles() {
    // A descriptor 0-2 that we were started without would be taken by the
    // first file we open, and the host would get it as a standard handle.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0) open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    }
    // A browser that stops reading must show as a failed write.
    struct sigaction ignore;
    memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous;
    if (sigaction(SIGPIPE, &ignore, &previous) == 0) g_pipeWasDefault = previous.sa_handler == SIG_DFL;

    // Stop requests for the tap go to the host; the tap ends when the host
    // does, and so still records how it ended. Held until the host's pid is
    // known, so that no request is lost.
    HoldStopRequests(&g_startMask);

    if (pipe2(g_stop, O_CLOEXEC) != 0) g_stop[0] = g_stop[1] = -1;
}

TapHandle StandardInput() { return 0; }
TapHandle StandardOutput() { return 1; }

void CloseStandardOutput() {
    // /dev/null in its place keeps descriptor 1 from being reused.
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, 1);
        close(null);
    } else {
        close(1);
    }
}

long ReadSome(TapHandle handle, void* buffer, size_t size) {
    for (;;) {
        ssize_t got = read(handle, buffer, size);
        if (got >= 0) return static_cast<long>(got);
        if (errno == EINTR) continue;
        if (errno == EAGAIN) {
            pollfd wait = {handle, POLLIN, 0};
            poll(&wait, 1, -1);
            continue;
        }
        return 0;
    }
}

long ReadSomeUntilStopped(TapHandle handle, void* buffer, size_t size) {
    for (;;) {
        pollfd waits[2] = {{handle, POLLIN, 0}, {g_stop[0], POLLIN, 0}};
        int ready = poll(waits, g_stop[0] >= 0 ? 2 : 1, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        if (g_stop[0] >= 0 && waits[1].revents != 0) return -1;
        if (waits[0].revents == 0) continue;
        ssize_t got = read(handle, buffer, size);
        if (got >= 0) return static_cast<long>(got);
        if (errno == EINTR || errno == EAGAIN) continue;
        return 0;
    }
}

bool StopReads() {
    if (g_stop[1] < 0) return false;
    close(g_stop[1]);  // the read end polls as hung up from now on
    g_stop[1] = -1;
    return true;
}

bool WriteAll(TapHandle handle, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t written = write(handle, bytes, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                pollfd wait = {handle, POLLOUT, 0};
                poll(&wait, 1, -1);
                continue;
            }
            return false;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

void CloseTapHandle(TapHandle* handle) {
    if (*handle >= 0) {
        close(*handle);
        *handle = -1;
    }
}

TapArguments GetTapArguments(int argc, char** argv) {
    TapArguments arguments;
    for (int i = 1; i < argc; ++i) arguments.args.push_back(argv[i]);
    return arguments;
}

NativeText HostPath() {
    std::string path = EnvironmentValue("ORVENDEL_TAP_HOST");
    if (!path.empty()) return path;
    return ProgramDirectory() + ExecutableName("orvendel_host");
}

NativeText RecordPath() {
    std::string path = EnvironmentValue("ORVENDEL_TAP_LOG");
    if (!path.empty()) return path;
    std::string folder = EnvironmentValue("TMPDIR");
    if (folder.empty()) folder = "/tmp";
    if (folder.back() != '/') folder.push_back('/');
    SYSTEMTIME now;
    GetLocalTime(&now);
    char name[96];
    snprintf(name, sizeof name, "orvendel-tap-%04u%02u%02u-%02u%02u%02u-%u.txt", now.wYear, now.wMonth,
             now.wDay, now.wHour, now.wMinute, now.wSecond, static_cast<unsigned>(getpid()));
    return folder + name;
}

TapHandle OpenRecord(const NativeText& path, std::string* why) {
    // Owner only: the record holds what the extension sent, URLs included.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        *why = strerror(errno);
        return -1;
    }
    return AboveStandard(fd);
}

bool StartHost(const NativeText& path, const TapArguments& arguments, HostChild* host,
               std::string* why) {
    int toHost[2], fromHost[2];
    if (!MakePipe(toHost)) {
        *why = std::string("pipe: ") + strerror(errno);
        return false;
    }
    if (!MakePipe(fromHost)) {
        *why = std::string("pipe: ") + strerror(errno);
        close(toHost[0]);
        close(toHost[1]);
        return false;
    }

    std::vector<std::string> strings;
    strings.push_back(path);
    strings.insert(strings.end(), arguments.args.begin(), arguments.args.end());
    std::vector<char*> argv;
    for (std::string& s : strings) argv.push_back(&s[0]);
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toHost[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromHost[1], 1);
    // The host starts as the browser would have started it: the browser's
    // signal mask, and SIGPIPE as the browser left it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setsigmask(&attributes, &g_startMask);
    sigset_t defaults;
    sigemptyset(&defaults);
    if (g_pipeWasDefault) sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = 0;
    int error = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(toHost[0]);
    close(fromHost[1]);
    if (error != 0) {
        close(toHost[1]);
        close(fromHost[0]);
        *why = strerror(error);
        return false;
    }
    host->pid = pid;
    host->input = toHost[1];
    host->output = fromHost[0];
    ForwardStopRequests(pid, g_startMask);
    return true;
}

HostEnd WaitHost(HostChild* host) {
    HostEnd end;
    int raw = 0;
    if (!WaitForChild(host->pid, &raw)) {
        end.status = 125;
        return end;
    }
    end.status = static_cast<uint32_t>(ShellExitStatus(raw));
    if (WIFSIGNALED(raw)) end.signal = WTERMSIG(raw);
    return end;
}

uint32_t HostPid(const HostChild& host) { return static_cast<uint32_t>(host.pid); }

void ExitTap(uint32_t status) { exit(static_cast<int>(status & 0xFF)); }

std::string ToUtf8(const NativeText& text) { return text; }

std::string DescribeArguments(const TapArguments& arguments) {
    if (arguments.args.empty()) return "(none)";
    std::string text;
    for (const std::string& arg : arguments.args) {
        if (!text.empty()) text.push_back(' ');
        text += Quoted(arg);
    }
    return text;
}
