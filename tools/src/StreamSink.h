// An output that can only be written forwards (a pipe, a FIFO, a character device), handed to
// libsndfile through its virtual I/O as if it were a file.
//
// libsndfile writes a header when a file opens, writes it again with the first samples, and seeks
// back to finish it when the file closes. On a stream that last step cannot happen, so the sink
// holds everything up to the end of the first block of samples, sends it in one piece, and from
// then on sends only what lies beyond what it has sent; later rewrites of the header are dropped.
// A WAV header sent that way says "length unknown" (0xFFFFFFFF), as ffmpeg writes on a pipe; a
// FLAC stream keeps a total of 0 samples in its stream info, FLAC's own "unknown".
#ifndef HALVANE_TOOLS_STREAMSINK_H
#define HALVANE_TOOLS_STREAMSINK_H

#include <sndfile.h>

#include <cstdint>
#include <string>
#include <vector>

namespace halvane_cli {

class StreamSink {
public:
    // `fd` is written to and closed by the sink when `owned`.
    StreamSink(int fd, bool owned) : m_fd(fd), m_owned(owned) {}
    ~StreamSink();
    StreamSink(const StreamSink&) = delete;
    StreamSink& operator=(const StreamSink&) = delete;

    SF_VIRTUAL_IO* io();
    // Sends the held header and first samples: call after libsndfile has written the first
    // `dataBytes` bytes of samples. With `wav`, the header's sizes are marked unknown first.
    bool Release(int64_t dataBytes, bool wav);
    // Sends what is still held (a file without samples); after libsndfile closed the file.
    bool Finish();
    bool failed() const { return m_errno != 0; }
    std::string error() const;

private:
    static sf_count_t Length(void* self);
    static sf_count_t Seek(sf_count_t offset, int whence, void* self);
    static sf_count_t Read(void* ptr, sf_count_t count, void* self);
    static sf_count_t Write(const void* ptr, sf_count_t count, void* self);
    static sf_count_t Tell(void* self);
    sf_count_t Put(const unsigned char* data, sf_count_t count);
    bool Send(const unsigned char* data, size_t count);

    int m_fd;
    bool m_owned;
    bool m_released = false;
    int m_errno = 0;
    int64_t m_pos = 0;  // where libsndfile believes it is
    int64_t m_sent = 0; // bytes sent, or held before the release
    std::vector<unsigned char> m_held;
    SF_VIRTUAL_IO m_io{};
};

} // namespace halvane_cli

#endif
