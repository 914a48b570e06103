// The binaural stage through its public header: the partitioned convolution against a plain
// time-domain twin, the virtual speakers' directions, and the bad-file errors.
#include <HalvaneHeadphones.h>

#include "support/CountingAllocator.h"
#include "support/Signals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace {

// Runs the stage over `in` cut into blocks of random lengths (1..maxBlock), input and output in
// separate buffers or, with `alias`, the first two inputs overwritten by the ears.
std::vector<std::vector<float>> RunInBlocks(CHalvaneHeadphones& hp, std::vector<std::vector<float>> in,
                                            unsigned seed, int maxBlock, bool alias) {
    const size_t n = in[0].size();
    std::vector<std::vector<float>> out(2, std::vector<float>(n));
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> len(1, maxBlock);
    std::vector<const float*> ip(in.size());
    for (size_t pos = 0; pos < n;) {
        const int m = static_cast<int>(std::min<size_t>(static_cast<size_t>(len(rng)), n - pos));
        for (size_t c = 0; c < in.size(); ++c)
            ip[c] = in[c].data() + pos;
        float* op[2] = {out[0].data() + pos, out[1].data() + pos};
        if (alias) {
            op[0] = in[0].data() + pos;
            op[1] = in[1].data() + pos;
        }
        EXPECT_EQ(hp.Process(ip.data(), static_cast<int>(in.size()), op, m), 1);
        pos += static_cast<size_t>(m);
    }
    if (alias) {
        out[0] = in[0];
        out[1] = in[1];
    }
    return out;
}

// Plain twin: every ear is the sum over channels of the direct convolution, in double.
std::vector<double> Direct(const std::vector<std::vector<float>>& in,
                           const std::vector<std::vector<float>>& h, int ear, size_t n) {
    std::vector<double> y(n, 0.0);
    for (size_t c = 0; c < in.size(); ++c) {
        const std::vector<float>& f = h[c * 2 + static_cast<size_t>(ear)];
        for (size_t t = 0; t < n; ++t)
            for (size_t k = 0; k < f.size() && k <= t; ++k)
                y[t] += static_cast<double>(f[k]) * in[c][t - k];
    }
    return y;
}

TEST(Headphones, ConvolutionEqualsDirectConvolutionInAnyBlocks) {
    // Partition 0 lets the stage pick its step: for 557 samples, transforms of 4096 points (the
    // smallest power of two of at least 4 x 557) leave 4096 - 557 + 1 = 3540 samples per step.
    // The last channel of the wider cases is a single tap (an LFE), added without transforms.
    struct Case {
        int channels, length, partition, maxBlock, latency;
    } cases[] = {{6, 557, 256, 700, 256},   {3, 100, 64, 1, 64},     {2, 1, 32, 33, 32},
                 {8, 1000, 128, 4096, 128}, {6, 557, 0, 3000, 3540}, {3, 100, 0, 50, 925}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.channels * 100000 + k.length * 10 + (k.partition == 0));
        auto h = RandomChannels(2 * k.channels, static_cast<size_t>(k.length), 7u + k.length, 0.5f);
        if (k.channels >= 3)
            for (int ear = 0; ear < 2; ++ear)
                std::fill(h[2 * (k.channels - 1) + ear].begin() + 1, h[2 * (k.channels - 1) + ear].end(),
                          0.0f);
        std::vector<const float*> left, right;
        for (int c = 0; c < k.channels; ++c) {
            left.push_back(h[2 * c].data());
            right.push_back(h[2 * c + 1].data());
        }
        CHalvaneHeadphones hp;
        std::string error;
        ASSERT_TRUE(
            hp.InitializeFilters(k.channels, k.length, left.data(), right.data(), k.partition, error));
        ASSERT_EQ(hp.GetLatency(), k.latency);
        const size_t n = static_cast<size_t>(k.latency) + 3000;
        const auto in = RandomChannels(k.channels, n, 11u * k.channels);
        const auto out = RunInBlocks(hp, in, 3u, k.maxBlock, k.channels >= 2);
        for (int ear = 0; ear < 2; ++ear) {
            const std::vector<double> ref = Direct(in, h, ear, n);
            double peak = 0.0, worst = 0.0;
            for (size_t t = 0; t < n; ++t)
                peak = std::max(peak, std::fabs(ref[t]));
            for (size_t t = 0; t + k.latency < n; ++t)
                worst = std::max(worst, std::fabs(out[ear][t + k.latency] - ref[t]));
            for (int t = 0; t < k.latency; ++t)
                ASSERT_EQ(out[ear][t], 0.0f);
            EXPECT_LE(worst, 1e-5 * peak) << "ear " << ear;
        }
        // Another cut into blocks gives the same samples, bit for bit.
        hp.Reset();
        EXPECT_TRUE(SameBits(RunInBlocks(hp, in, 99u, 4096, false)[1], out[1]));
    }
}

TEST(Headphones, ProcessRefusesWhatItCannotTakeAndNeverAllocates) {
    CHalvaneHeadphones hp;
    float buf[2][64] = {};
    const float* in[2] = {buf[0], buf[1]};
    float* out[2] = {buf[0], buf[1]};
    EXPECT_EQ(hp.Process(in, 2, out, 64), 0); // no stage yet
    const auto h = RandomChannels(12, 600, 5u);
    std::vector<const float*> l, r;
    for (int c = 0; c < 6; ++c) {
        l.push_back(h[2 * c].data());
        r.push_back(h[2 * c + 1].data());
    }
    std::string error;
    ASSERT_TRUE(hp.InitializeFilters(6, 600, l.data(), r.data(), 128, error));
    EXPECT_EQ(hp.Process(in, 2, out, 64), 0); // six channels expected
    const auto feed = RandomChannels(6, 5000, 8u);
    std::vector<const float*> ip(6);
    std::vector<float> ears(2 * 5000);
    const counting::Counts counts = counting::CountDuring([&] {
        for (int pos = 0, m = 1; pos + m <= 5000; pos += m, m = m * 3 % 977 + 1) {
            for (int c = 0; c < 6; ++c)
                ip[c] = feed[c].data() + pos;
            float* op[2] = {ears.data() + pos, ears.data() + 5000 + pos};
            hp.Process(ip.data(), 6, op, m);
        }
    });
    EXPECT_EQ(counts.Calls(), 0);
    EXPECT_FALSE(hp.InitializeFilters(0, 600, l.data(), r.data(), 128, error));
    EXPECT_FALSE(hp.InitializeFilters(6, 600, l.data(), r.data(), -1, error));
}

TEST(Headphones, VirtualSpeakersSeenFromTheCentreOfTheDefaultRoom) {
    // Azimuths worked out from the speaker places on the walls of a 3 x 3 m room, listener at
    // (1.5, 1.5) facing the front wall: a front corner is atan(1.5 / 1.5) = 45 degrees off, a
    // quarter of the front wall atan(0.75 / 1.5) = 26.565 degrees, mid side walls 90 degrees.
    struct Case {
        int layout;
        std::vector<float> azimuths; // channel order; LFE 0
    } cases[] = {
        {3, {90, -90}},
        {51, {45, -45, 135, -135}},
        {63, {45, -45, 0, 0, 135, -135}},
        {255, {45, -45, 0, 0, 135, -135, 26.565f, -26.565f}},
        {271, {45, -45, 0, 0, 180}},
        {1595, {45, -45, 0, 0, 135, -135, 180}},
        {1599, {45, -45, 0, 0, 135, -135, 90, -90}},
    };
    for (const Case& k : cases) {
        HalvaneHeadphonesSettings s;
        s.layout = k.layout;
        std::vector<HalvaneVirtualSpeaker> v;
        ASSERT_TRUE(CHalvaneHeadphones::VirtualSpeakers(s, v));
        ASSERT_EQ(v.size(), k.azimuths.size()) << k.layout;
        for (size_t c = 0; c < v.size(); ++c) {
            EXPECT_EQ(v[c].channel, static_cast<int>(c));
            EXPECT_EQ(v[c].lfe, v[c].speaker == HALVANE_LFE);
            EXPECT_NEAR(std::fabs(v[c].azimuth), std::fabs(k.azimuths[c]), 1e-3) << k.layout << " ch " << c;
            if (std::fabs(k.azimuths[c]) < 179.0f) {
                EXPECT_NEAR(v[c].azimuth, k.azimuths[c], 1e-3) << k.layout << " ch " << c;
            }
        }
    }
    // A listener near the front wall sees the back speakers almost straight behind.
    HalvaneHeadphonesSettings near;
    near.listenerGiven = true;
    near.listenerX = 1.5f;
    near.listenerY = 0.0f;
    std::vector<HalvaneVirtualSpeaker> v;
    ASSERT_TRUE(CHalvaneHeadphones::VirtualSpeakers(near, v));
    EXPECT_NEAR(v[0].azimuth, 90.0f, 1e-4);                                        // FL: straight left
    EXPECT_NEAR(v[4].azimuth, 180.0f - std::atan(1.5 / 3.0) * 180.0 / M_PI, 1e-3); // BL
}

TEST(Headphones, UnreadableSofaFilesAreNamedWithTheirProblem) {
    const std::string missing = testing::TempDir() + "no-such-set.sofa";
    const std::string garbage = testing::TempDir() + "garbage.sofa";
    FILE* f = std::fopen(garbage.c_str(), "wb");
    ASSERT_TRUE(f);
    std::fputs("this is not an HDF5 file\n", f);
    std::fclose(f);
    struct Case {
        std::string path, problem;
    } cases[] = {{missing, "No such file"}, {garbage, "not a SOFA file"}};
    for (const Case& k : cases) {
        HalvaneHeadphonesSettings s;
        s.hrtfFile = k.path;
        CHalvaneHeadphones hp;
        std::string error;
        EXPECT_FALSE(hp.Initialize(s, error));
        EXPECT_NE(error.find(k.path), std::string::npos) << error;
        EXPECT_NE(error.find(k.problem), std::string::npos) << error;
        EXPECT_EQ(hp.GetInputChannels(), 0);
    }
    std::remove(garbage.c_str());
}

} // namespace
