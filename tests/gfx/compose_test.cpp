#include <gtest/gtest.h>

#include <cstdlib>
#include <tuple>
#include <utility>
#include <vector>

#include "gfx/compose.h"
#include "gfx/resample.h"
#include "gfxcore/runtime.h"
#include "gfxcore/thread_slot.h"
#include "tests/gfx/gfx_test_util.h"

namespace vt::gfx {
namespace {

using testing::argb;
using testing::grey;
using testing::Picture;

// Destination B 200, G 100, R 50, T 0x20 under an opaque fill colour B 100, G 200, R 128.
constexpr std::uint32_t kDst = argb(0x20, 50, 100, 200);
constexpr std::uint32_t kSrc = argb(0, 128, 200, 100);

std::uint32_t filled(std::uint32_t d, std::uint32_t colour, int op) {
    Picture p(1, 1, {d});
    EXPECT_EQ(FillRect(p.get(), 0, 0, 0, 0, colour, op, 0), 1);
    return p.at(0, 0);
}

TEST(Operators, ConstantColourFormulas) {
    using Row = std::tuple<int, std::uint32_t>;
    const Row cases[] = {
        {kOpOr, argb(0x20, 178, 236, 236)},         {kOpAnd, argb(0, 0, 64, 64)},
        {kOpXor, argb(0x20, 178, 172, 172)},        {kOpAddAll, argb(0x20, 178, 255, 255)},
        {kOpSubtractAll, argb(0x20, 0, 0, 100)},    {kOpAdd, argb(0x20, 178, 255, 255)},
        {kOpSubtract, argb(0x20, 0, 45, 45)},       {kOpMultiply, argb(0x20, 25, 78, 78)},
        {kOpDodge, argb(0x20, 99, 127, 255)},       {kOpGrainMerge, argb(0x20, 50, 172, 172)},
        {kOpDarken, argb(0x20, 50, 100, 100)},      {kOpLighten, argb(0x20, 128, 200, 200)},
        {kOpDifference, argb(0x20, 78, 100, 100)},  {kOpGrainExtract, argb(0x20, 50, 28, 228)},
        {kOpScreen, argb(0x20, 153, 222, 222)},     {kOpOverlay, argb(0x20, 50, 157, 188)},
        {kOpColorDodge, argb(0x20, 100, 255, 255)}, {kOpBurn, argb(0x20, 0, 57, 115)},
    };
    for (const auto& [op, expected] : cases)
        EXPECT_EQ(filled(kDst, kSrc, op), expected) << "operator " << op;
    // Operator 0 of a fill writes the colour as it is.
    EXPECT_EQ(filled(kDst, argb(77, 1, 2, 3), kOpNormal), argb(77, 1, 2, 3));
}

int channel_distance(std::uint32_t a, std::uint32_t b) {
    int most = 0;
    for (int c = 0; c < 4; ++c)
        most = std::max(most, std::abs(static_cast<int>((a >> (8 * c)) & 255) -
                                       static_cast<int>((b >> (8 * c)) & 255)));
    return most;
}

TEST(Operators, ExchangeRoles) {
    using Row = std::tuple<const char*, int, std::uint32_t, std::uint32_t, std::uint32_t>;
    const Row cases[] = {
        {"luminosity: a grey source gives its luma", kOpLuminosity, grey(50), grey(200), grey(200)},
        {"color: a grey source leaves the destination's luma", kOpColor, argb(0, 50, 100, 200),
         grey(10), grey(96)},
        {"hue of green onto red", kOpHue, argb(0, 255, 0, 0), argb(0, 0, 255, 0),
         argb(0, 0, 255, 0)},
        {"hue onto grey changes nothing", kOpHue, grey(90), argb(0, 0, 0, 255), grey(90)},
        {"saturation of grey makes grey", kOpSaturation, argb(0, 200, 100, 100), grey(7),
         grey(200)},
        {"value of the source", kOpValue, argb(0, 200, 100, 100), argb(0, 0, 100, 0),
         argb(0, 100, 50, 50)},
        {"lightness of white", kOpLightness, argb(0, 200, 10, 10), grey(255), grey(255)},
        {"lightness of black", kOpLightness, argb(0, 200, 10, 10), grey(0), grey(0)},
    };
    for (const auto& [name, op, d, s, expected] : cases)
        EXPECT_LE(channel_distance(filled(d, s, op), expected), 3) << name;
    // Taking a component from the same colour gives the colour back.
    for (int op = kOpLuminosity; op <= kOpLightness; ++op)
        for (std::uint32_t colour : {argb(0, 200, 100, 50), argb(0, 3, 250, 90), grey(128)})
            EXPECT_LE(channel_distance(filled(colour, colour, op), colour), 3) << op;
}

TEST(Operators, TransparencyMasks) {
    using Row = std::tuple<const char*, int, std::uint32_t, std::uint32_t, std::uint32_t>;
    const Row cases[] = {
        {"opaque destination takes the source's opacity", kOpTransparencyMask, argb(0, 1, 2, 3),
         argb(0x40, 9, 9, 9), argb(64, 1, 2, 3)},
        {"opacities multiply", kOpTransparencyMask, argb(100, 1, 2, 3), argb(200, 0, 0, 0),
         argb(222, 1, 2, 3)},
        {"white luma hides", kOpLuminanceMask, argb(0, 1, 2, 3), grey(255), argb(255, 1, 2, 3)},
        {"black luma keeps", kOpLuminanceMask, argb(10, 1, 2, 3), grey(0), argb(10, 1, 2, 3)},
        {"mid grey halves", kOpLuminanceMask, argb(0, 1, 2, 3), grey(128), argb(128, 1, 2, 3)},
    };
    for (const auto& [name, op, d, s, expected] : cases)
        EXPECT_EQ(filled(d, s, op), expected) << name;
}

TEST(Blend, WeightedLayOver) {
    Picture dst(3, 1, {grey(0), grey(0), argb(200, 0, 0, 0)});
    Picture src(3, 1, {grey(255), argb(255, 255, 255, 255), grey(255)});
    ASSERT_EQ(Blend(dst.get(), {0, 0, 2, 0}, src.get(), {0, 0, 2, 0}, 128, kOpNormal, 0), 1);
    // Weight T[0] = 128: 255 x 127 / 255 toward white; the fully transparent pixel does nothing;
    // a transparent destination gains the source's opacity: 200 x 128 / 255.
    EXPECT_EQ(dst.pixels(),
              (std::vector<std::uint32_t>{grey(127), grey(0), argb(100, 127, 127, 127)}));
}

TEST(Blend, OpaqueNormalBlendIsACopy) {
    const auto fill = [](std::int32_t x, std::int32_t y) {
        return testing::noisy(x, y, 8) & 0x00FFFFFFu;
    };
    Picture src(7, 5, fill);
    Picture dst(7, 5, [](std::int32_t x, std::int32_t y) { return testing::noisy(x, y, 1); });
    ASSERT_EQ(Blend(dst.get(), {0, 0, 6, 4}, src.get(), {0, 0, 6, 4}, 0, kOpNormal, 0), 1);
    EXPECT_EQ(dst.pixels(), src.pixels());
}

TEST(Blend, ClipsAtBothBitmapsAndRefusesNonsense) {
    Picture dst(4, 4, [](std::int32_t, std::int32_t) { return grey(9); });
    Picture src(2, 2, {grey(1), grey(2), grey(3), grey(4)});
    // The rectangle reaches beyond the source: only the 2 x 2 that exists is drawn.
    ASSERT_EQ(Blend(dst.get(), {1, 1, 3, 3}, src.get(), {0, 0, 2, 2}, 0, kOpNormal, 0), 1);
    EXPECT_EQ(dst.pixels(),
              (std::vector<std::uint32_t>{grey(9), grey(9), grey(9), grey(9), grey(9), grey(1),
                                          grey(2), grey(9), grey(9), grey(3), grey(4), grey(9),
                                          grey(9), grey(9), grey(9), grey(9)}));
    EXPECT_EQ(Blend(dst.get(), {0, 0, 1, 1}, src.get(), {0, 0, 1, 1}, 0, 27, 0), 0);
    EXPECT_EQ(last_engine_error(), kErrorArgument);
    EXPECT_EQ(Blend(dst.get(), {1, 0, 0, 1}, src.get(), {0, 0, 1, 1}, 0, 0, 0), 0);
    // Invisible: nothing drawn, yet a success.
    EXPECT_EQ(Blend(dst.get(), {0, 0, 1, 1}, src.get(), {0, 0, 1, 1}, 255, 0, 0), 1);
    EXPECT_EQ(dst.at(0, 0), grey(9));
    Bitmap zeroed{};
    EXPECT_EQ(Blend(&zeroed, {0, 0, 1, 1}, src.get(), {0, 0, 1, 1}, 0, 0, 0), 0);
}

TEST(ScaledBlend, MapsLikeTheScaledCopy) {
    Picture src(2, 2, {grey(10), grey(20), grey(30), grey(40)});
    Picture blended(4, 4);
    Picture copied(4, 4);
    ASSERT_EQ(ScaledBlend(blended.get(), {0, 0, 3, 3}, src.get(), {0, 0, 1, 1}, 0, kOpNormal,
                          kCopyHighQuality),
              1);
    ASSERT_EQ(StretchCopy(copied.get(), 0, 0, 3, 3, src.get(), 0, 0, 1, 1, kCopyHighQuality), 1);
    EXPECT_EQ(blended.pixels(), copied.pixels());
    // Blend with different sizes goes the same way.
    Picture again(4, 4);
    ASSERT_EQ(
        Blend(again.get(), {0, 0, 3, 3}, src.get(), {0, 0, 1, 1}, 0, kOpNormal, kCopyHighQuality),
        1);
    EXPECT_EQ(again.pixels(), copied.pixels());
}

TEST(FillRect, CornersExclusiveEdgesAndClipping) {
    struct Case {
        const char* name;
        std::int32_t l, t, r, b;
        std::uint32_t flags;
        std::vector<int> painted; // indices of a 4 x 3 picture
    } const cases[] = {
        {"inclusive", 1, 0, 2, 1, 0, {1, 2, 5, 6}},
        {"corners in any order", 2, 1, 1, 0, 0, {1, 2, 5, 6}},
        {"exclusive right and bottom", 1, 0, 3, 2, kFillExclusive, {1, 2, 5, 6}},
        {"clipped by the bitmap", -5, 2, 50, 50, 0, {8, 9, 10, 11}},
        {"outside entirely", 10, 10, 20, 20, 0, {}},
        {"clip rectangle", 0, 0, 3, 2, kCopyClip, {5}},
    };
    SetClipRect(1, 1, 1, 1);
    for (const Case& c : cases) {
        Picture p(4, 3);
        EXPECT_EQ(FillRect(p.get(), c.l, c.t, c.r, c.b, 0xABCDEF01u, kOpNormal, c.flags), 1)
            << c.name;
        std::vector<int> painted;
        const auto px = p.pixels();
        for (int i = 0; i < 12; ++i)
            if (px[static_cast<std::size_t>(i)] == 0xABCDEF01u)
                painted.push_back(i);
        EXPECT_EQ(painted, c.painted) << c.name;
    }
    SetClipRect(0, 0, 0, 0);
    Picture p(2, 2);
    EXPECT_EQ(FillRect(p.get(), 0, 0, 1, 1, 0, 99, 0), 0);
    EXPECT_EQ(last_engine_error(), kErrorArgument);
}

TEST(SpanKernels, CoverageWeighsAgainstTheOldPixel) {
    std::vector<std::uint32_t> row(4, grey(0));
    const std::uint8_t coverage[4] = {0, 32, 64, 200};
    std::uint8_t table[256];
    make_transparency_table(table, 0);
    const BlendContext ctx{table, nullptr, 0, 0, nullptr};
    blend_span(row.data(), 0, 0, 3, grey(255), coverage, kOpNormal, ctx);
    EXPECT_EQ(row, (std::vector<std::uint32_t>{grey(0), grey(127), grey(255), grey(255)}));
    std::vector<std::uint32_t> src{grey(10), grey(20)};
    std::vector<std::uint32_t> dst(4, grey(100));
    blend_span_source(dst.data(), 0, 1, 2, src.data(), nullptr, kOpDarken, ctx);
    EXPECT_EQ(dst, (std::vector<std::uint32_t>{grey(100), grey(10), grey(20), grey(100)}));
}

TEST(SpanKernels, PatternOperatorsSampleTheThreadPattern) {
    Picture pattern(2, 1, {argb(0, 1, 1, 1), argb(255, 2, 2, 2)});
    EngineThreadSlot* slot = GetThreadSlot();
    slot->pattern = pattern.get();
    slot->pattern_x = 1;
    Picture p(3, 1, [](std::int32_t, std::int32_t) { return grey(50); });
    ASSERT_EQ(FillRect(p.get(), 0, 0, 2, 0, grey(0), kOpPattern, 0), 1);
    // Column x takes pattern column (x - 1) mod 2.
    EXPECT_EQ(p.pixels(), (std::vector<std::uint32_t>{grey(2), grey(1), grey(2)}));
    Picture q(3, 1, [](std::int32_t, std::int32_t) { return grey(50); });
    ASSERT_EQ(FillRect(q.get(), 0, 0, 2, 0, grey(0), kOpPatternOwn, 0), 1);
    // The pattern's own transparency counts: its invisible column leaves the picture alone.
    EXPECT_EQ(q.pixels(), (std::vector<std::uint32_t>{grey(50), grey(1), grey(50)}));
    slot->pattern = nullptr;
    slot->pattern_x = 0;
}

std::vector<std::uint8_t> one_plane_pattern(std::uint16_t side, std::vector<std::uint8_t> plane) {
    std::vector<std::uint8_t> data(72 + plane.size(), 0);
    data[2] = static_cast<std::uint8_t>(side);
    data[3] = static_cast<std::uint8_t>(side >> 8);
    for (std::size_t i = 0; i < plane.size(); ++i)
        data[72 + i] = plane[i];
    return data;
}

TEST(PatternData, Layouts) {
    FillDescription d;
    const auto plane = one_plane_pattern(2, {1, 2, 3, 4});
    EXPECT_TRUE(build_pattern_description(plane, d));
    EXPECT_EQ(std::tuple(d.side, d.planes, d.data[3]), std::tuple(2u, 1u, 4));
    auto three = one_plane_pattern(1, {7, 8, 9});
    three[1] = 1;
    EXPECT_TRUE(build_pattern_description(three, d));
    EXPECT_EQ(d.planes, 3u);
    std::vector<std::uint8_t> small(67 + 4096, 5);
    small[0] = 0;
    small[1] = 0x40;
    small[2] = 0x01; // 257
    small[3] = 0x01;
    EXPECT_TRUE(build_pattern_description(small, d));
    EXPECT_EQ(std::pair(d.side, d.data), std::pair(64u, std::as_const(small).data() + 67));
    const std::vector<std::vector<std::uint8_t>> refused = {
        {},
        {1, 0, 2, 0},                            // first byte set: no pattern
        one_plane_pattern(0, {}),                // side 0
        one_plane_pattern(3, {1, 2, 3}),         // too short for 3 x 3
        one_plane_pattern(65535, {1}),           // a side whose square overflows 32 bits
        std::vector<std::uint8_t>(67 + 4095, 0), // 64 x 64 claimed, a byte short
    };
    for (auto data : refused) {
        if (data.size() == 67 + 4095) {
            data[1] = 0x40;
            data[2] = data[3] = 0x01;
        }
        EXPECT_FALSE(build_pattern_description(data, d)) << data.size();
    }
    std::vector<std::uint8_t> adju(16, 0);
    adju[4] = 2;
    EXPECT_TRUE(build_adjustment_description(adju, d));
    adju[4] = 1;
    EXPECT_FALSE(build_adjustment_description(adju, d));
}

TEST(BlendLayer, Routing) {
    const auto base = [](std::int32_t, std::int32_t) { return grey(100); };
    // A grey of opacity byte t.
    const auto g = [](std::uint32_t t, std::uint32_t v) { return argb(t, v, v, v); };
    Picture src(2, 2, {grey(200), g(0x40, 200), g(255, 0), 0});
    struct Case {
        const char* name;
        int mode;
        int transparency;
        std::vector<std::uint32_t> expected;
        std::vector<std::uint8_t> pattern = {};
        std::vector<std::uint8_t> adjustment = {};
    };
    std::vector<std::uint8_t> adju(16, 0);
    adju[4] = 2;
    const auto pattern = one_plane_pattern(2, {10, 20, 30, 40});
    const Case cases[] = {
        {"plain copy ignores the transparency", 255, 200, src.pixels()},
        {"add (mode 1)", 1, 0, {grey(255), grey(216), grey(100), grey(100)}},
        {"transparency mask", 9, 0, {grey(100), g(0x40, 100), g(255, 100), grey(100)}},
        // Then the rectangle's opacity is multiplied by (255 - 100) / 255.
        {"mask and transparency", 9, 100, {g(100, 100), g(139, 100), g(255, 100), g(100, 100)}},
        {"pattern", 254, 0, {grey(10), grey(40), grey(100), grey(40)}, pattern},
        {"adjustment leaves the picture", 0, 0, std::vector<std::uint32_t>(4, grey(100)), {}, adju},
    };
    for (const Case& c : cases) {
        Picture dst(2, 2, base);
        EXPECT_EQ(BlendLayer(dst.get(), 0, 0, 1, 1, 0, 0, src.get(), 1, 1, c.mode, c.transparency,
                             false, c.pattern, c.adjustment),
                  1)
            << c.name;
        EXPECT_EQ(dst.pixels(), c.expected) << c.name;
    }
    // Offsets live only for the call.
    Picture dst(2, 2, base);
    EXPECT_EQ(BlendLayer(dst.get(), 0, 0, 1, 1, 64, 32, src.get(), 1, 1, 0, 0, false, {}, {}), 1);
    EXPECT_EQ(std::pair(GetThreadSlot()->offset_x, GetThreadSlot()->offset_y), std::pair(0, 0));
}

} // namespace
} // namespace vt::gfx
