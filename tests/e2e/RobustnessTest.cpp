// Whatever a host passes in, the effect neither crashes nor hands back a malformed record: odd
// parameter values pass through as defined arithmetic, odd records and formats are refused.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <functional>
#include <limits>
#include <set>

#include "E2eSupport.h"
#include "Halvane.h"

using namespace e2e;

namespace {

constexpr int RATE = 48000;
constexpr int LAYOUT_CODES[] = {3, 51, 63, 255, 271, 1595, 1599};
constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float INF = std::numeric_limits<float>::infinity();

int g_messages = 0;
void CountMessage(const char*, const char*, unsigned) {
    ++g_messages;
}

// Hands the host record to Process and checks what comes back: 1 with one distinct buffer per
// graph output channel of the original length, or 0 with the record as it was.
int ProcessAndCheck(CSurroundEffect& effect, int inputs, int samples) {
    _SOUNDDATAEX_ record;
    record.Allocate(inputs, samples);
    for (float* buffer : record.Channels)
        for (int i = 0; i < samples; ++i)
            buffer[i] = static_cast<float>((i * 7919) % 201 - 100) / 100.0f;
    const std::vector<float*> before = record.Channels;
    const int result = effect.Process(&record);
    EXPECT_EQ(record.nSamples, samples);
    if (result == 1) {
        EXPECT_EQ(static_cast<int>(record.Channels.size()), effect.GetOutputChannels());
    } else {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(record.Channels, before);
    }
    const std::set<float*> distinct(record.Channels.begin(), record.Channels.end());
    EXPECT_EQ(distinct.size(), record.Channels.size()) << "a buffer held twice";
    record.Release();
    return result;
}

// ProcessPlanar into twelve outputs in one call: the ones past the graph's channels come back silent.
int PlanarAndCheck(CSurroundEffect& effect, int inputs, int samples) {
    int result = 0;
    const Channels out = RenderPlanar(effect, Noise(inputs, static_cast<size_t>(samples), 3),
                                      static_cast<size_t>(samples), 12, &result, 5.0f);
    if (result == 1) {
        for (size_t k = static_cast<size_t>(effect.GetOutputChannels()); k < out.size(); ++k)
            EXPECT_EQ(out[k], std::vector<float>(static_cast<size_t>(samples), 0.0f)) << k;
    }
    return result;
}

} // namespace

TEST(Robustness, RecordWithAnotherChannelCountThanTheGraphIsRefused) {
    // A mono graph used to append speaker channels behind a stereo record's second buffer, and a
    // stereo graph read a second buffer that a mono record does not have.
    for (int graphInputs : {1, 2}) {
        CSurroundEffect effect;
        tWAVEFORMATEX format = Format(graphInputs, RATE);
        effect.Initialize(&format);
        const int other = 3 - graphInputs;
        for (int samples : {1, 100, 4096, 4097, 9000}) {
            SCOPED_TRACE(testing::Message() << graphInputs << " input graph, " << samples << " samples");
            EXPECT_EQ(ProcessAndCheck(effect, other, samples), 0);
            EXPECT_EQ(ProcessAndCheck(effect, graphInputs, samples), 1);
            EXPECT_EQ(PlanarAndCheck(effect, other, samples), 0);
        }
    }
}

TEST(Robustness, SampleRateOutsideTheStreamRangeIsRefused) {
    const Channels input = Noise(2, 5000, 11);
    CSurroundEffect reference;
    tWAVEFORMATEX format = Format(2, RATE);
    reference.Initialize(&format);
    const Channels expected = ProcessOnce(reference, input);

    for (uint32_t rate : {0u, 768001u, 0x7fffffffu, 0x80000000u, 0xffffffffu}) {
        SCOPED_TRACE(rate);
        CSurroundEffect fresh;
        tWAVEFORMATEX odd = Format(2, 0);
        odd.nSamplesPerSec = rate;
        fresh.Initialize(&odd);
        EXPECT_EQ(fresh.GetOutputChannels(), 0) << "no graph built";
        EXPECT_EQ(ProcessAndCheck(fresh, 2, 64), 0);

        // A running graph stays as it was and keeps its state.
        CSurroundEffect running;
        running.Initialize(&format);
        running.Initialize(&odd);
        EXPECT_EQ(odd.nChannels, 2);
        EXPECT_EQ(ProcessOnce(running, input), expected);
    }
    // The ends of the range build a graph.
    for (uint32_t rate : {1u, 768000u}) {
        for (int code : LAYOUT_CODES) {
            SCOPED_TRACE(testing::Message() << rate << " Hz, layout " << code);
            CSurroundEffect effect;
            effect.SetSpeakersConfig(code, false);
            effect.SetProcessAdvance(true);
            effect.SetLowPass(true);
            effect.SetMoveOff(false);
            tWAVEFORMATEX edge = Format(2, 0);
            edge.nSamplesPerSec = rate;
            effect.Initialize(&edge);
            EXPECT_EQ(ProcessAndCheck(effect, 2, 5000), 1);
            EXPECT_EQ(PlanarAndCheck(effect, 2, 300), 1);
        }
    }
}

TEST(Robustness, LongRecordsFollowTheGraphNotTheStoredChannelCount) {
    // Formats of 0 or 65535 channels, or a layout stored without applying it, leave the facade's
    // speaker count unlike the graph's; the long path sizes its result from the graph, without
    // first allocating a full-length buffer per stored speaker.
    const std::vector<std::function<void(CSurroundEffect&)>> detours = {
        [](CSurroundEffect& e) {
            tWAVEFORMATEX f = Format(0, RATE);
            e.Initialize(&f);
        },
        [](CSurroundEffect& e) {
            tWAVEFORMATEX f = Format(65535, RATE);
            e.Initialize(&f);
        },
        [](CSurroundEffect& e) { e.SetSpeakersConfig(1599, false); },
        [](CSurroundEffect& e) { e.SetSpeakersConfig(3, false); },
    };
    for (size_t d = 0; d < detours.size(); ++d) {
        SCOPED_TRACE(d);
        CSurroundEffect effect;
        tWAVEFORMATEX format = Format(2, RATE);
        effect.Initialize(&format);
        detours[d](effect);
        effect.CSurrBaseEffect::SetRoomSize(3.0f, 3.0f); // touches only the ten speaker places
        EXPECT_EQ(effect.GetOutputChannels(), 6);
        for (int samples : {100, 4097, 20000})
            EXPECT_EQ(ProcessAndCheck(effect, 2, samples), 1);
        EXPECT_EQ(PlanarAndCheck(effect, 2, 9000), 1);
    }
}

TEST(Robustness, OddParameterValuesKeepEveryRecordWellFormed) {
    const HalvaneMessageHandler previous = HalvaneSetMessageHandler(&CountMessage);
    // Each case: values no host should send, but may. They pass through as arithmetic (NaN and
    // infinite samples are allowed results) and must never reach the kernels with a bad count,
    // overrun a table or convert a non-finite value to an integer.
    // clang-format off
    const std::vector<std::function<void(CSurroundEffect&)>> cases = {
        [](CSurroundEffect& e) { e.SetRoomSize(0.0f, 0.0f, true); },
        [](CSurroundEffect& e) { e.SetRoomSize(NaN, NaN, true); },
        [](CSurroundEffect& e) { e.SetRoomSize(INF, -INF, true); },
        [](CSurroundEffect& e) { e.SetRoomSize(-3.0f, -4.0f, true); },
        [](CSurroundEffect& e) { e.SetRoomSize(1e30f, 1e30f, true); },
        [](CSurroundEffect& e) { e.SetRoomSize(1e-30f, 1e-30f, true); },
        [](CSurroundEffect& e) { e.SetRoomSize(0.0f, 0.0f, false); }, // reaches the next Initialize
        [](CSurroundEffect& e) { e.SetSoundPos(NaN, INF, true); },
        [](CSurroundEffect& e) { e.SetSoundPos(1e30f, -1e30f, true); },
        [](CSurroundEffect& e) { e.SetSoundPos(-1e30f, 1e30f, false); },
        [](CSurroundEffect& e) { e.SetLFEMaxFreq(0, true); },
        [](CSurroundEffect& e) { e.SetLFEMaxFreq(-100, true); },
        [](CSurroundEffect& e) { e.SetLFEMaxFreq(RATE / 2, true); },
        [](CSurroundEffect& e) { e.SetLFEMaxFreq(INT_MAX, true); },
        [](CSurroundEffect& e) { e.SetLFEMaxFreq(INT_MIN, true); },
        [](CSurroundEffect& e) { e.SetLowPass(true); e.SetLowPassFreq(RATE / 2); },
        [](CSurroundEffect& e) { e.SetLowPass(true); e.SetLowPassFreq(INT_MIN); },
        [](CSurroundEffect& e) { e.SetMoveOff(false); e.SetLowPass(true); e.SetLowPassFreq(0); },
        [](CSurroundEffect& e) { e.SetVolume(NaN, true); e.SetLFEVolume(INF, true); e.SetDryOutVolume(NaN); },
        [](CSurroundEffect& e) { e.SetRevAbsorb(-1.0f); e.SetRevWet(1e30f); e.SetRevDry(-INF); },
        [](CSurroundEffect& e) { e.SetRevAbsorb(NaN); e.SetRevHFDecay(NaN); e.SetProcessAdvance(true); },
        // Cross-feed delays far beyond any history.
        [](CSurroundEffect& e) { e.SetRevHFDecay(2.0f); e.SetProcessAdvance(true); e.SetRoomSize(1e30f, 1e30f, true); },
        [](CSurroundEffect& e) {
            for (int speaker : {INT_MIN, -1, 0, 9, 10, 11, 2048, INT_MAX, int{HALVANE_SR}})
                e.SetVolumeChannel(speaker, NaN);
        },
        [](CSurroundEffect& e) {
            for (int channel : {INT_MIN, -1, 0, 7, 9, 10, INT_MAX})
                for (int speaker : {INT_MIN, 0, 1, 8, 1024, INT_MAX})
                    e.SetSpeakerToChannel(speaker, channel);
            e.SetInverse(true);
        },
        [](CSurroundEffect& e) { e.SetSpeakersConfig(INT_MIN, true); },
        [](CSurroundEffect& e) {
            tWAVEFORMATEX none = Format(0, RATE);
            e.Initialize(&none);
            e.SetSpeakersConfig(12345, true);
            e.SetRoomSize(0.0f, 0.0f, true);
        },
    };
    // clang-format on
    for (int code : LAYOUT_CODES) {
        for (int inputs : {1, 2}) {
            for (size_t c = 0; c < cases.size(); ++c) {
                SCOPED_TRACE(testing::Message()
                             << "layout " << code << ", " << inputs << " input(s), case " << c);
                CSurroundEffect effect;
                effect.SetSpeakersConfig(code, false);
                cases[c](effect); // before the graph: stored for Initialize
                tWAVEFORMATEX format = Format(inputs, RATE);
                effect.Initialize(&format);
                cases[c](effect); // on the running graph
                ASSERT_GT(effect.GetOutputChannels(), 0);
                EXPECT_EQ(ProcessAndCheck(effect, inputs, 700), 1);
                EXPECT_EQ(ProcessAndCheck(effect, inputs, 4100), 1);
                EXPECT_EQ(PlanarAndCheck(effect, inputs, 4100), 1);
            }
        }
    }
    HalvaneSetMessageHandler(previous);
    EXPECT_GT(g_messages, 0) << "unsupported codes were reported";
}

// One NaN sample or one non-finite setter value used to stay in the reverb's loops until the next
// Initialize. In the smooth mode a non-finite sample enters as silence and a non-finite value is
// ignored: the stream is exactly the one without them. The exact mode keeps taking them as they
// come, so its stream stays NaN even after the values are set back.
TEST(Robustness, SmoothModeTakesNonFiniteSamplesAsSilenceAndIgnoresNonFiniteValues) {
    const std::vector<std::function<void(CSurroundEffect&)>> poisons = {
        [](CSurroundEffect& e) { e.SetRoomSize(NaN, 4.0f, true); },
        [](CSurroundEffect& e) { e.SetRevAbsorb(NaN); },
        [](CSurroundEffect& e) { e.SetSoundPos(1.0f, INF, true); },
        [](CSurroundEffect& e) { e.SetRevHFDecay(-INF); },
        [](CSurroundEffect& e) { e.SetRevWet(NaN); },
        [](CSurroundEffect& e) { e.SetRevDry(INF); },
        [](CSurroundEffect& e) { e.SetVolume(NaN, true); },
        [](CSurroundEffect& e) { e.SetLFEVolume(INF, true); },
        [](CSurroundEffect& e) { e.SetDryOutVolume(NaN); },
        [](CSurroundEffect& e) { e.SetVolumeChannel(HALVANE_FL, NaN); },
    };
    const Channels input = Noise(2, 6000, 31);
    Channels poisoned = input;
    poisoned[0][1000] = NaN;
    poisoned[1][2500] = -INF;
    Channels silenced = input;
    silenced[0][1000] = 0.0f;
    silenced[1][2500] = 0.0f;
    tWAVEFORMATEX format = Format(2, RATE);
    // The poison, if any, comes after 3000 samples, followed by a sane room size as a host would.
    auto render = [&](bool smooth, const Channels& in, const std::function<void(CSurroundEffect&)>& poison,
                      bool planar) {
        CSurroundEffect effect;
        effect.SetSmoothing(smooth);
        effect.Initialize(&format);
        Channels out(6);
        for (size_t start = 0; start < in[0].size(); start += 500) {
            if (start == 3000 && poison) {
                poison(effect);
                effect.SetRoomSize(3.0f, 3.0f, true);
            }
            Channels part;
            for (const auto& channel : in)
                part.emplace_back(channel.begin() + start, channel.begin() + start + 500);
            Channels block(6, std::vector<float>(500));
            if (planar) {
                const float* inPtrs[2] = {part[0].data(), part[1].data()};
                float* outPtrs[6];
                for (int k = 0; k < 6; ++k)
                    outPtrs[k] = block[k].data();
                effect.ProcessPlanar(inPtrs, 2, outPtrs, 6, 500);
            } else {
                block = ProcessOnce(effect, part);
            }
            for (int k = 0; k < 6; ++k)
                out[k].insert(out[k].end(), block[k].begin(), block[k].end());
        }
        return out;
    };
    auto finite = [](const Channels& out) {
        for (const auto& channel : out)
            if (!std::isfinite(channel.back()))
                return false;
        return true;
    };
    for (bool planar : {false, true}) {
        SCOPED_TRACE(planar ? "ProcessPlanar" : "Process");
        EXPECT_EQ(render(true, poisoned, nullptr, planar), render(true, silenced, nullptr, planar));
        EXPECT_FALSE(finite(render(false, poisoned, nullptr, planar)));
        const Channels clean = render(
            true, input, [](CSurroundEffect& e) { e.SetRoomSize(3.0f, 3.0f, true); }, planar);
        for (size_t p = 0; p < poisons.size(); ++p) {
            EXPECT_EQ(render(true, input, poisons[p], planar), clean) << "value " << p;
            if (p < 2) { // room size and absorption reach the reverb's loops in the exact mode
                EXPECT_FALSE(finite(render(false, input, poisons[p], planar))) << "value " << p;
            }
        }
    }
}
