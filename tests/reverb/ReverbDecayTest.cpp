// The reverb's decay measured from its impulse response against what the network's loop predicts:
// each pass through a line multiplies the circulating sound by the loop gain 1 - absorption and by
// the damping filter's response, and a pass takes the mean line length on average.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <vector>

#include "nodes/NodeTestSupport.h"
#include "reverb/SurrReverbFdnEffect.h"

namespace {

constexpr int RATE = 44100;
constexpr double PI = 3.14159265358979323846;

// Mean line length at the reference room and rate, in samples: the twelve lengths are the primes
// 601 .. 1187 and add up to 12212.
constexpr double MEAN_LINE = 12212.0 / 12.0;

std::vector<float> ImpulseResponse(float absorb, float hfDecay, double seconds) {
    CSurrReverbFdnEffect core;
    tWAVEFORMATEX f = Format(RATE, 1);
    core.Initialize(&f);
    core.SetDry(0.0f);
    core.SetWet(1.0f);
    core.SetFeedbackGain(1.0f - absorb);
    core.SetHFDecay(hfDecay);
    core.SetRoomSize(static_cast<float>(CSurrReverbFdnEffect::FDN_REFERENCE_ROOM));
    std::vector<float> x(static_cast<size_t>(seconds * RATE), 0.0f);
    x[0] = 1.0f;
    for (size_t done = 0; done < x.size(); done += 4096) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(4096, x.size() - done));
        core.Process(_SOUNDDATA_{n, x.data() + done, nullptr});
    }
    return x;
}

// A third of an octave around fc: four RBJ band-pass sections (0 dB peak) in cascade, in double, so
// that the slower-decaying bass leaks less than the tail's -25 dB into the band.
std::vector<double> BandPass(const std::vector<float>& x, double fc) {
    const double w = 2 * PI * fc / RATE;
    const double alpha = std::sin(w) * std::sinh(std::log(2.0) / 2 / 3 * w / std::sin(w));
    const double a0 = 1 + alpha;
    const double b0 = alpha / a0, b2 = -alpha / a0, a1 = -2 * std::cos(w) / a0, a2 = (1 - alpha) / a0;
    std::vector<double> y(x.begin(), x.end());
    for (int section = 0; section < 4; ++section) {
        double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
        for (double& v : y) {
            const double in = v;
            v = b0 * in + b2 * x2 - a1 * y1 - a2 * y2;
            x2 = x1;
            x1 = in;
            y2 = y1;
            y1 = v;
        }
    }
    return y;
}

// Decay time to -60 dB from the backward-integrated energy (Schroeder), by a least-squares line
// through its -5 .. -25 dB part.
template <typename T>
double Rt60(const std::vector<T>& h) {
    std::vector<double> edc(h.size());
    double sum = 0;
    for (size_t i = h.size(); i-- > 0;) {
        sum += static_cast<double>(h[i]) * h[i];
        edc[i] = sum;
    }
    double sx = 0, sy = 0, sxx = 0, sxy = 0, n = 0;
    for (size_t i = 0; i < h.size(); ++i) {
        const double db = 10 * std::log10(edc[i] / edc[0]);
        if (db > -5 || db < -25)
            continue;
        const double t = static_cast<double>(i) / RATE;
        sx += t, sy += db, sxx += t * t, sxy += t * db, n += 1;
    }
    const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx); // dB per second
    return -60.0 / slope;
}

// Decay time the loop predicts for a per-pass gain: 60 dB over the passes it takes, each pass
// the mean line length long.
double PredictedRt60(double passGain) {
    return 60.0 / (-20.0 * std::log10(passGain)) * MEAN_LINE / RATE;
}

// Magnitude of the damping low-pass y = (1 - c) v + c y' at angular frequency w.
double DampingGain(double c, double w) {
    return (1 - c) / std::sqrt(1 - 2 * c * std::cos(w) + c * c);
}

} // namespace

// Absorption 0.05 gives 0.4455 dB per pass, 134.7 passes to -60 dB, 3.11 s; 0.4 gives 0.31 s.
TEST(ReverbDecay, DecayTimeFallsAsAbsorptionRisesAsTheLoopGainPredicts) {
    double previous = 1e9;
    for (float absorb : {0.05f, 0.1f, 0.2f, 0.4f}) {
        const double expected = PredictedRt60(1.0 - absorb);
        const double measured = Rt60(ImpulseResponse(absorb, 0.0f, 1.5 * expected + 0.5));
        EXPECT_NEAR(measured, expected, 0.1 * expected) << "absorption " << absorb;
        EXPECT_LT(measured, 0.6 * previous) << "absorption " << absorb;
        previous = measured;
    }
}

// With damping c the high band loses |H| = (1 - c) / sqrt(1 - 2c cos w + c^2) more per pass: at
// 11025 Hz and c = 0.42 that is 5.4 dB on top of the loop gain's 0.45, a quarter of a second
// instead of three; the bass keeps nearly the undamped time.
TEST(ReverbDecay, HighFrequencyDampingShortensTheHighBandByTheFiltersResponse) {
    const float absorb = 0.05f;
    for (float c : {0.2f, 0.42f}) {
        const std::vector<float> h = ImpulseResponse(absorb, c, 5.0);
        double low = 0;
        for (double fc : {250.0, 4000.0, 11025.0}) {
            const double expected = PredictedRt60((1.0 - absorb) * DampingGain(c, 2 * PI * fc / RATE));
            const double measured = Rt60(BandPass(h, fc));
            EXPECT_NEAR(measured, expected, 0.1 * expected) << "damping " << c << ", " << fc << " Hz";
            if (fc == 250.0)
                low = measured;
            else
                EXPECT_LT(measured, 0.6 * low) << "damping " << c << ", " << fc << " Hz";
        }
    }
    // Without damping the high band rings as long as the bass.
    const std::vector<float> flat = ImpulseResponse(absorb, 0.0f, 5.0);
    EXPECT_NEAR(Rt60(BandPass(flat, 11025.0)), Rt60(BandPass(flat, 250.0)),
                0.1 * PredictedRt60(1.0 - absorb));
}
