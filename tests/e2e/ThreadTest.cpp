// Setters on one thread while another processes, and independent objects on several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "E2eSupport.h"
#include "Halvane.h"

using namespace e2e;

TEST(Thread, SettersWhileProcessingKeepEveryBlockWellFormed) {
    CSurroundEffect effect;
    tWAVEFORMATEX format = Format(2, 48000);
    effect.Initialize(&format);
    std::atomic<bool> done{false};
    std::thread control([&] {
        for (int i = 0; !done; ++i) {
            effect.SetVolume(0.5f + (i % 5) * 0.1f, true);
            effect.SetSoundPos(0.5f + (i % 7) * 0.3f, 1.0f + (i % 3) * 0.5f, true);
            effect.SetRevWet(1.0f + (i % 4) * 0.2f);
            effect.SetLowPass(i % 2 == 0);
            effect.SetMoveOff(i % 3 != 0);
            effect.SetVolumeChannel(HALVANE_FC, 0.8f);
            effect.SetRoomSize(3.0f + (i % 3), 3.0f + (i % 2), true);
        }
    });
    const Channels input = Noise(2, 1500, 5);
    for (int block = 0; block < 200; ++block) {
        const Channels out = ProcessOnce(effect, input);
        ASSERT_EQ(out.size(), 6u);
        ASSERT_EQ(out[0].size(), input[0].size());
    }
    done = true;
    control.join();
}

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
    long readsWhileRebuilding = 0;
    for (int i = 0; i < 10000; ++i) {
        effect.SetSpeakersConfig(i % 2 ? 51 : 3, false);
        const long before = reads;
        effect.Initialize(&format);
        readsWhileRebuilding += reads != before;
    }
    done = true;
    reader.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(readsWhileRebuilding, 0); // the reader did run while graphs were being rebuilt
    EXPECT_EQ(effect.GetOutputChannels(), 4);
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
