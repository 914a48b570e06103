#include "Render.h"

#include "Ears.h"
#include "Layouts.h"
#include "RoomSvg.h"
#include "StageRing.h"

#include <Halvane.h>
#include <HalvaneLayouts.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <system_error>
#include <thread>

namespace halvane_cli {

namespace {

std::atomic<int> g_libraryMessages{0};

void OnLibraryMessage(const char* text, const char* caption, unsigned int) {
    std::fprintf(stderr, "halvane: the library reports: %s (%s)\n", text ? text : "", caption ? caption : "");
    g_libraryMessages.fetch_add(1);
}

void Configure(CSurroundEffect& fx, const EffectSettings& s, Point start) {
    fx.SetSmoothing(s.smooth);
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
bool ConfigureGraph(CSurroundEffect& fx, const EffectSettings& s, std::string& error) {
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

namespace {

// Planar buffers of one host block: `channels` rows of `frames` samples each.
class PlanarBlock {
public:
    PlanarBlock(int channels, int frames)
        : m_samples(static_cast<size_t>(channels) * frames), m_rows(channels) {
        for (int c = 0; c < channels; ++c)
            m_rows[c] = m_samples.data() + static_cast<size_t>(c) * frames;
    }
    float* const* rows() const { return m_rows.data(); }
    int channels() const { return static_cast<int>(m_rows.size()); }

private:
    std::vector<float> m_samples;
    std::vector<float*> m_rows;
};

// Samples of one window of an automatic tail.
int64_t QuietWindow(int rate) {
    return std::max<int64_t>(1, std::llround(kQuietWindowSeconds * rate));
}

// Reading: the input block by block, with NaN and infinities replaced by silence (and counted),
// then the tail's silence.
class BlockReader {
public:
    BlockReader(InputStream& input, int block, const Tail& tail, int rate)
        : m_input(input), m_block(block), m_auto(tail.automatic),
          m_tailLeft(std::llround((tail.automatic ? kMaxAutoTailSeconds : tail.seconds) * rate)),
          m_window(QuietWindow(rate)), m_windowLeft(m_window),
          m_interleaved(static_cast<size_t>(block) * input.channels()) {}

    // Fills the rows of `in` with the next block. Returns its frames, 0 at the end, -1 on a read
    // error (with `error` set).
    int Next(const PlanarBlock& in, std::string& error) {
        if (!m_inputDone) {
            const int64_t got = m_input.Read(m_interleaved.data(), m_block);
            if (got < 0) {
                error = "read error: " + m_input.error();
                return -1;
            }
            if (got > 0) {
                Deinterleave(in, static_cast<int>(got));
                m_inputFrames += got;
                return static_cast<int>(got);
            }
            m_inputDone = true;
        }
        if (m_tailLeft <= 0)
            return 0;
        // An automatic tail's blocks end on its window grid, so each window is judged whole.
        const int64_t n = std::min<int64_t>({m_tailLeft, m_block, m_auto ? m_windowLeft : m_block});
        m_tailLeft -= n;
        m_windowLeft -= n;
        if (m_windowLeft == 0)
            m_windowLeft = m_window;
        for (int c = 0; c < in.channels(); ++c)
            std::fill(in.rows()[c], in.rows()[c] + n, 0.0f);
        return static_cast<int>(n);
    }

    // Whether the block Next returned last was tail silence.
    bool inTail() const { return m_inputDone; }
    // No more tail: the next Next returns 0.
    void EndTail() { m_tailLeft = 0; }

    int64_t inputFrames() const { return m_inputFrames; }
    int64_t nonFinite() const { return m_nonFinite; }

private:
    // Channel by channel, counting what is not finite (NaN fails the comparison, like infinity),
    // in a form the compiler turns into vector code.
    void Deinterleave(const PlanarBlock& in, int n) {
        const int nIn = in.channels();
        for (int c = 0; c < nIn; ++c) {
            const float* src = m_interleaved.data() + c;
            float* dst = in.rows()[c];
            int bad = 0;
            for (int i = 0; i < n; ++i) {
                const float v = src[static_cast<size_t>(i) * nIn];
                const bool finite = std::fabs(v) <= std::numeric_limits<float>::max();
                bad += finite ? 0 : 1;
                dst[i] = finite ? v : 0.0f;
            }
            m_nonFinite += bad;
        }
    }

    InputStream& m_input;
    const int m_block;
    const bool m_auto;
    int64_t m_tailLeft; // the fixed tail, or the most an automatic one may add
    const int64_t m_window;
    int64_t m_windowLeft; // of the window the next tail block falls in
    bool m_inputDone = false;
    int64_t m_inputFrames = 0;
    int64_t m_nonFinite = 0;
    std::vector<float> m_interleaved;
};

// The end of an automatic tail: shown the output of each tail block, in order, it tells when a
// whole window has stayed below the quiet level.
class QuietTail {
public:
    QuietTail(const Tail& tail, int rate) : m_auto(tail.automatic), m_window(QuietWindow(rate)) {}

    // True when this block completes a quiet window: the tail ends after it.
    bool Quiet(const PlanarBlock& out, int offset, int n) {
        if (!m_auto)
            return false;
        for (int c = 0; c < out.channels(); ++c)
            for (int i = offset; i < offset + n; ++i)
                m_windowPeak = std::max(m_windowPeak, std::fabs(out.rows()[c][i]));
        m_windowLeft -= n;
        if (m_windowLeft > 0)
            return false;
        const bool quiet = m_windowPeak < kQuietLevel;
        m_windowLeft = m_window;
        m_windowPeak = 0.0f;
        return quiet;
    }

private:
    const float kQuietLevel = static_cast<float>(std::pow(10.0, kQuietDbfs / 20.0)); // -90 dBFS = 3.16e-5
    const bool m_auto;
    const int64_t m_window;
    int64_t m_windowLeft = m_window;
    float m_windowPeak = 0.0f;
};

// Processing: the library is called on the host block, cut where a moving source is re-placed;
// the cut points lie on a fixed grid, so the output does not depend on the block size.
class SegmentProcessor {
public:
    SegmentProcessor(CSurroundEffect& fx, const Motion& motion, int rate)
        : m_fx(fx), m_motion(motion), m_rate(rate), m_interval(ControlInterval(rate)),
          m_moving(motion.kind() != Motion::Kind::Still), m_nextControl(m_interval) {}

    // Processes frames offset .. offset + n - 1 of the rows.
    bool Run(const PlanarBlock& in, const PlanarBlock& out, int offset, int n, std::string& error) {
        const int nIn = in.channels();
        const int nOut = out.channels();
        m_inSeg.resize(nIn);
        m_outSeg.resize(nOut);
        for (int pos = 0; pos < n;) {
            int seg = n - pos;
            if (m_moving) {
                if (m_frame + pos == m_nextControl) {
                    const Point p = m_motion.At(static_cast<double>(m_nextControl) / m_rate);
                    m_fx.SetSoundPos(p.x, p.y, true);
                    m_nextControl += m_interval;
                }
                seg = static_cast<int>(std::min<int64_t>(seg, m_nextControl - (m_frame + pos)));
            }
            for (int c = 0; c < nIn; ++c)
                m_inSeg[c] = in.rows()[c] + offset + pos;
            for (int c = 0; c < nOut; ++c)
                m_outSeg[c] = out.rows()[c] + offset + pos;
            if (!m_fx.ProcessPlanar(m_inSeg.data(), nIn, m_outSeg.data(), nOut, seg)) {
                error = "the library refused a block";
                return false;
            }
            pos += seg;
        }
        m_frame += n;
        return true;
    }

private:
    CSurroundEffect& m_fx;
    const Motion& m_motion;
    const int m_rate;
    const int m_interval;
    const bool m_moving;
    int64_t m_frame = 0;
    int64_t m_nextControl;
    std::vector<const float*> m_inSeg;
    std::vector<float*> m_outSeg;
};

// The largest magnitude of each channel so far.
class PeakMeter {
public:
    explicit PeakMeter(int channels) : m_peaks(static_cast<size_t>(channels), 0.0f) {}
    void Add(const float* const* channels, int n) {
        for (size_t c = 0; c < m_peaks.size(); ++c) {
            // Eight running maxima that do not wait for one another (one vector); the largest of
            // them is the peak, whatever the order.
            const float* x = channels[c];
            float lane[8] = {};
            int i = 0;
            for (; i + 8 <= n; i += 8)
                for (int j = 0; j < 8; ++j)
                    lane[j] = std::max(lane[j], std::fabs(x[i + j]));
            float peak = m_peaks[c];
            for (; i < n; ++i)
                peak = std::max(peak, std::fabs(x[i]));
            for (const float v : lane)
                peak = std::max(peak, v);
            m_peaks[c] = peak;
        }
    }
    const std::vector<float>& peaks() const { return m_peaks; }

private:
    std::vector<float> m_peaks;
};

// Writing: the library's final stage when the settings ask for it, then the file (or the scratch
// file of --normalize), measuring the peaks of what is written.
class BlockWriter {
public:
    BlockWriter(CSurroundEffect& fx, FrameSink& out, bool post, int channels, Ears* ears)
        : m_fx(fx), m_out(out), m_post(post), m_ordered(channels), m_ears(ears),
          m_meter(ears ? 2 : channels) {}
    const PeakMeter& meter() const { return m_meter; }

    // With the binaural stage: the latency's worth of ears that follows the last block.
    bool Finish(std::string& error) {
        const float* ears[2];
        for (int m; m_ears && (m = m_ears->Drain(ears)) > 0;)
            if (!Send(ears, m, error))
                return false;
        return true;
    }

    bool Write(const PlanarBlock& block, int n, std::string& error) {
        std::copy(block.rows(), block.rows() + block.channels(), m_ordered.begin());
        // The final stage works on the samples in place and only reorders the pointers.
        if (m_post && n > 0 && !m_fx.PostProcessPlanar(m_ordered.data(), block.channels(), n)) {
            error = "the library refused its final stage";
            return false;
        }
        if (!m_ears)
            return Send(m_ordered.data(), n, error);
        const float* ears[2];
        const int m = m_ears->Process(m_ordered.data(), block.channels(), n, ears);
        if (m < 0) {
            error = "the headphone stage refused a block";
            return false;
        }
        return Send(ears, m, error);
    }

private:
    bool Send(const float* const* rows, int n, std::string& error) {
        m_meter.Add(rows, n);
        return m_out.Write(rows, n, error);
    }

    CSurroundEffect& m_fx;
    FrameSink& m_out;
    const bool m_post;
    std::vector<float*> m_ordered;
    Ears* m_ears;
    PeakMeter m_meter;
};

// Builds the effect for the stream and applies every setting; fails when the library refuses the
// layout.
bool BuildEffect(CSurroundEffect& fx, const RenderJob& job, int rate, int nIn, const LayoutInfo& layout,
                 std::string& error) {
    Configure(fx, job.effect, job.motion.At(0.0));
    tWAVEFORMATEX format{};
    format.wFormatTag = 3; // IEEE float
    format.nChannels = static_cast<uint16_t>(nIn);
    format.nSamplesPerSec = static_cast<uint32_t>(rate);
    format.wBitsPerSample = 32;
    format.nBlockAlign = static_cast<uint16_t>(4 * nIn);
    format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
    const int before = g_libraryMessages.load();
    fx.Initialize(&format);
    if (g_libraryMessages.load() != before || fx.GetOutputChannels() != layout.channels) {
        error = "the library did not build the " + std::string(layout.name) + " layout";
        return false;
    }
    return ConfigureGraph(fx, job.effect, error);
}

bool WritePlot(const RenderJob& job, int rate, std::string& error) {
    if (job.plotFile.empty())
        return true;
    std::ofstream svg(job.plotFile);
    svg << RoomSvg(job.effect, job.motion, rate);
    if (!svg.good()) {
        error = "cannot write " + job.plotFile;
        return false;
    }
    return true;
}

// Reads, processes and writes block by block until the input and its tail are done.
bool RunBlocks(InputStream& input, CSurroundEffect& fx, FrameSink& out, Ears* ears, const RenderJob& job,
               std::atomic<int64_t>* progress, RenderStats& stats, std::string& error) {
    const int nOut = fx.GetOutputChannels();
    const PlanarBlock in(input.channels(), job.block);
    const PlanarBlock processed(nOut, job.block);
    BlockReader reader(input, job.block, job.tail, input.sampleRate());
    SegmentProcessor processor(fx, job.motion, input.sampleRate());
    QuietTail quiet(job.tail, input.sampleRate());
    BlockWriter writer(fx, out, job.effect.NeedsPostProcessing(), nOut, ears);
    for (;;) {
        const int n = reader.Next(in, error);
        if (n < 0)
            return false;
        if (n == 0)
            break;
        if (!processor.Run(in, processed, 0, n, error) || !writer.Write(processed, n, error))
            return false;
        if (reader.inTail() && quiet.Quiet(processed, 0, n))
            reader.EndTail();
        stats.frames += n;
        if (progress)
            progress->fetch_add(n);
    }
    if (!writer.Finish(error))
        return false;
    stats.inputFrames = reader.inputFrames();
    stats.nonFinite = reader.nonFinite();
    stats.peaks = writer.meter().peaks();
    return true;
}

// A pause in a polling loop: lets the other hardware thread of the core run.
inline void CpuRelax() {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
}

// The threaded render: a reading thread, this thread processing, a writing thread, with the
// blocks in flight held in a StageRing. The library gets the same calls of job.block frames (cut
// where a moving source is re-placed) and the reader and writer see the stream in order, so the
// output is the one RunBlocks writes. An automatic tail is judged here, on the processed blocks;
// the reader may run some silence ahead, which is never processed.
class ThreadedBlocks {
public:
    ThreadedBlocks(InputStream& input, CSurroundEffect& fx, FrameSink& out, Ears* ears, const RenderJob& job)
        : m_input(input), m_fx(fx), m_out(out), m_job(job), m_frames(SlotFrames(job.block)),
          m_ring(kSlots, 3), m_reader(input, m_frames, job.tail, input.sampleRate()),
          m_writer(fx, out, job.effect.NeedsPostProcessing(), fx.GetOutputChannels(), ears) {
        for (int i = 0; i < kSlots; ++i)
            m_slots.push_back(
                Slot{PlanarBlock(input.channels(), m_frames), PlanarBlock(fx.GetOutputChannels(), m_frames)});
    }

    bool Run(std::atomic<int64_t>* progress, RenderStats& stats, std::string& error) {
        if (m_job.threads == 2 && m_fx.SetHostWorker(true))
            RunTwo(progress);
        else
            RunThree(progress);
        // The stage that failed first stopped the others: one message at most.
        for (const std::string* e : {&m_readError, &m_processError, &m_writeError})
            if (!e->empty()) {
                error = *e;
                return false;
            }
        stats.frames = m_written;
        stats.inputFrames = m_reader.inputFrames();
        stats.nonFinite = m_reader.nonFinite();
        stats.peaks = m_writer.meter().peaks();
        return true;
    }

private:
    static constexpr int kSlots = 4;
    // Polls of the lending thread with nothing to do before it sleeps: about a block's time.
    static constexpr int kIdlePolls = 4000;
    // Frames a slot carries: whole host blocks, about one library block (or one longer host block),
    // so that small host blocks do not cost a hand-over each.
    static int SlotFrames(int block) { return block * std::max(1, HALVANE_MAX_BLOCK / block); }
    enum Stage { READ, PROCESS, WRITE };
    struct Slot {
        PlanarBlock in;
        PlanarBlock out;
        int frames = 0;    // 0: the stream has ended
        bool tail = false; // tail silence
    };

    Slot* Take(Stage stage) {
        const int64_t block = m_ring.Acquire(stage);
        return block < 0 ? nullptr : &m_slots[static_cast<size_t>(block % kSlots)];
    }

    void Fail(std::string& where, const std::string& message) {
        where = message;
        m_ring.Stop();
    }

    // Separate reading and writing threads around this one (--threads 3 and more).
    void RunThree(std::atomic<int64_t>* progress) {
        std::thread reader, writer;
        try {
            reader = std::thread([this] { Read(); });
            writer = std::thread([this, progress] { Write(progress); });
        } catch (const std::system_error&) {
            Fail(m_processError, "cannot start the reading and writing threads; render with --threads 1");
        }
        if (reader.joinable() && writer.joinable())
            Process();
        if (writer.joinable())
            writer.join();
        m_ring.Stop(); // the reader may wait for a slot past the end of an automatic tail
        if (reader.joinable())
            reader.join();
    }

    // Two threads (--threads 2): this one processes; the other reads and writes, and in between
    // lends itself to the library, which gives it half of the reverb's work of the block being
    // processed. Two threads for two processors, none waiting for a third to be scheduled.
    void RunTwo(std::atomic<int64_t>* progress) {
        std::thread server;
        try {
            server = std::thread([this, progress] { Serve(progress); });
        } catch (const std::system_error&) {
            Fail(m_processError, "cannot start the reading and writing thread; render with --threads 1");
        }
        if (server.joinable()) {
            Process();
            server.join();
        }
        m_fx.SetHostWorker(false);
    }

    void Read() {
        for (Slot* slot; (slot = Take(READ)) && ReadOne(slot);) {
        }
    }

    // Fills the slot; false once the stream has ended or failed.
    bool ReadOne(Slot* slot) {
        std::string error;
        const int n = m_reader.Next(slot->in, error);
        if (n < 0) {
            Fail(m_readError, error);
            return false;
        }
        slot->frames = n;
        slot->tail = m_reader.inTail();
        m_ring.Release(READ);
        return n > 0;
    }

    // The lending thread's loop: helping the processing thread first (it holds up every stage),
    // then writing (it frees slots), then reading ahead, then the output's own chores (Tidy). With
    // nothing to do it polls for about a block's time, then sleeps until a stage moves (or
    // briefly, to look for help again).
    void Serve(std::atomic<int64_t>* progress) {
        bool reading = true;
        bool writing = true;
        int idle = 0;
        uint64_t tried = ~uint64_t{0}; // the ring's changes when no stage was ready for us
        while (writing) {
            bool busy = m_fx.HelpProcess();
            const uint64_t now = m_ring.changes();
            if (now != tried) {
                if (m_ring.stopped())
                    return;
                if (const int64_t block = m_ring.TryAcquire(WRITE); block >= 0) {
                    writing = WriteOne(&m_slots[static_cast<size_t>(block % kSlots)], progress);
                    busy = true;
                } else if (const int64_t next = reading ? m_ring.TryAcquire(READ) : -1; next >= 0) {
                    reading = ReadOne(&m_slots[static_cast<size_t>(next % kSlots)]);
                    busy = true;
                } else {
                    tried = now;
                }
            }
            if (busy || (writing && m_out.Tidy())) {
                idle = 0;
            } else if (++idle < kIdlePolls) {
                CpuRelax();
            } else {
                m_ring.WaitChange(now, std::chrono::microseconds(200));
                idle = 0;
            }
        }
    }

    // Cuts the slot into host blocks; a quiet window that ends inside a slot ends the tail there.
    void Process() {
        SegmentProcessor processor(m_fx, m_job.motion, m_input.sampleRate());
        QuietTail quiet(m_job.tail, m_input.sampleRate());
        std::string error;
        bool ended = false;
        for (Slot* slot; (slot = Take(PROCESS));) {
            int n = ended ? 0 : slot->frames; // once released, the slot may carry a later block
            for (int done = 0; done < n;) {
                const int len = std::min(m_job.block, n - done);
                if (!processor.Run(slot->in, slot->out, done, len, error))
                    return Fail(m_processError, error);
                if (slot->tail && quiet.Quiet(slot->out, done, len)) {
                    ended = true;
                    n = done + len;
                }
                done += len;
            }
            slot->frames = n;
            m_ring.Release(PROCESS);
            if (n == 0)
                return;
        }
    }

    void Write(std::atomic<int64_t>* progress) {
        for (Slot* slot; (slot = Take(WRITE)) && WriteOne(slot, progress);) {
        }
    }

    // Writes the slot's block; false once the stream has ended (the file finished) or failed. The
    // final stage reads only the effect's speaker tables, which stay as they are while blocks
    // are processed.
    bool WriteOne(Slot* slot, std::atomic<int64_t>* progress) {
        std::string error;
        const int n = slot->frames;
        if (n > 0 && !m_writer.Write(slot->out, n, error)) {
            Fail(m_writeError, error);
            return false;
        }
        m_ring.Release(WRITE);
        if (n == 0) {
            if (!m_writer.Finish(error))
                Fail(m_writeError, error);
            return false;
        }
        m_written += n;
        if (progress)
            progress->fetch_add(n);
        return true;
    }

    InputStream& m_input;
    CSurroundEffect& m_fx;
    FrameSink& m_out;
    const RenderJob& m_job;
    const int m_frames;
    StageRing m_ring;
    std::vector<Slot> m_slots;
    BlockReader m_reader; // used by the reading thread only until it is joined
    BlockWriter m_writer; // used by the writing thread only until it is joined
    int64_t m_written = 0;
    std::string m_readError, m_processError, m_writeError;
};

// Reads, processes and writes on one thread, or on three for job.threads above 1. The library gets
// job.threads - 2 workers: with two threads its worker, meeting the processing thread every hundred
// samples, and the reading and writing threads would take each other's cores.
bool RunStream(InputStream& input, CSurroundEffect& fx, FrameSink& out, Ears* ears, const RenderJob& job,
               std::atomic<int64_t>* progress, RenderStats& stats, std::string& error) {
    if (job.threads <= 1)
        return RunBlocks(input, fx, out, ears, job, progress, stats, error);
    fx.SetWorkerThreads(job.threads - 2);
    return ThreadedBlocks(input, fx, out, ears, job).Run(progress, stats, error);
}

// The second pass of --normalize: the scratch file scaled so that its peak lands at the level
// asked for, into the output. A silent render stays as it is.
bool WriteNormalized(ScratchFile& scratch, OutputFile& out, const RenderJob& job, RenderStats& stats,
                     std::string& error) {
    const int nOut = static_cast<int>(stats.peaks.size());
    const float peak = *std::max_element(stats.peaks.begin(), stats.peaks.end());
    const double gain = peak > 0.0f ? std::pow(10.0, job.normalizeDb / 20.0) / peak : 1.0;
    stats.normalized = true;
    stats.gainDb = 20.0 * std::log10(gain);
    if (!scratch.Rewind(error))
        return false;
    std::vector<float> interleaved(static_cast<size_t>(job.block) * nOut);
    const PlanarBlock block(nOut, job.block);
    PeakMeter meter(nOut);
    for (;;) {
        const int64_t n = scratch.Read(interleaved.data(), job.block);
        if (n < 0) {
            error = "cannot read back the scratch file for --normalize";
            return false;
        }
        if (n == 0)
            break;
        for (int64_t i = 0; i < n; ++i)
            for (int c = 0; c < nOut; ++c)
                block.rows()[c][i] =
                    static_cast<float>(interleaved[static_cast<size_t>(i) * nOut + c] * gain);
        meter.Add(block.rows(), static_cast<int>(n));
        if (!out.Write(block.rows(), static_cast<int>(n), error))
            return false;
    }
    stats.peaks = meter.peaks();
    return true;
}

// Runs the blocks straight into the output, or, for --normalize, into a scratch file first.
bool RenderInto(InputStream& input, CSurroundEffect& fx, OutputFile& out, Ears* ears, const RenderJob& job,
                std::atomic<int64_t>* progress, RenderStats& stats, std::string& error) {
    if (!job.normalize)
        return RunStream(input, fx, out, ears, job, progress, stats, error);
    ScratchFile scratch;
    const int channels = static_cast<int>(stats.speakers.size()); // the speakers, or the two ears
    return scratch.Create(job.output, channels, input.sampleRate(), error) &&
           RunStream(input, fx, scratch, ears, job, progress, stats, error) &&
           WriteNormalized(scratch, out, job, stats, error);
}

} // namespace

bool Render(InputStream& input, const RenderJob& job, std::atomic<int64_t>* progress, std::string& error,
            RenderStats* stats) {
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

    CSurroundEffect fx;
    if (!BuildEffect(fx, job, rate, nIn, *layout, error))
        return false;
    const int nOut = fx.GetOutputChannels();
    RenderStats measured;
    measured.sampleRate = rate;
    measured.speakers = layout->speakers;
    if (s.NeedsPostProcessing()) {
        measured.speakers.assign(HALVANE_SPEAKER_COUNT, 0);
        const int named = fx.GetPostProcessedSpeakers(measured.speakers.data(), HALVANE_SPEAKER_COUNT);
        measured.speakers.resize(std::min(named, HALVANE_SPEAKER_COUNT));
    }
    if (static_cast<int>(measured.speakers.size()) != nOut) {
        error = "the remapped speakers do not cover every channel";
        return false;
    }
    // The SOFA file is read before anything is written: a file it cannot use leaves nothing behind.
    std::unique_ptr<Ears> ears;
    if (s.headphones) {
        ears = std::make_unique<Ears>();
        // The threaded render hands over up to a library block at once, whatever the host block.
        if (!ears->Open(s, rate, std::max(job.block, HALVANE_MAX_BLOCK), error))
            return false;
        measured.speakers = LayoutOfCode(3)->speakers; // the file holds the two ears
    }
    if (!WritePlot(job, rate, error))
        return false;

    OutputFile out;
    const double tailSeconds = job.tail.automatic ? kMaxAutoTailSeconds : job.tail.seconds;
    const int64_t tailFrames = static_cast<int64_t>(std::llround(tailSeconds * rate));
    const int64_t expected = input.frames() >= 0 ? input.frames() + tailFrames : -1;
    if (!out.Open(job.output, job.type, job.format, rate, measured.speakers, job.overwrite, expected,
                  error) ||
        !RenderInto(input, fx, out, ears.get(), job, progress, measured, error))
        return false;
    measured.clipped = out.clipped();
    if (stats)
        *stats = measured;
    return out.Commit(error);
}

} // namespace halvane_cli
