#include "StreamSink.h"
#include "Json.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cstring>
#include <string>
#include <unistd.h>

using namespace halvane_cli;

namespace {

// Everything written to the read end of a pipe, once the write end is closed.
std::string Drain(int fd) {
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        out.append(buffer, static_cast<size_t>(n));
    return out;
}

uint32_t U32(const std::string& bytes, size_t at) {
    uint32_t v = 0;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
}

} // namespace

// A WAV written through a pipe: the header goes out once, with the RIFF and data sizes marked
// unknown, followed by exactly the samples written, in order, in two blocks.
TEST(StreamSink, WavOnAPipeSaysLengthUnknownAndCarriesTheSamples) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const float samples[6] = {0.5f, -0.25f, 0.125f, 1.0f, -1.0f, 0.0f};
    {
        StreamSink sink(fds[1], true);
        SF_INFO info{};
        info.samplerate = 48000;
        info.channels = 2;
        info.format = SF_FORMAT_WAVEX | SF_FORMAT_FLOAT;
        SNDFILE* f = sf_open_virtual(sink.io(), SFM_WRITE, &info, &sink);
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(sf_writef_float(f, samples, 2), 2);
        ASSERT_TRUE(sink.Release(2 * 2 * 4, true));
        ASSERT_EQ(sf_writef_float(f, samples + 4, 1), 1);
        EXPECT_EQ(sf_close(f), 0);
        EXPECT_TRUE(sink.Finish());
        EXPECT_FALSE(sink.failed());
    }
    const std::string bytes = Drain(fds[0]);
    close(fds[0]);
    ASSERT_GT(bytes.size(), 24u + 12u);
    EXPECT_EQ(bytes.compare(0, 4, "RIFF"), 0);
    EXPECT_EQ(U32(bytes, 4), 0xFFFFFFFFu);
    const size_t data = bytes.size() - sizeof samples;
    EXPECT_EQ(bytes.compare(data - 8, 4, "data"), 0);
    EXPECT_EQ(U32(bytes, data - 4), 0xFFFFFFFFu);
    EXPECT_EQ(std::memcmp(bytes.data() + data, samples, sizeof samples), 0);
}

TEST(Json, StringsAndNumbers) {
    EXPECT_EQ(JsonString("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\u000a\\u0001\"");
    EXPECT_EQ(JsonNumber(-1.5), "-1.5");
    EXPECT_EQ(JsonNumber(0.0 / 0.0), "null");
    EXPECT_EQ(JsonNumber(-1.0 / 0.0), "null");
    EXPECT_EQ(JsonObject({{"a", "1"}, {"b", JsonArray({"2", "null"})}}), "{\"a\": 1, \"b\": [2, null]}");
}
