#include "dsp/NspTestSupport.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

using NspVec = NspReportingTest;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Bit patterns, so that NaN, -0 and +0 compare as what they are.
std::vector<uint32_t> bits(const std::vector<float>& v) {
    std::vector<uint32_t> u(v.size());
    std::memcpy(u.data(), v.data(), v.size() * sizeof(float));
    return u;
}

std::vector<uint32_t> thresh(std::vector<float> v, float level, int32_t op) {
    nspsbThresh1(v.data(), static_cast<int32_t>(v.size()), level, op);
    return bits(v);
}

TEST_F(NspVec, ThreshAboveBelowAndLevelBits) {
    EXPECT_EQ(thresh({1.0f, 1.5f, kInf, kNaN, 0.5f, -kInf}, 1.0f, NSP_THRESH_ABOVE),
              bits({1.0f, 1.0f, 1.0f, kNaN, 0.5f, -kInf}));
    EXPECT_EQ(thresh({-1.0f, -3.0f, -kInf, kNaN, 0.0f, kInf}, -1.0f, NSP_THRESH_BELOW),
              bits({-1.0f, -1.0f, -1.0f, -1.0f, 0.0f, kInf}));
    // -0 equals +0, so it is not replaced; a replaced element takes the level's own bits.
    EXPECT_EQ(thresh({-0.0f, -5.0f}, 0.0f, NSP_THRESH_BELOW), bits({-0.0f, 0.0f}));
    EXPECT_EQ(thresh({0.0f, 5.0f}, -0.0f, NSP_THRESH_ABOVE), bits({0.0f, -0.0f}));

    // Any non-zero operation lowers; the two clamping passes turn NaN into -1.
    float clamp[3] = {kNaN, 2.0f, -2.0f};
    nspsbThresh1(clamp, 3, 1.0f, 7);
    nspsbThresh1(clamp, 3, -1.0f, NSP_THRESH_BELOW);
    EXPECT_EQ(bits({clamp[0], clamp[1], clamp[2]}), bits({-1.0f, 1.0f, -1.0f}));
    EXPECT_TRUE(nspReports().empty());
}

TEST_F(NspVec, ThreshChecks) {
    float v[1] = {9.0f};
    nspsbThresh1(nullptr, 0, 1.0f, 1);
    ExpectSingleBadArgument("nspsbThresh1", "len<=0", "nspvec");
    nspReports().clear();
    nspsbThresh1(v, -1, 1.0f, 1);
    ExpectSingleBadArgument("nspsbThresh1", "len<=0", "nspvec");
    nspReports().clear();
    nspsbThresh1(nullptr, 1, 1.0f, 1);
    ExpectSingleBadArgument("nspsbThresh1", "vec==0", "nspvec");
    EXPECT_EQ(v[0], 9.0f);
}

TEST_F(NspVec, ReportErrorStoresAndForwards) {
    nspSetLastStatus(-5);
    EXPECT_EQ(nspReportError(0, "f", "m", "mod", 1), 0);
    EXPECT_EQ(nspLastStatus(), 0);
    EXPECT_TRUE(nspReports().empty());

    // Backtrace and autotrace reach the handler but keep the last status.
    nspSetLastStatus(-4);
    EXPECT_EQ(nspReportError(-1, "outer", nullptr, "nspiirh", 12), -1);
    EXPECT_EQ(nspReportError(-8, "auto", "trace", "nspvec", 13), -8);
    EXPECT_EQ(nspLastStatus(), -4);
    EXPECT_EQ(ReportLines(), (std::vector<std::string>{"-1 outer nspiirh", "-8 auto nspvec trace"}));
    EXPECT_EQ(nspReports()[0].line, 12);

    // Any other code is stored, including positive ones.
    EXPECT_EQ(nspReportError(3, "g", "x", "y", 4), 3);
    EXPECT_EQ(nspLastStatus(), 3);
}

TEST_F(NspVec, DefaultHandlerReturnsStatusInNonZeroMode) {
    EXPECT_EQ(nspDefaultErrorHandler(-5, "f", "m", "mod", 1), -5);
    nspSetErrorHandler(nspDefaultErrorHandler);
    EXPECT_EQ(nspReportError(-13, "f", "m", "mod", 1), -13);
    EXPECT_EQ(nspLastStatus(), -13);
}

TEST(NspVecDeathTest, DefaultHandlerInModeZeroExitsWithOne) {
    EXPECT_EXIT(
        {
            nspSetErrorHandler(nspDefaultErrorHandler);
            nspSetErrorMode(0);
            nspsbCopy(nullptr, nullptr, 0);
            std::exit(7);
        },
        ::testing::ExitedWithCode(1), "");
}

TEST(NspVecAlloc, AlignedBlocks) {
    for (int32_t n : {0, 1, 3, 7, 8, 1000, 4097}) {
        for (int rep = 0; rep < 4; ++rep) {
            float* p = nspsAllocAligned(n);
            ASSERT_NE(p, nullptr) << n;
            const auto addr = reinterpret_cast<std::uintptr_t>(p);
            EXPECT_EQ(addr % 32, 0u) << n;
            for (int32_t i = 0; i < n; ++i) {
                p[i] = static_cast<float>(i);
            }
            nspFreeAligned(p);
        }
    }
    nspFreeAligned(nullptr);
}

} // namespace
