#include "Geometry.h"

#include <Halvane.h>
#include <HalvaneLayouts.h>

#include <algorithm>
#include <cmath>

namespace halvane_cli {

std::vector<Point> SpeakerPositions(int code, float width, float depth) {
    std::vector<Point> out;
    if (const HalvaneLayoutInfo* layout = HalvaneFindLayout(code))
        for (int c = 0; c < layout->channels; ++c) {
            const CSurrBaseEffect::SpeakerPosition p = HalvaneSpeakerPlace(*layout, c, width, depth);
            out.push_back({p.x, p.y});
        }
    return out;
}

std::vector<SpeakerView> ViewRoom(int code, float width, float depth, Point source, int sampleRate,
                                  bool propagationDelay) {
    const HalvaneLayoutInfo* layout = HalvaneFindLayout(code);
    std::vector<SpeakerView> out;
    if (!layout)
        return out;
    // The library's own graph, built for the rate, says what it applies to each speaker.
    CSurroundEffect fx;
    fx.SetSpeakersConfig(code, true);
    fx.SetRoomSize(width, depth, true);
    fx.SetSoundPos(source.x, source.y, true);
    fx.SetMoveOff(propagationDelay);
    tWAVEFORMATEX format{};
    format.nChannels = 1;
    format.nSamplesPerSec = static_cast<uint32_t>(sampleRate);
    fx.Initialize(&format);
    float gains[HALVANE_MAX_LAYOUT_CHANNELS] = {};
    int32_t delays[HALVANE_MAX_LAYOUT_CHANNELS] = {};
    fx.GetSpeakerGains(gains, HALVANE_MAX_LAYOUT_CHANNELS);
    fx.GetSpeakerDelays(delays, HALVANE_MAX_LAYOUT_CHANNELS);

    const std::vector<Point> pos = SpeakerPositions(code, width, depth);
    for (int c = 0; c < layout->channels; ++c) {
        SpeakerView v{};
        v.bit = layout->speakers[c];
        v.x = pos[c].x;
        v.y = pos[c].y;
        v.isLfe = c == HalvaneLfeChannel(*layout);
        v.gain = gains[c];
        const float dx = v.x - source.x;
        const float dy = v.y - source.y;
        v.distance = std::sqrt(dx * dx + dy * dy);
        v.delayMs =
            (v.isLfe || !propagationDelay)
                ? 0.0f
                : static_cast<float>(v.distance * 1000.0 / static_cast<double>(HALVANE_SPEED_OF_SOUND));
        v.delaySamples = delays[c];
        out.push_back(v);
    }
    return out;
}

long LongestDelaySamples(int code, float width, float depth, const std::vector<Point>& sources, float radius,
                         int sampleRate) {
    float longest = std::sqrt(width * width + depth * depth); // reverb cross-feed, corner to corner
    for (const Point& p : SpeakerPositions(code, width, depth))
        for (const Point& s : sources)
            longest = std::max(longest, std::hypot(p.x - s.x, p.y - s.y) + radius);
    if (!std::isfinite(longest) || longest > 1.0e6f)
        return kMaxDelaySamples + 1;
    return HalvaneTravelSamples(longest, sampleRate);
}

} // namespace halvane_cli
