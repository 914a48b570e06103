// RealtimeSanitizer check of the headphone chain: CSurroundEffect::ProcessPlanar followed by
// CHalvaneHeadphones::Process, called from a nonblocking function, over every layout and the block
// sizes a host might use. Between rounds a new chain (another room, another layout) is built
// outside the nonblocking scope, as the headphone plugin's worker builds it, and taken over inside
// the scope by swapping one pointer, as the plugin's run() takes the worker's result; the old chain
// is freed outside again. RealtimeSanitizer ends the program at the first allocation, free, lock
// or system call made inside the nonblocking scope.
//
// The HRIRs are libmysofa's default KEMAR set; where it is missing, random filters of the same
// length stand in (the convolution runs the same code either way), and the check says so.
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Halvane.h"
#include "HalvaneHeadphones.h"
#include "HalvaneLayouts.h"

namespace {

constexpr int RATE = 48000;
constexpr int BLOCK_SIZES[] = {1, 7, 64, 255, 256, 257, 1024, HALVANE_MAX_BLOCK};
constexpr int MAX_SAMPLES = HALVANE_MAX_BLOCK;
constexpr int PARTITION = 256; // as the plugin runs the stage
constexpr int STAND_IN_LENGTH = 558;

// What the plugin swaps as one: the room effect and the ears behind it.
struct Chain {
    CSurroundEffect effect;
    CHalvaneHeadphones ears;
};

// Host-owned buffers of the largest block: a test signal in, the speaker feed, the two ears.
struct Buffers {
    std::vector<std::vector<float>> in = std::vector<std::vector<float>>(2, std::vector<float>(MAX_SAMPLES));
    std::vector<std::vector<float>> feed =
        std::vector<std::vector<float>>(HALVANE_MAX_LAYOUT_CHANNELS, std::vector<float>(MAX_SAMPLES));
    std::vector<std::vector<float>> ears =
        std::vector<std::vector<float>>(2, std::vector<float>(MAX_SAMPLES));
    const float* inPtrs[2];
    float* feedPtrs[HALVANE_MAX_LAYOUT_CHANNELS];
    float* earPtrs[2];

    Buffers() {
        for (int i = 0; i < MAX_SAMPLES; ++i) {
            in[0][i] = static_cast<float>((i * 37) % 200 - 100) / 100.0f;
            in[1][i] = static_cast<float>((i * 53) % 200 - 100) / 150.0f;
        }
        for (int j = 0; j < 2; ++j) {
            inPtrs[j] = in[j].data();
            earPtrs[j] = ears[j].data();
        }
        for (int k = 0; k < HALVANE_MAX_LAYOUT_CHANNELS; ++k)
            feedPtrs[k] = feed[k].data();
    }
};

#if defined(__clang__)
#pragma clang diagnostic push
// The libraries are not compiled with effect annotations; the runtime check is what proves it.
#pragma clang diagnostic ignored "-Wfunction-effects"
#endif

// One host cycle: the worker's chain, if one is waiting, is taken over first.
int RealtimeCycle(Chain*& active, Chain*& waiting, Chain*& retired, Buffers& io, int n, bool reset)
    [[clang::nonblocking]] {
    if (waiting) {
        retired = active;
        active = waiting;
        waiting = nullptr;
    }
    if (reset)
        active->ears.Reset();
    const int speakers = active->ears.GetInputChannels();
    if (active->effect.ProcessPlanar(io.inPtrs, 2, io.feedPtrs, speakers, n) != 1)
        return 0;
    return active->ears.Process(io.feedPtrs, speakers, io.earPtrs, n);
}

#if defined(__clang__)
#pragma clang diagnostic pop
#endif

// Builds a chain as the plugin's worker does: the effect for the layout and room, then the ears.
std::unique_ptr<Chain> Build(int layout, float width, float depth, bool kemar, std::string& error) {
    std::unique_ptr<Chain> chain(new Chain);
    chain->effect.SetSpeakersConfig(layout, false);
    chain->effect.SetRoomSize(width, depth, false);
    tWAVEFORMATEX format{};
    format.wFormatTag = 3;
    format.nChannels = 2;
    format.nSamplesPerSec = RATE;
    format.wBitsPerSample = 32;
    chain->effect.Initialize(&format);
    HalvaneHeadphonesSettings s;
    s.layout = layout;
    s.roomWidth = width;
    s.roomDepth = depth;
    s.sampleRate = RATE;
    s.partition = PARTITION;
    if (kemar)
        return chain->ears.Initialize(s, error) ? std::move(chain) : nullptr;
    const int channels = chain->effect.GetOutputChannels();
    std::mt19937 rng(static_cast<unsigned>(layout));
    std::uniform_real_distribution<float> u(-0.1f, 0.1f);
    std::vector<std::vector<float>> h(2 * static_cast<size_t>(channels), std::vector<float>(STAND_IN_LENGTH));
    std::vector<const float*> left, right;
    for (size_t k = 0; k < h.size(); ++k) {
        for (float& v : h[k])
            v = u(rng);
        (k % 2 ? right : left).push_back(h[k].data());
    }
    return chain->ears.InitializeFilters(channels, STAND_IN_LENGTH, left.data(), right.data(), PARTITION,
                                         error)
               ? std::move(chain)
               : nullptr;
}

} // namespace

int main() {
    std::FILE* sofa = std::fopen(CHalvaneHeadphones::DefaultHrtfFile(), "rb");
    const bool kemar = sofa != nullptr;
    if (sofa)
        std::fclose(sofa);
    else
        std::printf("halvane_rtsan_headphones: %s is missing (libmysofa1); random filters stand in\n",
                    CHalvaneHeadphones::DefaultHrtfFile());
    Buffers io;
    std::string error;
    std::unique_ptr<Chain> first = Build(HALVANE_DEFAULT_LAYOUT, 3.0f, 3.0f, kemar, error);
    if (!first) {
        std::fprintf(stderr, "halvane_rtsan_headphones: %s\n", error.c_str());
        return 1;
    }
    Chain* active = first.release();
    Chain* waiting = nullptr;
    Chain* retired = nullptr;
    long blocks = 0;
    int round = 0;
    for (const HalvaneLayoutInfo& layout : HALVANE_LAYOUTS)
        for (float width : {3.0f, 5.5f}) {
            // The worker's part, off the audio thread.
            std::unique_ptr<Chain> next = Build(layout.code, width, 7.0f - width, kemar, error);
            if (!next) {
                std::fprintf(stderr, "halvane_rtsan_headphones: layout %d: %s\n", layout.code, error.c_str());
                return 1;
            }
            waiting = next.release();
            for (int n : BLOCK_SIZES) {
                if (RealtimeCycle(active, waiting, retired, io, n, ++round % 5 == 0) != 1) {
                    std::fprintf(stderr, "halvane_rtsan_headphones: layout %d refused a block of %d\n",
                                 layout.code, n);
                    return 1;
                }
                ++blocks;
                delete retired; // back on the worker's side
                retired = nullptr;
            }
        }
    delete active;
    std::printf("halvane_rtsan_headphones: %ld blocks over %zu layouts, two rooms each, %s, every chain "
                "taken over inside the realtime scope: nothing reported\n",
                blocks, static_cast<size_t>(HALVANE_LAYOUT_COUNT), kemar ? "KEMAR HRIRs" : "random filters");
    return 0;
}
