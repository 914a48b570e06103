// A host that sees only the installed public header: it exercises the object's life cycle and the
// sound record, so that every symbol a host links against must be exported.
#include <Halvane.h>
#include <HalvaneLayouts.h>

#include <cstdio>

int main() {
    CSurroundEffect* effect = new CSurroundEffect();
    CSurroundEffect copy(*effect);
    CSurroundEffect other;
    other = copy;
    delete effect;

    _SOUNDDATAEX_ data;
    data.Allocate(2, 256);
    data.Silence();
    const bool allocated = data.Channels.size() == 2 && data.nSamples == 256 && data.Channels[0][255] == 0.0f;
    data.Release();
    if (!allocated || !data.Channels.empty() || data.nSamples != 0) {
        std::fprintf(stderr, "consumer: sound record misbehaves\n");
        return 1;
    }
    // The layouts header is installed beside Halvane.h, and its one function is exported: 331.46 m
    // of travel take one second, 48000 samples at 48 kHz.
    const HalvaneLayoutInfo* layout = HalvaneFindLayout(HALVANE_DEFAULT_LAYOUT);
    if (!layout || HalvaneChannelMask(*layout) != 0x3F || HalvaneTravelSamples(331.46f, 48000) != 48000) {
        std::fprintf(stderr, "consumer: layouts header misbehaves\n");
        return 1;
    }
    std::printf("consumer: ok\n");
    return 0;
}
