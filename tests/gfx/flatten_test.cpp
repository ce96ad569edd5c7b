#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <tuple>
#include <utility>
#include <vector>

#include "gfx/flatten.h"
#include "gfxcore/runtime.h"
#include "image/image_doc.h"
#include "image/meta_block.h"
#include "tests/gfx/gfx_test_util.h"

namespace vt::gfx {
namespace {

using testing::anim_chunk;
using testing::argb;
using testing::grey;
using testing::Picture;

constexpr double kPi = std::numbers::pi;

AnimState run(const std::vector<std::uint8_t>& data, std::int64_t t, AnimState in = {0, 0, 0}) {
    AnimState out{};
    EXPECT_TRUE(evaluate_anim(data.data(), static_cast<std::uint32_t>(data.size()), t, in, out));
    return out;
}

TEST(AnimationEasing, Curves) {
    using Row = std::tuple<int, double, double>;
    const Row cases[] = {
        {0, 0.5, 0.0},
        {0, 0.999999, 0.0},
        {0, 1.0, 1.0},
        {1, 0.3, 0.3},
        {2, 0.5, std::sin(kPi / 4)},
        {3, 0.5, 1 - std::sin(kPi / 4)},
        {4, 0.5, (0.5 + std::sin(kPi / 4)) / 2},
        {5, 0.5, (1.5 - std::sin(kPi / 4)) / 2},
        {6, 0.5, 0.5},
        {6, 0.25, (1 - std::sin(kPi / 4)) / 2},
        {7, 0.3, 0.3},
        {255, 0.8, 0.8},
        {2, 1.0, 1.0},
        {6, 0.0, 0.0},
    };
    for (const auto& [easing, p, expected] : cases)
        EXPECT_NEAR(ease(easing, p), expected, 1e-12) << easing << " at " << p;
}

TEST(AnimationEvaluation, OneStepOverTime) {
    const auto data = anim_chunk({{1000, 272, 1, false, 100}});
    using Row = std::tuple<std::int64_t, double>;
    const Row cases[] = {
        {0, 10}, {250, 35}, {1000, 110}, {1001, 10}, {1251, 35}, {-1, 110}, {-1002, 110},
    };
    for (const auto& [t, x] : cases)
        EXPECT_NEAR(run(data, t, {10, 5, 0}).x, x, 1e-9) << "t " << t;
    EXPECT_EQ(anim_length(data.data(), static_cast<std::uint32_t>(data.size())), 1000);
}

TEST(AnimationEvaluation, EveryEasingAtHalfTime) {
    for (std::uint8_t easing = 0; easing <= 7; ++easing) {
        const auto data = anim_chunk({{1000, 273, easing, false, 100}});
        EXPECT_NEAR(run(data, 500).y, 100.0 * ease(easing, 0.5), 1e-9) << int(easing);
        EXPECT_NEAR(run(data, 1000).y, 100.0, 1e-9) << int(easing);
    }
}

TEST(AnimationEvaluation, StepsChainByKindInTimeOrder) {
    // Stored out of order; the second horizontal step starts where the first ended.
    const auto data = anim_chunk(
        {{2000, 272, 1, false, 50}, {1000, 272, 1, false, 100}, {1000, 273, 1, true, 40}});
    EXPECT_NEAR(run(data, 1500).x, 75.0, 1e-9); // 0.5 x 100 + 0.5 x 50
    EXPECT_NEAR(run(data, 500).x, 50.0, 1e-9);
    EXPECT_NEAR(run(data, 500).y, 20.0, 1e-9);
    EXPECT_NEAR(run(data, 2000).x, 50.0, 1e-9);
    // Additive steps add on top.
    const auto add = anim_chunk({{1000, 272, 1, true, 100}, {2000, 272, 1, true, 100}});
    EXPECT_NEAR(run(add, 1500).x, 150.0, 1e-9);
}

TEST(AnimationEvaluation, TransparencyAndAbsolute) {
    const auto data = anim_chunk({{1000, 274, 1, false, 200}});
    EXPECT_EQ(run(data, 500, {0, 0, 0}).transparency, 100);
    EXPECT_EQ(run(data, 500, {0, 0, 100}).transparency, 161); // opacities multiply
    EXPECT_EQ(run(data, 0, {0, 0, 100}).transparency, 100);
    const auto absolute = anim_chunk({{1000, 274, 1, false, 200}, {1000, 272, 1, false, 30}}, true);
    const AnimState a = run(absolute, 1000, {500, 600, 7});
    EXPECT_EQ(std::tuple(a.x, a.y, a.transparency), std::tuple(30.0, 0.0, 200));
    // Rounded half away from zero and clamped.
    const auto half = anim_chunk({{1000, 274, 1, false, 3}, {3000, 274, 1, true, 1000}});
    EXPECT_EQ(run(half, 500).transparency, 2); // 1.5 -> 2
    EXPECT_EQ(run(half, 3000).transparency, 255);
}

TEST(AnimationEvaluation, StartTimeLengthCapAndInvalidData) {
    const auto data = anim_chunk({{1000, 272, 1, false, 100}}, false, 500);
    EXPECT_NEAR(run(data, 750).x, 25.0, 1e-9);
    const auto day = anim_chunk({{90000000, 272}, {100000000, 273}, {5, 256}});
    EXPECT_EQ(anim_length(day.data(), static_cast<std::uint32_t>(day.size())), 90000000);
    const auto other_kinds = anim_chunk({{9000, 300}, {700, 256}});
    EXPECT_EQ(anim_length(other_kinds.data(), static_cast<std::uint32_t>(other_kinds.size())), 700);
    const auto old = anim_chunk({{1000, 272, 1, false, 100}}, false, 0, 2);
    AnimState out{};
    EXPECT_FALSE(
        evaluate_anim(old.data(), static_cast<std::uint32_t>(old.size()), 500, {1, 2, 3}, out));
    EXPECT_EQ(out.x, 1.0);
    EXPECT_EQ(out.transparency, 3);
    auto truncated = anim_chunk({{1000, 272}, {2000, 272}});
    EXPECT_FALSE(evaluate_anim(truncated.data(), 256 + 24, 500, {1, 2, 3}, out));
    EXPECT_FALSE(evaluate_anim(nullptr, 0, 500, {1, 2, 3}, out));
    EXPECT_EQ(anim_length(truncated.data(), 100), 0);
}

class FlattenTest : public ::testing::Test {
protected:
    Layer& add(std::int32_t w, std::int32_t h, std::uint32_t colour, std::int32_t x = 0,
               std::int32_t y = 0, std::uint16_t mode = 0) {
        Layer& l = m_doc->layers[m_doc->layer_count++];
        EXPECT_EQ(image::CreateBitmap(&l.bitmap, w, h, image::kCreateMemory), 1);
        std::fill(l.bitmap.pixels, l.bitmap.pixels + static_cast<std::size_t>(w) * h, colour);
        l.x = x;
        l.y = y;
        l.mode = mode;
        return l;
    }
    void add_chunk(Layer& l, std::uint32_t tag, const std::vector<std::uint8_t>& data) {
        ASSERT_NE(
            image::add_layer_chunk(l, tag, static_cast<std::uint32_t>(data.size()), data.data()),
            0);
    }
    std::uint32_t count() const { return m_doc->layer_count; }
    Layer* layers() { return m_doc->layers; }
    void TearDown() override {
        image::release_image(*m_doc);
        image::FreeBitmap(&m_out);
    }
    std::uint32_t out(std::int32_t x, std::int32_t y) const {
        return m_out
            .pixels[static_cast<std::size_t>(y) * m_out.stride + static_cast<std::size_t>(x)];
    }

    std::unique_ptr<image::ImageDoc> m_doc = std::make_unique<image::ImageDoc>();
    Bitmap m_out{};
};

std::vector<std::uint8_t> sprite(std::uint32_t columns, std::uint32_t rows, std::uint32_t used,
                                 std::uint16_t time) {
    std::vector<std::uint8_t> d(128, 0);
    d[0] = 1;
    std::memcpy(d.data() + 4, &columns, 4);
    std::memcpy(d.data() + 8, &rows, 4);
    std::memcpy(d.data() + 12, &used, 4);
    std::memcpy(d.data() + 16, &time, 2);
    return d;
}

TEST_F(FlattenTest, SizeByKind) {
    add(10, 10, 0);
    add(20, 5, 0);
    add(5, 20, 0);
    add_chunk(layers()[0], image::kTagSprt, sprite(4, 0, 0, 0));
    using Row = std::tuple<std::uint8_t, std::int32_t, std::uint32_t, std::uint32_t>;
    const Row cases[] = {
        {0, -1, 10, 10}, {1, -1, 5, 20}, {1, 1, 20, 5},   {1, 99, 5, 20},
        {2, -1, 20, 20}, {3, -1, 2, 10}, {9, -1, 10, 10},
    };
    for (const auto& [kind, index, want_w, want_h] : cases) {
        FlattenRequest r;
        r.doc_kind = kind;
        std::uint32_t w = 0, h = 0;
        ASSERT_EQ(FlattenedSize(&w, &h, index, layers(), count(), &r), 1);
        EXPECT_EQ(std::tuple(w, h, r.width, r.height), std::tuple(want_w, want_h, want_w, want_h))
            << int(kind) << "/" << index;
    }
    // Two frames: frame 0 whatever its size.
    FlattenRequest r;
    r.doc_kind = kDocFrames;
    std::uint32_t w = 0, h = 0;
    ASSERT_EQ(FlattenedSize(&w, &h, -1, layers() + 1, 2, &r), 1);
    EXPECT_EQ(w, 20u);
    EXPECT_EQ(FlattenedSize(&w, &h, -1, layers(), 0, &r), 0);
    EXPECT_EQ(FlattenedSize(&w, &h, -1, nullptr, 1, &r), 0);
}

TEST_F(FlattenTest, SizeLimit) {
    add(4000, 3000, grey(33));
    add(10, 10, grey(200), 100, 100);
    FlattenRequest r;
    r.size_limit = 2048;
    r.size_limit_on = 1;
    EXPECT_EQ(FlattenLayers(&m_out, -1, layers(), count(), &r), 2);
    EXPECT_EQ(std::tuple(m_out.width, m_out.height, r.width), std::tuple(2048u, 1536u, 2048u));
    EXPECT_EQ(out(0, 0), grey(33));
    // The small layer scaled with its position: 100 x 0.512 = 51, 10 x 0.512 -> 5.
    EXPECT_EQ(out(53, 53), grey(200));
    EXPECT_EQ(out(57, 57), grey(33));
    // Off, or below 16: no limit.
    for (const auto& [limit, on] : {std::pair{2048u, 0}, std::pair{15u, 1}}) {
        FlattenRequest q;
        q.size_limit = limit;
        q.size_limit_on = static_cast<std::uint8_t>(on);
        std::uint32_t w = 0, h = 0;
        ASSERT_EQ(FlattenedSize(&w, &h, -1, layers(), count(), &q), 1);
        EXPECT_EQ(w, 4000u);
    }
}

TEST_F(FlattenTest, OneOpaqueLayerGivesThatLayer) {
    Layer& l = add(7, 5, 0, 30, 40, 5);
    for (std::uint32_t i = 0; i < 35; ++i)
        l.bitmap.pixels[i] = testing::noisy(static_cast<std::int32_t>(i), 1, 1) & 0x00FFFFFFu;
    l.transparency = 200;
    FlattenRequest r;
    ASSERT_EQ(FlattenLayers(&m_out, -1, layers(), count(), &r), 1);
    // Placed at (0, 0) and copied plainly despite its position, mode and transparency.
    EXPECT_EQ(testing::bitmap_pixels(m_out), testing::bitmap_pixels(l.bitmap));
}

TEST_F(FlattenTest, PassesHiddenAndOnRequestLayers) {
    add(4, 1, grey(10));
    add(1, 1, grey(20), 0, 0, image::kModeSecondPass); // drawn last
    add(2, 1, grey(30), 0, 0);
    add(1, 1, grey(40), 2, 0, image::kModeHidden);
    add(1, 1, grey(50), 3, 0, image::kModeOnRequest);
    FlattenRequest r;
    EXPECT_EQ(FlattenLayers(&m_out, -1, layers(), count(), &r), 5);
    EXPECT_EQ(testing::bitmap_pixels(m_out),
              (std::vector<std::uint32_t>{grey(20), grey(30), grey(10), grey(10)}));
    r.draw_on_request = 1;
    EXPECT_EQ(FlattenLayers(&m_out, -1, layers(), count(), &r), 5);
    EXPECT_EQ(out(3, 0), grey(50));
}

TEST_F(FlattenTest, LayerModesAndTransparencyApply) {
    add(2, 1, grey(100));
    Layer& top = add(2, 1, grey(255), 1, 0, 1); // add
    top.transparency = 0;
    Layer& half = add(1, 1, grey(255), 0, 0, 0);
    half.transparency = 128;
    FlattenRequest r;
    EXPECT_EQ(FlattenLayers(&m_out, -1, layers(), count(), &r), 3);
    // 100 toward 255 by 127 / 255.
    EXPECT_EQ(testing::bitmap_pixels(m_out), (std::vector<std::uint32_t>{grey(177), grey(255)}));
}

TEST_F(FlattenTest, FramesPickOneFrame) {
    add(2, 2, grey(1));
    add(3, 3, grey(2));
    add(3, 1, grey(3));
    FlattenRequest r;
    r.doc_kind = kDocFrames;
    EXPECT_EQ(FlattenLayers(&m_out, -1, layers(), count(), &r), 1);
    EXPECT_EQ(m_out.width, 3u);
    EXPECT_EQ(out(2, 2), grey(2));
    EXPECT_EQ(FlattenLayers(&m_out, 7, layers(), count(), &r), 1);
    EXPECT_EQ(m_out.height, 1u);
    EXPECT_EQ(out(0, 0), grey(3));
}

TEST_F(FlattenTest, FrameAnimationDefaultsToAFifthAndCentres) {
    for (std::uint32_t i = 0; i < 10; ++i)
        add(i == 2 ? 2 : 6, i == 2 ? 1 : 4, grey(i));
    FlattenRequest r;
    r.doc_kind = kDocFrameAnimation;
    EXPECT_EQ(FlattenLayers(&m_out, -1, layers(), count(), &r), 1);
    ASSERT_EQ(std::pair(m_out.width, m_out.height), std::pair(6u, 4u));
    // Frame 2 (10 / 5), 2 x 1 at ((6 - 2) / 2, (4 - 1) / 2) = (2, 1) on white, see-through.
    EXPECT_EQ(testing::bitmap_pixels(m_out),
              testing::pixels_from(6, 4, [](std::int32_t x, std::int32_t y) {
                  return (y == 1 && (x == 2 || x == 3)) ? grey(2) : 0xFFFFFFFFu;
              }));
}

TEST_F(FlattenTest, TimedLayersFollowTheirAnimation) {
    add(8, 1, grey(0));
    Layer& moving = add(1, 1, grey(200), 1, 0);
    add_chunk(moving, image::kTagAnim, anim_chunk({{1000, 272, 1, false, 4}}));
    FlattenRequest r;
    r.doc_kind = kDocTimedLayers;
    EXPECT_EQ(AnimationLength(layers(), count(), &r), 1000);
    // Default time 1000 / 5 = 200: x = 1.8, the whole part places the pixel.
    for (const auto& [time, x] : {std::pair{-1, 1}, std::pair{500, 3}, std::pair{1000, 5}}) {
        EXPECT_EQ(FlattenLayers(&m_out, time, layers(), count(), &r), 2);
        std::vector<std::uint32_t> row(8, grey(0));
        row[static_cast<std::size_t>(x)] = grey(200);
        EXPECT_EQ(testing::bitmap_pixels(m_out), row) << time;
    }
}

TEST_F(FlattenTest, AnimationLengthByKind) {
    Layer& a = add(8, 8, 0);
    a.mode2 = 40;
    Layer& b = add(8, 8, 0);
    b.mode2 = 60;
    add_chunk(a, image::kTagSprt, sprite(4, 2, 0, 0));   // 8 frames x 100 ms
    add_chunk(b, image::kTagSprt, sprite(4, 2, 5, 300)); // 5 frames x 300 ms
    FlattenRequest r;
    r.doc_kind = kDocFrames;
    EXPECT_EQ(AnimationLength(layers(), count(), &r), 100);
    r.doc_kind = kDocTimedLayers;
    EXPECT_EQ(AnimationLength(layers(), count(), &r), 1500);
    r.doc_kind = kDocLayered;
    EXPECT_EQ(AnimationLength(layers(), count(), &r), 0);
    EXPECT_EQ(AnimationLength(nullptr, 3, &r), 0);
}

TEST_F(FlattenTest, BadInputFailsCleanly) {
    FlattenRequest r;
    EXPECT_EQ(FlattenLayers(&m_out, -1, layers(), 0, &r), 0);
    EXPECT_EQ(FlattenLayers(nullptr, -1, layers(), 1, &r), 0);
    EXPECT_EQ(FlattenLayers(&m_out, -1, layers(), 1, nullptr), 0);
    // A layer 0 without a bitmap has no size.
    m_doc->layer_count = 1;
    EXPECT_EQ(FlattenLayers(&m_out, -1, layers(), 1, &r), 0);
}

} // namespace
} // namespace vt::gfx
