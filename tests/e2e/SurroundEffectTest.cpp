// The whole effect through the public header: layouts, paths, setters and routing.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "E2eSupport.h"
#include "Halvane.h"
#include "HalvaneLayouts.h"

using namespace e2e;

namespace {

constexpr int RATE = 44100;

struct LayoutCase {
    int code;
    int channels;
    int lfe; // LFE channel, -1 for none
    // Gain and travel time (samples at 44.1 kHz) of each channel for the default room and a
    // centred source, from the geometry worked out independently in float32.
    std::vector<float> gains;
    std::vector<int> delays;
};

// Corner-class speakers 2.1213 m away (K) and 1.5 m away (W), centre-class 1.5 m away (C), and the
// 7.1-wide inner fronts (S).
constexpr float K = 0.199999958f, W = 0.416904777f, C = 0.175378874f, S = 0.395847648f;
const std::vector<LayoutCase> LAYOUTS = {
    {3, 2, -1, {W, W}, {199, 199}},
    {51, 4, -1, {K, K, K, K}, {282, 282, 282, 282}},
    {63, 6, 3, {K, K, C, 0, K, K}, {282, 282, 199, 0, 282, 282}},
    {255, 8, 3, {K, K, C, 0, K, K, S, S}, {282, 282, 199, 0, 282, 282, 223, 223}},
    {271, 5, 3, {K, K, C, 0, C}, {282, 282, 199, 0, 199}},
    {1595, 7, 3, {K, K, W, 0, K, K, W}, {282, 282, 199, 0, 282, 282, 199}},
    {1599, 8, 3, {K, K, C, 0, K, K, C, C}, {282, 282, 199, 0, 282, 282, 199, 199}},
};

// Captures the library's user messages instead of printing them.
int g_messages = 0;
void CountMessage(const char*, const char*, unsigned) {
    ++g_messages;
}

class PostProcessor : public CSurroundEffect {
public:
    using CSurroundEffect::PostProcessing;
};

} // namespace

TEST(SurroundEffect, ImpulseShowsEachSpeakersGainAndTravelTime) {
    for (const LayoutCase& layout : LAYOUTS) {
        for (int inputs : {1, 2}) {
            SCOPED_TRACE(testing::Message() << "layout " << layout.code << ", " << inputs << " input(s)");
            CSurroundEffect effect;
            effect.SetSpeakersConfig(layout.code, false);
            effect.SetReverb(false);
            tWAVEFORMATEX format = Format(inputs, RATE);
            effect.Initialize(&format);
            EXPECT_EQ(format.nChannels, inputs);
            const Channels out = ProcessOnce(effect, Impulse(inputs, 4096));
            ASSERT_EQ(static_cast<int>(out.size()), layout.channels);
            float gains[8];
            int32_t delays[8];
            ASSERT_EQ(effect.GetSpeakerGains(gains, 8), layout.channels);
            ASSERT_EQ(effect.GetSpeakerDelays(delays, 8), layout.channels);
            for (int c = 0; c < layout.channels; ++c) {
                EXPECT_EQ(gains[c], c == layout.lfe ? 1.0f : layout.gains[c]) << "channel " << c;
                EXPECT_EQ(delays[c], layout.delays[c]) << "channel " << c;
            }
            for (int c = 0; c < layout.channels; ++c) {
                if (c == layout.lfe) {
                    // Only the bass: a 100 Hz low-pass spreads the impulse over many samples but
                    // keeps its sum (unit gain at 0 Hz).
                    double sum = 0;
                    for (float s : out[c])
                        sum += s;
                    EXPECT_LT(std::fabs(out[c][0]), 1e-3f);
                    EXPECT_NEAR(sum, 1.0, 0.01);
                    continue;
                }
                for (int i = 0; i < 4096; ++i) {
                    const float expected = i == layout.delays[c] ? layout.gains[c] : 0.0f;
                    ASSERT_FLOAT_EQ(out[c][i], expected) << "channel " << c << " sample " << i;
                }
            }
        }
    }
}

// The geometry query against the samples: for every layout, rooms and sources drawn at random, the
// unreverberated impulse comes out of each speaker exactly at the reported delay with exactly the
// reported gain (the LFE, low-passed, aside). Without a graph the query already gives the same.
TEST(SurroundEffect, GeometryQueryEqualsTheRenderedImpulse) {
    std::mt19937 rng(13);
    std::uniform_real_distribution<float> size(2.0f, 12.0f), where(0.0f, 1.0f);
    for (const HalvaneLayoutInfo& layout : HALVANE_LAYOUTS) {
        for (int trial = 0; trial < 4; ++trial) {
            const float w = size(rng), d = size(rng), x = w * where(rng), y = d * where(rng);
            SCOPED_TRACE(testing::Message() << "layout " << layout.code << ", room " << w << " x " << d
                                            << ", source " << x << ", " << y);
            CSurroundEffect effect;
            effect.SetSpeakersConfig(layout.code, false);
            effect.SetRoomSize(w, d, false);
            effect.SetSoundPos(x, y, false);
            effect.SetReverb(false);
            float unbuiltGains[8];
            int32_t unbuiltDelays[8];
            ASSERT_EQ(effect.GetSpeakerGains(unbuiltGains, 8), layout.channels);
            ASSERT_EQ(effect.GetSpeakerDelays(unbuiltDelays, 8), layout.channels);
            tWAVEFORMATEX format = Format(1, RATE);
            effect.Initialize(&format);
            float gains[8];
            int32_t delays[8];
            ASSERT_EQ(effect.GetSpeakerGains(gains, 8), layout.channels);
            ASSERT_EQ(effect.GetSpeakerDelays(delays, 8), layout.channels);
            const Channels out = ProcessOnce(effect, Impulse(1, 8192));
            for (int c = 0; c < layout.channels; ++c) {
                EXPECT_EQ(gains[c], unbuiltGains[c]) << "channel " << c;
                EXPECT_EQ(delays[c], unbuiltDelays[c]) << "channel " << c;
                if (c == HalvaneLfeChannel(layout)) {
                    EXPECT_EQ(gains[c], 1.0f);
                    EXPECT_EQ(delays[c], 0);
                    continue;
                }
                ASSERT_LT(delays[c], 8192);
                for (int i = 0; i < 8192; ++i)
                    ASSERT_EQ(out[c][i], i == delays[c] ? gains[c] : 0.0f)
                        << "channel " << c << " sample " << i;
            }
        }
    }
}

TEST(SurroundEffect, LongCallsEqualBlocksOf4096AndAnyHostBlockSize) {
    for (size_t length : {4097u, 8192u, 10000u}) {
        SCOPED_TRACE(length);
        const Channels input = Noise(2, length, static_cast<unsigned>(length));
        CSurroundEffect once, blocks, small;
        for (CSurroundEffect* effect : {&once, &blocks, &small}) {
            effect->SetProcessAdvance(true);
            effect->SetSpeakersConfig(1599, false);
            tWAVEFORMATEX format = Format(2, 48000);
            effect->Initialize(&format);
        }
        const Channels a = ProcessOnce(once, input);
        const Channels b = ProcessInBlocks(blocks, input, 4096);
        const Channels c = ProcessInBlocks(small, input, 61);
        ASSERT_EQ(a.size(), 8u);
        EXPECT_EQ(a, b);
        EXPECT_EQ(a, c);
    }
}

TEST(SurroundEffect, RecordsComeBackWithTheHostsFieldsOrUntouchedWhenRefused) {
    CSurroundEffect effect;
    _SOUNDDATAEX_ record;
    record.Allocate(2, 16);
    record.Silence();
    EXPECT_EQ(effect.Process(&record), 0) << "no graph yet";
    EXPECT_EQ(effect.GetBuffer(&record), 0);
    EXPECT_EQ(record.Channels.size(), 2u);

    tWAVEFORMATEX format = Format(2, RATE);
    effect.Initialize(&format);
    for (int32_t samples : {1, 4096, 4097}) {
        record.Allocate(2, samples);
        record.Silence();
        record.nReserved = 77;
        record.nUser = 0xC0FFEEu;
        EXPECT_EQ(effect.Process(&record), 1);
        EXPECT_EQ(record.Channels.size(), 6u);
        EXPECT_EQ(record.nSamples, samples);
        EXPECT_EQ(record.nReserved, 77);
        EXPECT_EQ(record.nUser, 0xC0FFEEu);
    }
    for (int channels : {0, 3}) {
        record.Allocate(channels, 32);
        const std::vector<float*> before = record.Channels;
        EXPECT_EQ(effect.Process(&record), 0);
        EXPECT_EQ(record.Channels, before);
    }
    record.Allocate(2, 0);
    EXPECT_EQ(effect.Process(&record), 0);
    EXPECT_EQ(record.Channels.size(), 2u);
    record.Release();

    // Six channels build nothing: the 5.1 graph stays and keeps working.
    tWAVEFORMATEX six = Format(6, RATE);
    effect.Initialize(&six);
    EXPECT_EQ(ProcessOnce(effect, Noise(2, 100, 1)).size(), 6u);
}

TEST(SurroundEffect, ApplyFlagDecidesWhenTheRunningGraphHearsAValue) {
    const Channels input = Noise(2, 2000, 7);
    auto render = [&](auto configure) {
        CSurroundEffect effect;
        effect.SetReverb(false);
        tWAVEFORMATEX format = Format(2, RATE);
        configure(effect, format);
        return ProcessOnce(effect, input);
    };
    const Channels reference = render([](CSurroundEffect& e, tWAVEFORMATEX& f) { e.Initialize(&f); });
    const Channels storedOnly = render([](CSurroundEffect& e, tWAVEFORMATEX& f) {
        e.Initialize(&f);
        e.SetVolume(0.5f, false);
    });
    const Channels beforeInit = render([](CSurroundEffect& e, tWAVEFORMATEX& f) {
        e.SetVolume(0.5f, true);
        e.Initialize(&f);
    });
    const Channels reinit = render([](CSurroundEffect& e, tWAVEFORMATEX& f) {
        e.Initialize(&f);
        e.SetVolume(0.5f, false);
        e.Initialize(&f);
    });
    EXPECT_EQ(storedOnly, reference);
    EXPECT_EQ(beforeInit, reinit);
    for (int c : {0, 1, 2, 4, 5})
        for (size_t i = 0; i < input[0].size(); ++i)
            ASSERT_EQ(beforeInit[c][i], reference[c][i] * 0.5f);
    EXPECT_EQ(beforeInit[3], reference[3]) << "the LFE channel has its own volume";
}

TEST(SurroundEffect, RoutingFollowsTheLastOfSetLowPassAndSetMoveOff) {
    const Channels input = Impulse(2, 1024);
    auto render = [&](auto configure) {
        CSurroundEffect effect;
        effect.SetReverb(false);
        tWAVEFORMATEX format = Format(2, RATE);
        effect.Initialize(&format);
        configure(effect);
        return ProcessOnce(effect, input);
    };
    const Channels reference = render([](CSurroundEffect&) {});
    const Channels moveOffLast = render([](CSurroundEffect& e) {
        e.SetLowPass(true);
        e.SetMoveOff(true);
    });
    const Channels lowPassLast = render([](CSurroundEffect& e) {
        e.SetMoveOff(true);
        e.SetLowPass(true);
    });
    const Channels noDelays = render([](CSurroundEffect& e) { e.SetMoveOff(false); });
    EXPECT_EQ(moveOffLast, reference);
    EXPECT_NE(lowPassLast[0], reference[0]);
    EXPECT_EQ(lowPassLast[3], reference[3]) << "the high-pass stage leaves the LFE channel alone";
    // The stage's default 80 Hz high-pass passes b0 of the impulse at the travel time.
    EXPECT_NEAR(lowPassLast[0][282], 0.199999958 * 0.99197274, 1e-6);
    EXPECT_FLOAT_EQ(noDelays[0][0], 0.199999958f);
    EXPECT_FLOAT_EQ(noDelays[2][0], 0.175378874f);
}

TEST(SurroundEffect, SpeakerToChannelAndPostProcessing) {
    PostProcessor effect;
    EXPECT_EQ(effect.SetSpeakerToChannel(HALVANE_FL, 10), -1);
    EXPECT_EQ(effect.SetSpeakerToChannel(HALVANE_FL, 7), -2);
    EXPECT_EQ(effect.SetSpeakerToChannel(3, 1), 0);

    tWAVEFORMATEX format = Format(2, RATE);
    effect.Initialize(&format);
    auto order = [&](bool inverse) {
        _SOUNDDATAEX_ record;
        record.Allocate(6, 3);
        for (int c = 0; c < 6; ++c) {
            record.Channels[c][0] = static_cast<float>(c);
            record.Channels[c][1] = 1.5f;
            record.Channels[c][2] = -2.0f;
        }
        // The planar final stage on a copy gives the same samples in the same order.
        std::vector<std::vector<float>> planar;
        float* planarChannels[6];
        for (int c = 0; c < 6; ++c)
            planar.emplace_back(record.Channels[c], record.Channels[c] + 3);
        for (int c = 0; c < 6; ++c)
            planarChannels[c] = planar[c].data();
        effect.SetInverse(inverse);
        effect.PostProcessing(&record);
        EXPECT_EQ(effect.PostProcessPlanar(planarChannels, 6, 3), 1);
        std::vector<std::vector<float>> result, planarResult;
        for (float* channel : record.Channels)
            result.emplace_back(channel, channel + 3);
        for (float* channel : planarChannels)
            planarResult.emplace_back(channel, channel + 3);
        EXPECT_EQ(planarResult, result);
        record.Release();
        return result;
    };
    auto plain = order(false);
    ASSERT_EQ(plain.size(), 6u);
    for (int c = 0; c < 6; ++c) {
        EXPECT_EQ(plain[c][0], std::min(1.0f, static_cast<float>(c)));
        EXPECT_EQ(plain[c][1], 1.0f);
        EXPECT_EQ(plain[c][2], -1.0f);
    }
    auto inverted = order(true);
    for (int c = 0; c < 6; ++c)
        EXPECT_EQ(inverted[c][1], (c == 1 || c == 5) ? -1.0f : 1.0f) << c;

    EXPECT_EQ(effect.SetSpeakerToChannel(HALVANE_FL, 1), 0); // swaps FL and FR
    EXPECT_EQ(order(false)[0][2], -1.0f);
    effect.SetSpeakersConfig(63, true); // resets the table
    EXPECT_EQ(effect.SetSpeakerToChannel(HALVANE_FLC, 2), 0);
    auto remapped = order(false);
    const float firstSamples[] = {0, 1, 1, 1, 1, 1}; // channels 0, 1, 3, 4, 5, 2, clamped to 1
    for (int c = 0; c < 6; ++c)
        EXPECT_EQ(remapped[c][0], firstSamples[c]) << c;
    int speakers[8] = {};
    ASSERT_EQ(effect.GetPostProcessedSpeakers(speakers, 8), 6);
    const int expectedSpeakers[] = {HALVANE_FL, HALVANE_FR, HALVANE_LFE, HALVANE_BL, HALVANE_BR, HALVANE_FLC};
    for (int c = 0; c < 6; ++c)
        EXPECT_EQ(speakers[c], expectedSpeakers[c]) << c;
}

TEST(SurroundEffect, VolumeChannelNamesSpeakersOrChannelIndices) {
    CSurroundEffect effect;
    effect.SetVolumeChannel(HALVANE_BL, 0.0f); // no graph: nothing happens
    effect.SetReverb(false);
    effect.SetMoveOff(false);
    tWAVEFORMATEX format = Format(1, RATE);
    effect.Initialize(&format);
    const Channels reference = ProcessOnce(effect, Impulse(1, 64));
    effect.SetVolumeChannel(HALVANE_BL, 0.0f);
    effect.SetVolumeChannel(5, 0.0f);
    effect.SetVolumeChannel(HALVANE_LFE, 0.0f);
    effect.SetVolumeChannel(12345, 0.0f); // outside the table: ignored
    effect.Initialize(&format);
    EXPECT_EQ(ProcessOnce(effect, Impulse(1, 64)), reference) << "Initialize resets channel volumes";
    effect.Initialize(&format);
    effect.SetVolumeChannel(HALVANE_BL, 0.0f);
    effect.SetVolumeChannel(5, 0.0f);
    effect.SetVolumeChannel(HALVANE_LFE, 0.0f);
    const Channels out = ProcessOnce(effect, Impulse(1, 64));
    EXPECT_EQ(out[4], std::vector<float>(64, 0.0f));
    EXPECT_EQ(out[5], std::vector<float>(64, 0.0f));
    EXPECT_EQ(out[0], reference[0]);
    EXPECT_EQ(out[3], reference[3]);
}

TEST(SurroundEffect, RoomResizeMovesTheNodesButNotTheStoredSource) {
    CSurroundEffect effect;
    effect.SetReverb(false);
    tWAVEFORMATEX format = Format(1, RATE);
    effect.Initialize(&format);
    effect.SetRoomSize(6.0f, 6.0f, true);
    float x, y, w, d;
    effect.GetSoundPos(x, y);
    effect.GetRoomSize(w, d);
    EXPECT_EQ(x, 1.5f);
    EXPECT_EQ(y, 1.5f);
    EXPECT_EQ(w, 6.0f);
    EXPECT_EQ(d, 6.0f);
    // The nodes put the source at the centre of the new room: twice the travel time (4.2426 m).
    const Channels out = ProcessOnce(effect, Impulse(1, 1024));
    EXPECT_NE(out[0][564], 0.0f);
    EXPECT_EQ(out[0][282], 0.0f);
}

TEST(SurroundEffect, UnsupportedLayoutIsReportedAndChangesNothing) {
    HalvaneMessageHandler previous = HalvaneSetMessageHandler(&CountMessage);
    g_messages = 0;
    CSurroundEffect effect;
    tWAVEFORMATEX format = Format(2, RATE);
    effect.Initialize(&format);
    effect.SetSpeakersConfig(319, false);
    EXPECT_EQ(g_messages, 1);
    effect.SetSpeakersConfig(319, true);
    EXPECT_EQ(g_messages, 1 + 1 + 6) << "once for the object, once for each configured node";
    EXPECT_EQ(ProcessOnce(effect, Noise(2, 256, 3)).size(), 6u);
    HalvaneSetMessageHandler(previous);
}

TEST(SurroundEffect, CopiesCarryParametersButBuildTheirOwnGraph) {
    CSurroundEffect original;
    original.SetSpeakersConfig(271, false);
    original.SetRevWet(0.7f);
    tWAVEFORMATEX format = Format(2, RATE);
    original.Initialize(&format);
    CSurroundEffect copy(original);
    CSurroundEffect assigned;
    assigned.Initialize(&format);
    assigned = original;
    assigned = assigned;
    const Channels input = Noise(2, 3000, 11);
    int result = -1;
    ProcessOnce(copy, input, &result);
    EXPECT_EQ(result, 0) << "a copy owns no graph until it is initialised";
    ProcessOnce(assigned, input, &result);
    EXPECT_EQ(result, 0);
    copy.Initialize(&format);
    assigned.Initialize(&format);
    const Channels expected = ProcessOnce(original, input);
    EXPECT_EQ(ProcessOnce(copy, input), expected);
    EXPECT_EQ(ProcessOnce(assigned, input), expected);
    original = copy; // drops the original's graph; the sanitizer runs see any buffer held twice
    ProcessOnce(original, input, &result);
    EXPECT_EQ(result, 0);
}
