#ifndef HALVANE_DSP_FLUSHDENORMALS_H
#define HALVANE_DSP_FLUSHDENORMALS_H

// Subnormal floats are flushed to zero while an object of this class lives: a reverb tail decaying
// toward zero would otherwise reach the subnormal range, where x86 arithmetic is many times
// slower. On x86 it sets the flush-to-zero and denormals-are-zero bits of MXCSR and restores the
// caller's mode on destruction; elsewhere it does nothing.
#if defined(__SSE__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 1)
#include <xmmintrin.h>
#define HALVANE_HAS_MXCSR 1
#endif

class ScopedFlushDenormals {
public:
#ifdef HALVANE_HAS_MXCSR
    static constexpr unsigned int FTZ = 0x8000; // results that would be subnormal become zero
    static constexpr unsigned int DAZ = 0x0040; // subnormal operands are read as zero

    ScopedFlushDenormals() : m_nSaved(_mm_getcsr()) {
        if ((m_nSaved & (FTZ | DAZ)) != (FTZ | DAZ))
            _mm_setcsr(m_nSaved | FTZ | DAZ);
    }
    ~ScopedFlushDenormals() {
        if ((m_nSaved & (FTZ | DAZ)) != (FTZ | DAZ))
            _mm_setcsr(m_nSaved);
    }

private:
    unsigned int m_nSaved;
#else
    ScopedFlushDenormals() = default;
#endif

public:
    ScopedFlushDenormals(const ScopedFlushDenormals&) = delete;
    ScopedFlushDenormals& operator=(const ScopedFlushDenormals&) = delete;
};

#endif
