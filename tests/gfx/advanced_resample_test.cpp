#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <numbers>
#include <tuple>
#include <utility>
#include <vector>

#include "gfx/resample.h"
#include "gfx/resample_testing.h"
#include "gfxcore/row_claim.h"
#include "gfxcore/runtime.h"
#include "gfxcore/thread_slot.h"
#include "tests/gfx/gfx_test_util.h"

namespace vt::gfx {
namespace {

using testing::argb;
using testing::grey;
using testing::Picture;

constexpr double kPi = std::numbers::pi;

TEST(AdvancedKernels, ValuesAtChosenDistances) {
    using Row = std::tuple<int, double, double>;
    const Row cases[] = {
        {kFilterBilinear, 0.0, 1.0},         {kFilterBilinear, 0.25, 0.75},
        {kFilterBilinear, -1.0, 0.0},        {kFilterCardinal, 0.0, 1.0},
        {kFilterCardinal, 1.0, 0.0},         {kFilterCardinal, 0.5, 0.5625},
        {kFilterCardinal, -1.5, -0.0625},    {kFilterCardinal, 2.0, 0.0},
        {kFilterBSpline, 0.0, 4.0 / 6.0},    {kFilterBSpline, 1.0, 1.0 / 6.0},
        {kFilterBSpline, -1.0, 1.0 / 6.0},   {kFilterBSpline, 1.5, 0.125 / 6.0},
        {kFilterBSpline, -1.5, 0.125 / 6.0}, {kFilterBSpline, 2.0, 0.0},
        {kFilterBSpline, -2.5, 0.0},         {kFilterMitchell, 0.0, 16.0 / 18.0},
        {kFilterMitchell, 1.0, 1.0 / 18.0},  {kFilterMitchell, -2.0, 0.0},
        {kFilterNearest, 0.0, 0.0},          {9, 0.0, 0.0},
    };
    for (const auto& [filter, t, expected] : cases)
        EXPECT_NEAR(resample_kernel(filter, 0, 4, t), expected, 1e-12)
            << "filter " << filter << " t " << t;
    // Windowed sinc: zero at whole distances, the window scaling in between.
    EXPECT_NEAR(resample_kernel(kFilterSinc, kWindowRectangular, 4, 2.0), 0.0, 1e-15);
    EXPECT_NEAR(resample_kernel(kFilterSinc, kWindowRectangular, 4, 0.5), 2.0 / kPi, 1e-12);
    EXPECT_NEAR(resample_kernel(kFilterSinc, kWindowHann, 4, 0.5),
                2.0 / kPi * (0.5 + 0.5 * std::cos(kPi / 8.0)), 1e-12);
}

TEST(AdvancedKernels, Windows) {
    using Row = std::tuple<int, double, double>;
    const Row cases[] = {
        {kWindowBartlett, 1.0, 0.75},
        {kWindowBlackman, 2.0, 0.42 + 0.08 * -1.0},
        {kWindowBlackmanHarris, 2.0, 0.42323 - 0.07922},
        {kWindowBohman, 2.0, 1.0 / kPi},
        {kWindowCosine, 2.0, std::cos(kPi / 4.0)},
        {kWindowGauss, 1.0, std::pow(2.0, -0.1 * kGaussParameter)},
        {kWindowHamming, 2.0, 0.54},
        {kWindowHann, 2.0, 0.5},
        {kWindowKaiser, 4.0, 0.0},
        {kWindowLanczos, 2.0, 2.0 / kPi},
        {kWindowParzen, 0.5, 0.71875},
        {kWindowParzen, 1.5, 0.03125},
        {kWindowParzen, 2.5, 0.0},
        {kWindowRectangular, 3.9, 1.0},
        {kWindowRectangular, 4.0, 0.0},
        {kWindowWelch, 2.0, 0.75},
        {13, 1.0, 0.0},
        {-1, 1.0, 0.0},
    };
    for (const auto& [window, t, expected] : cases)
        EXPECT_NEAR(sinc_window(window, 4.0, t), expected, 1e-12)
            << "window " << window << " t " << t;
    for (int w = -1; w <= 13; ++w)
        EXPECT_EQ(sinc_window(w, 4.0, 0.0), 1.0) << "window " << w;
    // Both parameter windows are useful: they fall from the centre but stay positive.
    for (int w : {kWindowGauss, kWindowKaiser}) {
        const double near_centre = sinc_window(w, 4.0, 1.0);
        const double edge = sinc_window(w, 4.0, 2.0);
        EXPECT_LT(edge, near_centre);
        EXPECT_GT(edge, 0.05);
        EXPECT_LT(edge, 0.6);
    }
    EXPECT_NEAR(sinc_window(kWindowKaiser, 4.0, 2.0),
                std::cyl_bessel_i(0.0, kKaiserParameter * std::sqrt(0.75)) /
                    std::cyl_bessel_i(0.0, kKaiserParameter),
                1e-4);
}

std::vector<std::uint32_t> advanced(Picture& p, std::int32_t w, std::int32_t h, int filter,
                                    int window, int size) {
    EXPECT_EQ(AdvancedResample(p.get(), w, h, filter, window, size), 1);
    EXPECT_EQ(std::pair(p.width(), p.height()), std::pair(w, h));
    return p.pixels();
}

TEST(AdvancedResample, ExactPositionsReproduceTheSource) {
    // 5 -> 3 with corners aligned: u = 2x, every destination pixel sits on a source pixel.
    const auto fill = [](std::int32_t x, std::int32_t y) { return testing::noisy(x, y, 5); };
    for (int filter : {kFilterNearest, kFilterBilinear, kFilterCardinal, kFilterSinc})
        for (int window = 0; window <= 12; ++window) {
            Picture p(5, 5, fill);
            ASSERT_EQ(advanced(p, 3, 3, filter, window, 6),
                      testing::pixels_from(
                          3, 3, [&](std::int32_t x, std::int32_t y) { return fill(2 * x, 2 * y); }))
                << "filter " << filter << " window " << window;
            if (filter != kFilterSinc)
                break;
        }
}

TEST(AdvancedResample, SplinesBlurAtExactPositions) {
    for (int filter : {kFilterBSpline, kFilterMitchell}) {
        Picture p(5, 5,
                  [](std::int32_t x, std::int32_t y) { return grey(x == 2 && y == 2 ? 255 : 0); });
        const std::uint32_t centre = advanced(p, 3, 3, filter, 0, 4)[4] & 255u;
        EXPECT_LT(centre, 255u) << filter;
        EXPECT_GT(centre, 0u) << filter;
        // The B-spline at a whole position: 255 x (4/6)^2 = 113.3 (truncated).
        EXPECT_TRUE(filter != kFilterBSpline || centre == 113u) << centre;
    }
}

TEST(AdvancedResample, NearestTruncatesAndBilinearInterpolates) {
    Picture a(4, 1, {10, 20, 30, 40});
    // u = x * 3 / 2: 0, 1.5, 3.
    EXPECT_EQ(advanced(a, 3, 1, kFilterNearest, 0, 0), (std::vector<std::uint32_t>{10, 20, 40}));
    Picture b(2, 1, {grey(0), grey(255)});
    // u = 0.5: half of 255 is 127.5, truncated.
    EXPECT_EQ(advanced(b, 3, 1, kFilterBilinear, 0, 0),
              (std::vector<std::uint32_t>{grey(0), grey(127), grey(255)}));
    // A side of 1 samples source index 0.
    Picture c(3, 3, [](std::int32_t x, std::int32_t y) {
        return static_cast<std::uint32_t>(10 * y + x);
    });
    EXPECT_EQ(advanced(c, 1, 1, kFilterCardinal, 0, 0), (std::vector<std::uint32_t>{0}));
}

TEST(AdvancedResample, EdgesRepeat) {
    // Enlarging a two-pixel row with the cardinal spline: taps beyond the ends repeat them, so
    // the ends stay exact and the curve stays inside 0..255 for this step.
    Picture p(2, 1, {grey(0), grey(200)});
    const auto out = advanced(p, 5, 1, kFilterCardinal, 0, 0);
    // u = 0.5 between 0 and 200 on taps 0, 0, 200, 200: symmetric, so 100.
    EXPECT_EQ(std::tuple(out.front(), out[2], out.back()),
              std::tuple(grey(0), grey(100), grey(200)));
}

TEST(AdvancedResample, ConstantPictureStaysConstantUnderEveryFilterAndWindow) {
    const std::uint32_t colour = argb(255, 255, 0, 128);
    for (int filter = 0; filter <= 5; ++filter)
        for (int window = 0; window <= 12; ++window)
            for (int size : {3, 4, 7, 16}) {
                for (const auto& to : {std::pair{9, 4}, std::pair{17, 23}}) {
                    Picture p(11, 13, [&](std::int32_t, std::int32_t) { return colour; });
                    ASSERT_EQ(AdvancedResample(p.get(), to.first, to.second, filter, window, size),
                              1);
                    ASSERT_EQ(p.pixels(), std::vector(p.pixels().size(), colour))
                        << "filter " << filter << " window " << window << " size " << size;
                }
                if (filter != kFilterSinc)
                    break;
            }
}

TEST(AdvancedResample, SincSizesBelowThreeCountAsThree) {
    const auto fill = [](std::int32_t x, std::int32_t y) { return testing::noisy(x, y, 9); };
    Picture three(7, 6, fill);
    const auto expected = advanced(three, 11, 4, kFilterSinc, kWindowLanczos, 3);
    for (int size : {-5, 0, 1, 2}) {
        Picture p(7, 6, fill);
        EXPECT_EQ(advanced(p, 11, 4, kFilterSinc, kWindowLanczos, size), expected) << size;
    }
}

TEST(AdvancedResample, ScalingByOneIsExact) {
    const auto fill = [](std::int32_t x, std::int32_t y) { return testing::noisy(x, y, 2); };
    for (int filter = 0; filter <= 5; ++filter) {
        Picture src(9, 8, fill);
        Picture p(9, 8, fill);
        // Same size is not resampled by ResizeBitmap but by the filter: corners align exactly.
        if (filter == kFilterBSpline || filter == kFilterMitchell)
            continue;
        EXPECT_EQ(advanced(p, 9, 8, filter, kWindowLanczos, 4), src.pixels()) << filter;
    }
}

TEST(AdvancedResample, HelperThreadsWriteTheSameRows) {
    const auto fill = [](std::int32_t x, std::int32_t y) { return testing::noisy(x, y, 5); };
    for (int filter : {kFilterBilinear, kFilterSinc}) {
        Picture alone(90, 70, fill);
        const auto expected = advanced(alone, 45, 131, filter, kWindowHann, 6);
        for (std::uint32_t idle : {1u, 3u}) {
            const std::atomic<std::uint32_t> count{idle};
            set_row_helpers(&count);
            Picture p(90, 70, fill);
            const auto shared = advanced(p, 45, 131, filter, kWindowHann, 6);
            set_row_helpers(nullptr);
            EXPECT_EQ(shared, expected) << filter << " idle " << idle;
        }
    }
}

std::atomic<std::uint32_t> g_abort_at{0};
void abort_hook(std::uint32_t row) {
    if (row == g_abort_at.load())
        resample_abort.store(true);
}

TEST(AdvancedResample, AbortStopsAfterTheCurrentRow) {
    g_abort_at = 2;
    set_resample_row_hook(&abort_hook);
    Picture p(20, 20, [](std::int32_t, std::int32_t) { return grey(90); });
    EXPECT_EQ(AdvancedResample(p.get(), 10, 10, kFilterBilinear, 0, 0), 0);
    set_resample_row_hook(nullptr);
    resample_abort.store(false);
    EXPECT_EQ(p.pixels(), testing::pixels_from(10, 10, [](std::int32_t, std::int32_t y) {
                  return y <= 2 ? grey(90) : 0u;
              }));
}

TEST(AdvancedResample, ClearsAStaleAbortFlag) {
    resample_abort.store(true);
    Picture p(4, 4, [](std::int32_t, std::int32_t) { return grey(1); });
    EXPECT_EQ(AdvancedResample(p.get(), 8, 8, kFilterSinc, kWindowHann, 4), 1);
    EXPECT_FALSE(resample_abort.load());
}

TEST(AdvancedResample, HostileArgumentsFailCleanly) {
    Picture p(4, 4);
    using Row = std::tuple<std::int32_t, std::int32_t, int, int>;
    const Row bad[] = {{0, 4, 1, 4},
                       {4, -1, 1, 4},
                       {4, 4, 6, 4},
                       {4, 4, -1, 4},
                       {4, 4, kFilterSinc, kMaxSincTaps + 1},
                       {4, 4, kFilterSinc, 1 << 30}};
    for (const auto& [w, h, filter, size] : bad) {
        EXPECT_EQ(AdvancedResample(p.get(), w, h, filter, 0, size), 0);
        EXPECT_EQ(last_engine_error(), kErrorArgument);
        EXPECT_EQ(p.width(), 4);
    }
    Bitmap zeroed{};
    EXPECT_EQ(AdvancedResample(&zeroed, 2, 2, 1, 0, 4), 0);
    EXPECT_EQ(AdvancedResample(nullptr, 2, 2, 1, 0, 4), 0);
    // One pixel to many and back.
    Picture one(1, 1, {grey(42)});
    EXPECT_EQ(advanced(one, 7, 3, kFilterSinc, kWindowKaiser, 8),
              std::vector<std::uint32_t>(21, grey(42)));
    EXPECT_EQ(advanced(one, 1, 1, kFilterMitchell, 0, 0), std::vector<std::uint32_t>{grey(42)});
}

TEST(AdvancedResample, VectorPathsWriteTheBytesOfThePortableOne) {
    // Every filter (and every window of the sinc at two sizes) enlarging and shrinking, with
    // row lengths that leave ragged ends to the vector blocks; one FNV-1a hash of all the
    // portable results pins today's bytes.
    using Size = std::tuple<std::int32_t, std::int32_t, std::int32_t, std::int32_t>;
    const Size sizes[] = {{37, 23, 17, 11}, {9, 7, 43, 29}, {64, 3, 31, 5}, {5, 40, 2, 13}};
    std::uint64_t hash = 1469598103934665603ull;
    for (const auto& [w, h, tw, th] : sizes)
        for (int filter = 0; filter <= 5; ++filter)
            for (int window = 0; window <= (filter == kFilterSinc ? 13 : 0); ++window)
                for (int size : {4, 9}) {
                    std::vector<std::uint32_t> results[3];
                    for (int limit : {kVectorNone, kVectorSse2, kVectorAvx2}) {
                        set_vector_limit(limit);
                        Picture p(w, h, [](std::int32_t x, std::int32_t y) {
                            return testing::noisy(x, y, 11);
                        });
                        results[limit] = advanced(p, tw, th, filter, window, size);
                    }
                    set_vector_paths(true);
                    EXPECT_EQ(results[1], results[0]) << filter << "/" << window << "/" << size;
                    EXPECT_EQ(results[2], results[0]) << filter << "/" << window << "/" << size;
                    for (std::uint32_t px : results[0])
                        hash = (hash ^ px) * 1099511628211ull;
                }
    EXPECT_EQ(hash, 15430409191190027391ull);
}

std::vector<std::uint32_t> area(Picture& p, std::int32_t w, std::int32_t h) {
    EXPECT_EQ(AreaResample(p.get(), w, h), 1);
    EXPECT_EQ(std::pair(p.width(), p.height()), std::pair(w, h));
    return p.pixels();
}

TEST(AreaResample, EachPixelIsTheMeanOfTheAreaItCovers) {
    // 5 -> 2: the middle pixel counts half for each side.
    Picture row(5, 1, {grey(0), grey(50), grey(100), grey(150), grey(200)});
    EXPECT_EQ(area(row, 2, 1), (std::vector{grey(40), grey(160)}));
    // Whole factors: the means of the blocks, every channel (transparency too).
    const auto fill = [](std::int32_t x, std::int32_t y) { return testing::noisy(x, y, 4); };
    Picture blocks(6, 4, fill);
    const auto out = area(blocks, 2, 2);
    for (std::int32_t y = 0; y < 2; ++y)
        for (std::int32_t x = 0; x < 2; ++x)
            for (int c = 0; c < 4; ++c) {
                std::uint32_t sum = 0;
                for (std::int32_t v = 0; v < 2; ++v)
                    for (std::int32_t u = 0; u < 3; ++u)
                        sum += fill(x * 3 + u, y * 2 + v) >> (8 * c) & 255u;
                // Rounded: a tie may go either way in fixed point.
                EXPECT_NEAR(out[static_cast<std::size_t>(y * 2 + x)] >> (8 * c) & 255u, sum / 6.0,
                            0.5)
                    << x << "," << y << " channel " << c;
            }
    // A constant picture stays constant at any factor, the last pixels included.
    for (const auto& [w, h, tw, th] : {std::tuple{13, 11, 5, 4}, std::tuple{13, 11, 13, 1},
                                       std::tuple{13, 11, 1, 11}, std::tuple{13, 11, 13, 11}}) {
        Picture flat(w, h, [](std::int32_t, std::int32_t) { return argb(255, 255, 0, 128); });
        EXPECT_EQ(area(flat, tw, th), std::vector<std::uint32_t>(static_cast<std::size_t>(tw * th),
                                                                 argb(255, 255, 0, 128)));
    }
}

TEST(AreaResample, BelowTwiceTheCubicKeepsRampsAndClipsItsOvershoot) {
    // A ramp stays a ramp away from the edges: the cubic reproduces straight lines.
    Picture ramp(60, 1, [](std::int32_t x, std::int32_t) { return grey(20 + 3 * x); });
    const auto out = area(ramp, 40, 1);
    for (std::int32_t d = 3; d < 37; ++d) {
        const double centre = (d + 0.5) * 1.5 - 0.5;
        EXPECT_NEAR(out[static_cast<std::size_t>(d)] & 255u, 20 + 3 * centre, 0.51) << d;
    }
    // Three pixels are narrower than the cubic's reach: both edges fold onto them, and the two
    // new pixels mirror each other.
    Picture three(3, 1, {grey(0), grey(90), grey(180)});
    const auto two = area(three, 2, 1);
    EXPECT_GT(two[0] & 255u, 0u);
    EXPECT_NEAR((two[0] & 255u) + (two[1] & 255u), 180.0, 1.0);
    // A hard edge down the rows overshoots both ways in the first pass: it is clipped to
    // black and white, never wrapped round.
    Picture step(8, 30, [](std::int32_t, std::int32_t y) { return grey(y < 15 ? 255 : 0); });
    const auto down = area(step, 8, 20);
    for (std::int32_t y = 1; y < 20; ++y)
        EXPECT_LE(down[static_cast<std::size_t>(y * 8)] & 255u,
                  down[static_cast<std::size_t>((y - 1) * 8)] & 255u)
            << y;
    EXPECT_EQ(down.front(), grey(255));
    EXPECT_EQ(down.back(), grey(0));
}

TEST(AreaResample, VectorKernelsEqualThePortableOnes) {
    // Odd and even tap counts on both axes, the area mean and the cubic (two to four pairs of
    // taps, clipped overshoot), and rows that leave ragged ends to the vector steps.
    const auto fill = [](std::int32_t x, std::int32_t y) { return testing::noisy(x, y, 7); };
    for (const auto& [w, h, tw, th] :
         {std::tuple{97, 53, 41, 17}, std::tuple{1000, 3, 20, 2}, std::tuple{9, 9, 9, 9},
          std::tuple{630, 70, 10, 70}, std::tuple{301, 47, 193, 30}, std::tuple{75, 64, 64, 41},
          std::tuple{190, 95, 100, 50}}) {
        std::vector<std::uint32_t> results[3];
        for (int limit : {kVectorNone, kVectorSse2, kVectorAvx2}) {
            set_vector_limit(limit);
            Picture p(w, h, fill);
            results[limit] = area(p, tw, th);
        }
        set_vector_limit(kVectorAvx2);
        EXPECT_EQ(results[1], results[0]) << w << "x" << h << " -> " << tw << "x" << th;
        EXPECT_EQ(results[2], results[0]) << w << "x" << h << " -> " << tw << "x" << th;
    }
}

TEST(AreaResample, HostileArgumentsFailCleanly) {
    Picture p(128, 4, [](std::int32_t, std::int32_t) { return grey(7); });
    using Row = std::pair<std::int32_t, std::int32_t>;
    // Sides below 1, larger than the picture, or a shrink beyond kMaxAreaShrink.
    for (const auto& [w, h] : {Row{0, 2}, Row{2, -1}, Row{129, 4}, Row{2, 5}, Row{1, 1}}) {
        EXPECT_EQ(AreaResample(p.get(), w, h), 0);
        EXPECT_EQ(last_engine_error(), kErrorArgument);
        EXPECT_EQ(std::pair(p.width(), p.height()), std::pair(128, 4));
    }
    Bitmap zeroed{};
    EXPECT_EQ(AreaResample(&zeroed, 1, 1), 0);
    EXPECT_EQ(AreaResample(nullptr, 1, 1), 0);
}

} // namespace
} // namespace vt::gfx
