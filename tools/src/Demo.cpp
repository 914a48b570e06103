#include "Demo.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace halvane_cli {

MemoryInput::MemoryInput(std::vector<float> interleaved, int channels, int sampleRate)
    : m_samples(std::move(interleaved)), m_channels(channels), m_rate(sampleRate) {}

int64_t MemoryInput::Read(float* interleaved, int64_t frames) {
    const size_t want = static_cast<size_t>(frames) * m_channels;
    const size_t n = std::min(want, m_samples.size() - m_pos);
    std::memcpy(interleaved, m_samples.data() + m_pos, n * sizeof(float));
    m_pos += n;
    return static_cast<int64_t>(n / m_channels);
}

namespace {

// One Karplus-Strong string: a burst of noise circulating in a delay line of one period, averaged
// with its neighbour on every pass, which makes a plucked tone that dies away.
void Pluck(std::vector<float>& out, int channels, int channel, size_t start, double freq, int rate,
           uint32_t seed) {
    const int period = std::max(2, static_cast<int>(std::lround(rate / freq)));
    std::vector<float> line(static_cast<size_t>(period));
    float prev = 0.0f;
    for (float& v : line) {
        seed = seed * 1664525u + 1013904223u;
        const float noise = static_cast<float>(seed >> 8) / 8388608.0f - 1.0f;
        prev = 0.5f * prev + 0.5f * noise; // a softer attack
        v = prev;
    }
    const size_t frames = out.size() / channels;
    const size_t length = std::min(frames - std::min(frames, start), static_cast<size_t>(rate) * 2);
    size_t i = 0;
    for (size_t n = 0; n < length; ++n) {
        const size_t next = (i + 1) % line.size();
        const float y = line[i];
        line[i] = 0.4985f * (line[i] + line[next]);
        i = next;
        out[(start + n) * channels + channel] += 0.35f * y;
    }
}

} // namespace

MemoryInput MakeDemoClip(int rate) {
    // E E F G | G F E D | C C D E | E D D, a crotchet of 0.4 s, the last note held.
    static const double kNotes[] = {329.63, 329.63, 349.23, 392.00, 392.00, 349.23, 329.63, 293.66,
                                    261.63, 261.63, 293.66, 329.63, 329.63, 293.66, 293.66};
    const double beat = 0.4;
    const size_t frames = static_cast<size_t>(rate * 6.6);
    std::vector<float> samples(frames * 2, 0.0f);
    int index = 0;
    double t = 0.0;
    for (double f : kNotes) {
        // Notes 13 and 14 are dotted and quick, as the tune goes.
        const double length = index == 12 ? beat * 1.5 : index == 13 ? beat * 0.5 : beat;
        const size_t start = static_cast<size_t>(t * rate);
        Pluck(samples, 2, 0, start, f, rate, 12345u + index);
        Pluck(samples, 2, 1, start, f * 1.002, rate, 54321u + index); // a slightly detuned twin
        t += length;
        ++index;
    }
    return MemoryInput(std::move(samples), 2, rate);
}

Motion DemoMotion(float width, float depth, double seconds) {
    return Motion::Orbit({width * 0.5f, depth * 0.5f}, std::min(width, depth) * 0.4f, seconds);
}

} // namespace halvane_cli
