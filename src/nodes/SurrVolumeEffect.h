#ifndef HALVANE_NODES_SURRVOLUMEEFFECT_H
#define HALVANE_NODES_SURRVOLUMEEFFECT_H

#include "Halvane.h"
#include "dsp/Glide.h"

// Multiplies every channel but the LFE by one volume.
class CSurrVolumeEffect : public CSurrBaseEffect {
public:
    int Process(_SOUNDDATAEX_* data) override;
    // Smooth mode: a new volume glides to its value over `samples` samples, from the block in which
    // it is first seen; 0 (the default) applies it to the whole block, as a jump.
    void SetGlide(int32_t samples);

    double m_dVolume = 1.0; // volume factor

protected:
    int32_t m_nGlide = 0;
    halvane::Glide<float> m_Glide[10]; // factor each channel applies: one for the master volume,
                                       // one per channel in the per-channel node
};

// Multiplies every channel but the LFE by its own volume times the master volume.
class CSurrVolumeEffectEx : public CSurrVolumeEffect {
public:
    int Process(_SOUNDDATAEX_* data) override;
    void SetVolumeChannel(int channel, float volume); // channel 0..9

    float m_fChannelVolume[10] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
};

#endif
