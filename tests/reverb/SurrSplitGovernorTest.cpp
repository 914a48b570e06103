// The split's governor on made-up block times: when it measures one thread, when it gives up the
// split and for how long, and when it forgets a failed try.
#include <gtest/gtest.h>

#include <vector>

#include "reverb/SurrSplitGovernor.h"

namespace {

using Gov = CSurrSplitGovernor;
constexpr int32_t FRAMES = 4096;

// Runs one block the way the lockstep engine does: asks, then reports a time of `splitNs` or
// `singleNs` nanoseconds per frame. Returns whether it split.
bool Block(Gov& g, double singleNs, double splitNs, int stalls = 0, uint32_t stallUs = 0) {
    const bool promised = g.WouldSplit();
    const bool split = g.Split();
    EXPECT_EQ(promised, split);
    if (split)
        g.SplitDone(static_cast<int64_t>(splitNs * FRAMES), FRAMES, stalls, stallUs);
    else
        g.SingleDone(static_cast<int64_t>(singleNs * FRAMES), FRAMES);
    return split;
}

// Lengths of the runs of one-thread blocks among `blocks` blocks.
std::vector<int> SingleRuns(Gov& g, int blocks, double singleNs, double splitNs) {
    std::vector<int> runs;
    int run = 0;
    for (int i = 0; i < blocks; ++i) {
        if (Block(g, singleNs, splitNs)) {
            if (run > 0)
                runs.push_back(run);
            run = 0;
        } else {
            ++run;
        }
    }
    return runs;
}

TEST(SurrSplitGovernor, MeasuresOneThreadFirstAndThenEvery256SplitBlocks) {
    Gov g;
    EXPECT_FALSE(Block(g, 100, 60)); // nothing known yet: one thread
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < Gov::PROBE_EVERY; ++i)
            ASSERT_TRUE(Block(g, 100, 60)) << "round " << round << ", block " << i;
        EXPECT_FALSE(Block(g, 100, 60)) << "round " << round;
    }
    // Split a fifth slower than one thread (the other thread away at a file now and then): kept.
    Gov h;
    EXPECT_EQ(SingleRuns(h, 1 + 3 * 257, 100, 120), std::vector<int>({1, 1, 1}));
}

TEST(SurrSplitGovernor, SplitSlowerThanOneThreadPausesTwiceAsLongEachTry) {
    Gov g;
    // Split 2.3 times slower, as measured with two threads on one core: the probe, then each try
    // of four split blocks, then pauses of 8, 16, 32, ... blocks.
    std::vector<int> runs = SingleRuns(g, 1 + 4 + 8 + 4 + 16 + 4 + 32 + 4 + 64 + 4 + 1, 100, 230);
    EXPECT_EQ(runs, std::vector<int>({1, 8, 16, 32, 64}));
    EXPECT_EQ(g.Pause(), 127); // the fifth try failed: 128 blocks, one of them run already

    // The averages: three quick blocks then one at 5.6 times one thread's time is an average of
    // 60 + (560 - 60) / 4 = 185 > 125 per frame: paused. At 4.3 times (430): 152.5, paused too; at
    // 2.6 times (260): 110, kept.
    for (const auto& [last, paused] :
         std::vector<std::pair<double, bool>>{{560, true}, {430, true}, {260, false}}) {
        Gov k;
        Block(k, 100, 0);
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(Block(k, 100, 60));
        ASSERT_TRUE(Block(k, 100, last));
        EXPECT_EQ(k.Pause() > 0, paused) << last;
    }
    // Fewer than four split blocks are not judged: one very slow block alone does not pause.
    Gov m;
    Block(m, 100, 0);
    ASSERT_TRUE(Block(m, 100, 1000));
    EXPECT_EQ(m.Pause(), 0);
}

TEST(SurrSplitGovernor, StallsPauseAndCleanSplitsForgetFailedTries) {
    // One stall longer than half a millisecond: paused at once, for 8 blocks.
    Gov g;
    Block(g, 100, 60);
    ASSERT_TRUE(Block(g, 100, 60, 1, Gov::LONG_STALL_US + 1));
    EXPECT_EQ(g.Pause(), 8);
    // Shorter stalls: the fourth within 32 split blocks pauses. The stall that paused counts
    // against the next try, so three more (not four) pause it again, now for 16.
    Gov s;
    Block(s, 100, 60);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(Block(s, 100, 60, 1, 100));
        ASSERT_TRUE(Block(s, 100, 60));
    }
    EXPECT_EQ(s.Pause(), 0);
    ASSERT_TRUE(Block(s, 100, 60, 1, 100));
    EXPECT_EQ(s.Pause(), 8);
    for (int i = 0; i < 8; ++i)
        ASSERT_FALSE(Block(s, 100, 60));
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(Block(s, 100, 60, 1, 100));
    EXPECT_EQ(s.Pause(), 0);
    ASSERT_TRUE(Block(s, 100, 60, 1, 100));
    EXPECT_EQ(s.Pause(), 16);

    // After 32 split blocks without a pause or a stall the next failed try starts over at 8.
    Gov c;
    Block(c, 100, 0);
    EXPECT_EQ(SingleRuns(c, 4 + 8 + 4, 100, 230), std::vector<int>({8}));
    EXPECT_EQ(c.Pause(), 16);
    for (int i = 0; i < 16; ++i)
        ASSERT_FALSE(Block(c, 100, 60));
    for (int i = 0; i < 31; ++i)
        ASSERT_TRUE(Block(c, 100, 60));
    ASSERT_TRUE(Block(c, 100, 60, 0, Gov::LONG_STALL_US + 1)); // the 32nd: still counts as failed
    EXPECT_EQ(c.Pause(), 32);
    for (int i = 0; i < 32; ++i)
        ASSERT_FALSE(Block(c, 100, 60));
    for (int i = 0; i < 32; ++i)
        ASSERT_TRUE(Block(c, 100, 60));
    ASSERT_TRUE(Block(c, 100, 60, 0, Gov::LONG_STALL_US + 1));
    EXPECT_EQ(c.Pause(), 8);

    // The longest pause is 8192 blocks.
    Gov l;
    Block(l, 100, 0);
    for (int tries = 0; tries < 14; ++tries) {
        while (!Block(l, 100, 60)) {
        }
        Block(l, 100, 60, 1, Gov::LONG_STALL_US + 1);
    }
    EXPECT_EQ(l.Pause(), Gov::PAUSE_MAX);
}

} // namespace
