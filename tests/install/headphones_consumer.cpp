// A host of the installed binaural stage: builds it from given filters and runs one block, so that
// the header, the library and its link to libHalvane must all be found.
#include <HalvaneHeadphones.h>

#include <cstdio>

int main() {
    const float one[1] = {1.0f};
    const float* filters[1] = {one};
    CHalvaneHeadphones hp;
    std::string error;
    if (!hp.InitializeFilters(1, 1, filters, filters, 64, error)) {
        std::fprintf(stderr, "headphones_consumer: %s\n", error.c_str());
        return 1;
    }
    float in[64] = {1.0f}, left[64], right[64];
    const float* ip[1] = {in};
    float* op[2] = {left, right};
    if (hp.Process(ip, 1, op, 64) != 1 || hp.GetLatency() != 64) {
        std::fprintf(stderr, "headphones_consumer: the stage misbehaves\n");
        return 1;
    }
    std::printf("headphones_consumer: ok\n");
    return 0;
}
