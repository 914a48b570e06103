// Gliding values for the smooth mode: a parameter that moves to its new value sample by sample
// instead of jumping at a block boundary, and the four-point interpolator that reads a delay line
// between its samples while a delay glides.
#ifndef HALVANE_DSP_GLIDE_H
#define HALVANE_DSP_GLIDE_H

#include <cmath>
#include <cstdint>

namespace halvane {

// Length of a glide: 20 ms, long enough that a gain or delay moved 100 times a second changes
// slope rather than value at each move, short enough that a control still answers at once.
constexpr double GLIDE_SECONDS = 0.020;

// Glide length in samples at a rate: 20 ms rounded to the nearest sample, at least one.
inline int32_t GlideSamples(int32_t rate) {
    const double samples = std::floor(GLIDE_SECONDS * rate + 0.5);
    return samples < 1.0 ? 1 : static_cast<int32_t>(samples);
}

// A value that moves in a straight line from where it is to a new target over a number of samples
// counted on the stream: the first sample after SetTarget already moves, the last sample of the
// glide holds the target exactly, and a new target during a glide starts from the value reached.
// The value at each sample depends only on the samples since the change, never on how blocks are
// cut. The first target a glide ever gets is taken at once: nothing glides in from zero.
template <typename T>
class Glide {
public:
    // Jumps to v and stops any glide.
    void Reset(T v) {
        m_Current = m_Start = m_Target = v;
        m_nDone = m_nLength = 0;
        m_bSet = true;
    }
    // Starts a glide of `samples` samples to v (0: jump). The same target again does nothing, so a
    // host that repeats a value does not restart its glide.
    void SetTarget(T v, int32_t samples) {
        if (m_bSet && (v == m_Target || (v != v && m_Target != m_Target))) // NaN repeated is the same
            return;
        if (samples <= 0 || !m_bSet) {
            Reset(v);
            return;
        }
        m_Start = m_Current;
        m_Target = v;
        m_nDone = 0;
        m_nLength = samples;
        m_dStep = (static_cast<double>(m_Target) - static_cast<double>(m_Start)) / samples;
    }
    bool Gliding() const { return m_nDone < m_nLength; }
    T Current() const { return m_Current; }
    T Target() const { return m_Target; }
    // Advances one sample and returns the value for it.
    T Next() {
        Advance(1);
        return m_Current;
    }
    // Samples left until the target.
    int32_t Remaining() const { return m_nLength - m_nDone; }
    // The value k samples on (1 <= k <= Remaining()), without moving: the start plus k steps.
    T Ahead(int32_t k) const {
        return k >= m_nLength - m_nDone ? m_Target
                                        : static_cast<T>(static_cast<double>(m_Start) +
                                                         m_dStep * static_cast<double>(m_nDone + k));
    }
    // Advances n samples at once, to the value n calls of Next reach.
    void Advance(int32_t n) {
        if (m_nDone >= m_nLength)
            return;
        const int32_t k = n >= m_nLength - m_nDone ? m_nLength - m_nDone : n;
        m_Current = Ahead(k);
        m_nDone += k;
    }

private:
    T m_Current = T();
    T m_Start = T();
    T m_Target = T();
    double m_dStep = 0.0; // change per sample
    int32_t m_nDone = 0;
    int32_t m_nLength = 0;
    bool m_bSet = false;
};

// samples[j] *= the gain's value, sample by sample for as long as it glides. Returns the samples
// done; the caller applies the target, a constant by then, to the rest.
inline int32_t MultiplyGliding(Glide<float>& gain, float* samples, int32_t n) {
    const int32_t run = n < gain.Remaining() ? n : gain.Remaining();
    for (int32_t j = 0; j < run; ++j)
        samples[j] = samples[j] * gain.Ahead(j + 1);
    gain.Advance(run);
    return run;
}

// Weights of the cubic Lagrange interpolator through the samples at delays i - 1, i, i + 1 and
// i + 2, read at delay i + f (0 <= f < 1). At f = 0 they are exactly 0, 1, 0, 0.
struct LagrangeWeights {
    double w[4];
    explicit LagrangeWeights(double f) {
        const double fm1 = f - 1.0;
        const double fm2 = f - 2.0;
        const double fp1 = f + 1.0;
        w[0] = -f * fm1 * fm2 / 6.0;
        w[1] = fp1 * fm1 * fm2 / 2.0;
        w[2] = -fp1 * f * fm2 / 2.0;
        w[3] = fp1 * f * fm1 / 6.0;
    }
};

// A ring's sample `delay` samples before the one at place `newest` (a delay of 0 is that sample),
// read between samples: by straight-line interpolation below one sample, as the sample after
// `newest` has not arrived, by the cubic through the two samples on either side above. The delay
// must leave the interpolator's oldest sample inside the ring (delay + 2 < size).
inline float ReadRing(const float* ring, int32_t size, int32_t newest, double delay) {
    const auto at = [&](int32_t k) {
        const int32_t p = newest - k;
        return ring[p < 0 ? p + size : p];
    };
    const int32_t i = static_cast<int32_t>(delay);
    const double f = delay - i;
    if (f == 0.0)
        return at(i);
    if (i == 0)
        return static_cast<float>(at(0) + (static_cast<double>(at(1)) - at(0)) * f);
    const LagrangeWeights w(f);
    return static_cast<float>(w.w[0] * at(i - 1) + w.w[1] * at(i) + w.w[2] * at(i + 1) + w.w[3] * at(i + 2));
}

// Most a delay glide moves its read position per sample: a quarter sample, so that a large jump of
// the delay becomes a glide longer than GLIDE_SECONDS (a pitch bend of at most 25%) instead of a
// read position that runs backwards.
constexpr double GLIDE_MAX_RATE = 0.25;

// Length of a delay glide over `distance` samples: the normal glide, longer when the delay would
// otherwise move faster than GLIDE_MAX_RATE.
// A glide of 0 samples (the jumping mode) stays 0.
inline int32_t DelayGlideSamples(double distance, int32_t glide) {
    if (glide <= 0)
        return 0;
    const double needed = std::ceil(std::fabs(distance) / GLIDE_MAX_RATE);
    if (!(needed < 1.0e9)) // NaN and absurd distances: the normal glide
        return glide;
    return needed > glide ? static_cast<int32_t>(needed) : glide;
}

} // namespace halvane

#endif
