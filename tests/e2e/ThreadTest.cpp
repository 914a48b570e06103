// One object shared by an audio thread and a control thread, and independent objects on several
// threads. Each shared-object test proves that the calls interleaved (the control thread's rounds
// advanced between processing calls) and checks the samples, not only their shape.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <thread>

#include "E2eSupport.h"
#include "Halvane.h"

using namespace e2e;

namespace {

constexpr int BLOCK = 256;
// ThreadSanitizer makes each rebuild of the graph a hundred times dearer; the race shows within a
// few hundred rebuilds there, AddressSanitizer's use after free within a few thousand.
#if defined(__SANITIZE_THREAD__)
constexpr int REBUILDS = 400;
#else
constexpr int REBUILDS = 10000;
#endif
constexpr int CALLS = 160;

// Runs `control` in a loop on a second thread while this thread makes `calls` processing calls.
// Before each of the first calls the audio thread waits (briefly) for the control thread to finish
// a round, so the two really alternate even on a loaded machine. Returns how many processing calls
// saw the control thread's round counter move since the previous call.
long Interleave(int calls, const std::function<void(int)>& control, const std::function<void(int)>& process) {
    std::atomic<bool> done{false};
    std::atomic<long> rounds{0};
    std::thread thread([&] {
        for (int i = 0; !done; ++i) {
            control(i);
            ++rounds;
        }
    });
    long interleaved = 0, seen = 0;
    for (int c = 0; c < calls; ++c) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        while (c < 40 && rounds == seen && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        const long now = rounds;
        interleaved += now != seen;
        seen = now;
        process(c);
    }
    done = true;
    thread.join();
    return interleaved;
}

// The speaker channels of one ProcessPlanar call, 10 buffers: those past the layout come back 0.
Channels PlanarBlock(CSurroundEffect& effect, const Channels& input, int call) {
    Channels part;
    for (const auto& channel : input)
        part.emplace_back(channel.begin() + call * BLOCK, channel.begin() + (call + 1) * BLOCK);
    return RenderPlanar(effect, part, BLOCK, 10);
}

bool Silent(const std::vector<float>& channel) {
    for (float s : channel)
        if (s != 0.0f)
            return false;
    return true;
}

bool FiniteAndBounded(const Channels& block, float bound) {
    for (const auto& channel : block)
        for (float s : channel)
            if (!std::isfinite(s) || std::fabs(s) > bound)
                return false;
    return true;
}

} // namespace

// GetOutputChannels reads the graph that Initialize frees and rebuilds; without the lock the reader
// lands in freed nodes (AddressSanitizer) or sees a half-built graph.
TEST(Thread, OutputChannelsWhileInitializeRebuildsTheGraph) {
    CSurroundEffect effect;
    effect.SetSpeakersConfig(3, false); // small layouts keep each rebuild cheap
    tWAVEFORMATEX format = Format(1, 8000);
    effect.Initialize(&format);
    std::atomic<bool> done{false};
    std::atomic<long> reads{0}, wrong{0};
    std::thread reader([&] {
        while (!done) {
            const int channels = effect.GetOutputChannels();
            if (channels != 2 && channels != 4)
                ++wrong;
            ++reads;
            std::this_thread::yield(); // lets the rebuilding thread have the lock as well
        }
    });
    long interleaved = 0;
    for (int i = 0; i < REBUILDS; ++i) {
        const long before = reads;
        effect.SetSpeakersConfig(i % 2 ? 51 : 3, false);
        effect.Initialize(&format);
        // The lock need not be fair: this thread could take it again before the waiting reader
        // wakes, rebuild after rebuild. Waiting for one read keeps the reader's calls falling
        // between the rebuilds and into the next one.
        for (int spin = 0; reads == before && spin < 100000; ++spin)
            std::this_thread::yield();
        interleaved += reads != before;
    }
    done = true;
    reader.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(interleaved, REBUILDS / 2); // the reader's calls did alternate with the rebuilds
    EXPECT_EQ(effect.GetOutputChannels(), REBUILDS % 2 ? 2 : 4);
}

// Initialize lands between blocks only: every block is either the next block of the stream the
// audio thread was rendering or the first block of a fresh one, sample for sample. The restarts
// seen prove that the rebuilds interleaved with the processing.
TEST(Thread, InitializeWhileProcessingRestartsTheStreamBetweenBlocks) {
    for (bool smooth : {false, true}) {
        const Channels input = Noise(2, BLOCK * CALLS, 21);
        Channels repeated; // the same block every call, so that a fresh stream is recognisable
        for (const auto& channel : input)
            repeated.emplace_back(channel.begin(), channel.begin() + BLOCK);
        Channels looped(2);
        for (int c = 0; c < CALLS; ++c)
            for (int j = 0; j < 2; ++j)
                looped[j].insert(looped[j].end(), repeated[j].begin(), repeated[j].end());

        tWAVEFORMATEX format = Format(2, 48000);
        CSurroundEffect reference;
        reference.SetSmoothing(smooth);
        reference.Initialize(&format);
        std::vector<Channels> expected;
        for (int c = 0; c < CALLS; ++c)
            expected.push_back(PlanarBlock(reference, looped, c));

        CSurroundEffect effect;
        effect.SetSmoothing(smooth);
        effect.Initialize(&format);
        std::atomic<long> wrongChannels{0};
        int position = -1, restarts = 0, broken = 0;
        const long interleaved = Interleave(
            CALLS,
            [&](int) {
                tWAVEFORMATEX f = Format(2, 48000);
                effect.Initialize(&f);
                if (effect.GetOutputChannels() != 6)
                    ++wrongChannels;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            },
            [&](int c) {
                const Channels block = PlanarBlock(effect, looped, c);
                if (position + 1 < CALLS && block == expected[position + 1]) {
                    ++position;
                } else if (block == expected[0]) {
                    position = 0;
                    ++restarts;
                } else {
                    ++broken;
                }
            });
        EXPECT_EQ(broken, 0) << "smooth " << smooth;
        EXPECT_EQ(wrongChannels, 0);
        EXPECT_GT(restarts, 0) << "no rebuild landed between blocks";
        EXPECT_GT(interleaved, 10);
    }
}

// Setters that hand the running graph the values it already has change nothing: the stream comes
// out bit for bit as without them, in both modes.
TEST(Thread, SettersRepeatingTheirValuesWhileProcessingLeaveTheSamplesAlone) {
    for (bool smooth : {false, true}) {
        const Channels input = Noise(1, BLOCK * CALLS, 22);
        auto configure = [smooth](CSurroundEffect& fx) {
            fx.SetSmoothing(smooth);
            fx.SetRoomSize(5.0f, 4.0f, true);
            fx.SetSoundPos(1.0f, 3.0f, true);
            fx.SetLowPass(true);
            fx.SetVolume(0.75f, true);
            // Without the smooth mode a cut-off set again restarts its filter from silence.
            if (smooth) {
                fx.SetLFEMaxFreq(120, true);
                fx.SetLowPassFreq(90);
            }
        };
        tWAVEFORMATEX format = Format(1, 44100);
        CSurroundEffect reference;
        configure(reference);
        reference.Initialize(&format);
        reference.SetLowPass(true);
        Channels expected(10);
        for (int c = 0; c < CALLS; ++c) {
            const Channels block = PlanarBlock(reference, input, c);
            for (int k = 0; k < 10; ++k)
                expected[k].insert(expected[k].end(), block[k].begin(), block[k].end());
        }

        CSurroundEffect effect;
        configure(effect);
        effect.Initialize(&format);
        effect.SetLowPass(true);
        Channels output(10);
        const long interleaved = Interleave(
            CALLS, [&](int) { configure(effect); },
            [&](int c) {
                const Channels block = PlanarBlock(effect, input, c);
                for (int k = 0; k < 10; ++k)
                    output[k].insert(output[k].end(), block[k].begin(), block[k].end());
            });
        EXPECT_GT(interleaved, 10);
        for (int k = 0; k < 10; ++k)
            EXPECT_TRUE(SameBits(output[k], expected[k])) << "channel " << k << ", smooth " << smooth;
    }
}

// Layout, filter cut-offs, room, mode and routing change under the audio thread, which alternates
// Process and ProcessPlanar: every block has one of the two layouts' channel counts, the channels
// past it are silent, the samples are finite and bounded. Afterwards the object still renders
// exactly what a fresh one does.
TEST(Thread, ChangingSettersWhileProcessingKeepEveryBlockWhole) {
    const Channels input = Noise(2, BLOCK * CALLS, 23);
    CSurroundEffect effect;
    tWAVEFORMATEX format = Format(2, 48000);
    effect.Initialize(&format);
    std::atomic<long> wrongChannels{0};
    int badBlocks = 0;
    const long interleaved = Interleave(
        CALLS,
        [&](int i) {
            effect.SetSpeakersConfig(i % 2 ? 1599 : 63, true);
            effect.SetLFEMaxFreq(60 + 10 * (i % 7), true);
            effect.SetLowPassFreq(50 + 15 * (i % 5));
            effect.SetLowPass(i % 3 == 0);
            effect.SetRoomSize(3.0f + (i % 4), 2.0f + (i % 3), true);
            effect.SetSoundPos(0.5f + 0.2f * (i % 5), 1.0f, true);
            effect.SetSmoothing(i % 4 < 2);
            const int channels = effect.GetOutputChannels();
            if (channels != 6 && channels != 8)
                ++wrongChannels;
        },
        [&](int c) {
            Channels block;
            if (c % 2) {
                block = PlanarBlock(effect, input, c);
            } else {
                Channels part;
                for (const auto& channel : input)
                    part.emplace_back(channel.begin() + c * BLOCK, channel.begin() + (c + 1) * BLOCK);
                block = ProcessOnce(effect, part);
            }
            // Process hands back one channel per speaker; ProcessPlanar zero-fills the buffers
            // past the layout (a fresh layout may leave a speaker silent for a block while its
            // delay line fills, so only the two buffers no layout here reaches are known).
            const bool wellFormed =
                c % 2 ? Silent(block[8]) && Silent(block[9]) : block.size() == 6u || block.size() == 8u;
            if (!wellFormed || !FiniteAndBounded(block, 50.0f))
                ++badBlocks;
        });
    EXPECT_GT(interleaved, 10);
    EXPECT_EQ(wrongChannels, 0);
    EXPECT_EQ(badBlocks, 0);

    effect.SetSmoothing(false);
    effect.SetSpeakersConfig(63, false);
    effect.SetLFEMaxFreq(100, false);
    effect.SetLowPassFreq(80);
    effect.SetLowPass(false);
    effect.SetRoomSize(3.0f, 3.0f, false);
    effect.SetSoundPos(1.5f, 1.5f, false);
    effect.Initialize(&format);
    CSurroundEffect fresh;
    fresh.Initialize(&format);
    EXPECT_EQ(RenderPlanar(effect, input, 1000, 6), RenderPlanar(fresh, input, 1000, 6));
}

TEST(Thread, IndependentObjectsProcessInParallelLikeOneAtATime) {
    const Channels input = Noise(2, 9000, 9);
    CSurroundEffect reference;
    tWAVEFORMATEX format = Format(2, 48000);
    reference.Initialize(&format);
    const Channels expected = ProcessInBlocks(reference, input, 1000);
    std::vector<Channels> results(4);
    std::vector<std::thread> threads;
    for (auto& result : results)
        threads.emplace_back([&] {
            CSurroundEffect effect;
            tWAVEFORMATEX f = Format(2, 48000);
            effect.Initialize(&f);
            result = ProcessInBlocks(effect, input, 1000);
        });
    for (auto& thread : threads)
        thread.join();
    for (const auto& result : results)
        EXPECT_EQ(result, expected);
}
