// What the library does to each speaker for a given room and source: the positioning gain and the
// travel-time delay, as the library reports them, for display and for checking limits.
#ifndef HALVANE_TOOLS_GEOMETRY_H
#define HALVANE_TOOLS_GEOMETRY_H

#include <HalvaneLayouts.h>

#include <string>
#include <vector>

namespace halvane_cli {

struct Point {
    float x;
    float y;
};

struct SpeakerView {
    int bit;          // speaker bit
    float x, y;       // position in the room, metres
    bool isLfe;       // the LFE channel is neither positioned nor delayed
    float gain;       // positioning gain, 0 .. 1
    float distance;   // metres from the source
    float delayMs;    // travel time of the sound, 0 when propagation delay is off
    int delaySamples; // the same in whole samples at the sample rate
};

// Speaker positions as the library places them for `code` in a width x depth room.
std::vector<Point> SpeakerPositions(int code, float width, float depth);

// Gain and delay of every speaker of layout `code` for a source at `source`.
std::vector<SpeakerView> ViewRoom(int code, float width, float depth, Point source, int sampleRate,
                                  bool propagationDelay);

// The longest delay the library has to hold, in samples: the farthest speaker from any of
// `sources` (each widened by `radius` metres) and the reverb's corner-to-corner cross-feed.
long LongestDelaySamples(int code, float width, float depth, const std::vector<Point>& sources, float radius,
                         int sampleRate);
// The longest travel time the library's delay lines hold next to a block in flight.
constexpr long kMaxDelaySamples = HALVANE_MAX_DELAY_SAMPLES;

} // namespace halvane_cli

#endif
