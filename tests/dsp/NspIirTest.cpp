#include "dsp/NspTestSupport.h"
#include "support/Signals.h"

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using NspIir = NspReportingTest;

// Plain model of the filter: transposed direct form II, one sample at a time, sums in double, delay
// values rounded to float when stored. Taps are the normalised array b0..bN, a1..aN.
struct PlainIir {
    int order;
    std::vector<float> taps;
    std::vector<float> d;
    PlainIir(int n, std::vector<float> t) : order(n), taps(std::move(t)), d(n, 0.0f) {}
    void run(const float* in, float* out, int n) {
        const float* b = taps.data();
        const float* a = taps.data() + order;
        for (int i = 0; i < n; ++i) {
            const double x = in[i];
            double y = double(b[0]) * x;
            if (order > 0) {
                y += d[0];
                for (int k = 0; k + 1 < order; ++k) {
                    d[k] = float(double(d[k + 1]) + double(b[k + 1]) * x - double(a[k + 1]) * y);
                }
                d[order - 1] = float(double(b[order]) * x - double(a[order]) * y);
            }
            out[i] = float(y);
        }
    }
};

// A built filter that frees itself.
struct Built {
    NspIirFilterState st{};
    Built(const std::vector<float>& taps, int order, int32_t type = 0) {
        nspsIirInit(type, taps.data(), order, &st);
    }
    ~Built() {
        if (st.initMarker == NSP_IIR_INIT_MARKER) {
            nspIirFree(&st);
        }
    }
    std::vector<float> tapArray() const { return {st.tapSt.taps, st.tapSt.taps + 2 * st.tapSt.order + 2}; }
};

std::vector<float> randomTaps(std::mt19937& rng, int order) {
    // Stable enough for long runs: small feedback taps, a0 = 1.
    std::uniform_real_distribution<float> u(-0.9f, 0.9f);
    std::vector<float> t(2 * order + 2);
    for (int i = 0; i <= order; ++i) {
        t[i] = u(rng);
    }
    t[order + 1] = 1.0f;
    for (int i = 1; i <= order; ++i) {
        t[order + 1 + i] = u(rng) / static_cast<float>(order + 1);
    }
    return t;
}

std::vector<float> randomSignal(std::mt19937& rng, int n) {
    return RandomChannels(1, n, rng())[0];
}

TEST_F(NspIir, NormalisesCopiedTaps) {
    const std::vector<float> unit = {0.5f, 0.25f, 0.125f, 1.0f, -0.5f, 0.25f};
    Built a(unit, 2);
    EXPECT_EQ(a.st.initMarker, NSP_IIR_INIT_MARKER);
    EXPECT_EQ(a.st.tapSt.order, 2);
    EXPECT_EQ(a.st.tapSt.iirType, 0);
    EXPECT_EQ(a.st.tapSt.mode, 0);
    EXPECT_EQ(a.tapArray(), (std::vector<float>{0.5f, 0.25f, 0.125f, -0.5f, 0.25f, 0.25f}));
    EXPECT_EQ(std::vector<float>(a.st.dlySt.dlyl, a.st.dlySt.dlyl + 2), std::vector<float>(2, 0.0f));

    // a0 = 2 halves every tap but the last, which keeps a2 as given.
    const std::vector<float> two = {1.0f, 0.5f, 0.25f, 2.0f, 1.0f, -0.5f};
    Built b(two, 2);
    EXPECT_EQ(b.tapArray(), (std::vector<float>{0.5f, 0.25f, 0.125f, 0.5f, -0.25f, -0.5f}));
    EXPECT_EQ(two[3], 2.0f); // the caller's array is untouched

    // a0 = 1.25: each tap times 1/1.25 formed in double, rounded once.
    Built c({0.0200834f, 0.0401668f, 0.0200834f, 1.25f, -1.5610181f, 0.6413515f}, 2);
    EXPECT_EQ(c.tapArray(), (std::vector<float>{0.0160667188f, 0.0321334377f, 0.0160667188f, -1.24881446f,
                                                0.513081193f, 0.6413515f}));
    Built typeOne({1.0f, 0.0f, 1.0f, 0.5f}, 1, 1);
    EXPECT_EQ(typeOne.st.tapSt.iirType, 1);
    EXPECT_TRUE(nspReports().empty());
}

TEST_F(NspIir, ImpulseAndSignalResponses) {
    const std::vector<float> lowPass = {0.0200834f, 0.0401668f, 0.0200834f, 1.25f, -1.5610181f, 0.6413515f};
    const std::vector<float> signal = {0.5f, -0.25f, 0.75f, 1.0f, -1.0f, 0.125f, 0.3f, -0.7f};
    const struct {
        std::vector<float> taps;
        int order;
        std::vector<float> in, out;
    } cases[] = {
        // Order 0 only scales by b0 / a0.
        {{1.0f, 3.0f}, 0, {0.1f, -3.0f, 7.0f}, {0.0333333351f, -1.0f, 2.33333349f}},
        // Dyadic taps keep every step exact: h0 = b0, h1 = b1 - a1 b0, h2 = b2 - a1 h1 - a2 b0, then
        // h[n] = -a1 h[n-1] - a2 h[n-2].
        {{0.5f, 0.25f, 0.125f, 1.0f, -0.5f, 0.25f},
         2,
         {1, 0, 0, 0, 0, 0},
         {0.5f, 0.5f, 0.25f, 0.0f, -0.0625f, -0.03125f}},
        // A low-pass with a0 = 1.25; values from an independent float32/double model.
        {lowPass,
         2,
         {1, 0, 0, 0, 0, 0, 0, 0},
         {0.0160667188f, 0.0521977879f, 0.0730085373f, 0.0643924177f, 0.042954877f, 0.0206041336f,
          0.0036914011f, -0.0059617185f}},
        {lowPass,
         2,
         signal,
         {0.00803335942f, 0.0220822133f, 0.0355048627f, 0.0691591352f, 0.0962668061f, 0.0706767514f,
          0.0316394344f, 0.00365054281f}},
        // Order 3 takes the general loop.
        {{0.3f, -0.2f, 0.1f, 0.05f, 2.0f, -0.4f, 0.3f, -0.1f},
         3,
         signal,
         {0.075000003f, -0.0725000054f, 0.136749998f, 0.116975009f, -0.21949251f, 0.132892743f, 0.072851181f,
          -0.170088306f}},
    };
    for (const auto& c : cases) {
        Built f(c.taps, c.order);
        std::vector<float> out(c.in.size());
        nspsbIir(&f.st, c.in.data(), out.data(), static_cast<int32_t>(out.size()));
        EXPECT_EQ(out, c.out) << "order " << c.order;
    }
    Built scale({1.0f, 3.0f}, 0);
    EXPECT_EQ(scale.st.tapSt.taps[0], 0.333333343f);
    EXPECT_TRUE(nspReports().empty());
}

TEST_F(NspIir, InPlaceEqualsOutOfPlaceAndPlainModel) {
    // Long random input cut into blocks of awkward sizes; every order, including the order-2 loop,
    // must match the plain model bit for bit. A count of 0 writes nothing and keeps the state.
    std::mt19937 rng(12345);
    const int sizes[] = {0, 1, 7, 31, 4095, 4096, 2, 3};
    for (int order : {0, 1, 2, 3, 4, 6}) {
        const std::vector<float> taps = randomTaps(rng, order);
        const std::vector<float> x = randomSignal(rng, 20000);
        Built sep(taps, order);
        Built inplace(taps, order);
        PlainIir plain(order, sep.tapArray());
        std::vector<float> outSep(x.size()), outIn(x), outPlain(x.size());
        plain.run(x.data(), outPlain.data(), static_cast<int>(x.size()));
        size_t pos = 0;
        for (int k = 0; pos < x.size(); ++k) {
            int n = k < 8 ? sizes[k] : std::uniform_int_distribution<int>(0, 600)(rng);
            n = std::min<int>(n, static_cast<int>(x.size() - pos));
            nspsbIir(&sep.st, x.data() + pos, outSep.data() + pos, n);
            nspsbIir(&inplace.st, outIn.data() + pos, outIn.data() + pos, n);
            pos += n;
        }
        float untouched[2] = {42.0f, 43.0f};
        nspsbIir(&sep.st, x.data(), untouched, 0);
        nspsbIirl(&sep.st.tapSt, &sep.st.dlySt, x.data(), untouched, 0);
        EXPECT_EQ(untouched[0], 42.0f);
        EXPECT_EQ(untouched[1], 43.0f);
        EXPECT_TRUE(SameBits(outSep, outPlain)) << "order " << order;
        EXPECT_TRUE(SameBits(outIn, outPlain)) << "order " << order;
        EXPECT_TRUE(SameBits(std::vector<float>(sep.st.dlySt.dlyl, sep.st.dlySt.dlyl + order), plain.d));
    }
    EXPECT_TRUE(nspReports().empty());
}

TEST_F(NspIir, FailedBuildsLeaveTheStateFree) {
    for (float a0 : {0.0f, -0.0f, std::numeric_limits<float>::quiet_NaN()}) {
        Reset();
        const float taps[6] = {1, 0.5f, 0.25f, a0, 0.1f, 0.2f};
        NspIirFilterState st{};
        nspsIirInit(0, taps, 2, &st);
        EXPECT_EQ(ReportLines(),
                  (std::vector<std::string>{"-5 nspsIirlInit nspiirl taps[order+1] equals zero",
                                            "-1 nspsIirInit nspiirh"}));
        EXPECT_EQ(st.initMarker, 0);
        EXPECT_EQ(nspLastStatus(), NSP_STS_BAD_ARGUMENT); // the backtrace keeps the cause
    }
    // An order too large for memory.
    Reset();
    NspIirFilterState st{};
    const float taps[2] = {1.0f, 1.0f};
    nspsIirInit(0, taps, INT32_MAX, &st);
    EXPECT_EQ(ReportLines(), std::vector<std::string>{
                                 "-4 nspsIirInit nspiirh insufficiency of memory for IIR filter state"});
    EXPECT_EQ(st.initMarker, 0);
}

TEST_F(NspIir, EarlierFailureDoesNotBlockFiltering) {
    Built f({0.5f, 0.25f, 0.125f, 1.0f, -0.5f, 0.25f}, 2);
    nspSetLastStatus(NSP_STS_BAD_ARGUMENT);
    float x[2] = {1.0f, 0.0f};
    nspsbIir(&f.st, x, x, 2);
    EXPECT_EQ(x[0], 0.5f);
    EXPECT_EQ(x[1], 0.5f);
    Built g({1.0f, 0.5f, 1.0f, 0.5f}, 1);
    EXPECT_EQ(g.st.initMarker, NSP_IIR_INIT_MARKER);
    EXPECT_EQ(g.st.dlySt.dlyl[0], 0.0f);
    EXPECT_TRUE(nspReports().empty());
    EXPECT_EQ(nspLastStatus(), NSP_STS_BAD_ARGUMENT);
}

} // namespace
