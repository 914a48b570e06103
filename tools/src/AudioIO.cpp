#include "AudioIO.h"

#include "Layouts.h"

#include <HalvaneLayouts.h>
#include <sndfile.h>

#include <fcntl.h>
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#endif
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

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A file cut short (an interrupted copy or download) still opens: libsndfile reads the audio that
// is there and notes in its log that a chunk is shorter than its header says, as
// "data : 888888 (should be 199920)". Only a chunk that claims more than the file holds counts; a
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

bool SoundFileInput::Open(const std::string& path, std::string& error, int maxChannels) {
    SF_INFO info{};
    if (IsStdStream(path)) {
        if (isatty(STDIN_FILENO)) {
            error = "standard input is a terminal; pipe a sound file into it, as in "
                    "ffmpeg -i film.mkv -f wav - | halvane render - out.wav";
            return false;
        }
        m_file = sf_open_fd(STDIN_FILENO, SFM_READ, &info, SF_FALSE);
    } else {
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) {
            error = std::string("cannot open input: ") + std::strerror(errno);
            return false;
        }
        if (S_ISDIR(st.st_mode)) {
            error = "input is a directory";
            return false;
        }
        m_file = sf_open(path.c_str(), SFM_READ, &info);
    }
    if (!m_file) {
        error = std::string("cannot read input: ") + sf_strerror(nullptr);
        if (IsStdStream(path))
            error +=
                "; through a pipe halvane reads WAV (ffmpeg -f wav -, sox -t wav -), other types from a file";
        return false;
    }
    if (IsTruncated(m_file)) {
        error = "input is truncated: its header promises more audio than the file holds";
        return false;
    }
    m_channels = info.channels;
    m_rate = info.samplerate;
    m_frames = (info.seekable && info.frames >= 0 && info.frames < INT64_MAX / 2) ? info.frames : -1;
    if (m_channels < 1 || m_channels > maxChannels) {
        error = "input has " + std::to_string(m_channels) + " channels; halvane renders " +
                (maxChannels == 2 ? std::string("mono or stereo sources")
                                  : "speaker files of up to " + std::to_string(maxChannels) + " channels");
        return false;
    }
    if (m_rate < kMinRate || m_rate > static_cast<int>(HALVANE_MAX_SAMPLE_RATE)) {
        error = "input sample rate " + std::to_string(m_rate) + " Hz is outside " + std::to_string(kMinRate) +
                " .. " + std::to_string(HALVANE_MAX_SAMPLE_RATE) + " Hz";
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
    m_clipped += v < -32768.0 || v > 32767.0;
    return static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
}

int32_t SampleConverter::To24(float sample) {
    if (std::isnan(sample))
        return 0;
    const double v = std::nearbyint(static_cast<double>(sample) * 8388608.0);
    m_clipped += v < -8388608.0 || v > 8388607.0;
    return static_cast<int32_t>(std::clamp(v, -8388608.0, 8388607.0)) * 256;
}

// ---- output ----

namespace {

// Links are followed one at a time, so a link to a file that does not exist yet names that file.
// A link whose target is no regular file is kept as it is: opening it reaches the stream, and
// links such as /dev/stdout -> /proc/self/fd/1 -> "pipe:[...]" name no path at all.
constexpr int kMaxSymlinks = 40; // as the kernel's own limit for one path

const char* NotWritable(mode_t mode) {
    if (S_ISDIR(mode))
        return "is a directory";
    if (S_ISBLK(mode))
        return "is a block device; halvane writes regular files, FIFOs and character devices only";
    return "is a socket or another special file; halvane writes regular files, FIFOs and character "
           "devices only";
}

} // namespace

OutputTarget ResolveOutput(const std::string& path) {
    OutputTarget t;
    t.path = path;
    if (IsStdStream(path)) {
        t.kind = OutputTarget::Kind::Stream;
        return t;
    }
    for (int hops = 0;; ++hops) {
        struct stat st {};
        if (lstat(t.path.c_str(), &st) != 0)
            return t; // a new file; a missing folder shows when the file is created
        if (S_ISLNK(st.st_mode)) {
            // /dev/stdout and /dev/fd/N lead to /proc/self/fd/N, a descriptor this process holds:
            // written as a stream whatever it is, so a shell's redirection is never replaced.
            if (t.path.rfind("/proc/", 0) == 0 || t.path.rfind("/dev/fd/", 0) == 0) {
                t.kind = OutputTarget::Kind::Stream;
                return t;
            }
            struct stat target {};
            const bool reached = stat(t.path.c_str(), &target) == 0;
            if (reached && !S_ISREG(target.st_mode))
                st = target;
            else {
                std::vector<char> link(PATH_MAX + 1, '\0');
                const ssize_t n = readlink(t.path.c_str(), link.data(), PATH_MAX);
                if (n <= 0 || hops >= kMaxSymlinks) {
                    t.kind = OutputTarget::Kind::Refused;
                    t.reason = "the symbolic link cannot be followed (a loop, or too many links)";
                    return t;
                }
                const std::string next(link.data(), static_cast<size_t>(n));
                t.path = next[0] == '/' ? next : DirectoryOf(t.path) + "/" + next;
                continue;
            }
        }
        if (S_ISREG(st.st_mode))
            t.kind = OutputTarget::Kind::ExistingFile;
        else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode))
            t.kind = OutputTarget::Kind::Stream;
        else {
            t.kind = OutputTarget::Kind::Refused;
            t.reason = NotWritable(st.st_mode);
        }
        return t;
    }
}

OutputFile::~OutputFile() {
    Abandon();
}

namespace {

// The libsndfile format of an output. A WAV file is plain WAVE_FORMAT_EXTENSIBLE, which every
// reader knows, unless its data may pass the 4 GiB a RIFF file can hold: then RF64, which falls
// back to RIFF if it stays small. A stream is never RF64: its sizes say "unknown" anyway.
bool ChooseFormat(FileType type, SampleFormat format, const std::vector<int>& speakers,
                  int64_t expectedFrames, bool stream, SF_INFO& info, bool& rf64, std::string& error) {
    const int channels = static_cast<int>(speakers.size());
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
            error = "FLAC cannot label these speakers (" + std::to_string(channels) +
                    " channels of a non-standard order); write a .wav file instead";
            return false;
        }
        info.format = SF_FORMAT_FLAC | (format == SampleFormat::Pcm16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24);
    } else {
        const int bytes = format == SampleFormat::Pcm16 ? 2 : format == SampleFormat::Pcm24 ? 3 : 4;
        const bool small = expectedFrames >= 0 && expectedFrames < (int64_t{0xF0000000} / (bytes * channels));
        rf64 = !small && !stream;
        info.format =
            (rf64 ? SF_FORMAT_RF64 : SF_FORMAT_WAVEX) | (format == SampleFormat::Float   ? SF_FORMAT_FLOAT
                                                         : format == SampleFormat::Pcm16 ? SF_FORMAT_PCM_16
                                                                                         : SF_FORMAT_PCM_24);
    }
    if (!sf_format_check(&info)) {
        error = "libsndfile cannot write this format";
        return false;
    }
    return true;
}

int BytesPerSample(SampleFormat format) {
    return format == SampleFormat::Pcm16 ? 2 : format == SampleFormat::Pcm24 ? 3 : 4;
}

} // namespace

bool OutputFile::Open(const std::string& path, FileType type, SampleFormat format, int sampleRate,
                      const std::vector<int>& speakers, bool overwrite, int64_t expectedFrames,
                      std::string& error) {
    m_type = type;
    m_format = format;
    m_overwrite = overwrite;
    m_channels = static_cast<int>(speakers.size());
    for (size_t i = 1; i < speakers.size(); ++i)
        if (speakers[i] <= speakers[i - 1]) {
            error = "internal error: speakers out of order for the channel mask";
            return false;
        }
    const OutputTarget target = ResolveOutput(path);
    if (target.kind == OutputTarget::Kind::Refused) {
        error = "cannot write " + path + ": it " + target.reason;
        return false;
    }
    m_path = target.path;
    const bool stream = target.kind == OutputTarget::Kind::Stream;
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = m_channels;
    if (!ChooseFormat(type, format, speakers, expectedFrames, stream, info, m_rf64, error))
        return false;
    if (!(stream ? OpenStream(info, error) : OpenFile(info, error)))
        return false;
    return LabelChannels(type, speakers, error);
}

bool OutputFile::OpenFile(SF_INFO& info, std::string& error) {
    if (!CreateTempBeside(m_path, m_temp, error))
        return false;
    if (m_overwrite) {
        // A regular file it will replace: opened to drop its cache when a thread has time (Tidy).
        const int old = open(m_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        struct stat st {};
        if (old >= 0 && fstat(old, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
            m_old = old;
            m_oldSize = st.st_size;
            m_oldDropped = 0;
        } else if (old >= 0) {
            close(old);
        }
    }
    m_file = sf_open_fd(m_temp.fd, SFM_WRITE, &info, SF_TRUE);
    if (!m_file) {
        // libsndfile closes the descriptor itself when it fails here.
        error = std::string("cannot create output: ") + sf_strerror(nullptr);
        Abandon();
        return false;
    }
    return true;
}

bool OutputFile::OpenStream(SF_INFO& info, std::string& error) {
    const bool stdOut = IsStdStream(m_path);
    const int fd = stdOut ? STDOUT_FILENO : open(m_path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + m_path + ": " + std::strerror(errno);
        return false;
    }
    m_stream = std::make_unique<StreamSink>(fd, !stdOut);
    if (isatty(fd)) {
        error = (stdOut ? std::string("standard output") : m_path) +
                " is a terminal; redirect the output to a file or pipe it into a player";
        m_stream.reset();
        return false;
    }
    m_file = sf_open_virtual(m_stream->io(), SFM_WRITE, &info, m_stream.get());
    if (!m_file) {
        error = std::string("cannot create output: ") + sf_strerror(nullptr);
        m_stream.reset();
        return false;
    }
    return true;
}

bool OutputFile::LabelChannels(FileType type, const std::vector<int>& speakers, std::string& error) {
    if (type != FileType::Wav)
        return true;
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

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
// Eight frames at a time: the eight channels' samples transposed in registers, each frame stored
// whole. A frame of n < 8 channels is stored with eight lanes, the last 8 - n of which land on the
// next frame's first samples and are overwritten when that frame is stored, so the last frame is
// left to the caller. Returns the frames done.
__attribute__((target("avx2"))) int InterleaveFloat8(const float* const* channels, int frames, int n,
                                                     float* out) {
    const float* src[8];
    for (int c = 0; c < 8; ++c)
        src[c] = channels[c < n ? c : 0]; // lanes past the frame: any samples, overwritten
    int i = 0;
    for (; i + 8 < frames; i += 8) {
        __m256 r[8];
        for (int c = 0; c < 8; ++c)
            r[c] = _mm256_loadu_ps(src[c] + i);
        const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
        const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
        const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
        const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
        const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
        const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
        const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
        const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
        float* d = out + static_cast<size_t>(i) * n;
        _mm256_storeu_ps(d, _mm256_permute2f128_ps(u0, u4, 0x20));
        _mm256_storeu_ps(d + n, _mm256_permute2f128_ps(u1, u5, 0x20));
        _mm256_storeu_ps(d + 2 * n, _mm256_permute2f128_ps(u2, u6, 0x20));
        _mm256_storeu_ps(d + 3 * n, _mm256_permute2f128_ps(u3, u7, 0x20));
        _mm256_storeu_ps(d + 4 * n, _mm256_permute2f128_ps(u0, u4, 0x31));
        _mm256_storeu_ps(d + 5 * n, _mm256_permute2f128_ps(u1, u5, 0x31));
        _mm256_storeu_ps(d + 6 * n, _mm256_permute2f128_ps(u2, u6, 0x31));
        _mm256_storeu_ps(d + 7 * n, _mm256_permute2f128_ps(u3, u7, 0x31));
    }
    return i;
}
#endif

// The same for float samples, which need no conversion: by transposes where the processor has
// them, otherwise one channel at a time, a loop the compiler keeps tight.
float* InterleaveFloat(const float* const* channels, int frames, int nChannels, std::vector<float>& out) {
    out.resize(static_cast<size_t>(frames) * static_cast<size_t>(nChannels));
    int done = 0;
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2 && nChannels <= 8)
        done = InterleaveFloat8(channels, frames, nChannels, out.data());
#endif
    for (int c = 0; c < nChannels; ++c) {
        const float* src = channels[c];
        float* dst = out.data() + c;
        for (int i = done; i < frames; ++i)
            dst[static_cast<size_t>(i) * nChannels] = src[i];
    }
    return out.data();
}

} // namespace

// The disk starts on what is written every few megabytes, so that the sync before the file takes
// its name (Commit) finds little left to wait for.
void OutputFile::StartWriteBack(int64_t bytes) {
#ifdef __linux__
    constexpr int64_t EVERY = 8 << 20;
    m_unflushed += bytes;
    if (m_temp.fd >= 0 && !m_stream && m_unflushed >= EVERY) {
        sync_file_range(m_temp.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
        m_unflushed = 0;
    }
#else
    (void)bytes;
#endif
}

bool OutputFile::Write(const float* const* channels, int frames, std::string& error) {
    if (frames <= 0)
        return true;
    sf_count_t written = 0;
    switch (m_format) {
    case SampleFormat::Float: {
        const float* data = InterleaveFloat(channels, frames, m_channels, m_float);
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
    // The first samples complete a stream's header, which can then go out.
    const bool sent = !m_stream || m_stream->Release(int64_t{frames} * m_channels * BytesPerSample(m_format),
                                                     m_type == FileType::Wav);
    StartWriteBack(int64_t{frames} * m_channels * BytesPerSample(m_format));
    if (written != frames || !sent) {
        const bool streamFailed = m_stream && m_stream->failed();
        error = "write error: " + (streamFailed ? m_stream->error() : std::string(sf_strerror(m_file)));
        return false;
    }
    return true;
}

bool OutputFile::Commit(std::string& error) {
    CloseOld();
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
    if (m_stream) {
        const bool sent = m_stream->Finish();
        if (!sent)
            error = "write error: " + m_stream->error();
        m_stream.reset();
        return sent;
    }
    return MoveIntoPlace(error);
}

bool OutputFile::MoveIntoPlace(std::string& error) {
    // mkstemp creates the file for its owner only: a replaced file keeps its permissions, a new
    // one gets those a new file gets.
    struct stat old {};
    const mode_t mask = umask(0);
    umask(mask);
    const bool replacing = stat(m_path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    chmod(m_temp.path.c_str(), replacing ? (old.st_mode & 07777) : (0666 & ~mask));
    const char* temp = m_temp.path.c_str();
    if (m_overwrite) {
        if (rename(temp, m_path.c_str()) != 0) {
            error = "cannot move the output into place: " + std::string(std::strerror(errno));
            Abandon();
            return false;
        }
    } else if (link(temp, m_path.c_str()) == 0) {
        // link refuses an existing name, so a file that appeared meanwhile is never replaced.
        unlink(temp);
    } else {
        const int e = errno;
        struct stat st {};
        if (e == EEXIST)
            error = m_path + " exists; use --force to overwrite it";
        else if (lstat(m_path.c_str(), &st) == 0 || rename(temp, m_path.c_str()) != 0)
            error = "cannot move the output into place: " + std::string(std::strerror(e));
        if (!error.empty()) {
            Abandon();
            return false;
        }
    }
    ReleaseTemp(m_temp, false);
    return true;
}

bool OutputFile::Tidy() {
    if (m_old < 0)
        return false;
#ifdef POSIX_FADV_DONTNEED
    // A quarter megabyte at a time (about 10 us here): the thread stays quick to answer.
    constexpr int64_t PIECE = 256 << 10;
    m_oldDropped += PIECE;
    if (m_oldDropped < m_oldSize) {
        posix_fadvise(m_old, m_oldDropped - PIECE, PIECE, POSIX_FADV_DONTNEED);
        return true;
    }
    // The whole file last: what a piece left behind (pages still on another processor's list of
    // recent pages) the kernel gathers up for a drop over the whole range.
    posix_fadvise(m_old, 0, 0, POSIX_FADV_DONTNEED);
#endif
    CloseOld();
    return true;
}

void OutputFile::CloseOld() {
    if (m_old >= 0)
        close(m_old);
    m_old = -1;
}

void OutputFile::Abandon() {
    CloseOld();
    if (m_file) {
        sf_close(m_file);
        m_file = nullptr;
    }
    m_stream.reset();
    ReleaseTemp(m_temp, true);
}

// ---- scratch ----

ScratchFile::~ScratchFile() {
    if (m_file)
        sf_close(m_file);
    if (m_temp.fd >= 0)
        close(m_temp.fd);
    ReleaseTemp(m_temp, true);
}

bool ScratchFile::Create(const std::string& output, int channels, int sampleRate, std::string& error) {
    std::string beside = ResolveOutput(output).path;
    if (ResolveOutput(output).kind == OutputTarget::Kind::Stream) {
        const char* tmp = std::getenv("TMPDIR");
        beside = std::string(tmp && *tmp ? tmp : "/tmp") + "/halvane-" + BaseName(beside);
    }
    if (!CreateTempBeside(beside, m_temp, error))
        return false;
    m_info.samplerate = sampleRate;
    m_info.channels = channels;
    m_info.format = SF_FORMAT_RAW | SF_FORMAT_FLOAT;
    SF_INFO info = m_info;
    m_file = sf_open_fd(m_temp.fd, SFM_WRITE, &info, SF_FALSE);
    if (!m_file)
        error = std::string("cannot create the scratch file for --normalize: ") + sf_strerror(nullptr);
    return m_file != nullptr;
}

bool ScratchFile::Write(const float* const* channels, int frames, std::string& error) {
    const float* data =
        Interleave(channels, frames, m_info.channels, m_interleaved, [](float s) { return s; });
    if (frames > 0 && sf_writef_float(m_file, data, frames) != frames) {
        error = std::string("write error in the scratch file for --normalize: ") + sf_strerror(m_file);
        return false;
    }
    return true;
}

bool ScratchFile::Rewind(std::string& error) {
    const bool written = sf_close(m_file) == 0;
    SF_INFO info = m_info;
    m_file = written && lseek(m_temp.fd, 0, SEEK_SET) == 0 ? sf_open_fd(m_temp.fd, SFM_READ, &info, SF_FALSE)
                                                           : nullptr;
    if (!m_file)
        error = "cannot read back the scratch file for --normalize";
    return m_file != nullptr;
}

int64_t ScratchFile::Read(float* interleaved, int64_t frames) {
    const sf_count_t got = sf_readf_float(m_file, interleaved, frames);
    return got < frames && sf_error(m_file) != SF_ERR_NO_ERROR ? -1 : got;
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
