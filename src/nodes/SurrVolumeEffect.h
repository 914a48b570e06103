#ifndef HALVANE_NODES_SURRVOLUMEEFFECT_H
#define HALVANE_NODES_SURRVOLUMEEFFECT_H

#include "Halvane.h"

// Multiplies every channel but the LFE by one volume.
class CSurrVolumeEffect : public CSurrBaseEffect {
public:
    int Process(_SOUNDDATAEX_* data) override;

    double m_dVolume = 1.0; // volume factor
};

// Multiplies every channel but the LFE by its own volume times the master volume.
class CSurrVolumeEffectEx : public CSurrVolumeEffect {
public:
    int Process(_SOUNDDATAEX_* data) override;
    void SetVolumeChannel(int channel, float volume); // channel 0..9

    float m_fChannelVolume[10] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
};

#endif
