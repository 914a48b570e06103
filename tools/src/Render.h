// One render: a mono or stereo stream through one surround effect object into a speaker file.
#ifndef HALVANE_TOOLS_RENDER_H
#define HALVANE_TOOLS_RENDER_H

#include "AudioIO.h"
#include "Motion.h"

#include <HalvaneLayouts.h>

#include <atomic>
#include <string>
#include <utility>
#include <vector>

namespace halvane_cli {

// Every parameter of the effect, with the library's defaults.
struct EffectSettings {
    int layout = HALVANE_DEFAULT_LAYOUT;
    float roomWidth = HALVANE_DEFAULT_ROOM_WIDTH;
    float roomDepth = HALVANE_DEFAULT_ROOM_DEPTH;
    Point source{HALVANE_DEFAULT_SOURCE_X, HALVANE_DEFAULT_SOURCE_Y};
    bool sourceGiven = false; // otherwise the centre of the room
    float volume = HALVANE_DEFAULT_VOLUME;
    float lfeVolume = HALVANE_DEFAULT_LFE_VOLUME;
    int lfeCutoff = HALVANE_DEFAULT_LFE_MAX_FREQ; // Hz, the low-pass that makes the LFE channel
    int highpass = 0;                             // Hz, 0 = the high-pass stage of the other speakers is off
    bool propagationDelay = HALVANE_DEFAULT_MOVE_OFF;
    bool reverb = HALVANE_DEFAULT_REVERB;
    float reverbWet = HALVANE_DEFAULT_REV_WET;
    float reverbDry = HALVANE_DEFAULT_REV_DRY;
    float absorb = HALVANE_DEFAULT_REV_ABSORB;
    float hfDecay = HALVANE_DEFAULT_REV_HF_DECAY;
    bool cornerCrossfeed = HALVANE_DEFAULT_PROCESS_ADVANCE;
    std::vector<std::pair<int, float>> speakerVolumes; // speaker bit, volume
    std::vector<std::pair<int, int>> remaps;           // speaker bit, channel
    bool invertRight = false;
    bool clamp = false;
    bool smooth = true;         // the library's smooth mode: a moving source glides; --exact makes it jump
    bool headphones = false;    // the speaker feed goes on to the binaural stage: two ears out
    std::string hrtf;           // SOFA file of the binaural stage; empty = the library's default set
    bool listenerGiven = false; // otherwise the binaural stage's listener stands at the room's centre
    Point listener{};           // metres from the front-left corner, facing the front wall

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
    Motion motion = Motion::Still({HALVANE_DEFAULT_SOURCE_X, HALVANE_DEFAULT_SOURCE_Y});
    int block = HALVANE_MAX_BLOCK; // frames handed to the library per call by the host loop
    // Threads of this render: 1 reads, processes and writes on the calling thread; more read and
    // write on threads of their own, and from 3 on give the library threads - 2 worker threads.
    int threads = 1;
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
