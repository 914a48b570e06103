// A host that includes Halvane.h before the Windows headers: the library's definition of
// tWAVEFORMATEX serves the system headers, which build their own records on it.
#include "Halvane.h"

#include <windows.h>
// mmreg.h needs the types of windows.h.
#include <mmreg.h>

#include <gtest/gtest.h>

#include <cstddef>

TEST(WaveFormat, LibraryRecordDefinedFirstServesTheSystemHeaders) {
    static_assert(sizeof(WAVEFORMATEX) == 18, "the same byte-packed record as the system's");
    static_assert(offsetof(WAVEFORMATEXTENSIBLE, Samples) == 18, "");
    static_assert(offsetof(tWAVEFORMATEX, nSamplesPerSec) == 4, "");

    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    format.nChannels = 1;
    format.nSamplesPerSec = 44100;
    LPCWAVEFORMATEX view = &format;
    EXPECT_EQ(view->nSamplesPerSec, 44100u);

    CSurroundEffect effect;
    effect.SetSpeakersConfig(255, true);
    effect.Initialize(&format);
    EXPECT_EQ(effect.GetOutputChannels(), 8);
    std::vector<float> in(64, 0.25f), out(8 * 64, 1.0f);
    const float* inputs[] = {in.data()};
    float* outputs[8];
    for (int c = 0; c < 8; ++c)
        outputs[c] = out.data() + 64 * c;
    EXPECT_EQ(effect.ProcessPlanar(inputs, 1, outputs, 8, 64), 1);
}
