// The manual page halvane.1, made from the command line's own option table so that it lists
// exactly the subcommands and options --help shows. The build writes it with `halvane --man-page`.
#ifndef HALVANE_TOOLS_MANPAGE_H
#define HALVANE_TOOLS_MANPAGE_H

#include <string>

namespace CLI {
class App;
}

namespace halvane_cli {

std::string ManPage(const CLI::App& app, const std::string& version);

} // namespace halvane_cli

#endif
