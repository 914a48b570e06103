#include "nodes/SurrEffectIIRHighPassFilter.h"

#include <cmath>

namespace {

// Filter type handed to the state builder (recorded only) and the order of every filter here.
constexpr int32_t IIR_TYPE = 1;
constexpr int32_t IIR_ORDER = 2;
constexpr int FILTER_SLOTS = 10;

// A state is either built or free (marker 0): a failed build leaves it free as well.
void FreeIfBuilt(NspIirFilterState& state) {
    if (state.initMarker == NSP_IIR_INIT_MARKER)
        nspIirFree(&state); // clears the marker
}

} // namespace

CSurrEffectIIRHighPassFilter::~CSurrEffectIIRHighPassFilter() {
    for (NspIirFilterState& state : m_IirState)
        FreeIfBuilt(state);
}

void CSurrEffectIIRHighPassFilter::Initialize(tWAVEFORMATEX* format) {
    CSurrBaseEffect::Initialize(format);
    UpdateParams();
}

// Second-order Butterworth low-pass by the bilinear transform, with c = cot(w) prewarping the
// cut-off. Each tap is rounded to float once; b2 is b0, so the gain at fs/2 is exactly zero.
void CSurrEffectIIRHighPassFilter::UpdateParams() {
    const double w = static_cast<double>(m_nFrequency) * PI / static_cast<double>(m_nSamplesPerSec);
    const double s = std::sqrt(2.0);
    const double c = 1.0 / std::tan(w);
    const double c2 = c * c;
    const double d = s * c + 1.0 + c2;
    const float b0 = static_cast<float>(1.0 / d);
    m_fTaps[0] = b0;
    m_fTaps[1] = static_cast<float>(2.0 / d);
    m_fTaps[2] = b0;
    m_fTaps[3] = 1.0f;
    m_fTaps[4] = static_cast<float>(2.0 * (1.0 - c2) / d);
    m_fTaps[5] = static_cast<float>((c2 + (1.0 - s * c)) / d);
    RebuildStates();
}

// Every one of the ten slots is rebuilt, whatever this node's own layout: the graph may hand it
// up to ten channels, and a flagged channel must always find a built filter. Rebuilding clears
// the delay lines, so the filters restart from silence.
void CSurrEffectIIRHighPassFilter::RebuildStates() {
    for (NspIirFilterState& state : m_IirState) {
        FreeIfBuilt(state);
        nspsIirInit(IIR_TYPE, m_fTaps, IIR_ORDER, &state);
    }
}

int CSurrEffectIIRHighPassFilter::Process(_SOUNDDATAEX_* data) {
    const int channels = static_cast<int>(data->Channels.size());
    for (int i = 0; i < channels && i < FILTER_SLOTS; ++i) {
        // A state that could not be built (only possible when the kernels do not end the process
        // on failure) leaves its channel untouched rather than being handed to the kernel.
        if (m_nFilterChannel[i] == 0 || m_IirState[i].initMarker != NSP_IIR_INIT_MARKER)
            continue;
        float* buffer = data->Channels[i];
        nspsbIir(&m_IirState[i], buffer, buffer, data->nSamples);
        if (!(m_fGain == 1.0f)) // a NaN gain is applied as well
            nspsbMpy1(m_fGain, buffer, data->nSamples);
    }
    return 1;
}

void CSurrEffectIIRHighPassFilter::SetFrequency(int32_t hz) {
    m_nFrequency = hz;
    UpdateParams();
}

void CSurrEffectIIRHighPassFilter::SetFilterChannels(const int32_t* flags, int32_t count) {
    if (count < 1 || count > FILTER_SLOTS)
        return;
    for (int32_t i = 0; i < count; ++i)
        m_nFilterChannel[i] = flags[i];
}
