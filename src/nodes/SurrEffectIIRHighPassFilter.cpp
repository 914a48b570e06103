#include "nodes/SurrEffectIIRHighPassFilter.h"

#include <algorithm>
#include <cmath>

namespace {

// Where each gliding tap (b0, b1, b2, a1, a2) sits in the designed taps b0, b1, b2, a0, a1, a2.
constexpr int TAP_SLOT[5] = {0, 1, 2, 4, 5};

// Puts the glides' taps into a state's normalised taps b0, b1, b2, a1, a2, a2.
void WriteTaps(const halvane::Glide<float> (&glide)[5], float* taps) {
    for (int k = 0; k < 5; ++k)
        taps[k] = glide[k].Current();
    taps[5] = glide[4].Current();
}

bool TapsGliding(const halvane::Glide<float> (&glide)[5]) {
    for (const halvane::Glide<float>& tap : glide)
        if (tap.Gliding())
            return true;
    return false;
}

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

void CSurrEffectIIRHighPassFilter::UpdateParams() {
    DesignTaps();
    RebuildStates();
}

// Second-order Butterworth low-pass by the bilinear transform, with c = cot(w) prewarping the
// cut-off. Each tap is rounded to float once; b2 is b0, so the gain at fs/2 is exactly zero.
void CSurrEffectIIRHighPassFilter::DesignTaps() {
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
}

// Every one of the ten slots is rebuilt, whatever this node's own layout: the graph may hand it
// up to ten channels, and a flagged channel must always find a built filter. Rebuilding clears
// the delay lines, so the filters restart from silence.
void CSurrEffectIIRHighPassFilter::RebuildStates() {
    for (NspIirFilterState& state : m_IirState) {
        FreeIfBuilt(state);
        nspsIirInit(IIR_TYPE, m_fTaps, IIR_ORDER, &state);
    }
    for (int k = 0; k < 5; ++k)
        m_TapGlide[k].Reset(m_fTaps[TAP_SLOT[k]]);
}

// The states hold the taps normalised by a0, which is exactly 1.0 in both designs: the designed
// values are what the kernel reads. Each tap glides from the value it has reached.
void CSurrEffectIIRHighPassFilter::StartTapGlide() {
    for (int k = 0; k < 5; ++k)
        m_TapGlide[k].SetTarget(m_fTaps[TAP_SLOT[k]], m_nGlide);
}

void CSurrEffectIIRHighPassFilter::SetGlide(int32_t samples) {
    m_nGlide = samples;
    if (samples == 0) {
        for (int k = 0; k < 5; ++k)
            m_TapGlide[k].Reset(m_TapGlide[k].Target());
        m_GainGlide.Reset(m_fGain);
        for (NspIirFilterState& state : m_IirState)
            if (state.initMarker == NSP_IIR_INIT_MARKER)
                WriteTaps(m_TapGlide, state.tapSt.taps);
    }
}

// The same recurrence as the kernel's order-2 loop, operation for operation, with taps that move
// every sample; once the glide is over the kernel's own taps hold the target.
void CSurrEffectIIRHighPassFilter::FilterGliding(NspIirFilterState& state, float* samples, int32_t n) {
    float* d = state.dlySt.dlyl;
    float d0 = d[0], d1 = d[1];
    int32_t i = 0;
    for (; i < n && TapsGliding(m_TapGlide); ++i) {
        const double b0 = m_TapGlide[0].Next(), b1 = m_TapGlide[1].Next(), b2 = m_TapGlide[2].Next();
        const double a1 = m_TapGlide[3].Next(), a2 = m_TapGlide[4].Next();
        const double x = samples[i];
        const double y = b0 * x + d0;
        d0 = static_cast<float>(d1 + b1 * x - a1 * y);
        d1 = static_cast<float>(b2 * x - a2 * y);
        samples[i] = static_cast<float>(y);
    }
    d[0] = d0;
    d[1] = d1;
    if (!TapsGliding(m_TapGlide))
        WriteTaps(m_TapGlide, state.tapSt.taps);
    if (i < n)
        nspsbIir(&state, samples + i, samples + i, n - i);
}

int CSurrEffectIIRHighPassFilter::Process(_SOUNDDATAEX_* data) {
    const int channels = static_cast<int>(data->Channels.size());
    m_GainGlide.SetTarget(m_fGain, m_nGlide);
    for (int i = 0; i < channels && i < FILTER_SLOTS; ++i) {
        // A state that could not be built (only possible when the kernels do not end the process
        // on failure) leaves its channel untouched rather than being handed to the kernel.
        if (m_nFilterChannel[i] == 0 || m_IirState[i].initMarker != NSP_IIR_INIT_MARKER)
            continue;
        float* buffer = data->Channels[i];
        if (TapsGliding(m_TapGlide)) {
            // Every channel runs the same tap path; the glides are put back for the next one.
            halvane::Glide<float> taps[5];
            std::copy(m_TapGlide, m_TapGlide + 5, taps);
            FilterGliding(m_IirState[i], buffer, data->nSamples);
            std::copy(taps, taps + 5, m_TapGlide);
        } else {
            nspsbIir(&m_IirState[i], buffer, buffer, data->nSamples);
        }
        halvane::Glide<float> gain = m_GainGlide;
        const int32_t done = MultiplyGliding(gain, buffer, data->nSamples);
        if (done < data->nSamples && !(m_fGain == 1.0f)) // a NaN gain is applied as well
            nspsbMpy1(m_fGain, buffer + done, data->nSamples - done);
    }
    // The glides move on with the stream, whichever channels ran; a tap glide that ends here leaves
    // its target in every state, the unflagged ones included.
    m_GainGlide.Advance(data->nSamples);
    if (TapsGliding(m_TapGlide)) {
        for (halvane::Glide<float>& tap : m_TapGlide)
            tap.Advance(data->nSamples);
        if (!TapsGliding(m_TapGlide))
            for (NspIirFilterState& state : m_IirState)
                if (state.initMarker == NSP_IIR_INIT_MARKER)
                    WriteTaps(m_TapGlide, state.tapSt.taps);
    }
    return 1;
}

void CSurrEffectIIRHighPassFilter::SetFrequency(int32_t hz) {
    m_nFrequency = hz;
    if (m_nGlide == 0 || m_IirState[0].initMarker != NSP_IIR_INIT_MARKER) {
        UpdateParams();
        return;
    }
    DesignTaps();
    StartTapGlide();
}

void CSurrEffectIIRHighPassFilter::SetFilterChannels(const int32_t* flags, int32_t count) {
    if (count < 1 || count > FILTER_SLOTS)
        return;
    for (int32_t i = 0; i < count; ++i)
        m_nFilterChannel[i] = flags[i];
}
