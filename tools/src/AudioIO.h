// Reading sources and writing speaker feeds through libsndfile. A file output is written to a
// temporary file beside its destination (TempFiles.h) and renamed into place only once it is
// complete, so a failed or interrupted render never leaves a partial file under the destination's
// name. A symlink is followed to the file it names, which is replaced the same way; standard output
// ("-"), a FIFO or a character device is written as a stream (StreamSink.h); nothing else that is
// not a regular file is written or replaced.
#ifndef HALVANE_TOOLS_AUDIOIO_H
#define HALVANE_TOOLS_AUDIOIO_H

#include "StreamSink.h"
#include "TempFiles.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace halvane_cli {

// Lowest sample rate the renderer takes (the library's own limit is HALVANE_MIN_SAMPLE_RATE): below
// it the default LFE cut-off lies above half the rate.
constexpr int kMinRate = 1000;

// Where the samples of a render come from.
class InputStream {
public:
    virtual ~InputStream() = default;
    virtual int channels() const = 0;
    virtual int sampleRate() const = 0;
    virtual int64_t frames() const = 0; // -1 when unknown
    // Reads up to `frames` interleaved frames; returns the count read, 0 at the end, -1 on error.
    virtual int64_t Read(float* interleaved, int64_t frames) = 0;
    virtual std::string error() const { return {}; }
};

class SoundFileInput : public InputStream {
public:
    SoundFileInput() = default;
    ~SoundFileInput() override;
    SoundFileInput(const SoundFileInput&) = delete;
    SoundFileInput& operator=(const SoundFileInput&) = delete;

    // "-" reads standard input, which may be a pipe. Refuses files of more than `maxChannels`
    // channels (sources are mono or stereo; speaker files for headphones have up to the largest
    // layout's count).
    bool Open(const std::string& path, std::string& error, int maxChannels = 2);
    int channels() const override { return m_channels; }
    int sampleRate() const override { return m_rate; }
    int64_t frames() const override { return m_frames; }
    int64_t Read(float* interleaved, int64_t frames) override;
    std::string error() const override;

private:
    SNDFILE* m_file = nullptr;
    int m_channels = 0;
    int m_rate = 0;
    int64_t m_frames = -1;
};

enum class FileType { Wav, Flac };
enum class SampleFormat { Float, Pcm16, Pcm24 };

// File type named by a path's extension (.wav or .flac); false when it names neither.
bool FileTypeOfPath(const std::string& path, FileType& type);

// Float samples to 16-bit with triangular (TPDF) dither of +-1 LSB, or to 24-bit by rounding.
// The dither generator is seeded per file, so the same render gives the same file.
class SampleConverter {
public:
    explicit SampleConverter(uint64_t seed = 0x9E3779B97F4A7C15ull) : m_state(seed) {}
    int16_t To16(float sample);
    int32_t To24(float sample); // the 24-bit value in the upper bits of an int32, as libsndfile takes it
    // Samples clamped to the format's range so far.
    int64_t clipped() const { return m_clipped; }

private:
    double NextUniform();
    uint64_t m_state;
    int64_t m_clipped = 0;
};

// Where planar frames go: the output file, or the scratch file between the passes of --normalize.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    // Writes `frames` frames from planar channels, one pointer per channel.
    virtual bool Write(const float* const* channels, int frames, std::string& error) = 0;
    // A little of the sink's own background work, for a thread that has nothing else to do;
    // false once there is none left.
    virtual bool Tidy() { return false; }
};

// Float frames kept between the two passes of --normalize: a headerless file beside the output (in
// the temporary folder for a stream), named and cleaned up like an output's temporary file, and
// removed when the object goes.
class ScratchFile : public FrameSink {
public:
    ScratchFile() = default;
    ~ScratchFile() override;
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    bool Create(const std::string& output, int channels, int sampleRate, std::string& error);
    bool Write(const float* const* channels, int frames, std::string& error) override;
    // Switches from writing to reading from the start.
    bool Rewind(std::string& error);
    // Reads up to `frames` interleaved frames; returns the count read, 0 at the end, -1 on error.
    int64_t Read(float* interleaved, int64_t frames);

private:
    SNDFILE* m_file = nullptr;
    TempFile m_temp;
    SF_INFO m_info{};
    std::vector<float> m_interleaved;
};

// The name for standard input or output on the command line.
inline bool IsStdStream(const std::string& path) {
    return path == "-";
}

// What an output path leads to once symlinks are followed.
struct OutputTarget {
    enum class Kind { NewFile, ExistingFile, Stream, Refused };
    Kind kind = Kind::NewFile;
    std::string path;   // the file written: the last symlink's target, or the path itself
    std::string reason; // why a Refused output cannot be written
};
OutputTarget ResolveOutput(const std::string& path);

class OutputFile : public FrameSink {
public:
    OutputFile() = default;
    ~OutputFile() override; // abandons the file unless Commit succeeded
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the temporary file beside `path` (or opens the stream it names) and labels its channels with
    // `speakers` (speaker bits, ascending). WAV files carry the channel mask; refuses anything that cannot be
    // labelled. `expectedFrames` (-1 when unknown) picks RF64 for WAV output that may reach 4 GiB.
    bool Open(const std::string& path, FileType type, SampleFormat format, int sampleRate,
              const std::vector<int>& speakers, bool overwrite, int64_t expectedFrames, std::string& error);
    // Writes `frames` frames from planar channels, one pointer per speaker.
    bool Write(const float* const* channels, int frames, std::string& error) override;
    // Samples clamped to the range of an integer format so far.
    int64_t clipped() const { return m_converter.clipped(); }
    // Finishes the file and moves it to its name; without `overwrite` never replaces a file.
    // A stream is finished in place.
    bool Commit(std::string& error);
    // Removes the temporary file.
    void Abandon();
    // Drops a piece of the page cache the file this one replaces holds (replacing it frees that
    // cache; done beforehand, while a thread is idle, the replacement waits less).
    bool Tidy() override;

private:
    bool OpenFile(SF_INFO& info, std::string& error);
    bool OpenStream(SF_INFO& info, std::string& error);
    bool LabelChannels(FileType type, const std::vector<int>& speakers, std::string& error);
    bool MoveIntoPlace(std::string& error);
    void StartWriteBack(int64_t bytes);

    SNDFILE* m_file = nullptr;
    std::string m_path; // the file written, symlinks followed
    TempFile m_temp;
    std::unique_ptr<StreamSink> m_stream;
    FileType m_type = FileType::Wav;
    SampleFormat m_format = SampleFormat::Float;
    bool m_overwrite = false;
    bool m_rf64 = false;
    int m_channels = 0;
    SampleConverter m_converter;
    std::vector<float> m_float;
    std::vector<int16_t> m_short;
    std::vector<int32_t> m_int;
    int64_t m_unflushed = 0; // bytes written since the last early write-back
    // The file to be replaced, while its cache is dropped: read-only, -1 when none or done.
    int m_old = -1;
    int64_t m_oldSize = 0;
    int64_t m_oldDropped = 0;
    void CloseOld();
};

// Whether two paths name the same existing file.
bool SameFile(const std::string& a, const std::string& b);
bool FileExists(const std::string& path);

} // namespace halvane_cli

#endif
