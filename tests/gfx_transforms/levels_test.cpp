#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "gfx/core/thread_slot.h"
#include "gfx/levels.h"
#include "image/bitmap.h"
#include "tests/gfx_transforms/test_util.h"

namespace vt::gfx {
namespace {

using testing::argb;
using testing::grey;
using testing::Picture;

TEST(YccConversion, FixedPointValues) {
    const struct {
        std::uint32_t rgb;
        std::uint32_t ycc;
    } cases[] = {
        {0x00000000, 0x00008080}, // black
        {0x00FFFFFF, 0x00FF8080}, // white
        {0x00808080, 0x00808080}, // grey keeps its level, neutral chroma
        {0x00FF0000, 0x004C54FF}, // red: Cb floors -43.03 to -44
        {0x0000FF00, 0x00962B15}, // green
        {0x000000FF, 0x001DFF6B}, // blue: Cr floors -20.7 to -21
        {0x80FF0000, 0x804C54FF}, // the transparency byte travels along
        {0xFF0A141E, 0xFF12867A},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RgbToYcc(c.rgb), c.ycc) << std::hex << c.rgb;
    }
}

TEST(YccConversion, BackToRgbValues) {
    const struct {
        std::uint32_t ycc;
        std::uint32_t rgb;
    } cases[] = {
        {0x00808080, 0x00808080}, {0x00FF8080, 0x00FFFFFF},
        {0x00008080, 0x00000000}, {0x004C54FF, 0x00FE0000}, // red comes back one step darker
        {0x0000FF00, 0x000030E1},                           // out-of-gamut chroma clamps R to 0
        {0x7F808080, 0x7F808080},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(YccToRgb(c.ycc), c.rgb) << std::hex << c.ycc;
    }
}

TEST(YccConversion, RoundTripStaysWithinThreeSteps) {
    int worst = 0;
    for (std::uint32_t rgb = 0; rgb < (1u << 24); ++rgb) {
        const std::uint32_t back = YccToRgb(RgbToYcc(rgb | 0x5A000000u));
        ASSERT_EQ(back >> 24, 0x5Au);
        for (int shift = 0; shift < 24; shift += 8) {
            const int d = std::abs(static_cast<int>((back >> shift) & 255) -
                                   static_cast<int>((rgb >> shift) & 255));
            worst = std::max(worst, d);
        }
    }
    EXPECT_LE(worst, 3);
    // Greys are exact.
    for (std::uint32_t v = 0; v < 256; ++v)
        EXPECT_EQ(YccToRgb(RgbToYcc(grey(v))), grey(v));
}

TEST(AutoLevels, SmallPictureStretchesExactExtremes) {
    // 3 pixels: the estimates are the exact minimum 20 and maximum 200.
    Picture pic(3, 1, {argb(0x11, 20, 110, 200), argb(0, 110, 110, 110), argb(0xFF, 200, 20, 20)});
    AutoLevels(pic.get());
    EXPECT_EQ(pic.at(0, 0), argb(0x11, 0, 128, 255));
    EXPECT_EQ(pic.at(1, 0), argb(0, 128, 128, 128)); // trunc(90 * 255 / 180 + 0.5)
    EXPECT_EQ(pic.at(2, 0), argb(0xFF, 255, 0, 0));
}

TEST(AutoLevels, NoRangeLeavesThePicture) {
    for (const std::uint32_t colour : {grey(0), grey(77), grey(255), argb(9, 77, 77, 77)}) {
        Picture pic(20, 20, [&](std::int32_t, std::int32_t) { return colour; });
        AutoLevels(pic.get());
        for (const std::uint32_t p : pic.pixels())
            ASSERT_EQ(p, colour);
    }
}

TEST(AutoLevels, EstimatesCreepInLargePictures) {
    // 10000 pixels spanning 100..150, then one black and one white stray pixel at the end: the
    // rate is 255 / 10000, so the strays move the estimates by only 2.55 % of their distance.
    Picture pic(100, 100, [](std::int32_t, std::int32_t) { return argb(0, 150, 100, 125); });
    pic.at(98, 99) = grey(0);
    pic.at(99, 99) = grey(255);
    LevelEstimate e;
    ASSERT_TRUE(estimate_levels(pic.get(), e));
    const double rate = 255.0 / 10000.0;
    EXPECT_NEAR(e.lo, 100.0 - 100.0 * rate, 1e-9);
    EXPECT_NEAR(e.hi, 150.0 + 105.0 * rate, 1e-9);

    AutoLevels(pic.get());
    const auto expect = [&](double v) {
        return static_cast<std::uint32_t>(
            std::clamp(std::trunc((v - e.lo) * 255.0 / (e.hi - e.lo) + 0.5), 0.0, 255.0));
    };
    EXPECT_EQ(pic.at(0, 0), argb(0, expect(150), expect(100), expect(125)));
    EXPECT_EQ(pic.at(99, 99), grey(255));
    EXPECT_EQ(pic.at(98, 99), grey(0));
}

TEST(AutoLevels, EstimatesMatchAPlainScanOnRandomPictures) {
    // The estimator skips blocks of pixels that cannot move it; it must not skip one that can.
    std::mt19937 rng(7);
    for (const auto& size : {std::pair{37, 29}, std::pair{16, 16}, std::pair{300, 11}}) {
        const auto [w, h] = size;
        std::uniform_int_distribution<int> spread(0, 120);
        const int lo = spread(rng);
        Picture pic(w, h, [&](std::int32_t, std::int32_t) {
            std::uniform_int_distribution<std::uint32_t> channel(
                static_cast<std::uint32_t>(lo), static_cast<std::uint32_t>(lo + 120));
            return argb(channel(rng), channel(rng), channel(rng), channel(rng));
        });
        pic.at(w - 1, h / 2) = grey(255); // a late outlier inside a block
        const double rate = std::min(1.0, 255.0 / (static_cast<double>(w) * h));
        double hi = 0.0, low = 255.0;
        for (const std::uint32_t p : pic.pixels()) {
            const double r = (p >> 16) & 255, g = (p >> 8) & 255, b = p & 255;
            const double mx = std::max({r, g, b}), mn = std::min({r, g, b});
            if (mx > hi)
                hi += (mx - hi) * rate;
            if (mn < low)
                low += (mn - low) * rate;
        }
        LevelEstimate e;
        ASSERT_TRUE(estimate_levels(pic.get(), e));
        EXPECT_EQ(e.hi, hi) << w << "x" << h;
        EXPECT_EQ(e.lo, low) << w << "x" << h;
    }
}

TEST(AutoLevels, InvalidBitmapIsLeftAlone) {
    Bitmap zero{};
    AutoLevels(&zero);
    AutoLevels(nullptr);
    EXPECT_NE(last_engine_error(), 1u);
}

} // namespace
} // namespace vt::gfx
