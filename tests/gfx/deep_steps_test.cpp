#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "gfx/advanced_weights_p.h"
#include "gfx/deep_denoise.h"
#include "gfx/deep_levels.h"
#include "gfx/deep_resize.h"
#include "gfx/resample.h"
#include "gfx/scaled_copy_p.h"
#include "gfxcore/runtime.h"
#include "image/bitmap.h"
#include "image/deep_image.h"
#include "tests/gfx/gfx_test_util.h"

namespace vt::gfx {
namespace {

using Taps = std::vector<std::vector<std::pair<std::int32_t, double>>>;

// Noise over the whole range; with `eight`, samples that are 8-bit values times 257, so the
// 8-bit picture holds them exactly.
void fill_noise(image::DeepImage& deep, std::uint32_t w, std::uint32_t h, std::uint32_t ch,
                bool eight) {
    ASSERT_TRUE(deep.create(w, h, ch));
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t i = 0; i < w * ch; ++i) {
            const std::uint32_t n =
                testing::noisy(static_cast<std::int32_t>(i), static_cast<std::int32_t>(y), ch);
            deep.row(y)[i] = static_cast<std::uint16_t>(eight ? (n & 255) * 257 : n & 65535);
        }
}

enum class Path { kNearest, kCorner, kBox, kBilinear, kCubic, kAdvanced };

// Per destination pixel of one axis, the source indices and weights each path reads, in double.
Taps axis_taps(Path path, std::int32_t n_s, std::int32_t n_d, bool rows, int filter, int window,
               int size) {
    Taps taps(static_cast<std::size_t>(n_d));
    if (path == Path::kAdvanced) {
        detail::AdvancedAxis axis;
        EXPECT_TRUE(
            detail::build_advanced_axis(axis, filter, window, filter_taps(filter, size), n_s, n_d));
        for (std::int32_t d = 0; d < n_d; ++d)
            for (std::int32_t m = 0; m < axis.taps; ++m) {
                const auto k = static_cast<std::size_t>(d * axis.taps + m);
                taps[static_cast<std::size_t>(d)].emplace_back(axis.index[k], axis.weight[k]);
            }
        return taps;
    }
    std::vector<std::int32_t> index(detail::kTableRoom);
    std::vector<std::uint8_t> fraction(detail::kTableRoom);
    detail::AxisTable t;
    t.index = index.data();
    t.fraction = fraction.data();
    detail::build_axis_table({0, n_d, 0, n_s, 0, rows, 0, n_s - 1, 0, n_d - 1}, t);
    for (std::int32_t d = 0; d < n_d; ++d) {
        auto& out = taps[static_cast<std::size_t>(d)];
        const std::int32_t i = t.at(d), end = t.span_end(d);
        const double f = t.frac(d) / 256.0;
        switch (path) {
        case Path::kNearest:
            out = {{i, 1.0}};
            break;
        case Path::kCorner:
            out = {{(i + end) / 2, 0.5}, {end, 0.5}};
            break;
        case Path::kBox:
            for (std::int32_t s = i; s <= end; ++s)
                out.emplace_back(s, 1.0 / (end - i + 1));
            break;
        case Path::kBilinear:
            out = {{i, 1.0 - f}, {std::min(i + 1, n_s - 1), f}};
            break;
        default: {
            // The cubic a t^3 + b t^2 + c t + y1 written as weights of y0..y3.
            const double w[4] = {-f * f * f + 2 * f * f - f, f * f * f - 2 * f * f + 1,
                                 -f * f * f + f * f + f, f * f * f - f * f};
            for (int m = 0; m < 4; ++m)
                out.emplace_back(std::clamp(i - 1 + m, 0, n_s - 1), w[m]);
        }
        }
    }
    return taps;
}

class DeepSteps : public ::testing::Test {
protected:
    void SetUp() override {
        char16_t why[128];
        ASSERT_TRUE(EngineStartup(why, 128));
    }
    void TearDown() override { EngineShutdown(); }
};

// Every algorithm, path and filter: the deep result is the double-precision result of the same
// taps and weights, rounded (float paths within a little more), and a picture the 8-bit one holds
// exactly rounds to within one step of the 8-bit result (which truncates where the deep rounds).
TEST_F(DeepSteps, ResizeFollowsTheEightBitGeometryAtSixteenBits) {
    const struct {
        int algorithm;
        Path path;
        std::int32_t w, h, nw, nh;
        int filter = 0, window = 0, size = 0;
        std::uint32_t ch = 4;
    } cases[] = {
        {0, Path::kNearest, 37, 23, 12, 9},
        {0, Path::kNearest, 13, 9, 40, 31, 0, 0, 0, 2},
        {1, Path::kCorner, 101, 37, 33, 12},
        {1, Path::kCorner, 37, 23, 30, 20, 0, 0, 0, 2},
        {1, Path::kBilinear, 13, 9, 40, 31},
        {1, Path::kBilinear, 40, 9, 13, 31},
        {2, Path::kBox, 101, 37, 33, 12},
        {2, Path::kBox, 200, 9, 7, 3, 0, 0, 0, 2},
        {2, Path::kBox, 90, 30, 30, 20},
        {2, Path::kCubic, 37, 23, 30, 20},
        {2, Path::kCubic, 13, 9, 40, 31, 0, 0, 0, 2},
        {2, Path::kCubic, 40, 9, 13, 31},
        {3, Path::kAdvanced, 37, 23, 16, 41, kFilterNearest},
        {3, Path::kAdvanced, 37, 23, 16, 41, kFilterBilinear},
        {3, Path::kAdvanced, 37, 23, 61, 11, kFilterCardinal, 0, 0, 2},
        {3, Path::kAdvanced, 37, 23, 61, 11, kFilterBSpline},
        {3, Path::kAdvanced, 37, 23, 16, 41, kFilterMitchell},
        {3, Path::kAdvanced, 30, 20, 47, 9, kFilterSinc, kWindowLanczos, 3},
        {3, Path::kAdvanced, 30, 20, 11, 33, kFilterSinc, kWindowKaiser, 8},
        {3, Path::kAdvanced, 30, 20, 47, 9, kFilterSinc, kWindowRectangular, 64, 2},
        {3, Path::kAdvanced, 30, 20, 11, 33, kFilterSinc, kWindowGauss, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("algorithm " + std::to_string(c.algorithm) + " filter " +
                     std::to_string(c.filter) + " window " + std::to_string(c.window) + ", " +
                     std::to_string(c.w) + "x" + std::to_string(c.h) + " -> " +
                     std::to_string(c.nw) + "x" + std::to_string(c.nh));
        ResizeOptions o;
        o.resizeAlgorithm = c.algorithm;
        o.scalingFilter = c.filter;
        o.sincWindow = c.window;
        o.sincSize = c.size;
        const auto nw = static_cast<std::uint32_t>(c.nw), nh = static_cast<std::uint32_t>(c.nh);
        image::DeepImage source, deep;
        fill_noise(source, c.w, c.h, c.ch, false);
        fill_noise(deep, c.w, c.h, c.ch, false);
        ASSERT_TRUE(resize_deep(deep, nw, nh, o));
        ASSERT_EQ(deep.record().width, nw);
        ASSERT_EQ(deep.record().height, nh);
        const Taps tx = axis_taps(c.path, c.w, c.nw, false, c.filter, c.window, c.size);
        const Taps ty = axis_taps(c.path, c.h, c.nh, true, c.filter, c.window, c.size);
        double worst = 0;
        for (std::uint32_t y = 0; y < nh; ++y)
            for (std::uint32_t x = 0; x < nw; ++x)
                for (std::uint32_t ch = 0; ch < c.ch; ++ch) {
                    double v = 0;
                    for (const auto& [sy, wy] : ty[y])
                        for (const auto& [sx, wx] : tx[x])
                            v += wy * wx *
                                 source.row(static_cast<std::uint32_t>(sy))[sx * c.ch + ch];
                    v = std::clamp(v, 0.0, 65535.0);
                    worst = std::max(worst, std::abs(v - deep.row(y)[x * c.ch + ch]));
                }
        const bool exact = c.path != Path::kCubic && c.path != Path::kAdvanced;
        EXPECT_LE(worst, exact ? 0.5 + 1e-9 : 0.55);

        fill_noise(deep, c.w, c.h, c.ch, true);
        testing::Picture pic(c.w, c.h);
        image::deep_to_pixels(deep, pic.get()->pixels, pic.get()->stride);
        ASSERT_TRUE(resize_deep(deep, nw, nh, o));
        const int method = c.algorithm == 0   ? kResizeNearest
                           : c.algorithm == 1 ? kResizeBalanced
                                              : kResizeHighQuality;
        ASSERT_NE(c.algorithm == 3
                      ? AdvancedResample(pic.get(), c.nw, c.nh, c.filter, c.window, c.size)
                      : ResizeBitmap(pic.get(), c.nw, c.nh, method),
                  0);
        std::vector<std::uint32_t> rounded(std::size_t{nw} * nh);
        image::deep_to_pixels(deep, rounded.data(), nw);
        const std::vector<std::uint32_t> eight = pic.pixels();
        int apart = 0;
        for (std::size_t i = 0; i < rounded.size(); ++i)
            for (int shift = 0; shift < 32; shift += 8)
                apart = std::max(apart, std::abs(static_cast<int>((rounded[i] >> shift) & 255) -
                                                 static_cast<int>((eight[i] >> shift) & 255)));
        EXPECT_LE(apart, c.path == Path::kNearest ? 0 : 1);
    }
}

// What has no deep form is refused and the picture left as it was: the area shrink after a
// reduced decode, a filter the resampler refuses, sizes beyond the scaled copy's reach.
TEST_F(DeepSteps, ResizeRefusesWhatItCannotFollow) {
    const struct {
        int algorithm, filter, size;
        std::uint8_t area;
        std::uint32_t nw, nh;
    } cases[] = {{2, 0, 0, 1, 20, 15},
                 {3, 6, 0, 0, 20, 15},
                 {3, kFilterSinc, 65, 0, 20, 15},
                 {2, 0, 0, 0, 65537, 2},
                 {1, 0, 0, 0, 0, 5}};
    for (const auto& c : cases) {
        image::DeepImage deep;
        fill_noise(deep, 30, 20, 4, false);
        const std::uint16_t first = deep.row(0)[0];
        ResizeOptions o;
        o.resizeAlgorithm = c.algorithm;
        o.scalingFilter = c.filter;
        o.sincSize = c.size;
        o.areaShrink = c.area;
        EXPECT_FALSE(resize_deep(deep, c.nw, c.nh, o)) << c.algorithm << " " << c.filter;
        EXPECT_EQ(deep.record().width, 30u);
        EXPECT_EQ(deep.row(0)[0], first);
    }
}

// Levels: the 8-bit picture's estimates, applied to the deep samples in full precision; alpha
// kept; the rounding within one step plus half the stretch of the 8-bit result (which starts
// from samples already rounded).
TEST_F(DeepSteps, LevelsStretchTheDeepSamplesByTheEightBitEstimates) {
    const struct {
        std::uint32_t w, h, ch;
        std::uint16_t lo, span;
    } cases[] = {{40, 30, 4, 20000, 20000},
                 {17, 9, 2, 1000, 3000},
                 {300, 200, 4, 0, 65535},
                 {12, 7, 4, 30000, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.lo) + " + " + std::to_string(c.span));
        image::DeepImage deep, source;
        for (image::DeepImage* d : {&deep, &source}) {
            fill_noise(*d, c.w, c.h, c.ch, false);
            for (std::uint32_t y = 0; y < c.h; ++y)
                for (std::uint32_t i = 0; i < c.w * c.ch; ++i)
                    if (i % c.ch != c.ch - 1)
                        d->row(y)[i] = static_cast<std::uint16_t>(
                            c.lo + (c.span ? d->row(y)[i] % (c.span + 1u) : 0));
        }
        testing::Picture pic(static_cast<std::int32_t>(c.w), static_cast<std::int32_t>(c.h));
        image::deep_to_pixels(deep, pic.get()->pixels, pic.get()->stride);
        LevelEstimate e;
        EXPECT_EQ(estimate_levels(pic.get(), e), c.span != 0);
        ASSERT_TRUE(deep_levels(deep, e));
        AutoLevels(pic.get());
        std::vector<std::uint32_t> rounded(std::size_t{c.w} * c.h);
        image::deep_to_pixels(deep, rounded.data(), c.w);
        const std::vector<std::uint32_t> eight = pic.pixels();
        double worst = 0;
        int apart = 0;
        for (std::uint32_t y = 0; y < c.h; ++y)
            for (std::uint32_t i = 0; i < c.w * c.ch; ++i) {
                const double v = source.row(y)[i];
                const double want =
                    i % c.ch == c.ch - 1 || c.span == 0
                        ? v
                        : std::clamp((v / 257 - e.lo) * 65535 / (e.hi - e.lo), 0.0, 65535.0);
                worst = std::max(worst, std::abs(want - deep.row(y)[i]));
            }
        for (std::size_t i = 0; i < rounded.size(); ++i)
            for (int shift = 0; shift < 32; shift += 8)
                apart = std::max(apart, std::abs(static_cast<int>((rounded[i] >> shift) & 255) -
                                                 static_cast<int>((eight[i] >> shift) & 255)));
        EXPECT_LE(worst, 0.5);
        EXPECT_LE(apart, c.span ? 1.0 + 0.5 * 255 / (e.hi - e.lo) : 0.0);
    }
}

// Denoise: every pixel against a brute-force median of its clipped window (luma alone, chroma as
// the (Cb, Cr) pair), on noise, on a palette whose colours share Cb with different Cr (the ties
// the filter resolves from the window), and on grey + alpha. Alpha is kept.
TEST_F(DeepSteps, DenoiseIsTheMedianOfEachWindowAtSixteenBits) {
    const std::uint16_t palette[4][3] = {
        {0, 0, 0}, {30000, 30000, 30000}, {65535, 0, 22116}, {0, 65535, 43420}};
    const struct {
        std::uint32_t w, h, ch;
        std::int32_t radius;
        bool ties;
    } cases[] = {{23, 17, 4, 1, false}, {23, 17, 4, 3, false}, {30, 12, 4, 2, true},
                 {9, 40, 2, 2, false},  {2, 2, 4, 1, false},   {40, 3, 4, 17, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " r " +
                     std::to_string(c.radius) + (c.ties ? " palette" : ""));
        image::DeepImage deep;
        fill_noise(deep, c.w, c.h, c.ch, false);
        const auto sample = [&](std::uint32_t x, std::uint32_t y, std::uint32_t k) {
            return deep.row(y)[x * c.ch + (c.ch == 2 ? 0 : k)];
        };
        if (c.ties)
            for (std::uint32_t y = 0; y < c.h; ++y)
                for (std::uint32_t x = 0; x < c.w; ++x)
                    std::copy(palette[deep.row(y)[x * 4] % 4], palette[deep.row(y)[x * 4] % 4] + 3,
                              deep.row(y) + x * 4);
        std::vector<DeepYcc> ycc;
        std::vector<std::uint16_t> alpha;
        for (std::uint32_t y = 0; y < c.h; ++y)
            for (std::uint32_t x = 0; x < c.w; ++x) {
                ycc.push_back(deep_to_ycc(sample(x, y, 0), sample(x, y, 1), sample(x, y, 2)));
                alpha.push_back(deep.row(y)[x * c.ch + c.ch - 1]);
            }
        ASSERT_TRUE(deep_denoise(deep, c.radius));
        const std::int32_t r = std::min(c.radius, 16);
        int wrong = 0;
        for (std::int32_t y = 0; y < static_cast<std::int32_t>(c.h); ++y)
            for (std::int32_t x = 0; x < static_cast<std::int32_t>(c.w); ++x) {
                std::vector<std::uint32_t> lumas, chromas;
                for (std::int32_t j = std::max(0, y - r);
                     j <= std::min<std::int32_t>(c.h - 1, y + r); ++j)
                    for (std::int32_t i = std::max(0, x - r);
                         i <= std::min<std::int32_t>(c.w - 1, x + r); ++i) {
                        const DeepYcc& v = ycc[static_cast<std::size_t>(j) * c.w + i];
                        lumas.push_back(v.y);
                        chromas.push_back(std::uint32_t{v.cb} << 16 | v.cr);
                    }
                std::sort(lumas.begin(), lumas.end());
                std::sort(chromas.begin(), chromas.end());
                const std::size_t at =
                    static_cast<std::size_t>(y) * c.w + static_cast<std::size_t>(x);
                DeepYcc want = ycc[at];
                if (lumas.size() > 3)
                    want = {static_cast<std::uint16_t>(lumas[lumas.size() / 2]),
                            static_cast<std::uint16_t>(chromas[lumas.size() / 2] >> 16),
                            static_cast<std::uint16_t>(chromas[lumas.size() / 2] & 0xFFFF)};
                std::uint16_t rgb[3];
                deep_from_ycc(want, rgb);
                const auto ux = static_cast<std::uint32_t>(x), uy = static_cast<std::uint32_t>(y);
                for (std::uint32_t k = 0; k < (c.ch == 2 ? 1u : 3u); ++k)
                    wrong += sample(ux, uy, k) != rgb[k];
                wrong += deep.row(uy)[ux * c.ch + c.ch - 1] != alpha[at];
            }
        EXPECT_EQ(wrong, 0);
    }
    // The conversions are the JFIF equations rounded: grey stays grey, through and back.
    for (const int grey : {0, 1, 257, 32767, 32768, 65534, 65535}) {
        const auto g = static_cast<std::uint16_t>(grey);
        const DeepYcc v = deep_to_ycc(g, g, g);
        EXPECT_EQ(v.y, g);
        EXPECT_EQ(v.cb, 32768);
        EXPECT_EQ(v.cr, 32768);
    }
    const DeepYcc red = deep_to_ycc(65535, 0, 0);
    EXPECT_EQ(red.y, 19595);  // 0.299 x 65535 = 19594.97
    EXPECT_EQ(red.cb, 21710); // 32768 - 0.168736 x 65535 = 21709.95
}

} // namespace
} // namespace vt::gfx
