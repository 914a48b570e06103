// Reading sources and writing speaker feeds through libsndfile. An output is written to a hidden
// temporary file beside its destination and renamed into place only once it is complete, so a
// failed or interrupted render never leaves a partial file under the destination's name.
#ifndef HALVANE_TOOLS_AUDIOIO_H
#define HALVANE_TOOLS_AUDIOIO_H

#include <cstdint>
#include <string>
#include <vector>

typedef struct sf_private_tag SNDFILE;

namespace halvane_cli {

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

    bool Open(const std::string& path, std::string& error);
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

private:
    double NextUniform();
    uint64_t m_state;
};

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile(); // abandons the file unless Commit succeeded
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the temporary file beside `path` and labels its channels with `speakers` (speaker
    // bits, ascending). WAV files carry the channel mask; refuses anything that cannot be labelled.
    // `expectedFrames` (-1 when unknown) picks RF64 for WAV output that may reach 4 GiB.
    bool Open(const std::string& path, FileType type, SampleFormat format, int sampleRate,
              const std::vector<int>& speakers, bool overwrite, int64_t expectedFrames, std::string& error);
    // Writes `frames` frames from planar channels, one pointer per speaker.
    bool Write(const float* const* channels, int frames, std::string& error);
    // Finishes the file and moves it to its name; without `overwrite` never replaces a file.
    bool Commit(std::string& error);
    // Removes the temporary file.
    void Abandon();

private:
    SNDFILE* m_file = nullptr;
    std::string m_path;
    std::string m_temp;
    SampleFormat m_format = SampleFormat::Float;
    bool m_overwrite = false;
    bool m_rf64 = false;
    int m_channels = 0;
    SampleConverter m_converter;
    std::vector<float> m_float;
    std::vector<int16_t> m_short;
    std::vector<int32_t> m_int;
};

// Temporary files of unfinished renders are removed when the process is interrupted (SIGINT,
// SIGTERM, SIGHUP). Call before starting any thread; the handler thread removes the files and
// exits with 128 + the signal number.
void InstallInterruptCleanup();

// Whether two paths name the same existing file.
bool SameFile(const std::string& a, const std::string& b);
bool FileExists(const std::string& path);

} // namespace halvane_cli

#endif
