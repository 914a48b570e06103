#include "Report.h"

#include "Json.h"
#include "Layouts.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace halvane_cli {

namespace {

std::string Fixed(double v, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

// A level in dB with its sign, as "+2.75" or "-0.10".
std::string Signed(double db) {
    char text[32];
    std::snprintf(text, sizeof text, "%+.2f", db);
    return text;
}

std::string Name(const std::string& path) {
    return path == "-" ? "standard output" : path;
}

const char* FormatName(const RenderJob& job) {
    if (job.format == SampleFormat::Float)
        return "32-bit float";
    if (job.format == SampleFormat::Pcm16)
        return "16-bit, dithered";
    return job.type == FileType::Flac ? "24-bit FLAC" : "24-bit";
}

float MaxPeak(const RenderStats& s) {
    return s.peaks.empty() ? 0.0f : *std::max_element(s.peaks.begin(), s.peaks.end());
}

std::string LayoutName(const RenderJob& job) {
    const LayoutInfo* layout = LayoutOfCode(job.effect.layout);
    return layout ? layout->name : std::to_string(job.effect.layout);
}

} // namespace

double ToDbfs(float magnitude) {
    return 20.0 * std::log10(static_cast<double>(magnitude));
}

std::vector<std::string> ReportLines(const RenderOutcome& r) {
    const RenderStats& s = r.stats;
    const double rate = s.sampleRate > 0 ? s.sampleRate : 1;
    std::vector<std::string> lines;
    lines.push_back("wrote " + Name(r.output) + " (" + LayoutName(*r.job) + ", " + FormatName(*r.job) +
                    "): " + Fixed(s.frames / rate, 2) + " s, of which " +
                    Fixed((s.frames - s.inputFrames) / rate, 2) + " s of tail");
    std::string peaks = "  peak dBFS:";
    for (size_t c = 0; c < s.peaks.size() && c < s.speakers.size(); ++c)
        peaks += std::string(" ") + SpeakerOfBit(s.speakers[c])->name + " " + Fixed(ToDbfs(s.peaks[c]), 1);
    lines.push_back(peaks);
    if (s.normalized)
        lines.push_back("  --normalize applied a gain of " + Signed(s.gainDb) + " dB");
    if (r.job->format == SampleFormat::Float && MaxPeak(s) > 1.0f)
        lines.push_back("  the peak is above full scale: a 16- or 24-bit copy would clip; a gain of " +
                        Signed(-ToDbfs(MaxPeak(s))) + " dB avoids it (--normalize -0.1)");
    return lines;
}

std::vector<std::string> Warnings(const RenderOutcome& r) {
    const RenderStats& s = r.stats;
    std::vector<std::string> out;
    const std::string where = Name(r.output) + ": ";
    if (s.nonFinite > 0)
        out.push_back("warning: " + where + std::to_string(s.nonFinite) +
                      " non-finite input samples replaced by silence");
    if (s.clipped > 0)
        out.push_back("warning: " + where + std::to_string(s.clipped) + " samples clipped (peak " +
                      Signed(ToDbfs(MaxPeak(s))) + " dBFS); a gain of " + Signed(-ToDbfs(MaxPeak(s))) +
                      " dB avoids it: render again with --normalize -0.1");
    return out;
}

namespace {

std::string RenderJson(const RenderOutcome& r) {
    const RenderStats& s = r.stats;
    std::vector<std::string> speakers;
    for (size_t c = 0; c < s.peaks.size() && c < s.speakers.size(); ++c)
        speakers.push_back(JsonObject({{"name", JsonString(SpeakerOfBit(s.speakers[c])->name)},
                                       {"peak", JsonNumber(s.peaks[c])},
                                       {"peak_dbfs", JsonNumber(ToDbfs(s.peaks[c]))}}));
    const double seconds = s.sampleRate > 0 ? static_cast<double>(s.frames) / s.sampleRate : 0.0;
    return JsonObject({{"input", r.input.empty() ? "null" : JsonString(r.input)},
                       {"output", JsonString(r.output)},
                       {"ok", r.ok ? "true" : "false"},
                       {"error", r.ok ? "null" : JsonString(r.error)},
                       {"layout", JsonString(LayoutName(*r.job))},
                       {"format", JsonString(FormatName(*r.job))},
                       {"sample_rate", std::to_string(s.sampleRate)},
                       {"input_frames", std::to_string(s.inputFrames)},
                       {"frames", std::to_string(s.frames)},
                       {"seconds", JsonNumber(seconds)},
                       {"speakers", JsonArray(speakers)},
                       {"peak_dbfs", JsonNumber(ToDbfs(MaxPeak(s)))},
                       {"clipped_samples", std::to_string(s.clipped)},
                       {"non_finite_samples", std::to_string(s.nonFinite)},
                       {"normalize_gain_db", s.normalized ? JsonNumber(s.gainDb) : "null"},
                       {"wall_seconds", JsonNumber(r.wallSeconds)},
                       {"realtime_factor", JsonNumber(r.wallSeconds > 0 ? seconds / r.wallSeconds : 0.0)}});
}

} // namespace

std::string RendersJson(const std::vector<RenderOutcome>& renders) {
    std::vector<std::string> records;
    for (const RenderOutcome& r : renders)
        records.push_back(RenderJson(r));
    return JsonObject({{"renders", JsonArray(records)}});
}

} // namespace halvane_cli
