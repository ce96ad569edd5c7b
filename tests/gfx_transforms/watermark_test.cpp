#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>

#include "gfx/watermark.h"
#include "image/bitmap.h"
#include "tests/gfx/gfx_test_util.h"

namespace vt::gfx {
namespace {

using testing::argb;
using testing::grey;
using testing::LayerStack;
using testing::Picture;

TEST(WatermarkPlacement, SizesAndPositions) {
    using Row = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                           std::uint32_t, std::uint32_t, std::uint32_t, std::uint64_t,
                           std::uint64_t, std::uint64_t, std::uint64_t>;
    const Row cases[] = {
        {2000, 1000, 400, 100, 25, 100, 100, 500, 125, 1500, 875}, // bottom right
        {2000, 1000, 100, 400, 25, 100, 100, 63, 250, 1937, 750},  // upright: by height
        {2000, 1000, 400, 100, 25, 50, 50, 500, 125, 750, 438},    // centred
        {2000, 1000, 400, 100, 25, 0, 0, 500, 125, 0, 0},          // top left
        {2000, 1000, 400, 100, 25, 0, 100, 500, 125, 0, 875},      // bottom left
        {2000, 1000, 100, 100, 100, 100, 0, 1000, 1000, 1000, 0},  // square: by height
        {2000, 1000, 400, 100, 100, 100, 100, 2000, 500, 0, 500},  // full width
        {3, 3, 1, 1, 1, 100, 100, 0, 0, 0, 0},                     // (3 + 50) / 100 = 0
    };
    for (const auto& [w, h, mw, mh, size, x_pct, y_pct, tw, th, x, y] : cases) {
        WatermarkOptions o{x_pct, y_pct, size, 0};
        const WatermarkPlacement at = place_watermark(w, h, mw, mh, o);
        // The position counts only for a visible mark.
        EXPECT_EQ(std::tuple(at.width, at.height, at.visible, at.visible ? at.x : 0,
                             at.visible ? at.y : 0),
                  std::tuple(tw, th, tw > 0 && th > 0, x, y))
            << mw << "x" << mh << " size " << size << " at " << x_pct << "," << y_pct;
    }
}

TEST(WatermarkPlacement, MarkLargerThanThePictureIsNotDrawn) {
    // A 2:1 mark at full width on a 10:1 picture is five times too high.
    const WatermarkPlacement at = place_watermark(1000, 100, 200, 100, {50, 50, 100, 0});
    EXPECT_EQ(std::tuple(at.width, at.height, at.visible), std::tuple(1000u, 500u, false));
    // The largest sides do not wrap.
    const WatermarkPlacement big = place_watermark(65536, 65536, 65536, 65536, {100, 100, 100, 0});
    EXPECT_EQ(big.width, 65536u);
    EXPECT_TRUE(big.visible);
}

TEST(WatermarkOptions, AreClampedBeforeUse) {
    using Row = std::tuple<WatermarkOptions, WatermarkOptions>;
    const Row cases[] = {
        {{0, 0, 0, 0}, {0, 0, 1, 0}},
        {{100, 100, 100, 99}, {100, 100, 100, 99}},
        {{101, 4000000000u, 101, 100}, {100, 100, 100, 99}},
        {{50, 50, 1, 20}, {50, 50, 1, 20}},
    };
    for (const auto& [in, out] : cases) {
        WatermarkOptions o = in;
        clamp_watermark_options(o);
        EXPECT_EQ(std::tuple(o.watermarkX, o.watermarkY, o.watermarkSize, o.watermarkFade),
                  std::tuple(out.watermarkX, out.watermarkY, out.watermarkSize, out.watermarkFade));
    }
    EXPECT_EQ(watermark_transparency(0), 0);
    EXPECT_EQ(watermark_transparency(50), 127);
    EXPECT_EQ(watermark_transparency(99), 252);
}

// Stamps an opaque white 4 x 2 mark at half the width of a black 8 x 8 picture, bottom right.
std::uint32_t stamp(std::uint32_t fade, std::int32_t x, std::int32_t y,
                    std::uint32_t mark_pixel = grey(255)) {
    LayerStack doc;
    doc.add(8, 8, 0, 0, [](std::int32_t, std::int32_t) { return grey(0); });
    Picture mark(4, 2, [&](std::int32_t, std::int32_t) { return mark_pixel; });
    WatermarkOptions o{100, 100, 50, fade};
    EXPECT_EQ(WatermarkStep(doc.data(), doc.count(), mark.get(), o), 1);
    return LayerStack::at(doc[0], x, y) & 0x00FFFFFF;
}

TEST(WatermarkStep, FadeScalesTheMarksOpacity) {
    EXPECT_EQ(stamp(0, 4, 6), 0x00FFFFFFu); // its own opacity
    EXPECT_EQ(stamp(0, 7, 7), 0x00FFFFFFu);
    EXPECT_EQ(stamp(0, 3, 6), 0u); // outside the mark
    EXPECT_EQ(stamp(0, 4, 5), 0u);
    EXPECT_EQ(stamp(99, 5, 7), 0x00030303u);  // 3/255 of it
    EXPECT_EQ(stamp(250, 5, 7), 0x00030303u); // fade clamped to 99
    // A half transparent mark at fade 0 stays half transparent.
    EXPECT_EQ(stamp(0, 5, 7, argb(128, 255, 255, 255)), 0x007F7F7Fu);
}

TEST(WatermarkStep, FailsWithoutAMarkOrALayer) {
    LayerStack doc;
    doc.add(8, 8);
    Bitmap zero{};
    WatermarkOptions o;
    EXPECT_EQ(WatermarkStep(doc.data(), doc.count(), &zero, o), 0);
    EXPECT_EQ(WatermarkStep(doc.data(), doc.count(), nullptr, o), 0);
    Picture mark(2, 2);
    EXPECT_EQ(WatermarkStep(doc.data(), 0, mark.get(), o), 0);
    // The options are clamped even so, as the job record is.
    o.watermarkFade = 120;
    (void)WatermarkStep(doc.data(), 0, mark.get(), o);
    EXPECT_EQ(o.watermarkFade, 99u);
}

} // namespace
} // namespace vt::gfx
