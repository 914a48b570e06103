// High-level IIR kernels: they own the memory of a filter state, guard it with the init marker and
// hand the work to the low-level tap, delay-line and filter kernels.
#include "dsp/nsp.h"

#include <cstdint>

namespace {
constexpr const char* kModule = "nspiirh";

// The last status is sticky: it keeps the code of any earlier failure. Before a low-level kernel
// whose outcome we judge by the last status, it is cleared so that an old failure is not mistaken
// for a new one; on success the earlier code is put back, so a successful call leaves the record as
// it found it.
class ScopedFreshStatus {
public:
    ScopedFreshStatus() : m_nSaved(nspLastStatus()) { nspSetLastStatus(NSP_STS_OK); }
    ~ScopedFreshStatus() {
        if (nspLastStatus() == NSP_STS_OK) {
            nspSetLastStatus(m_nSaved);
        }
    }
    ScopedFreshStatus(const ScopedFreshStatus&) = delete;
    ScopedFreshStatus& operator=(const ScopedFreshStatus&) = delete;

private:
    int32_t m_nSaved;
};
} // namespace

void nspsIirInit(int32_t iirType, const float* taps, int32_t order, NspIirFilterState* state) {
    if (state == nullptr) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsIirInit", "statePtr==0", kModule, __LINE__);
        return;
    }
    if (taps == nullptr) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsIirInit", "tapVals==0", kModule, __LINE__);
        return;
    }
    if (order < 0) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsIirInit", "order < 0", kModule, __LINE__);
        return;
    }
    if (iirType != 0 && iirType != 1) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsIirInit", "iirType is out of range", kModule, __LINE__);
        return;
    }
    if (state->initMarker == NSP_IIR_INIT_MARKER) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsIirInit",
                       "IIR filter state structure is already initialized! Use nspIirFree to free it",
                       kModule, __LINE__);
        return;
    }

    // 2N+2 taps: an order so large that the count leaves the int32 range cannot be allocated.
    const int64_t tapCount = 2 * static_cast<int64_t>(order) + 2;
    float* ownTaps = tapCount <= INT32_MAX ? nspsAllocAligned(static_cast<int32_t>(tapCount)) : nullptr;
    // Without a tap array the delay line is not worth asking for.
    float* dlyl = ownTaps != nullptr ? nspsAllocAligned(order) : nullptr;
    if (ownTaps == nullptr || dlyl == nullptr) {
        nspReportError(NSP_STS_NO_MEMORY, "nspsIirInit", "insufficiency of memory for IIR filter state",
                       kModule, __LINE__);
        nspFreeAligned(ownTaps);
        nspFreeAligned(dlyl);
        return;
    }
    state->initMarker = NSP_IIR_INIT_MARKER;

    // The caller's taps are copied, never normalised in place.
    nspsbCopy(taps, ownTaps, static_cast<int32_t>(tapCount));
    {
        ScopedFreshStatus fresh;
        nspsIirlInit(iirType, ownTaps, order, &state->tapSt);
        if (nspLastStatus() != NSP_STS_OK) {
            nspReportError(NSP_STS_BACKTRACE, "nspsIirInit", nullptr, kModule, __LINE__);
            nspFreeAligned(ownTaps);
            nspFreeAligned(dlyl);
            state->initMarker = 0;
            return;
        }
        nspsIirlInitDlyl(&state->tapSt, dlyl, &state->dlySt);
    }
}

void nspIirFree(NspIirFilterState* state) {
    if (state == nullptr) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspIirFree", "statePtr==0", kModule, __LINE__);
        return;
    }
    if (state->initMarker != NSP_IIR_INIT_MARKER) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspIirFree", "IIR filter wasn't initialized", kModule,
                       __LINE__);
        return;
    }
    // The pointers stay as they are; the cleared marker alone says they no longer mean anything.
    nspFreeAligned(state->tapSt.taps);
    nspFreeAligned(state->dlySt.dlyl);
    state->initMarker = 0;
}

void nspsbIir(NspIirFilterState* state, const float* in, float* out, int32_t n) {
    if (state == nullptr) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsbIir", "statePtr==0", kModule, __LINE__);
        return;
    }
    if (state->initMarker != NSP_IIR_INIT_MARKER) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsbIir", "IIR filter wasn't initialized", kModule, __LINE__);
        return;
    }
    ScopedFreshStatus fresh;
    nspsbIirl(&state->tapSt, &state->dlySt, in, out, n);
    if (nspLastStatus() != NSP_STS_OK) {
        nspReportError(NSP_STS_BACKTRACE, "nspsbIir", nullptr, kModule, __LINE__);
    }
}
