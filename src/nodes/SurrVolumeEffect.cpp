#include "nodes/SurrVolumeEffect.h"

#include "core/SpeakerLayout.h"
#include "dsp/nsp.h"

using namespace halvane;

// A volume of exactly 1.0 skips the multiplication; NaN compares unequal and is applied.
int CSurrVolumeEffect::Process(_SOUNDDATAEX_* data) {
    if (m_dVolume == 1.0)
        return 1;
    const float volume = static_cast<float>(m_dVolume);
    const int channels = static_cast<int>(data->Channels.size());
    for (int c = 0; c < channels; ++c)
        if (!IsLfeChannel(*this, c))
            nspsbMpy1(volume, data->Channels[c], data->nSamples);
    return 1;
}

// Each channel's factor is its own volume times the master, formed in double and rounded once.
int CSurrVolumeEffectEx::Process(_SOUNDDATAEX_* data) {
    const int channels = static_cast<int>(data->Channels.size());
    for (int c = 0; c < channels && c < MAX_CHANNELS; ++c) {
        if (IsLfeChannel(*this, c))
            continue;
        const float channelVolume = m_fChannelVolume[c];
        if (channelVolume == 1.0f && m_dVolume == 1.0)
            continue;
        nspsbMpy1(static_cast<float>(static_cast<double>(channelVolume) * m_dVolume), data->Channels[c],
                  data->nSamples);
    }
    return 1;
}

void CSurrVolumeEffectEx::SetVolumeChannel(int channel, float volume) {
    m_fChannelVolume[channel] = volume;
}
