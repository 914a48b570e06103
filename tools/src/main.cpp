// halvane: renders mono or stereo audio files for a surround speaker system with the Halvane
// library, and shows the layouts and the room it places the sound in.
#include "AudioIO.h"
#include "Demo.h"
#include "Geometry.h"
#include "Layouts.h"
#include "Motion.h"
#include "Render.h"
#include "RoomSvg.h"
#include "Values.h"

#include <CLI/CLI.hpp>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <thread>

using namespace halvane_cli;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// A problem with the command line itself, reported with exit code 2.
struct UsageError {
    std::string message;
};

// Options of the effect as typed. The values that need no parsing are read straight into `fx`,
// so the defaults --help shows are the renderer's own; the rest is parsed by ToSettings.
struct EffectArgs {
    EffectSettings fx;
    std::string layout = "5.1";
    std::string room = "3x3";
    std::string source;
    std::string path;
    std::string orbit;
    CLI::Option* highpassOption = nullptr;
    bool noPropagationDelay = false;
    bool noReverb = false;
    bool exact = false;
    std::vector<std::string> speakerVolumes;
    std::vector<std::string> remaps;
};

void AddPlacementOptions(CLI::App* app, EffectArgs& a) {
    app->add_option("--layout", a.layout, "Speaker layout: " + LayoutNames() + " or the numeric code")
        ->capture_default_str()
        ->type_name("NAME");
    app->add_option("--room", a.room, "Room size WIDTHxDEPTH in metres")
        ->capture_default_str()
        ->type_name("WxD");
    app->add_option("--source", a.source,
                    "Source position X,Y in metres from the front-left corner "
                    "(default: the middle of the room)")
        ->type_name("X,Y");
    app->add_option("--path", a.path,
                    "Move the source along the timed points of FILE (lines \"SECONDS X Y\")")
        ->type_name("FILE");
    app->add_option("--orbit", a.orbit,
                    "Move the source on a circle of R metres around --source, one "
                    "clockwise turn every SECONDS")
        ->type_name("R,SECONDS");
}

// A moving source glides by default (the library's smooth mode); this switch gives the jumps back.
constexpr const char* kExactHelp =
    "Let a moving source jump every 10 ms (gains and whole-sample delays) instead of gliding: the "
    "library's exact reference mode. A still source renders the same samples either way";

void AddEffectOptions(CLI::App* app, EffectArgs& a) {
    AddPlacementOptions(app, a);
    app->add_option("--volume", a.fx.volume, "Master volume of every speaker but the LFE")
        ->capture_default_str();
    app->add_option("--speaker-volume", a.speakerVolumes,
                    "Volume of one speaker of the layout, e.g. BL=0.5 (repeatable; LFE: use --lfe-volume)")
        ->type_name("SPK=V")
        ->allow_extra_args(false);
    app->add_option("--lfe-volume", a.fx.lfeVolume, "Gain of the LFE speaker")->capture_default_str();
    app->add_option("--lfe-cutoff", a.fx.lfeCutoff, "The LFE speaker gets the bass below HZ")
        ->capture_default_str()
        ->type_name("HZ");
    a.highpassOption =
        app->add_option("--highpass", a.fx.highpass,
                        "Remove the bass below HZ from every speaker but the LFE (off by default)")
            ->type_name("HZ");
    app->add_flag("--no-propagation-delay", a.noPropagationDelay,
                  "Do not delay each speaker by the sound's travel time from the source");
    app->add_flag("--no-reverb", a.noReverb, "Switch the room reverb off");
    app->add_option("--reverb-wet", a.fx.reverbWet, "Level of the reverb")->capture_default_str();
    app->add_option("--reverb-dry", a.fx.reverbDry, "Level of the direct sound inside the reverb branch")
        ->capture_default_str();
    app->add_option("--absorb", a.fx.absorb, "Absorption of the walls; the tail decays faster as it grows")
        ->capture_default_str();
    app->add_option("--hf-decay", a.fx.hfDecay, "Damping of the high frequencies in the reverb tail")
        ->capture_default_str();
    app->add_flag(
        "--corner-crossfeed", a.fx.cornerCrossfeed,
        "Feed each corner speaker's reverb to the other corners with the travel time across the room");
    app->add_option(
           "--remap", a.remaps,
           "Route speaker SPK to output channel CH, swapping with the speaker that has it (repeatable)")
        ->type_name("SPK=CH")
        ->allow_extra_args(false);
    app->add_flag("--invert-right", a.fx.invertRight,
                  "Invert the polarity of the right-hand speakers (FR, BR, SR)");
    app->add_flag("--clamp", a.fx.clamp, "Clamp every sample to -1 .. 1");
    app->add_flag("--exact", a.exact, kExactHelp);
}

void RequireFinite(const char* name, float v) {
    if (!std::isfinite(v))
        throw UsageError{std::string(name) + " must be a finite number"};
}

// Without `full`, only the options the room picture shows are checked: layout, room, source, LFE cut-off.
EffectSettings ToSettings(const EffectArgs& a, bool full) {
    EffectSettings s = a.fx;
    const LayoutInfo* layout = FindLayout(a.layout);
    if (!layout)
        throw UsageError{"--layout " + a.layout + ": not a layout (" + LayoutNames() + ", or " +
                         LayoutCodes() + ")"};
    s.layout = layout->code;
    std::string error;
    if (!ParseRoom(a.room, s.roomWidth, s.roomDepth, error))
        throw UsageError{error};
    if (!a.source.empty()) {
        if (!ParsePosition(a.source, s.source.x, s.source.y, error))
            throw UsageError{error};
        s.sourceGiven = true;
    }
    if (!a.path.empty() && !a.orbit.empty())
        throw UsageError{"--path and --orbit cannot be combined"};
    if (s.lfeCutoff <= 0)
        throw UsageError{"--lfe-cutoff must be above 0 Hz"};
    s.smooth = !a.exact;
    if (!full)
        return s;

    RequireFinite("--volume", s.volume);
    RequireFinite("--lfe-volume", s.lfeVolume);
    RequireFinite("--reverb-wet", s.reverbWet);
    RequireFinite("--reverb-dry", s.reverbDry);
    RequireFinite("--absorb", s.absorb);
    RequireFinite("--hf-decay", s.hfDecay);
    if (a.highpassOption && a.highpassOption->count() > 0 && s.highpass <= 0)
        throw UsageError{"--highpass must be above 0 Hz"};
    s.propagationDelay = !a.noPropagationDelay;
    if (s.highpass > 0 && !s.propagationDelay)
        throw UsageError{"--highpass cannot be combined with --no-propagation-delay: the library's high-pass "
                         "stage follows the propagation delays"};
    s.reverb = !a.noReverb;
    // Below 0 the reverb's loop gain passes 1 and the tail grows without end.
    if (s.absorb < 0.0f || s.absorb > 1.0f)
        throw UsageError{"--absorb must be from 0 to 1"};

    std::set<int> inLayout(layout->speakers.begin(), layout->speakers.end());
    for (const std::string& sv : a.speakerVolumes) {
        int bit = 0;
        double v = 0;
        if (!ParseSpeakerValue(sv, bit, v, error))
            throw UsageError{"--speaker-volume " + error};
        if (bit == 8)
            throw UsageError{"--speaker-volume " + sv + ": set the LFE speaker with --lfe-volume"};
        if (!inLayout.count(bit))
            throw UsageError{"--speaker-volume " + sv + ": layout " + layout->name + " has no " +
                             SpeakerOfBit(bit)->name + " speaker"};
        s.speakerVolumes.push_back({bit, static_cast<float>(v)});
    }
    for (const std::string& rm : a.remaps) {
        int bit = 0;
        double ch = 0;
        if (!ParseSpeakerValue(rm, bit, ch, error))
            throw UsageError{"--remap " + error};
        if (ch != std::floor(ch) || ch < 0 || ch >= layout->channels)
            throw UsageError{"--remap " + rm + ": the channel must be a whole number from 0 to " +
                             std::to_string(layout->channels - 1)};
        s.remaps.push_back({bit, static_cast<int>(ch)});
    }
    return s;
}

Motion ToMotion(const EffectArgs& a, const EffectSettings& s) {
    std::string error;
    if (!a.path.empty()) {
        std::vector<PathPoint> points;
        if (!ReadPathFile(a.path, points, error))
            throw UsageError{"--path " + error};
        return Motion::Path(points);
    }
    if (!a.orbit.empty()) {
        float radius = 0;
        double seconds = 0;
        if (!ParseOrbit(a.orbit, radius, seconds, error))
            throw UsageError{error};
        return Motion::Orbit(s.SourceOrCentre(), radius, seconds);
    }
    return Motion::Still(s.SourceOrCentre());
}

std::mutex g_printMutex;

void Say(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_printMutex);
    std::fprintf(stderr, "%s\n", line.c_str());
}

const char* FormatName(FileType type, SampleFormat f) {
    if (f == SampleFormat::Float)
        return "32-bit float";
    if (f == SampleFormat::Pcm16)
        return "16-bit, dithered";
    return type == FileType::Flac ? "24-bit FLAC" : "24-bit";
}

// ---- running renders ----

struct Task {
    std::string input; // empty for the demo clip
    RenderJob job;
    std::string error;
    bool ok = false;
};

class ProgressBar {
public:
    ProgressBar(bool enabled, int64_t total) : m_enabled(enabled && total > 0), m_total(total) {}
    void Draw(int64_t done) {
        if (!m_enabled)
            return;
        const double f = std::min(1.0, static_cast<double>(done) / static_cast<double>(m_total));
        const int filled = static_cast<int>(f * kWidth);
        std::string bar(static_cast<size_t>(filled), '#');
        bar.append(static_cast<size_t>(kWidth - filled), '.');
        std::lock_guard<std::mutex> lock(g_printMutex);
        std::fprintf(stderr, "\r[%s] %3d%%", bar.c_str(), static_cast<int>(f * 100.0));
        std::fflush(stderr);
        m_drawn = true;
    }
    void Clear() {
        if (!m_drawn)
            return;
        std::lock_guard<std::mutex> lock(g_printMutex);
        std::fprintf(stderr, "\r%*s\r", kLineWidth, "");
        std::fflush(stderr);
    }

private:
    static constexpr int kWidth = 40;             // characters of the bar itself
    static constexpr int kLineWidth = kWidth + 8; // the bar in brackets, " 100%" and a spare column
    bool m_enabled;
    int64_t m_total;
    bool m_drawn = false;
};

// Runs the tasks on `jobs` threads, each with its own effect object and files.
void RunTasks(std::vector<Task>& tasks, int jobs, bool quiet, const std::vector<InputStream*>& demoInputs) {
    // A first look at every input sizes the progress bar; each worker opens its input again when
    // it starts, so a large batch never holds more files open than it has workers.
    int64_t totalFrames = 0;
    double totalSeconds = 0;
    for (size_t i = 0; i < tasks.size(); ++i) {
        const bool demo = i < demoInputs.size() && demoInputs[i];
        SoundFileInput probe;
        std::string ignored;
        InputStream* in = demo ? demoInputs[i] : (probe.Open(tasks[i].input, ignored) ? &probe : nullptr);
        if (!in || in->frames() <= 0)
            continue;
        const int64_t frames =
            in->frames() + static_cast<int64_t>(std::llround(tasks[i].job.tailSeconds * in->sampleRate()));
        totalFrames += frames;
        totalSeconds += static_cast<double>(frames) / in->sampleRate();
    }

    std::atomic<int64_t> done{0};
    std::atomic<size_t> next{0};
    std::atomic<size_t> finished{0};
    auto worker = [&]() {
        for (;;) {
            const size_t i = next.fetch_add(1);
            if (i >= tasks.size())
                return;
            Task& t = tasks[i];
            if (i < demoInputs.size() && demoInputs[i]) {
                t.ok = Render(*demoInputs[i], t.job, &done, t.error);
            } else {
                SoundFileInput in;
                t.ok = in.Open(t.input, t.error) && Render(in, t.job, &done, t.error);
            }
            if (!t.ok)
                Say("halvane: " + (t.input.empty() ? t.job.output : t.input) + ": " + t.error);
            finished.fetch_add(1);
        }
    };

    // A bar only for a person watching a render that takes a while.
    ProgressBar bar(!quiet && isatty(2) && totalSeconds > 5.0, totalFrames);
    const int threads = std::max(1, std::min<int>(jobs, static_cast<int>(tasks.size())));
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; ++i)
        pool.emplace_back(worker);
    // The bar redraws every 100 ms; the end of the last task is noticed within 5 ms, not at the
    // next redraw (a short render would otherwise wait up to 100 ms for nothing).
    while (finished.load() < tasks.size()) {
        bar.Draw(done.load());
        for (int tick = 0; tick < 20 && finished.load() < tasks.size(); ++tick)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (std::thread& t : pool)
        t.join();
    bar.Clear();
}

std::string Stem(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0)
        name = name.substr(0, dot);
    return name;
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

struct OutputArgs {
    std::string format; // wav, flac or empty (from the file name)
    std::string bits = "float";
    CLI::Option* bitsOption = nullptr;
    bool force = false;
    bool quiet = false;
    std::string plot;
};

// `formatDefault` says where the file type comes from when --format is not given.
void AddOutputOptions(CLI::App* app, OutputArgs& o, const std::string& formatDefault) {
    app->add_option("--format", o.format,
                    "Output file type: wav (WAVE_FORMAT_EXTENSIBLE) or flac (default: " + formatDefault + ")")
        ->check(CLI::IsMember({"wav", "flac"}));
    o.bitsOption = app->add_option("--bits", o.bits,
                                   "Output samples: float (32-bit, WAV only), 24, or 16 "
                                   "(with TPDF dither); FLAC defaults to 24")
                       ->check(CLI::IsMember({"float", "16", "24"}))
                       ->capture_default_str();
    app->add_flag("-f,--force", o.force, "Overwrite existing output files");
    app->add_flag("-q,--quiet", o.quiet, "No progress bar and no messages but errors");
    app->add_option("--plot", o.plot, "Also write an SVG picture of the room, speakers, gains and delays")
        ->type_name("FILE");
}

void ApplyOutputArgs(const OutputArgs& o, const std::string& outputName, RenderJob& job) {
    if (!o.format.empty())
        job.type = o.format == "flac" ? FileType::Flac : FileType::Wav;
    else if (!FileTypeOfPath(outputName, job.type))
        throw UsageError{"cannot tell the file type of " + outputName +
                         " from its name; name it .wav or .flac, or pass --format"};
    if (o.bits == "16")
        job.format = SampleFormat::Pcm16;
    else if (o.bits == "24")
        job.format = SampleFormat::Pcm24;
    else if (job.type == FileType::Flac) {
        if (o.bitsOption->count() > 0)
            throw UsageError{"FLAC stores integer samples only; use --bits 24 or --bits 16"};
        job.format = SampleFormat::Pcm24;
    } else {
        job.format = SampleFormat::Float;
    }
    job.overwrite = o.force;
    job.output = outputName;
}

// ---- subcommands ----

struct RenderArgs {
    std::vector<std::string> files;
    std::string outDir;
    int jobs = 0;
    int block = 4096;
    double tail = 0.0;
};

int RunRender(const RenderArgs& r, const EffectArgs& ea, const OutputArgs& oa) {
    const EffectSettings settings = ToSettings(ea, true);
    const Motion motion = ToMotion(ea, settings);
    if (r.block < 1 || r.block > 1 << 20)
        throw UsageError{"--block must be from 1 to 1048576 frames"};
    if (!std::isfinite(r.tail) || r.tail < 0 || r.tail > 3600)
        throw UsageError{"--tail must be from 0 to 3600 seconds"};

    std::vector<std::pair<std::string, std::string>> pairs; // input, output
    if (r.outDir.empty()) {
        if (r.files.size() != 2)
            throw UsageError{"render takes IN OUT, or several inputs with -o DIR"};
        pairs.push_back({r.files[0], r.files[1]});
    } else {
        if (r.files.empty())
            throw UsageError{"render -o DIR needs at least one input"};
        if (!IsDirectory(r.outDir))
            throw UsageError{"-o " + r.outDir + ": not a directory"};
        const std::string ext = oa.format == "flac" ? ".flac" : ".wav";
        for (const std::string& in : r.files)
            pairs.push_back({in, r.outDir + "/" + Stem(in) + ext});
    }

    std::vector<Task> tasks;
    std::set<std::string> outputs;
    int failures = 0;
    for (const auto& p : pairs) {
        Task t;
        t.input = p.first;
        t.job.effect = settings;
        t.job.motion = motion;
        t.job.block = r.block;
        t.job.tailSeconds = r.tail;
        ApplyOutputArgs(oa, p.second, t.job);
        const LayoutInfo* layout = LayoutOfCode(settings.layout);
        if (t.job.type == FileType::Flac && settings.remaps.empty() && !layout->flacLabelled)
            throw UsageError{"FLAC files carry no channel mask, and FLAC's fixed " +
                             std::to_string(layout->channels) + "-channel order is not the " + layout->name +
                             " layout's; write a .wav file"};
        if (!outputs.insert(p.second).second)
            throw UsageError{"two inputs would both be written to " + p.second};
        if (SameFile(p.first, p.second) || p.first == p.second)
            throw UsageError{p.second + " is the input itself; choose another output"};
        if (FileExists(p.second) && !oa.force) {
            Say("halvane: " + p.second + " exists; use --force to overwrite it");
            ++failures;
            continue;
        }
        if (tasks.empty())
            t.job.plotFile = oa.plot;
        tasks.push_back(std::move(t));
    }

    const int jobs =
        r.jobs > 0 ? r.jobs : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    RunTasks(tasks, jobs, oa.quiet, {});
    for (const Task& t : tasks) {
        if (!t.ok)
            ++failures;
        else if (!oa.quiet)
            Say("wrote " + t.job.output + " (" + LayoutOfCode(settings.layout)->name + ", " +
                FormatName(t.job.type, t.job.format) + ")");
    }
    if (failures > 0 && pairs.size() > 1)
        Say("halvane: " + std::to_string(failures) + " of " + std::to_string(pairs.size()) +
            " renders failed");
    return failures > 0 ? kExitFailed : kExitOk;
}

int RunDemo(const std::string& outArg, const OutputArgs& oa, bool exact) {
    const std::string out = outArg.empty() ? "halvane-demo.wav" : outArg;
    Task t;
    t.job.effect.smooth = !exact;
    ApplyOutputArgs(oa, out, t.job);
    // The default demo file is the tool's own and is replaced on every run.
    t.job.overwrite = oa.force || outArg.empty();
    if (FileExists(out) && !t.job.overwrite) {
        Say("halvane: " + out + " exists; use --force to overwrite it");
        return kExitFailed;
    }
    const int rate = 48000;
    MemoryInput clip = MakeDemoClip(rate);
    const double seconds = static_cast<double>(clip.frames()) / rate;
    t.job.motion = DemoMotion(t.job.effect.roomWidth, t.job.effect.roomDepth, seconds);
    t.job.plotFile = oa.plot;
    std::vector<Task> tasks;
    tasks.push_back(std::move(t));
    RunTasks(tasks, 1, oa.quiet, {&clip});
    if (!tasks[0].ok)
        return kExitFailed;
    if (!oa.quiet)
        Say("wrote " + out + ": a plucked tune circling the room once, 5.1 (FL FR FC LFE BL BR), " +
            FormatName(tasks[0].job.type, tasks[0].job.format) + ", 48000 Hz");
    return kExitOk;
}

int RunLayouts(const std::string& roomText) {
    float w = 3, d = 3;
    std::string error;
    if (!ParseRoom(roomText, w, d, error))
        throw UsageError{error};
    std::printf("Speaker layouts; positions in metres in a %g x %g m room (x from the left wall, y from the "
                "front wall).\n",
                w, d);
    for (const LayoutInfo& l : AllLayouts()) {
        std::printf("\n%-9s code %-5d %d channels, mask 0x%X, ffprobe calls it %s\n", l.name, l.code,
                    l.channels, ChannelMask(l.speakers), l.probeName);
        const std::vector<Point> pos = SpeakerPositions(l.code, w, d);
        for (int c = 0; c < l.channels; ++c) {
            const SpeakerInfo* s = SpeakerOfBit(l.speakers[c]);
            std::printf("  ch %d  %-4s %-22s", c, s->name, s->longName);
            if (s->bit == 8)
                std::printf("(bass only, not positioned)\n");
            else
                std::printf("x %5.2f  y %5.2f\n", pos[c].x, pos[c].y);
        }
    }
    return kExitOk;
}

int RunPlot(const EffectArgs& ea, int rate, bool noDelay, const std::string& out) {
    EffectSettings s = ToSettings(ea, false);
    s.propagationDelay = !noDelay;
    const Motion motion = ToMotion(ea, s);
    if (rate < 1000 || rate > 768000)
        throw UsageError{"--rate must be from 1000 to 768000 Hz"};
    const std::string svg = RoomSvg(s, motion, rate);
    if (out.empty() || out == "-") {
        std::fputs(svg.c_str(), stdout);
        return kExitOk;
    }
    std::ofstream f(out);
    f << svg;
    f.close();
    if (!f) {
        Say("halvane: cannot write " + out);
        return kExitFailed;
    }
    return kExitOk;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"halvane " HALVANE_VERSION " - renders mono or stereo audio for a surround speaker system:\n"
                 "places the sound in a room, derives the LFE channel and adds room reverb."};
    app.set_version_flag("--version", "halvane " HALVANE_VERSION);
    app.require_subcommand(1);
    app.footer("Exit codes: 0 done, 1 a file could not be processed, 2 the command line is wrong.\n");

    RenderArgs ra;
    EffectArgs renderEffect;
    OutputArgs renderOut;
    CLI::App* render = app.add_subcommand("render", "Render IN to OUT, or several inputs into -o DIR");
    render->add_option("files", ra.files, "IN OUT, or inputs with -o DIR")->required()->type_name("FILE");
    render->add_option("-o,--output-dir", ra.outDir, "Write one output per input into DIR (batch)")
        ->type_name("DIR");
    render->add_option("-j,--jobs", ra.jobs, "Renders in parallel (default: the number of cores)")
        ->check(CLI::Range(1, 256));
    render
        ->add_option("--block", ra.block,
                     "Frames handed to the library per call; the output does not "
                     "depend on it")
        ->capture_default_str();
    render->add_option("--tail", ra.tail, "Seconds of silence fed after the input so the reverb rings out")
        ->capture_default_str();
    AddEffectOptions(render, renderEffect);
    AddOutputOptions(render, renderOut, "from the output's extension, wav for -o");

    std::string demoOut;
    OutputArgs demoArgs;
    CLI::App* demo = app.add_subcommand("demo", "Render the built-in demo (a tune circling the room) to 5.1");
    demo->add_option("out", demoOut, "Output file (default: halvane-demo.wav, replaced on every run)")
        ->type_name("FILE");
    AddOutputOptions(demo, demoArgs, "from the output's extension");
    bool demoExact = false;
    demo->add_flag("--exact", demoExact, kExactHelp);

    std::string layoutsRoom = "3x3";
    CLI::App* layouts =
        app.add_subcommand("layouts", "List the speaker layouts with channel order and positions");
    layouts->add_option("--room", layoutsRoom, "Room size WIDTHxDEPTH in metres")
        ->capture_default_str()
        ->type_name("WxD");

    EffectArgs plotEffect;
    int plotRate = 48000;
    bool plotNoDelay = false;
    std::string plotOut;
    CLI::App* plot = app.add_subcommand("plot", "Draw the room, speakers, source, gains and delays as SVG");
    AddPlacementOptions(plot, plotEffect);
    plot->add_option("--rate", plotRate, "Sample rate at which the delays are counted in samples")
        ->capture_default_str()
        ->type_name("HZ");
    plot->add_option("--lfe-cutoff", plotEffect.fx.lfeCutoff, "LFE cut-off shown in the picture")
        ->capture_default_str()
        ->type_name("HZ");
    plot->add_flag("--no-propagation-delay", plotNoDelay, "Show the speakers without travel-time delays");
    plot->add_option("-o,--output", plotOut, "SVG file to write (default: standard output)")
        ->type_name("FILE");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? kExitOk : kExitUsage;
    }

    try {
        InstallLibraryMessageHandler();
        if (*render || *demo)
            InstallInterruptCleanup();
        if (*render)
            return RunRender(ra, renderEffect, renderOut);
        if (*demo)
            return RunDemo(demoOut, demoArgs, demoExact);
        if (*layouts)
            return RunLayouts(layoutsRoom);
        if (*plot)
            return RunPlot(plotEffect, plotRate, plotNoDelay, plotOut);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "halvane: %s\nRun with --help for more information.\n", e.message.c_str());
        return kExitUsage;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "halvane: out of memory\n");
        return kExitFailed;
    }
    return kExitUsage;
}
