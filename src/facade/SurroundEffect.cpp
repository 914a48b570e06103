// The surround effect object: its parameters, its lock, and the graph that Initialize builds.
//
// The graph, in pull order from the output: each node pulls the node below it, and the branches
// of the sum each pull the splitter.
//
//   VolumeEx       per-speaker volumes (the output)
//   Sum            joins the branches: pulls the direct branch first, then the reverb branch
//   |-- Volume     direct branch: master volume,
//   |   Ears         the ears stage,
//   |   Pos          positioning gains
//   |-- Reverb     reverb branch: the reverb on every speaker
//   Mux            splitter: pulls once per block, hands the block to both branches
//   LowPass        high-pass of the non-LFE channels, in the path only while SetLowPass is on
//   MovingOff      travel-time delays; with SetMoveOff(false) Mux pulls LFEFilter instead
//   LFEFilter      low-pass that makes the LFE channel; MovingOff skips it without an LFE speaker
//   Decomp         the mono or stereo input spread over the speaker channels

#include "Halvane.h"
#include "core/CriticalSectionGuard.h"
#include "core/SpeakerLayout.h"
#include "core/SurrEarsEffect.h"
#include "core/SurrWorkerThread.h"
#include "dsp/Glide.h"
#include "nodes/SurrEffectDecompMono.h"
#include "nodes/SurrEffectDecompStereo.h"
#include "nodes/SurrEffectIIRHighPassFilter.h"
#include "nodes/SurrEffectIIRLowPassFilter.h"
#include "nodes/SurrEffectMux.h"
#include "nodes/SurrEffectPos.h"
#include "nodes/SurrEffectSum.h"
#include "nodes/SurrMovingOffEffect.h"
#include "nodes/SurrVolumeEffect.h"
#include "reverb/SurrReverbEffect.h"

using namespace halvane;

namespace {

// Puts the caller's channel count back into the format on every way out of Initialize, including
// an out-of-memory exception while a node is created.
class FormatChannelsRestorer {
public:
    explicit FormatChannelsRestorer(tWAVEFORMATEX* format)
        : m_format(format), m_channels(format->nChannels) {}
    ~FormatChannelsRestorer() { m_format->nChannels = m_channels; }
    FormatChannelsRestorer(const FormatChannelsRestorer&) = delete;
    FormatChannelsRestorer& operator=(const FormatChannelsRestorer&) = delete;

private:
    tWAVEFORMATEX* m_format;
    uint16_t m_channels;
};

// Filter flags that select only the LFE channel (channel 9, which no layout has, when the layout
// has no LFE speaker).
void MakeLfeList(int lfeChannel, int32_t (&flags)[MAX_CHANNELS]) {
    for (int32_t& flag : flags)
        flag = 0;
    flags[lfeChannel] = 1;
}

} // namespace

CSurroundEffect::CSurroundEffect()
    : m_bLowPass(HALVANE_DEFAULT_LOW_PASS), m_nLowPassFreq(HALVANE_DEFAULT_LOW_PASS_FREQ),
      m_bProcessAdvance(HALVANE_DEFAULT_PROCESS_ADVANCE), m_fDryOutVolume(HALVANE_DEFAULT_DRY_OUT_VOLUME),
      m_bMoveOff(HALVANE_DEFAULT_MOVE_OFF), m_fRevDry(HALVANE_DEFAULT_REV_DRY),
      m_fRevWet(HALVANE_DEFAULT_REV_WET), m_fRevAbsorb(HALVANE_DEFAULT_REV_ABSORB),
      m_fRevHFDecay(HALVANE_DEFAULT_REV_HF_DECAY), m_bReverb(HALVANE_DEFAULT_REVERB), m_bInitialized(false),
      m_bInverse(HALVANE_DEFAULT_INVERSE), m_SpeakerToChannel{}, m_fVolume(HALVANE_DEFAULT_VOLUME),
      m_fLFEVolume(HALVANE_DEFAULT_LFE_VOLUME), m_nLFEMaxFreq(HALVANE_DEFAULT_LFE_MAX_FREQ),
      m_pLowPass(nullptr), m_pDecomp(nullptr), m_pLFEFilter(nullptr), m_pPos(nullptr), m_pMovingOff(nullptr),
      m_pReverb(nullptr), m_pEars(nullptr), m_pVolume(nullptr), m_pVolumeEx(nullptr), m_pMux(nullptr),
      m_pSum(nullptr), m_pOutput(nullptr) {
    for (int k = 0; k < SPEAKER_BITS; ++k)
        m_SpeakerToChannel[k] = m_ChannelMap[k];
}

// A copy carries the parameters and geometry but no graph: nodes are never shared between two
// owners, and the copy builds its own graph when it is initialised.
CSurroundEffect::CSurroundEffect(const CSurroundEffect& other)
    : CSurrBaseEffect(other), m_bInitialized(false), m_pLowPass(nullptr), m_pDecomp(nullptr),
      m_pLFEFilter(nullptr), m_pPos(nullptr), m_pMovingOff(nullptr), m_pReverb(nullptr), m_pEars(nullptr),
      m_pVolume(nullptr), m_pVolumeEx(nullptr), m_pMux(nullptr), m_pSum(nullptr), m_pOutput(nullptr) {
    CopyParameters(other);
}

CSurroundEffect& CSurroundEffect::operator=(const CSurroundEffect& other) {
    if (this != &other) {
        RetireGraph(); // the next Initialize reuses its memory
        CSurrBaseEffect::operator=(other);
        CopyParameters(other);
    }
    return *this;
}

void CSurroundEffect::CopyParameters(const CSurroundEffect& other) {
    m_bLowPass = other.m_bLowPass;
    m_nLowPassFreq = other.m_nLowPassFreq;
    m_bProcessAdvance = other.m_bProcessAdvance;
    m_fDryOutVolume = other.m_fDryOutVolume;
    m_bMoveOff = other.m_bMoveOff;
    m_fRevDry = other.m_fRevDry;
    m_fRevWet = other.m_fRevWet;
    m_fRevAbsorb = other.m_fRevAbsorb;
    m_fRevHFDecay = other.m_fRevHFDecay;
    m_bReverb = other.m_bReverb;
    m_bInverse = other.m_bInverse;
    for (int k = 0; k < SPEAKER_BITS; ++k)
        m_SpeakerToChannel[k] = other.m_SpeakerToChannel[k];
    m_fVolume = other.m_fVolume;
    m_fLFEVolume = other.m_fLFEVolume;
    m_nLFEMaxFreq = other.m_nLFEMaxFreq;
    m_bSmoothing = other.m_bSmoothing;
    m_nWorkerThreads = other.m_nWorkerThreads;
}

CSurroundEffect::~CSurroundEffect() {
    CSurroundEffect::Free();
    delete m_pHostWorker;
}

void CSurroundEffect::Free() {
    RetireGraph();
    DropRetired();
}

namespace {

template <typename Node>
void Destroy(Node*& node) {
    delete node;
    node = nullptr;
}

// Sets a graph node aside for the next graph (see RetireGraph in Halvane.h). A node set aside
// earlier and not taken over since (the graph was retired twice without a build between) goes.
template <typename Node>
void Retire(Node*& node, Node*& retired) {
    if (!node)
        return;
    delete retired;
    retired = node;
    node = nullptr;
}

} // namespace

void CSurroundEffect::DropRetired() {
    Destroy(m_pRetiredMovingOff);
    Destroy(m_pRetiredReverb);
    Destroy(m_pRetiredMux);
    Destroy(m_pRetiredSum);
}

void CSurroundEffect::RetireGraph() {
    m_bInitialized = false;
    if (m_pReverb)
        m_pReverb->SetWorkers(0, nullptr); // a retired node keeps no thread, nor a lent one
    Retire(m_pMovingOff, m_pRetiredMovingOff);
    Retire(m_pReverb, m_pRetiredReverb);
    Retire(m_pMux, m_pRetiredMux);
    Retire(m_pSum, m_pRetiredSum);
    Destroy(m_pLowPass);
    Destroy(m_pDecomp);
    Destroy(m_pLFEFilter);
    Destroy(m_pPos);
    Destroy(m_pEars);
    Destroy(m_pVolume);
    Destroy(m_pVolumeEx);
    m_pOutput = nullptr;
    m_nGraphInputs = 0;
}

void CSurroundEffect::Initialize(tWAVEFORMATEX* format) {
    CriticalSectionGuard lock(m_cs);
    // A rate no audio stream has is refused before anything changes: the reverb lines grow with
    // the rate, and a rate beyond the int32 range would size them negative.
    if (format->nSamplesPerSec < HALVANE_MIN_SAMPLE_RATE || format->nSamplesPerSec > HALVANE_MAX_SAMPLE_RATE)
        return;
    CSurrBaseEffect::Initialize(format);
    const int inputs = format->nChannels;
    if (inputs != 1 && inputs != 2) {
        // Not a stream this graph can take: an earlier graph stays as it was.
        m_nSpeakers = inputs;
        return;
    }
    RetireGraph();

    FormatChannelsRestorer restorer(format);
    // Every node sees the output channel count of the layout.
    format->nChannels = static_cast<uint16_t>(m_nSpeakers);
    BuildSourceStages(format, inputs);
    BuildDelayStages(format);
    BuildSplitter(format);
    BuildDirectBranch(format);
    BuildReverbBranch(format);
    BuildJoin(format);
    PrepareRealtimeBuffers(inputs);

    DropRetired(); // what is left of the old graph holds no sample memory any more
    format->nChannels = static_cast<uint16_t>(inputs);
    m_pOutput = m_pVolumeEx;
    m_bInitialized = true;

    // Routing last: SetMoveOff decides after SetLowPass, so a fresh graph never has the high-pass
    // stage in its path; the final SetSpeakersConfig hands the layout to the nodes.
    SetLowPass(m_bLowPass);
    SetReverb(m_bReverb);
    SetProcessAdvance(m_bProcessAdvance);
    SetMoveOff(m_bMoveOff);
    SetSpeakersConfig(m_nSpeakersConfig, true);
}

// The input split into speaker channels, and the LFE channel's low-pass behind it.
void CSurroundEffect::BuildSourceStages(tWAVEFORMATEX* format, int inputs) {
    m_pDecomp = inputs == 1 ? new CSurrEffectDecompMono() : new CSurrEffectDecompStereo();
    m_pDecomp->SetRoomSize(m_fRoomWidth, m_fRoomDepth);
    m_pDecomp->SetSoundPos(m_fSoundX, m_fSoundY);
    m_pDecomp->Initialize(format);

    int32_t lfeList[MAX_CHANNELS];
    MakeLfeList(m_ChannelMap[LFE], lfeList);
    m_pLFEFilter = new CSurrEffectIIRHighPassFilter();
    m_pLFEFilter->SetFilterChannels(lfeList, MAX_CHANNELS);
    m_pLFEFilter->SetFrequency(m_nLFEMaxFreq);
    m_pLFEFilter->m_fGain = m_fLFEVolume;
    m_pLFEFilter->Initialize(format);
    m_pLFEFilter->SetInput(m_pDecomp);
}

// The travel-time delays, and the high-pass stage of the non-LFE channels that SetLowPass can put
// behind them.
void CSurroundEffect::BuildDelayStages(tWAVEFORMATEX* format) {
    m_pMovingOff = new CSurrMovingOffEffect();
    if (m_pRetiredMovingOff)
        m_pMovingOff->TakeDelays(*m_pRetiredMovingOff);
    m_pMovingOff->SetRoomSize(m_fRoomWidth, m_fRoomDepth);
    m_pMovingOff->SetSoundPos(m_fSoundX, m_fSoundY);
    m_pMovingOff->Initialize(format);
    m_pMovingOff->SetInput(m_pLFEFilter);

    int32_t lfeList[MAX_CHANNELS];
    MakeLfeList(m_ChannelMap[LFE], lfeList);
    int32_t lowPassList[MAX_CHANNELS];
    for (int c = 0; c < MAX_CHANNELS; ++c)
        lowPassList[c] = 1 - lfeList[c];
    m_pLowPass = new CSurrEffectIIRLowPassFilter();
    m_pLowPass->SetFilterChannels(lowPassList, MAX_CHANNELS);
    m_pLowPass->Initialize(format);
    m_pLowPass->SetFrequency(m_nLowPassFreq);
    m_pLowPass->SetInput(m_pMovingOff);
}

// The splitter that feeds the direct branch and the reverb branch the same block.
void CSurroundEffect::BuildSplitter(tWAVEFORMATEX* format) {
    m_pMux = new CSurrEffectMux();
    if (m_pRetiredMux)
        m_pMux->TakeCache(*m_pRetiredMux);
    m_pMux->m_nOutputs = 2;
    m_pMux->Initialize(format);
    m_pMux->SetInput(m_pMovingOff);
}

// Direct branch: positioning gains, the ears stage, the master volume.
void CSurroundEffect::BuildDirectBranch(tWAVEFORMATEX* format) {
    m_pPos = new CSurrEffectPos();
    m_pPos->SetRoomSize(m_fRoomWidth, m_fRoomDepth);
    m_pPos->SetSoundPos(m_fSoundX, m_fSoundY);
    m_pPos->Initialize(format);
    m_pPos->SetInput(m_pMux);

    m_pEars = new CSurrEarsEffect();
    m_pEars->Initialize(format);
    m_pEars->SetInput(m_pPos);

    m_pVolume = new CSurrVolumeEffect();
    m_pVolume->m_dVolume = m_fVolume;
    m_pVolume->Initialize(format);
    m_pVolume->SetInput(m_pEars);
}

// Reverb branch: the feedback-delay-network reverb on every speaker.
void CSurroundEffect::BuildReverbBranch(tWAVEFORMATEX* format) {
    m_pReverb = new CSurrReverbEffect();
    if (m_pRetiredReverb)
        m_pReverb->TakeMemory(*m_pRetiredReverb);
    // The smooth mode's glide first, so that the cores get lines for the largest room as they are
    // built, rather than growing them when Initialize applies the mode at its end.
    m_pReverb->SetGlide(m_bSmoothing ? GlideSamples(m_nSamplesPerSec) : 0);
    m_pReverb->UpdateRoomSize(m_fRoomWidth, m_fRoomDepth);
    m_pReverb->SetRevAbsorb(m_fRevAbsorb);
    m_pReverb->SetRevDry(m_fRevDry);
    m_pReverb->SetRevHFDecay(m_fRevHFDecay);
    m_pReverb->m_bProcessAdvance = m_bProcessAdvance;
    m_pReverb->SetRevWet(m_fRevWet);
    m_pReverb->InitializeBeforeLayout(format); // Initialize's last step hands it the layout
    m_pReverb->SetWorkers(m_nWorkerThreads, m_bHostWorker ? m_pHostWorker : nullptr);
    m_pReverb->SetInput(m_pMux);
}

// The sum that joins the two branches, and the per-speaker volumes after it.
void CSurroundEffect::BuildJoin(tWAVEFORMATEX* format) {
    // The sum pulls the direct branch first, then the reverb: that fixes the splitter's cycle.
    m_pSum = new CSurrEffectSum();
    if (m_pRetiredSum)
        m_pSum->TakeBuffer(*m_pRetiredSum);
    m_pSum->Initialize(format);
    m_pSum->m_fDryOutVolume = m_fDryOutVolume;
    m_pSum->SetInput(m_pVolume);
    m_pSum->SetInput(m_pReverb);

    m_pVolumeEx = new CSurrVolumeEffectEx();
    m_pVolumeEx->m_dVolume = 1.0;
    m_pVolumeEx->Initialize(format);
    m_pVolumeEx->SetInput(m_pSum);
}

// Buffers of the realtime path, sized once for the longest block and every channel. A graph built
// again keeps them as they are: every block writes the samples it reads there (the input copied
// in, every speaker channel written by the splitting stage) before anything reads them.
void CSurroundEffect::PrepareRealtimeBuffers(int inputs) {
    m_RtBlock.Channels.reserve(MAX_CHANNELS);
    if (m_RtInput.size() != 2 * MAX_BLOCK)
        m_RtInput.assign(2 * MAX_BLOCK, 0.0f);
    if (m_RtOutput.size() != MAX_CHANNELS * MAX_BLOCK)
        m_RtOutput.assign(MAX_CHANNELS * MAX_BLOCK, 0.0f);
    for (int c = 0; c < MAX_CHANNELS; ++c)
        m_RtOutputChannels[c] = m_RtOutput.data() + c * MAX_BLOCK;
    m_nGraphInputs = inputs;
}

void CSurroundEffect::SetSpeakersConfig(int code) {
    CSurrBaseEffect::SetSpeakersConfig(code);
}

void CSurroundEffect::SetSpeakersConfig(int code, bool apply) {
    CriticalSectionGuard lock(m_cs);
    SetSpeakersConfig(code);
    if (!apply || !m_bInitialized)
        return;
    for (int k = 0; k < SPEAKER_BITS; ++k)
        m_SpeakerToChannel[k] = m_ChannelMap[k];
    m_pMovingOff->SetInput(HasLfe(code) ? static_cast<CSurrBaseEffect*>(m_pLFEFilter) : m_pDecomp);
    m_pDecomp->SetSpeakersConfig(code);
    m_pMovingOff->SetSpeakersConfig(code);
    m_pReverb->SetSpeakersConfig(code);
    m_pPos->SetSpeakersConfig(code);
    m_pMux->SetSpeakersConfig(code);
    m_pSum->SetSpeakersConfig(code);
    if (HasLfe(code)) {
        int32_t lfeList[MAX_CHANNELS];
        MakeLfeList(m_ChannelMap[LFE], lfeList);
        m_pLFEFilter->SetFilterChannels(lfeList, MAX_CHANNELS);
    }
    // The nodes a layout rebuilds (delays, reverb cores) take the smooth mode's glide; Initialize
    // ends here too, so a new graph starts in the mode last set.
    ApplySmoothing();
}
