// Soak test: streams audio at 48 kHz through every layout (mono and stereo input) in random block
// sizes, with random parameter changes in their sane ranges between blocks, half of the blocks
// through Process and half through ProcessPlanar. Reports the process's memory once per minute of
// audio and fails when memory keeps growing after the first minute or any output sample is not
// finite.
//
// HALVANE_SOAK_SECONDS sets the length of the stream (default 3600), HALVANE_SOAK_SEED the random
// sequence (default 1).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Halvane.h"
#include "HalvaneLayouts.h"

namespace {

constexpr int RATE = 48000;
// Memory may move by this much after the first minute (allocator noise, reverb lines resized
// with the room) without counting as growth.
constexpr long RSS_TOLERANCE_KB = 8 * 1024;

long EnvLong(const char* name, long fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::strtol(value, nullptr, 10) : fallback;
}

// Current and peak resident set size in kB, from /proc/self/status.
void ReadRss(long& currentKb, long& peakKb) {
    currentKb = peakKb = -1;
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f)
        return;
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "VmRSS:", 6) == 0)
            currentKb = std::strtol(line + 6, nullptr, 10);
        else if (std::strncmp(line, "VmHWM:", 6) == 0)
            peakKb = std::strtol(line + 6, nullptr, 10);
    }
    std::fclose(f);
}

struct Stream {
    int code;
    int inputs;
    std::unique_ptr<CSurroundEffect> effect;
    float width = 3.0f;
    float depth = 3.0f;
};

// One random parameter change in its sane range (absorption above 0).
void ChangeParameter(Stream& s, std::mt19937& rng) {
    auto uni = [&](float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(rng); };
    auto coin = [&] { return (rng() & 1) != 0; };
    CSurroundEffect& e = *s.effect;
    switch (rng() % 17) {
    case 0:
        e.SetVolume(uni(0.0f, 1.5f), true);
        break;
    case 1:
        e.SetLFEVolume(uni(0.0f, 2.0f), true);
        break;
    case 2:
        e.SetLFEMaxFreq(static_cast<int>(40 + rng() % 160), true);
        break;
    case 3:
        s.width = uni(2.0f, 30.0f);
        s.depth = uni(2.0f, 30.0f);
        e.SetRoomSize(s.width, s.depth, true);
        break;
    case 4:
        e.SetSoundPos(uni(0.0f, s.width), uni(0.0f, s.depth), true);
        break;
    case 5:
        e.SetLowPass(coin());
        break;
    case 6:
        e.SetLowPassFreq(static_cast<int>(20 + rng() % 180));
        break;
    case 7:
        e.SetMoveOff(coin());
        break;
    case 8:
        e.SetProcessAdvance(coin());
        break;
    case 9:
        e.SetReverb(rng() % 4 != 0);
        break;
    case 10:
        e.SetRevDry(uni(0.0f, 1.0f));
        break;
    case 11:
        e.SetRevWet(uni(0.0f, 2.5f));
        break;
    case 12:
        e.SetRevAbsorb(uni(0.05f, 0.9f));
        break;
    case 13:
        e.SetRevHFDecay(uni(0.0f, 0.9f));
        break;
    case 14:
        e.SetDryOutVolume(uni(0.0f, 1.0f));
        break;
    case 15:
        e.SetVolumeChannel(HALVANE_SPEAKERS[rng() % HALVANE_SPEAKER_COUNT].bit, uni(0.0f, 1.5f));
        break;
    default:
        e.SetInverse(coin());
        break;
    }
}

// Noise, a sine, silence or an impulse, at a level up to full scale.
void FillInput(std::vector<std::vector<float>>& input, int n, std::mt19937& rng, long& phase) {
    const int kind = static_cast<int>(rng() % 8);
    const float level = std::uniform_real_distribution<float>(0.0f, 1.0f)(rng);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    for (auto& channel : input) {
        for (int i = 0; i < n; ++i) {
            float v;
            if (kind < 4)
                v = noise(rng);
            else if (kind < 6)
                v = static_cast<float>(std::sin(2.0 * 3.141592653589793 * 440.0 * (phase + i) / RATE));
            else if (kind == 6)
                v = 0.0f;
            else
                v = i == 0 ? 1.0f : 0.0f;
            channel[static_cast<size_t>(i)] = v * level;
        }
    }
    phase += n;
}

} // namespace

int main() {
    const long seconds = EnvLong("HALVANE_SOAK_SECONDS", 3600);
    const long total = seconds * RATE;
    std::mt19937 rng(static_cast<unsigned>(EnvLong("HALVANE_SOAK_SEED", 1)));
    constexpr int MAX_BLOCK = 12000;

    std::vector<Stream> streams;
    for (const HalvaneLayoutInfo& layout : HALVANE_LAYOUTS) {
        const int code = layout.code;
        for (int inputs : {1, 2}) {
            Stream s{code, inputs, std::make_unique<CSurroundEffect>()};
            s.effect->SetSpeakersConfig(code, false);
            tWAVEFORMATEX format{};
            format.wFormatTag = 3;
            format.nChannels = static_cast<uint16_t>(inputs);
            format.nSamplesPerSec = RATE;
            format.wBitsPerSample = 32;
            s.effect->Initialize(&format);
            streams.push_back(std::move(s));
        }
    }

    std::vector<std::vector<float>> input(2, std::vector<float>(MAX_BLOCK));
    std::vector<std::vector<float>> output(10, std::vector<float>(MAX_BLOCK));
    std::vector<const float*> inPtrs = {input[0].data(), input[1].data()};
    std::vector<float*> outPtrs;
    for (auto& channel : output)
        outPtrs.push_back(channel.data());

    std::printf("soak: %ld s of audio at %d Hz through %zu streams (7 layouts, mono and stereo)\n", seconds,
                RATE, streams.size());
    std::printf("soak: minute  rss_kB  peak_kB  non_finite\n");
    long done = 0, phase = 0, nonFinite = 0, blocks = 0, changes = 0;
    long nextReport = 60L * RATE;
    long rssAfterFirstMinute = -1, maxRssLater = 0, rss = 0, peak = 0;
    while (done < total) {
        // Mostly host-sized blocks, sometimes longer than the graph's block.
        int n = rng() % 8 == 0 ? static_cast<int>(1 + rng() % MAX_BLOCK)
                               : static_cast<int>(1 + rng() % HALVANE_MAX_BLOCK);
        n = static_cast<int>(std::min<long>(n, total - done));
        FillInput(input, n, rng, phase);
        // The first minute resizes the room at every block, so that the reverb lines have taken
        // every length and the allocator has settled before memory is watched.
        const bool warmUp = done < 60L * RATE;
        for (Stream& s : streams) {
            if (warmUp) {
                s.width = std::uniform_real_distribution<float>(2.0f, 30.0f)(rng);
                s.depth = std::uniform_real_distribution<float>(2.0f, 30.0f)(rng);
                s.effect->SetRoomSize(s.width, s.depth, true);
            }
            while (rng() % 4 == 0) {
                ChangeParameter(s, rng);
                ++changes;
            }
            int channels = 0;
            if (rng() & 1) {
                _SOUNDDATAEX_ record;
                record.Allocate(s.inputs, n);
                for (int j = 0; j < s.inputs; ++j)
                    std::memcpy(record.Channels[static_cast<size_t>(j)], input[static_cast<size_t>(j)].data(),
                                sizeof(float) * static_cast<size_t>(n));
                if (s.effect->Process(&record) != 1) {
                    std::printf("soak: Process refused a block (layout %d)\n", s.code);
                    return 1;
                }
                channels = static_cast<int>(record.Channels.size());
                for (int k = 0; k < channels; ++k)
                    std::memcpy(output[static_cast<size_t>(k)].data(),
                                record.Channels[static_cast<size_t>(k)],
                                sizeof(float) * static_cast<size_t>(n));
                record.Release();
            } else {
                channels = s.effect->GetOutputChannels();
                if (s.effect->ProcessPlanar(inPtrs.data(), s.inputs, outPtrs.data(), channels, n) != 1) {
                    std::printf("soak: ProcessPlanar refused a block (layout %d)\n", s.code);
                    return 1;
                }
            }
            for (int k = 0; k < channels; ++k) {
                for (int i = 0; i < n; ++i) {
                    if (!std::isfinite(output[static_cast<size_t>(k)][static_cast<size_t>(i)])) {
                        if (nonFinite == 0)
                            std::printf("soak: first non-finite sample: layout %d, %d input(s), channel %d, "
                                        "at %.3f s\n",
                                        s.code, s.inputs, k, static_cast<double>(done + i) / RATE);
                        ++nonFinite;
                    }
                }
            }
        }
        done += n;
        ++blocks;
        if (done >= nextReport || done == total) {
            ReadRss(rss, peak);
            const long minute = done / (RATE * 60L);
            std::printf("soak: %6ld  %7ld  %7ld  %ld\n", minute, rss, peak, nonFinite);
            std::fflush(stdout);
            if (rssAfterFirstMinute < 0)
                rssAfterFirstMinute = rss;
            else
                maxRssLater = std::max(maxRssLater, rss);
            nextReport += 60L * RATE;
        }
    }
    const long growth = rssAfterFirstMinute >= 0 && maxRssLater > 0 ? maxRssLater - rssAfterFirstMinute : 0;
    std::printf(
        "soak: %ld blocks, %ld parameter changes, peak rss %ld kB, growth after the first minute %ld kB, "
        "%ld non-finite samples\n",
        blocks, changes, peak, growth, nonFinite);
    if (nonFinite > 0 || growth > RSS_TOLERANCE_KB) {
        std::printf("soak: FAILED\n");
        return 1;
    }
    std::printf("soak: passed\n");
    return 0;
}
