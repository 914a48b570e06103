#include "nodes/SurrEffectDelay.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

void CSurrEffectDelayEx::Initialize(tWAVEFORMATEX* format) {
    CSurrBaseEffect::Initialize(format);
    SetDelay(m_fDelay, true);
    std::fill(m_History, m_History + HISTORY, 0.0f);
    m_nOldest = 0;
}

void CSurrEffectDelayEx::SetDelay(float ms, bool recompute) {
    m_fDelay = ms;
    if (!recompute)
        return;
    // Whole samples, truncated toward zero, from the product and quotient formed in double
    // (10.5 ms at 44100 Hz: 463.05 -> 463).
    const double samples = std::trunc(static_cast<double>(ms) * m_nSamplesPerSec / 1000.0);
    // Out-of-range values saturate (the conversion alone would be undefined); Process clamps the
    // delay into the history anyway.
    if (std::isnan(samples))
        m_nDelaySamples = 0;
    else if (samples >= static_cast<double>(std::numeric_limits<int32_t>::max()))
        m_nDelaySamples = std::numeric_limits<int32_t>::max();
    else if (samples <= static_cast<double>(std::numeric_limits<int32_t>::min()))
        m_nDelaySamples = std::numeric_limits<int32_t>::min();
    else
        m_nDelaySamples = static_cast<int32_t>(samples);
}

int CSurrEffectDelayEx::Process(_SOUNDDATAEX_* data) {
    const int32_t n = data->nSamples;
    if (n <= 0 || data->Channels.empty())
        return 1;
    float* samples = data->Channels[0];

    // The block goes into the ring first (only the last HISTORY samples of an oversized block can
    // be kept), then the output is read back from the ring: that makes the in-place copy safe.
    const int32_t kept = std::min(n, HISTORY);
    const float* in = samples + (n - kept);
    const int32_t writeAt = (m_nOldest + (n - kept) % HISTORY) % HISTORY;
    const int32_t head = std::min(kept, HISTORY - writeAt);
    std::memcpy(m_History + writeAt, in, sizeof(float) * head);
    std::memcpy(m_History, in + head, sizeof(float) * (kept - head));
    m_nOldest = (writeAt + kept) % HISTORY;

    // The block and its delay must fit in the history: a delay below 0 or reaching past the oldest
    // sample is clamped to the nearest one that does. A block longer than the history passes
    // undelayed, as it already holds its own samples.
    if (n >= HISTORY)
        return 1;
    const int32_t d = std::clamp(m_nDelaySamples, 0, HISTORY - n);

    // The block's first sample now sits n places before m_nOldest; output sample j is the sample
    // d places before block sample j.
    const int32_t readAt = (m_nOldest - n - d + 2 * HISTORY) % HISTORY;
    const int32_t first = std::min(n, HISTORY - readAt);
    std::memcpy(samples, m_History + readAt, sizeof(float) * first);
    std::memcpy(samples + first, m_History, sizeof(float) * (n - first));
    return 1;
}
