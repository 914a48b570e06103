#include "nodes/SurrEffectIIRLowPassFilter.h"

#include <cmath>

CSurrEffectIIRLowPassFilter::CSurrEffectIIRLowPassFilter() {
    m_nFrequency = 8000;
}

// Second-order Butterworth high-pass by the bilinear transform (c = tan(w)). b1 is exactly -2·b0,
// so the gain at 0 Hz is exactly zero.
void CSurrEffectIIRLowPassFilter::DesignTaps() {
    const double w = static_cast<double>(m_nFrequency) * PI / static_cast<double>(m_nSamplesPerSec);
    const double s = std::sqrt(2.0);
    const double c = std::tan(w);
    const double c2 = c * c;
    const double d = s * c + 1.0 + c2;
    const float b0 = static_cast<float>(1.0 / d);
    m_fTaps[0] = b0;
    m_fTaps[1] = static_cast<float>(-2.0 / d);
    m_fTaps[2] = b0;
    m_fTaps[3] = 1.0f;
    m_fTaps[4] = static_cast<float>(2.0 * (c2 - 1.0) / d);
    m_fTaps[5] = static_cast<float>((c2 + (1.0 - s * c)) / d);
}
