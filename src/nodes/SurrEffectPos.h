#ifndef HALVANE_NODES_SURREFFECTPOS_H
#define HALVANE_NODES_SURREFFECTPOS_H

#include "Halvane.h"
#include "dsp/Glide.h"

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
    // Smooth mode: a new gain glides to its value over `samples` samples; 0 (the default) applies
    // it from the next block on, as a jump.
    void SetGlide(int32_t samples);

    float m_fGain[10] = {}; // gain of each output channel

private:
    void SnapGains(); // every gain at its value, no glide

    int32_t m_nGlide = 0;
    halvane::Glide<float> m_Glide[10]; // gain each channel applies, gliding toward m_fGain
};

#endif
