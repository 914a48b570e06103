#include <algorithm>

#include "Halvane.h"
#include "core/Message.h"
#include "core/SpeakerLayout.h"

using namespace halvane;

CSurrBaseEffect::CSurrBaseEffect()
    : m_nSpeakers(0), m_pInput(nullptr), m_nSamplesPerSec(44100), m_nChannels(0),
      m_fRoomWidth(HALVANE_DEFAULT_ROOM_WIDTH), m_fRoomDepth(HALVANE_DEFAULT_ROOM_DEPTH),
      m_fSoundX(HALVANE_DEFAULT_SOURCE_X), m_fSoundY(HALVANE_DEFAULT_SOURCE_Y),
      m_nSpeakersConfig(0), m_ChannelMap{}, m_SpeakerPos{} {
    CSurrBaseEffect::SetSpeakersConfig(HALVANE_DEFAULT_LAYOUT);
}

CSurrBaseEffect::CSurrBaseEffect(const CSurrBaseEffect& other) = default;
CSurrBaseEffect& CSurrBaseEffect::operator=(const CSurrBaseEffect& other) = default;
CSurrBaseEffect::~CSurrBaseEffect() = default;

void CSurrBaseEffect::Initialize(tWAVEFORMATEX* format) {
    m_nSamplesPerSec = static_cast<int32_t>(format->nSamplesPerSec);
    m_nChannels = format->nChannels;
}

void CSurrBaseEffect::Free() {}

void CSurrBaseEffect::SetInput(CSurrBaseEffect* input) {
    m_pInput = input;
}

void CSurrBaseEffect::SetSpeakersConfig(int code) {
    m_nSpeakersConfig = code;
    const Layout* layout = FindLayout(code);
    if (!layout) {
        ShowMessage("Unsupported speakers format", "Error", MESSAGE_ICON_ERROR);
        return;
    }
    m_nSpeakers = layout->speakers;
    BuildChannelMap();
    // Every place is an exact fraction of the room (0, 1/4, 1/2, 3/4, 1), so the product is the
    // position a rescale by SetRoomSize would give as well.
    for (int i = 0; i < m_nSpeakers; ++i) {
        m_SpeakerPos[i].x = static_cast<float>(static_cast<double>(layout->place[i].fx) * m_fRoomWidth);
        m_SpeakerPos[i].y = static_cast<float>(static_cast<double>(layout->place[i].fy) * m_fRoomDepth);
    }
}

void CSurrBaseEffect::UpdateParams() {}

int CSurrBaseEffect::GetBuffer(_SOUNDDATAEX_* data) {
    if (m_pInput)
        m_pInput->GetBuffer(data);
    return Process(data) ? 1 : 0;
}

int CSurrBaseEffect::Process(_SOUNDDATAEX_* /*data*/) {
    return 1;
}

int CSurrBaseEffect::GetChannelIndex(int speakerBit) const {
    const Layout* layout = FindLayout(m_nSpeakersConfig);
    const int k = SpeakerIndex(speakerBit);
    if (!layout || k < 0)
        return CHANNEL_ABSENT;
    return layout->map[k];
}

void CSurrBaseEffect::BuildChannelMap() {
    for (int k = 0; k < SPEAKER_BITS; ++k)
        m_ChannelMap[k] = GetChannelIndex(1 << k);
}

void CSurrBaseEffect::SetSoundPos(float x, float y) {
    m_fSoundX = x;
    m_fSoundY = y;
    UpdateParams();
}

// Scales by new/old size, product first: a position that is an exact fraction of the room stays
// that fraction of the new room.
static float Rescale(float value, float newSize, float oldSize) {
    return static_cast<float>(static_cast<double>(value) * newSize / oldSize);
}

void CSurrBaseEffect::SetRoomSize(float w, float d) {
    // A format of more channels than speaker places can set m_nSpeakers beyond the table; only the
    // places that exist are rescaled.
    const int places = std::min<int>(m_nSpeakers, MAX_CHANNELS);
    for (int i = 0; i < places; ++i) {
        m_SpeakerPos[i].x = Rescale(m_SpeakerPos[i].x, w, m_fRoomWidth);
        m_SpeakerPos[i].y = Rescale(m_SpeakerPos[i].y, d, m_fRoomDepth);
    }
    m_fSoundX = Rescale(m_fSoundX, w, m_fRoomWidth);
    m_fSoundY = Rescale(m_fSoundY, d, m_fRoomDepth);
    m_fRoomWidth = w;
    m_fRoomDepth = d;
    UpdateParams();
}
