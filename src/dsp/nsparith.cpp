// Block arithmetic on float vectors, in place.
//
// Each kernel walks the elements from the last down to the first, so a copy or a sum into a buffer
// that overlaps its source one or more elements higher up still reads every source element before
// overwriting it. A single float addition or multiplication rounds exactly as the same operation done
// in double and rounded once, so the loops work in float and stay free for the compiler to vectorise.
#include "dsp/nsp.h"

namespace {
constexpr const char* kModule = "nsparith";
} // namespace

void nspsbCopy(const float* src, float* dst, int32_t n) {
    if (n < 1) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsbCopy", "n<=0", kModule, __LINE__);
        return;
    }
    if (src == nullptr) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsbCopy", "src==0", kModule, __LINE__);
        return;
    }
    if (dst == nullptr) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsbCopy", "dst==0", kModule, __LINE__);
        return;
    }
    for (int32_t i = n - 1; i >= 0; --i) {
        dst[i] = src[i];
    }
}

void nspsbAdd2(const float* src, float* dst, int32_t n) {
    if (n < 1) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsbAdd2", "n<=0", kModule, __LINE__);
        return;
    }
    if (src == nullptr) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsbAdd2", "src==0", kModule, __LINE__);
        return;
    }
    if (dst == nullptr) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsbAdd2", "dst==0", kModule, __LINE__);
        return;
    }
    for (int32_t i = n - 1; i >= 0; --i) {
        dst[i] = dst[i] + src[i];
    }
}

void nspsbMpy1(float val, float* dst, int32_t n) {
    if (n < 1) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsbMpy1", "n<=0", kModule, __LINE__);
        return;
    }
    if (dst == nullptr) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsbMpy1", "dst==0", kModule, __LINE__);
        return;
    }
    for (int32_t i = n - 1; i >= 0; --i) {
        dst[i] = dst[i] * val;
    }
}
