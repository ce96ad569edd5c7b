#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "gfx/deep_turn.h"
#include "gfx/orientation.h"
#include "gfxcore/runtime.h"
#include "gfxcore/thread_slot.h"
#include "image/bitmap.h"
#include "image/deep_image.h"
#include "tests/gfx/gfx_test_util.h"

namespace vt::gfx {
namespace {

using testing::argb;
using testing::LayerStack;
using testing::Picture;

// A 3 x 2 picture with every pixel different:   1 2 3
//                                                4 5 6
std::vector<std::uint32_t> kSmall = {1, 2, 3, 4, 5, 6};

TEST(RotateBitmapQuarter, TurnsBySignedQuarters) {
    using Row = std::tuple<std::int32_t, std::int32_t, std::int32_t, std::vector<std::uint32_t>>;
    const Row cases[] = {
        {0, 3, 2, {1, 2, 3, 4, 5, 6}},
        {1, 2, 3, {4, 1, 5, 2, 6, 3}}, // clockwise: the left column becomes the top row
        {2, 3, 2, {6, 5, 4, 3, 2, 1}},
        {3, 2, 3, {3, 6, 2, 5, 1, 4}}, // anti-clockwise
        {-1, 2, 3, {3, 6, 2, 5, 1, 4}},
        {5, 2, 3, {4, 1, 5, 2, 6, 3}},
        {-40001, 2, 3, {3, 6, 2, 5, 1, 4}},
    };
    for (const auto& [quarters, w, h, pixels] : cases) {
        Picture pic(3, 2, kSmall);
        ASSERT_EQ(RotateBitmapQuarter(pic.get(), quarters), 1) << quarters;
        EXPECT_EQ(std::tuple(pic.width(), pic.height(), pic.pixels(), pic.get()->kind),
                  std::tuple(w, h, pixels, image::kKindMemory))
            << quarters;
    }
}

TEST(RotateBitmapQuarter, FourTurnsAreTheIdentity) {
    // Larger than one copy tile, with odd sides, in both kinds.
    for (const std::uint32_t flags : {0u, image::kCreateMemory}) {
        Picture pic(Picture::Flags{flags}, 131, 70);
        testing::fill_bitmap(
            *pic.get(), [](std::int32_t x, std::int32_t y) { return testing::noisy(x, y, 9); });
        const std::vector<std::uint32_t> before = pic.pixels();
        const std::uint8_t kind = pic.get()->kind;
        for (const std::int32_t q : {1, 1, 1, 1, 3, 3, 3, 3, 2, 2}) {
            ASSERT_EQ(RotateBitmapQuarter(pic.get(), q), 1);
            EXPECT_EQ(pic.get()->kind, kind);
        }
        EXPECT_EQ(pic.width(), 131);
        EXPECT_EQ(pic.pixels(), before);
    }
}

TEST(RotateBitmapQuarter, LargePicturesMatchThePixelDefinition) {
    // Beyond one copy tile with odd sides, and large enough for the stores that bypass the
    // caches, with rows that allow them (a width of four pixels) and rows that do not.
    for (const auto& size : {std::pair{1100, 1031}, std::pair{1536, 1400}, std::pair{1537, 1401}}) {
        const std::int32_t w = size.first, h = size.second;
        Picture src(w, h, [](std::int32_t x, std::int32_t y) {
            return static_cast<std::uint32_t>(y) << 16 | static_cast<std::uint32_t>(x);
        });
        for (const std::int32_t q : {1, 2, 3}) {
            Picture pic(w, h, src.pixels());
            ASSERT_EQ(RotateBitmapQuarter(pic.get(), q), 1);
            const std::int32_t tw = pic.width(), th = pic.height();
            ASSERT_EQ(tw, q == 2 ? w : h);
            ASSERT_EQ(pic.pixels(), testing::pixels_from(tw, th,
                                                         [&](std::int32_t c, std::int32_t r) {
                                                             return q == 1   ? src.at(r, h - 1 - c)
                                                                    : q == 2 ? src.at(w - 1 - c,
                                                                                      h - 1 - r)
                                                                             : src.at(w - 1 - r, c);
                                                         }))
                << w << "x" << h << " turn " << q;
        }
    }
}

TEST(RotateBitmapQuarter, InvalidBitmapFails) {
    Bitmap zero{};
    EXPECT_EQ(RotateBitmapQuarter(&zero, 1), 0);
    EXPECT_EQ(last_engine_error(), kErrorInvalid);
    EXPECT_EQ(RotateBitmapQuarter(nullptr, 0), 0);
}

TEST(MirrorBitmap, SwapsColumnsOrRows) {
    Picture pic(3, 2, kSmall);
    ASSERT_EQ(MirrorBitmap(pic.get(), false), 1);
    EXPECT_EQ(pic.pixels(), (std::vector<std::uint32_t>{3, 2, 1, 6, 5, 4}));
    ASSERT_EQ(MirrorBitmap(pic.get(), true), 1);
    EXPECT_EQ(pic.pixels(), (std::vector<std::uint32_t>{6, 5, 4, 3, 2, 1}));
    Picture odd(1, 3, {7, 8, 9});
    ASSERT_EQ(MirrorBitmap(odd.get(), true), 1);
    EXPECT_EQ(odd.pixels(), (std::vector<std::uint32_t>{9, 8, 7}));
    Bitmap zero{};
    EXPECT_EQ(MirrorBitmap(&zero, false), 0);
}

// Where a canvas point goes when a W x H canvas is turned.
std::pair<std::int64_t, std::int64_t> turn_point(int turn, std::int64_t x, std::int64_t y,
                                                 std::int64_t w, std::int64_t h) {
    switch (turn) {
    case 1:
        return {h - 1 - y, x};
    case 2:
        return {w - 1 - x, h - 1 - y};
    default:
        return {y, w - 1 - x};
    }
}

TEST(RotationStep, FixedTurnsKeepTheLayerStackInPlace) {
    // Mode, turn, then where the 10 x 20 layer at (5, 7) and the 30 x 5 one at (60, 40) go.
    using Row =
        std::tuple<std::int32_t, int, std::int32_t, std::int32_t, std::int32_t, std::int32_t>;
    const Row cases[] = {
        {1, 1, 23, 5, 5, 60},
        {2, 3, 7, 85, 40, 10},
        {3, 2, 85, 23, 10, 5},
    };
    for (const auto& [mode, turn, x1, y1, x2, y2] : cases) {
        LayerStack doc;
        const auto fill = [](std::uint32_t tag) {
            return [tag](std::int32_t x, std::int32_t y) {
                return (tag << 24) | static_cast<std::uint32_t>(y * 256 + x);
            };
        };
        doc.add(100, 50, 0, 0, fill(1));
        doc.add(10, 20, 5, 7, fill(2));
        doc.add(30, 5, 60, 40, fill(3));
        std::vector<std::vector<std::uint32_t>> before;
        std::vector<std::pair<std::int32_t, std::int32_t>> origin;
        std::vector<std::pair<std::int32_t, std::int32_t>> sizes;
        for (std::uint32_t i = 0; i < 3; ++i) {
            before.push_back(LayerStack::pixels(doc[i]));
            origin.emplace_back(doc[i].x, doc[i].y);
            sizes.emplace_back(doc[i].bitmap.width, doc[i].bitmap.height);
        }

        ASSERT_EQ(RotationStep(doc.data(), doc.count(), mode), 1) << mode;
        EXPECT_EQ(std::tuple(doc[1].x, doc[1].y, doc[2].x, doc[2].y), std::tuple(x1, y1, x2, y2))
            << mode;
        // Every pixel lands where turning the whole canvas puts it.
        for (std::uint32_t i = 0; i < 3; ++i) {
            const auto [w, h] = sizes[i];
            const bool quarter = turn != 2;
            ASSERT_EQ(doc[i].bitmap.width, static_cast<std::uint32_t>(quarter ? h : w));
            for (std::int32_t y = 0; y < h; ++y)
                for (std::int32_t x = 0; x < w; ++x) {
                    const auto [cx, cy] =
                        turn_point(turn, origin[i].first + x, origin[i].second + y, 100, 50);
                    const auto lx = static_cast<std::int32_t>(cx - doc[i].x);
                    const auto ly = static_cast<std::int32_t>(cy - doc[i].y);
                    ASSERT_EQ(LayerStack::at(doc[i], lx, ly),
                              before[i][static_cast<std::size_t>(y * w + x)])
                        << "mode " << mode << " layer " << i << " at " << x << "," << y;
                }
        }
    }
}

TEST(RotationStep, NoLayersModeZeroAndUnknownModesTurnNothing) {
    for (const std::int32_t mode : {1, 4, 5})
        EXPECT_EQ(RotationStep(nullptr, 0, mode), -1) << mode;
    for (const std::int32_t mode : {0, 6, -1}) {
        LayerStack doc;
        doc.add(4, 2, 0, 0,
                [](std::int32_t x, std::int32_t) { return static_cast<std::uint32_t>(x); });
        EXPECT_EQ(RotationStep(doc.data(), doc.count(), mode), -1) << mode;
        EXPECT_EQ(doc[0].bitmap.width, 4u);
    }
}

// The stored picture of an upright one under each EXIF orientation, and what the step leaves:
// the upright picture for the plain orientations, its left-right mirror for the mirrored ones
// (they are turned like their neighbours and never mirrored), with the tag saying 1 or 2.
TEST(RotationStep, ExifOrientationTurnsThePictureUpright) {
    const std::int32_t uw = 4, uh = 3;
    const auto upright = [](std::int64_t x, std::int64_t y) {
        return static_cast<std::uint32_t>(y * 16 + x + 1);
    };
    // Stored pixel (x, y) shows the upright pixel at (a, b), with (a, b) = (x, y) or (y, x) when
    // the sides are swapped, each then counted from the far side when flipped.
    using Row = std::tuple<int, bool, bool, bool, int, bool>;
    const Row cases[] = {
        {1, false, false, false, -1, false}, {2, false, true, false, -1, true},
        {3, false, true, true, 1, false},    {4, false, false, true, 1, true},
        {5, true, false, false, 1, true},    {6, true, true, false, 1, false},
        {7, true, true, true, 1, true},      {8, true, false, true, 1, false},
    };
    for (const auto& [orientation, transposed, flip_x, flip_y, result, mirrored] : cases) {
        LayerStack doc;
        const std::int32_t sw = transposed ? uh : uw;
        const std::int32_t sh = transposed ? uw : uh;
        Layer& layer = doc.add(sw, sh, 0, 0,
                               [&, transposed = transposed, flip_x = flip_x,
                                flip_y = flip_y](std::int32_t x, std::int32_t y) {
                                   const std::int32_t a = transposed ? y : x,
                                                      b = transposed ? x : y;
                                   return upright(flip_x ? uw - 1 - a : a, flip_y ? uh - 1 - b : b);
                               });
        LayerStack::set_markup(layer, "\r\nexif.make=Test;\r\nexif.orientation=" +
                                          std::to_string(orientation) + " (x);\r\nimage.bpp=24;");
        ASSERT_EQ(RotationStep(doc.data(), doc.count(), 4), result) << orientation;
        ASSERT_EQ(doc[0].bitmap.width, static_cast<std::uint32_t>(uw)) << orientation;
        EXPECT_EQ(LayerStack::pixels(doc[0]),
                  testing::pixels_from(uw, uh,
                                       [&, mirrored = mirrored](std::int32_t x, std::int32_t y) {
                                           return upright(mirrored ? uw - 1 - x : x, y);
                                       }))
            << "orientation " << orientation;
        const std::string tag = LayerStack::value(doc[0], "exif.orientation");
        EXPECT_EQ(tag.substr(0, 1), mirrored ? "2" : "1") << orientation << ": " << tag;
        EXPECT_EQ(LayerStack::value(doc[0], "image.bpp"), "24");
    }
}

TEST(RotationStep, ExifSixSaysOneAfterwards) {
    LayerStack doc;
    Layer& layer = doc.add(6, 2);
    LayerStack::set_markup(layer, "\r\nexif.orientation=6 (right - top);");
    ASSERT_EQ(RotationStep(doc.data(), doc.count(), 4), 1);
    EXPECT_EQ(LayerStack::value(doc[0], "exif.orientation"), "1 (top - left)");
    EXPECT_EQ(doc[0].bitmap.width, 2u);
}

TEST(RotationStep, NoOrientationMeansNoTurn) {
    const char* const texts[] = {nullptr, "\r\nexif.make=Test;", "\r\nexif.orientation=1;",
                                 "\r\nexif.orientation=9;", "\r\nexif.orientation=;"};
    for (const char* text : texts) {
        LayerStack doc;
        Layer& layer = doc.add(5, 3);
        if (text != nullptr)
            LayerStack::set_markup(layer, text);
        EXPECT_EQ(RotationStep(doc.data(), doc.count(), 4), -1) << (text ? text : "no markup");
        EXPECT_EQ(doc[0].bitmap.width, 5u);
    }
}

TEST(RotationStep, FailureStopsAtTheLayerAndLeavesMetadata) {
    LayerStack doc;
    Layer& first = doc.add(6, 2);
    LayerStack::set_markup(first, "\r\nexif.orientation=6;");
    doc.add_invalid();
    doc.add(3, 1);
    EXPECT_EQ(RotationStep(doc.data(), doc.count(), 4), 0);
    EXPECT_EQ(doc[0].bitmap.width, 2u); // turned before the failure
    EXPECT_EQ(doc[2].bitmap.width, 3u); // not reached
    EXPECT_EQ(LayerStack::value(doc[0], "exif.orientation"), "6");
}

TEST(SkyDirection, DecisionFromBandScores) {
    const struct {
        double scores[4]; // top, right, bottom, left
        int side;
    } cases[] = {
        {{0.2, 0.3, 0.8, 0.4}, 2},   // bright blue at the bottom
        {{0.2, 0.3, 0.45, 0.4}, -1}, // the same below the threshold
        {{0.8, 0.4, 0.2, 0.3}, 0},
        {{0.3, 0.9, 0.4, 0.2}, 1},     // neighbours 0.4 and 0.3 both above the opposite 0.2
        {{0.55, 0.5, 0.5, 0.5}, -1},   // neighbours must beat the opposite side
        {{0.6, 0.55, 0.52, 0.55}, -1}, // a - c = 0.08 is not more than 0.2 x 0.5
        {{0.2, 0.2, 0.2, 0.2}, -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sky_side(c.scores, 0.5), c.side) << c.scores[0] << " " << c.scores[2];
}

// A landscape: a bright blue sky over textured dark ground.
std::uint32_t landscape(std::int32_t x, std::int32_t y) {
    if (y < 9)
        return argb(0, 100, 150, 250);
    return (x + y) % 2 ? argb(0, 30, 60, 20) : argb(0, 0, 0, 0);
}

TEST(SkyDirection, SkyTurnsTheLandscapeUpright) {
    const struct {
        std::int32_t quarters; // how the landscape was turned
        int side;              // where its sky then lies
    } cases[] = {{0, 0}, {1, 1}, {2, 2}, {3, 3}};
    for (const auto& c : cases) {
        LayerStack doc;
        doc.add(36, 26, 0, 0, landscape);
        const std::vector<std::uint32_t> upright = LayerStack::pixels(doc[0]);
        ASSERT_EQ(RotateBitmapQuarter(&doc[0].bitmap, c.quarters), 1);
        EXPECT_EQ(SkyDirection(&doc[0].bitmap, kSkyThreshold), c.side) << c.quarters;
        EXPECT_EQ(RotationStep(doc.data(), doc.count(), 5), c.side == 0 ? -1 : 1);
        EXPECT_EQ(doc[0].bitmap.width, 36u) << c.quarters;
        EXPECT_EQ(LayerStack::pixels(doc[0]), upright) << c.quarters;
    }
}

TEST(SkyDirection, FlatPictureHasNoSky) {
    Picture pic(30, 20, [](std::int32_t, std::int32_t) { return argb(0, 100, 150, 250); });
    EXPECT_EQ(SkyDirection(pic.get(), kSkyThreshold), -1);
    Picture one(1, 1, {argb(0, 0, 0, 255)});
    EXPECT_EQ(SkyDirection(one.get(), kSkyThreshold), -1);
    Bitmap zero{};
    EXPECT_EQ(SkyDirection(&zero, kSkyThreshold), -1);
}

// A deep picture turns exactly as its 8-bit picture does: the rounding of the turned deep
// picture is the turned 8-bit picture, for every turn, both kinds of channels and odd sides.
TEST(TurnDeep, TurnsLikeTheEightBitPicture) {
    for (const std::uint32_t channels : {4u, 2u}) {
        for (const int turn : {0, 1, 2, 3, -1, 6}) {
            SCOPED_TRACE(std::to_string(channels) + " channels, turn " + std::to_string(turn));
            image::DeepImage deep;
            ASSERT_TRUE(deep.create(37, 11, channels));
            std::uint32_t x = 88172645u;
            for (std::size_t i = 0; i < std::size_t{37} * 11 * channels; ++i) {
                x ^= x << 13;
                x ^= x >> 7;
                x ^= x << 17;
                deep.record().samples[i] = static_cast<std::uint16_t>(x);
            }
            Picture pic(37, 11);
            image::deep_to_pixels(deep, pic.get()->pixels, pic.get()->stride);
            ASSERT_TRUE(turn_deep(deep, turn));
            ASSERT_EQ(RotateBitmapQuarter(pic.get(), turn), 1);
            ASSERT_EQ(deep.record().width, static_cast<std::uint32_t>(pic.width()));
            ASSERT_EQ(deep.record().height, static_cast<std::uint32_t>(pic.height()));
            std::vector<std::uint32_t> rounded(pic.pixels().size());
            image::deep_to_pixels(deep, rounded.data(), deep.record().width);
            EXPECT_EQ(rounded, pic.pixels());
        }
    }
    image::DeepImage empty;
    EXPECT_FALSE(turn_deep(empty, 1));
}

} // namespace
} // namespace vt::gfx
