// Halvane: surround-sound effect library.
//
// Turns a mono or stereo stream of 32-bit float samples into a feed for a multichannel speaker
// system: it places the source in a rectangular room (per-speaker gains and travel-time delays),
// derives an LFE channel, adds a feedback-delay-network reverb on every speaker and applies master
// and per-speaker volumes.
//
// Typical use: construct a CSurroundEffect, set its parameters, call Initialize with the stream
// format, then hand it blocks through Process (or ProcessPlanar for host-owned buffers).
#ifndef HALVANE_H
#define HALVANE_H

#include <cstdint>
#include <vector>

#if defined(_WIN32)
#if defined(HALVANE_STATIC_INTERNAL)
#define HALVANE_API
#elif defined(HALVANE_BUILDING)
#define HALVANE_API __declspec(dllexport)
#else
#define HALVANE_API __declspec(dllimport)
#endif
#else
#define HALVANE_API __attribute__((visibility("default")))
#endif

// Wave-format record of the stream. The library reads nChannels and nSamplesPerSec only.
#if defined(_WIN32)
// On Windows this is the system's own record: <mmsystem.h> and <mmreg.h> define it under the guard
// _WAVEFORMATEX_, byte-packed, with 32-bit unsigned long fields. Whichever header comes first
// defines it, in the same form, and the other one reuses that definition.
#ifndef _WAVEFORMATEX_
#define _WAVEFORMATEX_
#pragma pack(push, 1)
typedef struct tWAVEFORMATEX {
    uint16_t wFormatTag;           // format tag (not read)
    uint16_t nChannels;            // channels of the input stream: 1 (mono) or 2 (stereo)
    unsigned long nSamplesPerSec;  // sample rate in Hz
    unsigned long nAvgBytesPerSec; // not read
    uint16_t nBlockAlign;          // not read
    uint16_t wBitsPerSample;       // not read
    uint16_t cbSize;               // not read
} WAVEFORMATEX, *PWAVEFORMATEX, *NPWAVEFORMATEX, *LPWAVEFORMATEX;
#pragma pack(pop)
#endif
#else
struct tWAVEFORMATEX {
    uint16_t wFormatTag;      // format tag (not read)
    uint16_t nChannels;       // channels of the input stream: 1 (mono) or 2 (stereo)
    uint32_t nSamplesPerSec;  // sample rate in Hz
    uint32_t nAvgBytesPerSec; // not read
    uint16_t nBlockAlign;     // not read
    uint16_t wBitsPerSample;  // not read
    uint16_t cbSize;          // not read
};
#endif

// Sound buffer record: one float buffer per channel, all of nSamples samples.
// The record owns the buffers its Channels point to: they are allocated with new float[] and freed
// only by Release (directly or through Allocate). The destructor frees the pointer vector only, and
// assignment copies the pointers, not the samples. Buffers handed to CSurroundEffect::Process must
// come from new float[] of the same C++ runtime as the library, which may free them and put its own
// in their place; the caller releases whatever the record holds afterwards.
struct HALVANE_API _SOUNDDATAEX_ {
    uint8_t bFlag = 0;            // free for the host; cleared by Release, never read by the library
    std::vector<float*> Channels; // one buffer per channel, in channel order
    int32_t nSamples = 0;         // samples in each channel buffer
    int32_t nReserved = 0;        // zeroed by Allocate, Release and Silence; never read
    uint32_t nUser = 0;           // free for the host; Process hands the caller's value back

    // Releases the current buffers, then appends nChannels new buffers of nSamples floats
    // (contents undefined); sets nSamples and zeroes nReserved.
    void Allocate(int nChannels, int nSamples);
    // Frees every buffer with delete[], empties Channels and zeroes nSamples, nReserved and bFlag.
    void Release();
    // Sets every sample of every channel to 0.0 and zeroes nReserved.
    void Silence();
};

// Speaker bits of the channel mask (as in WAVEFORMATEXTENSIBLE), used by the speaker-addressed
// setters. The supported layouts are the codes 3, 51, 63, 255, 271, 1595 and 1599.
enum HalvaneSpeaker : int {
    HALVANE_FL = 1,
    HALVANE_FR = 2,
    HALVANE_FC = 4,
    HALVANE_LFE = 8,
    HALVANE_BL = 16,
    HALVANE_BR = 32,
    HALVANE_FLC = 64,
    HALVANE_FRC = 128,
    HALVANE_BC = 256,
    HALVANE_SL = 512,
    HALVANE_SR = 1024
};

// Receives the library's messages to the user (today only "Unsupported speakers format", caption
// "Error", style 16 = error icon). The default handler writes one line to stderr and returns at
// once; on Windows it shows a modal message box. A GUI host installs its own dialog here.
typedef void (*HalvaneMessageHandler)(const char* text, const char* caption, unsigned int style);
// Installs handler (null restores the default) and returns the previous one. Not thread-safe:
// install it before any other thread uses the library.
HALVANE_API HalvaneMessageHandler HalvaneSetMessageHandler(HalvaneMessageHandler handler);

// Effect node: one stage of the processing graph. Processing is pulled: GetBuffer first asks the
// input node for the block, then runs this node's Process on the same record.
class HALVANE_API CSurrBaseEffect {
public:
    struct SpeakerPosition {
        float x; // metres from the left wall
        float y; // metres from the front wall
    };

    CSurrBaseEffect();                                        // layout 63, room 3 x 3 m, source at (1.5, 1.5)
    CSurrBaseEffect(const CSurrBaseEffect& other);            // copies every field, the input node included
    CSurrBaseEffect& operator=(const CSurrBaseEffect& other); // same copy
    virtual ~CSurrBaseEffect();

    virtual void Initialize(tWAVEFORMATEX* format); // records sample rate and channel count
    virtual void Free();                            // releases per-stream state (none here)
    virtual void SetInput(CSurrBaseEffect* input);  // the node this one reads from (not owned)
    virtual void SetSpeakersConfig(int code);       // installs one of the seven speaker layouts
    virtual void UpdateParams();                    // recomputes derived parameters (none here)
    virtual int GetBuffer(_SOUNDDATAEX_* data);     // pulls the input, then Process; 1 = success
    virtual int Process(_SOUNDDATAEX_* data);       // transforms the block in place; 1 = success

    int GetChannelIndex(int speakerBit) const; // output channel of a speaker bit, 9 when absent
    void BuildChannelMap();                    // fills m_ChannelMap from GetChannelIndex
    void SetSoundPos(float x, float y);        // moves the source (no range check), then UpdateParams
    void SetRoomSize(float w, float d);        // rescales positions and source, then UpdateParams

    int32_t m_nSpeakers;              // output channels of the current layout
    CSurrBaseEffect* m_pInput;        // node this node pulls from; not owned
    int32_t m_nSamplesPerSec;         // sample rate from Initialize
    int32_t m_nChannels;              // channel count from Initialize
    float m_fRoomWidth;               // room width W along x, metres
    float m_fRoomDepth;               // room depth D along y, metres
    float m_fSoundX;                  // source x, metres
    float m_fSoundY;                  // source y, metres
    int32_t m_nSpeakersConfig;        // layout code (speaker channel mask)
    int32_t m_ChannelMap[11];         // output channel of each speaker bit, 9 = absent
    SpeakerPosition m_SpeakerPos[10]; // speaker position of each output channel
};

class CSurrEffectIIRLowPassFilter;
class CSurrEffectIIRHighPassFilter;
class CSurrEffectPos;
class CSurrMovingOffEffect;
class CSurrReverbEffect;
class CSurrEarsEffect;
class CSurrVolumeEffect;
class CSurrVolumeEffectEx;
class CSurrEffectMux;
class CSurrEffectSum;
class CSurrWorkerThread;

// Re-entrant lock of one CSurroundEffect (a Windows critical section on Windows).
class HALVANE_API CSurrCriticalSection {
public:
    CSurrCriticalSection();
    ~CSurrCriticalSection();
    CSurrCriticalSection(const CSurrCriticalSection&) = delete;
    CSurrCriticalSection& operator=(const CSurrCriticalSection&) = delete;
    void Enter(); // blocks until this thread holds the lock; may be entered again by the holder
    void Leave(); // releases one level of Enter

private:
    alignas(16) unsigned char m_Storage[64];
};

// The surround effect: one object per audio stream.
//
// Setters store their value and, once Initialize has built the graph, pass it on to the running
// graph (setters with a trailing `apply` flag only when it is true). No setter checks ranges.
// Every setter, Initialize and Process hold the object's lock, so a control thread may call
// setters while an audio thread processes.
//
// Threads. One re-entrant lock per object. Initialize, Process, GetBuffer's own step, every
// setter, ProcessPlanar, GetOutputChannels and GetSmoothing hold it while they read or write
// parameters or the graph, so any of them may run on one thread while another runs on a second
// thread; each call waits for the other. Four things read without it: GetRoomSize and GetSoundPos
// return the stored values (a value torn by a concurrent setter is possible), SetVolumeChannel
// returns at once while no graph exists, and SetSpeakerToChannel refuses a channel outside 0..9
// before it locks. Construction, copying, assignment and destruction take no lock: no other
// thread may use the object meanwhile. Everything added to this class later takes the lock too.
class HALVANE_API CSurroundEffect : public CSurrBaseEffect {
public:
    CSurroundEffect();                             // default parameters, no graph
    CSurroundEffect(const CSurroundEffect& other); // copies parameters; own lock, no graph
    CSurroundEffect&
    operator=(const CSurroundEffect& other); // copies parameters; keeps own lock and graph state
    ~CSurroundEffect() override;             // Free, then drops the lock

    // Builds the graph for a 1- or 2-channel format; any other channel count only sets m_nSpeakers.
    // A sample rate outside HALVANE_MIN_SAMPLE_RATE .. HALVANE_MAX_SAMPLE_RATE (HalvaneLayouts.h) is
    // refused: nothing changes, an earlier graph stays.
    void Initialize(tWAVEFORMATEX* format) override;
    // Turns a record of 1 or 2 channels into one channel per speaker of the layout, in the layout's
    // channel order. Returns 1 on success, 0 when refused (a channel count other than the one given
    // to Initialize, nSamples <= 0, no graph) with the record untouched. nReserved and nUser come
    // back as the caller left them.
    int Process(_SOUNDDATAEX_* data) override;
    // Pulls the input node set with SetInput (if any), then Process.
    int GetBuffer(_SOUNDDATAEX_* data) override;

    // Realtime-safe processing on host-owned planar buffers: nInputChannels (1 or 2, the channel
    // count given to Initialize) buffers of nSamples samples in, the speaker channels out. Writes
    // min(nOutputChannels, speakers) channels and zero-fills any further ones. Input and output may
    // alias. Gives exactly the samples of Process for the same calls; with parameters unchanged it
    // neither allocates nor makes system calls. Returns 1 on success, 0 when refused (no graph,
    // channel count other than the initialized one, negative nSamples); nSamples 0 does nothing.
    int ProcessPlanar(const float* const* ppInput, int nInputChannels, float* const* ppOutput,
                      int nOutputChannels, int nSamples);
    // Channels ProcessPlanar produces: the graph's speaker count, or 0 without a graph.
    int GetOutputChannels() const;

    void GetRoomSize(float& width, float& depth);           // the room size last set (metres)
    void GetSoundPos(float& x, float& y);                   // the source position last set (metres)
    void SetVolume(float volume, bool apply);               // master volume of every channel but the LFE
    void SetLFEVolume(float volume, bool apply);            // gain of the LFE channel after its low-pass
    void SetLFEMaxFreq(int freq, bool apply);               // cut-off of the LFE low-pass in Hz (default 100)
    void SetRoomSize(float width, float depth, bool apply); // room size in metres (default 3 x 3)
    void SetSoundPos(float x, float y, bool apply);         // source position in metres (default 1.5, 1.5)
    void SetSpeakersConfig(int code, bool apply);           // layout code: 3, 51, 63, 255, 271, 1595, 1599
    // Routes speaker bit `speaker` to `channel` by swapping with the speaker that has it now.
    // Returns -1 for a channel outside 0..9, -2 when no speaker has that channel, else 0.
    int SetSpeakerToChannel(int speaker, int channel);
    void SetLowPass(bool on);          // switches the high-pass stage of the non-LFE channels in
    void SetLowPassFreq(int freq);     // cut-off of that stage in Hz (default 80)
    void SetMoveOff(bool on);          // switches the propagation delays in (default on)
    void SetInverse(bool on);          // PostProcessing inverts the right-hand channels
    void SetProcessAdvance(bool on);   // reverb cross-feed between the corner speakers
    void SetReverb(bool on);           // reverb on (default) or off
    void SetRevDry(float level);       // dry level inside the reverb branch (default 0)
    void SetRevWet(float level);       // wet level of the reverb (default 1.8)
    void SetRevAbsorb(float value);    // absorption; loop gain is 1 - value (default 0.14)
    void SetRevHFDecay(float value);   // damping of high frequencies in the tail (default 0.42)
    void SetDryOutVolume(float level); // dry-out level kept by the sum stage (default 0.5)
    // Volume of one speaker (a speaker bit) or, for any other value 0..9, of a channel index.
    // Only with a graph; a later Initialize resets all to 1.0.
    void SetVolumeChannel(int speaker, float volume);
    // Opt-in worker threads: up to n extra threads of this object's own share each block's work
    // (today the reverb's network loop of blocks of 1024 samples or more is split with one extra
    // thread, each taking half of its delay lines, so any n above 1 acts as 1). Every sample stays
    // bit-identical to processing on one thread. The two share the loop in steps of about a
    // hundred samples, each step's halves taken by whichever thread comes first, so a late worker
    // holds nothing up; a thread waits, spinning, only for a half the other one is running, and
    // the reverb goes back to one thread for a while after such a wait ran long (the machine busy
    // with other work). Blocks are handed over by spinning briefly and then sleeping, so
    // processing may make system calls; it still never allocates. 0, the default, creates no
    // thread and keeps every realtime guarantee above. Kept across Initialize; copies take it too.
    // Returns the threads in use now (or, without a graph, the ones the next Initialize will start;
    // fewer when the system gives none).
    int SetWorkerThreads(int n);
    // Opt-in, instead of a thread of the library's own: a thread of the host's lends itself as the
    // worker by calling HelpProcess. While on, SetWorkerThreads starts no thread; the share of a
    // block that a worker would take goes to a thread inside HelpProcess at that moment, and the
    // processing thread does it itself when none is. Same samples either way. Meant for a host
    // that already keeps a second thread busy part of the time (a file renderer reading and
    // writing), so that two threads share the work without a third competing for a processor.
    // Call it before the lending thread first calls HelpProcess. Kept across Initialize; copies do
    // not take it (each object needs its own lender). Returns whether it is on.
    bool SetHostWorker(bool on);
    // From the host's lending thread only (one thread), between its own work: runs the share of
    // the block being processed that waits for a second thread and returns true, or returns false
    // at once when nothing waits. Takes no lock and never allocates; any time is safe while the
    // object exists, a call during Initialize or a parameter change simply finds nothing to do.
    bool HelpProcess();

    // Smooth mode, off by default. Off, every change applies from the next block on as a jump: gains
    // and volumes switch, travel-time delays skip whole samples, a new filter cut-off restarts the
    // filters from silence and a new room size rebuilds the reverb lines. On, changes glide over
    // 20 ms of the stream, counted from the first sample processed after the change, so the output
    // does not depend on how the host cuts its blocks:
    // - the speaker gains of the source position and the master, per-speaker and LFE volumes;
    // - the travel-time delays, read between samples by a cubic (four-point) interpolator, so a
    //   moving source is heard with its Doppler shift; a jump longer than 5 ms of delay glides at a
    //   quarter sample per sample instead (a pitch bend of at most 25%);
    // - the LFE low-pass and the high-pass stage: their taps glide, the filter memories are kept;
    // - the reverb's wet and dry levels, and its line lengths and corner cross-feed travel times
    //   when the room size changes (at most a quarter sample per sample as well).
    // Nothing glides while nothing changes: a still source renders exactly the samples of the mode
    // off, from Initialize on. With the mode on, every setter but SetSpeakersConfig and Initialize
    // is free of allocation and system calls; those two still rebuild (the new nodes start at their
    // values, with empty delay lines and reverb tails). The reverb lines are sized for the largest
    // room (50 m) at the stream's rate, which takes more memory (about 5 MB at 48 kHz for layout 63).
    // Cost: while a delay glides, each speaker channel reads four samples per sample instead of
    // copying a block. Switching the mode on sizes the reverb lines once (allocation); switching it
    // off ends every glide at once, at its target.
    // Non-finite values: with the mode on, an input sample that is NaN or infinite enters as
    // silence, and a setter given a NaN or infinite value ignores the call (the previous value
    // stays), so that nothing non-finite settles in the reverb's loops. Off, both are taken as
    // they come and may leave NaN in the output until the next Initialize.
    void SetSmoothing(bool on);
    bool GetSmoothing() const; // the value last set

    // The geometry the graph applies for the current layout, room and source: one value per
    // speaker channel, in the layout's channel order (before the final stage's reordering). Each
    // writes min(count, speakers) values and returns the layout's speaker count (0 for a layout
    // the library does not support). Without a graph the values come from the stored settings.
    // Gains: the positioning gain of each speaker, 0 .. 1; the LFE, which is not positioned, has 1.
    int GetSpeakerGains(float* gains, int count);
    // Delays: the travel time of each speaker in whole samples at the rate given to Initialize
    // (44100 Hz before the first); 0 for the LFE and while SetMoveOff is off.
    int GetSpeakerDelays(int32_t* delays, int count);

    // The final stage on planar buffers, with the samples of PostProcessing: when `clamp` is set,
    // every sample is limited to [-1, 1] (a NaN becomes -1); while SetInverse is on, the channels
    // of the right-hand speakers (FR, BR, SR) are negated; then the nChannels pointers are put in
    // the order of the speaker-to-channel table (SetSpeakerToChannel), as PostProcessing orders a
    // record. Only the pointers move, never the samples. Neither allocates nor makes system calls.
    // Returns 1, or 0 when refused (nChannels outside 0..10, nSamples negative).
    int PostProcessPlanar(float** ppChannels, int nChannels, int nSamples, bool clamp = true);
    // Speaker bit of each channel PostProcessPlanar hands back for the graph's outputs, in that
    // order: ascending speaker bits of the speakers whose channel the graph produces. Writes
    // min(count, n) bits and returns n (0 without a graph).
    int GetPostProcessedSpeakers(int* speakers, int count);

protected:
    void SetSpeakersConfig(int code) override; // the facade's own layout fields only, no lock
    void Free() override;                      // destroys the graph; keeps every parameter
    // Final stage for derived classes: clamps to [-1, 1], inverts the right-hand channels when
    // SetInverse is on, and orders the channels by the speaker-to-channel table.
    void PostProcessing(_SOUNDDATAEX_* data);

    CSurrCriticalSection m_cs;      // serialises Initialize, Process and the setters
    bool m_bLowPass;                // high-pass stage wanted
    int32_t m_nLowPassFreq;         // its cut-off, Hz
    bool m_bProcessAdvance;         // reverb corner cross-feed
    float m_fDryOutVolume;          // dry-out level for the sum node
    bool m_bMoveOff;                // propagation delays wanted
    float m_fRevDry;                // reverb dry level
    float m_fRevWet;                // reverb wet level
    float m_fRevAbsorb;             // reverb absorption
    float m_fRevHFDecay;            // reverb high-frequency decay
    bool m_bReverb;                 // reverb on
    bool m_bInitialized;            // the graph exists
    bool m_bInverse;                // invert right-hand channels in PostProcessing
    int32_t m_SpeakerToChannel[11]; // channel feeding each speaker bit, 9 = none
    float m_fVolume;                // master volume
    float m_fLFEVolume;             // LFE gain
    int32_t m_nLFEMaxFreq;          // LFE cut-off, Hz
    CSurrEffectIIRLowPassFilter* m_pLowPass;
    CSurrBaseEffect* m_pDecomp;
    CSurrEffectIIRHighPassFilter* m_pLFEFilter;
    CSurrEffectPos* m_pPos;
    CSurrMovingOffEffect* m_pMovingOff;
    CSurrReverbEffect* m_pReverb;
    CSurrEarsEffect* m_pEars;
    CSurrVolumeEffect* m_pVolume;
    CSurrVolumeEffectEx* m_pVolumeEx;
    CSurrEffectMux* m_pMux;
    CSurrEffectSum* m_pSum;
    CSurrBaseEffect* m_pOutput; // last node of the graph (m_pVolumeEx); not owned

private:
    void CopyParameters(const CSurroundEffect& other);
    // PostProcessing's per-channel samples (clamp, inversion) and its channel order.
    void FinalStageSamples(float* const* channels, int nChannels, int nSamples, bool clamp) const;
    void FinalStageOrder(float* const* channels, int nChannels, float** ordered) const;
    // Initialize's builders, one per stage of the graph, called in this order.
    void BuildSourceStages(tWAVEFORMATEX* format, int inputs);
    void BuildDelayStages(tWAVEFORMATEX* format);
    void BuildSplitter(tWAVEFORMATEX* format);
    void BuildDirectBranch(tWAVEFORMATEX* format);
    void BuildReverbBranch(tWAVEFORMATEX* format);
    void BuildJoin(tWAVEFORMATEX* format);
    void PrepareRealtimeBuffers(int inputs);
    int ProcessPlanarLocked(const float* const* ppInput, int nInputChannels, float* const* ppOutput,
                            int nOutputChannels, int nSamples);

    // Realtime path: buffers sized once by Initialize, so steady-state blocks never allocate.
    int32_t m_nGraphInputs = 0;    // input channels of the built graph (1 or 2)
    _SOUNDDATAEX_ m_RtBlock;       // block record; points into the two buffers below
    std::vector<float> m_RtInput;  // 2 x 4096 input samples
    std::vector<float> m_RtOutput; // 10 x 4096 speaker samples
    float* m_RtOutputChannels[10] = {};

    void ApplySmoothing(); // hands the glide length (0 when off) to the nodes
    bool m_bSmoothing = false;
    int32_t m_nWorkerThreads = 0; // extra threads asked for with SetWorkerThreads
    bool m_bHostWorker = false;   // SetHostWorker
    // The worker that a host's thread lends itself to: made once, kept until the object goes, so
    // that HelpProcess never sees it freed.
    CSurrWorkerThread* m_pHostWorker = nullptr;

    // Initialize and assignment retire the graph's delay, reverb, splitter and sum nodes instead of
    // destroying them: the next graph takes over their sample memory (delay histories, reverb
    // lines, block buffers), cleared where it was played through, rather than allocating it again.
    // Free drops them.
    void RetireGraph();
    void DropRetired();
    CSurrMovingOffEffect* m_pRetiredMovingOff = nullptr;
    CSurrReverbEffect* m_pRetiredReverb = nullptr;
    CSurrEffectMux* m_pRetiredMux = nullptr;
    CSurrEffectSum* m_pRetiredSum = nullptr;
};

#endif // HALVANE_H
