#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "dsp/History.h"
#include "nodes/NodeTestSupport.h"
#include "reverb/SurrReverbFdnEffect.h"
#include "reverb/SurrReverbLockstep.h"
#include "support/Signals.h"

namespace {

struct Params {
    float dry, wet, gain, decay, room;
};

void Configure(CSurrReverbFdnEffect& core, int channels, int rate, const Params& p) {
    tWAVEFORMATEX f = Format(rate, static_cast<uint16_t>(channels));
    core.Initialize(&f);
    core.SetDry(p.dry);
    core.SetWet(p.wet);
    core.SetFeedbackGain(p.gain);
    core.SetHFDecay(p.decay);
    core.SetRoomSize(p.room);
}

std::vector<float> Noise(size_t n, unsigned seed) {
    return RandomChannels(1, n, seed)[0];
}

// Plain model of the network: one sample at a time, positions wrap by modulo, no runs, no
// scratch buffers. Lengths come from the tables below, not from the core.
class ReferenceCore {
public:
    ReferenceCore(const int* lengths, bool stereo, const Params& p) : m_p(p), m_stereo(stereo) {
        for (Bank* bank : {&m_left, &m_right})
            for (int k = 0; k < 12; ++k)
                bank->line[k].assign(lengths[k], 0.0f);
    }

    void Process(float* left, float* right, size_t n) {
        const float scale = static_cast<float>(m_p.wet / 12.0);
        for (size_t i = 0; i < n; ++i) {
            float a, b, a2, b2;
            Step(m_left, LEFT, left[i], a, b);
            if (!m_stereo) {
                const float out = a * scale;
                left[i] = left[i] * m_p.dry;
                left[i] = left[i] + out;
                continue;
            }
            Step(m_right, RIGHT, right[i], a2, b2);
            float outL = a * scale, outR = b * scale;
            outL = static_cast<float>(outL + static_cast<double>(a2) * scale);
            outR = static_cast<float>(outR + static_cast<double>(b2) * scale);
            left[i] = static_cast<float>(static_cast<double>(left[i]) * m_p.dry + outL);
            right[i] = static_cast<float>(static_cast<double>(right[i]) * m_p.dry + outR);
        }
    }

private:
    struct Bank {
        std::vector<float> line[12];
        size_t pos[12] = {};
        float state[12] = {};
    };
    static constexpr int LEFT[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0};
    static constexpr int RIGHT[12] = {2, 4, 6, 8, 10, 1, 3, 5, 7, 0, 11, 9};

    void Step(Bank& bank, const int* perm, float x, float& a, float& b) {
        float r[12], y[12];
        for (int k = 0; k < 12; ++k)
            r[k] = bank.line[k][bank.pos[k]];
        float sum = r[0];
        for (int k = 1; k < 12; ++k)
            sum = sum + r[k];
        const float m = static_cast<float>(sum * (-2.0 / 12.0));
        for (int k = 0; k < 12; ++k) {
            const float v = static_cast<float>((static_cast<double>(r[k]) + m) * m_p.gain);
            const int j = perm[k];
            if (m_p.decay > 0.0f) {
                y[j] = static_cast<float>(v + static_cast<double>(m_p.decay) *
                                                  (static_cast<double>(bank.state[j]) - v));
                bank.state[j] = y[j];
            } else {
                y[j] = v;
            }
        }
        for (int k = 0; k < 12; ++k) {
            bank.line[k][bank.pos[k]] = y[k] + x;
            bank.pos[k] = (bank.pos[k] + 1) % bank.line[k].size();
        }
        a = 0.0f;
        b = 0.0f;
        for (int p = 0; p < 6; ++p) {
            a = static_cast<float>(a + (static_cast<double>(y[2 * p]) - y[2 * p + 1]));
            const double pair = static_cast<double>(y[2 * p]) + y[2 * p + 1];
            b = static_cast<float>(p < 3 ? b + pair : b - pair);
        }
    }

    Params m_p;
    bool m_stereo;
    Bank m_left, m_right;
};

constexpr int BASE[12] = {601, 691, 773, 839, 919, 997, 1061, 1093, 1129, 1151, 1171, 1187};
constexpr int ROOM2[12] = {131, 151, 169, 183, 201, 217, 231, 239, 247, 251, 255, 259};

// Feeds `input` through the core in blocks of the given sizes (cycled), each block inside a
// buffer with sentinels on both sides.
std::vector<float> RunSplit(CSurrReverbFdnEffect& core, std::vector<float> left, std::vector<float>* right,
                            const std::vector<size_t>& sizes) {
    constexpr float SENTINEL = 12345.0f;
    size_t done = 0;
    for (size_t b = 0; done < left.size(); ++b) {
        const size_t n = std::min(sizes[b % sizes.size()], left.size() - done);
        std::vector<float> l(n + 2, SENTINEL), r(n + 2, SENTINEL);
        std::memcpy(l.data() + 1, left.data() + done, n * sizeof(float));
        if (right)
            std::memcpy(r.data() + 1, right->data() + done, n * sizeof(float));
        EXPECT_EQ(
            core.Process(_SOUNDDATA_{static_cast<uint32_t>(n), l.data() + 1, right ? r.data() + 1 : nullptr}),
            1);
        EXPECT_EQ(l.front(), SENTINEL);
        EXPECT_EQ(l.back(), SENTINEL);
        std::memcpy(left.data() + done, l.data() + 1, n * sizeof(float));
        if (right) {
            EXPECT_EQ(r.front(), SENTINEL);
            EXPECT_EQ(r.back(), SENTINEL);
            std::memcpy(right->data() + done, r.data() + 1, n * sizeof(float));
        }
        done += n;
    }
    return left;
}

} // namespace

TEST(SurrReverbFdnEffect, LineLengthsFollowRoomAndRate) {
    struct Case {
        float room;
        int rate;
        int lengths[12];
    } cases[] = {
        {9.151474f, 44100, {601, 691, 773, 839, 919, 997, 1061, 1093, 1129, 1151, 1171, 1187}},
        {50.0f, 44100, {3283, 3775, 4223, 4583, 5021, 5447, 5797, 5971, 6169, 6289, 6397, 6485}},
        {50.0f, 48000, {3575, 4109, 4597, 4989, 5465, 5929, 6309, 6499, 6713, 6845, 6963, 7059}},
        {2.0f, 44100, {131, 151, 169, 183, 201, 217, 231, 239, 247, 251, 255, 259}},
    };
    for (const Case& c : cases) {
        for (int channels : {1, 2}) {
            CSurrReverbFdnEffect core;
            Configure(core, channels, c.rate, {0, 0, 0, 0, c.room});
            for (int k = 0; k < 12; ++k) {
                EXPECT_EQ(core.m_LeftBank.m_nLineLength[k], c.lengths[k])
                    << c.room << " " << c.rate << " " << k;
                EXPECT_EQ(core.m_LeftBank.m_nLineLength[k] % 2, 1);
                EXPECT_NE(core.m_LeftBank.m_pLine[k], nullptr);
                EXPECT_EQ(core.m_LeftBank.m_nLinePos[k], 0);
                if (channels == 2) {
                    EXPECT_EQ(core.m_RightBank.m_nLineLength[k], c.lengths[k]);
                }
                EXPECT_EQ(core.m_RightBank.m_pLine[k] != nullptr, channels == 2);
            }
        }
    }
}

TEST(SurrReverbFdnEffect, RoomSizeClampsAndKeepsTailWhenUnchanged) {
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        float in, stored;
    } cases[] = {{1.0f, 2.0f},   {2.0f, 2.0f},   {-5.0f, 2.0f},
                 {80.0f, 50.0f}, {50.0f, 50.0f}, {49.5f, 49.5f},
                 {2.5f, 2.5f},   {inf, 50.0f},   {std::numeric_limits<float>::quiet_NaN(), 50.0f},
                 {-inf, 2.0f}};
    for (const Case& c : cases) {
        CSurrReverbFdnEffect core;
        Configure(core, 1, 44100, {0, 1, 0.5f, 0, c.in});
        EXPECT_EQ(core.m_fRoomSize, c.stored) << c.in;
    }

    // A size that clamps to the stored one keeps lines, positions, states and the tail: the core
    // goes on exactly like a twin that never saw the call.
    CSurrReverbFdnEffect core, twin;
    Configure(core, 1, 44100, {0, 12, 0.9f, 0.42f, 80.0f});
    Configure(twin, 1, 44100, {0, 12, 0.9f, 0.42f, 80.0f});
    std::vector<float> a = Noise(1000, 1), b = a;
    core.Process(_SOUNDDATA_{1000, a.data(), nullptr});
    twin.Process(_SOUNDDATA_{1000, b.data(), nullptr});
    float* line0 = core.m_LeftBank.m_pLine[0];
    core.SetRoomSize(60.0f);
    EXPECT_EQ(core.m_LeftBank.m_pLine[0], line0);
    std::vector<float> tailA(8000, 0.0f), tailB(8000, 0.0f);
    core.Process(_SOUNDDATA_{8000, tailA.data(), nullptr});
    twin.Process(_SOUNDDATA_{8000, tailB.data(), nullptr});
    EXPECT_TRUE(SameBits(tailA, tailB));
    EXPECT_NE(tailA[7000], 0.0f);

    // A new size rebuilds zero-filled lines at position 0 and keeps the low-pass states.
    float states[12];
    std::memcpy(states, core.m_LeftBank.m_fLowpassState, sizeof states);
    core.SetRoomSize(2.0f);
    EXPECT_EQ(core.m_fRoomSize, 2.0f);
    for (int k = 0; k < 12; ++k) {
        EXPECT_EQ(core.m_LeftBank.m_nLinePos[k], 0);
        EXPECT_EQ(core.m_LeftBank.m_fLowpassState[k], states[k]);
        for (int i = 0; i < ROOM2[k]; ++i)
            ASSERT_EQ(core.m_LeftBank.m_pLine[k][i], 0.0f);
    }
}

TEST(SurrReverbFdnEffect, ImpulseReachesOutputAfterShortestLine) {
    struct Case {
        float decay, gain, wet, expected; // expected: -(1 - c) g wet / 12 with its float rounding
    } cases[] = {
        {0.42f, 0.86f, 1.84f, -0x1.3945e6p-4f},
        {0.0f, 0.5f, 12.0f, -0.5f},
        {0.5f, 0.75f, 3.0f, -0.09375f},
    };
    for (const Case& c : cases) {
        for (int rate : {44100, 48000}) {
            CSurrReverbFdnEffect core;
            Configure(core, 1, rate, {0, c.wet, c.gain, c.decay, 9.151474f});
            const int n0 = core.m_LeftBank.m_nLineLength[0];
            std::vector<float> x(n0 + 1, 0.0f);
            x[0] = 1.0f;
            core.Process(_SOUNDDATA_{static_cast<uint32_t>(x.size()), x.data(), nullptr});
            for (int i = 0; i < n0; ++i)
                ASSERT_EQ(x[i], 0.0f) << i;
            EXPECT_EQ(x[n0], c.expected);
            EXPECT_NEAR(x[n0], -(1 - c.decay) * c.gain * c.wet / 12, 1e-7);
        }
    }
}

TEST(SurrReverbFdnEffect, DryOnlyAndSilentNetwork) {
    const std::vector<float> in = Noise(9000, 2);
    {
        CSurrReverbFdnEffect core; // dry 1, wet 0: unchanged
        Configure(core, 1, 44100, {1, 0, 0.86f, 0.42f, 4});
        std::vector<float> x = in;
        core.Process(_SOUNDDATA_{static_cast<uint32_t>(x.size()), x.data(), nullptr});
        EXPECT_TRUE(SameBits(x, in));
    }
    {
        CSurrReverbFdnEffect core; // g 0: the lines carry only the input, nothing mixes back
        Configure(core, 1, 44100, {0, 12, 0, 0, 4});
        std::vector<float> x = in;
        core.Process(_SOUNDDATA_{static_cast<uint32_t>(x.size()), x.data(), nullptr});
        for (float v : x)
            ASSERT_EQ(v, 0.0f);
    }
    {
        CSurrReverbFdnEffect core; // no room size yet: dry part only
        tWAVEFORMATEX f = Format(44100, 2);
        core.Initialize(&f);
        core.SetDry(0.5f);
        std::vector<float> l = in, r = in;
        EXPECT_EQ(core.Process(_SOUNDDATA_{static_cast<uint32_t>(l.size()), l.data(), r.data()}), 1);
        for (size_t i = 0; i < in.size(); ++i)
            ASSERT_EQ(l[i], in[i] * 0.5f);
        EXPECT_TRUE(SameBits(l, r));
    }
}

// The fast core against the plain model, over long noise in random blocks (including empty,
// tiny, the largest block, and blocks longer than every line and the scratch buffers).
TEST(SurrReverbFdnEffect, MatchesPlainModelOverRandomBlocks) {
    struct Case {
        int channels;
        const int* lengths;
        float room;
        float decay;
    } cases[] = {
        {1, ROOM2, 2.0f, 0.42f}, {1, BASE, 9.151474f, 0.0f}, {1, ROOM2, 2.0f, -1.0f},
        {2, ROOM2, 2.0f, 0.42f}, {2, BASE, 9.151474f, 0.0f},
    };
    std::mt19937 rng(7);
    for (const Case& c : cases) {
        const Params p{0.3f, 1.84f, 0.86f, c.decay, c.room};
        const std::vector<float> inL = Noise(60000, 3), inR = Noise(60000, 4);
        std::vector<float> refL = inL, refR = inR;
        ReferenceCore ref(c.lengths, c.channels == 2, p);
        ref.Process(refL.data(), refR.data(), refL.size());

        std::vector<std::vector<size_t>> splits = {{0, 1, 7, 31, 4095, 4096}, {60000}, {5000, 259, 3}};
        std::vector<size_t> random;
        for (int i = 0; i < 64; ++i)
            random.push_back(std::uniform_int_distribution<size_t>(0, 4500)(rng));
        splits.push_back(random);
        for (const auto& sizes : splits) {
            CSurrReverbFdnEffect core;
            Configure(core, c.channels, 44100, p);
            std::vector<float> r = inR;
            const std::vector<float> l = RunSplit(core, inL, c.channels == 2 ? &r : nullptr, sizes);
            EXPECT_TRUE(SameBits(l, refL))
                << c.channels << " " << c.room << " " << c.decay << " " << sizes[0];
            if (c.channels == 2) {
                EXPECT_TRUE(SameBits(r, refR));
            }
        }
    }
}

TEST(SurrReverbFdnEffect, TwoChannelLeftOnlyMatchesOneChannel) {
    const Params p{0.5f, 1.84f, 0.86f, 0.42f, 5.0f};
    const std::vector<float> in = Noise(20000, 5);
    CSurrReverbFdnEffect mono, stereo;
    Configure(mono, 1, 48000, p);
    Configure(stereo, 2, 48000, p);
    std::vector<float> m = in, l = in, r(in.size(), 0.0f);
    mono.Process(_SOUNDDATA_{static_cast<uint32_t>(m.size()), m.data(), nullptr});
    stereo.Process(_SOUNDDATA_{static_cast<uint32_t>(l.size()), l.data(), r.data()});
    EXPECT_TRUE(SameBits(l, m));
    bool rightHearsLeft = false;
    for (float v : r)
        rightHearsLeft |= v != 0.0f;
    EXPECT_TRUE(rightHearsLeft);
}

// Smooth mode: gliding levels never touch the network, so once the glide is over the core gives
// exactly the samples of a jumping core that took the same change; a new room size glides the line
// lengths to those a core built for that room has, and the core then leaves its gliding state.
TEST(SurrReverbFdnEffect, GlidesEndInTheJumpingCoresState) {
    const int glide = 960;
    for (int channels : {1, 2}) {
        SCOPED_TRACE(channels);
        const Params p{0.3f, 1.8f, 0.86f, 0.42f, 5.0f};
        CSurrReverbFdnEffect jumping, smooth;
        smooth.SetGlide(glide);
        Configure(jumping, channels, 48000, p);
        Configure(smooth, channels, 48000, p);
        const std::vector<float> left = Noise(12000, 3u), right = Noise(12000, 4u);
        std::vector<float> a[2] = {left, right}, b[2] = {left, right};
        const auto run = [&](CSurrReverbFdnEffect& core, std::vector<float>* x, size_t from, size_t to) {
            for (size_t at = from; at < to; at += 700) {
                const uint32_t n = static_cast<uint32_t>(std::min<size_t>(700, to - at));
                core.Process(_SOUNDDATA_{n, x[0].data() + at, channels == 2 ? x[1].data() + at : nullptr});
            }
        };
        run(jumping, a, 0, 5000);
        run(smooth, b, 0, 5000);
        for (CSurrReverbFdnEffect* core : {&jumping, &smooth}) {
            core->SetWet(1.0f);
            core->SetDry(0.1f);
        }
        EXPECT_TRUE(smooth.Gliding());
        run(jumping, a, 5000, 12000);
        run(smooth, b, 5000, 12000);
        EXPECT_FALSE(smooth.Gliding());
        for (int c = 0; c < channels; ++c) {
            EXPECT_FALSE(std::equal(a[c].begin() + 5000, a[c].begin() + 5000 + glide, b[c].begin() + 5000));
            EXPECT_TRUE(SameBits({a[c].begin() + 5000 + glide, a[c].end()},
                                 {b[c].begin() + 5000 + glide, b[c].end()}));
        }

        CSurrReverbFdnEffect built;
        Configure(built, channels, 48000, Params{p.dry, p.wet, p.gain, p.decay, 5.5f});
        smooth.SetRoomSize(5.5f);
        std::vector<float> x[2] = {Noise(4000, 5u), Noise(4000, 6u)};
        run(smooth, x, 0, 4000);
        EXPECT_FALSE(smooth.Gliding());
        for (int k = 0; k < CSurrReverbFdnEffect::LINES; ++k) {
            EXPECT_EQ(smooth.m_LeftBank.m_nLineLength[k], built.m_LeftBank.m_nLineLength[k]);
            EXPECT_GT(smooth.LineCapacity(), built.m_LeftBank.m_nLineLength[k]);
        }
        double energy = 0.0;
        for (float v : x[0])
            energy += static_cast<double>(v) * v;
        EXPECT_TRUE(std::isfinite(energy));
        EXPECT_GT(energy, 1.0);
    }
}

// A core's lines, taken when it is replaced, must come back silent wherever they were written (by
// the core's own blocks, by its rings while the lengths glide, or by the lockstep engine handing
// samples back), so that new lines built in the block start as calloc'd ones do.
TEST(SurrReverbFdnEffect, TakenLinesAreSilentAndServeTheNextLinesAsNewOnes) {
    const Params p{0.2f, 1.8f, 0.9f, 0.42f, 9.0f};
    const std::vector<float> input = Noise(30000, 21u);
    const auto play = [&](CSurrReverbFdnEffect& core, size_t from, size_t to) {
        std::vector<float> x(input.begin() + static_cast<long>(from), input.begin() + static_cast<long>(to));
        for (size_t at = 0; at < x.size(); at += 1500) {
            const uint32_t n = static_cast<uint32_t>(std::min<size_t>(1500, x.size() - at));
            core.Process(_SOUNDDATA_{n, x.data() + at, nullptr});
        }
        return x;
    };
    const auto expectSilent = [](halvane::History& lines, const char* how) {
        ASSERT_FALSE(lines.Empty()) << how;
        halvane::UnpoisonForSanitizer(lines.Data(), sizeof(float) * static_cast<size_t>(lines.Size()));
        const float* begin = lines.Data();
        const float* end = begin + lines.Size();
        EXPECT_EQ(std::find_if(begin, end, [](float v) { return v != 0.0f; }), end) << how;
    };

    for (bool smooth : {false, true}) {
        SCOPED_TRACE(smooth ? "smooth mode" : "exact mode");
        CSurrReverbFdnEffect used;
        if (smooth)
            used.SetGlide(960);
        Configure(used, 1, 48000, p);
        EXPECT_FALSE(used.LinesWritten());
        play(used, 0, 12000);
        used.SetRoomSize(14.0f); // smooth: the lines glide as rings over their whole capacity
        play(used, 12000, 20000);
        EXPECT_TRUE(used.LinesWritten());
        halvane::History lines = used.TakeLines();
        expectSilent(lines, "played on its own");

        // A core built in that block plays as one with new lines.
        CSurrReverbFdnEffect reused, fresh;
        for (CSurrReverbFdnEffect* core : {&reused, &fresh})
            if (smooth)
                core->SetGlide(960);
        reused.GiveLines(std::move(lines));
        Configure(reused, 1, 48000, Params{p.dry, p.wet, p.gain, p.decay, 6.0f});
        Configure(fresh, 1, 48000, Params{p.dry, p.wet, p.gain, p.decay, 6.0f});
        const std::vector<float> expected = play(fresh, 0, 20000);
        EXPECT_TRUE(SameBits(play(reused, 0, 20000), expected));
    }

    // Cores run by the lockstep engine: their own lines hold samples only once handed back.
    std::vector<CSurrReverbFdnEffect> cores(4);
    CSurrReverbFdnEffect* table[CSurrReverbLockstep::MAX_LANES] = {};
    for (size_t c = 0; c < cores.size(); ++c) {
        Configure(cores[c], 1, 48000, p);
        table[c] = &cores[c];
    }
    CSurrReverbLockstep engine;
    std::vector<std::vector<float>> x(cores.size(), std::vector<float>(input.begin(), input.begin() + 3000));
    std::vector<float*> channels;
    for (auto& channel : x)
        channels.push_back(channel.data());
    ASSERT_TRUE(engine.Process(table, channels.data(), static_cast<int>(cores.size()), 3000));
    engine.HandBack(table);
    for (CSurrReverbFdnEffect& core : cores) {
        EXPECT_TRUE(core.LinesWritten());
        halvane::History lines = core.TakeLines();
        expectSilent(lines, "handed back by the lockstep engine");
    }
}
