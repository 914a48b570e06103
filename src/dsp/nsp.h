// Signal-processing kernels: block arithmetic on float vectors, second-order (and any order) IIR
// filtering, the library-wide status record through which every kernel reports a broken contract,
// and 32-byte aligned allocation.
//
// A kernel either does its work or reports a failure through nspReportError and returns having
// changed nothing. The default handler ends the process (exit status 1), so callers keep to the
// contracts: counts of at least 1, valid buffers, built filter states.
#ifndef HALVANE_DSP_NSP_H
#define HALVANE_DSP_NSP_H

#include <atomic>
#include <cstdint>

// Status codes reported by the kernels.
enum NspStatus : int32_t {
    NSP_STS_OK = 0,
    NSP_STS_BACKTRACE = -1, // a called kernel failed
    NSP_STS_ERROR = -2,
    NSP_STS_INTERNAL = -3,
    NSP_STS_NO_MEMORY = -4,
    NSP_STS_BAD_ARGUMENT = -5,
    NSP_STS_UNSUPPORTED = -6,
    NSP_STS_NO_CONVERGENCE = -7,
    NSP_STS_AUTOTRACE = -8,
    NSP_STS_NULL_POINTER = -10,
    NSP_STS_BAD_POINTER = -12,
    NSP_STS_BAD_STRUCTURE = -13,
    NSP_STS_BAD_LENGTH = -14,
};

// Receives every report of a non-zero status: (status, function name, message or null, source
// module name, line). Returns the status to hand on.
typedef int32_t (*NspErrorHandler)(int32_t status, const char* func, const char* message, const char* module,
                                   int32_t line);

// The library-wide status record, shared by all objects and threads without a lock. Its fields
// are relaxed atomics: threads never wait on each other, and concurrent reports are well defined.
struct NspStatusRecord {
    std::atomic<int32_t> lastStatus;      // code of the most recent report, 0 at load
    std::atomic<int32_t> errorMode;       // 0: the default handler ends the process; else it returns
    std::atomic<NspErrorHandler> handler; // nspDefaultErrorHandler at load
};

// Stores the status (unless it is -1 or -8), and for a non-zero status calls the handler.
int32_t nspReportError(int32_t status, const char* func, const char* message, const char* module,
                       int32_t line);
// In error mode 0 ends the process with exit status 1; otherwise returns the status.
int32_t nspDefaultErrorHandler(int32_t status, const char* func, const char* message, const char* module,
                               int32_t line);
int32_t nspLastStatus();
void nspSetLastStatus(int32_t status);
int32_t nspErrorMode();
// Test hooks: the library itself never changes the mode or the handler.
void nspSetErrorMode(int32_t mode);
NspErrorHandler nspSetErrorHandler(NspErrorHandler handler); // returns the previous handler
// Fixed text of a status code.
const char* nspStatusText(int32_t status);

// Room for n floats at a 32-byte aligned address, or null; release with nspFreeAligned.
float* nspsAllocAligned(int32_t n);
void nspFreeAligned(void* p);

// Block kernels, in place, elements n-1 down to 0.
void nspsbCopy(const float* src, float* dst, int32_t n);                // dst = src
void nspsbAdd2(const float* src, float* dst, int32_t n);                // dst += src
void nspsbMpy1(float val, float* dst, int32_t n);                       // dst *= val
constexpr int32_t NSP_THRESH_BELOW = 0;                                 // raise samples below level
constexpr int32_t NSP_THRESH_ABOVE = 1;                                 // lower samples above level
void nspsbThresh1(float* vec, int32_t len, float level, int32_t relOp); // clamp at level

// IIR filter state. The tap part and the delay part are what the low-level kernels work on.
struct NspIirTapState {
    int32_t order;   // filter order N
    float* taps;     // 2N+2 normalised taps: b0..bN, a1..aN, aN
    int32_t iirType; // 0 or 1, recorded only
    int32_t mode;    // always 0
};
struct NspIirDlyState {
    float* dlyl; // delay line d[0..N-1]
};
constexpr int32_t NSP_IIR_INIT_MARKER = 31725; // 0x7BED: the state owns its two arrays
struct NspIirFilterState {
    NspIirTapState tapSt;
    NspIirDlyState dlySt;
    int32_t initMarker; // NSP_IIR_INIT_MARKER when built, 0 when free; the owner sets 0 first
};

// Builds a free state from taps b0..bN, a0..aN (copied, normalised by a0).
void nspsIirInit(int32_t iirType, const float* taps, int32_t order, NspIirFilterState* state);
// Releases a built state's arrays and clears its marker.
void nspIirFree(NspIirFilterState* state);
// Filters n samples from in to out (in == out allowed), carrying the delay line across calls.
void nspsbIir(NspIirFilterState* state, const float* in, float* out, int32_t n);

// Low-level halves used by the kernels above.
void nspsIirlInit(int32_t iirType, float* taps, int32_t order, NspIirTapState* tapSt);
void nspsIirlInitDlyl(const NspIirTapState* tapSt, float* dlyl, NspIirDlyState* dlySt);
void nspsbIirl(const NspIirTapState* tapSt, NspIirDlyState* dlySt, const float* inSamps, float* outSamps,
               int32_t numIters);

#endif
