// The soak's figures come from here: a watcher that saw no change would let a
// leak through, and one that missed the end of the host would let a crash by.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "tests/support/host_fixture.h"
#include "tests/support/process_watch.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

uint32_t OwnPid() {
#if defined(_WIN32)
    return GetCurrentProcessId();
#else
    return static_cast<uint32_t>(getpid());
#endif
}

// Handles of the kind the host would leak: events on Windows, descriptors here.
class HandlePile {
public:
    explicit HandlePile(int count) {
        for (int i = 0; i < count; ++i) {
#if defined(_WIN32)
            HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            if (event != nullptr) handles_.push_back(reinterpret_cast<intptr_t>(event));
#else
            int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (fd >= 0) handles_.push_back(fd);
#endif
        }
    }
    ~HandlePile() {
        for (intptr_t h : handles_) {
#if defined(_WIN32)
            CloseHandle(reinterpret_cast<HANDLE>(h));
#else
            close(static_cast<int>(h));
#endif
        }
    }
    size_t Size() const { return handles_.size(); }

private:
    std::vector<intptr_t> handles_;
};

TEST(ProcessWatchTest, SeesHandlesAndMemoryComeAndGo) {
    WatchedProcess self;
    ASSERT_TRUE(self.Open(OwnPid()));
    const long handles = self.OpenHandles();
    const long resident = self.ResidentKiB();
    ASSERT_GT(handles, 0);
    ASSERT_GT(resident, 0);
    {
        HandlePile pile(64);
        ASSERT_EQ(pile.Size(), 64u);
        EXPECT_GE(self.OpenHandles(), handles + 64);
    }
    EXPECT_LE(self.OpenHandles(), handles + 2);

    // Touched pages count; 32 MiB stands well clear of anything else here.
    const size_t size = 32u << 20;
    std::unique_ptr<char[]> block(new char[size]);
    memset(block.get(), 0x5a, size);
    EXPECT_GE(self.ResidentKiB(), resident + 24 * 1024);
    EXPECT_EQ(block[size - 1], 0x5a);
}

TEST(ProcessWatchTest, FindsTheHostUnderItsLauncherAndSeesItEnd) {
    HostFolder folder;
    std::string error;
    ASSERT_TRUE(folder.Create(&error)) << error;
    ChildProcess launcher;
    ASSERT_TRUE(LaunchHost(&launcher, folder, {}, &error)) << error;
    WatchedProcess host;
    ASSERT_TRUE(host.FindChildOf(launcher.Pid(), kHostTimeoutMs));
    EXPECT_NE(host.Pid(), launcher.Pid());
    // Wine may list a process before it answers for its memory: it starts
    // in steps (seen under wine64).
    long resident = -1;
    for (int i = 0; i < 500 && (resident = host.ResidentKiB()) <= 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_GT(resident, 0);
    EXPECT_GT(host.OpenHandles(), 0);

    launcher.CloseInput();
    uint32_t status = 0;
    ASSERT_TRUE(launcher.Wait(kHostTimeoutMs, &status));
    EXPECT_EQ(status, kExitStatusMinusOne);
    // The launcher has waited for the host, so it is gone, not a zombie.
    EXPECT_EQ(host.ResidentKiB(), -1);
    EXPECT_EQ(host.OpenHandles(), -1);
}

TEST(ProcessWatchTest, NoProcessNoWatch) {
    WatchedProcess nobody;
    // Far above any process id in use; Windows ids are multiples of 4.
    EXPECT_FALSE(nobody.Open(0x7FFFFFF1u));
}

}  // namespace
