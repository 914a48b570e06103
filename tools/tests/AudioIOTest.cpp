#include "AudioIO.h"

#include "Layouts.h"

#include <Halvane.h>
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/mman.h>
#include <unistd.h>

using namespace halvane_cli;

namespace {

std::string TempDir() {
    char name[] = "/tmp/halvane-cli-test-XXXXXX";
    return mkdtemp(name);
}

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        out.push_back(entry.path().filename().string());
    return out;
}

} // namespace

TEST(SampleConverter, RoundingClampingAndDither) {
    SampleConverter conv;
    const struct {
        float in;
        int32_t out24;
    } cases[] = {{0.0f, 0},
                 {0.5f, 4194304},
                 {-1.0f, -8388608},
                 {1.0f, 8388607},
                 {1.5f, 8388607},
                 {-3.0f, -8388608},
                 {NAN, 0},
                 {1.0f / 8388608.0f, 1},
                 {0.4f / 8388608.0f, 0},
                 {0.6f / 8388608.0f, 1}};
    for (const auto& c : cases)
        EXPECT_EQ(conv.To24(c.in), c.out24 * 256) << c.in;

    // 16-bit: the dither moves a sample by less than one step either way, averages out, and both
    // neighbours of a value between two steps occur.
    double sum = 0;
    int low = 0, high = 0;
    for (int i = 0; i < 20000; ++i) {
        const int16_t v = conv.To16(100.25f / 32768.0f);
        EXPECT_GE(v, 99);
        EXPECT_LE(v, 101);
        low += v == 100;
        high += v == 101;
        sum += v;
    }
    EXPECT_NEAR(sum / 20000.0, 100.25, 0.02);
    EXPECT_GT(low, 1000);
    EXPECT_GT(high, 1000);
    EXPECT_EQ(conv.To16(2.0f), 32767);
    EXPECT_EQ(conv.To16(-2.0f), -32768);
}

// Writes a 6.1 feed through a real file and reads it back: samples, channel count and the channel
// mask 0x13F in the WAVE_FORMAT_EXTENSIBLE header.
TEST(OutputFile, RoundTripWithChannelMask) {
    const std::string dir = TempDir();
    const std::string path = dir + "/feed.wav";
    const LayoutInfo* layout = FindLayout("6.1");
    const int frames = 1000;
    std::vector<std::vector<float>> planar(7, std::vector<float>(frames));
    std::vector<const float*> ptr;
    for (int c = 0; c < 7; ++c) {
        for (int i = 0; i < frames; ++i)
            planar[c][i] = static_cast<float>(std::sin(0.01 * i * (c + 1))) * 0.5f + 0.1f * c;
        ptr.push_back(planar[c].data());
    }
    std::string error;
    {
        OutputFile out;
        ASSERT_TRUE(
            out.Open(path, FileType::Wav, SampleFormat::Float, 48000, layout->speakers, false, 1000, error))
            << error;
        ASSERT_TRUE(out.Write(ptr.data(), 600, error));
        EXPECT_EQ(access(path.c_str(), F_OK), -1) << "the name appears only once the file is complete";
        std::vector<const float*> rest;
        for (const float* p : ptr)
            rest.push_back(p + 600);
        ASSERT_TRUE(out.Write(rest.data(), 400, error));
        ASSERT_TRUE(out.Commit(error)) << error;
    }
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(info.channels, 7);
    EXPECT_EQ(info.samplerate, 48000);
    ASSERT_EQ(info.frames, frames);
    std::vector<float> back(static_cast<size_t>(frames) * 7);
    EXPECT_EQ(sf_readf_float(f, back.data(), frames), frames);
    sf_close(f);
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < 7; ++c)
            ASSERT_EQ(back[static_cast<size_t>(i) * 7 + c], planar[c][i]);

    std::ifstream raw(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(raw)), std::istreambuf_iterator<char>());
    const size_t fmt = bytes.find("fmt ");
    ASSERT_NE(fmt, std::string::npos);
    auto u16 = [&](size_t at) {
        return static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8;
    };
    EXPECT_EQ(u16(fmt + 8), 0xFFFE);     // WAVE_FORMAT_EXTENSIBLE
    EXPECT_EQ(u16(fmt + 8 + 20), 0x13F); // dwChannelMask: FL FR FC LFE BL BR BC

    // Without overwrite an existing name is kept, and a refused or abandoned file leaves nothing.
    {
        OutputFile again;
        ASSERT_TRUE(
            again.Open(path, FileType::Wav, SampleFormat::Pcm16, 48000, layout->speakers, false, -1, error));
        ASSERT_TRUE(again.Write(ptr.data(), 10, error));
        EXPECT_FALSE(again.Commit(error));
        EXPECT_NE(error.find("--force"), std::string::npos);
    }
    {
        OutputFile abandoned;
        ASSERT_TRUE(abandoned.Open(dir + "/other.wav", FileType::Wav, SampleFormat::Pcm24, 48000,
                                   layout->speakers, false, 10, error));
        ASSERT_TRUE(abandoned.Write(ptr.data(), 10, error));
    }
    OutputFile flac;
    EXPECT_FALSE(flac.Open(dir + "/x.flac", FileType::Flac, SampleFormat::Pcm24, 48000, layout->speakers,
                           true, -1, error));
    EXPECT_EQ(Entries(dir), std::vector<std::string>{"feed.wav"});
    std::filesystem::remove_all(dir);
}

// Float output is interleaved eight frames at a time where the processor allows: every layout's
// channel count, written in pieces that end on either side of a group of eight, reads back whole.
TEST(OutputFile, FloatFramesOfEveryLayoutInPiecesOfAnyLength) {
    const std::string dir = TempDir();
    const std::vector<int> pieces = {1, 7, 8, 9, 16, 17, 2, 600, 3};
    int frames = 0;
    for (int piece : pieces)
        frames += piece;
    for (const LayoutInfo& layout : AllLayouts()) {
        SCOPED_TRACE(layout.name);
        const int channels = static_cast<int>(layout.speakers.size());
        std::vector<std::vector<float>> planar(channels, std::vector<float>(frames));
        for (int c = 0; c < channels; ++c)
            for (int i = 0; i < frames; ++i)
                planar[c][i] = static_cast<float>(c * 10000 + i) / 65536.0f;
        const std::string path = dir + "/" + std::to_string(channels) + ".wav";
        std::string error;
        OutputFile out;
        ASSERT_TRUE(
            out.Open(path, FileType::Wav, SampleFormat::Float, 48000, layout.speakers, true, -1, error))
            << error;
        int done = 0;
        for (int piece : pieces) {
            std::vector<const float*> at;
            for (int c = 0; c < channels; ++c)
                at.push_back(planar[c].data() + done);
            ASSERT_TRUE(out.Write(at.data(), piece, error)) << error;
            done += piece;
        }
        ASSERT_TRUE(out.Commit(error)) << error;
        SF_INFO info{};
        SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(info.frames, frames);
        std::vector<float> back(static_cast<size_t>(frames) * channels);
        EXPECT_EQ(sf_readf_float(f, back.data(), frames), frames);
        sf_close(f);
        for (int i = 0; i < frames; ++i)
            for (int c = 0; c < channels; ++c)
                ASSERT_EQ(back[static_cast<size_t>(i) * channels + c], planar[c][i])
                    << "frame " << i << " channel " << c;
    }
    std::filesystem::remove_all(dir);
}

// The file an output replaces has its cache dropped piece by piece while a thread is idle (Tidy),
// and only that file: the new one keeps its name and content, and a new name has nothing to drop.
TEST(OutputFile, TidyDropsTheCacheOfTheFileItReplaces) {
    const std::string dir = TempDir();
    const std::string path = dir + "/old.wav";
    {
        std::ofstream old(path, std::ios::binary);
        const std::string bytes(4 << 20, 'x');
        old.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    const int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fsync(fd), 0); // clean pages, which a drop may let go
    const size_t size = 4 << 20;
    void* map = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    ASSERT_NE(map, MAP_FAILED);
    const auto resident = [&] {
        std::vector<unsigned char> pages((size + 4095) / 4096);
        EXPECT_EQ(mincore(map, size, pages.data()), 0);
        size_t n = 0;
        for (unsigned char p : pages)
            n += p & 1;
        return n;
    };
    const auto readAll = [&] {
        volatile char sum = 0;
        for (size_t i = 0; i < size; i += 4096)
            sum = sum + static_cast<const char*>(map)[i]; // every page in the cache
        munmap(map, size);
        map = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0); // a fresh mapping: no page mapped yet
    };
    // Some file systems (tmpfs) keep their pages whatever one advises: nothing to see there.
    readAll();
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    if (resident() > 0) {
        munmap(map, size);
        close(fd);
        std::filesystem::remove_all(dir);
        GTEST_SKIP() << "the file system of " << dir << " keeps its cache";
    }
    readAll();
    ASSERT_GT(resident(), 0u);

    const LayoutInfo* layout = FindLayout("5.1");
    std::string error;
    OutputFile out;
    ASSERT_TRUE(out.Open(path, FileType::Wav, SampleFormat::Float, 48000, layout->speakers, true, -1, error))
        << error;
    int pieces = 0;
    while (out.Tidy())
        ++pieces;
    EXPECT_GE(pieces, 16) << "a quarter megabyte at a time";
    EXPECT_FALSE(out.Tidy());
    EXPECT_EQ(resident(), 0u);
    munmap(map, size);
    close(fd);

    std::vector<std::vector<float>> planar(6, std::vector<float>(100, 0.25f));
    std::vector<const float*> ptr;
    for (auto& channel : planar)
        ptr.push_back(channel.data());
    ASSERT_TRUE(out.Write(ptr.data(), 100, error)) << error;
    ASSERT_TRUE(out.Commit(error)) << error;
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(info.frames, 100);
    sf_close(f);

    OutputFile fresh;
    ASSERT_TRUE(fresh.Open(dir + "/new.wav", FileType::Wav, SampleFormat::Float, 48000, layout->speakers,
                           true, -1, error));
    EXPECT_FALSE(fresh.Tidy());
    std::filesystem::remove_all(dir);
}
