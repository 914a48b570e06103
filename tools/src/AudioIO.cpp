#include "AudioIO.h"

#include "Layouts.h"

#include <sndfile.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

namespace halvane_cli {

namespace {

// Temporary files of renders in progress, removed on interruption.
std::mutex g_tempMutex;
std::set<std::string>& TempFiles() {
    static std::set<std::string> files;
    return files;
}

void RegisterTemp(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_tempMutex);
    TempFiles().insert(path);
}

void UnregisterTemp(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_tempMutex);
    TempFiles().erase(path);
}

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A file cut short (an interrupted copy or download) still opens: libsndfile reads the audio that
// is there and notes in its log that a chunk is shorter than its header says, as
// "data : 768000 (should be 199920)". Only a chunk that claims more than the file holds counts; a
// size of 0xFFFFFFFF is the "length unknown" of a WAV written to a pipe, not a promise.
bool IsTruncated(SNDFILE* file) {
    char log[16384] = {};
    sf_command(file, SFC_GET_LOG_INFO, log, sizeof log);
    for (const char* at = std::strstr(log, "(should be "); at; at = std::strstr(at + 1, "(should be ")) {
        const char* number = at;
        while (number > log && number[-1] == ' ')
            --number;
        while (number > log && std::isdigit(static_cast<unsigned char>(number[-1])))
            --number;
        const long long claimed = std::strtoll(number, nullptr, 10);
        const long long present = std::strtoll(at + std::strlen("(should be "), nullptr, 10);
        if (claimed > present && claimed != 0xFFFFFFFFLL)
            return true;
    }
    return false;
}

} // namespace

// ---- input ----

SoundFileInput::~SoundFileInput() {
    if (m_file)
        sf_close(m_file);
}

bool SoundFileInput::Open(const std::string& path, std::string& error) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        error = std::string("cannot open input: ") + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error = "input is a directory";
        return false;
    }
    SF_INFO info{};
    m_file = sf_open(path.c_str(), SFM_READ, &info);
    if (!m_file) {
        error = std::string("cannot read input: ") + sf_strerror(nullptr);
        return false;
    }
    if (IsTruncated(m_file)) {
        error = "input is truncated: its header promises more audio than the file holds";
        return false;
    }
    m_channels = info.channels;
    m_rate = info.samplerate;
    m_frames = (info.seekable && info.frames >= 0 && info.frames < INT64_MAX / 2) ? info.frames : -1;
    if (m_channels < 1 || m_channels > 2) {
        error =
            "input has " + std::to_string(m_channels) + " channels; halvane renders mono or stereo sources";
        return false;
    }
    if (m_rate < 1000 || m_rate > 768000) {
        error = "input sample rate " + std::to_string(m_rate) + " Hz is outside 1000 .. 768000 Hz";
        return false;
    }
    return true;
}

int64_t SoundFileInput::Read(float* interleaved, int64_t frames) {
    const sf_count_t got = sf_readf_float(m_file, interleaved, frames);
    if (got < frames && sf_error(m_file) != SF_ERR_NO_ERROR)
        return -1;
    return got;
}

std::string SoundFileInput::error() const {
    return m_file ? sf_strerror(m_file) : "not open";
}

// ---- conversion ----

bool FileTypeOfPath(const std::string& path, FileType& type) {
    const std::string lower = Lower(path);
    auto ends = [&](const char* ext) {
        const size_t n = std::strlen(ext);
        return lower.size() > n && lower.compare(lower.size() - n, n, ext) == 0;
    };
    if (ends(".wav")) {
        type = FileType::Wav;
        return true;
    }
    if (ends(".flac")) {
        type = FileType::Flac;
        return true;
    }
    return false;
}

double SampleConverter::NextUniform() {
    // xorshift64*: fast, and the same sequence on every platform.
    m_state ^= m_state >> 12;
    m_state ^= m_state << 25;
    m_state ^= m_state >> 27;
    return static_cast<double>((m_state * 0x2545F4914F6CDD1Dull) >> 11) * (1.0 / 9007199254740992.0);
}

int16_t SampleConverter::To16(float sample) {
    // Two uniform values in [0, 1) summed and centred give a triangular density over (-1, 1) LSB,
    // which makes the quantisation error independent of the signal.
    const double dither = NextUniform() + NextUniform() - 1.0;
    if (std::isnan(sample))
        return 0;
    const double v = std::nearbyint(static_cast<double>(sample) * 32768.0 + dither);
    return static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
}

int32_t SampleConverter::To24(float sample) {
    if (std::isnan(sample))
        return 0;
    const double v = std::nearbyint(static_cast<double>(sample) * 8388608.0);
    return static_cast<int32_t>(std::clamp(v, -8388608.0, 8388607.0)) * 256;
}

// ---- output ----

OutputFile::~OutputFile() {
    Abandon();
}

bool OutputFile::Open(const std::string& path, FileType type, SampleFormat format, int sampleRate,
                      const std::vector<int>& speakers, bool overwrite, int64_t expectedFrames,
                      std::string& error) {
    m_path = path;
    m_format = format;
    m_overwrite = overwrite;
    m_channels = static_cast<int>(speakers.size());
    for (size_t i = 1; i < speakers.size(); ++i)
        if (speakers[i] <= speakers[i - 1]) {
            error = "internal error: speakers out of order for the channel mask";
            return false;
        }

    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = m_channels;
    if (type == FileType::Flac) {
        if (format == SampleFormat::Float) {
            error = "FLAC stores integer samples only; use --bits 16 or --bits 24";
            return false;
        }
        // FLAC has no channel mask: its channel count alone names the speakers.
        bool labelled = false;
        for (const LayoutInfo& l : AllLayouts())
            labelled = labelled || (l.flacLabelled && l.speakers == speakers);
        if (!labelled) {
            error = "FLAC cannot label these speakers (" + std::to_string(m_channels) +
                    " channels of a non-standard order); write a .wav file instead";
            return false;
        }
        info.format = SF_FORMAT_FLAC | (format == SampleFormat::Pcm16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24);
    } else {
        // A plain WAVE_FORMAT_EXTENSIBLE file, which every reader knows, unless the data may pass
        // the 4 GiB a RIFF file can hold: then RF64, which falls back to RIFF if it stays small.
        const int bytes = format == SampleFormat::Pcm16 ? 2 : format == SampleFormat::Pcm24 ? 3 : 4;
        const bool small =
            expectedFrames >= 0 && expectedFrames < (int64_t{0xF0000000} / (bytes * m_channels));
        m_rf64 = !small;
        info.format =
            (small ? SF_FORMAT_WAVEX : SF_FORMAT_RF64) | (format == SampleFormat::Float   ? SF_FORMAT_FLOAT
                                                          : format == SampleFormat::Pcm16 ? SF_FORMAT_PCM_16
                                                                                          : SF_FORMAT_PCM_24);
    }
    if (!sf_format_check(&info)) {
        error = "libsndfile cannot write this format";
        return false;
    }

    std::string temp = DirectoryOf(path) + "/." + BaseName(path) + ".halvane-XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0) {
        error = "cannot write to " + DirectoryOf(path) + ": " + std::strerror(errno);
        return false;
    }
    m_temp = name.data();
    RegisterTemp(m_temp);
    m_file = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    if (!m_file) {
        // libsndfile closes the descriptor itself when it fails here.
        error = std::string("cannot create output: ") + sf_strerror(nullptr);
        Abandon();
        return false;
    }
    if (type == FileType::Wav) {
        // The PEAK chunk carries the time of writing; without it the same render gives the same file.
        sf_command(m_file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
        if (m_rf64)
            sf_command(m_file, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
        std::vector<int> map;
        for (int bit : speakers)
            map.push_back(SpeakerOfBit(bit)->sndfileChannel);
        if (sf_command(m_file, SFC_SET_CHANNEL_MAP_INFO, map.data(),
                       static_cast<int>(map.size() * sizeof(int))) != SF_TRUE) {
            error = "libsndfile refused the channel mask of the output";
            Abandon();
            return false;
        }
    }
    return true;
}

namespace {

// Planar float channels to one interleaved buffer of the file's sample type.
template <typename T, typename Convert>
T* Interleave(const float* const* channels, int frames, int nChannels, std::vector<T>& out, Convert convert) {
    out.resize(static_cast<size_t>(frames) * static_cast<size_t>(nChannels));
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < nChannels; ++c)
            out[static_cast<size_t>(i) * nChannels + c] = convert(channels[c][i]);
    return out.data();
}

} // namespace

bool OutputFile::Write(const float* const* channels, int frames, std::string& error) {
    if (frames <= 0)
        return true;
    sf_count_t written = 0;
    switch (m_format) {
    case SampleFormat::Float: {
        const float* data = Interleave(channels, frames, m_channels, m_float, [](float s) { return s; });
        written = sf_writef_float(m_file, data, frames);
        break;
    }
    case SampleFormat::Pcm16: {
        auto dither = [this](float s) { return m_converter.To16(s); };
        written = sf_writef_short(m_file, Interleave(channels, frames, m_channels, m_short, dither), frames);
        break;
    }
    case SampleFormat::Pcm24: {
        auto round = [this](float s) { return m_converter.To24(s); };
        written = sf_writef_int(m_file, Interleave(channels, frames, m_channels, m_int, round), frames);
        break;
    }
    }
    if (written != frames) {
        error = std::string("write error: ") + sf_strerror(m_file);
        return false;
    }
    return true;
}

bool OutputFile::Commit(std::string& error) {
    if (!m_file) {
        error = "output is not open";
        return false;
    }
    sf_write_sync(m_file);
    const int err = sf_error(m_file);
    const int closed = sf_close(m_file);
    m_file = nullptr;
    if (err != SF_ERR_NO_ERROR || closed != 0) {
        error = std::string("write error: ") + sf_error_number(err != SF_ERR_NO_ERROR ? err : closed);
        Abandon();
        return false;
    }
    // mkstemp creates the file for its owner only; give it the permissions a new file gets.
    const mode_t mask = umask(0);
    umask(mask);
    chmod(m_temp.c_str(), 0666 & ~mask);
    if (m_overwrite) {
        if (rename(m_temp.c_str(), m_path.c_str()) != 0) {
            error = "cannot move the output into place: " + std::string(std::strerror(errno));
            Abandon();
            return false;
        }
    } else {
        // link refuses an existing name, so a file that appeared meanwhile is never replaced.
        if (link(m_temp.c_str(), m_path.c_str()) != 0) {
            const int e = errno;
            if (e == EEXIST) {
                error = m_path + " exists; use --force to overwrite it";
                Abandon();
                return false;
            }
            struct stat st {};
            if (stat(m_path.c_str(), &st) == 0 || rename(m_temp.c_str(), m_path.c_str()) != 0) {
                error = "cannot move the output into place: " + std::string(std::strerror(e));
                Abandon();
                return false;
            }
        } else {
            unlink(m_temp.c_str());
        }
    }
    UnregisterTemp(m_temp);
    m_temp.clear();
    return true;
}

void OutputFile::Abandon() {
    if (m_file) {
        sf_close(m_file);
        m_file = nullptr;
    }
    if (!m_temp.empty()) {
        unlink(m_temp.c_str());
        UnregisterTemp(m_temp);
        m_temp.clear();
    }
}

void InstallInterruptCleanup() {
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    // A file size limit must show up as a write error, not end the process.
    std::signal(SIGXFSZ, SIG_IGN);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set]() {
        int sig = 0;
        if (sigwait(&set, &sig) != 0)
            return;
        {
            std::lock_guard<std::mutex> lock(g_tempMutex);
            for (const std::string& f : TempFiles())
                unlink(f.c_str());
        }
        const std::string message = std::string("halvane: interrupted by ") +
                                    (sig == SIGINT    ? "SIGINT"
                                     : sig == SIGTERM ? "SIGTERM"
                                                      : "SIGHUP") +
                                    "; unfinished outputs removed\n";
        const ssize_t written = write(STDERR_FILENO, message.data(), message.size());
        (void)written;
        _exit(128 + sig);
    }).detach();
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

} // namespace halvane_cli
