// The realtime entry allocates nothing in steady state: every global allocation function of this
// program is replaced by a counting one, and the counts are read around thousands of blocks.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "E2eSupport.h"
#include "Halvane.h"

// A Windows DLL carries its own C++ runtime and operator new, which a program cannot replace, so
// the library's allocations are counted on the other platforms only.
#if !defined(_WIN32)

#include "support/CountingAllocator.h"

using namespace e2e;
using counting::CountDuring;
using counting::Counts;

namespace {

constexpr int LAYOUTS[] = {3, 51, 63, 255, 271, 1595, 1599};

struct GraphSetup {
    const char* name;
    bool reverb;
    bool crossFeed;
    bool highPass;
    bool moveOff;
};

constexpr GraphSetup SETUPS[] = {
    {"defaults", true, false, false, true},
    {"cross-feed and high-pass", true, true, true, true},
    {"dry, no delays", false, false, true, false},
};

// Block lengths a host may use, from one frame to more than one graph block.
constexpr int BLOCKS[] = {1, 7, 31, 64, 128, 480, 1, 2, 1023, 4095, 4096, 4097, 9000};
constexpr int LONGEST = 9000;

struct Host {
    std::vector<std::vector<float>> in, out;
    std::vector<const float*> inPointers;
    std::vector<float*> outPointers;

    Host(int inputs, int outputs)
        : in(Noise(inputs, LONGEST, 11u + static_cast<unsigned>(inputs))),
          out(outputs, std::vector<float>(LONGEST)) {
        for (auto& channel : in)
            inPointers.push_back(channel.data());
        for (auto& channel : out)
            outPointers.push_back(channel.data());
    }

    int Run(CSurroundEffect& effect, int n) {
        return effect.ProcessPlanar(inPointers.data(), static_cast<int>(in.size()), outPointers.data(),
                                    static_cast<int>(out.size()), n);
    }
};

void Build(CSurroundEffect& effect, int code, int inputs, const GraphSetup& setup) {
    effect.SetSpeakersConfig(code, false);
    effect.SetReverb(setup.reverb);
    effect.SetProcessAdvance(setup.crossFeed);
    effect.SetLowPass(setup.highPass);
    effect.SetMoveOff(setup.moveOff);
    tWAVEFORMATEX format = Format(inputs, 48000);
    effect.Initialize(&format);
    // Initialize routes the splitter from move-off; the high-pass stage joins with its own setter.
    effect.SetLowPass(setup.highPass);
}

} // namespace

TEST(RealtimeAllocation, CountersSeeEveryAllocationFunction) {
    const Counts counts = CountDuring([] {
        // Through volatile pointers, so that no pair of new and delete is folded away.
        int* volatile one = new int(1);
        delete one;
        float* volatile three = new float[3];
        delete[] three;
        void* volatile aligned = ::operator new(8, std::align_val_t(64));
        ::operator delete(aligned, std::align_val_t(64));
        void* volatile quiet = ::operator new(8, std::nothrow);
        ::operator delete(quiet, std::nothrow);
        std::vector<double> grown(100);
        grown.resize(1000);
#if HALVANE_TEST_COUNT_MALLOC
        void* volatile p = std::malloc(16);
        std::free(p);
#endif
    });
    const long c = HALVANE_TEST_COUNT_MALLOC ? 1 : 0;
    EXPECT_EQ(counts.allocations, 6 + c);
    EXPECT_EQ(counts.releases, 6 + c);

    // Allocations inside the shared library reach the same counters: a long Process call builds a
    // full-length output record (6 channels) and fresh block buffers (2 channels per block).
    CSurroundEffect effect;
    tWAVEFORMATEX format = Format(2, 48000);
    effect.Initialize(&format);
    _SOUNDDATAEX_ record;
    record.Allocate(2, 5000);
    record.Silence();
    const Counts library = CountDuring([&] { EXPECT_EQ(effect.Process(&record), 1); });
    EXPECT_GE(library.allocations, 6 + 2 * 2);
    record.Release();
}

TEST(RealtimeAllocation, SteadyStateBlocksAllocateNothingForEveryLayout) {
    for (int code : LAYOUTS) {
        for (int inputs : {1, 2}) {
            for (const GraphSetup& setup : SETUPS) {
                SCOPED_TRACE(testing::Message() << code << "/" << inputs << "/" << setup.name);
                CSurroundEffect effect;
                Build(effect, code, inputs, setup);
                Host host(inputs, effect.GetOutputChannels() + 1);
                // One pass over every length first: whatever grows on first use grows here.
                for (int n : BLOCKS)
                    ASSERT_EQ(host.Run(effect, n), 1);
                int failures = 0;
                double energy = 0.0;
                const Counts counts = CountDuring([&] {
                    for (int block = 0; block < 2000; ++block) {
                        const int n = BLOCKS[block % (sizeof(BLOCKS) / sizeof(BLOCKS[0]) - 4)];
                        failures += host.Run(effect, n) != 1;
                        energy += std::fabs(host.out[0][static_cast<size_t>(n) - 1]);
                    }
                    for (int n : {0, 4095, 4096, 4097, 9000})
                        failures += host.Run(effect, n) != 1;
                });
                EXPECT_EQ(failures, 0);
                EXPECT_EQ(counts.allocations, 0);
                EXPECT_EQ(counts.releases, 0);
                EXPECT_GT(energy, 0.0) << "the blocks carried sound";
            }
        }
    }
}

// Settings that only change gains, levels, reverb loop values or routing reach the running graph without
// allocating, so a host may move them from block to block.
TEST(RealtimeAllocation, LightParameterChangesBetweenBlocksAllocateNothing) {
    for (int code : {63, 1599}) {
        for (int inputs : {1, 2}) {
            SCOPED_TRACE(testing::Message() << code << "/" << inputs);
            CSurroundEffect effect;
            Build(effect, code, inputs, SETUPS[1]);
            Host host(inputs, effect.GetOutputChannels());
            // Every setter once, so that any routing that builds something on first use has done so.
            const auto change = [&](int i) {
                effect.SetVolume(0.5f + (i % 5) * 0.1f, true);
                effect.SetLFEVolume(0.25f * (i % 4), true);
                effect.SetSoundPos(0.25f + (i % 9) * 0.3f, 0.5f + (i % 4) * 0.6f, true);
                effect.SetRevWet(1.0f + (i % 4) * 0.2f);
                effect.SetRevDry(0.1f * (i % 3));
                effect.SetReverb(i % 7 != 0);
                effect.SetProcessAdvance(i % 2 == 0);
                effect.SetLowPass(i % 3 == 0);
                effect.SetMoveOff(i % 5 != 0);
                effect.SetInverse(i % 2 == 1);
                effect.SetRevAbsorb(0.1f + 0.01f * (i % 5));
                effect.SetRevHFDecay(0.3f + 0.01f * (i % 5));
                effect.SetDryOutVolume(0.5f);
                effect.SetVolumeChannel(HALVANE_FC, 0.5f + 0.1f * (i % 3));
                effect.SetVolumeChannel(HALVANE_LFE, 1.0f);
            };
            for (int i = 0; i < 30; ++i) {
                change(i);
                ASSERT_EQ(host.Run(effect, 256), 1);
            }
            int failures = 0;
            const Counts counts = CountDuring([&] {
                for (int i = 0; i < 3000; ++i) {
                    change(i);
                    failures += host.Run(effect, 1 + (i * 37) % 300) != 1;
                }
            });
            EXPECT_EQ(failures, 0);
            EXPECT_EQ(counts.allocations, 0);
            EXPECT_EQ(counts.releases, 0);
        }
    }
}

// In the smooth mode the heavy settings join them: a new room size glides inside lines sized for the
// largest room, a new cut-off glides the filter taps in place.
TEST(RealtimeAllocation, SmoothModeChangesOfEverySettingAllocateNothing) {
    for (int code : {63, 1599}) {
        for (int inputs : {1, 2}) {
            SCOPED_TRACE(testing::Message() << code << "/" << inputs);
            CSurroundEffect effect;
            effect.SetSmoothing(true);
            Build(effect, code, inputs, SETUPS[1]);
            Host host(inputs, effect.GetOutputChannels());
            const auto change = [&](int i) {
                effect.SetSoundPos(0.25f + (i % 9) * 0.3f, 0.5f + (i % 4) * 0.6f, true);
                effect.SetRoomSize(2.0f + (i % 17) * 2.5f, 3.0f + (i % 5) * 4.0f, true);
                effect.SetLFEMaxFreq(50 + (i * 13) % 150, true);
                effect.SetLowPassFreq(30 + (i * 7) % 120);
                effect.SetVolume(0.5f + (i % 5) * 0.1f, true);
                effect.SetLFEVolume(0.25f * (i % 4), true);
                effect.SetVolumeChannel(HALVANE_FC, 0.5f + 0.1f * (i % 3));
                effect.SetRevWet(1.0f + (i % 4) * 0.2f);
                effect.SetRevDry(0.1f * (i % 3));
                effect.SetRevAbsorb(0.1f + 0.01f * (i % 5));
                effect.SetRevHFDecay(0.3f + 0.01f * (i % 5));
                effect.SetReverb(i % 11 != 0);
                effect.SetLowPass(i % 3 == 0);
            };
            for (int i = 0; i < 30; ++i) {
                change(i);
                ASSERT_EQ(host.Run(effect, 256), 1);
            }
            int failures = 0;
            const Counts counts = CountDuring([&] {
                for (int i = 0; i < 2000; ++i) {
                    change(i);
                    failures += host.Run(effect, 1 + (i * 37) % 300) != 1;
                }
            });
            EXPECT_EQ(failures, 0);
            EXPECT_EQ(counts.allocations, 0);
            EXPECT_EQ(counts.releases, 0);
        }
    }
}

#endif // !defined(_WIN32)
