// Delay node: millisecond conversion, the ring history against a plain sliding history, clamping,
// and the delay taking effect only when converted.
#include <gtest/gtest.h>

#include "nodes/NodeTestSupport.h"
#include "nodes/SurrEffectDelay.h"

namespace {

// The obvious version: the whole history slides left by every block, the block goes in at the end
// and the output is read d samples back; out-of-range delays clamped as the node does.
struct PlainDelay {
    std::vector<float> history = std::vector<float>(CSurrEffectDelayEx::HISTORY, 0.0f);
    int delay = 0;
    void Process(float* x, int n) {
        const int h = CSurrEffectDelayEx::HISTORY;
        const int d = std::clamp(delay, 0, h - n);
        std::memmove(history.data(), history.data() + n, sizeof(float) * (h - n));
        std::memcpy(history.data() + h - n, x, sizeof(float) * n);
        std::memcpy(x, history.data() + h - d - n, sizeof(float) * n);
    }
};

} // namespace

TEST(SurrEffectDelay, MillisecondsToWholeSamples) {
    struct Case {
        float ms;
        uint32_t rate;
        int32_t samples;
    };
    // Products truncated toward zero: 463.05, 282.237 (the moving-off delay of 2.1213 m), -1.44
    // and 55900.799 (1164.6f is 1164.59998 as a float).
    const Case cases[] = {{10.0f, 48000, 480}, {10.5f, 44100, 463},
                          {0.0f, 48000, 0},    {6.399928569793701f, 44100, 282},
                          {-0.03f, 48000, -1}, {1164.6f, 48000, 55900}};
    for (const Case& tc : cases) {
        CSurrEffectDelayEx node;
        tWAVEFORMATEX f = Format(tc.rate);
        node.SetDelay(tc.ms, false);
        EXPECT_EQ(node.m_nDelaySamples, 0);
        node.Initialize(&f);
        EXPECT_EQ(node.m_nDelaySamples, tc.samples) << tc.ms;
    }
}

TEST(SurrEffectDelay, RingMatchesSlidingHistoryOnRandomBlocks) {
    const int total = 400000;
    const Signal in = RandomChannels(2, total, 11);
    // In-range delays, the largest one a 4096 block allows, and delays that must be clamped.
    for (int delay : {0, 1, 480, 4095, 55904, 59999, 70000, -5}) {
        for (unsigned seed : {1u, 2u}) {
            const std::vector<int> sizes = RandomBlockSizes(total, seed * 31 + delay);
            CSurrEffectDelayEx node;
            tWAVEFORMATEX f = Format(1000); // 1 ms per sample
            node.SetDelay(static_cast<float>(delay), false);
            node.Initialize(&f);
            PlainDelay plain;
            plain.delay = delay;
            std::vector<float> expected = in[0];
            size_t at = 0;
            for (int n : sizes) {
                plain.Process(expected.data() + at, n);
                at += n;
            }
            const Signal out = RunBlocks(node, in, sizes);
            ASSERT_EQ(out[0], expected) << delay;
            ASSERT_EQ(out[1], in[1]); // only channel 0 is delayed
        }
    }
}

TEST(SurrEffectDelay, EveryBlockSplitGivesTheShiftedStream) {
    const int total = 130000; // wraps the history twice
    const Signal in = RandomChannels(1, total, 13);
    for (int delay : {0, 1, 480, 55904}) {
        for (int size : {1, 7, 64, 4096}) {
            CSurrEffectDelayEx node;
            tWAVEFORMATEX f = Format(1000);
            node.SetDelay(static_cast<float>(delay), false);
            node.Initialize(&f);
            const Signal out = RunBlocks(node, in, BlockSizes({size}, total));
            for (int i = 0; i < total; ++i)
                ASSERT_EQ(out[0][i], i < delay ? 0.0f : in[0][i - delay])
                    << delay << " / " << size << " at " << i;
        }
    }
}

TEST(SurrEffectDelay, DelayChangesOnlyWhenConvertedAndInitializeClears) {
    CSurrEffectDelayEx node;
    tWAVEFORMATEX f = Format(1000);
    node.SetDelay(3.0f, false);
    node.Initialize(&f);
    const Signal in = RandomChannels(1, 40, 5);
    PlainDelay plain;
    plain.delay = 3;
    std::vector<float> expected = in[0];
    std::vector<float> out;
    auto run = [&](size_t from, int n) {
        plain.Process(expected.data() + from, n);
        Block block(in, from, n);
        node.Process(&block);
        out.insert(out.end(), block.Channels[0], block.Channels[0] + n);
    };
    run(0, 10);
    node.SetDelay(20.0f, false); // recorded only
    EXPECT_EQ(node.m_fDelay, 20.0f);
    EXPECT_EQ(node.m_nDelaySamples, 3);
    run(10, 10);
    node.SetDelay(7.0f, true); // the read position jumps at once, the history stays
    plain.delay = 7;
    run(20, 20);
    EXPECT_EQ(out, expected);

    node.Initialize(&f); // clears the history: the first 7 samples are silence
    const Signal again = RunBlocks(node, in, {40});
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(again[0][i], i < 7 ? 0.0f : in[0][i - 7]) << i;
}
