// The lockstep engine against the cores run one by one: every instruction set the processor has,
// every lane count, damping on and off, levels and room size changed between blocks of random
// lengths, and the state handed back to the cores.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "nodes/NodeTestSupport.h"
#include "reverb/SurrReverbEffect.h"
#include "reverb/SurrReverbFdnEffect.h"
#include "reverb/SurrReverbLockstep.h"
#include "support/Signals.h"

namespace {

using Isa = CSurrReverbLockstep::Isa;
using Channels = std::vector<std::vector<float>>;

// Restores automatic selection when a test ends, whatever it forced.
struct IsaRestorer {
    ~IsaRestorer() { CSurrReverbLockstep::Force(Isa::Auto); }
};

std::vector<Isa> AvailableIsas() {
    std::vector<Isa> isas;
    for (Isa isa : {Isa::Sse2, Isa::Avx2, Isa::Avx512})
        if (CSurrReverbLockstep::Force(isa) == isa)
            isas.push_back(isa);
    CSurrReverbLockstep::Force(Isa::Auto);
    return isas;
}

const char* Name(Isa isa) {
    return isa == Isa::Sse2 ? "sse2" : (isa == Isa::Avx2 ? "avx2" : "avx512");
}

// Block lengths: the edge lengths and random ones, longer than one node piece included.
int NextBlock(std::mt19937& rng) {
    static constexpr int EDGES[] = {0, 1, 7, 31, 4095, 4096};
    if (rng() % 3 == 0)
        return EDGES[rng() % 6];
    return 1 + static_cast<int>(rng() % 6000);
}

struct Levels {
    float dry, wet, absorb, decay, width, depth;
};

// Level sets the node goes through between blocks; decay 0 and a negative decay switch damping
// off, and the room sizes rebuild the lines mid-tail.
constexpr Levels STEPS[] = {
    {0.0f, 1.84f, 0.14f, 0.42f, 3.0f, 3.0f},  {0.3f, 1.2f, 0.14f, 0.42f, 3.0f, 3.0f},
    {0.0f, 1.84f, 0.05f, 0.0f, 3.0f, 3.0f},   {0.5f, 2.0f, 0.3f, 0.9f, 4.0f, 2.5f},
    {0.0f, 0.7f, 0.2f, -0.1f, 4.0f, 2.5f},    {0.25f, 1.84f, 0.14f, 0.42f, 60.0f, 60.0f},
    {0.0f, 1.84f, 0.0f, 0.42f, 60.0f, 60.0f},
};

void Apply(CSurrReverbEffect& node, const Levels& l) {
    node.SetRevDry(l.dry);
    node.SetRevWet(l.wet);
    node.SetRevAbsorb(l.absorb);
    node.SetRevHFDecay(l.decay);
    node.UpdateRoomSize(l.width, l.depth);
}

// The plain twin: one core per channel, given the same levels the node hands its cores.
void Apply(std::vector<CSurrReverbFdnEffect>& cores, const Levels& l) {
    for (CSurrReverbFdnEffect& core : cores) {
        core.SetDry(l.dry);
        core.SetWet(l.wet);
        core.SetFeedbackGain(1.0f - l.absorb);
        core.SetHFDecay(l.decay);
        core.SetRoomSize(static_cast<float>((static_cast<double>(l.width) + l.depth) * 0.5));
    }
}

void ExpectSameCores(CSurrReverbEffect& node, std::vector<CSurrReverbFdnEffect>& twin) {
    node.SyncCores();
    for (size_t c = 0; c < twin.size(); ++c) {
        const FdnBank& a = node.m_pFdn[c]->m_LeftBank;
        const FdnBank& b = twin[c].m_LeftBank;
        for (int k = 0; k < 12; ++k) {
            ASSERT_EQ(a.m_nLineLength[k], b.m_nLineLength[k]);
            EXPECT_EQ(a.m_nLinePos[k], b.m_nLinePos[k]);
            EXPECT_EQ(std::memcmp(&a.m_fLowpassState[k], &b.m_fLowpassState[k], sizeof(float)), 0);
            EXPECT_EQ(std::memcmp(a.m_pLine[k], b.m_pLine[k], sizeof(float) * a.m_nLineLength[k]), 0)
                << "channel " << c << " line " << k;
        }
    }
}

// The node against its cores run one by one: `workers` 1 splits the network loop of blocks of 256
// samples or more between the calling thread and a worker, six lines each.
void ExpectNodeMatchesCores(Isa isa, int code, int workers) {
    SCOPED_TRACE(testing::Message() << Name(isa) << " layout " << code << " workers " << workers);
    ASSERT_EQ(CSurrReverbLockstep::Force(isa), isa);
    CSurrReverbEffect node;
    node.SetSpeakersConfig(code);
    Apply(node, STEPS[0]);
    tWAVEFORMATEX f = Format(48000);
    node.Initialize(&f);
    node.SetWorkers(workers, nullptr);
    const int channels = node.m_nSpeakers;
    std::vector<CSurrReverbFdnEffect> twin(channels);
    for (CSurrReverbFdnEffect& core : twin)
        core.Initialize(&f);
    Apply(twin, STEPS[0]);

    std::mt19937 rng(static_cast<unsigned>(code) * 7u + static_cast<unsigned>(isa));
    const int total = 60000;
    const Channels input = RandomChannels(channels, total, static_cast<unsigned>(code));
    int step = 0;
    for (int done = 0; done < total;) {
        const int n = std::min(NextBlock(rng), total - done);
        Block block(input, done, n);
        ASSERT_EQ(node.Process(&block), 1);
        for (int c = 0; c < channels && n > 0; ++c) {
            std::vector<float> expected(input[c].begin() + done, input[c].begin() + done + n);
            twin[c].Process(_SOUNDDATA_{static_cast<uint32_t>(n), expected.data(), nullptr});
            ASSERT_EQ(std::memcmp(block.Channels[c], expected.data(), sizeof(float) * n), 0)
                << "channel " << c << " at sample " << done << " (block " << n << ")";
        }
        done += n;
        if (rng() % 4 == 0) {
            step = (step + 1) % static_cast<int>(sizeof(STEPS) / sizeof(STEPS[0]));
            Apply(node, STEPS[step]);
            Apply(twin, STEPS[step]);
        }
        if (workers > 0 && rng() % 5 == 0)
            node.SetWorkers(rng() % 2 == 0 ? 1 : 0, nullptr); // the lines change hands mid-tail
    }
    ExpectSameCores(node, twin);
}

} // namespace

// Every layout (2, 4, 5, 6, 7 and 8 speaker channels), cross-feed off so that the node's output is
// its cores' output alone.
TEST(SurrReverbLockstep, NodeMatchesCoresOneByOneForEveryLayoutAndInstructionSet) {
    IsaRestorer restore;
    for (Isa isa : AvailableIsas())
        for (int code : {3, 51, 63, 255, 271, 1595, 1599})
            ExpectNodeMatchesCores(isa, code, 0);
}

TEST(SurrReverbLockstep, WorkerThreadSplitMatchesCoresOneByOne) {
    IsaRestorer restore;
    struct SplitRestorer {
        bool before = CSurrReverbLockstep::SplitAlways(true);
        ~SplitRestorer() { CSurrReverbLockstep::SplitAlways(before); }
    } always;
    for (Isa isa : AvailableIsas())
        for (int code : {51, 63, 271, 1599})
            ExpectNodeMatchesCores(isa, code, 1);
}

// A core whose level differs makes the node run its cores one by one (after the engine hands the
// samples back); once the levels agree again the engine takes over where the cores are.
TEST(SurrReverbLockstep, FallsBackToSingleCoresAndTakesOverAgain) {
    CSurrReverbEffect node;
    node.SetSpeakersConfig(63);
    Apply(node, STEPS[0]);
    tWAVEFORMATEX f = Format(44100);
    node.Initialize(&f);
    std::vector<CSurrReverbFdnEffect> twin(6);
    for (CSurrReverbFdnEffect& core : twin)
        core.Initialize(&f);
    Apply(twin, STEPS[0]);
    const Channels input = RandomChannels(6, 3 * 5000, 5);
    for (int part = 0; part < 3; ++part) {
        if (part == 1) {
            node.m_pFdn[4]->SetWet(0.5f);
            twin[4].SetWet(0.5f);
        } else if (part == 2) {
            node.m_pFdn[4]->SetWet(1.84f);
            twin[4].SetWet(1.84f);
        }
        Block block(input, part * 5000, 5000);
        for (int c = 0; c < 6; ++c)
            twin[c].Process(_SOUNDDATA_{5000, const_cast<float*>(input[c].data()) + part * 5000, nullptr});
        node.Process(&block);
        for (int c = 0; c < 6; ++c)
            EXPECT_EQ(std::memcmp(block.Channels[c], input[c].data() + part * 5000, sizeof(float) * 5000), 0)
                << "part " << part << " channel " << c;
    }
    ExpectSameCores(node, twin);
}

// Positions moved on in one step land where the core's runs, cut at every line's end, leave them:
// random positions (at a line's end or past it too), lengths and block lengths from 0 to several
// times the longest line.
TEST(SurrReverbLockstep, PositionsMoveOnAsTheCoresRunsLeaveThem) {
    constexpr int L = CSurrReverbFdnEffect::LINES;
    std::mt19937 rng(41);
    for (int trial = 0; trial < 20000; ++trial) {
        int32_t length[L];
        int32_t base = 1 + static_cast<int32_t>(rng() % 300);
        for (int k = 0; k < L; ++k)
            length[k] = base + static_cast<int32_t>(rng() % 200) * (k > 0); // line 0 the shortest
        int32_t pos[L], expected[L];
        for (int k = 0; k < L; ++k)
            expected[k] = pos[k] = static_cast<int32_t>(rng() % (length[k] + 2)); // up to one past
        const int32_t n = static_cast<int32_t>(rng() % 2000);
        for (int32_t done = 0; done < n;) {
            const int32_t run = std::min(n - done, CSurrReverbFdnEffect::SamplesUntilWrap(length, expected));
            for (int k = 0; k < L; ++k)
                expected[k] += run;
            done += run;
        }
        CSurrReverbLockstep::AdvancePositions(length, pos, n);
        for (int k = 0; k < L; ++k)
            ASSERT_EQ(pos[k], expected[k])
                << "trial " << trial << " line " << k << " length " << length[k] << " n " << n;
    }
}
