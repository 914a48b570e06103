#include "HalvaneHeadphones.h"

#include "dsp/FlushDenormals.h"
#include "headphones/PartitionedConvolver.h"
#include "headphones/SofaHrirs.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kDegreesPerRadian = 180.0 / 3.14159265358979323846;
// Speaker bits run from front left (1) to side right (1 << 10).
constexpr int kSpeakerBits = 11;

} // namespace

struct CHalvaneHeadphones::Impl {
    halvane::PartitionedConvolver convolver;
    std::vector<std::vector<float>> filters; // channel * 2 + ear, all of `length` samples
    int length = 0;
    std::vector<HalvaneVirtualSpeaker> speakers;

    bool Build(std::vector<std::vector<std::vector<float>>> perChannel, int partition, std::string& error) {
        length = 0;
        for (const auto& pair : perChannel)
            for (const auto& h : pair)
                length = std::max(length, static_cast<int>(h.size()));
        filters.clear();
        for (const auto& pair : perChannel)
            for (const auto& h : pair) {
                filters.push_back(h);
                filters.back().resize(static_cast<size_t>(length), 0.0f);
            }
        if (!convolver.Initialize(perChannel, partition)) {
            error = "cannot build the convolution (partition " + std::to_string(partition) + ")";
            filters.clear();
            return false;
        }
        return true;
    }
};

CHalvaneHeadphones::CHalvaneHeadphones() : m_pImpl(new Impl) {}
CHalvaneHeadphones::~CHalvaneHeadphones() = default;

const char* CHalvaneHeadphones::DefaultHrtfFile() {
    return "/usr/share/libmysofa/default.sofa";
}

bool CHalvaneHeadphones::VirtualSpeakers(const HalvaneHeadphonesSettings& s,
                                         std::vector<HalvaneVirtualSpeaker>& out) {
    out.clear();
    // The library's own node places the speakers on the walls of the room.
    CSurrBaseEffect room;
    room.SetRoomSize(s.roomWidth, s.roomDepth);
    room.m_nSpeakers = 0;
    room.SetSpeakersConfig(s.layout);
    if (room.m_nSpeakers <= 0)
        return false;
    const float lx = s.listenerGiven ? s.listenerX : s.roomWidth * 0.5f;
    const float ly = s.listenerGiven ? s.listenerY : s.roomDepth * 0.5f;
    for (int k = 0; k < kSpeakerBits; ++k) {
        const int bit = 1 << k;
        const int channel = room.GetChannelIndex(bit);
        if (channel < 0 || channel >= room.m_nSpeakers)
            continue;
        HalvaneVirtualSpeaker v{};
        v.speaker = bit;
        v.channel = channel;
        v.lfe = bit == HALVANE_LFE;
        v.x = room.m_SpeakerPos[channel].x;
        v.y = room.m_SpeakerPos[channel].y;
        // The listener faces the front wall (y = 0); the left wall is x = 0.
        const double ahead = static_cast<double>(ly) - v.y;
        const double left = static_cast<double>(lx) - v.x;
        v.azimuth = (v.lfe || (ahead == 0.0 && left == 0.0))
                        ? 0.0f
                        : static_cast<float>(std::atan2(left, ahead) * kDegreesPerRadian);
        v.elevation = 0.0f;
        out.push_back(v);
    }
    std::sort(out.begin(), out.end(), [](const HalvaneVirtualSpeaker& a, const HalvaneVirtualSpeaker& b) {
        return a.channel < b.channel;
    });
    return true;
}

bool CHalvaneHeadphones::Initialize(const HalvaneHeadphonesSettings& s, std::string& error) {
    Impl& im = *m_pImpl;
    im.convolver.Free();
    im.speakers.clear();
    im.filters.clear();
    if (s.sampleRate <= 0) {
        error = "the sample rate must be positive";
        return false;
    }
    std::vector<HalvaneVirtualSpeaker> speakers;
    if (!VirtualSpeakers(s, speakers)) {
        error = "layout " + std::to_string(s.layout) + " is not one the library supports";
        return false;
    }
    std::vector<halvane::Direction> directions;
    for (const HalvaneVirtualSpeaker& v : speakers)
        if (!v.lfe)
            directions.push_back({v.azimuth, v.elevation});
    std::vector<halvane::HrirPair> hrirs;
    const std::string path = s.hrtfFile.empty() ? DefaultHrtfFile() : s.hrtfFile;
    if (!halvane::LoadHrirs(path, s.sampleRate, directions, hrirs, error))
        return false;
    std::vector<std::vector<std::vector<float>>> perChannel;
    size_t next = 0;
    for (const HalvaneVirtualSpeaker& v : speakers) {
        if (v.lfe) {
            perChannel.push_back({{s.lfeGain}, {s.lfeGain}}); // no direction: the same to both ears
        } else {
            perChannel.push_back({hrirs[next].left, hrirs[next].right});
            ++next;
        }
    }
    if (!im.Build(std::move(perChannel), s.partition, error))
        return false;
    im.speakers = speakers;
    return true;
}

bool CHalvaneHeadphones::InitializeFilters(int channels, int length, const float* const* left,
                                           const float* const* right, int partition, std::string& error) {
    Impl& im = *m_pImpl;
    im.convolver.Free();
    im.speakers.clear();
    im.filters.clear();
    if (channels <= 0 || length <= 0 || !left || !right) {
        error = "give at least one channel and one filter sample";
        return false;
    }
    std::vector<std::vector<std::vector<float>>> perChannel;
    for (int c = 0; c < channels; ++c)
        perChannel.push_back(
            {std::vector<float>(left[c], left[c] + length), std::vector<float>(right[c], right[c] + length)});
    return im.Build(std::move(perChannel), partition, error);
}

int CHalvaneHeadphones::GetInputChannels() const {
    return m_pImpl->convolver.Inputs();
}

int CHalvaneHeadphones::GetLatency() const {
    return m_pImpl->convolver.Inputs() > 0 ? m_pImpl->convolver.Latency() : 0;
}

int CHalvaneHeadphones::GetFilterLength() const {
    return m_pImpl->length;
}

const float* CHalvaneHeadphones::GetFilter(int channel, int ear) const {
    const size_t k = static_cast<size_t>(channel) * 2 + static_cast<size_t>(ear);
    if (channel < 0 || ear < 0 || ear > 1 || k >= m_pImpl->filters.size())
        return nullptr;
    return m_pImpl->filters[k].data();
}

const std::vector<HalvaneVirtualSpeaker>& CHalvaneHeadphones::GetVirtualSpeakers() const {
    return m_pImpl->speakers;
}

int CHalvaneHeadphones::Process(const float* const* ppInput, int nInputChannels, float* const* ppOutput,
                                int nSamples) {
    halvane::PartitionedConvolver& conv = m_pImpl->convolver;
    if (conv.Inputs() == 0 || nInputChannels != conv.Inputs() || nSamples < 0 || !ppInput || !ppOutput)
        return 0;
    ScopedFlushDenormals flush; // decaying tails stay fast; the caller's mode comes back
    conv.Process(ppInput, ppOutput, nSamples);
    return 1;
}

void CHalvaneHeadphones::Reset() {
    m_pImpl->convolver.Reset();
}
