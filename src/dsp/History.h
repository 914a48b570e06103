// Sample memory of delays and delay lines: floats that start silent without being written.
#ifndef HALVANE_DSP_HISTORY_H
#define HALVANE_DSP_HISTORY_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#define HALVANE_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HALVANE_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(HALVANE_ADDRESS_SANITIZER)
#include <sanitizer/asan_interface.h>
#endif

namespace halvane {

// Tells AddressSanitizer, in a build that has it, that [p, p + bytes) inside an allocation must
// never be touched (a guard between two buffers that share one allocation).
inline void PoisonForSanitizer(const void* p, size_t bytes) {
#if defined(HALVANE_ADDRESS_SANITIZER)
    __asan_poison_memory_region(p, bytes);
#else
    (void)p;
    (void)bytes;
#endif
}

// Undoes PoisonForSanitizer over [p, p + bytes), for memory that is laid out anew.
inline void UnpoisonForSanitizer(const void* p, size_t bytes) {
#if defined(HALVANE_ADDRESS_SANITIZER)
    __asan_unpoison_memory_region(p, bytes);
#else
    (void)p;
    (void)bytes;
#endif
}

// The floats come from calloc: a block this large (a quarter megabyte for a delay node) arrives
// straight from the system as zero pages that are not touched until used, so a graph that is
// built often pays only for the part of each delay it plays through. A ring written in turn from
// place 0 on tells how far it got (Wrote); Clear then zeroes again only those places.
class History {
public:
    History() = default;
    explicit History(int32_t size) {
        m_pSamples = static_cast<float*>(std::calloc(static_cast<size_t>(size), sizeof(float)));
        if (!m_pSamples)
            throw std::bad_alloc();
        m_nSize = size;
    }
    ~History() { std::free(m_pSamples); }
    History(History&& other) noexcept { *this = std::move(other); }
    History& operator=(History&& other) noexcept {
        if (this != &other) {
            std::free(m_pSamples);
            m_pSamples = other.m_pSamples;
            m_nSize = other.m_nSize;
            m_nWritten = other.m_nWritten;
            other.m_pSamples = nullptr;
            other.m_nSize = other.m_nWritten = 0;
        }
        return *this;
    }
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    float* Data() { return m_pSamples; }
    const float* Data() const { return m_pSamples; }
    int32_t Size() const { return m_nSize; }
    bool Empty() const { return m_nSize == 0; }

    // The ring moved on by n places (n >= 0) since the last clear: the first Size() places at
    // most hold samples now.
    void Wrote(int32_t n) { m_nWritten = n >= m_nSize - m_nWritten ? m_nSize : m_nWritten + n; }
    // Every place silent again.
    void Clear() {
        if (m_nWritten > 0)
            std::memset(m_pSamples, 0, sizeof(float) * static_cast<size_t>(m_nWritten));
        m_nWritten = 0;
    }

private:
    float* m_pSamples = nullptr;
    int32_t m_nSize = 0;
    int32_t m_nWritten = 0; // places 0 .. m_nWritten - 1 may hold samples
};

} // namespace halvane

#endif
