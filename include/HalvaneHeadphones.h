// Halvane headphones: the speaker feed of a CSurroundEffect, heard through headphones.
//
// Every speaker of the layout becomes a virtual speaker in its own direction, as a listener in the
// room sees it: standing at the room's centre (or where SetListener puts them), facing the front
// wall. Each speaker's channel is convolved with the head-related impulse responses (HRIRs) of its
// direction, read from a SOFA file with libmysofa, and the results are summed per ear. The LFE
// channel reaches both ears alike, with its gain and without a direction.
//
//   CSurroundEffect --planar speaker channels--> CHalvaneHeadphones --left, right--> headphones
//
// Loudness: every HRIR of the set is scaled by one factor, chosen so that the pair for straight
// ahead has a mean energy gain of 1 over its two ears. A signal on a speaker straight ahead is
// then, as white noise, as loud in each ear as in its speaker channel.
//
// The convolution is a uniformly partitioned FFT convolution (FFTW, single precision). Its plans
// and buffers are made by Initialize; Process allocates nothing, makes no system call and takes
// any number of samples. The output is late by GetLatency() samples (the partition length); the
// output depends only on the samples, never on how the host cuts them into blocks. Partition 0
// is for files, where the latency is taken off afterwards: the stage then takes the whole filter
// as one part and picks the longest step its transform allows, which costs the least work per
// sample (GetLatency() tells the step: 3539 samples for KEMAR's 558-sample filters at 48 kHz).
// The LFE, a single tap, is added to the ears without transforms.
//
// This library (libHalvaneHeadphones, CMake target Halvane::Headphones, pkg-config
// halvane-headphones) is built on Linux only, beside libHalvane.
#ifndef HALVANE_HEADPHONES_H
#define HALVANE_HEADPHONES_H

#include <Halvane.h>

#include <memory>
#include <string>
#include <vector>

#if defined(_WIN32)
#define HALVANE_HEADPHONES_API
#else
#define HALVANE_HEADPHONES_API __attribute__((visibility("default")))
#endif

// What the binaural stage is built for.
struct HalvaneHeadphonesSettings {
    int layout = 63;            // layout code of the speaker feed (3, 51, 63, 255, 271, 1595, 1599)
    float roomWidth = 3.0f;     // metres, as given to CSurroundEffect::SetRoomSize
    float roomDepth = 3.0f;     // metres
    bool listenerGiven = false; // otherwise the listener stands at the room's centre
    float listenerX = 1.5f;     // metres from the left wall
    float listenerY = 1.5f;     // metres from the front wall
    float lfeGain = 1.0f;       // gain of the LFE channel into each ear
    int sampleRate = 48000;     // Hz; the HRIRs are resampled to it
    int partition = 256;        // partition length in samples: the latency; 0 = the stage's choice
    std::string hrtfFile;       // SOFA file; empty = CHalvaneHeadphones::DefaultHrtfFile()
};

// One virtual speaker: where a channel of the speaker feed is heard from.
struct HalvaneVirtualSpeaker {
    int speaker;     // speaker bit (HALVANE_FL ...)
    int channel;     // channel of the speaker feed
    bool lfe;        // the LFE: no direction, both ears alike
    float azimuth;   // degrees, 0 = straight ahead, positive to the left, -180..180
    float elevation; // degrees, 0 = ear height
    float x, y;      // the speaker's place in the room, metres
};

class HALVANE_HEADPHONES_API CHalvaneHeadphones {
public:
    CHalvaneHeadphones();
    ~CHalvaneHeadphones();
    CHalvaneHeadphones(const CHalvaneHeadphones&) = delete;
    CHalvaneHeadphones& operator=(const CHalvaneHeadphones&) = delete;

    // The SOFA file used when none is named: the KEMAR set the distribution installs with libmysofa.
    static const char* DefaultHrtfFile();

    // Directions of the layout's speakers from the listener, in channel order, without loading any
    // HRIRs. False (out empty) for an unsupported layout.
    static bool VirtualSpeakers(const HalvaneHeadphonesSettings& settings,
                                std::vector<HalvaneVirtualSpeaker>& out);

    // Loads the SOFA file, resamples it to the sample rate, picks each speaker's HRIR pair
    // (interpolated between the measured directions), normalises and builds the convolution.
    // False with a message naming the file and the problem; the object then holds no stage.
    bool Initialize(const HalvaneHeadphonesSettings& settings, std::string& error);

    // Builds the stage from given filters instead of a SOFA file: channel c is convolved with
    // left[c] into the left ear and right[c] into the right ear, each `length` samples, used as
    // they are (no normalisation, no directions).
    bool InitializeFilters(int channels, int length, const float* const* left, const float* const* right,
                           int partition, std::string& error);

    int GetInputChannels() const; // speaker channels Process takes, 0 before Initialize
    int GetLatency() const;       // samples the ears are late by
    int GetFilterLength() const;  // samples of the longest filter
    // The filter in use for a channel and an ear (0 left, 1 right), GetFilterLength() samples, or
    // null. With HRIRs these are the normalised, resampled responses.
    const float* GetFilter(int channel, int ear) const;
    const std::vector<HalvaneVirtualSpeaker>& GetVirtualSpeakers() const; // empty with InitializeFilters

    // GetInputChannels() planar channels of nSamples in, two planar channels (left, right) out.
    // Input and output may alias. Returns 1, or 0 when refused (no stage, wrong channel count,
    // negative nSamples). Realtime-safe.
    int Process(const float* const* ppInput, int nInputChannels, float* const* ppOutput, int nSamples);
    // Forgets the signal history (silence in every delay line); keeps the filters.
    void Reset();

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

#endif // HALVANE_HEADPHONES_H
