// Low-level IIR kernels: tap normalisation, delay-line set-up and the filter loop in transposed
// direct form II.
#include "dsp/nsp.h"

#include <cstdint>

namespace {
constexpr const char* kModule = "nspiirl";

// Order 2, the order every filter node uses: the same recurrence as the general loop, operation for
// operation, with the taps and the two delay values held in locals. The delay values are floats, so
// each is rounded exactly where the general loop stores it.
void filterOrder2(const float* taps, float* d, const float* in, float* out, int32_t n) {
    const double b0 = taps[0], b1 = taps[1], b2 = taps[2];
    const double a1 = taps[3], a2 = taps[4];
    float d0 = d[0], d1 = d[1];
    for (int32_t i = 0; i < n; ++i) {
        const double x = in[i];
        const double y = b0 * x + d0;
        d0 = static_cast<float>(d1 + b1 * x - a1 * y);
        d1 = static_cast<float>(b2 * x - a2 * y);
        out[i] = static_cast<float>(y);
    }
    d[0] = d0;
    d[1] = d1;
}

// Any order N >= 1. Sample by sample, so that cutting a block anywhere gives the same output.
void filterGeneral(const float* taps, int32_t order, float* d, const float* in, float* out, int32_t n) {
    const float* b = taps;
    const float* a = taps + order; // a[k] is a_k for k = 1..N
    for (int32_t i = 0; i < n; ++i) {
        // x is read before out[i] is written, so in and out may be the same buffer.
        const double x = in[i];
        const double y = static_cast<double>(b[0]) * x + d[0];
        for (int32_t k = 0; k < order - 1; ++k) {
            d[k] = static_cast<float>(d[k + 1] + static_cast<double>(b[k + 1]) * x -
                                      static_cast<double>(a[k + 1]) * y);
        }
        d[order - 1] =
            static_cast<float>(static_cast<double>(b[order]) * x - static_cast<double>(a[order]) * y);
        out[i] = static_cast<float>(y);
    }
}
} // namespace

void nspsIirlInit(int32_t iirType, float* taps, int32_t order, NspIirTapState* tapSt) {
    if (tapSt == nullptr) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsIirlInit", "tapStPtr==0", kModule, __LINE__);
        return;
    }
    if (taps == nullptr) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsIirlInit", "taps==0", kModule, __LINE__);
        return;
    }
    if (order < 0) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsIirlInit", "order < 0", kModule, __LINE__);
        return;
    }
    if (iirType != 0 && iirType != 1) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsIirlInit", "iirType is out of range", kModule, __LINE__);
        return;
    }
    tapSt->iirType = iirType;
    tapSt->taps = taps;
    tapSt->mode = 0;
    tapSt->order = order;

    const float a0 = taps[order + 1];
    if (a0 == 0.0f || a0 != a0) { // zero or NaN
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsIirlInit", "taps[order+1] equals zero", kModule, __LINE__);
        return;
    }
    // b0..bN, a0..aN becomes b0/a0..bN/a0, a1/a0..aN/a0, aN: each a moves down one place over a0,
    // and the last slot keeps aN as it was.
    const double g = 1.0 / static_cast<double>(a0);
    taps[0] = static_cast<float>(taps[0] * g);
    for (int32_t i = 1; i <= order; ++i) {
        taps[i] = static_cast<float>(taps[i] * g);
        taps[order + i] = static_cast<float>(taps[order + 1 + i] * g);
    }
}

void nspsIirlInitDlyl(const NspIirTapState* tapSt, float* dlyl, NspIirDlyState* dlySt) {
    // Two groups of checks; every failure within a group is reported before giving up.
    if (tapSt == nullptr) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsIirlInitDlyl", "tapStPtr==0", kModule, __LINE__);
    }
    if (dlySt == nullptr) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsIirlInitDlyl", "dlyStPtr==0", kModule, __LINE__);
    }
    if (nspLastStatus() < 0) {
        return;
    }
    if (tapSt->taps == nullptr) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsIirlInitDlyl", "structure *tapStPtr wasn't initialized",
                       kModule, __LINE__);
    }
    if (tapSt->order > 0 && dlyl == nullptr) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsIirlInitDlyl", "dlyl==0", kModule, __LINE__);
    }
    if (nspLastStatus() < 0) {
        return;
    }
    dlySt->dlyl = dlyl;
    for (int32_t k = 0; k < tapSt->order; ++k) {
        dlyl[k] = 0.0f;
    }
}

void nspsbIirl(const NspIirTapState* tapSt, NspIirDlyState* dlySt, const float* inSamps, float* outSamps,
               int32_t numIters) {
    // Two groups of checks; every failure within a group is reported before giving up.
    if (tapSt == nullptr) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsbIirl", "tapStPtr==0", kModule, __LINE__);
    }
    if (dlySt == nullptr) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsbIirl", "dlyStPtr==0", kModule, __LINE__);
    }
    if (inSamps == nullptr) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsbIirl", "inSamps==0", kModule, __LINE__);
    }
    if (outSamps == nullptr) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsbIirl", "outSamps==0", kModule, __LINE__);
    }
    if (nspLastStatus() < 0) {
        return;
    }
    if (tapSt->taps == nullptr) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsbIirl", "structure *tapStPtr wasn't initialized", kModule,
                       __LINE__);
    }
    if (tapSt->order > 0 && dlySt->dlyl == nullptr) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsbIirl", "structure *dlyStPtr wasn't initialized", kModule,
                       __LINE__);
    }
    if (numIters < 0) {
        nspReportError(NSP_STS_BAD_ARGUMENT, "nspsbIirl", "numIters < 0", kModule, __LINE__);
    }
    if (nspLastStatus() < 0) {
        return;
    }

    const int32_t order = tapSt->order;
    const float* taps = tapSt->taps;
    if (order == 0) {
        const double b0 = taps[0];
        for (int32_t i = 0; i < numIters; ++i) {
            outSamps[i] = static_cast<float>(b0 * inSamps[i]);
        }
    } else if (order == 2) {
        filterOrder2(taps, dlySt->dlyl, inSamps, outSamps, numIters);
    } else {
        filterGeneral(taps, order, dlySt->dlyl, inSamps, outSamps, numIters);
    }
}
