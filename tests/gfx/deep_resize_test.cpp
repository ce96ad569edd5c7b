#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "gfx/deep_resize.h"
#include "gfx/resample.h"
#include "gfxcore/runtime.h"
#include "image/bitmap.h"
#include "image/deep_image.h"
#include "tests/gfx/gfx_test_util.h"

namespace vt::gfx {
namespace {

void fill_noisy(image::DeepImage& deep, std::uint32_t w, std::uint32_t h, std::uint32_t channels) {
    ASSERT_TRUE(deep.create(w, h, channels));
    std::uint32_t x = 2463534242u;
    for (std::size_t i = 0; i < std::size_t{w} * h * channels; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        deep.record().samples[i] = static_cast<std::uint16_t>(x);
    }
}

class DeepResize : public ::testing::Test {
protected:
    void SetUp() override {
        char16_t why[128];
        ASSERT_TRUE(EngineStartup(why, 128));
    }
    void TearDown() override { EngineShutdown(); }
};

// Shrinks by whole factors: every destination pixel is the mean of a k x k block, which a
// double-precision reference computes directly; the deep result is that mean rounded.
TEST_F(DeepResize, WholeFactorShrinksAreTheRoundedBlockMeans) {
    const struct {
        std::uint32_t w, h, k, channels;
    } cases[] = {{40, 24, 2, 4}, {36, 27, 3, 2}, {64, 32, 4, 4}, {6000 / 50, 4000 / 50, 2, 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " / " + std::to_string(c.k));
        image::DeepImage source, deep;
        fill_noisy(source, c.w, c.h, c.channels);
        fill_noisy(deep, c.w, c.h, c.channels);
        ASSERT_TRUE(resize_deep_box(deep, c.w / c.k, c.h / c.k));
        ASSERT_EQ(deep.record().width, c.w / c.k);
        double worst = 0;
        for (std::uint32_t y = 0; y < c.h / c.k; ++y)
            for (std::uint32_t x = 0; x < c.w / c.k; ++x)
                for (std::uint32_t ch = 0; ch < c.channels; ++ch) {
                    double sum = 0;
                    for (std::uint32_t j = 0; j < c.k; ++j)
                        for (std::uint32_t i = 0; i < c.k; ++i)
                            sum += source.row(y * c.k + j)[(x * c.k + i) * c.channels + ch];
                    const double mean = sum / (c.k * c.k);
                    worst = std::max(worst, std::abs(mean - deep.row(y)[x * c.channels + ch]));
                }
        EXPECT_LE(worst, 0.5);
    }
}

// Any shrink the box path takes covers the spans the 8-bit high-quality copy covers: its
// rounding is within one step of the 8-bit result (which truncates the mean of rounded
// samples). Sizes the box path does not take are refused, the picture left alone.
TEST_F(DeepResize, FollowsTheEightBitBoxSpansAndRefusesOtherPaths) {
    const struct {
        std::uint32_t w, h, new_w, new_h;
        bool box;
    } cases[] = {
        {101, 37, 33, 12, true}, {37, 23, 12, 7, true},   {200, 9, 7, 3, true},
        {37, 23, 19, 12, false}, {20, 20, 40, 40, false}, {20, 20, 20, 20, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " -> " +
                     std::to_string(c.new_w) + "x" + std::to_string(c.new_h));
        image::DeepImage deep;
        fill_noisy(deep, c.w, c.h, 4);
        testing::Picture pic(static_cast<std::int32_t>(c.w), static_cast<std::int32_t>(c.h));
        image::deep_to_pixels(deep, pic.get()->pixels, pic.get()->stride);
        EXPECT_EQ(deep_box_resize_fits(c.w, c.h, c.new_w, c.new_h), c.box);
        ASSERT_EQ(resize_deep_box(deep, c.new_w, c.new_h), c.box);
        if (!c.box) {
            EXPECT_EQ(deep.record().width, c.w);
            continue;
        }
        ASSERT_EQ(ResizeBitmap(pic.get(), static_cast<std::int32_t>(c.new_w),
                               static_cast<std::int32_t>(c.new_h), kResizeHighQuality),
                  1);
        std::vector<std::uint32_t> rounded(std::size_t{c.new_w} * c.new_h);
        image::deep_to_pixels(deep, rounded.data(), c.new_w);
        const std::vector<std::uint32_t> eight = pic.pixels();
        int worst = 0;
        for (std::size_t i = 0; i < rounded.size(); ++i)
            for (int shift = 0; shift < 32; shift += 8)
                worst = std::max(worst, std::abs(static_cast<int>((rounded[i] >> shift) & 255) -
                                                 static_cast<int>((eight[i] >> shift) & 255)));
        EXPECT_LE(worst, 1);
    }
}

} // namespace
} // namespace vt::gfx
