#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "nodes/NodeTestSupport.h"
#include "nodes/SurrEffectDelay.h"
#include "reverb/SurrReverbEffect.h"
#include "reverb/SurrReverbFdnEffect.h"
#include "support/Signals.h"

namespace {

using Channels = std::vector<std::vector<float>>;

struct NodeSetup {
    int code;
    float width, depth;
    float dry, wet, absorb, decay;
    bool crossFeed;
    int rate;
};

// Builds a node the way the facade does: room and levels first, then Initialize.
void Build(CSurrReverbEffect& node, const NodeSetup& s) {
    node.SetSpeakersConfig(s.code);
    node.UpdateRoomSize(s.width, s.depth);
    node.SetRevDry(s.dry);
    node.SetRevWet(s.wet);
    node.SetRevAbsorb(s.absorb);
    node.SetRevHFDecay(s.decay);
    node.m_bProcessAdvance = s.crossFeed;
    tWAVEFORMATEX f = Format(static_cast<uint32_t>(s.rate));
    node.Initialize(&f);
}

// Runs the input through the node in blocks of the given sizes (cycled).
Channels RunNode(CSurrReverbEffect& node, const Channels& in, const std::vector<int>& sizes) {
    Channels out = in;
    const int total = static_cast<int>(in[0].size());
    for (int done = 0, b = 0; done < total; ++b) {
        const int n = std::min(sizes[b % sizes.size()], total - done);
        Block block(in, done, n);
        EXPECT_EQ(node.Process(&block), 1);
        for (size_t c = 0; c < in.size(); ++c)
            std::memcpy(out[c].data() + done, block.Channels[c], n * sizeof(float));
        done += n;
    }
    return out;
}

} // namespace

// With dry 1 and wet 0 every core passes its input, so the output shows the cross-feed alone.
TEST(SurrReverbEffect, CornerImpulseReachesTheOtherCorners) {
    struct Arrival {
        int channel, delay;
        float gain;
    };
    struct Case {
        float width, depth;
        int source;
        Arrival arrivals[3];
    } cases[] = {
        {3, 3, 0, {{1, 399, 0.501187f}, {4, 399, 0.501187f}, {5, 564, 0.251189f}}},
        {3, 5, 0, {{1, 399, 0.501187f}, {4, 399, 0.501187f}, {5, 775, 0.251189f}}},
        {3, 5, 1, {{0, 399, 0.501187f}, {4, 775, 0.251189f}, {5, 665, 0.501187f}}},
        {3, 5, 4, {{0, 665, 0.501187f}, {1, 775, 0.251189f}, {5, 399, 0.501187f}}},
        // Back right to back left travels the depth, not the width.
        {3, 5, 5, {{0, 775, 0.251189f}, {1, 665, 0.501187f}, {4, 665, 0.501187f}}},
    };
    for (const Case& c : cases) {
        CSurrReverbEffect node;
        Build(node, {63, c.width, c.depth, 1.0f, 0.0f, 0.14f, 0.42f, true, 44100});
        Channels in(6, std::vector<float>(1200, 0.0f));
        in[c.source][0] = 1.0f;
        const Channels out = RunNode(node, in, {300, 7, 4096});
        Channels expected = in;
        for (const Arrival& a : c.arrivals)
            expected[a.channel][a.delay] = a.gain;
        for (int ch = 0; ch < 6; ++ch)
            EXPECT_EQ(out[ch], expected[ch])
                << c.width << "x" << c.depth << " from " << c.source << " ch " << ch;
    }
}

// Eight channels with cross-feed against stand-alone cores and a plain delay-and-add model.
TEST(SurrReverbEffect, MatchesCoresPlusCrossFeedModel) {
    const NodeSetup s{1599, 4.0f, 6.0f, 0.3f, 1.84f, 0.14f, 0.42f, true, 48000};
    const int total = 150000; // the cross-feed histories (60000 samples) wrap twice
    const Channels in = RandomChannels(8, total, 11);

    Channels core = in;
    for (int ch = 0; ch < 8; ++ch) {
        CSurrReverbFdnEffect fdn;
        tWAVEFORMATEX f = Format(48000);
        fdn.Initialize(&f);
        fdn.SetDry(0.3f);
        fdn.SetWet(1.84f);
        fdn.SetFeedbackGain(0.86f);
        fdn.SetHFDecay(0.42f);
        fdn.SetRoomSize(5.0f); // mean of 4 and 6
        fdn.Process(_SOUNDDATA_{static_cast<uint32_t>(total), core[ch].data(), nullptr});
    }
    // 4 m: 579 samples, 6 m: 868, diagonal 7.2111 m: 1044 (48 kHz). Channels FL 0, FR 1, BL 4, BR 5.
    struct Feed {
        int dest, source[3], delay[3];
    } feeds[] = {
        {0, {4, 5, 1}, {868, 1044, 579}},
        {1, {0, 4, 5}, {579, 1044, 868}},
        {4, {5, 1, 0}, {868, 1044, 579}},
        {5, {1, 0, 4}, {868, 1044, 579}},
    };
    const float gains[3] = {0.501187f, 0.251189f, 0.501187f};
    Channels expected = core;
    for (const Feed& f : feeds)
        for (int i = 0; i < total; ++i)
            for (int k = 0; k < 3; ++k) {
                const float delayed = i >= f.delay[k] ? core[f.source[k]][i - f.delay[k]] : 0.0f;
                expected[f.dest][i] = expected[f.dest][i] + delayed * gains[k];
            }

    std::mt19937 rng(5);
    std::vector<int> sizes = {0, 1, 7, 31, 4095, 4096};
    for (int i = 0; i < 20; ++i)
        sizes.push_back(std::uniform_int_distribution<int>(0, 4096)(rng));
    CSurrReverbEffect node;
    Build(node, s);
    const Channels out = RunNode(node, in, sizes);
    for (int ch = 0; ch < 8; ++ch)
        EXPECT_EQ(out[ch], expected[ch]) << ch;
}

TEST(SurrReverbEffect, HandsParametersToCoresOnceInitialized) {
    CSurrReverbEffect node;
    node.SetSpeakersConfig(51);
    node.SetRevAbsorb(0.25f);
    ASSERT_NE(node.m_pFdn[3], nullptr);
    EXPECT_EQ(node.m_pFdn[3]->m_fFeedbackGain, 0.0f); // not initialized: cores untouched
    EXPECT_EQ(node.m_pFdn[3]->m_fRoomSize, 0.0f);

    tWAVEFORMATEX f = Format(44100);
    node.Initialize(&f);
    EXPECT_EQ(node.m_fRoomSize, 3.0f);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(node.m_pFdn[i]->m_fFeedbackGain, 0.75f);
        EXPECT_EQ(node.m_pFdn[i]->m_fRoomSize, 3.0f);
        EXPECT_EQ(node.m_pFdn[i]->m_fWet, 1.84f);
        EXPECT_EQ(node.m_pFdn[i]->m_fHFDecay, 0.42f);
    }
    EXPECT_EQ(node.m_pFdn[4], nullptr);

    node.UpdateRoomSize(3.0f, 5.0f);
    EXPECT_EQ(node.m_fRoomSize, 4.0f);
    EXPECT_EQ(node.m_pFdn[0]->m_LeftBank.m_nLineLength[0], 263);
    EXPECT_EQ(node.m_pFdn[0]->m_LeftBank.m_nLineLength[11], 519);
    node.UpdateRoomSize(100.0f, 100.0f);
    EXPECT_EQ(node.m_fRoomSize, 100.0f);
    EXPECT_EQ(node.m_pFdn[2]->m_fRoomSize, 50.0f);

    // The diagonal of the 3 x 3 m room of Initialize: 4.2426 m / 331.46 m/s * 44100 Hz = 564.47.
    EXPECT_EQ(node.m_nCrossDelay[2][1], 564);
    node.SetSpeakersConfig(1599);
    EXPECT_EQ(node.m_CoreOut.Channels.size(), 8u);
    EXPECT_EQ(node.m_CoreOut.nSamples, 4096);
    for (int i = 0; i < 8; ++i) {
        ASSERT_NE(node.m_pFdn[i], nullptr);
        EXPECT_EQ(node.m_pFdn[i]->m_fRoomSize, 50.0f);
    }
    EXPECT_EQ(node.m_nCrossDelay[2][1], 564); // the travel times of Initialize stay
    node.Free();
    EXPECT_EQ(node.m_pFdn[0], nullptr);
    EXPECT_FALSE(node.m_bInitialized);
}

TEST(SurrReverbEffect, SwitchesAndLayoutsWithoutBackCorners) {
    const Channels in = RandomChannels(6, 9000, 3);
    // Off: only the dry level, and the tails pick up where they were once back on.
    CSurrReverbEffect paused, straight;
    Build(paused, {63, 3, 3, 0.5f, 1.84f, 0.14f, 0.42f, false, 44100});
    Build(straight, {63, 3, 3, 0.5f, 1.84f, 0.14f, 0.42f, false, 44100});
    const Channels first = RandomChannels(6, 3000, 4), skipped = RandomChannels(6, 3000, 5);
    EXPECT_EQ(RunNode(paused, first, {3000}), RunNode(straight, first, {3000}));
    paused.m_bEnabled = false;
    const Channels dryOnly = RunNode(paused, skipped, {1000});
    for (int ch = 0; ch < 6; ++ch)
        for (int i = 0; i < 3000; ++i)
            ASSERT_EQ(dryOnly[ch][i], skipped[ch][i] * 0.5f);
    paused.m_bEnabled = true;
    EXPECT_EQ(RunNode(paused, in, {4096}), RunNode(straight, in, {4096}));

    // Layouts 3 and 271 have no back corners: the cross-feed switch changes nothing.
    for (int code : {3, 271}) {
        CSurrReverbEffect on, off;
        Build(on, {code, 3, 3, 0.0f, 1.84f, 0.14f, 0.42f, true, 44100});
        Build(off, {code, 3, 3, 0.0f, 1.84f, 0.14f, 0.42f, false, 44100});
        const Channels x(in.begin(), in.begin() + on.m_nSpeakers);
        EXPECT_EQ(RunNode(on, x, {777}), RunNode(off, x, {777})) << code;
    }
}
