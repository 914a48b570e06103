// The ring that carries a render's blocks between its threads.
#include "StageRing.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using halvane_cli::StageRing;

// Three stages on three threads pass 10000 numbered blocks through three slots: each stage sees
// every block in order, in the slot the previous stage filled, and never a slot still in use.
TEST(StageRingThread, StagesSeeEveryBlockInOrderInTheirSlots) {
    constexpr int BLOCKS = 10000;
    StageRing ring(3, 3);
    std::vector<int> slot(ring.slots(), -1);
    std::vector<int> seen[3];
    auto stage = [&](int s) {
        for (int i = 0; i < BLOCKS; ++i) {
            const int64_t block = ring.Acquire(s);
            ASSERT_EQ(block, i);
            int& value = slot[block % ring.slots()];
            if (s == 0)
                value = i * 3; // the first stage fills the slot; the next ones change it in place
            else
                value += 1;
            seen[s].push_back(value);
            ring.Release(s);
        }
    };
    std::thread first(stage, 0), second(stage, 1);
    stage(2);
    first.join();
    second.join();
    for (int i = 0; i < BLOCKS; ++i) {
        ASSERT_EQ(seen[0][i], i * 3);
        ASSERT_EQ(seen[1][i], i * 3 + 1);
        ASSERT_EQ(seen[2][i], i * 3 + 2);
    }
}

// Stop wakes a stage that waits for a block that will never come, and later calls return at once.
TEST(StageRingThread, StopReleasesWaitingStages) {
    StageRing ring(2, 2);
    int64_t got = 0;
    std::thread waiting([&] { got = ring.Acquire(1); });
    ring.Stop();
    waiting.join();
    EXPECT_EQ(got, -1);
    EXPECT_EQ(ring.Acquire(0), -1);
}
