// Clamping kernel, the library-wide status record with its reporting path, and 32-byte aligned
// allocation for the filter states.
#include "dsp/nsp.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {
constexpr const char* kModule = "nspvec";

// One record for the whole library, set up at load; shared by every thread without a lock.
NspStatusRecord g_status = {{NSP_STS_OK}, {0}, {nspDefaultErrorHandler}};

// Alignment of the blocks handed out by nspsAllocAligned.
constexpr std::uintptr_t kAlign = 32;
// The raw heap address is kept in the word just below the handed-out address.
constexpr std::size_t kRawSlot = sizeof(void*);
} // namespace

int32_t nspReportError(int32_t status, const char* func, const char* message, const char* module,
                       int32_t line) {
    // A backtrace or autotrace report passes a failure on; the code of the failure itself stays.
    if (status != NSP_STS_BACKTRACE && status != NSP_STS_AUTOTRACE) {
        g_status.lastStatus.store(status, std::memory_order_relaxed);
    }
    if (status == NSP_STS_OK) {
        return NSP_STS_OK;
    }
    return g_status.handler.load(std::memory_order_relaxed)(status, func, message, module, line);
}

int32_t nspDefaultErrorHandler(int32_t status, const char* /*func*/, const char* /*message*/,
                               const char* /*module*/, int32_t /*line*/) {
    if (g_status.errorMode.load(std::memory_order_relaxed) == 0) {
        std::exit(1);
    }
    return status;
}

int32_t nspLastStatus() {
    return g_status.lastStatus.load(std::memory_order_relaxed);
}
void nspSetLastStatus(int32_t status) {
    g_status.lastStatus.store(status, std::memory_order_relaxed);
}
int32_t nspErrorMode() {
    return g_status.errorMode.load(std::memory_order_relaxed);
}
void nspSetErrorMode(int32_t mode) {
    g_status.errorMode.store(mode, std::memory_order_relaxed);
}

NspErrorHandler nspSetErrorHandler(NspErrorHandler handler) {
    return g_status.handler.exchange(handler, std::memory_order_relaxed);
}

const char* nspStatusText(int32_t status) {
    switch (status) {
    case NSP_STS_OK:
        return "No Error";
    case NSP_STS_BACKTRACE:
        return "Backtrace";
    case NSP_STS_INTERNAL:
        return "Internal error (bad state)";
    case NSP_STS_NO_MEMORY:
        return "Out of memory";
    case NSP_STS_BAD_ARGUMENT:
        return "Bad argument";
    case NSP_STS_UNSUPPORTED:
        return "Unsupported function";
    case NSP_STS_NO_CONVERGENCE:
        return "Iteration convergence failed";
    case NSP_STS_AUTOTRACE:
        return "Autotrace call";
    case NSP_STS_NULL_POINTER:
        return "Null pointer";
    case NSP_STS_BAD_POINTER:
        return "Bad pointer";
    case NSP_STS_BAD_STRUCTURE:
        return "Bad data structure";
    case NSP_STS_BAD_LENGTH:
        return "Bad vector length";
    default: // -2 (the generic error) included
        return "Unknown error or status code";
    }
}

void nspsbThresh1(float* vec, int32_t len, float level, int32_t relOp) {
    if (len < 1) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsbThresh1", "len<=0", kModule, __LINE__);
        return;
    }
    if (vec == nullptr) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsbThresh1", "vec==0", kModule, __LINE__);
        return;
    }
    // The level itself is stored, bit for bit. Raising replaces everything that is not at or above
    // the level, so a NaN sample becomes the level; lowering replaces only what compares above it,
    // so a NaN survives. Elements equal to the level keep their own bits (-0 against a level of +0).
    // Every element is stored back (its own value or the level): the loop has no branch and
    // vectorises.
    if (relOp == NSP_THRESH_BELOW) {
        for (int32_t i = len - 1; i >= 0; --i) {
            const float v = vec[i];
            vec[i] = !(v >= level) ? level : v;
        }
    } else {
        for (int32_t i = len - 1; i >= 0; --i) {
            const float v = vec[i];
            vec[i] = v > level ? level : v;
        }
    }
}

float* nspsAllocAligned(int32_t n) {
    if (n < 0) {
        return nullptr;
    }
    // Room for n floats, the raw-address slot and the worst-case step up to the next multiple of 32.
    const std::size_t bytes = sizeof(float) * static_cast<std::size_t>(n) + kAlign + kRawSlot;
    void* raw = std::malloc(bytes);
    if (raw == nullptr) {
        return nullptr;
    }
    const std::uintptr_t rawAddr = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (rawAddr + kRawSlot + kAlign - 1) & ~(kAlign - 1);
    std::memcpy(reinterpret_cast<void*>(aligned - kRawSlot), &raw, kRawSlot);
    return reinterpret_cast<float*>(aligned);
}

void nspFreeAligned(void* p) {
    if (p == nullptr) {
        return;
    }
    void* raw = nullptr;
    std::memcpy(&raw, static_cast<unsigned char*>(p) - kRawSlot, kRawSlot);
    std::free(raw);
}
