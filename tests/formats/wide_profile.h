#pragma once
// A colour profile that is not sRGB's, for the tests that carry a profile through a file.

#include <lcms2.h>

#include <cstdint>
#include <vector>

namespace vt::test {

// Adobe RGB (1998)'s primaries, white point and gamma as a Little CMS profile.
inline std::vector<std::uint8_t> adobe_rgb_profile() {
    const cmsCIExyY white{0.3127, 0.3290, 1};
    const cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1}, {0.21, 0.71, 1}, {0.15, 0.06, 1}};
    cmsToneCurve* gamma = cmsBuildGamma(nullptr, 563.0 / 256);
    cmsToneCurve* curves[3] = {gamma, gamma, gamma};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsSetProfileVersion(profile, 2.1); // the version most readers know
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::vector<std::uint8_t> icc(size);
    cmsSaveProfileToMem(profile, icc.data(), &size);
    cmsCloseProfile(profile);
    cmsFreeToneCurve(gamma);
    return icc;
}

} // namespace vt::test
