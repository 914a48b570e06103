// The binaural stage behind a render: the speaker feed in, the listener's two ears out to the file.
#ifndef HALVANE_TOOLS_EARS_H
#define HALVANE_TOOLS_EARS_H

#include "AudioIO.h"

#include <HalvaneHeadphones.h>

#include <string>
#include <vector>

namespace halvane_cli {

struct EffectSettings;

// The stage's latency is taken off the start of the file and silence is fed for as long at the
// end, so that the ears line up with the input sample for sample.
class Ears {
public:
    // Builds the stage for the settings' layout, room and SOFA file (the default set when none is
    // named); `block` is the most frames one Process carries.
    bool Open(const EffectSettings& s, int rate, int block, std::string& error);
    // The ears of n frames of the speaker feed: `ears` point at the frames to write, fewer than n
    // while the latency is being dropped. Returns their count, or -1 when the stage refuses.
    int Process(const float* const* speakers, int channels, int n, const float* (&ears)[2]);
    // The ears of the latency's worth of silence that ends the stream, a block at a time: call
    // until it returns 0.
    int Drain(const float* (&ears)[2]);

private:
    CHalvaneHeadphones m_stage;
    int m_block = 0;
    int m_skip = 0;  // frames still to drop from the start
    int m_drain = 0; // frames of silence still to feed at the end
    std::vector<float> m_ears;
    std::vector<float> m_silence;
    std::vector<const float*> m_silenceRows; // every speaker channel reads m_silence
};

struct RenderJob;

// A speaker file of the settings' layout (its channels in the layout's order) straight to the ears:
// only the binaural stage, no room effect. Writes job.output as render does; false with a message.
bool RenderSpeakersToEars(InputStream& input, const RenderJob& job, std::string& error);

// The binaural stage's settings for a render's effect settings at `rate`.
HalvaneHeadphonesSettings StageSettings(const EffectSettings& s, int rate);

// The directions in which the layout's speakers are heard, as one line per speaker
// ("FL  45.0 deg left"), for messages and pictures.
std::vector<std::string> EarDirections(const EffectSettings& s);

} // namespace halvane_cli

#endif
