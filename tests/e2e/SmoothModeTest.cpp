// The smooth mode through the public interface: exactly the jumping mode's samples while nothing
// changes, block cuts that do not matter, and what gliding buys: a clean moving tone, the Doppler
// shift of a moving source, a room and a cut-off that change without a click.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "E2eSupport.h"
#include "Halvane.h"
#include "HalvaneLayouts.h"
#include "support/Spectrum.h"

using namespace e2e;

namespace {

constexpr int RATE = 48000;
constexpr int CONTROL = 480; // a host moving things every 10 ms
const double PI = std::acos(-1.0);

// Speed of sound as the library's travel-time delays have it: a click from a still source 10 m
// from the front-left speaker arrives after 10 m / c, in whole samples (to within 0.07%).
double MeasuredSpeedOfSound() {
    CSurroundEffect effect;
    effect.SetRoomSize(20.0f, 20.0f, false);
    effect.SetSoundPos(7.0710678f, 7.0710678f, false);
    effect.SetReverb(false);
    tWAVEFORMATEX format = Format(1, RATE);
    effect.Initialize(&format);
    Channels click(1, std::vector<float>(RATE / 10, 0.0f));
    click[0][0] = 1.0f;
    const std::vector<float> fl = RenderPlanar(effect, click, 512, effect.GetOutputChannels())[0];
    const size_t arrival = static_cast<size_t>(
        std::find_if(fl.begin(), fl.end(), [](float v) { return v != 0.0f; }) - fl.begin());
    return 10.0 * RATE / static_cast<double>(arrival);
}

Channels Tone(double hz, double amplitude, size_t samples) {
    Channels in(1, std::vector<float>(samples));
    for (size_t i = 0; i < samples; ++i)
        in[0][i] = static_cast<float>(amplitude * std::sin(2.0 * PI * hz * static_cast<double>(i) / RATE));
    return in;
}

// Renders through ProcessPlanar, calling `control(sample)` every CONTROL samples before the block
// that starts there; with `random`, each control period is cut into random blocks as well.
Channels Render(CSurroundEffect& effect, const Channels& in, const std::function<void(size_t)>& control,
                std::mt19937* random = nullptr) {
    const size_t total = in[0].size();
    const int outputs = effect.GetOutputChannels();
    Channels out(outputs, std::vector<float>(total));
    for (size_t start = 0; start < total; start += CONTROL) {
        control(start);
        const size_t end = std::min(total, start + CONTROL);
        for (size_t at = start; at < end;) {
            size_t n = end - at;
            if (random)
                n = std::min(n, static_cast<size_t>(1 + (*random)() % 300));
            EXPECT_EQ(ProcessPlanarAt(effect, in, out, at, n), 1);
            at += n;
        }
    }
    return out;
}

void Start(CSurroundEffect& effect, int code, int inputs, bool smooth, bool reverb) {
    effect.SetSpeakersConfig(code, false);
    effect.SetReverb(reverb);
    effect.SetSmoothing(smooth);
    tWAVEFORMATEX format = Format(inputs, RATE);
    effect.Initialize(&format);
}

Channels WithoutLfe(Channels channels, int lfe) {
    channels.erase(channels.begin() + lfe);
    return channels;
}

// Source on a circle of 1 m around the middle of a 3 x 3 m room, one turn in 4 s, starting in
// front of the centre and turning clockwise.
void Orbit(CSurroundEffect& effect, size_t sample) {
    const double angle = 2.0 * PI * static_cast<double>(sample) / RATE / 4.0;
    effect.SetSoundPos(static_cast<float>(1.5 + std::sin(angle)), static_cast<float>(1.5 - std::cos(angle)),
                       true);
}

} // namespace

TEST(SmoothMode, WithNothingChangingGivesTheJumpingModesSamples) {
    const Channels noise = RandomChannels(2, 30000, 5u);
    for (int code : {3, 63, 1599}) {
        for (int inputs : {1, 2}) {
            for (bool late : {false, true}) {
                SCOPED_TRACE(testing::Message() << code << "/" << inputs << (late ? " set late" : ""));
                const Channels in(noise.begin(), noise.begin() + inputs);
                CSurroundEffect jumping, smooth;
                for (CSurroundEffect* effect : {&jumping, &smooth}) {
                    effect->SetLowPass(true);
                    effect->SetProcessAdvance(true);
                    effect->SetSoundPos(0.7f, 2.2f, false);
                    effect->SetRoomSize(4.0f, 5.0f, false);
                    effect->SetVolume(0.8f, false);
                    effect->SetLFEVolume(0.6f, false);
                }
                Start(jumping, code, inputs, false, true);
                Start(smooth, code, inputs, !late, true);
                if (late)
                    smooth.SetSmoothing(true);
                jumping.SetLowPass(true); // the high-pass stage joins the path after Initialize
                smooth.SetLowPass(true);
                // The host repeats its settings every block, as automation does. (Not the cut-offs:
                // the jumping mode restarts its filters even for the same value, a click the smooth
                // mode does not copy.)
                const auto repeat = [](CSurroundEffect& e) {
                    return [&e](size_t) {
                        e.SetSoundPos(0.7f, 2.2f, true);
                        e.SetRoomSize(4.0f, 5.0f, true);
                        e.SetVolume(0.8f, true);
                        e.SetRevWet(1.8f);
                    };
                };
                const Channels a = Render(jumping, in, repeat(jumping));
                const Channels b = Render(smooth, in, repeat(smooth));
                ASSERT_EQ(a.size(), b.size());
                for (size_t k = 0; k < a.size(); ++k)
                    EXPECT_TRUE(SameBits(a[k], b[k])) << "channel " << k;
            }
        }
    }
}

// Every parameter that glides changes at fixed samples; the blocks around them are cut at random.
TEST(SmoothMode, GlidesDoNotDependOnBlockCuts) {
    const Channels in = RandomChannels(2, 40000, 9u);
    std::vector<Channels> renders;
    for (int pass = 0; pass < 3; ++pass) {
        CSurroundEffect effect;
        effect.SetLowPass(true);
        effect.SetProcessAdvance(true);
        Start(effect, 1599, 2, pass < 2, true);
        std::mt19937 random(100u + static_cast<unsigned>(pass));
        const auto control = [&](size_t sample) {
            const int i = static_cast<int>(sample / CONTROL);
            effect.SetSoundPos(0.3f + 0.05f * (i % 40), 2.5f - 0.04f * (i % 50), true);
            if (i % 7 == 3)
                effect.SetRoomSize(3.0f + 0.1f * (i % 13), 4.0f - 0.05f * (i % 11), true);
            effect.SetLFEMaxFreq(60 + (i * 7) % 140, true);
            effect.SetLowPassFreq(40 + (i * 3) % 100);
            effect.SetVolume(0.5f + 0.01f * (i % 30), true);
            effect.SetLFEVolume(1.0f - 0.02f * (i % 20), true);
            effect.SetVolumeChannel(HALVANE_SL, 0.3f + 0.05f * (i % 9));
            effect.SetRevWet(1.0f + 0.1f * (i % 8));
            effect.SetRevDry(0.05f * (i % 5));
            effect.SetRevAbsorb(0.1f + 0.01f * (i % 6));
        };
        renders.push_back(Render(effect, in, control, pass == 1 ? &random : nullptr));
    }
    for (size_t k = 0; k < renders[0].size(); ++k) {
        EXPECT_TRUE(SameBits(renders[0][k], renders[1][k])) << "channel " << k;
        EXPECT_FALSE(SameBits(renders[0][k], renders[2][k])) << "channel " << k << " glided";
    }
}

// At very low rates a room change leaves lines too short to glide, and the reverb starts over
// silent. Whether the block before the change ran the cores one by one (a level still gliding at its
// start) or together in lockstep must not matter: both start over from the same silence.
TEST(SmoothMode, LinesThatStartOverDoNotDependOnBlockCuts) {
    for (int rate : {100, 1000}) {
        SCOPED_TRACE(rate);
        const size_t glide = static_cast<size_t>(rate / 50); // 20 ms
        const Channels in = RandomChannels(2, 600 + 2 * glide, 21u);
        std::vector<Channels> renders;
        for (size_t firstCut : {2 * glide, glide + 1}) {
            CSurroundEffect effect;
            effect.SetRoomSize(10.0f, 10.0f, false);
            effect.SetSmoothing(true);
            tWAVEFORMATEX format = Format(2, rate);
            effect.Initialize(&format);
            Channels out(static_cast<size_t>(effect.GetOutputChannels()), std::vector<float>(in[0].size()));
            size_t at = 0;
            const auto run = [&](size_t n) {
                ASSERT_EQ(ProcessPlanarAt(effect, in, out, at, n), 1);
                at += n;
            };
            for (int i = 0; i < 300 / 50; ++i)
                run(50);
            effect.SetRevWet(1.0f); // glides over the first `glide` samples of the next block
            run(firstCut);
            if (at < 300 + 2 * glide)
                run(300 + 2 * glide - at); // the glide is over: the cores run in lockstep
            effect.SetRoomSize(2.0f, 2.0f, true);
            while (at < in[0].size())
                run(std::min<size_t>(50, in[0].size() - at));
            renders.push_back(out);
        }
        for (size_t k = 0; k < renders[0].size(); ++k)
            EXPECT_TRUE(SameBits(renders[0][k], renders[1][k])) << "channel " << k;
    }
}

// A 1 kHz tone at -6 dBFS circling the room: the jumping gains and delays buzz at the control rate,
// the gliding ones leave nothing above 6 kHz.
TEST(SmoothMode, OrbitingToneHasNoZipperNoise) {
    const Channels in = Tone(1000.0, 0.5, RATE * 3);
    for (bool reverb : {false, true}) {
        double figure[2];
        for (bool smooth : {false, true}) {
            CSurroundEffect effect;
            Start(effect, 63, 1, smooth, reverb);
            const Channels out = Render(effect, in, [&](size_t s) { Orbit(effect, s); });
            figure[smooth] = spectrum::EnergyAboveDb(WithoutLfe(out, 3), RATE / 5, RATE, 6000.0);
        }
        std::printf("orbiting 1 kHz tone, reverb %s: energy above 6 kHz %.1f dB jumping, %.1f dB smooth\n",
                    reverb ? "on" : "off", figure[0], figure[1]);
        EXPECT_GT(figure[0], -70.0) << "the measure sees the jumps";
        EXPECT_LE(figure[1], -90.0);
    }
}

// A source moving straight away from the front-left speaker at 10 m/s: every period that speaker
// plays lasts 1/f' with f' = f * c / (c + v), within 0.5%.
TEST(SmoothMode, MovingSourceHasItsDopplerShift) {
    const double v = 10.0;
    const double c = HALVANE_SPEED_OF_SOUND;
    EXPECT_NEAR(MeasuredSpeedOfSound() / c, 1.0, 0.001) << "the delays travel at the published speed";
    const double expected = 1000.0 * c / (c + v);
    const Channels in = Tone(1000.0, 0.5, RATE);
    CSurroundEffect effect;
    effect.SetRoomSize(20.0f, 20.0f, false);
    Start(effect, 63, 1, true, false);
    const Channels out = Render(effect, in, [&](size_t s) {
        const double along = 2.0 * std::sqrt(2.0) + v * static_cast<double>(s) / RATE;
        const float xy = static_cast<float>(along / std::sqrt(2.0));
        effect.SetSoundPos(xy, xy, true);
    });
    const std::vector<float>& fl = out[0];
    double last = -1.0, worst = 0.0;
    int periods = 0;
    for (size_t i = RATE / 5; i < fl.size(); ++i) {
        if (fl[i - 1] < 0.0f && fl[i] >= 0.0f) {
            const double crossing = static_cast<double>(i - 1) + fl[i - 1] / (fl[i - 1] - fl[i]);
            if (last >= 0.0) {
                const double f = RATE / (crossing - last);
                worst = std::max(worst, std::fabs(f / expected - 1.0));
                ++periods;
            }
            last = crossing;
        }
    }
    std::printf("Doppler at 10 m/s: expected %.3f Hz, worst period off by %.4f%%\n", expected, 100 * worst);
    EXPECT_GT(periods, 700);
    EXPECT_LT(worst, 0.005);
}

// The room grows from 3 x 3 to 8 x 6 m over 4 s under a 1 kHz tone with the reverb on: the line
// lengths glide without a click.
TEST(SmoothMode, RoomSizeSweepStaysClean) {
    const Channels in = Tone(1000.0, 0.5, RATE * 4);
    CSurroundEffect effect;
    Start(effect, 63, 1, true, true);
    const Channels out = Render(effect, in, [&](size_t s) {
        const double t = static_cast<double>(s) / (RATE * 4.0);
        effect.SetRoomSize(static_cast<float>(3.0 + 5.0 * t), static_cast<float>(3.0 + 3.0 * t), true);
    });
    const double figure = spectrum::EnergyAboveDb(WithoutLfe(out, 3), RATE / 5, RATE, 6000.0);
    std::printf("room-size sweep 3x3 to 8x6 m in 4 s: energy above 6 kHz %.1f dB\n", figure);
    EXPECT_LE(figure, -80.0);
}

// The LFE cut-off moves from 60 to 200 Hz over 2 s under a 40 Hz tone: no sample-to-sample step of
// the LFE channel exceeds the largest step of the same tone through a still filter at either end
// (by more than 0.1%: the moving filter's own phase wanders by a few float steps).
TEST(SmoothMode, CutoffSweepHasNoStep) {
    const Channels in = Tone(40.0, 0.5, RATE * 2);
    const auto largestStep = [](const std::vector<float>& x) {
        double step = 0.0;
        for (size_t i = RATE / 10; i < x.size(); ++i)
            step = std::max(step, std::fabs(static_cast<double>(x[i]) - x[i - 1]));
        return step;
    };
    double still = 0.0;
    for (int hz : {60, 200}) {
        CSurroundEffect effect;
        effect.SetLFEMaxFreq(hz, false);
        Start(effect, 63, 1, true, false);
        still = std::max(still, largestStep(Render(effect, in, [](size_t) {})[3]));
    }
    double swept[2];
    for (bool smooth : {false, true}) {
        CSurroundEffect effect;
        effect.SetLFEMaxFreq(60, false);
        Start(effect, 63, 1, smooth, false);
        swept[smooth] = largestStep(Render(effect, in, [&](size_t s) {
            effect.SetLFEMaxFreq(60 + static_cast<int>(140 * s / (RATE * 2)), true);
        })[3]);
    }
    std::printf("LFE cut-off sweep: largest step %.6f still, %.6f jumping, %.6f smooth\n", still, swept[0],
                swept[1]);
    EXPECT_GT(swept[0], 2 * still) << "the measure sees the filter restarts";
    EXPECT_LE(swept[1], still * 1.001);
}
