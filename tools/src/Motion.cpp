#include "Motion.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

namespace halvane_cli {

Motion Motion::Still(Point pos) {
    Motion m;
    m.m_kind = Kind::Still;
    m.m_centre = pos;
    return m;
}

Motion Motion::Path(std::vector<PathPoint> points) {
    Motion m;
    m.m_kind = Kind::Path;
    m.m_points = std::move(points);
    return m;
}

Motion Motion::Orbit(Point centre, float radius, double seconds) {
    Motion m;
    m.m_kind = Kind::Orbit;
    m.m_centre = centre;
    m.m_radius = radius;
    m.m_period = seconds;
    return m;
}

Point Motion::At(double t) const {
    switch (m_kind) {
    case Kind::Still:
        return m_centre;
    case Kind::Orbit: {
        const double a = 2.0 * M_PI * (t / m_period);
        return {static_cast<float>(m_centre.x + m_radius * std::sin(a)),
                static_cast<float>(m_centre.y - m_radius * std::cos(a))};
    }
    case Kind::Path:
        break;
    }
    if (t <= m_points.front().seconds)
        return m_points.front().pos;
    for (size_t i = 1; i < m_points.size(); ++i) {
        const PathPoint& a = m_points[i - 1];
        const PathPoint& b = m_points[i];
        if (t < b.seconds) {
            const double f = (t - a.seconds) / (b.seconds - a.seconds);
            return {static_cast<float>(a.pos.x + (b.pos.x - a.pos.x) * f),
                    static_cast<float>(a.pos.y + (b.pos.y - a.pos.y) * f)};
        }
    }
    return m_points.back().pos;
}

std::vector<Point> Motion::Extent() const {
    if (m_kind == Kind::Path) {
        std::vector<Point> out;
        for (const PathPoint& p : m_points)
            out.push_back(p.pos);
        return out;
    }
    return {m_centre};
}

std::vector<Point> Motion::Track() const {
    std::vector<Point> out;
    if (m_kind == Kind::Path) {
        for (const PathPoint& p : m_points)
            out.push_back(p.pos);
    } else if (m_kind == Kind::Orbit) {
        for (int i = 0; i <= 72; ++i)
            out.push_back(At(m_period * i / 72.0));
    }
    return out;
}

bool ParsePathText(const std::string& text, std::vector<PathPoint>& points, std::string& error) {
    points.clear();
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        for (char& c : line)
            if (c == ',' || c == '\t' || c == '\r')
                c = ' ';
        std::istringstream fields(line);
        std::string first;
        if (!(fields >> first) || first[0] == '#')
            continue;
        PathPoint p{};
        std::istringstream firstField(first);
        std::string rest;
        if (!(firstField >> p.seconds) || !(fields >> p.pos.x >> p.pos.y) || (fields >> rest) ||
            !std::isfinite(p.seconds) || !std::isfinite(p.pos.x) || !std::isfinite(p.pos.y)) {
            error = "line " + std::to_string(lineNo) + ": expected \"SECONDS X Y\"";
            return false;
        }
        if (p.seconds < 0 || (!points.empty() && p.seconds < points.back().seconds)) {
            error = "line " + std::to_string(lineNo) + ": times must start at 0 or later and never decrease";
            return false;
        }
        points.push_back(p);
    }
    if (points.empty()) {
        error = "no points: expected lines of \"SECONDS X Y\"";
        return false;
    }
    return true;
}

bool ReadPathFile(const std::string& file, std::vector<PathPoint>& points, std::string& error) {
    std::ifstream in(file);
    if (!in) {
        error = file + ": " + std::strerror(errno);
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    if (!ParsePathText(text.str(), points, error)) {
        error = file + ": " + error;
        return false;
    }
    return true;
}

int ControlInterval(int sampleRate) {
    return sampleRate >= 100 ? sampleRate / 100 : 1;
}

} // namespace halvane_cli
