#include "dsp/NspTestSupport.h"

#include <cmath>
#include <vector>

namespace {

using NspArith = NspReportingTest;

TEST_F(NspArith, CopyAddScaleValues) {
    const float src[4] = {1.0f, -2.5f, 0.1f, 16777216.0f};
    float dst[4] = {0, 0, 0, 0};
    nspsbCopy(src, dst, 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(dst[i], src[i]);
    }

    // Sums round once to float: 1 + 2^-25 stays 1, 2^24 + 1 ties to the even 2^24, 0.1f + 0.2f is
    // the float nearest the exact sum of the two floats (0.300000012).
    float acc[4] = {1.0f, 16777216.0f, 0.1f, -0.0f};
    const float add[4] = {2.98023224e-08f, 1.0f, 0.2f, 0.0f};
    nspsbAdd2(add, acc, 4);
    EXPECT_EQ(acc[0], 1.0f);
    EXPECT_EQ(acc[1], 16777216.0f);
    EXPECT_EQ(acc[2], 0.300000012f);
    EXPECT_EQ(acc[3], 0.0f);
    EXPECT_FALSE(std::signbit(acc[3]));

    float v[3] = {3.0f, -0.5f, 1e30f};
    nspsbMpy1(0.1f, v, 3);
    EXPECT_EQ(v[0], 0.300000012f); // 3 * 0.100000001490116 = 0.300000004470348, nearest float
    EXPECT_EQ(v[1], -0.0500000007f);
    EXPECT_EQ(v[2], 1.00000002e29f);
    EXPECT_TRUE(nspReports().empty());
    EXPECT_EQ(nspLastStatus(), 0);
}

TEST_F(NspArith, CountOfOneTouchesOnlyElementZero) {
    const float src[3] = {5.0f, 6.0f, 7.0f};
    float a[3] = {1.0f, -9.0f, -9.0f};
    nspsbCopy(src, a, 1);
    EXPECT_EQ(a[0], 5.0f);
    nspsbAdd2(src, a, 1);
    EXPECT_EQ(a[0], 10.0f);
    nspsbMpy1(0.5f, a, 1);
    EXPECT_EQ(a[0], 5.0f);
    EXPECT_EQ(a[1], -9.0f);
    EXPECT_EQ(a[2], -9.0f);
}

TEST_F(NspArith, WalksFromLastElementDown) {
    // Copying and adding one element up within the same buffer reads each source before it is
    // overwritten only when the walk goes downwards.
    float buf[5] = {1, 2, 3, 4, 5};
    nspsbCopy(buf, buf + 1, 4);
    EXPECT_EQ(std::vector<float>(buf, buf + 5), (std::vector<float>{1, 1, 2, 3, 4}));
    float acc[5] = {1, 2, 3, 4, 5};
    nspsbAdd2(acc, acc + 1, 4);
    EXPECT_EQ(std::vector<float>(acc, acc + 5), (std::vector<float>{1, 3, 5, 7, 9}));
}

TEST_F(NspArith, SuccessKeepsLastFailureCode) {
    nspsbMpy1(1.0f, nullptr, 1);
    float v = 2.0f;
    nspsbMpy1(3.0f, &v, 1);
    EXPECT_EQ(v, 6.0f);
    EXPECT_EQ(nspLastStatus(), NSP_STS_BAD_ARGUMENT);
}

} // namespace
