// The pieces of the machine-readable records that --json prints on standard output.
#ifndef HALVANE_TOOLS_JSON_H
#define HALVANE_TOOLS_JSON_H

#include <string>
#include <utility>
#include <vector>

namespace halvane_cli {

// A JSON string literal, quotes included.
std::string JsonString(const std::string& text);
// A JSON number; null for a value that is not finite, which JSON cannot hold.
std::string JsonNumber(double value);
// {"key": value, ...} from keys and values that are already JSON; a list the same way.
std::string JsonObject(const std::vector<std::pair<std::string, std::string>>& members);
std::string JsonArray(const std::vector<std::string>& items);

} // namespace halvane_cli

#endif
