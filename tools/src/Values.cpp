#include "Values.h"

#include "Layouts.h"

#include <cmath>
#include <cstdlib>

namespace halvane_cli {

bool ParseNumber(const std::string& text, double& value) {
    if (text.empty() || text.find_first_of(" \t\n") != std::string::npos)
        return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value);
}

bool ParsePair(const std::string& text, const char* separators, double& a, double& b) {
    const size_t sep = text.find_first_of(separators);
    if (sep == std::string::npos || text.find_first_of(separators, sep + 1) != std::string::npos)
        return false;
    return ParseNumber(text.substr(0, sep), a) && ParseNumber(text.substr(sep + 1), b);
}

bool ParseRoom(const std::string& text, float& width, float& depth, std::string& error) {
    double w = 0, d = 0;
    if (!ParsePair(text, "xX,", w, d)) {
        error = "--room expects WIDTHxDEPTH in metres, e.g. 4x5.5, not \"" + text + "\"";
        return false;
    }
    if (!(w > 0) || !(d > 0) || w > 1e6 || d > 1e6) {
        error = "--room " + text + ": a room's width and depth must be above zero";
        return false;
    }
    width = static_cast<float>(w);
    depth = static_cast<float>(d);
    return true;
}

bool ParsePosition(const std::string& text, float& x, float& y, std::string& error) {
    double a = 0, b = 0;
    if (!ParsePair(text, ",", a, b) || std::fabs(a) > 1e6 || std::fabs(b) > 1e6) {
        error = "--source expects X,Y in metres, e.g. 1.5,0.5, not \"" + text + "\"";
        return false;
    }
    x = static_cast<float>(a);
    y = static_cast<float>(b);
    return true;
}

bool ParseSpeakerValue(const std::string& text, int& speaker, double& value, std::string& error) {
    const size_t eq = text.find('=');
    const SpeakerInfo* info = eq == std::string::npos ? nullptr : FindSpeaker(text.substr(0, eq));
    if (!info) {
        error = "expected SPEAKER=VALUE with a speaker of " + SpeakerNames() + ", not \"" + text + "\"";
        return false;
    }
    if (!ParseNumber(text.substr(eq + 1), value)) {
        error = "\"" + text + "\": the value after = must be a finite number";
        return false;
    }
    speaker = info->bit;
    return true;
}

bool ParseOrbit(const std::string& text, float& radius, double& seconds, std::string& error) {
    double r = 0, s = 0;
    if (!ParsePair(text, ",", r, s) || r < 0 || r > 1e6 || !(s > 0)) {
        error = "--orbit expects RADIUS,SECONDS (radius in metres, 0 or more; seconds per turn, above 0), "
                "not \"" +
                text + "\"";
        return false;
    }
    radius = static_cast<float>(r);
    seconds = s;
    return true;
}

} // namespace halvane_cli
