#include "RoomSvg.h"

#include "Ears.h"
#include "Geometry.h"
#include "Layouts.h"

#include <Halvane.h>
#include <HalvaneLayouts.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace halvane_cli {

namespace {

std::string Num(double v, int decimals = 1) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

// The room's box on the page: it fills 480 pixels, keeping its proportions, with margins that
// hold the labels.
struct Page {
    double scale, margin, roomW, roomD, width, height;
    Page(float roomWidth, float roomDepth)
        : scale(480.0 / std::max(roomWidth, roomDepth)), margin(185.0), roomW(roomWidth * scale),
          roomD(roomDepth * scale), width(roomW + 2 * margin), height(roomD + 265) {}
    double X(double x) const { return margin + x * scale; }
    double Y(double y) const { return 165 + y * scale; }
};

void WriteFrame(std::ostream& o, const Page& pg, const EffectSettings& s, const LayoutInfo* layout,
                Point source) {
    o << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << Num(pg.width, 0) << "\" height=\""
      << Num(pg.height, 0) << "\" viewBox=\"0 0 " << Num(pg.width, 0) << " " << Num(pg.height, 0)
      << "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    o << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    o << "<text x=\"" << Num(pg.width / 2) << "\" y=\"24\" text-anchor=\"middle\" font-size=\"15\">"
      << (layout ? layout->name : "?") << " in a " << Num(s.roomWidth, 2) << " x " << Num(s.roomDepth, 2)
      << " m room, source at (" << Num(source.x, 2) << ", " << Num(source.y, 2)
      << "), front wall at the top</text>\n";
    o << "<rect x=\"" << Num(pg.X(0)) << "\" y=\"" << Num(pg.Y(0)) << "\" width=\"" << Num(pg.roomW)
      << "\" height=\"" << Num(pg.roomD) << "\" fill=\"#f4f6f8\" stroke=\"#333\" stroke-width=\"2\"/>\n";
}

// Each speaker's reach of gain: a line from the speaker to the source, as strong as the gain.
void WriteGainLines(std::ostream& o, const Page& pg, const std::vector<SpeakerView>& speakers, Point source) {
    for (const SpeakerView& v : speakers) {
        if (v.isLfe || v.gain <= 0.0f)
            continue;
        o << "<line x1=\"" << Num(pg.X(v.x)) << "\" y1=\"" << Num(pg.Y(v.y)) << "\" x2=\""
          << Num(pg.X(source.x)) << "\" y2=\"" << Num(pg.Y(source.y)) << "\" stroke=\"#2a7\" stroke-width=\""
          << Num(1 + 5 * v.gain) << "\" stroke-opacity=\"0.5\"/>\n";
    }
}

void WriteTrack(std::ostream& o, const Page& pg, const Motion& motion) {
    const std::vector<Point> track = motion.Track();
    if (track.size() <= 1)
        return;
    o << "<polyline fill=\"none\" stroke=\"#c33\" stroke-dasharray=\"5,4\" points=\"";
    for (const Point& p : track)
        o << Num(pg.X(p.x)) << "," << Num(pg.Y(p.y)) << " ";
    o << "\"/>\n";
}

// The LFE channel is neither positioned nor delayed; it is drawn beside the front wall.
void WriteLfe(std::ostream& o, double cx, double cy, int lfeCutoff) {
    o << "<rect x=\"" << Num(cx - 40) << "\" y=\"" << Num(cy - 110) << "\" width=\"30\" height=\"18\""
      << " fill=\"#889\"/>\n<text x=\"" << Num(cx - 25) << "\" y=\"" << Num(cy - 97)
      << "\" text-anchor=\"middle\" fill=\"white\" font-weight=\"bold\">LFE</text>\n";
    o << "<text x=\"" << Num(cx - 5) << "\" y=\"" << Num(cy - 97) << "\" fill=\"#555\">"
      << "bass below " << lfeCutoff << " Hz, not positioned</text>\n";
}

// A speaker with its gain and delay, labelled outside the room on the side of the nearest wall.
void WriteSpeaker(std::ostream& o, const Page& pg, const EffectSettings& s, const LayoutInfo* layout,
                  const SpeakerView& v) {
    const double cx = pg.X(v.x);
    const double cy = pg.Y(v.y);
    if (v.isLfe)
        return WriteLfe(o, cx, cy, s.lfeCutoff);
    o << "<circle cx=\"" << Num(cx) << "\" cy=\"" << Num(cy) << "\" r=\"13\" fill=\"#246\"/>\n";
    o << "<text x=\"" << Num(cx) << "\" y=\"" << Num(cy + 4) << "\" text-anchor=\"middle\" fill=\"white\""
      << " font-size=\"10\" font-weight=\"bold\">" << SpeakerOfBit(v.bit)->name << "</text>\n";
    const bool left = v.x < s.roomWidth * 0.25f;
    const bool right = v.x > s.roomWidth * 0.75f;
    const bool front = v.y < s.roomDepth * 0.5f;
    const double lx = left ? cx - 18 : right ? cx + 18 : cx;
    // Between the front-of-centre speakers of 7.1-wide, the centre's labels go one row higher.
    const bool crowded = v.bit == HALVANE_FC && layout &&
                         std::count(layout->speakers.begin(), layout->speakers.end(), HALVANE_FLC) > 0;
    const double ly = front ? cy - (crowded ? 66 : 34) : cy + 30;
    const char* anchor = left ? "end" : right ? "start" : "middle";
    const std::string gainDb =
        v.gain > 0.0f ? Num(20.0 * std::log10(static_cast<double>(v.gain)), 1) + " dB" : "silent";
    o << "<text x=\"" << Num(lx) << "\" y=\"" << Num(ly) << "\" text-anchor=\"" << anchor << "\">"
      << "gain " << Num(v.gain, 3) << " (" << gainDb << ")</text>\n";
    o << "<text x=\"" << Num(lx) << "\" y=\"" << Num(ly + 15) << "\" text-anchor=\"" << anchor << "\">"
      << "delay " << Num(v.delayMs, 2) << " ms (" << v.delaySamples << " smp)</text>\n";
}

// With --headphones: the listener (at the room's centre unless --listener says), facing the front
// wall, and the direction in which each virtual speaker is heard.
void WriteListener(std::ostream& o, const Page& pg, const EffectSettings& s) {
    std::vector<HalvaneVirtualSpeaker> speakers;
    if (!CHalvaneHeadphones::VirtualSpeakers(StageSettings(s, 48000), speakers))
        return;
    const HalvaneHeadphonesSettings stage = StageSettings(s, 48000);
    const double cx = pg.X(stage.listenerGiven ? stage.listenerX : s.roomWidth * 0.5);
    const double cy = pg.Y(stage.listenerGiven ? stage.listenerY : s.roomDepth * 0.5);
    for (const HalvaneVirtualSpeaker& v : speakers) {
        if (v.lfe)
            continue;
        o << "<line x1=\"" << Num(cx) << "\" y1=\"" << Num(cy) << "\" x2=\"" << Num(pg.X(v.x)) << "\" y2=\""
          << Num(pg.Y(v.y)) << "\" stroke=\"#84b\" stroke-dasharray=\"2,3\"/>\n";
        o << "<text x=\"" << Num((cx + pg.X(v.x)) / 2) << "\" y=\"" << Num((cy + pg.Y(v.y)) / 2 - 4)
          << "\" text-anchor=\"middle\" fill=\"#84b\">" << Num(v.azimuth, 1) << "&#176;</text>\n";
    }
    o << "<circle cx=\"" << Num(cx) << "\" cy=\"" << Num(cy) << "\" r=\"10\" fill=\"none\" stroke=\"#84b\""
      << " stroke-width=\"2\"/>\n<path d=\"M " << Num(cx - 5) << " " << Num(cy - 9) << " L " << Num(cx) << " "
      << Num(cy - 17) << " L " << Num(cx + 5) << " " << Num(cy - 9) << "\" fill=\"#84b\"/>\n";
    o << "<text x=\"" << Num(cx) << "\" y=\"" << Num(cy + 24) << "\" text-anchor=\"middle\" fill=\"#84b\">"
      << "listener (headphones): azimuth, + = left</text>\n";
}

void WriteSourceAndFooter(std::ostream& o, const Page& pg, const EffectSettings& s, Point source,
                          int sampleRate) {
    o << "<circle cx=\"" << Num(pg.X(source.x)) << "\" cy=\"" << Num(pg.Y(source.y))
      << "\" r=\"8\" fill=\"#c33\" stroke=\"white\" stroke-width=\"2\"/>\n";
    o << "<text x=\"" << Num(pg.X(source.x) + 12) << "\" y=\"" << Num(pg.Y(source.y) + 4)
      << "\" fill=\"#c33\">source</text>\n";
    o << "<text x=\"" << Num(pg.width / 2) << "\" y=\"" << Num(pg.height - 14)
      << "\" text-anchor=\"middle\" fill=\"#666\">"
      << "delays at " << sampleRate << " Hz, sound at " << Num(HALVANE_SPEED_OF_SOUND, 2) << " m/s"
      << (s.propagationDelay ? "" : " (propagation delay off)") << "</text>\n";
    o << "</svg>\n";
}

} // namespace

std::string RoomSvg(const EffectSettings& s, const Motion& motion, int sampleRate) {
    const LayoutInfo* layout = LayoutOfCode(s.layout);
    const Point source = motion.At(0.0);
    const std::vector<SpeakerView> speakers =
        ViewRoom(s.layout, s.roomWidth, s.roomDepth, source, sampleRate, s.propagationDelay);
    const Page page(s.roomWidth, s.roomDepth);
    std::ostringstream o;
    WriteFrame(o, page, s, layout, source);
    WriteGainLines(o, page, speakers, source);
    WriteTrack(o, page, motion);
    for (const SpeakerView& v : speakers)
        WriteSpeaker(o, page, s, layout, v);
    if (s.headphones)
        WriteListener(o, page, s);
    WriteSourceAndFooter(o, page, s, source, sampleRate);
    return o.str();
}

} // namespace halvane_cli
