// The built-in demo: a plucked tune that circles the listener once, rendered with the defaults.
#ifndef HALVANE_TOOLS_DEMO_H
#define HALVANE_TOOLS_DEMO_H

#include "AudioIO.h"
#include "Motion.h"

#include <vector>

namespace halvane_cli {

// Interleaved frames held in memory.
class MemoryInput : public InputStream {
public:
    MemoryInput(std::vector<float> interleaved, int channels, int sampleRate);
    int channels() const override { return m_channels; }
    int sampleRate() const override { return m_rate; }
    int64_t frames() const override { return static_cast<int64_t>(m_samples.size()) / m_channels; }
    int64_t Read(float* interleaved, int64_t frames) override;

private:
    std::vector<float> m_samples;
    int m_channels;
    int m_rate;
    size_t m_pos = 0;
};

// The opening of the "Ode to Joy" on a plucked string, stereo, about six and a half seconds.
MemoryInput MakeDemoClip(int sampleRate);
// One clockwise turn around the middle of a `width` x `depth` room over `seconds`.
Motion DemoMotion(float width, float depth, double seconds);

} // namespace halvane_cli

#endif
