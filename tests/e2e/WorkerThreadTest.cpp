// Opt-in worker threads: the same samples as one thread, whatever the layout, blocks and motion.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#ifdef __linux__
#include <dirent.h>
#endif
#include <random>
#include <thread>

#include "E2eSupport.h"
#include "Halvane.h"
#include "HalvaneLayouts.h"

using namespace e2e;

namespace {

constexpr int LAYOUTS[] = {3, 51, 63, 255, 271, 1595, 1599};

// One effect per worker setting, fed the same blocks and the same moves between them. The third
// effect switches its worker on and off between blocks, so the cores change hands mid-tail.
struct Renders {
    CSurroundEffect effect[3];
    Channels out[3];

    // Empties the outputs for the effects' channels; returns their count.
    int StartOutputs() {
        const int outputs = effect[0].GetOutputChannels();
        for (auto& o : out)
            o.assign(outputs, {});
        return outputs;
    }
    void Append(int e, const Channels& block) {
        for (size_t k = 0; k < block.size(); ++k)
            out[e][k].insert(out[e][k].end(), block[k].begin(), block[k].end());
    }
};

Channels Slice(const Channels& input, size_t start, size_t n) {
    Channels part;
    for (const auto& channel : input)
        part.emplace_back(channel.begin() + start, channel.begin() + start + n);
    return part;
}

void Configure(CSurroundEffect& effect, int layout, int inputs, bool smooth) {
    effect.SetSmoothing(smooth);
    effect.SetSpeakersConfig(layout, true);
    effect.SetRoomSize(4.0f, 6.0f, true);
    effect.SetProcessAdvance(true);
    tWAVEFORMATEX format = Format(inputs, 48000);
    effect.Initialize(&format);
}

} // namespace

TEST(Thread, WorkerThreadsGiveTheSamplesOfOneThread) {
    std::mt19937 rng(19);
    bool smooth = false;
    for (const int layout : LAYOUTS) {
        // Smooth mode on for every other layout: glides of the moving source and the room.
        smooth = !smooth;
        SCOPED_TRACE(testing::Message() << "layout " << layout << (smooth ? " smooth" : ""));
        const int inputs = 1 + layout % 2;
        const Channels input = Noise(inputs, 24000, 100u + static_cast<unsigned>(layout));
        Renders r;
        for (int e = 0; e < 3; ++e)
            Configure(r.effect[e], layout, inputs, smooth);
        EXPECT_EQ(r.effect[1].SetWorkerThreads(1), 1);
        EXPECT_EQ(r.effect[2].SetWorkerThreads(4), 1); // more than the graph can use
        const int outputs = r.StartOutputs();

        std::uniform_int_distribution<int> blockLength(1, 9000);
        for (size_t start = 0; start < input[0].size();) {
            const size_t n = std::min<size_t>(blockLength(rng), input[0].size() - start);
            const Channels part = Slice(input, start, n);
            const float x = 0.2f + static_cast<float>(rng() % 37) * 0.1f;
            const float y = 0.3f + static_cast<float>(rng() % 53) * 0.1f;
            const bool planar = rng() % 2 == 0;
            const bool worker = rng() % 3 != 0;
            r.effect[2].SetWorkerThreads(worker ? 1 : 0);
            const bool resize = rng() % 8 == 0;
            for (int e = 0; e < 3; ++e) {
                r.effect[e].SetSoundPos(x, y, true);
                if (resize)
                    r.effect[e].SetRoomSize(x + 3.0f, y + 3.0f, true);
                const Channels result =
                    planar ? RenderPlanar(r.effect[e], part, n, outputs) : ProcessOnce(r.effect[e], part);
                ASSERT_EQ(static_cast<int>(result.size()), outputs);
                r.Append(e, result);
            }
            start += n;
        }
        for (int k = 0; k < outputs; ++k) {
            EXPECT_TRUE(SameBits(r.out[1][k], r.out[0][k])) << "channel " << k;
            EXPECT_TRUE(SameBits(r.out[2][k], r.out[0][k])) << "channel " << k;
        }
    }
}

TEST(Thread, WorkerThreadsAreKeptAcrossInitializeAndCopies) {
    CSurroundEffect effect;
    EXPECT_EQ(effect.SetWorkerThreads(-3), 0);
    EXPECT_EQ(effect.SetWorkerThreads(2), 1); // no graph yet: what Initialize will start
    tWAVEFORMATEX format = Format(2, 44100);
    effect.Initialize(&format);
    effect.Initialize(&format); // a second graph takes the setting over as well
    CSurroundEffect copy(effect);
    copy.Initialize(&format);
    CSurroundEffect plain;
    plain.Initialize(&format);
    const Channels input = Noise(2, 10000, 7);
    const Channels expected = ProcessInBlocks(plain, input, 3000);
    EXPECT_EQ(ProcessInBlocks(effect, input, 3000), expected);
    EXPECT_EQ(ProcessInBlocks(copy, input, 3000), expected);
    EXPECT_EQ(effect.SetWorkerThreads(0), 0);
}

// A host's thread lends itself: the same samples as one thread whether it helps with a block, comes
// late or never comes (the third effect has no lender, so the calling thread does every block
// alone and must not wait for anybody). The lent worker is switched off and on between blocks,
// and a new graph is built while the lender keeps calling.
TEST(Thread, HostWorkerGivesTheSamplesOfOneThread) {
    std::mt19937 rng(23);
    int helped = 0;
    for (const int layout : {51, 63, 1599}) {
        const bool smooth = layout == 63;
        SCOPED_TRACE(testing::Message() << "layout " << layout << (smooth ? " smooth" : ""));
        const Channels input = Noise(2, 48000, 300u + static_cast<unsigned>(layout));
        Renders r;
        for (int e = 0; e < 3; ++e)
            Configure(r.effect[e], layout, 2, smooth);
        EXPECT_TRUE(r.effect[1].SetHostWorker(true));
        EXPECT_TRUE(r.effect[2].SetHostWorker(true));
        std::atomic<bool> stop{false};
        std::atomic<int> calls{0};
        std::thread lender([&] {
            while (!stop.load())
                if (r.effect[1].HelpProcess())
                    calls.fetch_add(1);
        });
        const int outputs = r.StartOutputs();
        std::uniform_int_distribution<int> blockLength(1, 6000);
        for (size_t start = 0; start < input[0].size();) {
            const size_t n = std::min<size_t>(blockLength(rng), input[0].size() - start);
            const Channels part = Slice(input, start, n);
            r.effect[1].SetHostWorker(rng() % 4 != 0);
            const bool rebuild = rng() % 16 == 0;
            for (int e = 0; e < 3; ++e) {
                if (rebuild) {
                    tWAVEFORMATEX format = Format(2, 48000);
                    r.effect[e].Initialize(&format);
                }
                const Channels result = RenderPlanar(r.effect[e], part, n, outputs);
                r.Append(e, result);
            }
            start += n;
        }
        stop.store(true);
        lender.join();
        helped += calls.load();
        EXPECT_FALSE(r.effect[2].HelpProcess()); // nothing waits between blocks
        for (int k = 0; k < outputs; ++k) {
            EXPECT_TRUE(SameBits(r.out[1][k], r.out[0][k])) << "channel " << k;
            EXPECT_TRUE(SameBits(r.out[2][k], r.out[0][k])) << "channel " << k;
        }
    }
    // On a busy machine the lender may not have been running during any of those blocks: more
    // blocks, until it has been, for a few seconds at most.
    if (helped == 0) {
        CSurroundEffect effect;
        Configure(effect, 63, 2, false);
        EXPECT_TRUE(effect.SetHostWorker(true));
        std::atomic<bool> stop{false};
        std::atomic<int> calls{0};
        std::thread lender([&] {
            while (!stop.load())
                if (effect.HelpProcess())
                    calls.fetch_add(1);
        });
        const Channels block = Noise(2, HALVANE_MAX_BLOCK, 5);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (calls.load() == 0 && std::chrono::steady_clock::now() < until)
            RenderPlanar(effect, block, HALVANE_MAX_BLOCK, effect.GetOutputChannels());
        stop.store(true);
        lender.join();
        helped = calls.load();
    }
    EXPECT_GT(helped, 0) << "the lender never took a share: the two threads did not overlap";
}

#ifdef __linux__
namespace {
int ThreadsOfThisProcess() {
    int n = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(dir))
            n += entry->d_name[0] != '.';
        closedir(dir);
    }
    return n;
}
} // namespace

// While a host's thread is lent, the library starts no thread of its own, whatever SetWorkerThreads
// asked for; taking the loan back brings the library's thread back. A copy does not take the loan.
TEST(Thread, HostWorkerTakesThePlaceOfTheLibraryThread) {
    std::thread([] {}).join(); // a sanitizer starts its own thread with the first one
    const int before = ThreadsOfThisProcess();
    CSurroundEffect effect;
    EXPECT_EQ(effect.SetWorkerThreads(1), 1); // no graph yet: what Initialize will start
    EXPECT_TRUE(effect.SetHostWorker(true));
    EXPECT_EQ(effect.SetWorkerThreads(1), 0);
    tWAVEFORMATEX format = Format(2, 48000);
    effect.Initialize(&format);
    EXPECT_EQ(ThreadsOfThisProcess(), before);
    EXPECT_FALSE(effect.SetHostWorker(false));
    EXPECT_EQ(ThreadsOfThisProcess(), before + 1);
    EXPECT_EQ(effect.SetWorkerThreads(1), 1);
    EXPECT_TRUE(effect.SetHostWorker(true));
    EXPECT_EQ(ThreadsOfThisProcess(), before);
    CSurroundEffect copy(effect);
    copy.Initialize(&format);
    EXPECT_EQ(ThreadsOfThisProcess(), before + 1); // the copy's own worker
    EXPECT_FALSE(copy.HelpProcess());
}
#endif
