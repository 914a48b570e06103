#include "nodes/SurrVolumeEffect.h"

#include "core/SpeakerLayout.h"
#include "dsp/nsp.h"

using namespace halvane;

namespace {

// Scales one channel by `factor`, or by its glide while that lasts. A factor of exactly 1.0 at
// rest skips the multiplication (NaN compares unequal and is applied).
void Scale(halvane::Glide<float>& glide, float factor, int32_t glideSamples, float* samples, int32_t n) {
    glide.SetTarget(factor, glideSamples);
    const int32_t done = MultiplyGliding(glide, samples, n);
    if (done < n && !(factor == 1.0f))
        nspsbMpy1(factor, samples + done, n - done);
}

} // namespace

void CSurrVolumeEffect::SetGlide(int32_t samples) {
    m_nGlide = samples;
}

// The master volume is applied to every channel but the LFE, each channel along the same glide
// path; the glide then moves on by the block.
int CSurrVolumeEffect::Process(_SOUNDDATAEX_* data) {
    const float volume = static_cast<float>(m_dVolume);
    halvane::Glide<float>& glide = m_Glide[0];
    glide.SetTarget(volume, m_nGlide);
    if (m_dVolume == 1.0 && !glide.Gliding())
        return 1;
    const int channels = static_cast<int>(data->Channels.size());
    for (int c = 0; c < channels; ++c) {
        if (IsLfeChannel(*this, c))
            continue;
        halvane::Glide<float> path = glide;
        Scale(path, volume, m_nGlide, data->Channels[c], data->nSamples);
    }
    glide.Advance(data->nSamples);
    return 1;
}

// Each channel's factor is its own volume times the master, formed in double and rounded once.
int CSurrVolumeEffectEx::Process(_SOUNDDATAEX_* data) {
    const int channels = static_cast<int>(data->Channels.size());
    for (int c = 0; c < channels && c < MAX_CHANNELS; ++c) {
        if (IsLfeChannel(*this, c))
            continue;
        const float channelVolume = m_fChannelVolume[c];
        if (channelVolume == 1.0f && m_dVolume == 1.0 && !m_Glide[c].Gliding()) {
            m_Glide[c].Reset(1.0f);
            continue;
        }
        Scale(m_Glide[c], static_cast<float>(static_cast<double>(channelVolume) * m_dVolume), m_nGlide,
              data->Channels[c], data->nSamples);
    }
    return 1;
}

void CSurrVolumeEffectEx::SetVolumeChannel(int channel, float volume) {
    m_fChannelVolume[channel] = volume;
}
