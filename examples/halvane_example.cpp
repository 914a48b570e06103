// Renders a few seconds of a synthesised stereo signal through a 5.1 surround effect and prints
// the peak and RMS level of every speaker channel.
//
// The signal: a 440 Hz tone that pans from left to right over the whole length, followed by a
// short noise burst on the right channel only.
#include "Halvane.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

constexpr int SAMPLE_RATE = 48000;
constexpr int INPUT_CHANNELS = 2;
constexpr int LAYOUT_5_1 = 63; // FL, FR, FC, LFE, BL, BR
constexpr int TONE_SECONDS = 3;
constexpr int BURST_SAMPLES = SAMPLE_RATE / 2;
constexpr int BLOCK = 1024; // host block size; any length works
constexpr double PI = 3.14159265358979323846;

const char* const CHANNEL_NAMES[] = {"FL", "FR", "FC", "LFE", "BL", "BR"};

// Left and right input of the whole signal.
void Synthesise(std::vector<float>& left, std::vector<float>& right) {
    const int toneSamples = TONE_SECONDS * SAMPLE_RATE;
    left.assign(toneSamples + BURST_SAMPLES, 0.0f);
    right.assign(toneSamples + BURST_SAMPLES, 0.0f);
    for (int i = 0; i < toneSamples; ++i) {
        const double pan = static_cast<double>(i) / toneSamples; // 0 = left, 1 = right
        const double tone = 0.5 * std::sin(2.0 * PI * 440.0 * i / SAMPLE_RATE);
        // Equal-power pan law.
        left[i] = static_cast<float>(tone * std::cos(pan * PI / 2.0));
        right[i] = static_cast<float>(tone * std::sin(pan * PI / 2.0));
    }
    unsigned int seed = 12345u;
    for (int i = toneSamples; i < toneSamples + BURST_SAMPLES; ++i) {
        seed = seed * 1664525u + 1013904223u; // small linear congruential generator
        right[i] = 0.25f * (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f);
    }
}

} // namespace

int main() {
    std::vector<float> left, right;
    Synthesise(left, right);
    const int total = static_cast<int>(left.size());

    CSurroundEffect effect;
    effect.SetSpeakersConfig(LAYOUT_5_1, true);
    tWAVEFORMATEX format{};
    format.wFormatTag = 3; // IEEE float
    format.nChannels = INPUT_CHANNELS;
    format.nSamplesPerSec = SAMPLE_RATE;
    format.wBitsPerSample = 32;
    format.nBlockAlign = INPUT_CHANNELS * 4;
    format.nAvgBytesPerSec = SAMPLE_RATE * format.nBlockAlign;
    effect.Initialize(&format);

    const int speakers = sizeof(CHANNEL_NAMES) / sizeof(CHANNEL_NAMES[0]);
    std::vector<double> peak(speakers, 0.0), sumSquares(speakers, 0.0);
    for (int start = 0; start < total; start += BLOCK) {
        const int n = std::min(BLOCK, total - start);
        // The record owns its buffers; Process may replace them with its own, and the record
        // releases whatever it holds at the end of the block.
        _SOUNDDATAEX_ data;
        data.Allocate(INPUT_CHANNELS, n);
        std::copy(left.begin() + start, left.begin() + start + n, data.Channels[0]);
        std::copy(right.begin() + start, right.begin() + start + n, data.Channels[1]);
        if (!effect.Process(&data) || static_cast<int>(data.Channels.size()) != speakers) {
            std::fprintf(stderr, "halvane_example: processing failed at sample %d\n", start);
            data.Release();
            return 1;
        }
        for (int c = 0; c < speakers; ++c) {
            for (int i = 0; i < data.nSamples; ++i) {
                const double s = data.Channels[c][i];
                peak[c] = std::max(peak[c], std::fabs(s));
                sumSquares[c] += s * s;
            }
        }
        data.Release();
    }

    std::printf("Rendered %.2f s of stereo at %d Hz to 5.1 in blocks of %d samples\n",
                static_cast<double>(total) / SAMPLE_RATE, SAMPLE_RATE, BLOCK);
    std::printf("%-8s %10s %10s %10s\n", "channel", "peak", "rms", "rms dBFS");
    for (int c = 0; c < speakers; ++c) {
        const double rms = std::sqrt(sumSquares[c] / total);
        const double db = rms > 0.0 ? 20.0 * std::log10(rms) : -INFINITY;
        std::printf("%-8s %10.5f %10.5f %10.2f\n", CHANNEL_NAMES[c], peak[c], rms, db);
    }
    return 0;
}
