#include "tools/common/launch.h"

#include <errno.h>
#include <string.h>
#include <sys/wait.h>

#include <atomic>

namespace {

const int kStopRequests[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};
std::atomic<pid_t> g_child{0};  // lock-free, so safe in a handler

void Forward(int sig) {
    pid_t child = g_child;
    if (child > 0) kill(child, sig);
}

}  // namespace

void HoldStopRequests(sigset_t* startMask) {
    sigset_t held;
    sigemptyset(&held);
    for (int sig : kStopRequests) sigaddset(&held, sig);
    pthread_sigmask(SIG_BLOCK, &held, startMask);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = Forward;
    sigemptyset(&action.sa_mask);
    for (int sig : kStopRequests) sigaction(sig, &action, nullptr);
}

void ForwardStopRequests(pid_t child, const sigset_t& startMask) {
    g_child = child;
    pthread_sigmask(SIG_SETMASK, &startMask, nullptr);
}

bool WaitForChild(pid_t child, int* raw) {
    pid_t done;
    do {
        done = waitpid(child, raw, 0);
    } while (done < 0 && errno == EINTR);
    g_child = 0;
    return done == child;
}

int ShellExitStatus(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return 125;
}
