#include "Halvane.h"

void _SOUNDDATAEX_::Allocate(int channels, int samples) {
    Release();
    for (int c = 0; c < channels; ++c)
        Channels.push_back(new float[samples > 0 ? samples : 0]);
    nSamples = samples;
    nReserved = 0;
}

void _SOUNDDATAEX_::Release() {
    for (float* buffer : Channels)
        delete[] buffer;
    Channels.clear();
    nSamples = 0;
    nReserved = 0;
    bFlag = 0;
}

void _SOUNDDATAEX_::Silence() {
    for (float* buffer : Channels)
        for (int i = 0; i < nSamples; ++i)
            buffer[i] = 0.0f;
    nReserved = 0;
}
