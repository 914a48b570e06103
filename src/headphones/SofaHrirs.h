// HRIR pairs for a list of directions, read from a SOFA file with libmysofa.
#ifndef HALVANE_HEADPHONES_SOFAHRIRS_H
#define HALVANE_HEADPHONES_SOFAHRIRS_H

#include <string>
#include <vector>

namespace halvane {

struct Direction {
    float azimuth;   // degrees, positive to the left
    float elevation; // degrees, positive up
};

struct HrirPair {
    std::vector<float> left;
    std::vector<float> right;
};

// Opens `path`, resamples its responses to `sampleRate`, and gives one pair per direction,
// interpolated between the measured directions, with the file's onset delays put into the
// responses. Every pair is scaled by one factor: the pair for straight ahead gets a mean energy
// gain of 1 over its two ears. False with a message naming the file and the problem.
bool LoadHrirs(const std::string& path, int sampleRate, const std::vector<Direction>& directions,
               std::vector<HrirPair>& out, std::string& error);

} // namespace halvane

#endif
