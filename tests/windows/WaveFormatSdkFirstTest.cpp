// A host that includes the Windows headers before Halvane.h: the system's tWAVEFORMATEX is the one
// the library takes.
#include <windows.h>
// mmreg.h needs the types of windows.h.
#include <mmreg.h>

#include <gtest/gtest.h>

#include <cstddef>

#include "Halvane.h"

TEST(WaveFormat, SystemRecordDefinedFirstDrivesTheLibrary) {
    static_assert(sizeof(WAVEFORMATEX) == 18, "the system record is byte-packed");
    static_assert(offsetof(tWAVEFORMATEX, nChannels) == 2, "");
    static_assert(offsetof(tWAVEFORMATEX, nSamplesPerSec) == 4, "");
    static_assert(offsetof(tWAVEFORMATEX, cbSize) == 16, "");

    WAVEFORMATEXTENSIBLE extensible{};
    extensible.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    extensible.Format.nChannels = 2;
    extensible.Format.nSamplesPerSec = 48000;
    extensible.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    extensible.dwChannelMask = 63;

    CSurroundEffect effect;
    effect.SetSpeakersConfig(static_cast<int>(extensible.dwChannelMask), true);
    effect.Initialize(&extensible.Format);
    EXPECT_EQ(effect.GetOutputChannels(), 6);
    EXPECT_EQ(extensible.Format.nChannels, 2) << "the caller's channel count comes back";
    EXPECT_EQ(extensible.dwChannelMask, 63u) << "nothing past the record is written";
}
