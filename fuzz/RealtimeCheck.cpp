// RealtimeSanitizer check of the realtime entry: ProcessPlanar, called from a nonblocking function,
// over every layout and both input counts with parameters unchanged. RealtimeSanitizer ends the
// program at the first allocation, free, lock or system call made inside the nonblocking scope.
//
// The object's lock is the one exception, suppressed through rtsan.supp: ProcessPlanar takes it
// to serialise with the setters, and when no setter runs at the same time it is taken and left
// without a system call. A host that changes parameters from another thread while audio runs
// accepts that the audio thread may wait for one setter.
//
// `halvane_rtsan --must-fail` allocates inside the nonblocking scope on purpose: it shows that the
// sanitizer is live and that the suppressions do not hide allocations.
#include <cstdio>
#include <cstring>
#include <vector>

#include "Halvane.h"

namespace {

constexpr int LAYOUT_CODES[] = {3, 51, 63, 255, 271, 1595, 1599};
constexpr int RATE = 48000;
// Block sizes a host might use, the largest block and one piece beyond it included.
constexpr int BLOCK_SIZES[] = {1, 7, 31, 64, 128, 480, 512, 1024, 4095, 4096, 4097, 6000};

#if defined(__clang__)
#pragma clang diagnostic push
// The library is not compiled with effect annotations; the runtime check is what proves it.
#pragma clang diagnostic ignored "-Wfunction-effects"
#endif

int RealtimeProcess(CSurroundEffect& effect, const float* const* in, int inputs, float* const* out,
                    int outputs, int samples) [[clang::nonblocking]] {
    return effect.ProcessPlanar(in, inputs, out, outputs, samples);
}

// Through a volatile pointer, so that the compiler cannot elide the allocation.
float* volatile g_allocated = nullptr;

float AllocateOnPurpose(int n) [[clang::nonblocking]] {
    g_allocated = new float[static_cast<size_t>(n)];
    g_allocated[0] = 1.0f;
    const float v = g_allocated[0];
    delete[] g_allocated;
    return v;
}

#if defined(__clang__)
#pragma clang diagnostic pop
#endif

int Fail(const char* what, int code, int inputs) {
    std::fprintf(stderr, "halvane_rtsan: %s (layout %d, %d input(s))\n", what, code, inputs);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--must-fail") == 0) {
        std::printf("allocating inside a nonblocking function: RealtimeSanitizer must stop here\n");
        return AllocateOnPurpose(argc + 15) == 1.0f ? 0 : 2;
    }

    const int maxBlock = 6000;
    std::vector<std::vector<float>> in(2, std::vector<float>(maxBlock));
    std::vector<std::vector<float>> out(10, std::vector<float>(maxBlock));
    for (int i = 0; i < maxBlock; ++i) {
        in[0][i] = static_cast<float>((i * 37) % 200 - 100) / 100.0f;
        in[1][i] = static_cast<float>((i * 53) % 200 - 100) / 150.0f;
    }
    const float* inPtrs[2] = {in[0].data(), in[1].data()};
    float* outPtrs[10];
    for (int k = 0; k < 10; ++k)
        outPtrs[k] = out[k].data();

    long blocks = 0;
    for (int code : LAYOUT_CODES) {
        for (int inputs : {1, 2}) {
            for (int variant = 0; variant < 2; ++variant) {
                // The default graph, and one with every optional stage in its path.
                CSurroundEffect effect;
                effect.SetSpeakersConfig(code, false);
                if (variant == 1) {
                    effect.SetProcessAdvance(true);
                    effect.SetMoveOff(false);
                    effect.SetLowPass(true);
                    effect.SetVolume(0.8f, false);
                    effect.SetRevAbsorb(0.3f);
                }
                tWAVEFORMATEX format{};
                format.wFormatTag = 3;
                format.nChannels = static_cast<uint16_t>(inputs);
                format.nSamplesPerSec = RATE;
                format.wBitsPerSample = 32;
                effect.Initialize(&format);
                const int outputs = effect.GetOutputChannels();
                if (outputs < 2)
                    return Fail("no graph", code, inputs);
                // No warm-up call: the first block after Initialize is realtime-safe too.
                for (int round = 0; round < 3; ++round) {
                    for (int n : BLOCK_SIZES) {
                        // Fewer and more output buffers than speakers: the extra ones are zeroed.
                        const int wanted = round == 1 ? 10 : round == 2 ? 1 : outputs;
                        if (RealtimeProcess(effect, inPtrs, inputs, outPtrs, wanted, n) != 1)
                            return Fail("refused inside the realtime scope", code, inputs);
                        ++blocks;
                    }
                }
            }
        }
    }
    std::printf("halvane_rtsan: %ld blocks over %zu layouts, 1 and 2 inputs: nothing reported\n", blocks,
                sizeof(LAYOUT_CODES) / sizeof(LAYOUT_CODES[0]));
    return 0;
}
