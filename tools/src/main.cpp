// halvane: renders mono or stereo audio files for a surround speaker system with the Halvane
// library, and shows the layouts and the room it places the sound in.
#include "AudioIO.h"
#include "Demo.h"
#include "Ears.h"
#include "Geometry.h"
#include "Json.h"
#include "Layouts.h"
#include "ManPage.h"
#include "Motion.h"
#include "Presets.h"
#include "Render.h"
#include "Report.h"
#include "RoomSvg.h"
#include "Values.h"

#include <CLI/CLI.hpp>
#include <HalvaneLayouts.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
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

// The library's default room as --room writes it: "3x3".
std::string DefaultRoom() {
    char text[64];
    std::snprintf(text, sizeof text, "%gx%g", HALVANE_DEFAULT_ROOM_WIDTH, HALVANE_DEFAULT_ROOM_DEPTH);
    return text;
}

// Options of the effect as typed. The values that need no parsing are read straight into `fx`,
// so the defaults --help shows are the renderer's own; the rest is parsed by ToSettings.
struct EffectArgs {
    EffectSettings fx;
    std::string layout = HalvaneFindLayout(HALVANE_DEFAULT_LAYOUT)->name;
    std::string room = DefaultRoom();
    std::string source;
    std::string path;
    std::string orbit;
    CLI::Option* highpassOption = nullptr;
    bool noPropagationDelay = false;
    bool noReverb = false;
    bool exact = false;
    std::string preset;
    const CLI::App* app = nullptr; // tells which options the command line gave, over the preset's
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
    a.app = app;
    app->add_option("--preset", a.preset,
                    "Room preset: " + PresetNames() +
                        " (halvane presets describes them); the room, source, volume and reverb options "
                        "given as well override its values")
        ->type_name("NAME");
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
        "--corner-crossfeed,!--no-corner-crossfeed", a.fx.cornerCrossfeed,
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

// Where the listener of the binaural stage stands.
void AddListenerOption(CLI::App* app, EffectSettings& fx) {
    app->add_option_function<std::string>(
           "--listener",
           [&fx](const std::string& text) {
               std::string error;
               if (!ParsePosition(text, fx.listener.x, fx.listener.y, error))
                   throw CLI::ValidationError("--listener",
                                              "expects X,Y in metres, e.g. 1.0,1.5, not \"" + text + "\"");
               fx.listenerGiven = true;
           },
           "Listener position X,Y in metres from the front-left corner, facing the front wall "
           "(default: the middle of the room)")
        ->type_name("X,Y");
}

// The binaural stage: the speaker feed heard through headphones, written as a stereo file.
void AddHeadphoneOptions(CLI::App* app, EffectSettings& fx, bool withHrtf) {
    app->add_flag("--headphones", fx.headphones,
                  "Render for headphones: every speaker becomes a virtual speaker in its direction from the "
                  "listener (HRIRs from a SOFA file); writes two channels");
    AddListenerOption(app, fx);
    if (withHrtf)
        app->add_option("--hrtf", fx.hrtf,
                        std::string("SOFA file of the headphone rendering (default: ") +
                            CHalvaneHeadphones::DefaultHrtfFile() + ")")
            ->type_name("FILE.sofa");
}

void RequireFinite(const char* name, float v) {
    if (!std::isfinite(v))
        throw UsageError{std::string(name) + " must be a finite number"};
}

// Without `full`, only the options the room picture shows are checked: layout, room, source, LFE cut-off.
const HalvanePreset& FindPresetOrThrow(const std::string& name) {
    const HalvanePreset* preset = HalvaneFindPreset(name.c_str());
    if (!preset)
        throw UsageError{"--preset " + name + ": not a preset (" + PresetNames() +
                         "; halvane presets describes them)"};
    return *preset;
}

void ApplyPresetOption(const EffectArgs& a, EffectSettings& s) {
    PresetOverrides given;
    given.room = a.app->count("--room") > 0;
    given.source = a.app->count("--source") > 0;
    given.volume = a.app->count("--volume") > 0;
    given.reverbWet = a.app->count("--reverb-wet") > 0;
    given.reverbDry = a.app->count("--reverb-dry") > 0;
    given.absorb = a.app->count("--absorb") > 0;
    given.hfDecay = a.app->count("--hf-decay") > 0;
    given.cornerCrossfeed = a.app->count("--corner-crossfeed") > 0;
    ApplyPreset(FindPresetOrThrow(a.preset), given, s);
}

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
    if (!a.preset.empty())
        ApplyPresetOption(a, s);
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
        if (bit == HALVANE_LFE)
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

// ---- running renders ----

struct Task {
    std::string input; // empty for the demo clip
    RenderJob job;
    std::string error;
    bool ok = false;
    RenderStats stats;
    double wallSeconds = 0.0;
};

// Renders one task from its file, or from `demo` when given.
void RunTask(Task& t, InputStream* demo, std::atomic<int64_t>& done) {
    const auto start = std::chrono::steady_clock::now();
    if (demo) {
        t.ok = Render(*demo, t.job, &done, t.error, &t.stats);
    } else {
        SoundFileInput in;
        t.ok = in.Open(t.input, t.error) && Render(in, t.job, &done, t.error, &t.stats);
    }
    t.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!t.ok)
        Say("halvane: " + (t.input.empty() ? t.job.output : t.input) + ": " + t.error);
}

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
        // Standard input can be read only once.
        const bool once = IsStdStream(tasks[i].input);
        InputStream* in =
            demo ? demoInputs[i] : (!once && probe.Open(tasks[i].input, ignored) ? &probe : nullptr);
        if (!in || in->frames() <= 0)
            continue;
        // An automatic tail counts as none: the bar may jump at the end, but never stalls short of it.
        const Tail& tail = tasks[i].job.tail;
        const int64_t frames =
            in->frames() +
            (tail.automatic ? 0 : static_cast<int64_t>(std::llround(tail.seconds * in->sampleRate())));
        totalFrames += frames;
        totalSeconds += static_cast<double>(frames) / in->sampleRate();
    }

    std::atomic<int64_t> done{0};
    std::atomic<size_t> next{0};
    size_t finished = 0; // under `lock`; `ended` is told of every change
    std::mutex lock;
    std::condition_variable ended;
    auto worker = [&]() {
        for (;;) {
            const size_t i = next.fetch_add(1);
            if (i >= tasks.size())
                return;
            RunTask(tasks[i], i < demoInputs.size() ? demoInputs[i] : nullptr, done);
            const std::lock_guard<std::mutex> guard(lock);
            ++finished;
            ended.notify_one();
        }
    };

    // A bar only for a person watching a render that takes a while.
    ProgressBar bar(!quiet && isatty(2) && totalSeconds > 5.0, totalFrames);
    const int threads = std::max(1, std::min<int>(jobs, static_cast<int>(tasks.size())));
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; ++i)
        pool.emplace_back(worker);
    // The bar redraws every 100 ms; the end of the last task is noticed at once, not at the next
    // redraw.
    for (std::unique_lock<std::mutex> guard(lock); finished < tasks.size();) {
        bar.Draw(done.load());
        ended.wait_for(guard, std::chrono::milliseconds(100), [&] { return finished == tasks.size(); });
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
    app->add_flag("-q,--quiet", o.quiet, "No progress bar and no report; errors and warnings still show");
    app->add_option("--plot", o.plot, "Also write an SVG picture of the room, speakers, gains and delays")
        ->type_name("FILE");
}

void ApplyOutputArgs(const OutputArgs& o, const std::string& outputName, RenderJob& job) {
    if (!o.format.empty())
        job.type = o.format == "flac" ? FileType::Flac : FileType::Wav;
    else if (IsStdStream(outputName))
        throw UsageError{"standard output (-) has no file name to tell its type; pass --format wav or flac"};
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

// Whether a render may write `output`; says why not. A symlink counts as the file it names; a
// stream replaces nothing. Leftovers of killed renders in the output's folder are removed first.
bool OutputWritable(const std::string& output, bool force, bool quiet) {
    const OutputTarget target = ResolveOutput(output);
    if (target.kind == OutputTarget::Kind::Refused) {
        Say("halvane: cannot write " + output + ": it " + target.reason);
        return false;
    }
    if (target.kind == OutputTarget::Kind::ExistingFile && !force) {
        Say("halvane: " + output + " exists; use --force to overwrite it");
        return false;
    }
    if (target.kind != OutputTarget::Kind::Stream)
        for (const std::string& stale : RemoveStaleTemps(DirectoryOf(target.path)))
            if (!quiet)
                Say("halvane: removed " + stale + ", left by a render that was killed");
    return true;
}

// ---- subcommands ----

struct RenderArgs {
    std::vector<std::string> files;
    std::string outDir;
    int jobs = 0;
    int threads = 0;
    int block = HALVANE_MAX_BLOCK;
    std::string tail = "auto";
    CLI::Option* normalizeOption = nullptr;
    double normalize = 0.0;
    bool json = false;
};

// --tail: "auto", or seconds from 0 to 3600.
Tail ParseTail(const std::string& text) {
    Tail tail;
    if (text == "auto") {
        tail.automatic = true;
        return tail;
    }
    double seconds = 0;
    if (!ParseNumber(text, seconds) || seconds < 0 || seconds > 3600)
        throw UsageError{"--tail " + text + ": give auto, or seconds from 0 to 3600"};
    tail.seconds = seconds;
    return tail;
}

// Creates -o DIR (with its parents) when it is missing.
void MakeOutputDir(const std::string& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (!IsDirectory(dir))
        throw UsageError{"-o " + dir + ": " +
                         (ec ? "cannot create the folder: " + ec.message() : "not a directory")};
}

std::vector<std::pair<std::string, std::string>> PairInputsWithOutputs(const RenderArgs& r,
                                                                       const OutputArgs& oa) {
    std::vector<std::pair<std::string, std::string>> pairs;
    if (r.outDir.empty()) {
        if (r.files.size() != 2)
            throw UsageError{"render takes IN OUT, or several inputs with -o DIR"};
        pairs.push_back({r.files[0], r.files[1]});
        return pairs;
    }
    if (r.files.empty())
        throw UsageError{"render -o DIR needs at least one input"};
    for (const std::string& in : r.files)
        if (IsStdStream(in))
            throw UsageError{"standard input (-) has no name to give its output in -o DIR; use render - OUT"};
    MakeOutputDir(r.outDir);
    const std::string ext = oa.format == "flac" ? ".flac" : ".wav";
    for (const std::string& in : r.files)
        pairs.push_back({in, r.outDir + "/" + Stem(in) + ext});
    return pairs;
}

// The job for one input and output, checked; false when the output may not be written.
bool MakeTask(const std::pair<std::string, std::string>& p, const RenderJob& base, const OutputArgs& oa,
              std::set<std::string>& outputs, Task& t) {
    t.input = p.first;
    t.job = base;
    ApplyOutputArgs(oa, p.second, t.job);
    const LayoutInfo* layout = LayoutOfCode(base.effect.layout);
    if (t.job.type == FileType::Flac && base.effect.remaps.empty() && !layout->flacLabelled &&
        !base.effect.headphones)
        throw UsageError{"FLAC files carry no channel mask, and FLAC's fixed " +
                         std::to_string(layout->channels) + "-channel order is not the " + layout->name +
                         " layout's; write a .wav file"};
    if (!outputs.insert(ResolveOutput(p.second).path).second)
        throw UsageError{"two inputs would both be written to " + p.second};
    if (!IsStdStream(p.first) && (SameFile(p.first, p.second) || p.first == p.second))
        throw UsageError{p.second + " is the input itself; choose another output"};
    return OutputWritable(p.second, oa.force, oa.quiet);
}

// The report of each render on standard error, warnings even with -q, and the --json record on
// standard output. Returns how many renders failed.
int ReportTasks(const std::vector<Task>& tasks, bool quiet, bool json) {
    std::vector<RenderOutcome> outcomes;
    int failures = 0;
    for (const Task& t : tasks) {
        RenderOutcome r{t.input, t.job.output, &t.job, t.stats, t.wallSeconds, t.ok, t.error};
        failures += !t.ok;
        if (t.ok && !quiet)
            for (const std::string& line : ReportLines(r))
                Say(line);
        if (t.ok)
            for (const std::string& line : Warnings(r))
                Say("halvane: " + line);
        outcomes.push_back(std::move(r));
    }
    if (json)
        std::printf("%s\n", RendersJson(outcomes).c_str());
    return failures;
}

int RunRender(const RenderArgs& r, const EffectArgs& ea, const OutputArgs& oa) {
    RenderJob base;
    base.effect = ToSettings(ea, true);
    base.motion = ToMotion(ea, base.effect);
    if (base.effect.headphones && (!base.effect.remaps.empty() || base.effect.invertRight))
        throw UsageError{
            "--remap and --invert-right rearrange speaker channels, and --headphones writes only "
            "the two ears; leave them out"};
    if (!base.effect.headphones && !base.effect.hrtf.empty())
        throw UsageError{"--hrtf picks the HRIRs of --headphones; add --headphones"};
    if (!base.effect.headphones && base.effect.listenerGiven)
        throw UsageError{"--listener places the listener of --headphones; add --headphones"};
    if (r.block < 1 || r.block > 1 << 20)
        throw UsageError{"--block must be from 1 to 1048576 frames"};
    base.block = r.block;
    base.tail = ParseTail(r.tail);
    base.normalize = r.normalizeOption->count() > 0;
    base.normalizeDb = r.normalize;
    if (base.normalize && (!std::isfinite(r.normalize) || r.normalize > 0 || r.normalize < -60))
        throw UsageError{"--normalize must be from -60 to 0 dBFS"};

    const std::vector<std::pair<std::string, std::string>> pairs = PairInputsWithOutputs(r, oa);
    std::vector<Task> tasks;
    std::set<std::string> outputs;
    int failures = 0;
    for (const auto& p : pairs) {
        if (r.json && IsStdStream(p.second))
            throw UsageError{
                "--json prints its record on standard output, which - already carries the audio; "
                "name an output file"};
        Task t;
        if (!MakeTask(p, base, oa, outputs, t)) {
            ++failures;
            continue;
        }
        if (tasks.empty())
            t.job.plotFile = oa.plot;
        tasks.push_back(std::move(t));
    }
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    const int jobs = r.jobs > 0 ? r.jobs : cores;
    // Renders that run at once share the threads, so that -j never asks for more than --threads.
    const int parallel = std::max(1, std::min<int>(jobs, static_cast<int>(tasks.size())));
    const int threadsEach = std::max(1, (r.threads > 0 ? r.threads : cores) / parallel);
    for (Task& t : tasks)
        t.job.threads = threadsEach;
    RunTasks(tasks, jobs, oa.quiet, {});
    failures += ReportTasks(tasks, oa.quiet, r.json);
    if (failures > 0 && pairs.size() > 1)
        Say("halvane: " + std::to_string(failures) + " of " + std::to_string(pairs.size()) +
            " renders failed");
    return failures > 0 ? kExitFailed : kExitOk;
}

int RunDemo(const std::string& outArg, const std::string& preset, const OutputArgs& oa, bool exact,
            const EffectSettings& ears) {
    const std::string out = outArg.empty() ? "halvane-demo.wav" : outArg;
    Task t;
    t.job.effect.smooth = !exact;
    ApplyOutputArgs(oa, out, t.job);
    t.job.effect.headphones = ears.headphones;
    t.job.effect.hrtf = ears.hrtf;
    t.job.effect.listenerGiven = ears.listenerGiven;
    t.job.effect.listener = ears.listener;
    // The default demo file is the tool's own and is replaced on every run.
    t.job.overwrite = oa.force || outArg.empty();
    if (!OutputWritable(out, t.job.overwrite, oa.quiet))
        return kExitFailed;
    if (!preset.empty())
        ApplyPreset(FindPresetOrThrow(preset), PresetOverrides{}, t.job.effect);
    const int rate = 48000;
    MemoryInput clip = MakeDemoClip(rate);
    const double seconds = static_cast<double>(clip.frames()) / rate;
    t.job.motion = DemoMotion(t.job.effect.roomWidth, t.job.effect.roomDepth, seconds);
    t.job.plotFile = oa.plot;
    t.job.tail.automatic = true; // the reverb rings out instead of stopping with the tune
    std::vector<Task> tasks;
    tasks.push_back(std::move(t));
    RunTasks(tasks, 1, oa.quiet, {&clip});
    if (ReportTasks(tasks, oa.quiet, false) > 0)
        return kExitFailed;
    if (!oa.quiet)
        Say(std::string("  a plucked tune circling the room once, ") +
            (ears.headphones ? "5.1 heard through headphones (left, right)" : "5.1 (FL FR FC LFE BL BR)") +
            ", 48000 Hz");
    return kExitOk;
}

struct EarsArgs {
    std::vector<std::string> files;
    std::string layout; // empty: from the input's channel count
    std::string room = "3x3";
    EffectSettings fx;
};

// The layout of a speaker file: the one --layout names, or the one with its channel count (the
// layout FLAC also labels so when two share a count).
const LayoutInfo* LayoutOfSpeakerFile(const std::string& name, int channels) {
    if (!name.empty()) {
        const LayoutInfo* l = FindLayout(name);
        if (!l)
            throw UsageError{"--layout " + name + ": not a layout (" + LayoutNames() + ")"};
        return l;
    }
    const LayoutInfo* found = nullptr;
    for (const LayoutInfo& l : AllLayouts())
        if (l.channels == channels && (!found || (l.flacLabelled && !found->flacLabelled)))
            found = &l;
    if (!found)
        throw UsageError{"no layout has " + std::to_string(channels) + " channels (" + LayoutNames() + ")"};
    return found;
}

int RunEars(const EarsArgs& a, const OutputArgs& oa) {
    if (a.files.size() != 2)
        throw UsageError{"headphones takes IN OUT"};
    if (!oa.plot.empty())
        throw UsageError{"headphones draws no room; halvane plot --headphones does"};
    int mostChannels = 0;
    for (const LayoutInfo& l : AllLayouts())
        mostChannels = std::max(mostChannels, l.channels);
    SoundFileInput in;
    std::string error;
    if (!in.Open(a.files[0], error, mostChannels)) {
        Say("halvane: " + a.files[0] + ": " + error);
        return kExitFailed;
    }
    Task t;
    t.job.effect = a.fx;
    t.job.effect.headphones = true;
    t.job.effect.layout = LayoutOfSpeakerFile(a.layout, in.channels())->code;
    if (!ParseRoom(a.room, t.job.effect.roomWidth, t.job.effect.roomDepth, error))
        throw UsageError{error};
    ApplyOutputArgs(oa, a.files[1], t.job);
    if (!IsStdStream(a.files[0]) && (SameFile(a.files[0], a.files[1]) || a.files[0] == a.files[1]))
        throw UsageError{a.files[1] + " is the input itself; choose another output"};
    if (!OutputWritable(a.files[1], oa.force, oa.quiet))
        return kExitFailed;
    if (!RenderSpeakersToEars(in, t.job, error)) {
        Say("halvane: " + a.files[0] + ": " + error);
        return kExitFailed;
    }
    if (!oa.quiet)
        Say("wrote " + a.files[1] + " (" + LayoutOfCode(t.job.effect.layout)->name +
            " heard through headphones)");
    return kExitOk;
}

int RunPresets(bool json) {
    if (json) {
        std::vector<std::string> presets;
        for (const HalvanePreset& p : HALVANE_PRESETS)
            presets.push_back(JsonObject({{"name", JsonString(p.name)},
                                          {"label", JsonString(p.label)},
                                          {"description", JsonString(p.description)},
                                          {"room_width", JsonNumber(p.roomWidth)},
                                          {"room_depth", JsonNumber(p.roomDepth)},
                                          {"source_x", JsonNumber(p.sourceX)},
                                          {"source_y", JsonNumber(p.sourceY)},
                                          {"volume", JsonNumber(p.volume)},
                                          {"reverb_wet", JsonNumber(p.reverbWet)},
                                          {"reverb_dry", JsonNumber(p.reverbDry)},
                                          {"absorb", JsonNumber(p.absorb)},
                                          {"hf_decay", JsonNumber(p.hfDecay)},
                                          {"corner_crossfeed", p.cornerCrossfeed ? "true" : "false"},
                                          {"options", JsonString(PresetOptions(p))}}));
        std::printf("%s\n", JsonArray(presets).c_str());
        return kExitOk;
    }
    std::printf(
        "Room presets (--preset NAME); each stands for the options below it; give one of them as well "
        "to change that value.\n");
    for (const HalvanePreset& p : HALVANE_PRESETS)
        std::printf("\n%-14s %s: %s\n               %s\n", p.name, p.label, p.description,
                    PresetOptions(p).c_str());
    return kExitOk;
}

// The layouts as one JSON record: codes, names, channel masks, ffprobe's names and the speakers
// with their places in the room.
std::string LayoutsJson(float w, float d) {
    std::vector<std::string> layouts;
    for (const LayoutInfo& l : AllLayouts()) {
        const std::vector<Point> pos = SpeakerPositions(l.code, w, d);
        std::vector<std::string> speakers;
        for (int c = 0; c < l.channels; ++c) {
            const SpeakerInfo* s = SpeakerOfBit(l.speakers[c]);
            const bool placed = s->bit != 8; // the LFE speaker carries bass only and has no place
            speakers.push_back(JsonObject({{"channel", std::to_string(c)},
                                           {"name", JsonString(s->name)},
                                           {"long_name", JsonString(s->longName)},
                                           {"bit", std::to_string(s->bit)},
                                           {"x", placed ? JsonNumber(pos[c].x) : "null"},
                                           {"y", placed ? JsonNumber(pos[c].y) : "null"}}));
        }
        layouts.push_back(JsonObject({{"code", std::to_string(l.code)},
                                      {"name", JsonString(l.name)},
                                      {"channels", std::to_string(l.channels)},
                                      {"channel_mask", std::to_string(ChannelMask(l.speakers))},
                                      {"ffprobe_layout", JsonString(l.probeName)},
                                      {"flac", l.flacLabelled ? "true" : "false"},
                                      {"speakers", JsonArray(speakers)}}));
    }
    const std::string room = JsonObject({{"width", JsonNumber(w)}, {"depth", JsonNumber(d)}});
    return JsonObject({{"room", room}, {"layouts", JsonArray(layouts)}});
}

int RunLayouts(const std::string& roomText, bool json) {
    float w = 3, d = 3;
    std::string error;
    if (!ParseRoom(roomText, w, d, error))
        throw UsageError{error};
    if (json) {
        std::printf("%s\n", LayoutsJson(w, d).c_str());
        return kExitOk;
    }
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
            if (s->bit == HALVANE_LFE)
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
    if (rate < kMinRate || rate > static_cast<int>(HALVANE_MAX_SAMPLE_RATE))
        throw UsageError{"--rate must be from " + std::to_string(kMinRate) + " to " +
                         std::to_string(HALVANE_MAX_SAMPLE_RATE) + " Hz"};
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

// Everything the command line holds, one member per subcommand's arguments.
struct CommandLine {
    RenderArgs render;
    EffectArgs renderEffect;
    OutputArgs renderOut;
    std::string demoOut;
    OutputArgs demoOutput;
    bool demoExact = false;
    std::string demoPreset;
    bool presetsJson = false;
    EffectSettings demoEars;
    EarsArgs ears;
    OutputArgs earsOut;
    std::string layoutsRoom = DefaultRoom();
    bool layoutsJson = false;
    EffectArgs plotEffect;
    int plotRate = 48000;
    bool plotNoDelay = false;
    std::string plotOut;
};

CLI::App* AddRenderCommand(CLI::App& app, CommandLine& c) {
    RenderArgs& ra = c.render;
    CLI::App* render = app.add_subcommand("render", "Render IN to OUT, or several inputs into -o DIR");
    render->add_option("files", ra.files, "IN OUT, or inputs with -o DIR; - is standard input or output")
        ->required()
        ->type_name("FILE");
    render
        ->add_option("-o,--output-dir", ra.outDir,
                     "Write one output per input into DIR (batch; created if missing)")
        ->type_name("DIR");
    render->add_option("-j,--jobs", ra.jobs, "Renders in parallel (default: the number of cores)")
        ->check(CLI::Range(1, 256));
    render
        ->add_option("--threads", ra.threads,
                     "Threads the renders share (default: the number of cores). With two a render "
                     "processes on one while the other reads, writes and takes half of the reverb's "
                     "work; with three or more reading and writing get a thread each and the library "
                     "N - 2 workers. 1 renders on one thread; the output does not depend on it")
        ->check(CLI::Range(1, 256));
    render
        ->add_option("--block", ra.block,
                     "Frames handed to the library per call; the output does not "
                     "depend on it")
        ->capture_default_str();
    render
        ->add_option(
            "--tail", ra.tail,
            "Silence fed after the input so the delays and the reverb ring out: auto (until every "
            "speaker stays below -90 dBFS for 0.1 s, at most 30 s), 0 (the input's length) or SECONDS")
        ->capture_default_str()
        ->type_name("auto|SECONDS");
    ra.normalizeOption = render
                             ->add_option("--normalize", ra.normalize,
                                          "Scale the whole render so that its peak lands at DB dBFS "
                                          "(-60 .. 0; renders twice through a float scratch file)")
                             ->type_name("DB");
    render->add_flag("--json", ra.json,
                     "Print a JSON record of each render on standard output: files, frames, rate, layout, "
                     "peaks, clipped and non-finite samples, wall time, real-time factor");
    AddEffectOptions(render, c.renderEffect);
    AddHeadphoneOptions(render, c.renderEffect.fx, true);
    AddOutputOptions(render, c.renderOut, "from the output's extension, wav for -o");
    return render;
}

CLI::App* AddDemoCommand(CLI::App& app, CommandLine& c) {
    CLI::App* demo = app.add_subcommand("demo", "Render the built-in demo (a tune circling the room) to 5.1");
    demo->add_option("out", c.demoOut, "Output file (default: halvane-demo.wav, replaced on every run)")
        ->type_name("FILE");
    AddOutputOptions(demo, c.demoOutput, "from the output's extension");
    demo->add_flag("--exact", c.demoExact, kExactHelp);
    demo->add_option("--preset", c.demoPreset,
                     "Room preset: " + PresetNames() + " (halvane presets describes them)")
        ->type_name("NAME");
    AddHeadphoneOptions(demo, c.demoEars, true);
    return demo;
}

CLI::App* AddPresetsCommand(CLI::App& app, CommandLine& c) {
    CLI::App* presets =
        app.add_subcommand("presets", "List the room presets and the options each stands for");
    presets->add_flag(
        "--json", c.presetsJson,
        "Print the presets as one JSON record: names, labels, descriptions, values and options");
    return presets;
}

CLI::App* AddEarsCommand(CLI::App& app, CommandLine& c) {
    CLI::App* ears = app.add_subcommand(
        "headphones", "Hear a speaker file (5.1, 7.1 ...) through headphones: its speakers become virtual "
                      "speakers on the walls of the room, seen from its centre");
    ears->add_option("files", c.ears.files, "IN OUT")->required()->type_name("FILE");
    ears->add_option("--layout", c.ears.layout,
                     "Layout of IN: " + LayoutNames() + " (default: the one with IN's channel count)")
        ->type_name("NAME");
    ears->add_option("--room", c.ears.room, "Room size WIDTHxDEPTH in metres")
        ->capture_default_str()
        ->type_name("WxD");
    ears->add_option("--hrtf", c.ears.fx.hrtf,
                     std::string("SOFA file (default: ") + CHalvaneHeadphones::DefaultHrtfFile() + ")")
        ->type_name("FILE.sofa");
    AddListenerOption(ears, c.ears.fx);
    AddOutputOptions(ears, c.earsOut, "from the output's extension");
    return ears;
}

CLI::App* AddLayoutsCommand(CLI::App& app, CommandLine& c) {
    CLI::App* layouts =
        app.add_subcommand("layouts", "List the speaker layouts with channel order and positions");
    layouts->add_option("--room", c.layoutsRoom, "Room size WIDTHxDEPTH in metres")
        ->capture_default_str()
        ->type_name("WxD");
    layouts->add_flag("--json", c.layoutsJson,
                      "Print the layouts as one JSON record: codes, names, channel masks, ffprobe's names, "
                      "speakers and their positions");
    return layouts;
}

CLI::App* AddPlotCommand(CLI::App& app, CommandLine& c) {
    CLI::App* plot = app.add_subcommand("plot", "Draw the room, speakers, source, gains and delays as SVG");
    AddPlacementOptions(plot, c.plotEffect);
    plot->add_option("--rate", c.plotRate, "Sample rate at which the delays are counted in samples")
        ->capture_default_str()
        ->type_name("HZ");
    plot->add_option("--lfe-cutoff", c.plotEffect.fx.lfeCutoff, "LFE cut-off shown in the picture")
        ->capture_default_str()
        ->type_name("HZ");
    plot->add_flag("--no-propagation-delay", c.plotNoDelay, "Show the speakers without travel-time delays");
    AddHeadphoneOptions(plot, c.plotEffect.fx, false);
    plot->add_option("-o,--output", c.plotOut, "SVG file to write (default: standard output)")
        ->type_name("FILE");
    return plot;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"halvane " HALVANE_VERSION " - renders mono or stereo audio for a surround speaker system:\n"
                 "places the sound in a room, derives the LFE channel and adds room reverb."};
    app.set_version_flag("--version", "halvane " HALVANE_VERSION);
    app.require_subcommand(1);
    app.footer("Exit codes: 0 done, 1 a file could not be processed, 2 the command line is wrong.\n");
    CommandLine c;
    const CLI::App* render = AddRenderCommand(app, c);
    const CLI::App* demo = AddDemoCommand(app, c);
    const CLI::App* presets = AddPresetsCommand(app, c);
    const CLI::App* layouts = AddLayoutsCommand(app, c);
    const CLI::App* plot = AddPlotCommand(app, c);
    const CLI::App* ears = AddEarsCommand(app, c);

    // The build writes the manual page from this table (not an option: it is no use to a person).
    if (argc == 2 && std::string(argv[1]) == "--man-page") {
        std::fputs(ManPage(app, HALVANE_VERSION).c_str(), stdout);
        return kExitOk;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? kExitOk : kExitUsage;
    }

    try {
        InstallLibraryMessageHandler();
        if (*render || *demo || *ears)
            InstallInterruptCleanup();
        if (*render)
            return RunRender(c.render, c.renderEffect, c.renderOut);
        if (*demo)
            return RunDemo(c.demoOut, c.demoPreset, c.demoOutput, c.demoExact, c.demoEars);
        if (*presets)
            return RunPresets(c.presetsJson);
        if (*layouts)
            return RunLayouts(c.layoutsRoom, c.layoutsJson);
        if (*plot)
            return RunPlot(c.plotEffect, c.plotRate, c.plotNoDelay, c.plotOut);
        if (*ears)
            return RunEars(c.ears, c.earsOut);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "halvane: %s\nRun with --help for more information.\n", e.message.c_str());
        return kExitUsage;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "halvane: out of memory\n");
        return kExitFailed;
    }
    return kExitUsage;
}
