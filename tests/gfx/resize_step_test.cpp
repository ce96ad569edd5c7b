#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <utility>
#include <vector>

#include "gfx/resample.h"
#include "gfx/resize_step.h"
#include "gfxcore/runtime.h"
#include "image/image_doc.h"
#include "image/meta_block.h"
#include "tests/gfx/gfx_test_util.h"

namespace vt::gfx {
namespace {

TEST(ResizeTarget, EveryModeWithTheWorkedExamples) {
    using Row = std::tuple<const char*, std::int64_t, std::int64_t, int, std::uint16_t,
                           std::uint16_t, bool, std::int64_t, std::int64_t>;
    const Row cases[] = {
        {"landscape into its box", 4000, 3000, 1, 800, 600, false, 800, 600},
        {"portrait: the box turns", 3000, 4000, 1, 800, 600, false, 600, 800},
        {"portrait, box kept", 3000, 4000, 1, 800, 600, true, 450, 600},
        {"tall picture, box kept: height rules", 1000, 2000, 1, 800, 600, true, 300, 600},
        {"mode 1 never enlarges", 300, 200, 1, 800, 600, false, 300, 200},
        {"square never turns the box", 500, 500, 4, 800, 600, false, 800, 600},
        {"mode 2 enlarges to cover", 400, 300, 2, 800, 600, false, 800, 600},
        {"mode 2 narrow portrait", 100, 400, 2, 800, 600, false, 600, 2400},
        {"mode 2 never shrinks", 4000, 3000, 2, 800, 600, false, 4000, 3000},
        {"mode 3 shrinks to fit", 4000, 3000, 3, 800, 800, false, 800, 600},
        {"mode 3 enlarges too", 100, 50, 3, 400, 400, false, 400, 200},
        {"mode 4 forces the box", 4000, 3000, 4, 640, 480, false, 640, 480},
        {"mode 4 turns the box for a portrait", 3000, 4000, 4, 640, 480, false, 480, 640},
        {"mode 5: 50 % of 101 x 101", 101, 101, 5, 50, 50, false, 51, 51},
        {"mode 5 with unequal percentages", 1000, 10, 5, 25, 150, true, 250, 15},
        {"mode 5 percentages turn like a box", 10, 1000, 5, 150, 25, false, 3, 1500},
    };
    for (const auto& [name, w, h, mode, bw, bh, keep, tw, th] : cases) {
        ResizeOptions o;
        o.resizeMode = mode;
        o.resizeWidth = bw;
        o.resizeHeight = bh;
        o.keepBoundingBox = keep ? 1 : 0;
        const TargetSize t = resize_target(w, h, o);
        EXPECT_EQ(std::pair(t.width, t.height), std::pair(tw, th)) << name;
    }
}

std::int32_t anim_amount(const Layer& layer) {
    image::MetaChunk chunk{};
    if (!image::find_layer_chunk(layer, image::kTagAnim, chunk))
        return -1;
    std::int32_t v = 0;
    std::memcpy(&v, chunk.data + 256 + 16, 4);
    return v;
}

class ResizeStepTest : public ::testing::Test {
protected:
    void add_layer(std::int32_t w, std::int32_t h, std::int32_t x, std::int32_t y) {
        Layer& l = m_doc->layers[m_doc->layer_count++];
        ASSERT_EQ(image::CreateBitmap(&l.bitmap, w, h, image::kCreateMemory), 1);
        testing::fill_bitmap(l.bitmap,
                             [](std::int32_t, std::int32_t) { return testing::grey(77); });
        l.x = x;
        l.y = y;
    }
    Layer& layer(std::uint32_t i) { return m_doc->layers[i]; }
    int run(const ResizeOptions& o) { return ResizeStep(m_doc->layers, m_doc->layer_count, o); }
    void TearDown() override { image::release_image(*m_doc); }

    std::unique_ptr<image::ImageDoc> m_doc = std::make_unique<image::ImageDoc>();
};

ResizeOptions percent(std::uint16_t pw, std::uint16_t ph, int algorithm) {
    ResizeOptions o;
    o.resizeMode = 5;
    o.resizeWidth = pw;
    o.resizeHeight = ph;
    o.resizeAlgorithm = algorithm;
    o.scalingFilter = kFilterSinc;
    o.sincWindow = kWindowLanczos;
    o.sincSize = 4;
    return o;
}

TEST_F(ResizeStepTest, ScalesEveryLayerAndItsPosition) {
    for (int algorithm : {0, 1, 2, 3, 7}) {
        SCOPED_TRACE(algorithm);
        TearDown();
        add_layer(100, 100, 0, 0);
        add_layer(40, 20, 15, -15);
        add_layer(1, 1, 3, 3); // one pixel rounds to one: not resampled
        EXPECT_EQ(run(percent(50, 50, algorithm)), 1);
        EXPECT_EQ(layer(0).bitmap.width, 50u);
        // Positions: trunc(7.5), and toward zero.
        EXPECT_EQ(std::tuple(layer(1).bitmap.width, layer(1).bitmap.height, layer(1).x, layer(1).y,
                             layer(1).bitmap.pixels[0]),
                  std::tuple(20u, 10u, 7, -7, testing::grey(77)));
        EXPECT_EQ(std::pair(layer(2).bitmap.width, layer(2).x), std::pair(1u, 3));
    }
}

TEST_F(ResizeStepTest, BothSidesMustChangeYetMetadataIsAdjusted) {
    add_layer(100, 50, 0, 0);
    const auto anim = testing::anim_chunk({{1000, 273, 0, false, 100}}); // one vertical step
    ASSERT_NE(image::add_layer_chunk(layer(0), image::kTagAnim,
                                     static_cast<std::uint32_t>(anim.size()), anim.data()),
              0);
    ResizeOptions o;
    o.resizeMode = 4;
    o.resizeWidth = 100;
    o.resizeHeight = 25;
    o.keepBoundingBox = 1;
    EXPECT_EQ(run(o), -1);
    EXPECT_EQ(std::pair(layer(0).bitmap.width, layer(0).bitmap.height), std::pair(100u, 50u));
    EXPECT_EQ(anim_amount(layer(0)), 50); // vertical amounts follow sy = 0.5
}

TEST_F(ResizeStepTest, CannotStart) {
    add_layer(10, 10, 0, 0);
    for (const int mode : {0, 6}) {
        ResizeOptions o = percent(50, 50, 1);
        o.resizeMode = mode;
        EXPECT_EQ(run(o), 0) << mode;
    }
    EXPECT_EQ(run(percent(0, 50, 1)), 0);
    // 1 % of 10 pixels is no picture at all.
    EXPECT_EQ(run(percent(1, 1, 1)), 0);
    EXPECT_EQ(ResizeStep(nullptr, 1, percent(50, 50, 1)), 0);
    EXPECT_EQ(ResizeStep(m_doc->layers, 0, percent(50, 50, 1)), 0);
    image::release_layer(layer(0));
    EXPECT_EQ(run(percent(50, 50, 1)), 0);
}

TEST_F(ResizeStepTest, AdvancedAlgorithmUsesTheChosenFilter) {
    const auto fill = [](std::int32_t x, std::int32_t y) { return testing::noisy(x, y, 4); };
    add_layer(8, 8, 0, 0);
    testing::fill_bitmap(layer(0).bitmap, fill);
    testing::Picture direct(8, 8, fill);
    ASSERT_EQ(AdvancedResample(direct.get(), 12, 12, kFilterSinc, kWindowLanczos, 4), 1);
    EXPECT_EQ(run(percent(150, 150, 3)), 1);
    EXPECT_EQ(testing::bitmap_pixels(layer(0).bitmap), direct.pixels());
}

} // namespace
} // namespace vt::gfx
