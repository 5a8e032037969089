#include "tools/common/child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace {

int64_t NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Milliseconds left until deadline, never negative.
int RemainingMs(int64_t deadline) {
    int64_t left = deadline - NowMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

void CloseFd(intptr_t* fd) {
    if (*fd >= 0) {
        close(static_cast<int>(*fd));
        *fd = -1;
    }
}

uint32_t DecodeWaitStatus(int status) {
    if (WIFEXITED(status)) return static_cast<uint32_t>(WEXITSTATUS(status));
    // As a shell reports it: a signal shows as 128 + its number.
    if (WIFSIGNALED(status)) return 128u + static_cast<uint32_t>(WTERMSIG(status));
    return static_cast<uint32_t>(status);
}

// Our environment with the given variables added or replaced.
std::vector<std::string> MergeEnvironment(
    const std::vector<std::pair<std::string, std::string>>& env) {
    std::vector<std::string> merged;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string name(*entry);
        name = name.substr(0, name.find('='));
        bool replaced = false;
        for (const auto& var : env) replaced = replaced || var.first == name;
        if (!replaced) merged.emplace_back(*entry);
    }
    for (const auto& var : env) merged.push_back(var.first + "=" + var.second);
    return merged;
}

std::vector<char*> PointerArray(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (auto& s : strings) pointers.push_back(&s[0]);
    pointers.push_back(nullptr);
    return pointers;
}

// Moves fd out of the standard range so that the dup2 calls cannot clobber it.
int AboveStandardFds(int fd) { return fd > 2 ? fd : fcntl(fd, F_DUPFD, 3); }

}  // namespace

ChildProcess::~ChildProcess() { Reset(); }

void ChildProcess::Reset() {
    CloseFd(&input_);
    Kill();
    CloseFd(&output_);
    pid_ = 0;
    exited_ = false;
    status_ = 0;
}

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::pair<std::string, std::string>>& env,
                         std::string* error) {
    auto fail = [error](const std::string& what, int code) {
        if (error != nullptr) *error = what + ": " + strerror(code);
        return false;
    };
    if (pid_ != 0) return fail("Start", EBUSY);

    // A child that goes away must show up as a failed Write, not end the tests.
    signal(SIGPIPE, SIG_IGN);

    // Everything the child needs is built before fork: after it, only
    // async-signal-safe calls are allowed.
    std::vector<std::string> argStrings;
    argStrings.push_back(program);
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<std::string> envStrings = MergeEnvironment(env);
    std::vector<char*> argv = PointerArray(argStrings);
    std::vector<char*> envp = PointerArray(envStrings);

    // Close-on-exec everywhere, so that children do not inherit each other's pipes.
    int toChild[2], fromChild[2], execStatus[2];
    if (pipe2(toChild, O_CLOEXEC) != 0) return fail("pipe", errno);
    if (pipe2(fromChild, O_CLOEXEC) != 0) {
        int code = errno;
        close(toChild[0]);
        close(toChild[1]);
        return fail("pipe", code);
    }
    if (pipe2(execStatus, O_CLOEXEC) != 0) {
        int code = errno;
        for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]}) close(fd);
        return fail("pipe", code);
    }

    int errorFd = -1;
    if (!errorFile_.empty()) {
        errorFd = open(errorFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (errorFd < 0) {
            int code = errno;
            for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1], execStatus[0], execStatus[1]}) close(fd);
            return fail("open " + errorFile_, code);
        }
    }

    pid_t pid = fork();
    if (pid == 0) {
        int in = AboveStandardFds(toChild[0]);
        int out = AboveStandardFds(fromChild[1]);
        int err = errorFd < 0 ? -1 : AboveStandardFds(errorFd);
        // dup2 clears close-on-exec on the copies.
        if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
            (errorFd >= 0 && (err < 0 || dup2(err, 2) < 0))) {
            int code = errno;
            (void)!write(execStatus[1], &code, sizeof code);
            _exit(127);
        }
        signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(program.c_str(), argv.data(), envp.data());
        int code = errno;
        (void)!write(execStatus[1], &code, sizeof code);
        _exit(127);
    }
    int forkError = errno;
    if (errorFd >= 0) close(errorFd);
    close(toChild[0]);
    close(fromChild[1]);
    close(execStatus[1]);
    if (pid < 0) {
        close(toChild[1]);
        close(fromChild[0]);
        close(execStatus[0]);
        return fail("fork", forkError);
    }

    // The status pipe closes on a successful exec; otherwise it carries errno.
    int childError = 0;
    ssize_t got;
    do {
        got = read(execStatus[0], &childError, sizeof childError);
    } while (got < 0 && errno == EINTR);
    close(execStatus[0]);
    if (got == static_cast<ssize_t>(sizeof childError)) {
        close(toChild[1]);
        close(fromChild[0]);
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return fail("exec " + program, childError);
    }

    pid_ = static_cast<uint32_t>(pid);
    process_ = pid;
    input_ = toChild[1];
    output_ = fromChild[0];
    exited_ = false;
    status_ = 0;
    return true;
}

bool ChildProcess::Write(const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        if (input_ < 0) return false;
        ssize_t written = write(static_cast<int>(input_), bytes, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

void ChildProcess::CloseInput() { CloseFd(&input_); }
void ChildProcess::CloseOutput() { CloseFd(&output_); }

long ChildProcess::Read(void* buffer, size_t size, int timeoutMs) {
    if (output_ < 0) return 0;
    if (size == 0) return -1;  // a zero-byte read would look like the end
    int64_t deadline = NowMs() + (timeoutMs > 0 ? timeoutMs : 0);
    for (;;) {
        pollfd pfd = {static_cast<int>(output_), POLLIN, 0};
        int ready = poll(&pfd, 1, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) return -1;
        if (ready < 0) return 0;
        ssize_t got = read(static_cast<int>(output_), buffer, size);
        if (got < 0 && errno == EINTR) continue;
        // A read error is as final as the end of the output.
        return got > 0 ? static_cast<long>(got) : 0;
    }
}

bool ChildProcess::ReadExact(void* buffer, size_t size, int timeoutMs) {
    char* bytes = static_cast<char*>(buffer);
    int64_t deadline = NowMs() + (timeoutMs > 0 ? timeoutMs : 0);
    while (size > 0) {
        long got = Read(bytes, size, RemainingMs(deadline));
        if (got <= 0) return false;
        bytes += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

bool ChildProcess::ReadToEnd(std::string* out, int timeoutMs) {
    int64_t deadline = NowMs() + (timeoutMs > 0 ? timeoutMs : 0);
    char chunk[65536];
    for (;;) {
        long got = Read(chunk, sizeof chunk, RemainingMs(deadline));
        if (got == 0) return true;
        if (got < 0) return false;
        out->append(chunk, static_cast<size_t>(got));
    }
}

bool ChildProcess::Wait(int timeoutMs, uint32_t* status) {
    if (pid_ == 0) return false;
    int64_t deadline = NowMs() + (timeoutMs > 0 ? timeoutMs : 0);
    int pause = 1;
    while (!exited_) {
        int raw = 0;
        pid_t done = waitpid(static_cast<pid_t>(pid_), &raw, WNOHANG);
        if (done == static_cast<pid_t>(pid_)) {
            exited_ = true;
            status_ = DecodeWaitStatus(raw);
            break;
        }
        if (done < 0 && errno != EINTR) return false;
        if (NowMs() >= deadline) return false;
        int left = RemainingMs(deadline);
        usleep(static_cast<useconds_t>((pause < left ? pause : left) * 1000));
        if (pause < 20) pause *= 2;
    }
    if (status != nullptr) *status = status_;
    return true;
}

void ChildProcess::Kill() {
    if (pid_ == 0 || exited_) return;
    kill(static_cast<pid_t>(pid_), SIGKILL);
    int raw = 0;
    pid_t done;
    do {
        done = waitpid(static_cast<pid_t>(pid_), &raw, 0);
    } while (done < 0 && errno == EINTR);
    exited_ = true;
    status_ = done == static_cast<pid_t>(pid_) ? DecodeWaitStatus(raw) : 0;
}

bool ChildProcess::Running() const {
    if (pid_ == 0 || exited_) return false;
    // WNOWAIT leaves the child to be reaped by Wait.
    siginfo_t info;
    memset(&info, 0, sizeof info);
    if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        return false;
    }
    return info.si_pid == 0;
}

std::string ProgramDirectory() {
    char path[4096];
    ssize_t got = readlink("/proc/self/exe", path, sizeof path - 1);
    if (got <= 0) return "./";
    std::string full(path, static_cast<size_t>(got));
    size_t slash = full.rfind('/');
    return slash == std::string::npos ? std::string("./") : full.substr(0, slash + 1);
}

std::string ExecutableName(const std::string& base) { return base; }
