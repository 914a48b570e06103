#include "nodes/SurrEffectDelay.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

CSurrEffectDelayEx::CSurrEffectDelayEx(halvane::History history) : m_History(std::move(history)) {
    m_History.Clear();
}

void CSurrEffectDelayEx::Initialize(tWAVEFORMATEX* format) {
    CSurrBaseEffect::Initialize(format);
    SetDelay(m_fDelay, true);
    m_History.Clear();
    m_nOldest = 0;
    // A new stream starts at its delay: nothing glides in from zero.
    m_DelayGlide.Reset(std::clamp(m_nDelaySamples, 0, MAX_GLIDE_DELAY));
}

void CSurrEffectDelayEx::SetGlide(int32_t samples) {
    m_nGlide = samples;
    if (samples == 0)
        m_DelayGlide.Reset(std::clamp(m_nDelaySamples, 0, MAX_GLIDE_DELAY));
}

void CSurrEffectDelayEx::SetDelay(float ms, bool recompute) {
    m_fDelay = ms;
    if (!recompute)
        return;
    m_nDelaySamples = DelaySamples(ms, m_nSamplesPerSec);
    const double target = std::clamp(m_nDelaySamples, 0, MAX_GLIDE_DELAY);
    m_DelayGlide.SetTarget(target, halvane::DelayGlideSamples(target - m_DelayGlide.Current(), m_nGlide));
}

int32_t CSurrEffectDelayEx::DelaySamples(float ms, int32_t rate) {
    // Whole samples, truncated toward zero, from the product and quotient formed in double
    // (10.5 ms at 44100 Hz: 463.05 -> 463).
    const double samples = std::trunc(static_cast<double>(ms) * rate / 1000.0);
    // Out-of-range values saturate (the conversion alone would be undefined); Process clamps the
    // delay into the history anyway.
    if (std::isnan(samples))
        return 0;
    if (samples >= static_cast<double>(std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    if (samples <= static_cast<double>(std::numeric_limits<int32_t>::min()))
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(samples);
}

int CSurrEffectDelayEx::Process(_SOUNDDATAEX_* data) {
    const int32_t n = data->nSamples;
    if (n <= 0 || data->Channels.empty())
        return 1;
    float* samples = data->Channels[0];
    float* history = m_History.Data();

    // The block goes into the ring first (only the last HISTORY samples of an oversized block can
    // be kept), then the output is read back from the ring: that makes the in-place copy safe.
    const int32_t kept = std::min(n, HISTORY);
    const float* in = samples + (n - kept);
    const int32_t writeAt = (m_nOldest + (n - kept) % HISTORY) % HISTORY;
    const int32_t head = std::min(kept, HISTORY - writeAt);
    std::memcpy(history + writeAt, in, sizeof(float) * head);
    std::memcpy(history, in + head, sizeof(float) * (kept - head));
    m_nOldest = (writeAt + kept) % HISTORY;
    m_History.Wrote(n);

    // The block and its delay must fit in the history: a delay below 0 or reaching past the oldest
    // sample is clamped to the nearest one that does. A block longer than the history passes
    // undelayed, as it already holds its own samples.
    if (n >= HISTORY)
        return 1;
    const int32_t glided = m_DelayGlide.Gliding() ? ReadGliding(samples, n) : 0;
    const int32_t d = std::clamp(m_nDelaySamples, 0, HISTORY - n);

    // The block's first sample now sits n places before m_nOldest; output sample j is the sample
    // d places before block sample j.
    const int32_t rest = n - glided;
    const int32_t readAt = (m_nOldest - rest - d + 2 * HISTORY) % HISTORY;
    const int32_t first = std::min(rest, HISTORY - readAt);
    std::memcpy(samples + glided, history + readAt, sizeof(float) * first);
    std::memcpy(samples + glided + first, history, sizeof(float) * (rest - first));
    return 1;
}

// Output sample j is read at the glide's delay for that sample (see ReadRing), straight from the
// history where the four samples do not wrap around its end. Returns the samples read while the
// glide lasted; the rest of the block is read whole, at the target's delay, as the jumping delay
// reads it.
int32_t CSurrEffectDelayEx::ReadGliding(float* samples, int32_t n) {
    const int32_t first = (m_nOldest - n + HISTORY) % HISTORY; // ring place of block sample 0
    const double limit = std::min(MAX_GLIDE_DELAY, HISTORY - n - 3);
    const float* h = m_History.Data();
    const int32_t run = std::min(n, m_DelayGlide.Remaining());
    for (int32_t j = 0; j < run; ++j) {
        int32_t newest = first + j;
        if (newest >= HISTORY)
            newest -= HISTORY;
        const double delay = std::clamp(m_DelayGlide.Ahead(j + 1), 0.0, limit);
        const int32_t i = static_cast<int32_t>(delay);
        const double f = delay - i;
        const int32_t p = newest - i + 1; // ring place of the sample one newer than the delay
        if (i >= 1 && f != 0.0 && p >= 3) {
            const halvane::LagrangeWeights w(f);
            samples[j] =
                static_cast<float>(w.w[0] * h[p] + w.w[1] * h[p - 1] + w.w[2] * h[p - 2] + w.w[3] * h[p - 3]);
        } else {
            samples[j] = halvane::ReadRing(h, HISTORY, newest, delay);
        }
    }
    m_DelayGlide.Advance(run);
    return run;
}
