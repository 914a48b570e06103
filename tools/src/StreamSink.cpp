#include "StreamSink.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace halvane_cli {

StreamSink::~StreamSink() {
    if (m_owned && m_fd >= 0)
        close(m_fd);
}

SF_VIRTUAL_IO* StreamSink::io() {
    m_io = SF_VIRTUAL_IO{&Length, &Seek, &Read, &Write, &Tell};
    return &m_io;
}

std::string StreamSink::error() const {
    return m_errno ? std::strerror(m_errno) : "";
}

sf_count_t StreamSink::Length(void* self) {
    return static_cast<StreamSink*>(self)->m_sent;
}

sf_count_t StreamSink::Seek(sf_count_t offset, int whence, void* self) {
    StreamSink& s = *static_cast<StreamSink*>(self);
    const int64_t base = whence == SEEK_CUR ? s.m_pos : whence == SEEK_END ? s.m_sent : 0;
    if (base + offset < 0)
        return -1;
    s.m_pos = base + offset;
    return s.m_pos;
}

sf_count_t StreamSink::Read(void*, sf_count_t, void*) {
    return 0;
}

sf_count_t StreamSink::Tell(void* self) {
    return static_cast<StreamSink*>(self)->m_pos;
}

sf_count_t StreamSink::Write(const void* ptr, sf_count_t count, void* self) {
    return static_cast<StreamSink*>(self)->Put(static_cast<const unsigned char*>(ptr), count);
}

sf_count_t StreamSink::Put(const unsigned char* data, sf_count_t count) {
    if (m_errno)
        return 0;
    const int64_t end = m_pos + count;
    if (!m_released) {
        if (m_held.size() < static_cast<size_t>(end))
            m_held.resize(static_cast<size_t>(end));
        std::copy(data, data + count, m_held.begin() + m_pos);
        m_sent = std::max<int64_t>(m_sent, end);
    } else if (end > m_sent) {
        // Only bytes past what was sent go out; a gap (a seek forwards) is sent as zeros.
        const int64_t from = std::max(m_pos, m_sent);
        if (from > m_sent) {
            const std::vector<unsigned char> zeros(static_cast<size_t>(from - m_sent), 0);
            if (!Send(zeros.data(), zeros.size()))
                return 0;
        }
        if (!Send(data + (from - m_pos), static_cast<size_t>(end - from)))
            return 0;
    }
    m_pos = end;
    return count;
}

bool StreamSink::Send(const unsigned char* data, size_t count) {
    while (count > 0) {
        const ssize_t n = write(m_fd, data, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_errno = n < 0 ? errno : EIO;
            return false;
        }
        data += n;
        count -= static_cast<size_t>(n);
        m_sent += n;
    }
    return true;
}

bool StreamSink::Release(int64_t dataBytes, bool wav) {
    if (m_released)
        return !failed();
    m_released = true;
    std::vector<unsigned char> held;
    held.swap(m_held);
    m_sent = 0;
    // The RIFF size follows the "RIFF" tag; the data size is the last field before the samples.
    const int64_t header = static_cast<int64_t>(held.size()) - dataBytes;
    const auto tagAt = [&](int64_t at, const char* tag) {
        return at >= 0 && at + 8 <= header && std::memcmp(held.data() + at, tag, 4) == 0;
    };
    if (wav && tagAt(0, "RIFF") && tagAt(header - 8, "data")) {
        std::fill(held.begin() + 4, held.begin() + 8, 0xFF);
        std::fill(held.begin() + header - 4, held.begin() + header, 0xFF);
    }
    return Send(held.data(), held.size());
}

bool StreamSink::Finish() {
    return Release(0, false);
}

} // namespace halvane_cli
