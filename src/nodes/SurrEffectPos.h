#ifndef HALVANE_NODES_SURREFFECTPOS_H
#define HALVANE_NODES_SURREFFECTPOS_H

#include "Halvane.h"

// Places the source in the room: scales each speaker channel (not the LFE) by a gain that falls
// linearly with the source's distance from the speaker.
class CSurrEffectPos : public CSurrBaseEffect {
public:
    void Initialize(tWAVEFORMATEX* format) override;
    void SetSpeakersConfig(int code) override;
    void UpdateParams() override;
    int Process(_SOUNDDATAEX_* data) override;

    // Gain of the speaker of `channel` for a speaker-minus-source offset (dx, dy).
    float CalcSpeakerGain(float dx, float dy, int channel) const;

    float m_fGain[10] = {}; // gain of each output channel
};

#endif
