#include "nodes/SurrEffectMux.h"

#include "core/SpeakerLayout.h"

#include <algorithm>
#include <cstring>

using namespace halvane;

CSurrEffectMux::~CSurrEffectMux() {
    m_Cache.Release();
}

void CSurrEffectMux::SetSpeakersConfig(int code) {
    CSurrBaseEffect::SetSpeakersConfig(code);
    KeepOrAllocate(m_Cache, m_nSpeakers); // the first pull of every cycle writes what the others read
}

void CSurrEffectMux::TakeCache(CSurrEffectMux& old) {
    TakeRecord(m_Cache, old.m_Cache);
}

// One upstream pull per cycle of m_nOutputs pulls: the first pull of a cycle fills the cache, the
// later ones are served from it with the first pull's length and result. The consumers must pull
// in a fixed order and exactly m_nOutputs times per cycle to stay aligned.
int CSurrEffectMux::GetBuffer(_SOUNDDATAEX_* data) {
    if (m_nPulls == 0) {
        m_nResult = m_pInput ? m_pInput->GetBuffer(data) : 1;
        m_Cache.nSamples = data->nSamples;
    } else {
        data->nSamples = m_Cache.nSamples;
    }
    // Channels and samples beyond the cache's (a block longer than the largest block, or a layout
    // never sized) are left alone rather than overrunning the cache.
    const int channels = std::min(
        {m_nSpeakers, static_cast<int>(m_Cache.Channels.size()), static_cast<int>(data->Channels.size())});
    const size_t bytes = sizeof(float) * static_cast<size_t>(std::clamp(m_Cache.nSamples, 0, MAX_BLOCK));
    for (int c = 0; c < channels; ++c) {
        if (m_nPulls == 0)
            std::memcpy(m_Cache.Channels[c], data->Channels[c], bytes);
        else
            std::memcpy(data->Channels[c], m_Cache.Channels[c], bytes);
    }
    if (++m_nPulls == m_nOutputs)
        m_nPulls = 0;
    return m_nResult;
}
