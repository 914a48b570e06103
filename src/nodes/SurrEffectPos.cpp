#include "nodes/SurrEffectPos.h"

#include "core/SpeakerLayout.h"
#include "dsp/nsp.h"

#include <cmath>

using namespace halvane;

namespace {

// The offset point lies a tenth of the room from the speaker; the factor is held as float.
constexpr float OFFSET_FRACTION = 0.1f;

} // namespace

// A new stream or layout starts with every gain at its value: nothing glides in from silence.
void CSurrEffectPos::Initialize(tWAVEFORMATEX* format) {
    CSurrBaseEffect::Initialize(format);
    UpdateParams();
    SnapGains();
}

void CSurrEffectPos::SetSpeakersConfig(int code) {
    CSurrBaseEffect::SetSpeakersConfig(code);
    UpdateParams();
    SnapGains();
}

void CSurrEffectPos::UpdateParams() {
    for (int i = 0; i < m_nSpeakers && i < MAX_CHANNELS; ++i) {
        const float dx = m_SpeakerPos[i].x - m_fSoundX;
        const float dy = m_SpeakerPos[i].y - m_fSoundY;
        m_fGain[i] = CalcSpeakerGain(dx, dy, i);
        m_Glide[i].SetTarget(m_fGain[i], m_nGlide);
    }
}

void CSurrEffectPos::SetGlide(int32_t samples) {
    m_nGlide = samples;
    if (samples == 0)
        SnapGains();
}

void CSurrEffectPos::SnapGains() {
    for (int i = 0; i < MAX_CHANNELS; ++i)
        m_Glide[i].Reset(m_fGain[i]);
}

// The class of a speaker is read from the code's own bits, not from the map alone: code 1595 has
// neither the FC/BC bits nor the side bits, so all its speakers reach half the diagonal.
float CSurrEffectPos::CalcSpeakerGain(float dx, float dy, int channel) const {
    const float a = std::fabs(dx);
    const float b = std::fabs(dy);
    const float tx = static_cast<float>(static_cast<double>(m_fRoomWidth) * OFFSET_FRACTION);
    const float ty = static_cast<float>(static_cast<double>(m_fRoomDepth) * OFFSET_FRACTION);
    const float ex = a - tx;
    const float ey = b - ty;
    const float r =
        static_cast<float>(std::sqrt(static_cast<double>(ex) * ex + static_cast<double>(ey) * ey));

    const double halfW = static_cast<double>(m_fRoomWidth) * 0.5;
    const double halfD = static_cast<double>(m_fRoomDepth) * 0.5;
    const bool side = (m_nSpeakersConfig & (HALVANE_SL | HALVANE_SR)) != 0 &&
                      (channel == m_ChannelMap[SL] || channel == m_ChannelMap[SR]);
    const bool centre = !side && (m_nSpeakersConfig & (HALVANE_FC | HALVANE_BC)) != 0 &&
                        (channel == m_ChannelMap[FC] || channel == m_ChannelMap[BC]);
    float reach;
    if (side)
        reach = static_cast<float>(halfW);
    else if (centre)
        reach = static_cast<float>(halfD);
    else
        reach = static_cast<float>(std::sqrt(halfW * halfW + halfD * halfD));

    if (r > reach)
        return 0.0f;
    return static_cast<float>(1.0 - static_cast<double>(r) / reach);
}

int CSurrEffectPos::Process(_SOUNDDATAEX_* data) {
    const int channels = static_cast<int>(data->Channels.size());
    for (int c = 0; c < channels && c < MAX_CHANNELS; ++c) {
        if (IsLfeChannel(*this, c))
            continue;
        float* samples = data->Channels[c];
        const int32_t j = MultiplyGliding(m_Glide[c], samples, data->nSamples);
        if (j < data->nSamples)
            nspsbMpy1(m_fGain[c], samples + j, data->nSamples - j);
    }
    return 1;
}
