#ifndef HALVANE_NODES_SURREFFECTIIRLOWPASSFILTER_H
#define HALVANE_NODES_SURREFFECTIIRLOWPASSFILTER_H

#include "nodes/SurrEffectIIRHighPassFilter.h"

// The same filter node with a high-pass design (default 8000 Hz): the facade's optional stage that
// takes the bass out of every channel but the LFE.
class CSurrEffectIIRLowPassFilter : public CSurrEffectIIRHighPassFilter {
public:
    CSurrEffectIIRLowPassFilter();

protected:
    void DesignTaps() override;
};

#endif
