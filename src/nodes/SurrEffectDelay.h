#ifndef HALVANE_NODES_SURREFFECTDELAY_H
#define HALVANE_NODES_SURREFFECTDELAY_H

#include <utility>

#include "Halvane.h"
#include "HalvaneLayouts.h"
#include "dsp/Glide.h"
#include "dsp/History.h"

// Delay setting of a delay node, in milliseconds and in whole samples.
class CSurrEffectDelay : public CSurrBaseEffect {
public:
    // Stores the delay; with recompute, also converts it to whole samples at the sample rate.
    virtual void SetDelay(float ms, bool recompute) = 0;

    float m_fDelay = 0.0f;       // delay in milliseconds
    int32_t m_nDelaySamples = 0; // delay in samples
};

// Delays channel 0 of every block by a whole number of samples, continuously across blocks.
class CSurrEffectDelayEx : public CSurrEffectDelay {
public:
    // Most samples a delay plus a block may span.
    static constexpr int HISTORY = HALVANE_DELAY_CAPACITY;

    CSurrEffectDelayEx() = default;
    // A node that reuses the history of one it replaces (HISTORY samples), silent again: a graph
    // rebuilt with the same delays then allocates nothing for them.
    explicit CSurrEffectDelayEx(halvane::History history);
    // Gives the history up; the node must not process afterwards.
    halvane::History TakeHistory() { return std::move(m_History); }

    void Initialize(tWAVEFORMATEX* format) override; // converts the delay, clears the history
    int Process(_SOUNDDATAEX_* data) override;
    void SetDelay(float ms, bool recompute) override;
    // Smooth mode: a new delay glides to its whole-sample value over `samples` samples (longer for
    // a jump the glide would otherwise cross faster than a quarter sample per sample), read between
    // samples by the four-point interpolator; 0 (the default) jumps at the next block.
    void SetGlide(int32_t samples);
    // The delay, in samples, that the last output sample was read at.
    double CurrentDelay() const { return m_DelayGlide.Current(); }

    // Longest delay a glide reaches: every block up to the graph's largest, plus the interpolator's
    // two older samples, stays inside the history, so the path is the same for any block cut.
    static constexpr int32_t MAX_GLIDE_DELAY = HISTORY - HALVANE_MAX_BLOCK - 3;
    // A delay of `ms` milliseconds in whole samples at `rate` Hz, as SetDelay converts it.
    static int32_t DelaySamples(float ms, int32_t rate);

private:
    int32_t ReadGliding(float* samples, int32_t n);

    // The last HISTORY input samples of channel 0 as a ring: the oldest sits at m_nOldest, the
    // newest just before it. Reading it from m_nOldest on gives the history oldest-first.
    halvane::History m_History{HISTORY};
    int32_t m_nOldest = 0;
    int32_t m_nGlide = 0;
    halvane::Glide<double> m_DelayGlide; // delay in samples, gliding toward m_nDelaySamples
};

#endif
