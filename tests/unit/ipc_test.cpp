// Named events, file mappings, security descriptors and threads. Most cases
// run against our POSIX stand-in and, under Wine, against the real Win32
// calls, so that the two are seen to agree. Cross-process cases start this
// test program again as the other party (DISABLED_IpcChild.Main below),
// which talks back in "@ipc ..." lines on its standard output.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#if defined(_WIN32)
#include <process.h>
#else
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "platform/platform.h"
#include "support/handles.h"
#include "tests/support/peer.h"
#include "tools/common/child_process.h"

namespace {

using peer::ElapsedMs;
using peer::Hear;
using peer::Say;

// Bounds for things that take milliseconds unless something is broken.
constexpr DWORD kLongWaitMs = 30000;
constexpr int kPeerTimeoutMs = 30000;
// WAIT_TIMEOUT is a long in mingw's headers; the waits return a DWORD.
constexpr DWORD kWaitTimeout = WAIT_TIMEOUT;

// A name no other test (or earlier run under the same Wine prefix) uses.
std::string UniqueName(const std::string& what) {
    static std::atomic<int> counter{0};
    return "Global\\ipc-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter) + "-" + what;
}

// Polls until pred holds; false when it did not within timeoutMs.
template <typename Pred>
bool Eventually(Pred pred, int timeoutMs = kPeerTimeoutMs) {
    auto start = std::chrono::steady_clock::now();
    while (!pred()) {
        if (ElapsedMs(start) > timeoutMs) return false;
        Sleep(5);
    }
    return true;
}

UniqueHandle NewEvent(const std::string& name, BOOL manual = FALSE, BOOL initial = FALSE) {
    return UniqueHandle(CreateEventW(nullptr, manual, initial, Wide(name).c_str()));
}

UniqueHandle NewMapping(const std::string& name, DWORD size) {
    return UniqueHandle(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, Wide(name).c_str()));
}

UniqueHandle OpenMapping(const std::string& name, DWORD access = FILE_MAP_READ | FILE_MAP_WRITE) {
    return UniqueHandle(OpenFileMappingW(access, FALSE, Wide(name).c_str()));
}

UniqueHandle StartThread(unsigned(WINAPI* routine)(void*), void* argument, unsigned* id = nullptr) {
    unsigned ignored = 0;
    return UniqueHandle(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, routine, argument, 0, id ? id : &ignored)));
}

// Another process playing a part (see RunChild).
class Peer : public peer::Peer {
public:
    Peer() : peer::Peer("DISABLED_IpcChild.Main") {}
};

// Every test runs in a namespace of its own and leaves no object behind.
class IpcTest : public ::testing::Test {
protected:
    void SetUp() override {
#if !defined(_WIN32)
        ns_ = "ipc-test-" + std::to_string(getpid());
        const char* old = getenv("ORVENDEL_NAMESPACE");
        hadNamespace_ = old != nullptr;
        if (old != nullptr) oldNamespace_ = old;
        setenv("ORVENDEL_NAMESPACE", ns_.c_str(), 1);
#endif
    }

    void TearDown() override {
#if !defined(_WIN32)
        std::vector<std::string> left = Objects();
        if (!allowLeftovers_) {
            std::string names;
            for (const auto& n : left) names += n + " ";
            EXPECT_TRUE(left.empty()) << "objects left behind: " << names;
        }
        for (const auto& n : left) unlink(("/dev/shm/" + n).c_str());
        for (const auto& n : Objects(OtherNamespace())) unlink(("/dev/shm/" + n).c_str());
        if (hadNamespace_) {
            setenv("ORVENDEL_NAMESPACE", oldNamespace_.c_str(), 1);
        } else {
            unsetenv("ORVENDEL_NAMESPACE");
        }
#endif
    }

#if !defined(_WIN32)
    // The files in /dev/shm of this test's namespace (or of another).
    std::vector<std::string> Objects(const std::string& ns = std::string()) const {
        std::vector<std::string> names;
        std::string prefix = "orvendel." + (ns.empty() ? ns_ : ns) + ".";
        DIR* dir = opendir("/dev/shm");
        if (dir == nullptr) return names;
        while (dirent* entry = readdir(dir)) {
            if (strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) names.push_back(entry->d_name);
        }
        closedir(dir);
        return names;
    }
    std::string OtherNamespace() const { return ns_ + "-other"; }
    std::string ShmPath(const std::string& escapedName) const { return "/dev/shm/orvendel." + ns_ + "." + escapedName; }

    std::string ns_;
    std::string oldNamespace_;
    bool hadNamespace_ = false;
#endif
    // Set by tests that kill a process holding handles: its counts stay behind.
    bool allowLeftovers_ = false;
};

// ---------------------------------------------------------------------------
// Events in one process

using EventTest = IpcTest;

TEST_F(EventTest, AutoResetReleasesOneWaitPerSignal) {
    UniqueHandle event = NewEvent(UniqueName("auto"));
    ASSERT_NE(event.get(), nullptr);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), kWaitTimeout);

    // An unconsumed signal stays set until one wait takes it.
    ASSERT_TRUE(SetEvent(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), kWaitTimeout);

    // Two signals with no wait between them release a single wait.
    ASSERT_TRUE(SetEvent(event.get()));
    ASSERT_TRUE(SetEvent(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), kWaitTimeout);

    // ResetEvent drops a pending signal.
    ASSERT_TRUE(SetEvent(event.get()));
    ASSERT_TRUE(ResetEvent(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), kWaitTimeout);
}

TEST_F(EventTest, InitialStateAndManualReset) {
    UniqueHandle initiallySet = NewEvent(UniqueName("initial"), FALSE, TRUE);
    ASSERT_NE(initiallySet.get(), nullptr);
    EXPECT_EQ(WaitForSingleObject(initiallySet.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(initiallySet.get(), 0), kWaitTimeout);

    UniqueHandle manual = NewEvent(UniqueName("manual"), TRUE, FALSE);
    ASSERT_NE(manual.get(), nullptr);
    EXPECT_EQ(WaitForSingleObject(manual.get(), 0), kWaitTimeout);
    ASSERT_TRUE(SetEvent(manual.get()));
    EXPECT_EQ(WaitForSingleObject(manual.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual.get(), 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(manual.get()));
    EXPECT_EQ(WaitForSingleObject(manual.get(), 0), kWaitTimeout);
}

TEST_F(EventTest, WaitTimesOut) {
    UniqueHandle event = NewEvent(UniqueName("timeout"));
    ASSERT_NE(event.get(), nullptr);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(event.get(), 200), kWaitTimeout);
    int64_t elapsed = ElapsedMs(start);
    EXPECT_GE(elapsed, 150);
    EXPECT_LT(elapsed, 20000);
}

struct Waiters {
    HANDLE event = nullptr;
    DWORD timeoutMs = kLongWaitMs;
    std::atomic<int> started{0};
    std::atomic<int> released{0};
    std::atomic<int> failed{0};
};

unsigned WINAPI WaitOnce(void* p) {
    auto* w = static_cast<Waiters*>(p);
    ++w->started;
    DWORD result = WaitForSingleObject(w->event, w->timeoutMs);
    ++(result == WAIT_OBJECT_0 ? w->released : w->failed);
    return 0;
}

unsigned WINAPI SignalSoon(void* p) {
    Sleep(100);
    SetEvent(static_cast<HANDLE>(p));
    return 0;
}

TEST_F(EventTest, SignalFromAnotherThreadEndsWaits) {
    UniqueHandle event = NewEvent(UniqueName("wake"));
    ASSERT_NE(event.get(), nullptr);

    UniqueHandle signaller = StartThread(SignalSoon, event.get());
    ASSERT_NE(signaller.get(), nullptr);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(event.get(), kLongWaitMs), WAIT_OBJECT_0);
    EXPECT_LT(ElapsedMs(start), 20000);
    EXPECT_EQ(WaitForSingleObject(signaller.get(), kLongWaitMs), WAIT_OBJECT_0);

    signaller = StartThread(SignalSoon, event.get());
    ASSERT_NE(signaller.get(), nullptr);
    EXPECT_EQ(WaitForSingleObject(event.get(), INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(signaller.get(), kLongWaitMs), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), kWaitTimeout);
}

TEST_F(EventTest, EachSignalReleasesExactlyOneOfManyWaiters) {
    constexpr int kWaiters = 4;
    UniqueHandle event = NewEvent(UniqueName("many"));
    ASSERT_NE(event.get(), nullptr);
    Waiters w;
    w.event = event.get();
    std::vector<UniqueHandle> threads;
    for (int i = 0; i < kWaiters; ++i) {
        threads.push_back(StartThread(WaitOnce, &w));
        ASSERT_NE(threads.back().get(), nullptr);
    }
    ASSERT_TRUE(Eventually([&] { return w.started == kWaiters; }));
    Sleep(100);  // let them block; the counts below hold either way

    for (int i = 1; i <= kWaiters; ++i) {
        ASSERT_TRUE(SetEvent(event.get()));
        ASSERT_TRUE(Eventually([&] { return w.released >= i; })) << "signal " << i << " released nobody";
        Sleep(50);  // room for a wrong second release to show
        EXPECT_EQ(w.released, i) << "signal " << i;
    }
    for (auto& t : threads) EXPECT_EQ(WaitForSingleObject(t.get(), kLongWaitMs), WAIT_OBJECT_0);
    EXPECT_EQ(w.failed, 0);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), kWaitTimeout);
}

TEST_F(EventTest, ManualResetReleasesEveryWaiter) {
    constexpr int kWaiters = 4;
    UniqueHandle event = NewEvent(UniqueName("all"), TRUE, FALSE);
    ASSERT_NE(event.get(), nullptr);
    Waiters w;
    w.event = event.get();
    std::vector<UniqueHandle> threads;
    for (int i = 0; i < kWaiters; ++i) threads.push_back(StartThread(WaitOnce, &w));
    ASSERT_TRUE(Eventually([&] { return w.started == kWaiters; }));
    Sleep(50);
    ASSERT_TRUE(SetEvent(event.get()));
    for (auto& t : threads) EXPECT_EQ(WaitForSingleObject(t.get(), kLongWaitMs), WAIT_OBJECT_0);
    EXPECT_EQ(w.released, kWaiters);
}

TEST_F(EventTest, ExistingNameOpensTheSameEvent) {
    std::string name = UniqueName("twice");
    SetLastError(12345);
    UniqueHandle first = NewEvent(name);
    ASSERT_NE(first.get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));

    // The creator's reset mode and state win over the second caller's.
    UniqueHandle second = NewEvent(name, TRUE, TRUE);
    ASSERT_NE(second.get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_NE(first.get(), second.get());
    EXPECT_EQ(WaitForSingleObject(second.get(), 0), kWaitTimeout);

    ASSERT_TRUE(SetEvent(first.get()));
    EXPECT_EQ(WaitForSingleObject(second.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(first.get(), 0), kWaitTimeout);

    UniqueHandle opened(OpenEventW(EVENT_ALL_ACCESS, FALSE, Wide(name).c_str()));
    ASSERT_NE(opened.get(), nullptr);
    ASSERT_TRUE(SetEvent(opened.get()));
    EXPECT_EQ(WaitForSingleObject(first.get(), 0), WAIT_OBJECT_0);
}

TEST_F(EventTest, OpenFailures) {
    SetLastError(0);
    EXPECT_EQ(OpenEventW(EVENT_ALL_ACCESS, FALSE, Wide(UniqueName("missing")).c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(OpenEventW(EVENT_ALL_ACCESS, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(EventTest, NamesAreCaseSensitive) {
    std::string lower = UniqueName("case");
    std::string upper = lower.substr(0, lower.size() - 4) + "CASE";
    UniqueHandle first = NewEvent(lower);
    ASSERT_NE(first.get(), nullptr);
    SetLastError(0);
    EXPECT_EQ(OpenEventW(EVENT_ALL_ACCESS, FALSE, Wide(upper).c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    UniqueHandle second = NewEvent(upper);
    ASSERT_NE(second.get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(SetEvent(first.get()));
    EXPECT_EQ(WaitForSingleObject(second.get(), 0), kWaitTimeout);
}

TEST_F(EventTest, UnnamedEventsArePrivate) {
    UniqueHandle a(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    UniqueHandle b(CreateEventW(nullptr, FALSE, FALSE, W("")));
    UniqueHandle c(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    ASSERT_NE(a.get(), nullptr);
    ASSERT_NE(b.get(), nullptr);
    ASSERT_NE(c.get(), nullptr);
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    ASSERT_TRUE(SetEvent(a.get()));
    EXPECT_EQ(WaitForSingleObject(b.get(), 0), kWaitTimeout);
    EXPECT_EQ(WaitForSingleObject(c.get(), 0), kWaitTimeout);
    EXPECT_EQ(WaitForSingleObject(a.get(), 0), WAIT_OBJECT_0);
}

TEST_F(EventTest, BadHandlesFailAtOnce) {
    UniqueHandle mapping = NewMapping(UniqueName("not-waitable"), 16);
    ASSERT_NE(mapping.get(), nullptr);

    auto start = std::chrono::steady_clock::now();
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(nullptr, INFINITE), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    // A mapping handle carries no right to wait, as Wine reports it.
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(mapping.get(), INFINITE), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_LT(ElapsedMs(start), 10000);

    SetLastError(0);
    EXPECT_FALSE(SetEvent(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(SetEvent(mapping.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(ResetEvent(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// Events and mappings share one namespace.
TEST_F(EventTest, NameOfTheOtherKindIsRefused) {
    std::string mappingName = UniqueName("is-a-mapping");
    UniqueHandle mapping = NewMapping(mappingName, 16);
    ASSERT_NE(mapping.get(), nullptr);
    SetLastError(0);
    EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, Wide(mappingName).c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_EQ(OpenEventW(EVENT_ALL_ACCESS, FALSE, Wide(mappingName).c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    std::string eventName = UniqueName("is-an-event");
    UniqueHandle event = NewEvent(eventName);
    ASSERT_NE(event.get(), nullptr);
    SetLastError(0);
    EXPECT_EQ(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, Wide(eventName).c_str()),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, Wide(eventName).c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // The refusals took nothing away from the objects that hold the names.
    ASSERT_TRUE(SetEvent(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
    EXPECT_NE(OpenMapping(mappingName).get(), nullptr);
}

TEST_F(EventTest, LastCloseRemovesTheEvent) {
    std::string name = UniqueName("closing");
    UniqueHandle first = NewEvent(name);
    UniqueHandle second(OpenEventW(EVENT_ALL_ACCESS, FALSE, Wide(name).c_str()));
    ASSERT_NE(second.get(), nullptr);
    first.reset();
    ASSERT_TRUE(SetEvent(second.get()));
    UniqueHandle third(OpenEventW(EVENT_ALL_ACCESS, FALSE, Wide(name).c_str()));
    ASSERT_NE(third.get(), nullptr) << "a handle is still open";
    EXPECT_EQ(WaitForSingleObject(third.get(), 0), WAIT_OBJECT_0);
    second.reset();
    third.reset();

    SetLastError(0);
    EXPECT_EQ(OpenEventW(EVENT_ALL_ACCESS, FALSE, Wide(name).c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // Made anew, it is a new event.
    UniqueHandle again = NewEvent(name);
    ASSERT_NE(again.get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
}

// ---------------------------------------------------------------------------
// File mappings in one process

using MappingTest = IpcTest;

TEST_F(MappingTest, NewMappingIsZeroAndSharedBetweenHandles) {
    std::string name = UniqueName("block");
    SetLastError(12345);
    UniqueHandle created = NewMapping(name, 100000);
    ASSERT_NE(created.get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));

    UniqueView whole(MapViewOfFile(created.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(whole.get(), nullptr);
    auto* bytes = static_cast<unsigned char*>(whole.get());
    size_t nonZero = 0;
    for (size_t i = 0; i < 100000; ++i) nonZero += bytes[i] != 0;
    EXPECT_EQ(nonZero, 0u);

    memcpy(bytes, "agent", 5);
    bytes[99999] = 0x5A;
    UniqueHandle opened = OpenMapping(name);
    ASSERT_NE(opened.get(), nullptr);
    UniqueView other(MapViewOfFile(opened.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 100000));
    ASSERT_NE(other.get(), nullptr);
    auto* seen = static_cast<unsigned char*>(other.get());
    EXPECT_EQ(memcmp(seen, "agent", 5), 0);
    EXPECT_EQ(seen[99999], 0x5A);
    memcpy(seen + 50000, "host", 4);
    EXPECT_TRUE(FlushViewOfFile(other.get(), 0));
    EXPECT_EQ(memcmp(bytes + 50000, "host", 4), 0);
}

TEST_F(MappingTest, ViewsReachThePageRoundedSizeAndNoFurther) {
    UniqueHandle small = NewMapping(UniqueName("sixteen"), 16);
    ASSERT_NE(small.get(), nullptr);
    UniqueView page(MapViewOfFile(small.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 4096));
    EXPECT_NE(page.get(), nullptr);
    UniqueView whole(MapViewOfFile(small.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
    EXPECT_NE(whole.get(), nullptr);
    SetLastError(0);
    EXPECT_EQ(MapViewOfFile(small.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 4097), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    // The result block's view of 260 bytes fits a 260-byte mapping.
    UniqueHandle devtool = NewMapping(UniqueName("devtool"), 260);
    UniqueView result(MapViewOfFile(devtool.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 260));
    EXPECT_NE(result.get(), nullptr);
}

TEST_F(MappingTest, ViewOffsets) {
    UniqueHandle big = NewMapping(UniqueName("offsets"), 200000);
    ASSERT_NE(big.get(), nullptr);
    UniqueView base(MapViewOfFile(big.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(base.get(), nullptr);
    static_cast<char*>(base.get())[65536] = 'x';
    static_cast<char*>(base.get())[196608] = 'y';

    UniqueView second(MapViewOfFile(big.get(), FILE_MAP_READ, 0, 65536, 0));
    ASSERT_NE(second.get(), nullptr);
    EXPECT_EQ(static_cast<char*>(second.get())[0], 'x');
    UniqueView last(MapViewOfFile(big.get(), FILE_MAP_READ, 0, 196608, 4096));
    ASSERT_NE(last.get(), nullptr);
    EXPECT_EQ(static_cast<char*>(last.get())[0], 'y');

    SetLastError(0);
    EXPECT_EQ(MapViewOfFile(big.get(), FILE_MAP_READ, 0, 196608, 8192), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SetLastError(0);
    EXPECT_EQ(MapViewOfFile(big.get(), FILE_MAP_READ, 0, 4096, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MAPPED_ALIGNMENT));
    SetLastError(0);
    EXPECT_EQ(MapViewOfFile(big.get(), FILE_MAP_READ, 0, 262144, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(MappingTest, ExistingNameKeepsItsSize) {
    std::string name = UniqueName("sized");
    UniqueHandle first = NewMapping(name, 5000);
    ASSERT_NE(first.get(), nullptr);
    UniqueHandle second = NewMapping(name, 100000);
    ASSERT_NE(second.get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    UniqueView fits(MapViewOfFile(second.get(), FILE_MAP_READ, 0, 0, 8192));
    EXPECT_NE(fits.get(), nullptr);
    EXPECT_EQ(MapViewOfFile(second.get(), FILE_MAP_READ, 0, 0, 8193), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(MappingTest, CreateAndOpenFailures) {
    SetLastError(0);
    EXPECT_EQ(NewMapping(UniqueName("empty"), 0).get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    EXPECT_EQ(OpenMapping(UniqueName("missing")).get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    SetLastError(0);
    EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    EXPECT_EQ(MapViewOfFile(nullptr, FILE_MAP_READ, 0, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(MappingTest, ReadOnlyHandleGivesNoWritableView) {
    std::string name = UniqueName("readonly");
    UniqueHandle created = NewMapping(name, 64);
    UniqueHandle reader = OpenMapping(name, FILE_MAP_READ);
    ASSERT_NE(reader.get(), nullptr);
    SetLastError(0);
    EXPECT_EQ(MapViewOfFile(reader.get(), FILE_MAP_WRITE, 0, 0, 16), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    UniqueView view(MapViewOfFile(reader.get(), FILE_MAP_READ, 0, 0, 16));
    EXPECT_NE(view.get(), nullptr);
}

TEST_F(MappingTest, UnmapNeedsAMappedAddress) {
    char local[16] = {};
    SetLastError(0);
    EXPECT_FALSE(UnmapViewOfFile(local));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    SetLastError(0);
    EXPECT_FALSE(UnmapViewOfFile(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));

    UniqueHandle mapping = NewMapping(UniqueName("unmap"), 8192);
    void* view = MapViewOfFile(mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0);
    ASSERT_NE(view, nullptr);
    // Any address inside a view names it.
    EXPECT_TRUE(FlushViewOfFile(static_cast<char*>(view) + 5000, 0));
    EXPECT_TRUE(FlushViewOfFile(static_cast<char*>(view) + 100, 16));
    EXPECT_TRUE(UnmapViewOfFile(static_cast<char*>(view) + 5000));
    SetLastError(0);
    EXPECT_FALSE(UnmapViewOfFile(view));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
}

TEST_F(MappingTest, ViewOutlivesItsHandleButNotTheName) {
    std::string name = UniqueName("outlive");
    UniqueHandle mapping = NewMapping(name, 16);
    ASSERT_NE(mapping.get(), nullptr);
    UniqueView view(MapViewOfFile(mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 16));
    ASSERT_NE(view.get(), nullptr);
    mapping.reset();

    memcpy(view.get(), "still here", 10);
    EXPECT_EQ(memcmp(view.get(), "still here", 10), 0);
    EXPECT_TRUE(FlushViewOfFile(view.get(), 0));
    SetLastError(0);
    EXPECT_EQ(OpenMapping(name).get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(MappingTest, LastCloseRemovesTheMapping) {
    std::string name = UniqueName("removed");
    UniqueHandle created = NewMapping(name, 16);
    UniqueHandle opened = OpenMapping(name);
    ASSERT_NE(opened.get(), nullptr);
    {
        UniqueView view(MapViewOfFile(opened.get(), FILE_MAP_WRITE, 0, 0, 0));
        ASSERT_NE(view.get(), nullptr);
        static_cast<char*>(view.get())[0] = 7;
    }
    created.reset();
    UniqueHandle reopened = OpenMapping(name);
    ASSERT_NE(reopened.get(), nullptr) << "a handle is still open";
    opened.reset();
    reopened.reset();
    SetLastError(0);
    EXPECT_EQ(OpenMapping(name).get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    // The name made again is a new, zeroed mapping.
    UniqueHandle fresh = NewMapping(name, 16);
    UniqueView view(MapViewOfFile(fresh.get(), FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(view.get(), nullptr);
    EXPECT_EQ(static_cast<char*>(view.get())[0], 0);
}

// ---------------------------------------------------------------------------
// Security descriptors and threads

using SecurityTest = IpcTest;

TEST_F(SecurityTest, NullDaclDescriptorMakesUsableEvents) {
    SECURITY_DESCRIPTOR descriptor;
    SetLastError(0);
    EXPECT_FALSE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION + 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_REVISION));
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE));

    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = FALSE;
    std::string name = UniqueName("everyone");
    UniqueHandle event(CreateEventW(&attributes, FALSE, FALSE, Wide(name).c_str()));
    ASSERT_NE(event.get(), nullptr);
    UniqueHandle again(CreateEventW(&attributes, FALSE, FALSE, Wide(name).c_str()));
    ASSERT_NE(again.get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    UniqueHandle mapping(CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0, 16,
                                            Wide(UniqueName("everyone-block")).c_str()));
    EXPECT_NE(mapping.get(), nullptr);
}

using ThreadTest = IpcTest;

struct ThreadProbe {
    std::atomic<unsigned> ranWithId{0};
    std::atomic<int> calls{0};
};

unsigned WINAPI RecordThread(void* p) {
    auto* probe = static_cast<ThreadProbe*>(p);
    probe->ranWithId = GetCurrentThreadId();
    ++probe->calls;
    Sleep(50);
    return 0;
}

TEST_F(ThreadTest, BeginThreadRunsTheRoutineAndItsHandleSignalsTheEnd) {
    ThreadProbe probe;
    unsigned id = 0;
    UniqueHandle thread = StartThread(RecordThread, &probe, &id);
    ASSERT_NE(thread.get(), nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(WaitForSingleObject(thread.get(), kLongWaitMs), WAIT_OBJECT_0);
    EXPECT_EQ(probe.calls, 1);
    EXPECT_EQ(probe.ranWithId, id);
    EXPECT_NE(id, static_cast<unsigned>(GetCurrentThreadId()));
    // An ended thread stays signalled.
    EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_OBJECT_0);
}

// ---------------------------------------------------------------------------
// Across processes

using CrossProcessTest = IpcTest;

#if defined(_WIN32)
constexpr int kRaceRounds = 6;  // process starts are slow under Wine
#else
constexpr int kRaceRounds = 40;
#endif

// Two processes create one name at the same moment: exactly one makes it,
// and the other finds it whole (state and size as the creator set them).
TEST_F(CrossProcessTest, CreationRaceHasOneCreator) {
    for (int round = 0; round < kRaceRounds; ++round) {
        bool mapping = round % 2 == 1;
        std::string name = UniqueName(mapping ? "race-block" : "race-event");
        std::string barrierName = UniqueName("barrier");
        UniqueHandle barrier = NewMapping(barrierName, 16);
        UniqueView go(MapViewOfFile(barrier.get(), FILE_MAP_WRITE, 0, 0, 16));
        ASSERT_NE(go.get(), nullptr);

        Peer a, b;
        const char* role = mapping ? "race-mapping" : "race-event";
        ASSERT_TRUE(a.Start(role, name, {{"ORVENDEL_IPC_BARRIER", barrierName}}));
        ASSERT_TRUE(b.Start(role, name, {{"ORVENDEL_IPC_BARRIER", barrierName}}));
        auto* flag = static_cast<std::atomic<unsigned char>*>(go.get());
        ASSERT_EQ(a.Next(), "ready");
        ASSERT_EQ(b.Next(), "ready");
        flag->store(1);
        ASSERT_EQ(a.Next(), "set");
        ASSERT_EQ(b.Next(), "set");
        flag->store(2);

        std::string ra = a.Next(), rb = b.Next();
        const char* whole = mapping ? " sized" : " seen";
        std::vector<std::string> results = {ra, rb};
        int created = 0, existed = 0;
        for (const auto& r : results) {
            created += r == std::string("created") + whole;
            existed += r == std::string("exists") + whole;
        }
        EXPECT_TRUE(created == 1 && existed == 1) << "round " << round << ": " << ra << " / " << rb;
        EXPECT_TRUE(a.Finish());
        EXPECT_TRUE(b.Finish());
        if (HasFailure()) break;
    }
}

// The agent's side and the host's side of one relay channel, many times over:
// request block written, request signalled, block read and cleared, answer
// written into the result block, response signalled.
TEST_F(CrossProcessTest, RequestResponseRoundTrips) {
    constexpr uint32_t kRounds = 200;
    std::string name = UniqueName("relay");
    UniqueHandle request = NewEvent(name + ".request");
    UniqueHandle response = NewEvent(name + ".response");
    UniqueHandle requestBlock = NewMapping(name + ".REQ", 16);
    UniqueHandle resultBlock = NewMapping(name + ".RES", 100000);
    UniqueView req(MapViewOfFile(requestBlock.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 16));
    UniqueView res(MapViewOfFile(resultBlock.get(), FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(req.get(), nullptr);
    ASSERT_NE(res.get(), nullptr);

    Peer host;
    ASSERT_TRUE(host.Start("serve", name));
    ASSERT_EQ(host.Next(), "serving");
    for (uint32_t i = 1; i <= kRounds + 1; ++i) {
        uint32_t hwnd = i <= kRounds ? 0x10000 + i : 0;  // 0 ends the service
        memcpy(req.get(), &hwnd, 4);
        memset(static_cast<char*>(req.get()) + 4, 0xEE, 12);
        ASSERT_TRUE(SetEvent(request.get()));
        ASSERT_EQ(WaitForSingleObject(response.get(), kLongWaitMs), WAIT_OBJECT_0) << "round " << i;
        unsigned char cleared[16] = {};
        EXPECT_EQ(memcmp(req.get(), cleared, 16), 0) << "round " << i;
        uint32_t answer = 0;
        memcpy(&answer, res.get(), 4);
        EXPECT_EQ(answer, hwnd * 2) << "round " << i;
        if (HasFailure()) break;
    }
    EXPECT_EQ(host.Next(), "done " + std::to_string(kRounds));
    EXPECT_TRUE(host.Finish());
    EXPECT_EQ(WaitForSingleObject(response.get(), 0), kWaitTimeout);
}

// The agent makes a block and holds it; the host opens, reads, writes and
// closes it; the block goes when the agent closes it.
TEST_F(CrossProcessTest, MappingMadeByAnotherProcess) {
    std::string name = UniqueName("agent-block");
    Peer agent;
    ASSERT_TRUE(agent.Start("hold-mapping", name));
    ASSERT_EQ(agent.Next(), "created");
    {
        UniqueHandle mapping = OpenMapping(name);
        ASSERT_NE(mapping.get(), nullptr);
        UniqueView view(MapViewOfFile(mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
        ASSERT_NE(view.get(), nullptr);
        EXPECT_EQ(memcmp(view.get(), "from the agent", 14), 0);
        memcpy(static_cast<char*>(view.get()) + 50000, "from the host", 13);
        EXPECT_TRUE(FlushViewOfFile(view.get(), 0));
    }
    ASSERT_TRUE(agent.Send("check"));
    EXPECT_EQ(agent.Next(), "saw from the host");
    EXPECT_TRUE(agent.Finish());
    SetLastError(0);
    EXPECT_EQ(OpenMapping(name).get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(CrossProcessTest, KilledWaiterLeavesTheSignalToOthers) {
    allowLeftovers_ = true;
    std::string name = UniqueName("killed-waiter");
    UniqueHandle event = NewEvent(name);
    Peer doomed, survivor;
    ASSERT_TRUE(doomed.Start("wait", name));
    ASSERT_TRUE(survivor.Start("wait", name));
    ASSERT_EQ(doomed.Next(), "waiting");
    ASSERT_EQ(survivor.Next(), "waiting");
    Sleep(200);  // into the wait
    doomed.Kill();

    ASSERT_TRUE(SetEvent(event.get()));
    EXPECT_EQ(survivor.Next(), "released");
    EXPECT_TRUE(survivor.Finish());
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), kWaitTimeout);

    // With no waiter left, the next signal waits for the next wait.
    ASSERT_TRUE(SetEvent(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), kLongWaitMs), WAIT_OBJECT_0);
}

TEST_F(CrossProcessTest, KilledSignallerLeavesOneSignal) {
    allowLeftovers_ = true;
    std::string name = UniqueName("killed-signaller");
    UniqueHandle event = NewEvent(name);
    Peer signaller;
    ASSERT_TRUE(signaller.Start("signal", name));
    ASSERT_EQ(signaller.Next(), "signalled");
    signaller.Kill();

    EXPECT_EQ(WaitForSingleObject(event.get(), kLongWaitMs), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), kWaitTimeout);
    ASSERT_TRUE(SetEvent(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);

    // And a new process still finds and drives it.
    Peer next;
    ASSERT_TRUE(next.Start("signal", name));
    ASSERT_EQ(next.Next(), "signalled");
    EXPECT_EQ(WaitForSingleObject(event.get(), kLongWaitMs), WAIT_OBJECT_0);
    EXPECT_TRUE(next.Finish());
}

// A process's objects go when it ends, normally or killed, unless another
// process holds them: whoever comes next makes them anew, in the state and
// of the size it asks for.
class ProcessEndTest : public IpcTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ProcessEndTest, ObjectsGoWithTheirLastHolder) {
    const bool killed = GetParam();
    std::string name = UniqueName(killed ? "held-killed" : "held-ended");
    Peer holder;
    ASSERT_TRUE(holder.Start("hold", name));
    ASSERT_EQ(holder.Next(), "holding");
    if (killed) {
        holder.Kill();
    } else {
        ASSERT_TRUE(holder.Finish());
    }
    SetLastError(0);
    EXPECT_EQ(UniqueHandle(OpenEventW(SYNCHRONIZE, FALSE, Wide(name).c_str())).get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    UniqueHandle event = NewEvent(name);
    ASSERT_NE(event.get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), kWaitTimeout);
    UniqueHandle block = NewMapping(name + ".block", 200000);
    ASSERT_NE(block.get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    UniqueView view(MapViewOfFile(block.get(), FILE_MAP_READ, 0, 0, 200000));
    ASSERT_NE(view.get(), nullptr);
    std::vector<char> zeros(200000, 0);
    EXPECT_EQ(memcmp(view.get(), zeros.data(), zeros.size()), 0);
}

INSTANTIATE_TEST_SUITE_P(Ends, ProcessEndTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Killed" : "Normally");
                         });

// ---------------------------------------------------------------------------
// The POSIX stand-in's own rules: shm names, namespaces, modes.

#if !defined(_WIN32)

using ShmNameTest = IpcTest;

TEST_F(ShmNameTest, EscapingKeepsNamesApart) {
    UniqueHandle backslash(CreateEventW(nullptr, FALSE, FALSE, W("a\\b")));
    ASSERT_NE(backslash.get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    UniqueHandle slash(CreateEventW(nullptr, FALSE, FALSE, W("a/b")));
    ASSERT_NE(slash.get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    UniqueHandle escaped(CreateEventW(nullptr, FALSE, FALSE, W("a%5Cb")));
    ASSERT_NE(escaped.get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    UniqueHandle escapedSlash(CreateEventW(nullptr, FALSE, FALSE, W("a%2Fb")));
    ASSERT_NE(escapedSlash.get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));

    ASSERT_TRUE(SetEvent(backslash.get()));
    EXPECT_EQ(WaitForSingleObject(slash.get(), 0), kWaitTimeout);
    EXPECT_EQ(WaitForSingleObject(escaped.get(), 0), kWaitTimeout);
    EXPECT_EQ(WaitForSingleObject(escapedSlash.get(), 0), kWaitTimeout);
    EXPECT_EQ(WaitForSingleObject(backslash.get(), 0), WAIT_OBJECT_0);

    struct stat st;
    EXPECT_EQ(stat(ShmPath("a%5Cb").c_str(), &st), 0);
    EXPECT_EQ(stat(ShmPath("a%2Fb").c_str(), &st), 0);
    EXPECT_EQ(stat(ShmPath("a%255Cb").c_str(), &st), 0);
    EXPECT_EQ(stat(ShmPath("a%252Fb").c_str(), &st), 0);
}

TEST_F(ShmNameTest, GlobalLocalAndPlainAreDistinct) {
    std::vector<UniqueHandle> events;
    for (const WCHAR* name : {W("Global\\x"), W("Local\\x"), W("x")}) {
        events.emplace_back(CreateEventW(nullptr, FALSE, FALSE, name));
        ASSERT_NE(events.back().get(), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    }
    EXPECT_EQ(Objects().size(), 3u);
    ASSERT_TRUE(SetEvent(events[0].get()));
    EXPECT_EQ(WaitForSingleObject(events[1].get(), 0), kWaitTimeout);
    EXPECT_EQ(WaitForSingleObject(events[2].get(), 0), kWaitTimeout);
    EXPECT_EQ(WaitForSingleObject(events[0].get(), 0), WAIT_OBJECT_0);
}

TEST_F(ShmNameTest, NameLengthIsCountedInEscapedUtf8Bytes) {
    const size_t room = 255 - std::string("orvendel." + ns_ + ".").size();
    UniqueHandle longest(CreateEventW(nullptr, FALSE, FALSE, Wide(std::string(room, 'n')).c_str()));
    EXPECT_NE(longest.get(), nullptr);

    SetLastError(0);
    EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, Wide(std::string(room + 1, 'n')).c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    // Fits as typed, not once the backslash is escaped.
    SetLastError(0);
    EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, Wide(std::string(room - 1, 'n') + "\\").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    // Fits in UTF-16 units, not in UTF-8 bytes.
    WString euros(room / 3 + 1, static_cast<WCHAR>(0x20AC));
    SetLastError(0);
    EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, euros.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

TEST_F(ShmNameTest, NonAsciiNamesAndBrokenUtf16) {
    const WCHAR name[] = {u'G', u'\u00E9', u'\u20AC', 0xD83D, 0xDE00, 0};
    UniqueHandle event(CreateEventW(nullptr, FALSE, FALSE, name));
    ASSERT_NE(event.get(), nullptr);
    struct stat st;
    EXPECT_EQ(stat(ShmPath("G\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80").c_str(), &st), 0);

    const WCHAR lone[] = {u'a', 0xD800, u'b', 0};
    SetLastError(0);
    EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, lone), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    const WCHAR trail[] = {0xDC00, 0};
    SetLastError(0);
    EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, trail), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
}

TEST_F(ShmNameTest, NamespaceKeepsRunsApart) {
    UniqueHandle ours(CreateEventW(nullptr, FALSE, FALSE, W("Global\\shared")));
    ASSERT_NE(ours.get(), nullptr);

    Peer sameRun, otherRun;
    ASSERT_TRUE(sameRun.Start("probe-event", "Global\\shared"));
    EXPECT_EQ(sameRun.Next(), "found");
    EXPECT_TRUE(sameRun.Finish());
    ASSERT_TRUE(otherRun.Start("probe-event", "Global\\shared", {{"ORVENDEL_NAMESPACE", OtherNamespace()}}));
    EXPECT_EQ(otherRun.Next(), "missing 2");
    EXPECT_TRUE(otherRun.Finish());

    setenv("ORVENDEL_NAMESPACE", OtherNamespace().c_str(), 1);
    UniqueHandle theirs(CreateEventW(nullptr, FALSE, FALSE, W("Global\\shared")));
    ASSERT_NE(theirs.get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(SetEvent(theirs.get()));
    EXPECT_EQ(WaitForSingleObject(ours.get(), 0), kWaitTimeout);
    theirs.reset();
    setenv("ORVENDEL_NAMESPACE", ns_.c_str(), 1);
}

TEST_F(ShmNameTest, ObjectsAreOpenToEveryAccountWhateverTheUmask) {
    mode_t old = umask(077);
    UniqueHandle event(CreateEventW(nullptr, FALSE, FALSE, W("mode-event")));
    UniqueHandle mapping(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, W("mode-block")));
    umask(old);
    ASSERT_NE(event.get(), nullptr);
    ASSERT_NE(mapping.get(), nullptr);
    struct stat st;
    ASSERT_EQ(stat(ShmPath("mode-event").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    ASSERT_EQ(stat(ShmPath("mode-block").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
}

TEST_F(ShmNameTest, LastCloseUnlinksTheShmObject) {
    UniqueHandle first(CreateEventW(nullptr, FALSE, FALSE, W("unlinked")));
    UniqueHandle second(CreateEventW(nullptr, FALSE, FALSE, W("unlinked")));
    UniqueHandle block(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, W("unlinked-block")));
    UniqueView view(MapViewOfFile(block.get(), FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(view.get(), nullptr);
    EXPECT_EQ(Objects().size(), 2u);
    first.reset();
    EXPECT_EQ(Objects().size(), 2u);
    second.reset();
    block.reset();
    EXPECT_TRUE(Objects().empty());
    static_cast<char*>(view.get())[0] = 1;  // the view still works
}

// What a creator killed half-way leaves (a name with no size, or a size and
// no header) is held by nobody: a creator makes the object anew and an opener
// finds nothing, and neither touches a page that has no size (SIGBUS).
TEST_F(ShmNameTest, HalfMadeObjectsOfTheDeadAreMadeAnew) {
    std::string shm = "/orvendel." + ns_ + ".half-made";
    int fd = shm_open(shm.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    ASSERT_GE(fd, 0);
    close(fd);
    std::string sizedShm = "/orvendel." + ns_ + ".half-sized";
    fd = shm_open(sizedShm.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 1 << 20), 0);
    close(fd);

    UniqueHandle event(CreateEventW(nullptr, FALSE, TRUE, W("half-made")));
    ASSERT_NE(event.get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
    SetLastError(0);
    EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, W("half-sized")), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Objects(), std::vector<std::string>{"orvendel." + ns_ + ".half-made"});
}

// A creator still setting its object up holds it alone; openers wait for it
// and give up after a bound (side by side, it is paid once).
TEST_F(ShmNameTest, ACreatorStillAtWorkIsWaitedForWithABound) {
    allowLeftovers_ = true;
    std::string shm = "/orvendel." + ns_ + ".in-the-making";
    int fd = shm_open(shm.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    ASSERT_GE(fd, 0);
    struct flock alone = {};
    alone.l_type = F_WRLCK;
    alone.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &alone), 0);

    struct Attempt {
        HANDLE result = INVALID_HANDLE_VALUE;
        DWORD error = 0;
    } eventAttempt;
    auto start = std::chrono::steady_clock::now();
    UniqueHandle thread = StartThread(
        [](void* p) -> unsigned {
            auto* attempt = static_cast<Attempt*>(p);
            attempt->result = CreateEventW(nullptr, FALSE, FALSE, W("in-the-making"));
            attempt->error = GetLastError();
            return 0;
        },
        &eventAttempt);
    ASSERT_NE(thread.get(), nullptr);
    SetLastError(0);
    EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, W("in-the-making")), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    ASSERT_EQ(WaitForSingleObject(thread.get(), 60000), WAIT_OBJECT_0);
    EXPECT_EQ(eventAttempt.result, nullptr);
    EXPECT_EQ(eventAttempt.error, static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_LT(ElapsedMs(start), 60000);
    close(fd);
}

// A forked child shares its parent's holds; its end must not remove names
// that the parent still holds.
TEST_F(ShmNameTest, AForkedChildLeavesItsParentsNames) {
    UniqueHandle event(CreateEventW(nullptr, FALSE, FALSE, W("forked")));
    ASSERT_NE(event.get(), nullptr);
    fflush(nullptr);
    for (bool closes : {true, false}) {
        pid_t pid = fork();
        if (pid == 0) {
            if (closes) {
                CloseHandle(event.release());
                _exit(0);
            }
            exit(0);  // the end of a process that still holds it
        }
        ASSERT_GT(pid, 0);
        int status = -1;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_EQ(Objects(), std::vector<std::string>{"orvendel." + ns_ + ".forked"}) << closes;
    }
}

TEST_F(ShmNameTest, FileBackedMappingsAreNotSupported) {
    char path[] = "/tmp/ipc-test-file-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    UniqueHandle file(CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    unlink(path);
    ASSERT_NE(file.get(), INVALID_HANDLE_VALUE);
    SetLastError(0);
    EXPECT_EQ(CreateFileMappingW(file.get(), nullptr, PAGE_READWRITE, 0, 16, W("file-backed")), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(ShmNameTest, DescriptorRecordsTheDacl) {
    SetLastError(0);
    EXPECT_FALSE(InitializeSecurityDescriptor(nullptr, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    EXPECT_FALSE(SetSecurityDescriptorDacl(nullptr, TRUE, nullptr, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    SECURITY_DESCRIPTOR descriptor;
    memset(&descriptor, 0xAB, sizeof descriptor);
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_EQ(descriptor.Revision, SECURITY_DESCRIPTOR_REVISION);
    EXPECT_EQ(descriptor.Control, 0);
    EXPECT_EQ(descriptor.Dacl, nullptr);
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE));
    EXPECT_EQ(descriptor.Control & (SE_DACL_PRESENT | SE_DACL_DEFAULTED), SE_DACL_PRESENT);
    EXPECT_EQ(descriptor.Dacl, nullptr);
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, FALSE, nullptr, FALSE));
    EXPECT_EQ(descriptor.Control & SE_DACL_PRESENT, 0);
}

TEST_F(ShmNameTest, SuspendedThreadsAreRefused) {
    ThreadProbe probe;
    unsigned id = 0;
    errno = 0;
    EXPECT_EQ(_beginthreadex(nullptr, 0, RecordThread, &probe, CREATE_SUSPENDED, &id), 0u);
    EXPECT_EQ(errno, EINVAL);
    // A small stack is raised to the least pthreads allow.
    UniqueHandle thread(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 1, RecordThread, &probe, 0, &id)));
    ASSERT_NE(thread.get(), nullptr);
    EXPECT_EQ(WaitForSingleObject(thread.get(), kLongWaitMs), WAIT_OBJECT_0);
    EXPECT_EQ(probe.calls, 1);
}

#endif  // !_WIN32

// ---------------------------------------------------------------------------
// The other party of the cross-process cases. It does nothing unless a
// test above started this program with ORVENDEL_IPC_ROLE set.

std::string Env(const char* name) {
    const char* value = getenv(name);
    return value != nullptr ? value : "";
}

// Spins on the first byte of the barrier block, so that both racers leave
// it within a few instructions of each other. Only the last step spins, once
// both racers are there: one that spun while the other was still starting
// took a core from everything else on a loaded machine.
bool PassBarrier() {
    UniqueHandle barrier = OpenMapping(Env("ORVENDEL_IPC_BARRIER"), FILE_MAP_READ);
    if (!barrier) return false;
    UniqueView view(MapViewOfFile(barrier.get(), FILE_MAP_READ, 0, 0, 16));
    if (!view) return false;
    Say("ready");
    auto* flag = static_cast<std::atomic<unsigned char>*>(view.get());
    auto start = std::chrono::steady_clock::now();
    while (flag->load() == 0) {
        if (ElapsedMs(start) > kPeerTimeoutMs) return false;
        Sleep(1);
    }
    Say("set");
    while (flag->load() == 1) {
        if (ElapsedMs(start) > kPeerTimeoutMs) return false;
    }
    return true;
}

void RunChild(const std::string& role, const std::string& base) {
    const WString name = Wide(base);
    if (role == "race-event" || role == "race-mapping") {
        if (!PassBarrier()) return Say("no barrier");
        bool event = role == "race-event";
        // Manual reset and signalled, 5000 bytes: an opener that saw a
        // half-made header would find it unsignalled, or of no size.
        UniqueHandle h(event ? CreateEventW(nullptr, TRUE, TRUE, name.c_str())
                             : CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 5000,
                                                  name.c_str()));
        DWORD error = GetLastError();
        if (!h) return Say("failed " + std::to_string(error));
        std::string how = error == ERROR_ALREADY_EXISTS ? "exists" : "created";
        if (event) {
            how += WaitForSingleObject(h.get(), 0) == WAIT_OBJECT_0 ? " seen" : " unseen";
        } else {
            UniqueView fits(MapViewOfFile(h.get(), FILE_MAP_READ, 0, 0, 8192));
            void* beyond = MapViewOfFile(h.get(), FILE_MAP_READ, 0, 0, 8193);
            how += fits && beyond == nullptr ? " sized" : " unsized";
            if (beyond != nullptr) UnmapViewOfFile(beyond);
        }
        Say(how);
        Hear();  // hold the handle until both have answered
    } else if (role == "wait") {
        UniqueHandle event(OpenEventW(SYNCHRONIZE, FALSE, name.c_str()));
        if (!event) return Say("missing " + std::to_string(GetLastError()));
        Say("waiting");
        DWORD result = WaitForSingleObject(event.get(), 60000);
        Say(result == WAIT_OBJECT_0 ? "released" : "not released " + std::to_string(result));
        Hear();
    } else if (role == "signal") {
        UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()));
        if (!event) return Say("missing " + std::to_string(GetLastError()));
        SetEvent(event.get());
        Say("signalled");
        Hear();
    } else if (role == "hold") {
        // Holds a signalled event and a written block, never closing them:
        // the end of the process alone must let go of them.
        HANDLE event = CreateEventW(nullptr, FALSE, FALSE, name.c_str());
        HANDLE block = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 100000,
                                          Wide(base + ".block").c_str());
        void* view = block != nullptr ? MapViewOfFile(block, FILE_MAP_WRITE, 0, 0, 0) : nullptr;
        if (event == nullptr || view == nullptr) return Say("failed " + std::to_string(GetLastError()));
        SetEvent(event);
        memset(view, 0x5A, 100000);
        Say("holding");
        Hear();
    } else if (role == "probe-event") {
        UniqueHandle event(OpenEventW(SYNCHRONIZE, FALSE, name.c_str()));
        Say(event ? "found" : "missing " + std::to_string(GetLastError()));
    } else if (role == "hold-mapping") {
        UniqueHandle mapping(
            CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 100000, name.c_str()));
        UniqueView view(mapping ? MapViewOfFile(mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0) : nullptr);
        if (!view) return Say("failed " + std::to_string(GetLastError()));
        memcpy(view.get(), "from the agent", 14);
        Say("created");
        if (Hear() != "check") return;
        Say("saw " + std::string(static_cast<char*>(view.get()) + 50000, 13));
        Hear();
    } else if (role == "serve") {
        // As the host serves a request: open, map 16 bytes, read, clear,
        // flush, unmap, close; then the result block; then the response.
        UniqueHandle request(OpenEventW(SYNCHRONIZE, FALSE, Wide(base + ".request").c_str()));
        UniqueHandle response(OpenEventW(EVENT_MODIFY_STATE, FALSE, Wide(base + ".response").c_str()));
        if (!request || !response) return Say("missing events");
        Say("serving");
        for (uint32_t served = 0;; ++served) {
            if (WaitForSingleObject(request.get(), 60000) != WAIT_OBJECT_0) return Say("no request");
            uint32_t hwnd = 0;
            {
                UniqueHandle block = OpenMapping(base + ".REQ");
                UniqueView view(block ? MapViewOfFile(block.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 16) : nullptr);
                if (!view) return Say("no request block");
                memcpy(&hwnd, view.get(), 4);
                memset(view.get(), 0, 16);
                FlushViewOfFile(view.get(), 0);
            }
            {
                UniqueHandle block = OpenMapping(base + ".RES");
                UniqueView view(block ? MapViewOfFile(block.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0) : nullptr);
                if (!view) return Say("no result block");
                uint32_t answer = hwnd * 2;
                memcpy(view.get(), &answer, 4);
                FlushViewOfFile(view.get(), 0);
            }
            SetEvent(response.get());
            if (hwnd == 0) return Say("done " + std::to_string(served));
        }
    } else {
        Say("unknown role " + role);
    }
}

}  // namespace

TEST(DISABLED_IpcChild, Main) {
    std::string role = Env("ORVENDEL_IPC_ROLE");
    if (!role.empty()) RunChild(role, Env("ORVENDEL_IPC_NAME"));
}
