// A source that moves: either along a path of timed points read from a file, or on a circle.
#ifndef HALVANE_TOOLS_MOTION_H
#define HALVANE_TOOLS_MOTION_H

#include "Geometry.h"

#include <string>
#include <vector>

namespace halvane_cli {

struct PathPoint {
    double seconds;
    Point pos;
};

class Motion {
public:
    enum class Kind { Still, Path, Orbit };

    static Motion Still(Point pos);
    // Straight lines between the points, holding the first before it and the last after it.
    static Motion Path(std::vector<PathPoint> points);
    // One turn of `seconds` on a circle of `radius` around `centre`, starting in front of it and
    // turning clockwise seen from above (front, right, back, left).
    static Motion Orbit(Point centre, float radius, double seconds);

    Kind kind() const { return m_kind; }
    Point At(double seconds) const;
    // Points the source can reach are within radius() of one of these.
    std::vector<Point> Extent() const;
    float radius() const { return m_kind == Kind::Orbit ? m_radius : 0.0f; }
    // Points to draw the track with.
    std::vector<Point> Track() const;

private:
    Kind m_kind = Kind::Still;
    std::vector<PathPoint> m_points;
    Point m_centre{0, 0};
    float m_radius = 0;
    double m_period = 1;
};

// Reads a path file: one point per line, "SECONDS X Y" (spaces, tabs or commas between them),
// times not decreasing; blank lines and lines starting with # are skipped. On failure returns
// false with a message naming the line.
bool ReadPathFile(const std::string& file, std::vector<PathPoint>& points, std::string& error);
bool ParsePathText(const std::string& text, std::vector<PathPoint>& points, std::string& error);

// How often a moving source is re-placed: every 10 ms of audio, a grid of whole samples that does
// not depend on the size of the blocks the host hands over.
int ControlInterval(int sampleRate);

} // namespace halvane_cli

#endif
