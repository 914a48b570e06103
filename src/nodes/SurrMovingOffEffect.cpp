#include "nodes/SurrMovingOffEffect.h"

#include "core/SpeakerLayout.h"
#include "nodes/SurrEffectDelay.h"

#include <cmath>
#include <utility>

using namespace halvane;

CSurrMovingOffEffect::CSurrMovingOffEffect() {
    m_OneChannel.Channels.resize(1, nullptr);
    ComputeDistances(); // layout 63 in the default room; no delay nodes exist yet
}

CSurrMovingOffEffect::~CSurrMovingOffEffect() {
    DestroyDelays();
    m_OneChannel.Channels.clear(); // the record never owned its buffer
}

// The new delay nodes take over the histories of the old ones, silent again: a layout change or
// a new stream clears only what the old nodes played through, and allocates only for channels
// the graph did not have.
void CSurrMovingOffEffect::Initialize(tWAVEFORMATEX* format) {
    CSurrBaseEffect::Initialize(format);
    halvane::History spare[MAX_CHANNELS];
    int spares = 0;
    for (CSurrEffectDelayEx* delay : m_pDelays)
        if (delay)
            spare[spares++] = delay->TakeHistory();
    Free();
    for (int c = 0; c < m_nSpeakers; ++c) {
        if (IsLfeChannel(*this, c))
            continue;
        m_pDelays[c] =
            spares > 0 ? new CSurrEffectDelayEx(std::move(spare[--spares])) : new CSurrEffectDelayEx();
        m_pDelays[c]->SetGlide(m_nGlide);
        m_pDelays[c]->SetDelay(TravelTimeMs(m_fDistance[c]), false);
        m_pDelays[c]->Initialize(format);
    }
}

void CSurrMovingOffEffect::TakeDelays(CSurrMovingOffEffect& old) {
    for (int c = 0; c < MAX_CHANNELS; ++c)
        if (!m_pDelays[c])
            std::swap(m_pDelays[c], old.m_pDelays[c]);
}

void CSurrMovingOffEffect::SetGlide(int32_t samples) {
    m_nGlide = samples;
    for (CSurrEffectDelayEx* delay : m_pDelays)
        if (delay)
            delay->SetGlide(samples);
}

void CSurrMovingOffEffect::Free() {
    DestroyDelays();
}

void CSurrMovingOffEffect::DestroyDelays() {
    for (CSurrEffectDelayEx*& delay : m_pDelays) {
        delete delay;
        delay = nullptr;
    }
}

// A new layout moves the speakers, so every delay node is rebuilt (with an empty history) at the
// node's stored rate and channel count; Initialize destroys the old ones first.
void CSurrMovingOffEffect::SetSpeakersConfig(int code) {
    CSurrBaseEffect::SetSpeakersConfig(code);
    ComputeDistances();
    tWAVEFORMATEX format{};
    format.nChannels = static_cast<uint16_t>(m_nChannels);
    format.nSamplesPerSec = static_cast<uint32_t>(m_nSamplesPerSec);
    Initialize(&format);
}

void CSurrMovingOffEffect::ComputeDistances() {
    for (int c = 0; c < m_nSpeakers; ++c) {
        if (IsLfeChannel(*this, c))
            continue;
        const float ddx = m_fSoundX - m_SpeakerPos[c].x;
        const float ddy = m_fSoundY - m_SpeakerPos[c].y;
        const float squares =
            static_cast<float>(static_cast<double>(ddx) * ddx + static_cast<double>(ddy) * ddy);
        m_fDistance[c] = static_cast<float>(std::sqrt(static_cast<double>(squares)));
    }
}

// Moving the source or resizing the room retimes the existing delay nodes in place: their history
// is kept and the new delay applies from the next block on.
void CSurrMovingOffEffect::UpdateParams() {
    ComputeDistances();
    for (int c = 0; c < m_nSpeakers; ++c)
        if (!IsLfeChannel(*this, c) && m_pDelays[c])
            m_pDelays[c]->SetDelay(TravelTimeMs(m_fDistance[c]), true);
}

int CSurrMovingOffEffect::Process(_SOUNDDATAEX_* data) {
    const int channels = static_cast<int>(data->Channels.size());
    m_OneChannel.nSamples = data->nSamples;
    for (int c = 0; c < channels && c < MAX_CHANNELS; ++c) {
        if (IsLfeChannel(*this, c) || !m_pDelays[c])
            continue;
        m_OneChannel.Channels[0] = data->Channels[c];
        m_pDelays[c]->Process(&m_OneChannel);
    }
    m_OneChannel.Channels[0] = nullptr;
    return 1;
}
