// One render: a mono or stereo stream through one surround effect object into a speaker file.
#ifndef HALVANE_TOOLS_RENDER_H
#define HALVANE_TOOLS_RENDER_H

#include "AudioIO.h"
#include "Motion.h"

#include <atomic>
#include <string>
#include <utility>
#include <vector>

namespace halvane_cli {

// Every parameter of the effect, with the library's defaults.
struct EffectSettings {
    int layout = 63;
    float roomWidth = 3.0f;
    float roomDepth = 3.0f;
    Point source{1.5f, 1.5f};
    bool sourceGiven = false; // otherwise the centre of the room
    float volume = 1.0f;
    float lfeVolume = 1.0f;
    int lfeCutoff = 100; // Hz, the low-pass that makes the LFE channel
    int highpass = 0;    // Hz, 0 = the high-pass stage of the other speakers is off
    bool propagationDelay = true;
    bool reverb = true;
    float reverbWet = 1.8f;
    float reverbDry = 0.0f;
    float absorb = 0.14f;
    float hfDecay = 0.42f;
    bool cornerCrossfeed = false;
    std::vector<std::pair<int, float>> speakerVolumes; // speaker bit, volume
    std::vector<std::pair<int, int>> remaps;           // speaker bit, channel
    bool invertRight = false;
    bool clamp = false;
    bool smooth = true; // the library's smooth mode: a moving source glides; --exact makes it jump

    Point SourceOrCentre() const { return sourceGiven ? source : Point{roomWidth * 0.5f, roomDepth * 0.5f}; }
    // The library's final stage (clamp, right-hand inversion, reordering) is needed.
    bool NeedsPostProcessing() const { return clamp || invertRight || !remaps.empty(); }
};

// What follows the input so that the delays and the reverb ring out: a fixed length of silence, or
// (automatic) silence until every output channel stays below kQuietDbfs for a whole window of
// kQuietWindowSeconds, counted from the end of the input, and at most kMaxAutoTailSeconds. The
// windows lie on a fixed grid, so the length does not depend on the host block.
struct Tail {
    bool automatic = false;
    double seconds = 0.0; // the fixed length
};
constexpr double kQuietDbfs = -90.0;
constexpr double kQuietWindowSeconds = 0.1;
constexpr double kMaxAutoTailSeconds = 30.0;

// What a render measured, for the report on standard error and for --json.
struct RenderStats {
    int sampleRate = 0;
    int64_t inputFrames = 0;
    int64_t frames = 0;        // written: the input and its tail
    std::vector<int> speakers; // speaker bit of each output channel
    std::vector<float> peaks;  // largest magnitude of each output channel, as written
    int64_t clipped = 0;       // samples clamped to the range of an integer format
    int64_t nonFinite = 0;     // NaN or infinite input samples replaced by silence
    bool normalized = false;
    double gainDb = 0.0; // the gain --normalize applied
};

struct RenderJob {
    EffectSettings effect;
    Motion motion = Motion::Still({1.5f, 1.5f});
    int block = 4096; // frames handed to the library per call by the host loop
    Tail tail;
    bool normalize = false; // scale the whole render so that its peak lands at normalizeDb dBFS
    double normalizeDb = 0.0;
    FileType type = FileType::Wav;
    SampleFormat format = SampleFormat::Float;
    bool overwrite = false;
    std::string output;
    std::string plotFile; // SVG of the room, written next to the render when set
};

// Checks what depends on the stream: filter frequencies below half the sample rate and delays the
// library can hold. Returns an empty string when the job can run.
std::string CheckJobForRate(const RenderJob& job, int sampleRate);

// Routes the library's messages to standard error; a message while a render builds its effect
// (an unsupported layout, for instance) fails that render.
void InstallLibraryMessageHandler();

// Renders `input` into job.output. `progress` counts frames done (may be null); `stats` (may be
// null) receives what the render measured. Returns false with a message; a failed render leaves no
// file behind.
bool Render(InputStream& input, const RenderJob& job, std::atomic<int64_t>* progress, std::string& error,
            RenderStats* stats = nullptr);

} // namespace halvane_cli

#endif
