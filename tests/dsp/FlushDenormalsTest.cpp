#include <gtest/gtest.h>

#include <cfloat>

#include "dsp/FlushDenormals.h"

namespace {

// Half the smallest normal float: a subnormal result, unless results are flushed.
float HalfOfSmallestNormal() {
    volatile float smallest = FLT_MIN;
    volatile float half = 0.5f;
    return smallest * half;
}

} // namespace

TEST(FlushDenormals, FlushesInsideTheScopeAndRestoresTheCallersMode) {
#ifndef HALVANE_HAS_MXCSR
    GTEST_SKIP() << "no flush-to-zero control on this processor";
#endif
    const float before = HalfOfSmallestNormal();
    EXPECT_EQ(before, FLT_MIN / 2); // the default mode keeps subnormals
    {
        ScopedFlushDenormals outer;
        EXPECT_EQ(HalfOfSmallestNormal(), 0.0f);
        {
            ScopedFlushDenormals inner; // nested: already flushing, leaves the mode alone
            EXPECT_EQ(HalfOfSmallestNormal(), 0.0f);
        }
        EXPECT_EQ(HalfOfSmallestNormal(), 0.0f);
    }
    EXPECT_EQ(HalfOfSmallestNormal(), FLT_MIN / 2);
}
