// A picture of the room: walls, speakers with their gain and delay, the source and its track.
#ifndef HALVANE_TOOLS_ROOMSVG_H
#define HALVANE_TOOLS_ROOMSVG_H

#include "Motion.h"
#include "Render.h"

#include <string>

namespace halvane_cli {

std::string RoomSvg(const EffectSettings& settings, const Motion& motion, int sampleRate);

} // namespace halvane_cli

#endif
