// Delay node: millisecond conversion, the ring history against a plain sliding history, clamping,
// and the delay taking effect only when converted.
#include <gtest/gtest.h>

#include <memory>

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

// A used history must read as silence wherever a fresh one does, after a new stream (Initialize)
// and when a new node takes it over (as a layout change does): part of the ring played, almost
// all of it, and more than all of it. The longest delay 7-sample blocks allow reads the samples
// just ahead of the write position, where the old stream's samples lie longest.
TEST(SurrEffectDelay, UsedHistoryReadsAsSilenceAgain) {
    const int h = CSurrEffectDelayEx::HISTORY;
    const int d = h - 7;
    const int total = h + 5000;
    const Signal old = RandomChannels(1, 70000, 21);
    const Signal in = RandomChannels(1, total, 22);
    tWAVEFORMATEX f = Format(1000);
    for (int played : {1000, h - 1, 70000}) {
        for (bool handOn : {false, true}) {
            CSurrEffectDelayEx used;
            used.SetDelay(static_cast<float>(d), false);
            used.Initialize(&f);
            const Signal playedIn = {std::vector<float>(old[0].begin(), old[0].begin() + played)};
            RunBlocks(used, playedIn, BlockSizes({4096, 31}, played));
            std::unique_ptr<CSurrEffectDelayEx> next;
            if (handOn) {
                next = std::make_unique<CSurrEffectDelayEx>(used.TakeHistory());
                next->SetDelay((d + 0.5f) / 44.1f, true); // at the base rate, 44.1 kHz: no Initialize
            } else {
                used.Initialize(&f);
            }
            CSurrEffectDelayEx& node = handOn ? *next : used;
            ASSERT_EQ(node.m_nDelaySamples, d);
            const Signal out = RunBlocks(node, in, BlockSizes({7}, total));
            for (int i = 0; i < total; ++i)
                ASSERT_EQ(out[0][i], i < d ? 0.0f : in[0][i - d]) << played << " " << handOn << " at " << i;
        }
    }
}

// Smooth mode against a plain fractional delay: each change starts a straight line from the delay
// reached to the new whole-sample delay (20 ms at 48 kHz, or a quarter sample per sample when that
// is slower), and every output sample is the Lagrange cubic through the four input samples around
// that delay (straight-line interpolation below one sample), computed here from its definition.
TEST(SurrEffectDelay, GlidingDelayMatchesDirectFractionalReads) {
    const int glide = 960;
    const int total = 40000;
    const std::vector<float> x = RandomChannels(1, total, 77u)[0];
    // (sample, ms): a rise, a fall from mid-glide, down to 0 (through the linear stretch) and a
    // jump long enough to need the slower glide.
    const std::vector<std::pair<int, float>> changes = {
        {3000, 3.5f}, {3500, 1.0f}, {9000, 0.0f}, {12000, 0.01f}, {15000, 100.0f}};
    CSurrEffectDelayEx node;
    node.SetDelay(2.0f, false);
    tWAVEFORMATEX f = Format(48000);
    node.Initialize(&f);
    node.SetGlide(glide);

    const auto input = [&](long i) { return i < 0 ? 0.0 : static_cast<double>(x[static_cast<size_t>(i)]); };
    const auto read = [&](long n, double delay) {
        const long i = static_cast<long>(std::floor(delay));
        const double f = delay - static_cast<double>(i);
        if (i == 0)
            return (1.0 - f) * input(n) + f * input(n - 1);
        double y = 0.0;
        for (int m = -1; m <= 2; ++m) {
            double basis = 1.0;
            for (int j = -1; j <= 2; ++j)
                if (j != m)
                    basis *= (f - j) / static_cast<double>(m - j);
            y += basis * input(n - i - m);
        }
        return y;
    };

    std::vector<float> out(x);
    double delay = 96.0, from = 96.0, to = 96.0;
    long since = 0, length = 1;
    double worst = 0.0;
    size_t next = 0;
    std::mt19937 rng(3u);
    for (int at = 0; at < total;) {
        if (next < changes.size() && changes[next].first == at) {
            node.SetDelay(changes[next].second, true);
            from = delay;
            to = std::trunc(changes[next].second * 48.0);
            since = 0;
            length = std::max<long>(glide, static_cast<long>(std::ceil(std::fabs(to - from) / 0.25)));
            ++next;
        }
        const int limit = next < changes.size() ? changes[next].first : total;
        const int n = std::min(limit - at, 1 + static_cast<int>(rng() % 700));
        _SOUNDDATAEX_ block;
        block.Channels.push_back(out.data() + at);
        block.nSamples = n;
        node.Process(&block);
        block.Channels.clear();
        for (int j = at; j < at + n; ++j) {
            if (since < length)
                ++since;
            delay = since == length ? to : from + (to - from) * (static_cast<double>(since) / length);
            worst = std::max(worst, std::fabs(out[static_cast<size_t>(j)] - read(j, delay)));
        }
        at += n;
    }
    EXPECT_LT(worst, 2e-6);
    EXPECT_EQ(node.CurrentDelay(), 4800.0);
}
