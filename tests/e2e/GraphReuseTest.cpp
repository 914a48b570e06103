// An object that builds its graph again takes over the sample memory of the graph before it
// (delay histories, corner histories, reverb lines, the lockstep engine's lines and scratch). The
// new graph must play exactly as one built by a fresh object, whatever the old one played and in
// whichever layout, rate and mode.
#include <gtest/gtest.h>

#include <random>

#include "E2eSupport.h"
#include "Halvane.h"
#include "HalvaneLayouts.h"

using namespace e2e;

namespace {

// What the old graph plays: past the end of every delay and corner history, so that the new graph
// reads places the old one wrote even where it reads furthest back.
constexpr size_t PAST_THE_HISTORIES = HALVANE_DELAY_CAPACITY + 9000;

struct Stream {
    int layout;
    int rate;
    int inputs;
    bool smooth;
    float width, depth;
};

void Configure(CSurroundEffect& effect, const Stream& s) {
    effect.SetSmoothing(s.smooth);
    effect.SetSpeakersConfig(s.layout, false);
    effect.SetRoomSize(s.width, s.depth, false);
    effect.SetSoundPos(0.3f * s.width, 0.7f * s.depth, false);
    effect.SetProcessAdvance(true); // the corner cross-feed and its histories
    effect.SetRevWet(1.5f);
}

// Plays noise through ProcessPlanar in uneven blocks (some past the graph's 4096). On the way the
// room grows, the wet level changes and the room shrinks: in the smooth mode the reverb lines then
// glide (as rings over their whole length) and the cores run on their own; in the exact mode the
// lines are built anew.
Channels Play(CSurroundEffect& effect, const Stream& s, unsigned seed, size_t samples) {
    const Channels input = Noise(s.inputs, samples, seed);
    const int outputs = effect.GetOutputChannels();
    Channels output(static_cast<size_t>(outputs), std::vector<float>(samples));
    std::mt19937 rng(seed);
    int changes = 0;
    for (size_t start = 0; start < samples;) {
        const int longest = static_cast<int>(samples - start);
        const int block = std::min(longest, rng() % 4 == 0 ? 4000 + static_cast<int>(rng() % 1500)
                                                           : 1 + static_cast<int>(rng() % 900));
        if (changes < 3 && start >= (changes + 1) * samples / 4) {
            if (changes == 0)
                effect.SetRoomSize(2.5f * s.width, 2.0f * s.depth, true);
            else if (changes == 1)
                effect.SetRevWet(0.8f);
            else
                effect.SetRoomSize(0.5f * s.width, s.depth, true);
            ++changes;
        }
        EXPECT_EQ(ProcessPlanarAt(effect, input, output, start, static_cast<size_t>(block)), 1);
        start += static_cast<size_t>(block);
    }
    return output;
}

void Start(CSurroundEffect& effect, const Stream& s) {
    tWAVEFORMATEX format = Format(s.inputs, s.rate);
    effect.Initialize(&format);
}

} // namespace

TEST(GraphReuse, ARebuiltGraphPlaysAsAFreshObjectsDoes) {
    // What the object played before, then what it plays now, in every direction that changes how
    // much memory the graphs need: more or fewer speakers, higher or lower rates, larger or
    // smaller rooms, the smooth mode's full-length lines or the exact mode's short ones.
    const Stream BIG_SMOOTH{1599, 96000, 2, true, 30.0f, 24.0f};
    const Stream SMALL_EXACT{63, 44100, 1, false, 4.0f, 5.0f};
    const Stream MID_SMOOTH{255, 48000, 2, true, 9.0f, 7.0f};
    const Stream QUAD_EXACT{51, 22050, 2, false, 12.0f, 3.0f};
    const struct {
        Stream before, now;
    } CASES[] = {
        {BIG_SMOOTH, SMALL_EXACT}, {SMALL_EXACT, BIG_SMOOTH}, {BIG_SMOOTH, MID_SMOOTH},
        {MID_SMOOTH, QUAD_EXACT},  {QUAD_EXACT, MID_SMOOTH},  {SMALL_EXACT, SMALL_EXACT},
    };
    unsigned seed = 1;
    for (const auto& c : CASES) {
        for (bool assign : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << "layout " << c.before.layout << " -> " << c.now.layout
                         << (assign ? ", assigned a default object" : ", initialised again"));
            CSurroundEffect reused;
            Configure(reused, c.before);
            Start(reused, c.before);
            Play(reused, c.before, seed++, PAST_THE_HISTORIES);
            if (assign)
                reused = CSurroundEffect(); // keeps the graph's memory for the next one
            CSurroundEffect fresh;
            Configure(reused, c.now);
            Configure(fresh, c.now);
            Start(reused, c.now);
            Start(fresh, c.now);
            const Channels expected = Play(fresh, c.now, seed, 30000);
            const Channels got = Play(reused, c.now, seed++, 30000);
            ASSERT_EQ(got.size(), expected.size());
            for (size_t k = 0; k < got.size(); ++k)
                EXPECT_TRUE(SameBits(got[k], expected[k])) << "channel " << k;
        }
    }
}

TEST(GraphReuse, TheSmoothModeTurnedOnGrowsUsedLinesAsAFreshGraphWould) {
    // An exact graph built in memory that a smooth graph used (lines long enough to grow in
    // place), played, then switched to the smooth mode and played on, against the same calls on
    // a fresh object.
    const Stream SMOOTH{1599, 48000, 2, true, 25.0f, 20.0f};
    const Stream EXACT{1599, 48000, 2, false, 6.0f, 5.0f};
    CSurroundEffect reused;
    Configure(reused, SMOOTH);
    Start(reused, SMOOTH);
    Play(reused, SMOOTH, 7, PAST_THE_HISTORIES);
    CSurroundEffect fresh;
    Configure(reused, EXACT);
    Configure(fresh, EXACT);
    Start(reused, EXACT);
    Start(fresh, EXACT);
    const Channels first = Play(fresh, EXACT, 8, 12000);
    EXPECT_EQ(Play(reused, EXACT, 8, 12000), first);
    reused.SetSmoothing(true);
    fresh.SetSmoothing(true);
    const Channels expected = Play(fresh, SMOOTH, 9, 30000);
    const Channels got = Play(reused, SMOOTH, 9, 30000);
    ASSERT_EQ(got.size(), expected.size());
    for (size_t k = 0; k < got.size(); ++k)
        EXPECT_TRUE(SameBits(got[k], expected[k])) << "channel " << k;
}
