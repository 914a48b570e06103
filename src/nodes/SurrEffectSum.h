#ifndef HALVANE_NODES_SURREFFECTSUM_H
#define HALVANE_NODES_SURREFFECTSUM_H

#include "Halvane.h"

// Adds its second input into its first, channel by channel (the LFE channel is left alone).
class CSurrEffectSum : public CSurrBaseEffect {
public:
    ~CSurrEffectSum() override;
    void Free() override;                           // releases the second input's buffer
    void SetInput(CSurrBaseEffect* input) override; // appends an input
    void SetSpeakersConfig(int code) override;      // sizes the buffer for the layout
    // Takes the buffer of a sum about to be destroyed; a layout of as many channels keeps it.
    void TakeBuffer(CSurrEffectSum& old);
    int Process(_SOUNDDATAEX_* data) override;

    CSurrBaseEffect* m_pInputs[10] = {}; // inputs in the order they were set
    int32_t m_nInputs = 0;
    float m_fDryOutVolume = 0.0f; // kept in step by the facade; not used in processing
    _SOUNDDATAEX_ m_Buffer;       // receives the block of the second input
};

#endif
