#include "Geometry.h"

#include "Layouts.h"

#include <Halvane.h>

#include <algorithm>
#include <cmath>

namespace halvane_cli {

namespace {

// 331.46 m/s held as float, as the library's delay arithmetic takes it.
constexpr double kSpeedOfSound = static_cast<double>(331.46f);
// A tenth of the room, held as float: the distance from a speaker at which its gain is 1.
constexpr float kGainOffset = 0.1f;

float MsOfDistance(float metres) {
    return static_cast<float>(metres * 1000.0 / kSpeedOfSound);
}
long SamplesOfMs(float ms, int sampleRate) {
    return static_cast<long>(ms * static_cast<double>(sampleRate) / 1000.0);
}

// Reach of a speaker's gain: side speakers half the width, centre speakers half the depth, all
// others half the room's diagonal. The class is read from the code's own bits, so code 1595 (whose
// FC and BC bits are clear) treats its centre speakers as corner speakers.
float Reach(int code, int bit, float width, float depth) {
    const bool side = (code & (HALVANE_SL | HALVANE_SR)) != 0 && (bit == HALVANE_SL || bit == HALVANE_SR);
    const bool centre =
        !side && (code & (HALVANE_FC | HALVANE_BC)) != 0 && (bit == HALVANE_FC || bit == HALVANE_BC);
    const float hw = width * 0.5f;
    const float hd = depth * 0.5f;
    if (side)
        return hw;
    if (centre)
        return hd;
    return static_cast<float>(std::sqrt(static_cast<double>(hw) * hw + static_cast<double>(hd) * hd));
}

} // namespace

std::vector<Point> SpeakerPositions(int code, float width, float depth) {
    // The library's own node places the speakers; read them back rather than keep a second table.
    CSurrBaseEffect node;
    node.SetRoomSize(width, depth);
    node.SetSpeakersConfig(code);
    std::vector<Point> out;
    for (int i = 0; i < node.m_nSpeakers; ++i)
        out.push_back({node.m_SpeakerPos[i].x, node.m_SpeakerPos[i].y});
    return out;
}

std::vector<SpeakerView> ViewRoom(int code, float width, float depth, Point source, int sampleRate,
                                  bool propagationDelay) {
    const LayoutInfo* layout = LayoutOfCode(code);
    std::vector<SpeakerView> out;
    if (!layout)
        return out;
    const std::vector<Point> pos = SpeakerPositions(code, width, depth);
    for (size_t i = 0; i < pos.size() && i < layout->speakers.size(); ++i) {
        SpeakerView v{};
        v.bit = layout->speakers[i];
        v.x = pos[i].x;
        v.y = pos[i].y;
        v.isLfe = v.bit == HALVANE_LFE;
        const float dx = v.x - source.x;
        const float dy = v.y - source.y;
        const float ex = std::fabs(dx) - width * kGainOffset;
        const float ey = std::fabs(dy) - depth * kGainOffset;
        const float r =
            static_cast<float>(std::sqrt(static_cast<double>(ex) * ex + static_cast<double>(ey) * ey));
        const float reach = Reach(code, v.bit, width, depth);
        v.gain = v.isLfe ? 1.0f : (r > reach ? 0.0f : 1.0f - r / reach);
        const float sq = dx * dx + dy * dy;
        v.distance = std::sqrt(sq);
        v.delayMs = (v.isLfe || !propagationDelay) ? 0.0f : MsOfDistance(v.distance);
        v.delaySamples = static_cast<int>(SamplesOfMs(v.delayMs, sampleRate));
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
    return SamplesOfMs(MsOfDistance(longest), sampleRate);
}

} // namespace halvane_cli
