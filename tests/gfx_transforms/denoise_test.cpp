#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <random>
#include <vector>

#include "gfx/denoise.h"
#include "gfx/levels.h"
#include "gfxcore/row_claim.h"
#include "image/bitmap.h"
#include "tests/gfx/gfx_test_util.h"
#include "tests/gfx_transforms/median_reference.h"

namespace vt::gfx {
namespace {

using testing::argb;
using testing::grey;
using testing::Picture;

std::vector<std::uint32_t> random_pixels(std::size_t n, std::uint32_t seed, std::uint32_t mask) {
    std::mt19937 rng(seed);
    std::vector<std::uint32_t> out(n);
    for (auto& p : out)
        p = static_cast<std::uint32_t>(rng()) & mask;
    return out;
}

std::vector<std::uint32_t> filtered(int w, int h, std::vector<std::uint32_t> pixels, int radius) {
    Picture pic(w, h, pixels);
    EXPECT_EQ(MedianDenoise(pic.get(), radius), 1);
    return pic.pixels();
}

// Pictures of every shape that matters: smaller than the window, one pixel wide or high,
// narrower than the window in one direction only, and larger than it.
struct Shape {
    int w, h;
};
constexpr Shape kShapes[] = {{1, 1}, {1, 7}, {9, 1}, {2, 2}, {5, 4}, {13, 40}, {41, 17}, {50, 50}};

TEST(MedianDenoise, EqualsTheDirectFilterForEveryRadius) {
    std::uint32_t seed = 1;
    for (int radius = 1; radius <= 16; ++radius)
        for (const Shape s : kShapes) {
            const auto n = static_cast<std::size_t>(s.w * s.h);
            // Full noise, and few values so that many samples tie.
            for (const std::uint32_t mask : {0xFFFFFFFFu, 0x03C0C0C0u}) {
                const std::vector<std::uint32_t> src = random_pixels(n, ++seed, mask);
                std::vector<std::uint32_t> expected = src;
                reference::median_filter(expected, s.w, s.h, radius);
                ASSERT_EQ(filtered(s.w, s.h, src, radius), expected)
                    << "radius " << radius << " on " << s.w << "x" << s.h << " mask " << std::hex
                    << mask;
            }
        }
}

TEST(MedianDenoise, EqualsTheDirectFilterOnAPhotoLikePicture) {
    const int w = 97, h = 64;
    const auto src = testing::pixels_from(w, h, [](std::int32_t x, std::int32_t y) {
        return argb(0, static_cast<std::uint32_t>(x * 2 + (testing::noisy(x, y, 1) & 15)),
                    static_cast<std::uint32_t>(y * 3 + (testing::noisy(x, y, 2) & 31)),
                    static_cast<std::uint32_t>((x + y) & 255));
    });
    for (int radius : {1, 2, 3, 5, 9}) {
        std::vector<std::uint32_t> expected = src;
        reference::median_filter(expected, w, h, radius);
        EXPECT_EQ(filtered(w, h, src, radius), expected) << radius;
    }
}

TEST(MedianDenoise, BandsOnHelperThreadsGiveTheSameBytes) {
    // Band ends on odd and even rows, bands shorter than the window's reach, narrow pictures.
    std::uint32_t seed = 70;
    for (const Shape s : {Shape{37, 200}, Shape{3, 131}, Shape{90, 129}})
        for (int radius : {1, 3, 16}) {
            const auto src =
                random_pixels(static_cast<std::size_t>(s.w * s.h), ++seed, 0x0FF0F0F0u);
            const auto alone = filtered(s.w, s.h, src, radius);
            for (std::uint32_t idle : {1u, 3u}) {
                const std::atomic<std::uint32_t> count{idle};
                set_row_helpers(&count);
                const auto shared = filtered(s.w, s.h, src, radius);
                set_row_helpers(nullptr);
                ASSERT_EQ(shared, alone)
                    << s.w << "x" << s.h << " radius " << radius << " idle " << idle;
            }
        }
}

TEST(MedianDenoise, RadiusAboveSixteenActsAsSixteen) {
    const std::vector<std::uint32_t> src = random_pixels(40 * 40, 11, 0x00FFFFFF);
    EXPECT_EQ(filtered(40, 40, src, 20), filtered(40, 40, src, 16));
    EXPECT_NE(filtered(40, 40, src, 16), filtered(40, 40, src, 15));
}

TEST(MedianDenoise, RadiusBelowOneDoesNothing) {
    const std::vector<std::uint32_t> src = {argb(0, 255, 0, 0), argb(3, 1, 2, 3)};
    for (int radius : {0, -1, -1000}) // not even round-tripped
        EXPECT_EQ(filtered(2, 1, src, radius), src) << radius;
}

TEST(MedianDenoise, CornerWithFourSamplesTakesTheUpperMiddle) {
    // The corner's window holds 10, 20, 30 and 40; rank 4 / 2 = 2 is 30.
    Picture pic(3, 3,
                {grey(10), grey(20), grey(200), grey(30), grey(40), grey(200), grey(200), grey(200),
                 grey(200)});
    ASSERT_EQ(MedianDenoise(pic.get(), 1), 1);
    EXPECT_EQ(pic.at(0, 0), grey(30));
}

TEST(MedianDenoise, ThreeSamplesOrFewerAreOnlyRoundTripped) {
    // One pixel wide: windows of 2 (ends) or 3 samples keep their centre.
    for (const int h : {1, 2, 3}) {
        const std::vector<std::uint32_t> src = {argb(0x40, 255, 0, 0), argb(0, 0, 0, 255),
                                                argb(0, 0, 255, 0)};
        std::vector<std::uint32_t> column(src.begin(), src.begin() + h);
        std::vector<std::uint32_t> expected;
        for (const std::uint32_t p : column)
            expected.push_back(YccToRgb(RgbToYcc(p)));
        EXPECT_EQ(filtered(1, h, column, 1), expected) << h;
    }
}

TEST(MedianDenoise, ChromaIsThePairMedianOrderedByCb) {
    // A column of five: every window of the middle pixel holds all five. The (Cb, Cr) pairs
    // sorted by Cb: the middle pair's Cr is not the median of the Cr values alone.
    const std::vector<std::uint32_t> src = {argb(0, 200, 40, 40), argb(0, 40, 200, 40),
                                            argb(0, 40, 40, 200), argb(0, 120, 120, 140),
                                            argb(0, 180, 160, 60)};
    std::vector<std::uint32_t> keys;
    std::vector<std::uint32_t> cr;
    std::vector<std::uint32_t> luma;
    for (const std::uint32_t p : src) {
        keys.push_back(RgbToYcc(p) & 0xFFFF);
        cr.push_back(RgbToYcc(p) & 0xFF);
        luma.push_back(RgbToYcc(p) & 0xFF0000);
    }
    std::sort(keys.begin(), keys.end());
    std::sort(cr.begin(), cr.end());
    std::sort(luma.begin(), luma.end());
    ASSERT_NE(keys[2] & 0xFF, cr[2]) << "the example must tell the two medians apart";
    const std::vector<std::uint32_t> out = filtered(1, 5, src, 2);
    EXPECT_EQ(out[2], YccToRgb(luma[2] | keys[2]));
}

TEST(MedianDenoise, InvalidBitmapFails) {
    Bitmap zero{};
    EXPECT_EQ(MedianDenoise(&zero, 2), 0);
    EXPECT_EQ(MedianDenoise(nullptr, 2), 0);
}

} // namespace
} // namespace vt::gfx
