// A minimal host of Halvane.dll: renders a stereo buffer to 5.1 and writes the six speaker channels
// to a file as raw 32-bit float samples (little-endian, interleaved FL FR FC LFE BL BR per frame).
//
// Built on Windows it links the DLL through its import library; the same source built on Linux
// links libHalvane.so. Both builds write the same bytes for the same mode, which the Windows test
// run checks.
//
// Usage: halvane_windows_host OUTPUT.raw [process|planar]
//   process (default)  blocks go through Process in records whose buffers the library allocates
//   planar             blocks go through ProcessPlanar in buffers the host owns
#include "Halvane.h"
#include "HalvaneLayouts.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int SAMPLE_RATE = 44100;
constexpr int INPUT_CHANNELS = 2;
constexpr int LAYOUT_5_1 = 63; // FL, FR, FC, LFE, BL, BR
constexpr int SPEAKERS = HalvaneFindLayout(LAYOUT_5_1)->channels;
constexpr int TOTAL = 2 * SAMPLE_RATE;
constexpr int PROCESS_BLOCK = 5000; // longer than the library's block: it splits them
static_assert(PROCESS_BLOCK > HALVANE_MAX_BLOCK, "the process mode hands over blocks the library splits");
constexpr int PLANAR_BLOCK = 1000;

// The input: a 441 Hz triangle wave fading out on the left, noise fading in on the right. Only
// integer arithmetic and single float operations, so every compiler produces the same samples.
void Synthesise(std::vector<float>& left, std::vector<float>& right) {
    left.resize(TOTAL);
    right.resize(TOTAL);
    std::uint32_t seed = 2024u;
    for (int i = 0; i < TOTAL; ++i) {
        const int phase = i % 100;                                           // 100 samples per period
        const int triangle = phase < 50 ? phase * 4 - 100 : 300 - phase * 4; // -100 .. 100
        const float fade = static_cast<float>(TOTAL - i) / static_cast<float>(TOTAL);
        left[i] = 0.005f * static_cast<float>(triangle) * fade;
        seed = seed * 1664525u + 1013904223u; // linear congruential generator
        const float noise = static_cast<float>(seed >> 8) / 8388608.0f - 1.0f; // [-1, 1)
        right[i] = 0.25f * noise * (1.0f - fade);
    }
}

// Appends `frames` frames of the speaker channels to `out`, interleaved.
void Interleave(const float* const* channels, int frames, std::vector<float>& out) {
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < SPEAKERS; ++c)
            out.push_back(channels[c][i]);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s OUTPUT.raw [process|planar]\n", argv[0]);
        return 2;
    }
    const bool planar = argc == 3 && std::strcmp(argv[2], "planar") == 0;
    if (argc == 3 && !planar && std::strcmp(argv[2], "process") != 0) {
        std::fprintf(stderr, "%s: unknown mode '%s'\n", argv[0], argv[2]);
        return 2;
    }

    std::vector<float> left, right;
    Synthesise(left, right);

    CSurroundEffect effect;
    effect.SetSpeakersConfig(LAYOUT_5_1, true);
    effect.SetRoomSize(5.0f, 4.0f, true);
    effect.SetSoundPos(1.2f, 3.1f, true);
    effect.SetVolume(0.8f, true);
    effect.SetLFEVolume(1.5f, true);
    effect.SetLFEMaxFreq(120, true);
    effect.SetLowPass(true);
    effect.SetLowPassFreq(90);
    effect.SetProcessAdvance(true);
    effect.SetRevWet(1.2f);
    effect.SetRevAbsorb(0.2f);
    effect.SetDryOutVolume(0.6f);

    tWAVEFORMATEX format{};
    format.wFormatTag = 3; // IEEE float
    format.nChannels = INPUT_CHANNELS;
    format.nSamplesPerSec = SAMPLE_RATE;
    format.wBitsPerSample = 32;
    format.nBlockAlign = INPUT_CHANNELS * 4;
    format.nAvgBytesPerSec = SAMPLE_RATE * format.nBlockAlign;
    effect.Initialize(&format);

    std::vector<float> output;
    output.reserve(static_cast<size_t>(TOTAL) * SPEAKERS);
    if (!planar) {
        for (int start = 0; start < TOTAL; start += PROCESS_BLOCK) {
            const int n = std::min(PROCESS_BLOCK, TOTAL - start);
            // Allocate and Release run inside the library, so the record's buffers come from and
            // go back to the library's own heap, whatever Process puts in their place.
            _SOUNDDATAEX_ data;
            data.Allocate(INPUT_CHANNELS, n);
            std::copy(left.begin() + start, left.begin() + start + n, data.Channels[0]);
            std::copy(right.begin() + start, right.begin() + start + n, data.Channels[1]);
            const bool ok = effect.Process(&data) == 1 &&
                            static_cast<int>(data.Channels.size()) == SPEAKERS && data.nSamples == n;
            if (ok)
                Interleave(data.Channels.data(), n, output);
            data.Release();
            if (!ok) {
                std::fprintf(stderr, "%s: Process failed at sample %d\n", argv[0], start);
                return 1;
            }
        }
    } else {
        // Host-owned planar buffers: nothing crosses the library boundary but float pointers.
        std::vector<float> speakerBuffers(static_cast<size_t>(SPEAKERS) * PLANAR_BLOCK);
        float* speakers[SPEAKERS];
        for (int c = 0; c < SPEAKERS; ++c)
            speakers[c] = speakerBuffers.data() + static_cast<size_t>(c) * PLANAR_BLOCK;
        for (int start = 0; start < TOTAL; start += PLANAR_BLOCK) {
            const int n = std::min(PLANAR_BLOCK, TOTAL - start);
            const float* inputs[INPUT_CHANNELS] = {left.data() + start, right.data() + start};
            if (effect.ProcessPlanar(inputs, INPUT_CHANNELS, speakers, SPEAKERS, n) != 1) {
                std::fprintf(stderr, "%s: ProcessPlanar failed at sample %d\n", argv[0], start);
                return 1;
            }
            Interleave(speakers, n, output);
        }
    }

    std::FILE* file = std::fopen(argv[1], "wb");
    if (!file) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
        return 1;
    }
    const size_t written = std::fwrite(output.data(), sizeof(float), output.size(), file);
    if (std::fclose(file) != 0 || written != output.size()) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
        return 1;
    }
    std::printf("%s: %d frames of %d speaker channels (%s) written to %s\n", argv[0], TOTAL, SPEAKERS,
                planar ? "ProcessPlanar" : "Process", argv[1]);
    return 0;
}
