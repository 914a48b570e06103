#include "Ears.h"

#include "Layouts.h"
#include "Render.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace halvane_cli {

HalvaneHeadphonesSettings StageSettings(const EffectSettings& s, int rate) {
    HalvaneHeadphonesSettings h;
    h.layout = s.layout;
    h.roomWidth = s.roomWidth;
    h.roomDepth = s.roomDepth;
    h.lfeGain = 1.0f; // the LFE channel already carries --lfe-volume
    h.sampleRate = rate;
    h.hrtfFile = s.hrtf;
    h.listenerGiven = s.listenerGiven;
    h.listenerX = s.listener.x;
    h.listenerY = s.listener.y;
    return h;
}

bool Ears::Open(const EffectSettings& s, int rate, int block, std::string& error) {
    HalvaneHeadphonesSettings settings = StageSettings(s, rate);
    if (s.listenerGiven && !(s.listener.x > 0.0f && s.listener.x < s.roomWidth && s.listener.y > 0.0f &&
                             s.listener.y < s.roomDepth)) {
        char text[256];
        std::snprintf(text, sizeof text,
                      "the listener at %g,%g is not inside the %g x %g m room; give --listener X,Y "
                      "with 0 < X < %g and 0 < Y < %g",
                      s.listener.x, s.listener.y, s.roomWidth, s.roomDepth, s.roomWidth, s.roomDepth);
        error = text;
        return false;
    }
    // A file has no use for a short latency (it is taken off): the stage picks the step that
    // costs the fewest transforms per second of sound.
    settings.partition = 0;
    if (!m_stage.Initialize(settings, error)) {
        if (s.hrtf.empty())
            error += "; install libmysofa1 for the default set, or name a SOFA file with --hrtf";
        else
            error += "; name a readable SOFA file with --hrtf, or leave --hrtf out for the default set";
        return false;
    }
    m_block = block;
    m_skip = m_stage.GetLatency();
    m_drain = m_stage.GetLatency();
    m_ears.assign(2 * static_cast<size_t>(block), 0.0f);
    m_silence.assign(static_cast<size_t>(block), 0.0f);
    m_silenceRows.assign(static_cast<size_t>(m_stage.GetInputChannels()), m_silence.data());
    return true;
}

int Ears::Process(const float* const* speakers, int channels, int n, const float* (&ears)[2]) {
    float* rows[2] = {m_ears.data(), m_ears.data() + m_block};
    if (!m_stage.Process(speakers, channels, rows, n))
        return -1;
    const int skip = std::min(m_skip, n);
    m_skip -= skip;
    ears[0] = rows[0] + skip;
    ears[1] = rows[1] + skip;
    return n - skip;
}

int Ears::Drain(const float* (&ears)[2]) {
    const int n = std::min(m_drain, m_block);
    if (n <= 0)
        return 0;
    m_drain -= n;
    return Process(m_silenceRows.data(), static_cast<int>(m_silenceRows.size()), n, ears);
}

bool RenderSpeakersToEars(InputStream& input, const RenderJob& job, std::string& error) {
    const LayoutInfo* layout = LayoutOfCode(job.effect.layout);
    const int channels = input.channels();
    if (!layout || channels != layout->channels) {
        error = "input has " + std::to_string(channels) + " channels, the " +
                (layout ? std::string(layout->name) : std::string("?")) + " layout " +
                (layout ? std::to_string(layout->channels) : std::string("?")) +
                "; pick its layout with --layout";
        return false;
    }
    Ears ears;
    OutputFile out;
    if (!ears.Open(job.effect, input.sampleRate(), job.block, error) ||
        !out.Open(job.output, job.type, job.format, input.sampleRate(), LayoutOfCode(3)->speakers,
                  job.overwrite, input.frames(), error))
        return false;
    std::vector<float> interleaved(static_cast<size_t>(job.block) * channels);
    std::vector<float> planar(interleaved.size());
    std::vector<const float*> rows(static_cast<size_t>(channels));
    for (int c = 0; c < channels; ++c)
        rows[c] = planar.data() + static_cast<size_t>(c) * job.block;
    for (;;) {
        const int64_t got = input.Read(interleaved.data(), job.block);
        if (got < 0) {
            error = "read error: " + input.error();
            return false;
        }
        if (got == 0)
            break;
        // Channel by channel: the rows lie a power of two apart, and writing all of them in turn
        // made every store contend for the same cache sets.
        for (int c = 0; c < channels; ++c)
            for (int64_t i = 0; i < got; ++i)
                planar[static_cast<size_t>(c) * job.block + i] =
                    interleaved[static_cast<size_t>(i) * channels + c];
        const float* lr[2];
        const int m = ears.Process(rows.data(), channels, static_cast<int>(got), lr);
        if (m < 0) {
            error = "the headphone stage refused a block";
            return false;
        }
        if (!out.Write(lr, m, error))
            return false;
    }
    const float* lr[2];
    for (int m; (m = ears.Drain(lr)) > 0;)
        if (!out.Write(lr, m, error))
            return false;
    return out.Commit(error);
}

std::vector<std::string> EarDirections(const EffectSettings& s) {
    std::vector<HalvaneVirtualSpeaker> speakers;
    std::vector<std::string> out;
    if (!CHalvaneHeadphones::VirtualSpeakers(StageSettings(s, 48000), speakers))
        return out;
    for (const HalvaneVirtualSpeaker& v : speakers) {
        const SpeakerInfo* info = SpeakerOfBit(v.speaker);
        char line[96];
        if (v.lfe)
            std::snprintf(line, sizeof line, "%-4s both ears alike", info ? info->name : "?");
        else
            std::snprintf(line, sizeof line, "%-4s %5.1f deg %s", info ? info->name : "?",
                          std::fabs(v.azimuth),
                          std::fabs(v.azimuth) < 0.05f || std::fabs(v.azimuth) > 179.95f ? ""
                          : v.azimuth > 0                                                ? "left"
                                                                                         : "right");
        out.push_back(line);
    }
    return out;
}

} // namespace halvane_cli
