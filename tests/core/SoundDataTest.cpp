// The sound record: allocation, release, silence and buffer ownership. Leaks and double frees show
// up in the address-sanitizer run of these tests.
#include <gtest/gtest.h>

#include "Halvane.h"

TEST(SoundData, AllocateReleaseSilence) {
    _SOUNDDATAEX_ data;
    EXPECT_EQ(data.bFlag, 0);
    EXPECT_EQ(data.nReserved, 0);
    EXPECT_TRUE(data.Channels.empty());

    struct AllocCase {
        int channels, samples;
        size_t expectedChannels;
    };
    // Each Allocate releases the buffers of the one before.
    const AllocCase cases[] = {{2, 4096, 2}, {0, 17, 0}, {10, 1, 10}, {-3, 5, 0}, {1, 0, 1}, {2, 4096, 2}};
    for (const AllocCase& tc : cases) {
        data.nReserved = 77;
        data.bFlag = 9;
        data.Allocate(tc.channels, tc.samples);
        EXPECT_EQ(data.Channels.size(), tc.expectedChannels) << tc.channels;
        EXPECT_EQ(data.nSamples, tc.samples);
        EXPECT_EQ(data.nReserved, 0);
        EXPECT_EQ(data.bFlag, 0); // through the Release that Allocate starts with
        for (float* buffer : data.Channels)
            ASSERT_NE(buffer, nullptr);
    }

    for (int i = 0; i < 4096; ++i)
        data.Channels[1][i] = 1.0f;
    data.Channels[0][0] = -2.0f;
    data.nReserved = 5;
    data.bFlag = 3;
    data.Silence();
    EXPECT_EQ(data.nReserved, 0);
    EXPECT_EQ(data.bFlag, 3);
    EXPECT_EQ(data.nSamples, 4096);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < 4096; ++i)
            ASSERT_EQ(data.Channels[c][i], 0.0f) << c << " " << i;

    data.Release();
    EXPECT_TRUE(data.Channels.empty());
    EXPECT_EQ(data.nSamples, 0);
    EXPECT_EQ(data.bFlag, 0);
    // Release of an empty record only clears the scalars.
    data.nSamples = 12;
    data.nReserved = 1;
    data.bFlag = 1;
    data.Release();
    EXPECT_EQ(data.nSamples, 0);
    EXPECT_EQ(data.nReserved, 0);
    EXPECT_EQ(data.bFlag, 0);
}

TEST(SoundData, AssignmentHandsOverThePointers) {
    _SOUNDDATAEX_ owner;
    owner.Allocate(2, 8);
    owner.bFlag = 4;
    owner.nUser = 0xCAFEu;
    owner.nReserved = 2;
    {
        _SOUNDDATAEX_ local;
        local = owner; // copies the pointers, not the samples
        local.Channels[1][7] = 3.5f;
        // The local record dies without freeing the shared buffers.
    }
    EXPECT_EQ(owner.Channels[1][7], 3.5f);
    owner.Release();
}
