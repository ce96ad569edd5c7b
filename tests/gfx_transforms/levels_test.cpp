#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "gfx/levels.h"
#include "gfx/resample_testing.h"
#include "gfxcore/thread_slot.h"
#include "image/bitmap.h"
#include "tests/gfx/gfx_test_util.h"

namespace vt::gfx {
namespace {

using testing::argb;
using testing::grey;
using testing::Picture;

TEST(YccConversion, FixedPointValues) {
    using Row = std::tuple<std::uint32_t, std::uint32_t>;
    const Row cases[] = {
        {0x00000000, 0x00008080}, // black
        {0x00FFFFFF, 0x00FF8080}, // white
        {0x00808080, 0x00808080}, // grey keeps its level, neutral chroma
        {0x00FF0000, 0x004C54FF}, // red: Cb floors -43.03 to -44
        {0x0000FF00, 0x00962B15}, // green
        {0x000000FF, 0x001DFF6B}, // blue: Cr floors -20.7 to -21
        {0x80FF0000, 0x804C54FF}, // the transparency byte travels along
        {0xFF0A141E, 0xFF12867A},
    };
    for (const auto& [rgb, ycc] : cases)
        EXPECT_EQ(RgbToYcc(rgb), ycc) << std::hex << rgb;
}

TEST(YccConversion, BackToRgbValues) {
    using Row = std::tuple<std::uint32_t, std::uint32_t>;
    const Row cases[] = {
        {0x00808080, 0x00808080}, {0x00FF8080, 0x00FFFFFF},
        {0x00008080, 0x00000000}, {0x004C54FF, 0x00FE0000}, // red comes back one step darker
        {0x0000FF00, 0x000030E1},                           // out-of-gamut chroma clamps R to 0
        {0x7F808080, 0x7F808080},
    };
    for (const auto& [ycc, rgb] : cases)
        EXPECT_EQ(YccToRgb(ycc), rgb) << std::hex << ycc;
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
    // The middle: trunc(90 * 255 / 180 + 0.5).
    EXPECT_EQ(pic.pixels(), (std::vector<std::uint32_t>{argb(0x11, 0, 128, 255), grey(128),
                                                        argb(0xFF, 255, 0, 0)}));
}

TEST(AutoLevels, NoRangeLeavesThePicture) {
    for (const std::uint32_t colour : {grey(0), grey(77), grey(255), argb(9, 77, 77, 77)}) {
        Picture pic(20, 20, [&](std::int32_t, std::int32_t) { return colour; });
        AutoLevels(pic.get());
        EXPECT_EQ(pic.pixels(), std::vector<std::uint32_t>(400, colour));
    }
}

// The estimates and the stretched picture exactly as the plain formulas give them.
struct PlainLevels {
    double hi = 0.0;
    double lo = 255.0;
    std::vector<std::uint32_t> out;
};

PlainLevels plain_levels(const std::vector<std::uint32_t>& pixels) {
    PlainLevels r;
    const double rate = std::min(1.0, 255.0 / static_cast<double>(pixels.size()));
    for (const std::uint32_t p : pixels) {
        const double red = (p >> 16) & 255, green = (p >> 8) & 255, blue = p & 255;
        const double mx = std::max({red, green, blue}), mn = std::min({red, green, blue});
        if (mx > r.hi)
            r.hi += (mx - r.hi) * rate;
        if (mn < r.lo)
            r.lo += (mn - r.lo) * rate;
    }
    r.out = pixels;
    if (!(r.hi > r.lo))
        return r;
    const auto map = [&](std::uint32_t v) {
        const double t = std::trunc((v - r.lo) * 255.0 / (r.hi - r.lo) + 0.5);
        return static_cast<std::uint32_t>(std::clamp(t, 0.0, 255.0));
    };
    for (std::uint32_t& p : r.out)
        p = argb(p >> 24, map((p >> 16) & 255), map((p >> 8) & 255), map(p & 255));
    return r;
}

// Pictures whose estimates creep and cross whole numbers in the middle of rows and of the
// scanner's segments: noise around a slope, a narrow band, and wide rows.
std::vector<std::pair<Picture*, std::string>>
creeping_pictures(std::vector<std::unique_ptr<Picture>>& keep) {
    std::mt19937 rng(7);
    std::vector<std::pair<Picture*, std::string>> out;
    const auto add = [&](std::int32_t w, std::int32_t h, int lo, int width, int slope) {
        std::uniform_int_distribution<int> noise(0, width);
        keep.push_back(std::make_unique<Picture>(w, h, [&](std::int32_t x, std::int32_t y) {
            const auto ch = [&] {
                return static_cast<std::uint32_t>(
                    std::clamp(lo + noise(rng) + slope * (x + y) / (w + h), 0, 255));
            };
            return argb(ch(), ch(), ch(), ch());
        }));
        out.emplace_back(keep.back().get(), std::to_string(w) + "x" + std::to_string(h) + " " +
                                                std::to_string(lo) + "+" + std::to_string(width));
    };
    add(37, 29, 30, 120, 0);
    add(16, 16, 0, 255, 0);
    add(300, 11, 60, 40, 100);
    add(1001, 97, 90, 60, 80);      // creeps across many whole numbers
    add(5000, 3, 10, 200, 40);      // rows longer than one segment
    add(641, 480, 100, 8, 20);      // a narrow band: a steep table
    add(8, 1, 20, 180, 0);          // at most 255 pixels: exact extremes
    keep[1]->at(15, 8) = grey(255); // a late outlier
    // A flat 100..150 picture whose last two pixels are black and white: at a rate of 255 / 10000
    // the strays move the estimates by only 2.55 % of their distance.
    keep.push_back(std::make_unique<Picture>(100, 100, [](std::int32_t x, std::int32_t y) {
        const std::int32_t i = y * 100 + x;
        return i == 9998 ? grey(0) : (i == 9999 ? grey(255) : argb(0, 150, 100, 125));
    }));
    out.emplace_back(keep.back().get(), "strays");
    return out;
}

TEST(AutoLevels, EveryKernelMatchesThePlainFormulas) {
    // Each processor path (AVX-512 byte permutes, AVX2 with its single-precision ramp, the
    // portable code) must give exactly the double-precision estimates and table, also where the
    // ramp cannot stand in for the table and the table is used instead.
    std::vector<std::unique_ptr<Picture>> keep;
    for (const auto& [pic, name] : creeping_pictures(keep)) {
        const std::vector<std::uint32_t> source = pic->pixels();
        const PlainLevels want = plain_levels(source);
        for (const int limit : {kVectorAvx512, kVectorAvx2, kVectorNone}) {
            set_vector_limit(limit);
            Picture copy(pic->get()->width, pic->get()->height, source);
            LevelEstimate e;
            ASSERT_TRUE(estimate_levels(copy.get(), e)) << name;
            EXPECT_EQ(e.hi, want.hi) << name << " limit " << limit;
            EXPECT_EQ(e.lo, want.lo) << name << " limit " << limit;
            AutoLevels(copy.get());
            EXPECT_EQ(copy.pixels(), want.out) << name << " limit " << limit;
        }
        set_vector_limit(kVectorAvx512);
    }
}

TEST(AutoLevels, EveryKernelMatchesTablesWithTies) {
    // Whole-number estimates put table entries exactly on .5 boundaries, where single precision
    // may fall on either side.
    for (int lo = 0; lo < 255; lo += 17)
        for (int hi = lo + 1; hi < 256; hi += 7) {
            // 255 pixels (exact extremes), in one row wider than any vector.
            const auto span = static_cast<std::uint32_t>(hi - lo + 1);
            const auto c = [&](std::uint32_t v) {
                return static_cast<std::uint32_t>(lo) + v % span;
            };
            std::vector<std::uint32_t> source;
            for (std::uint32_t i = 0; i < 255; ++i)
                source.push_back(argb(i, c(i), c(i * 7), c(i * 13)));
            const PlainLevels want = plain_levels(source);
            for (const int limit : {kVectorAvx512, kVectorAvx2, kVectorNone}) {
                set_vector_limit(limit);
                Picture pic(255, 1, source);
                AutoLevels(pic.get());
                ASSERT_EQ(pic.pixels(), want.out) << lo << ".." << hi << " limit " << limit;
            }
        }
    set_vector_limit(kVectorAvx512);
}

TEST(AutoLevels, InvalidBitmapIsLeftAlone) {
    Bitmap zero{};
    AutoLevels(&zero);
    AutoLevels(nullptr);
    EXPECT_NE(last_engine_error(), 1u);
}

} // namespace
} // namespace vt::gfx
