// The reverb core's smooth mode: levels that glide, and line lengths that glide to a new room size
// inside lines sized once for the largest room.
//
// In the jumping layout line k is a buffer of m_nLineLength[k] samples read and written at one
// position. While anything glides the lines take the ring layout: every line a ring of
// m_nCapacity samples, all written at m_nRingWrite, line k read m_dDelay[k] samples back (between
// samples when the delay has a fraction). A delay equal to the length reads exactly what the
// jumping layout reads, so a core returns to that layout, and to the lockstep engine, the moment
// its glides end.
#include <algorithm>
#include <cstring>

#include "reverb/SurrReverbFdnEffect.h"

namespace {

// Shortest line whose delay may glide: the interpolator reads from one sample after the delay, and
// that sample must already be written.
constexpr int32_t SHORTEST_GLIDING_LINE = 4;

// std::rotate(line, line + k, line + n), by block copies through `scratch` (room floats) when the
// shorter part fits there: the same samples in the same places, without a swap per sample.
void Rotate(float* line, int32_t n, int32_t k, float* scratch, int32_t room) {
    if (k <= 0 || k >= n)
        return;
    const size_t head = static_cast<size_t>(k);
    const size_t tail = static_cast<size_t>(n - k);
    if (k <= room && k <= n - k) {
        std::memcpy(scratch, line, sizeof(float) * head);
        std::memmove(line, line + k, sizeof(float) * tail);
        std::memcpy(line + (n - k), scratch, sizeof(float) * head);
    } else if (n - k <= room) {
        std::memcpy(scratch, line + k, sizeof(float) * tail);
        std::memmove(line + (n - k), line, sizeof(float) * head);
        std::memcpy(line, scratch, sizeof(float) * tail);
    } else {
        std::rotate(line, line + k, line + n);
    }
}

} // namespace

bool CSurrReverbFdnEffect::Gliding() const {
    return m_bRing || GlidesActive();
}

bool CSurrReverbFdnEffect::GlidesActive() const {
    return m_nDelayDone < m_nDelayLength || m_DryGlide.Gliding() || m_WetGlide.Gliding() ||
           m_GainGlide.Gliding() || m_DecayGlide.Gliding();
}

void CSurrReverbFdnEffect::SetGlide(int32_t samples) {
    m_nGlide = samples;
    if (samples == 0) {
        FinishGlides();
        return;
    }
    if (HasLines() && m_nCapacity == 0)
        GrowLines();
}

// Each line's delay moves from where it is to its new length, all lines over the same samples: the
// normal glide, longer when the largest move would otherwise exceed a quarter sample per sample.
bool CSurrReverbFdnEffect::StartLengthGlide(const int32_t* lengths) {
    double largestMove = 0.0;
    for (int k = 0; k < LINES; ++k) {
        const double current = m_bRing ? m_dDelay[k] : m_LeftBank.m_nLineLength[k];
        if (lengths[k] < SHORTEST_GLIDING_LINE || current < SHORTEST_GLIDING_LINE ||
            lengths[k] + 3 > m_nCapacity)
            return false;
        largestMove = std::max(largestMove, std::fabs(lengths[k] - current));
    }
    for (int k = 0; k < LINES; ++k) {
        m_dDelayStart[k] = m_bRing ? m_dDelay[k] : m_LeftBank.m_nLineLength[k];
        m_dDelay[k] = m_dDelayStart[k];
        m_nTargetLength[k] = lengths[k];
    }
    m_nDelayDone = 0;
    m_nDelayLength = halvane::DelayGlideSamples(largestMove, m_nGlide);
    return true;
}

void CSurrReverbFdnEffect::FinishGlides() {
    m_DryGlide.Reset(m_DryGlide.Target());
    m_WetGlide.Reset(m_WetGlide.Target());
    m_GainGlide.Reset(m_GainGlide.Target());
    m_DecayGlide.Reset(m_DecayGlide.Target());
    if (!m_bRing && m_nDelayDone >= m_nDelayLength)
        return;
    if (!m_bRing)
        ToRing();
    m_nDelayDone = m_nDelayLength;
    ToLines();
}

// Jumping layout to ring: each line's samples, oldest first, end at the ring's last place, and
// the ring is written from place 0 on. The places before them were never written: silence.
void CSurrReverbFdnEffect::ToRing() {
    const bool pending = m_nDelayDone < m_nDelayLength;
    for (FdnBank* bank : {&m_LeftBank, &m_RightBank}) {
        for (int k = 0; k < LINES && bank->m_pLine[k]; ++k) {
            float* line = bank->m_pLine[k];
            const int32_t length = bank->m_nLineLength[k];
            const int32_t pos = bank->m_nLinePos[k] < length ? bank->m_nLinePos[k] : 0;
            Rotate(line, length, pos, m_OutL.get(), MAX_BLOCK);
            std::memmove(line + (m_nCapacity - length), line, sizeof(float) * static_cast<size_t>(length));
            // Past a silent tail only what the move left behind needs clearing.
            const int32_t stale =
                m_bTailSilent ? std::min(length, m_nCapacity - length) : m_nCapacity - length;
            std::memset(line, 0, sizeof(float) * static_cast<size_t>(stale));
        }
    }
    for (int k = 0; k < LINES; ++k) {
        if (!pending) {
            m_dDelay[k] = m_LeftBank.m_nLineLength[k];
            m_nTargetLength[k] = m_LeftBank.m_nLineLength[k];
        }
    }
    m_nRingWrite = 0;
    m_bRing = true;
    m_nLinesWritten = m_nCapacity;
    m_bTailSilent = false;
}

// Ring to jumping layout at the target lengths: the last `length` samples, oldest first, at the
// start of the buffer, read and written from position 0. Nothing reads a line past its length
// in that layout, and ToRing clears that part before the ring uses it, so it is left as it is
// (not silent) unless the samples wrap around in a way only a whole rotation sorts out.
void CSurrReverbFdnEffect::ToLines() {
    for (FdnBank* bank : {&m_LeftBank, &m_RightBank}) {
        for (int k = 0; k < LINES && bank->m_pLine[k]; ++k) {
            float* line = bank->m_pLine[k];
            const int32_t length = m_nTargetLength[k];
            int32_t oldest = m_nRingWrite - length;
            if (oldest < 0)
                oldest += m_nCapacity;
            const int32_t first = std::min(length, m_nCapacity - oldest); // before the ring's end
            if (first == length) {
                std::memmove(line, line + oldest, sizeof(float) * static_cast<size_t>(length));
            } else if (oldest >= length) {
                // [oldest, capacity) then [0, length - first); the first part lies past the result.
                std::memmove(line + first, line, sizeof(float) * static_cast<size_t>(length - first));
                std::memcpy(line, line + oldest, sizeof(float) * static_cast<size_t>(first));
            } else {
                Rotate(line, m_nCapacity, oldest, m_OutL.get(), MAX_BLOCK);
            }
            bank->m_nLineLength[k] = length;
            bank->m_nLinePos[k] = 0;
        }
    }
    m_bRing = false;
}

// One sample of one bank in the ring layout: the arithmetic of the jumping loop, sample for
// sample, with each line read at its gliding delay. Returns the sums A and B of the mix outputs.
void CSurrReverbFdnEffect::GlideSample(FdnBank& bank, const int* perm, float x, double* d, float gain,
                                       float decay, float& outA, float& outB) {
    const int32_t capacity = m_nCapacity;
    const int32_t write = m_nRingWrite;
    const auto at = [&](const float* line, int32_t delay) {
        const int32_t p = write - delay;
        return line[p < 0 ? p + capacity : p];
    };
    float r[LINES];
    for (int k = 0; k < LINES; ++k) {
        const int32_t i = static_cast<int32_t>(d[k]);
        const double f = d[k] - i;
        const float* line = bank.m_pLine[k];
        if (f == 0.0) {
            r[k] = at(line, i);
        } else {
            const halvane::LagrangeWeights w(f);
            r[k] = static_cast<float>(w.w[0] * at(line, i - 1) + w.w[1] * at(line, i) +
                                      w.w[2] * at(line, i + 1) + w.w[3] * at(line, i + 2));
        }
    }
    float sum = r[0];
    for (int k = 1; k < LINES; ++k)
        sum += r[k];
    const double m = static_cast<float>(sum * HOUSEHOLDER);
    const double g = gain;
    const double c = decay;
    float y[LINES];
    for (int k = 0; k < LINES; ++k) {
        const int j = perm[k];
        const double v = static_cast<float>((r[k] + m) * g);
        if (decay > 0.0f) {
            bank.m_fLowpassState[j] = static_cast<float>(v + c * (bank.m_fLowpassState[j] - v));
            y[j] = bank.m_fLowpassState[j];
        } else {
            y[j] = static_cast<float>(v);
        }
    }
    for (int k = 0; k < LINES; ++k)
        bank.m_pLine[k][write] = y[k] + x;
    float a = 0.0f;
    for (int p = 0; p < LINES / 2; ++p)
        a = static_cast<float>(a + (static_cast<double>(y[2 * p]) - y[2 * p + 1]));
    float b = 0.0f;
    for (int p = 0; p < LINES / 4; ++p)
        b = static_cast<float>(b + (static_cast<double>(y[2 * p]) + y[2 * p + 1]));
    for (int p = LINES / 4; p < LINES / 2; ++p)
        b = static_cast<float>(b - (static_cast<double>(y[2 * p]) + y[2 * p + 1]));
    outA = a;
    outB = b;
}

// Runs samples one by one while anything glides, mixing as the jumping mode mixes; returns the
// samples done. When the glides end, the lines go back to the jumping layout for the rest.
int32_t CSurrReverbFdnEffect::ProcessGliding(float* left, float* right, int32_t n) {
    if (!m_bRing)
        ToRing();
    const bool stereo = right != nullptr;
    int32_t i = 0;
    for (; i < n && GlidesActive(); ++i) {
        if (m_nDelayDone < m_nDelayLength) {
            ++m_nDelayDone;
            const double t = static_cast<double>(m_nDelayDone) / m_nDelayLength;
            for (int k = 0; k < LINES; ++k)
                m_dDelay[k] = m_nDelayDone == m_nDelayLength
                                  ? m_nTargetLength[k]
                                  : m_dDelayStart[k] + (m_nTargetLength[k] - m_dDelayStart[k]) * t;
        }
        const float dry = m_DryGlide.Next();
        const float scale = static_cast<float>(m_WetGlide.Next() / WET_DIVISOR);
        const float gain = m_GainGlide.Next();
        const float decay = m_DecayGlide.Next();
        float a, b;
        GlideSample(m_LeftBank, LEFT_PERMUTATION, left[i], m_dDelay, gain, decay, a, b);
        if (!stereo) {
            const float out = a * scale;
            left[i] = left[i] * dry + out;
        } else {
            float a2, b2;
            GlideSample(m_RightBank, RIGHT_PERMUTATION, right[i], m_dDelay, gain, decay, a2, b2);
            const float outL = static_cast<float>(a * scale + static_cast<double>(a2) * scale);
            const float outR = static_cast<float>(b * scale + static_cast<double>(b2) * scale);
            left[i] = static_cast<float>(left[i] * static_cast<double>(dry) + outL);
            right[i] = static_cast<float>(right[i] * static_cast<double>(dry) + outR);
        }
        if (++m_nRingWrite == m_nCapacity)
            m_nRingWrite = 0;
    }
    if (!GlidesActive())
        ToLines();
    return i;
}
