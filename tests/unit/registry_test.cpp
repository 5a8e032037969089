// The window registry: every row of the bind outcomes, and lookups from the
// relay threads while binds run.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "bridge/registry.h"

namespace {

HWND H(uint32_t value) { return HandleFromValue(value); }

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override { ClearWindowRegistry(); }
    void TearDown() override { ClearWindowRegistry(); }

    static std::map<uint32_t, int32_t> Handles() { return g_WindowRegistry.HandleToId; }
    static std::map<int32_t, uint32_t> Ids() { return g_WindowRegistry.IdToHandle; }
};

const uint32_t h1 = 0x1001, h2 = 0x2002, h3 = 0x3003;

TEST_F(RegistryTest, BindIntoEmpty) {
    BindWindow(H(h1), 5);
    EXPECT_EQ(Handles(), (std::map<uint32_t, int32_t>{{h1, 5}}));
    EXPECT_EQ(Ids(), (std::map<int32_t, uint32_t>{{5, h1}}));
}

TEST_F(RegistryTest, BindSamePairAgain) {
    BindWindow(H(h1), 5);
    BindWindow(H(h1), 5);
    EXPECT_EQ(Handles(), (std::map<uint32_t, int32_t>{{h1, 5}}));
    EXPECT_EQ(Ids(), (std::map<int32_t, uint32_t>{{5, h1}}));
}

TEST_F(RegistryTest, BindHandleToNewIdDropsTheOldId) {
    BindWindow(H(h1), 5);
    BindWindow(H(h1), 7);
    EXPECT_EQ(Handles(), (std::map<uint32_t, int32_t>{{h1, 7}}));
    EXPECT_EQ(Ids(), (std::map<int32_t, uint32_t>{{7, h1}}));
    EXPECT_EQ(LookupWindowHandle(5), nullptr);
}

TEST_F(RegistryTest, BindNewHandleToBoundIdKeepsTheFirstHandle) {
    BindWindow(H(h1), 5);
    BindWindow(H(h2), 5);
    EXPECT_EQ(Handles(), (std::map<uint32_t, int32_t>{{h1, 5}, {h2, 5}}));
    EXPECT_EQ(Ids(), (std::map<int32_t, uint32_t>{{5, h1}}));
    int32_t id = 0;
    EXPECT_TRUE(LookupWindowId(H(h2), &id));
    EXPECT_EQ(id, 5);
}

TEST_F(RegistryTest, BindHandleToIdOfAnotherHandle) {
    BindWindow(H(h1), 5);
    BindWindow(H(h3), 9);
    BindWindow(H(h1), 9);
    EXPECT_EQ(Handles(), (std::map<uint32_t, int32_t>{{h1, 9}, {h3, 9}}));
    EXPECT_EQ(Ids(), (std::map<int32_t, uint32_t>{{9, h3}}));
}

TEST_F(RegistryTest, LookupsNeverAddEntries) {
    int32_t id = 123;
    EXPECT_FALSE(LookupWindowId(H(h1), &id));
    EXPECT_EQ(id, 123);
    EXPECT_EQ(LookupWindowHandle(0), nullptr);
    EXPECT_EQ(LookupWindowHandle(-1), nullptr);
    EXPECT_TRUE(Handles().empty());
    EXPECT_TRUE(Ids().empty());
    // Handles are ordered as unsigned 32-bit values, ids as signed ones.
    BindWindow(H(0xFFFFFFF0u), -3);
    BindWindow(H(0x10u), 4);
    EXPECT_EQ(g_WindowRegistry.HandleToId.begin()->first, 0x10u);
    EXPECT_EQ(g_WindowRegistry.IdToHandle.begin()->first, -3);
}

// Readers must see either the state before a bind or the state after it:
// a window bound to id w always comes back as w, never as a half-made pair.
TEST_F(RegistryTest, LookupsFromTwoThreadsWhileBindsRun) {
    std::atomic<bool> stop{false};
    std::atomic<long> lookups[2] = {{0}, {0}};
    std::atomic<int> torn{0};
    auto reader = [&](std::atomic<long>* count) {
        while (!stop.load()) {
            for (uint32_t h = 1; h <= 64; ++h) {
                int32_t id = 0;
                if (LookupWindowId(H(h), &id) && (id <= 0 || (id - 1) % 64 + 1 != static_cast<int32_t>(h))) ++torn;
                HWND back = LookupWindowHandle(static_cast<int32_t>(h));
                if (back != nullptr && HandleValue(back) != h) ++torn;
            }
            ++*count;
        }
    };
    std::thread a(reader, &lookups[0]), b(reader, &lookups[1]);
    // The binds go on until both readers have run among them: on a loaded
    // machine the threads may start only after a fixed number of rounds.
    for (int round = 0; round < 200 || lookups[0].load() < 100 || lookups[1].load() < 100; ++round) {
        for (uint32_t h = 1; h <= 64; ++h) BindWindow(H(h), static_cast<int32_t>(h + 64 * (round % 3)));
    }
    stop = true;
    a.join();
    b.join();
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace
