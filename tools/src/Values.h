// Parsing of the compound option values: WxD, X,Y, SPK=V and the like. Each returns false with a
// message that names what was expected.
#ifndef HALVANE_TOOLS_VALUES_H
#define HALVANE_TOOLS_VALUES_H

#include <string>

namespace halvane_cli {

// A finite decimal number and nothing else.
bool ParseNumber(const std::string& text, double& value);
// "3x4", "3X4" or "3,4": two finite numbers.
bool ParsePair(const std::string& text, const char* separators, double& a, double& b);
// Room size in metres: both above zero, neither NaN nor infinite.
bool ParseRoom(const std::string& text, float& width, float& depth, std::string& error);
// Source position in metres: "X,Y", finite.
bool ParsePosition(const std::string& text, float& x, float& y, std::string& error);
// "SPK=VALUE" with a known speaker name; `speaker` receives its bit.
bool ParseSpeakerValue(const std::string& text, int& speaker, double& value, std::string& error);
// "RADIUS,SECONDS": radius >= 0, seconds > 0.
bool ParseOrbit(const std::string& text, float& radius, double& seconds, std::string& error);

} // namespace halvane_cli

#endif
