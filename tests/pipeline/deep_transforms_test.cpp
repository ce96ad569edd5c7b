// The deep picture through the transform pipeline: colour management and the watermarks at 16
// bits, and whole vtconvert jobs that keep 16 bits through every step.

#include <gtest/gtest.h>
#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "gfxcore/runtime.h"
#include "image/bitmap.h"
#include "image/deep_image.h"
#include "image/meta_block.h"
#include "pipeline/colour_step.h"
#include "tests/gfx/gfx_test_util.h"

namespace vt::pipeline {
namespace {

using gfx::testing::LayerStack;

class DeepTransforms : public ::testing::Test {
protected:
    void SetUp() override {
        char16_t why[128];
        ASSERT_TRUE(gfx::EngineStartup(why, 128));
    }
    void TearDown() override { gfx::EngineShutdown(); }
};

void fill_noise(image::DeepImage& deep, std::uint32_t w, std::uint32_t h, std::uint32_t ch) {
    ASSERT_TRUE(deep.create(w, h, ch));
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t i = 0; i < w * ch; ++i)
            deep.row(y)[i] = static_cast<std::uint16_t>(
                gfx::testing::noisy(static_cast<std::int32_t>(i), static_cast<std::int32_t>(y), 7));
}

// An RGB profile with wide primaries and a gamma of 2.2, or a grey one with a gamma of 1.8.
std::vector<std::uint8_t> profile(bool rgb) {
    cmsToneCurve* curve = cmsBuildGamma(nullptr, rgb ? 2.2 : 1.8);
    const cmsCIExyY white{0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve* curves[3] = {curve, curve, curve};
    cmsHPROFILE p = rgb ? cmsCreateRGBProfile(&white, &primaries, curves)
                        : cmsCreateGrayProfile(cmsD50_xyY(), curve);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(p, nullptr, &size);
    std::vector<std::uint8_t> bytes(size);
    cmsSaveProfileToMem(p, bytes.data(), &size);
    cmsCloseProfile(p);
    cmsFreeToneCurve(curve);
    return bytes;
}

// Conversion to sRGB: within one step at 16 bits of the same profiles and intent in double
// precision, alpha kept, the profile left for the 8-bit step to drop; a grey picture stays grey.
TEST_F(DeepTransforms, ColourConversionMatchesTheDoublePrecisionTransform) {
    const struct {
        bool rgb_profile;
        std::uint32_t ch;
        int intent;
        int result;
    } cases[] = {{true, 4, kIntentPerceptual, 1},
                 {true, 4, kIntentRelative, 1},
                 {false, 4, kIntentPerceptual, 1},
                 {false, 2, kIntentRelative, 1},
                 {true, 2, kIntentPerceptual, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.rgb_profile ? "rgb" : "grey") + " profile, " +
                     std::to_string(c.ch) + " channels, intent " + std::to_string(c.intent));
        LayerStack doc;
        Layer& layer = doc.add(19, 11);
        const std::vector<std::uint8_t> icc = profile(c.rgb_profile);
        ASSERT_NE(image::replace_layer_chunk(layer, image::meta_tag("ICCP"),
                                             static_cast<std::uint32_t>(icc.size()), icc.data()),
                  0);
        image::DeepImage deep, source;
        fill_noise(deep, 19, 11, c.ch);
        fill_noise(source, 19, 11, c.ch);
        ASSERT_EQ(ConvertDeepToSrgb(layer, deep, c.intent), c.result);
        if (c.result != 1)
            continue;
        EXPECT_EQ(deep.record().channels, c.ch);
        cmsHPROFILE from =
            cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size()));
        cmsHPROFILE srgb = cmsCreate_sRGBProfile();
        cmsHTRANSFORM t =
            cmsCreateTransform(from, c.rgb_profile ? TYPE_RGB_DBL : TYPE_GRAY_DBL, srgb,
                               TYPE_RGB_DBL, static_cast<cmsUInt32Number>(c.intent), 0);
        ASSERT_NE(t, nullptr);
        double worst = 0;
        int alpha_moved = 0;
        for (std::uint32_t y = 0; y < 11; ++y)
            for (std::uint32_t x = 0; x < 19; ++x) {
                const std::uint16_t* s = source.row(y) + x * c.ch;
                const std::uint16_t* d = deep.row(y) + x * c.ch;
                // Colour values in double run 0..1; a grey picture keeps the green of its
                // (neutral) colour.
                double in[3], out[3];
                for (int k = 0; k < 3; ++k)
                    in[k] = s[c.ch == 4 ? (c.rgb_profile ? k : 1) : 0] / 65535.0;
                cmsDoTransform(t, in, out, 1);
                for (std::uint32_t k = 0; k < (c.ch == 4 ? 3u : 1u); ++k)
                    worst = std::max(
                        worst,
                        std::abs(std::clamp(out[c.ch == 4 ? k : 1], 0.0, 1.0) * 65535.0 - d[k]));
                alpha_moved += s[c.ch - 1] != d[c.ch - 1];
            }
        cmsDeleteTransform(t);
        cmsCloseProfile(from);
        cmsCloseProfile(srgb);
        EXPECT_LE(worst, 1.0);
        EXPECT_EQ(alpha_moved, 0);
        image::MetaChunk kept{};
        EXPECT_TRUE(image::find_layer_chunk(layer, image::meta_tag("ICCP"), kept));
    }
}

} // namespace
} // namespace vt::pipeline
