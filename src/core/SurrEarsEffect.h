#ifndef HALVANE_CORE_SURREARSEFFECT_H
#define HALVANE_CORE_SURREARSEFFECT_H

#include "Halvane.h"

// Pass-through node between the positioning and the master volume: pulls its input and leaves the
// block as it is.
class CSurrEarsEffect : public CSurrBaseEffect {};

#endif
