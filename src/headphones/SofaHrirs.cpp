#include "headphones/SofaHrirs.h"

#include <mysofa.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

namespace halvane {

namespace {

constexpr double kPi = 3.14159265358979323846;

const char* MysofaProblem(int err) {
    switch (err) {
    case MYSOFA_INVALID_FORMAT:
        return "not a SOFA file (no HDF5/netCDF-4 data)";
    case MYSOFA_UNSUPPORTED_FORMAT:
        return "a SOFA convention libmysofa does not support";
    case MYSOFA_NO_MEMORY:
        return "out of memory while reading it";
    case MYSOFA_READ_ERROR:
        return "the file ends early or cannot be read";
    case MYSOFA_INVALID_ATTRIBUTES:
    case MYSOFA_INVALID_DIMENSIONS:
    case MYSOFA_INVALID_DIMENSION_LIST:
        return "its attributes or dimensions are not those of an HRIR set";
    case MYSOFA_INVALID_COORDINATE_TYPE:
        return "an unknown coordinate type";
    case MYSOFA_ONLY_EMITTER_WITH_ECI_SUPPORTED:
    case MYSOFA_ONLY_DELAYS_WITH_IR_OR_MR_SUPPORTED:
    case MYSOFA_ONLY_THE_SAME_SAMPLING_RATE_SUPPORTED:
    case MYSOFA_RECEIVERS_WITH_RCI_SUPPORTED:
    case MYSOFA_RECEIVERS_WITH_CARTESIAN_SUPPORTED:
    case MYSOFA_INVALID_RECEIVER_POSITIONS:
    case MYSOFA_ONLY_SOURCES_WITH_MC_SUPPORTED:
        return "an HRIR layout libmysofa does not support (it wants two receivers, one emitter, one "
               "sample rate)";
    default:
        return "libmysofa cannot read it";
    }
}

struct HrtfCloser {
    void operator()(MYSOFA_HRTF* h) const { mysofa_free(h); }
};
struct LookupCloser {
    void operator()(MYSOFA_LOOKUP* l) const { mysofa_lookup_free(l); }
};
struct NeighborhoodCloser {
    void operator()(MYSOFA_NEIGHBORHOOD* n) const { mysofa_neighborhood_free(n); }
};

// Direction as the SOFA frame has it: x ahead, y to the left, z up.
void Cartesian(const Direction& d, float xyz[3]) {
    const double az = d.azimuth * kPi / 180.0;
    const double el = d.elevation * kPi / 180.0;
    xyz[0] = static_cast<float>(std::cos(el) * std::cos(az));
    xyz[1] = static_cast<float>(std::cos(el) * std::sin(az));
    xyz[2] = static_cast<float>(std::sin(el));
}

// The set's pair for each direction at the file's own rate, interpolated between the nearest
// measured direction and its neighbours: both ears' N samples, then both onset delays (samples).
std::vector<float> PickPairs(MYSOFA_HRTF* hrtf, const std::vector<Direction>& directions) {
    std::unique_ptr<MYSOFA_LOOKUP, LookupCloser> lookup(mysofa_lookup_init(hrtf));
    std::unique_ptr<MYSOFA_NEIGHBORHOOD, NeighborhoodCloser> near(
        lookup ? mysofa_neighborhood_init(hrtf, lookup.get()) : nullptr);
    if (!near)
        return {};
    const size_t n = hrtf->N;
    std::vector<float> fir(2 * n);
    std::vector<float> out;
    for (const Direction& d : directions) {
        float xyz[3];
        Cartesian(d, xyz);
        const int nearest = mysofa_lookup(lookup.get(), xyz);
        if (nearest < 0)
            return {};
        float delays[2] = {0.0f, 0.0f};
        const float* ir = mysofa_interpolate(hrtf, xyz, nearest, mysofa_neighborhood(near.get(), nearest),
                                             fir.data(), delays);
        out.insert(out.end(), ir, ir + 2 * n);
        out.push_back(delays[0]);
        out.push_back(delays[1]);
    }
    return out;
}

double Energy(const std::vector<float>& h) {
    double e = 0.0;
    for (float v : h)
        e += static_cast<double>(v) * v;
    return e;
}

// Resamples the picked pairs with libmysofa's own resampler. It works on a whole set, and a full
// set takes half a second to resample, so the set is first cut down to the picked pairs: the
// measurements are replaced by them, in the set's own buffer, which is large enough.
bool ResamplePairs(MYSOFA_HRTF* hrtf, const std::vector<float>& picked, size_t count, int sampleRate,
                   std::vector<HrirPair>& out) {
    const size_t n = hrtf->N;
    const double fileRate = hrtf->DataSamplingRate.values[0];
    for (size_t k = 0; k < count; ++k)
        std::memcpy(hrtf->DataIR.values + k * 2 * n, picked.data() + k * (2 * n + 2), 2 * n * sizeof(float));
    hrtf->M = static_cast<unsigned>(count);
    hrtf->DataIR.elements = static_cast<unsigned>(count * 2 * n);
    if (mysofa_resample(hrtf, static_cast<float>(sampleRate)) != MYSOFA_OK)
        return false;
    const size_t m = hrtf->N;
    out.clear();
    for (size_t k = 0; k < count; ++k) {
        const float* ir = hrtf->DataIR.values + k * 2 * m;
        const float* delays = picked.data() + k * (2 * n + 2) + 2 * n;
        // Sets that keep the onset apart from the response give it in samples of the file's rate;
        // it goes back in front of the response.
        const long dl = std::max(0L, std::lround(delays[0] / fileRate * sampleRate));
        const long dr = std::max(0L, std::lround(delays[1] / fileRate * sampleRate));
        HrirPair pair;
        pair.left.assign(static_cast<size_t>(dl), 0.0f);
        pair.left.insert(pair.left.end(), ir, ir + m);
        pair.right.assign(static_cast<size_t>(dr), 0.0f);
        pair.right.insert(pair.right.end(), ir + m, ir + 2 * m);
        out.push_back(std::move(pair));
    }
    return true;
}

} // namespace

bool LoadHrirs(const std::string& path, int sampleRate, const std::vector<Direction>& directions,
               std::vector<HrirPair>& out, std::string& error) {
    out.clear();
    // libmysofa reports a missing file as a format problem; the system's own reason is clearer.
    if (FILE* f = std::fopen(path.c_str(), "rb"))
        std::fclose(f);
    else {
        error = "cannot open HRTF file " + path + ": " + std::strerror(errno);
        return false;
    }
    int err = 0;
    std::unique_ptr<MYSOFA_HRTF, HrtfCloser> hrtf(mysofa_load(path.c_str(), &err));
    if (hrtf && err == MYSOFA_OK)
        err = mysofa_check(hrtf.get());
    if (!hrtf || err != MYSOFA_OK || hrtf->R != 2 || hrtf->N == 0) {
        error = "cannot use HRTF file " + path + ": " + MysofaProblem(err) + " (libmysofa error " +
                std::to_string(err) + ")";
        return false;
    }
    mysofa_tocartesian(hrtf.get());
    // Straight ahead first: it sets the loudness of the whole set.
    std::vector<Direction> wanted{Direction{0.0f, 0.0f}};
    wanted.insert(wanted.end(), directions.begin(), directions.end());
    const std::vector<float> picked = PickPairs(hrtf.get(), wanted);
    std::vector<HrirPair> pairs;
    if (picked.empty() || !ResamplePairs(hrtf.get(), picked, wanted.size(), sampleRate, pairs)) {
        error = "cannot use HRTF file " + path + ": libmysofa cannot look up or resample its responses";
        return false;
    }
    const double energy = 0.5 * (Energy(pairs[0].left) + Energy(pairs[0].right));
    if (!(energy > 0.0) || !std::isfinite(energy)) {
        error = "cannot use HRTF file " + path + ": its response for straight ahead is silent or not finite";
        return false;
    }
    const float scale = static_cast<float>(1.0 / std::sqrt(energy));
    for (size_t k = 1; k < pairs.size(); ++k) {
        for (std::vector<float>* h : {&pairs[k].left, &pairs[k].right})
            for (float& v : *h) {
                v *= scale;
                if (!std::isfinite(v)) {
                    error = "cannot use HRTF file " + path + ": it holds samples that are not finite";
                    return false;
                }
            }
        out.push_back(std::move(pairs[k]));
    }
    return true;
}

} // namespace halvane
