// Test helper for the LV2 host tests: writes noise files and compares two renders sample for sample.
//   halvane_lv2_wavtool noise OUT CHANNELS FRAMES RATE SEED [CLEAN_OUT]
//       32-bit float WAV of uniform noise in -0.5 .. 0.5. With CLEAN_OUT, OUT also carries NaN and
//       infinite samples at a few places and CLEAN_OUT is the same file with zeros there.
//   halvane_lv2_wavtool noise16 OUT CHANNELS FRAMES RATE SEED
//       The same noise as 16-bit PCM, for players that take no float files; the first sample is
//       never zero, so a recording of it starts where its first non-zero sample does.
//   halvane_lv2_wavtool compare A B
//       Exit 0 when both files have the same channels, frames and bit-identical float samples.
//   halvane_lv2_wavtool aligned RECORDING RENDER
//       Exit 0 when RECORDING, from its first non-zero frame on, holds RENDER from its first
//       non-zero frame on to its end, bit for bit (a recording starts at an arbitrary moment and
//       runs past the end of the render).
//   halvane_lv2_wavtool near RECORDING RENDER TOLERANCE
//       Exit 0 when RECORDING holds the whole RENDER within TOLERANCE times the render's peak, at
//       the offset that fits best among a few frames around the one where both first pass a
//       thousandth of their peaks (for renders whose FFT rounding leaves tiny values ahead of the
//       sound, so that no first non-zero frame marks the start).
#include <sndfile.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

bool WriteFloatWav(const char* path, int channels, int rate, const std::vector<float>& interleaved) {
    SF_INFO info{};
    info.channels = channels;
    info.samplerate = rate;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path, SFM_WRITE, &info);
    if (!file) {
        std::fprintf(stderr, "cannot write %s: %s\n", path, sf_strerror(nullptr));
        return false;
    }
    // Samples as they are: no normalisation, no clipping.
    sf_command(file, SFC_SET_NORM_FLOAT, nullptr, SF_FALSE);
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_FALSE);
    const sf_count_t frames = static_cast<sf_count_t>(interleaved.size()) / channels;
    const bool ok = sf_writef_float(file, interleaved.data(), frames) == frames;
    sf_close(file);
    return ok;
}

// The samples rounded to 16-bit integers (-0.5 .. 0.5 becomes -16384 .. 16384); the first is never 0.
bool WritePcm16Wav(const char* path, int channels, int rate, const std::vector<float>& interleaved) {
    std::vector<short> pcm(interleaved.size());
    for (size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<short>(std::lround(interleaved[i] * 32768.0f));
    if (!pcm.empty() && pcm[0] == 0)
        pcm[0] = 1;
    SF_INFO info{};
    info.channels = channels;
    info.samplerate = rate;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path, SFM_WRITE, &info);
    if (!file) {
        std::fprintf(stderr, "cannot write %s: %s\n", path, sf_strerror(nullptr));
        return false;
    }
    const sf_count_t frames = static_cast<sf_count_t>(pcm.size()) / channels;
    const bool ok = sf_writef_short(file, pcm.data(), frames) == frames;
    sf_close(file);
    return ok;
}

bool ReadFloatWav(const char* path, SF_INFO& info, std::vector<float>& interleaved) {
    info = SF_INFO{};
    SNDFILE* file = sf_open(path, SFM_READ, &info);
    if (!file) {
        std::fprintf(stderr, "cannot read %s: %s\n", path, sf_strerror(nullptr));
        return false;
    }
    if ((info.format & SF_FORMAT_SUBMASK) != SF_FORMAT_FLOAT) {
        std::fprintf(stderr, "%s does not hold 32-bit float samples\n", path);
        sf_close(file);
        return false;
    }
    sf_command(file, SFC_SET_NORM_FLOAT, nullptr, SF_FALSE);
    interleaved.assign(static_cast<size_t>(info.frames) * info.channels, 0.0f);
    const bool ok = sf_readf_float(file, interleaved.data(), info.frames) == info.frames;
    sf_close(file);
    return ok;
}

int Noise(int argc, char** argv, bool pcm16) {
    if (argc != 7 && (argc != 8 || pcm16))
        return 2;
    const int channels = std::atoi(argv[3]);
    const long frames = std::atol(argv[4]);
    const int rate = std::atoi(argv[5]);
    std::mt19937 rng(static_cast<unsigned>(std::atol(argv[6])));
    std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
    std::vector<float> samples(static_cast<size_t>(frames) * channels);
    for (float& s : samples)
        s = dist(rng);
    if (pcm16)
        return WritePcm16Wav(argv[2], channels, rate, samples) ? 0 : 1;
    if (argc == 8) {
        std::vector<float> clean = samples;
        const float bad[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                             -std::numeric_limits<float>::infinity()};
        for (size_t i = 0, k = 0; i < samples.size(); i += samples.size() / 7 + 1, ++k) {
            samples[i] = bad[k % 3];
            clean[i] = 0.0f;
        }
        if (!WriteFloatWav(argv[7], channels, rate, clean))
            return 1;
    }
    return WriteFloatWav(argv[2], channels, rate, samples) ? 0 : 1;
}

// Compares `frames` frames of a from frame `fromA` with b from frame `fromB`, bit for bit.
bool SameSamples(const std::vector<float>& a, long fromA, const std::vector<float>& b, long fromB,
                 long frames, int channels) {
    long differing = 0;
    double largest = 0.0;
    long first = -1;
    double energy = 0.0;
    for (long i = 0; i < frames * channels; ++i) {
        const float x = a[fromA * channels + i];
        const float y = b[fromB * channels + i];
        energy += static_cast<double>(x) * x;
        if (std::memcmp(&x, &y, sizeof(float)) != 0) {
            if (first < 0)
                first = i;
            ++differing;
            largest = std::fmax(largest, std::fabs(static_cast<double>(x) - y));
        }
    }
    if (differing) {
        std::fprintf(stderr,
                     "%ld of %ld samples differ; first at frame %ld channel %ld (%.9g vs %.9g); largest "
                     "difference %.3g\n",
                     differing, frames * channels, first / channels, first % channels,
                     static_cast<double>(a[fromA * channels + first]),
                     static_cast<double>(b[fromB * channels + first]), largest);
        return false;
    }
    if (!(energy > 0.0)) {
        std::fprintf(stderr, "both files are silent\n");
        return false;
    }
    return true;
}

int Compare(const char* a, const char* b) {
    SF_INFO ia, ib;
    std::vector<float> sa, sb;
    if (!ReadFloatWav(a, ia, sa) || !ReadFloatWav(b, ib, sb))
        return 1;
    if (ia.channels != ib.channels || ia.frames != ib.frames || ia.samplerate != ib.samplerate) {
        std::fprintf(stderr, "shape differs: %d ch x %ld frames @ %d Hz vs %d ch x %ld frames @ %d Hz\n",
                     ia.channels, static_cast<long>(ia.frames), ia.samplerate, ib.channels,
                     static_cast<long>(ib.frames), ib.samplerate);
        return 1;
    }
    if (!SameSamples(sa, 0, sb, 0, static_cast<long>(ia.frames), ia.channels))
        return 1;
    std::printf("identical: %d channels x %ld frames\n", ia.channels, static_cast<long>(ia.frames));
    return 0;
}

long FirstNonZeroFrame(const std::vector<float>& samples, int channels) {
    for (size_t i = 0; i < samples.size(); ++i)
        if (samples[i] != 0.0f)
            return static_cast<long>(i / channels);
    return -1;
}

// Reads a recording and a render of the same channel count and rate.
bool ReadPair(const char* recording, const char* render, SF_INFO& ia, std::vector<float>& sa, SF_INFO& ib,
              std::vector<float>& sb) {
    if (!ReadFloatWav(recording, ia, sa) || !ReadFloatWav(render, ib, sb))
        return false;
    if (ia.channels != ib.channels || ia.samplerate != ib.samplerate) {
        std::fprintf(stderr, "shape differs: %d ch @ %d Hz vs %d ch @ %d Hz\n", ia.channels, ia.samplerate,
                     ib.channels, ib.samplerate);
        return false;
    }
    return true;
}

int Aligned(const char* recording, const char* render) {
    SF_INFO ia, ib;
    std::vector<float> sa, sb;
    if (!ReadPair(recording, render, ia, sa, ib, sb))
        return 1;
    const long startA = FirstNonZeroFrame(sa, ia.channels);
    const long startB = FirstNonZeroFrame(sb, ib.channels);
    if (startA < 0 || startB < 0) {
        std::fprintf(stderr, "%s is silent\n", startA < 0 ? recording : render);
        return 1;
    }
    const long frames = static_cast<long>(ib.frames) - startB;
    if (static_cast<long>(ia.frames) - startA < frames) {
        std::fprintf(stderr, "the recording ends %ld frames before the render\n",
                     frames - (static_cast<long>(ia.frames) - startA));
        return 1;
    }
    if (!SameSamples(sa, startA, sb, startB, frames, ia.channels))
        return 1;
    std::printf("identical: %d channels x %ld frames, from frame %ld of the recording\n", ia.channels, frames,
                startA);
    return 0;
}

float Peak(const std::vector<float>& samples) {
    float peak = 0.0f;
    for (float v : samples)
        peak = std::fmax(peak, std::fabs(v));
    return peak;
}

long FirstFrameAbove(const std::vector<float>& samples, int channels, float level) {
    for (size_t i = 0; i < samples.size(); ++i)
        if (std::fabs(samples[i]) > level)
            return static_cast<long>(i / channels);
    return -1;
}

int Near(const char* recording, const char* render, double tolerance) {
    SF_INFO ia, ib;
    std::vector<float> sa, sb;
    if (!ReadPair(recording, render, ia, sa, ib, sb))
        return 1;
    const int ch = ib.channels;
    const float peakA = Peak(sa), peakB = Peak(sb);
    const long startA = FirstFrameAbove(sa, ch, 1e-3f * peakA);
    const long startB = FirstFrameAbove(sb, ch, 1e-3f * peakB);
    if (peakA == 0.0f || peakB == 0.0f) {
        std::fprintf(stderr, "%s is silent\n", peakA == 0.0f ? recording : render);
        return 1;
    }
    constexpr long kSearch = 8; // frames either side of the estimated offset
    double best = std::numeric_limits<double>::infinity();
    long bestOffset = 0;
    for (long offset = startA - startB - kSearch; offset <= startA - startB + kSearch; ++offset) {
        if (offset < 0 || offset + static_cast<long>(ib.frames) > static_cast<long>(ia.frames))
            continue;
        double worst = 0.0;
        for (long i = 0; i < static_cast<long>(sb.size()) && worst <= best; ++i)
            worst = std::fmax(worst, std::fabs(static_cast<double>(sa[offset * ch + i]) - sb[i]));
        if (worst < best) {
            best = worst;
            bestOffset = offset;
        }
    }
    if (!(best <= tolerance * peakB)) {
        std::fprintf(stderr, "largest difference %.3g of a peak of %.3g (allowed: %.3g)\n", best, peakB,
                     tolerance * peakB);
        return 1;
    }
    std::printf("within %.2g of the peak: %d channels x %ld frames, from frame %ld of the recording\n",
                best / peakB, ch, static_cast<long>(ib.frames), bestOffset);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc >= 2 ? argv[1] : "";
    if (mode == "noise" || mode == "noise16") {
        const int r = Noise(argc, argv, mode == "noise16");
        if (r == 2)
            std::fprintf(stderr, "usage: %s OUT CHANNELS FRAMES RATE SEED%s\n", mode.c_str(),
                         mode == "noise" ? " [CLEAN_OUT]" : "");
        return r;
    }
    if (argc == 4 && mode == "compare")
        return Compare(argv[2], argv[3]);
    if (argc == 4 && mode == "aligned")
        return Aligned(argv[2], argv[3]);
    if (argc == 5 && mode == "near")
        return Near(argv[2], argv[3], std::atof(argv[4]));
    std::fprintf(stderr,
                 "usage: halvane_lv2_wavtool noise ... | noise16 ... | compare A B | aligned REC RENDER | "
                 "near REC RENDER TOLERANCE\n");
    return 2;
}
