// What a render tells its user: the report on standard error (peaks per speaker, clipping and the
// gain that avoids it, non-finite input) and the machine-readable record of --json.
#ifndef HALVANE_TOOLS_REPORT_H
#define HALVANE_TOOLS_REPORT_H

#include "Render.h"

#include <string>
#include <vector>

namespace halvane_cli {

// One render as the report sees it.
struct RenderOutcome {
    std::string input;  // "-" for standard input, empty for the demo clip
    std::string output; // "-" for standard output
    const RenderJob* job = nullptr;
    RenderStats stats;
    double wallSeconds = 0.0;
    bool ok = false;
    std::string error;
};

double ToDbfs(float magnitude); // -inf for 0

// "wrote OUT (5.1, 24-bit): ..." and the peaks of each speaker, for standard error.
std::vector<std::string> ReportLines(const RenderOutcome& r);
// Problems with the samples that even -q shows: non-finite input replaced, samples clipped.
std::vector<std::string> Warnings(const RenderOutcome& r);
// {"renders": [...]}, one record per render.
std::string RendersJson(const std::vector<RenderOutcome>& renders);

} // namespace halvane_cli

#endif
