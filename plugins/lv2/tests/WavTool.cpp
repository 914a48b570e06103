// Test helper for the LV2 host tests: writes noise files and compares two renders sample for sample.
//   halvane_lv2_wavtool noise OUT CHANNELS FRAMES RATE SEED [CLEAN_OUT]
//       32-bit float WAV of uniform noise in -0.5 .. 0.5. With CLEAN_OUT, OUT also carries NaN and
//       infinite samples at a few places and CLEAN_OUT is the same file with zeros there.
//   halvane_lv2_wavtool compare A B
//       Exit 0 when both files have the same channels, frames and bit-identical float samples.
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

int Noise(int argc, char** argv) {
    if (argc != 7 && argc != 8)
        return 2;
    const int channels = std::atoi(argv[3]);
    const long frames = std::atol(argv[4]);
    const int rate = std::atoi(argv[5]);
    std::mt19937 rng(static_cast<unsigned>(std::atol(argv[6])));
    std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
    std::vector<float> samples(static_cast<size_t>(frames) * channels);
    for (float& s : samples)
        s = dist(rng);
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
    long differing = 0;
    double largest = 0.0;
    long first = -1;
    for (size_t i = 0; i < sa.size(); ++i) {
        if (std::memcmp(&sa[i], &sb[i], sizeof(float)) != 0) {
            if (first < 0)
                first = static_cast<long>(i);
            ++differing;
            largest = std::fmax(largest, std::fabs(static_cast<double>(sa[i]) - sb[i]));
        }
    }
    double energy = 0.0;
    for (float s : sa)
        energy += static_cast<double>(s) * s;
    if (differing) {
        std::fprintf(stderr,
                     "%ld of %zu samples differ; first at frame %ld channel %ld (%.9g vs %.9g); largest "
                     "difference %.3g\n",
                     differing, sa.size(), first / ia.channels, first % ia.channels,
                     static_cast<double>(sa[first]), static_cast<double>(sb[first]), largest);
        return 1;
    }
    if (!(energy > 0.0)) {
        std::fprintf(stderr, "both files are silent\n");
        return 1;
    }
    std::printf("identical: %d channels x %ld frames\n", ia.channels, static_cast<long>(ia.frames));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "noise") {
        const int r = Noise(argc, argv);
        if (r == 2)
            std::fprintf(stderr, "usage: noise OUT CHANNELS FRAMES RATE SEED [CLEAN_OUT]\n");
        return r;
    }
    if (argc == 4 && std::string(argv[1]) == "compare")
        return Compare(argv[2], argv[3]);
    std::fprintf(stderr, "usage: halvane_lv2_wavtool noise ... | compare A B\n");
    return 2;
}
