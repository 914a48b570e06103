#ifndef HALVANE_NODES_SURRMOVINGOFFEFFECT_H
#define HALVANE_NODES_SURRMOVINGOFFEFFECT_H

#include "Halvane.h"

class CSurrEffectDelayEx;

// Delays every speaker channel (not the LFE) by the sound's travel time from the source.
class CSurrMovingOffEffect : public CSurrBaseEffect {
public:
    CSurrMovingOffEffect();
    ~CSurrMovingOffEffect() override;
    void Initialize(tWAVEFORMATEX* format) override; // builds one delay node per channel
    void Free() override;                            // destroys the delay nodes
    void SetSpeakersConfig(int code) override;       // rebuilds the delay nodes for the layout
    void UpdateParams() override;                    // distances, then retimes existing delays
    int Process(_SOUNDDATAEX_* data) override;
    // Smooth mode: the travel-time delays glide (see CSurrEffectDelayEx::SetGlide); 0 jumps.
    void SetGlide(int32_t samples);
    // Takes over the delay nodes of a node about to be destroyed, so that Initialize, called next,
    // hands their histories on to its own delay nodes instead of allocating.
    void TakeDelays(CSurrMovingOffEffect& old);

    CSurrEffectDelayEx* m_pDelays[10] = {}; // delay node of each channel; owned
    float m_fDistance[10] = {};             // source-to-speaker distance, metres

private:
    void DestroyDelays();
    void ComputeDistances();

    _SOUNDDATAEX_ m_OneChannel; // hands one channel to its delay node; never owns the buffer
    int32_t m_nGlide = 0;
};

#endif
