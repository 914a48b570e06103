// The geometry query: the gains and travel-time delays the graph applies, read back from its
// positioning and delay nodes so that a host never needs a second copy of the gain law.
#include "Halvane.h"
#include "HalvaneLayouts.h"
#include "core/CriticalSectionGuard.h"
#include "core/SpeakerLayout.h"
#include "nodes/SurrEffectDelay.h"
#include "nodes/SurrEffectPos.h"
#include "nodes/SurrMovingOffEffect.h"

#include <algorithm>

using namespace halvane;

int32_t HalvaneTravelSamples(float metres, int sampleRate) {
    return CSurrEffectDelayEx::DelaySamples(TravelTimeMs(metres), sampleRate);
}

int CSurroundEffect::GetSpeakerGains(float* gains, int count) {
    CriticalSectionGuard lock(m_cs);
    if (!FindLayout(m_nSpeakersConfig))
        return 0;
    // Without a graph, a positioning node set up like this object computes what the graph would.
    CSurrEffectPos unbuilt;
    const CSurrEffectPos* pos = m_bInitialized ? m_pPos : &unbuilt;
    if (!m_bInitialized) {
        static_cast<CSurrBaseEffect&>(unbuilt) = *this;
        unbuilt.CSurrBaseEffect::SetSpeakersConfig(m_nSpeakersConfig);
        unbuilt.UpdateParams();
    }
    const int speakers = pos->m_nSpeakers;
    for (int c = 0; c < std::min(count, speakers); ++c)
        gains[c] = IsLfeChannel(*pos, c) ? 1.0f : pos->m_fGain[c];
    return speakers;
}

int CSurroundEffect::GetSpeakerDelays(int32_t* delays, int count) {
    CriticalSectionGuard lock(m_cs);
    if (!FindLayout(m_nSpeakersConfig))
        return 0;
    CSurrMovingOffEffect unbuilt;
    const CSurrMovingOffEffect* node = m_bInitialized ? m_pMovingOff : &unbuilt;
    if (!m_bInitialized) {
        static_cast<CSurrBaseEffect&>(unbuilt) = *this;
        unbuilt.CSurrBaseEffect::SetSpeakersConfig(m_nSpeakersConfig);
        unbuilt.UpdateParams(); // distances only: an unbuilt node has no delay lines to retime
    }
    const int speakers = node->m_nSpeakers;
    for (int c = 0; c < std::min(count, speakers); ++c) {
        if (!m_bMoveOff || IsLfeChannel(*node, c))
            delays[c] = 0;
        else if (node->m_pDelays[c])
            delays[c] = node->m_pDelays[c]->m_nDelaySamples;
        else
            delays[c] =
                CSurrEffectDelayEx::DelaySamples(TravelTimeMs(node->m_fDistance[c]), m_nSamplesPerSec);
    }
    return speakers;
}
