#ifndef HALVANE_NODES_SURREFFECTMUX_H
#define HALVANE_NODES_SURREFFECTMUX_H

#include "Halvane.h"

// Splitter: pulls its input once per cycle of m_nOutputs pulls and hands each consumer a copy.
class CSurrEffectMux : public CSurrBaseEffect {
public:
    ~CSurrEffectMux() override;
    void SetSpeakersConfig(int code) override; // sizes the cache for the layout
    // Takes the cache of a splitter about to be destroyed; a layout of as many channels keeps it.
    void TakeCache(CSurrEffectMux& old);
    int GetBuffer(_SOUNDDATAEX_* data) override;

    int32_t m_nOutputs = 0; // consumers per cycle
    int32_t m_nPulls = 0;   // pulls served in the current cycle
    _SOUNDDATAEX_ m_Cache;  // the cycle's block
    int32_t m_nResult = 0;  // the cycle's upstream result
};

#endif
