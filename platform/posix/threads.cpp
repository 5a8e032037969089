// Threads: detached pthreads; the handle is signalled when the routine returns.
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <new>
#include <set>

#include "platform/posix/kernel_objects.h"

namespace {

struct ThreadState {
    std::atomic<uint32_t> id{0};
    std::atomic<uint32_t> done{0};  // kSignalled once the start routine returned
};

struct ThreadObject : pal::Object, pal::Waitable {
    std::shared_ptr<ThreadState> state;
    ThreadObject();
    ~ThreadObject() override;
    DWORD Wait(DWORD dwMilliseconds) override { return pal::WaitForWord(&state->done, false, dwMilliseconds); }
};

// Thread handles that are never closed (the host keeps none) stay reachable
// here, so leak checkers do not report them.
struct ThreadRegistry {
    std::mutex lock;
    std::set<ThreadObject*> threads;
};

ThreadRegistry& Threads() {
    static ThreadRegistry* registry = new ThreadRegistry;
    return *registry;
}

ThreadObject::ThreadObject() {
    std::lock_guard<std::mutex> guard(Threads().lock);
    Threads().threads.insert(this);
}

ThreadObject::~ThreadObject() {
    std::lock_guard<std::mutex> guard(Threads().lock);
    Threads().threads.erase(this);
}

struct ThreadStart {
    unsigned (*routine)(void*);
    void* argument;
    std::shared_ptr<ThreadState> state;
};

void* ThreadMain(void* p) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(p));
    start->state->id.store(static_cast<uint32_t>(::syscall(SYS_gettid)), std::memory_order_release);
    pal::FutexWakeAll(&start->state->id);
    start->routine(start->argument);
    start->state->done.store(pal::kSignalled, std::memory_order_release);
    pal::FutexWakeAll(&start->state->done);
    return nullptr;
}

}  // namespace

uintptr_t _beginthreadex(void* security, unsigned stack_size, unsigned (*start_address)(void*), void* arglist,
                         unsigned initflag, unsigned* thrdaddr) {
    if (start_address == nullptr || (initflag & CREATE_SUSPENDED) != 0) {
        errno = EINVAL;
        return 0;
    }
    std::unique_ptr<ThreadObject> thread(new (std::nothrow) ThreadObject);
    std::shared_ptr<ThreadState> state(new (std::nothrow) ThreadState);
    std::unique_ptr<ThreadStart> start(new (std::nothrow) ThreadStart);
    if (!thread || !state || !start) {
        errno = ENOMEM;
        return 0;
    }
    thread->state = state;
    start->routine = start_address;
    start->argument = arglist;
    start->state = state;

    pthread_attr_t attr;
    int err = ::pthread_attr_init(&attr);
    if (err != 0) {
        errno = err;
        return 0;
    }
    ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stack_size != 0) {
        size_t bytes = stack_size < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : stack_size;
        ::pthread_attr_setstacksize(&attr, static_cast<size_t>(pal::RoundUpToPage(bytes)));
    }
    pthread_t id;
    err = ::pthread_create(&id, &attr, ThreadMain, start.get());
    ::pthread_attr_destroy(&attr);
    if (err != 0) {
        errno = err;
        return 0;
    }
    start.release();  // the thread owns it now
    // The id is the new thread's own GetCurrentThreadId, as on Windows.
    while (state->id.load(std::memory_order_acquire) == 0) pal::FutexWait(&state->id, 0, nullptr);
    if (thrdaddr != nullptr) *thrdaddr = state->id.load(std::memory_order_acquire);
    return reinterpret_cast<uintptr_t>(static_cast<pal::Object*>(thread.release()));
}
