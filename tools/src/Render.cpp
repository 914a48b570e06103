#include "Render.h"

#include "Layouts.h"
#include "RoomSvg.h"

#include <Halvane.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace halvane_cli {

namespace {

std::atomic<int> g_libraryMessages{0};

void OnLibraryMessage(const char* text, const char* caption, unsigned int) {
    std::fprintf(stderr, "halvane: the library reports: %s (%s)\n", text ? text : "", caption ? caption : "");
    g_libraryMessages.fetch_add(1);
}

// The surround effect with its final stage made reachable: PostProcessing clamps, inverts the
// right-hand speakers on request and orders the channels by the speaker-to-channel table.
class Effect : public CSurroundEffect {
public:
    using CSurroundEffect::PostProcessing;

    // Speakers of the channels PostProcessing hands back, in their order: ascending speaker bits
    // of every speaker that has one of the `channels` channels.
    std::vector<int> PostProcessedSpeakers(int channels) const {
        std::vector<int> out;
        for (int k = 0; k < static_cast<int>(std::size(m_SpeakerToChannel)); ++k)
            if (m_SpeakerToChannel[k] >= 0 && m_SpeakerToChannel[k] < channels)
                out.push_back(1 << k);
        return out;
    }
};

void Configure(Effect& fx, const EffectSettings& s, Point start) {
    fx.SetSpeakersConfig(s.layout, true);
    fx.SetRoomSize(s.roomWidth, s.roomDepth, true);
    fx.SetSoundPos(start.x, start.y, true);
    fx.SetVolume(s.volume, true);
    fx.SetLFEVolume(s.lfeVolume, true);
    fx.SetLFEMaxFreq(s.lfeCutoff, true);
    if (s.highpass > 0)
        fx.SetLowPassFreq(s.highpass);
    fx.SetMoveOff(s.propagationDelay);
    fx.SetReverb(s.reverb);
    fx.SetRevWet(s.reverbWet);
    fx.SetRevDry(s.reverbDry);
    fx.SetRevAbsorb(s.absorb);
    fx.SetRevHFDecay(s.hfDecay);
    fx.SetProcessAdvance(s.cornerCrossfeed);
    fx.SetInverse(s.invertRight);
}

// Settings that only reach a built graph.
bool ConfigureGraph(Effect& fx, const EffectSettings& s, std::string& error) {
    // Initialize leaves the high-pass stage out of the path whatever was stored; switching it in
    // afterwards puts it behind the propagation delays.
    if (s.highpass > 0)
        fx.SetLowPass(true);
    for (const auto& sv : s.speakerVolumes)
        fx.SetVolumeChannel(sv.first, sv.second);
    for (const auto& rm : s.remaps) {
        const int r = fx.SetSpeakerToChannel(rm.first, rm.second);
        if (r != 0) {
            error = "--remap " + std::string(SpeakerOfBit(rm.first)->name) + "=" + std::to_string(rm.second) +
                    ": " + (r == -1 ? "channel out of range" : "no speaker has that channel");
            return false;
        }
    }
    return true;
}

} // namespace

void InstallLibraryMessageHandler() {
    HalvaneSetMessageHandler(&OnLibraryMessage);
}

std::string CheckJobForRate(const RenderJob& job, int sampleRate) {
    const EffectSettings& s = job.effect;
    const int nyquist = sampleRate / 2;
    if ((s.layout & HALVANE_LFE) && s.lfeCutoff >= nyquist)
        return "--lfe-cutoff " + std::to_string(s.lfeCutoff) + " Hz must be below half the sample rate (" +
               std::to_string(nyquist) + " Hz)";
    if (s.highpass >= nyquist)
        return "--highpass " + std::to_string(s.highpass) + " Hz must be below half the sample rate (" +
               std::to_string(nyquist) + " Hz)";
    const long longest = LongestDelaySamples(s.layout, s.roomWidth, s.roomDepth, job.motion.Extent(),
                                             job.motion.radius(), sampleRate);
    if (longest > kMaxDelaySamples)
        return "the room is too large for " + std::to_string(sampleRate) + " Hz: sound would travel " +
               std::to_string(longest) + " samples, the library holds at most " +
               std::to_string(kMaxDelaySamples) +
               "; choose a smaller --room or keep the source (and its --orbit or --path) nearer the speakers";
    return {};
}

bool Render(InputStream& input, const RenderJob& job, std::atomic<int64_t>* progress, std::string& error) {
    const EffectSettings& s = job.effect;
    const LayoutInfo* layout = LayoutOfCode(s.layout);
    const int rate = input.sampleRate();
    const int nIn = input.channels();
    if (!layout) {
        error = "unknown layout " + std::to_string(s.layout);
        return false;
    }
    if (nIn < 1 || nIn > 2) {
        error = "input has " + std::to_string(nIn) + " channels; halvane renders mono or stereo sources";
        return false;
    }
    error = CheckJobForRate(job, rate);
    if (!error.empty())
        return false;

    const bool moving = job.motion.kind() != Motion::Kind::Still;
    Effect fx;
    Configure(fx, s, job.motion.At(0.0));
    tWAVEFORMATEX format{};
    format.wFormatTag = 3; // IEEE float
    format.nChannels = static_cast<uint16_t>(nIn);
    format.nSamplesPerSec = static_cast<uint32_t>(rate);
    format.wBitsPerSample = 32;
    format.nBlockAlign = static_cast<uint16_t>(4 * nIn);
    format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
    const int before = g_libraryMessages.load();
    fx.Initialize(&format);
    const int nOut = fx.GetOutputChannels();
    if (g_libraryMessages.load() != before || nOut != layout->channels) {
        error = "the library did not build the " + std::string(layout->name) + " layout";
        return false;
    }
    if (!ConfigureGraph(fx, s, error))
        return false;

    const bool post = s.NeedsPostProcessing();
    const std::vector<int> speakers = post ? fx.PostProcessedSpeakers(nOut) : layout->speakers;
    if (static_cast<int>(speakers.size()) != nOut) {
        error = "the remapped speakers do not cover every channel";
        return false;
    }

    if (!job.plotFile.empty()) {
        std::ofstream svg(job.plotFile);
        svg << RoomSvg(s, job.motion, rate);
        if (!svg.good()) {
            error = "cannot write " + job.plotFile;
            return false;
        }
    }

    OutputFile out;
    const int64_t tailFrames = static_cast<int64_t>(std::llround(job.tailSeconds * rate));
    const int64_t expected = input.frames() >= 0 ? input.frames() + tailFrames : -1;
    if (!out.Open(job.output, job.type, job.format, rate, speakers, job.overwrite, expected, error))
        return false;

    const int block = job.block;
    const int interval = ControlInterval(rate);
    std::vector<float> interleaved(static_cast<size_t>(block) * nIn);
    std::vector<float> inBuf(static_cast<size_t>(block) * nIn);
    std::vector<float> outBuf(static_cast<size_t>(block) * nOut);
    std::vector<float*> inPtr(nIn), outPtr(nOut);
    std::vector<const float*> inSeg(nIn);
    std::vector<float*> outSeg(nOut);
    for (int c = 0; c < nIn; ++c)
        inPtr[c] = inBuf.data() + static_cast<size_t>(c) * block;
    for (int c = 0; c < nOut; ++c)
        outPtr[c] = outBuf.data() + static_cast<size_t>(c) * block;
    _SOUNDDATAEX_ record;
    std::vector<const float*> ordered(nOut);

    int64_t frame = 0;
    int64_t nextControl = interval;
    int64_t tailLeft = tailFrames;
    bool inputDone = false;
    for (;;) {
        int n = 0;
        if (!inputDone) {
            const int64_t got = input.Read(interleaved.data(), block);
            if (got < 0) {
                error = "read error: " + input.error();
                return false;
            }
            if (got == 0)
                inputDone = true;
            n = static_cast<int>(got);
            for (int i = 0; i < n; ++i)
                for (int c = 0; c < nIn; ++c)
                    inPtr[c][i] = interleaved[static_cast<size_t>(i) * nIn + c];
        }
        if (inputDone) {
            if (tailLeft <= 0)
                break;
            n = static_cast<int>(std::min<int64_t>(tailLeft, block));
            tailLeft -= n;
            for (int c = 0; c < nIn; ++c)
                std::fill(inPtr[c], inPtr[c] + n, 0.0f);
        }

        // The library is called on the host block, cut where a moving source is re-placed; the
        // cut points lie on a fixed grid, so the output does not depend on the block size.
        for (int pos = 0; pos < n;) {
            int seg = n - pos;
            if (moving) {
                if (frame + pos == nextControl) {
                    const Point p = job.motion.At(static_cast<double>(nextControl) / rate);
                    fx.SetSoundPos(p.x, p.y, true);
                    nextControl += interval;
                }
                seg = static_cast<int>(std::min<int64_t>(seg, nextControl - (frame + pos)));
            }
            for (int c = 0; c < nIn; ++c)
                inSeg[c] = inPtr[c] + pos;
            for (int c = 0; c < nOut; ++c)
                outSeg[c] = outPtr[c] + pos;
            if (!fx.ProcessPlanar(inSeg.data(), nIn, outSeg.data(), nOut, seg)) {
                error = "the library refused a block";
                return false;
            }
            pos += seg;
        }

        for (int c = 0; c < nOut; ++c)
            ordered[c] = outPtr[c];
        if (post && n > 0) {
            // PostProcessing works on the record's channel list in place and only moves pointers.
            record.Channels.assign(outPtr.begin(), outPtr.end());
            record.nSamples = n;
            fx.PostProcessing(&record);
            if (static_cast<int>(record.Channels.size()) != nOut) {
                record.Channels.clear();
                error = "the library's final stage changed the channel count";
                return false;
            }
            for (int c = 0; c < nOut; ++c)
                ordered[c] = record.Channels[c];
            record.Channels.clear(); // the buffers stay ours
            record.nSamples = 0;
        }
        if (!out.Write(ordered.data(), n, error))
            return false;
        frame += n;
        if (progress)
            progress->fetch_add(n);
    }
    return out.Commit(error);
}

} // namespace halvane_cli
