#include <gtest/gtest.h>

#include <climits>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "gfx/resample.h"
#include "gfx/resample_testing.h"
#include "gfx/scaled_copy_p.h"
#include "gfxcore/runtime.h"
#include "gfxcore/thread_slot.h"
#include "tests/gfx/gfx_test_util.h"

namespace vt::gfx {
namespace {

using testing::argb;
using testing::grey;
using testing::Picture;

TEST(ScaledCopyTables, PathChoice) {
    using detail::SampleMode;
    using Row = std::tuple<std::int64_t, std::int64_t, std::int64_t, std::int64_t, std::int32_t,
                           bool, SampleMode>;
    const Row cases[] = {
        {10, 10, 10, 10, 0, false, SampleMode::kNearest},
        {10, 10, 10, 10, 0, true, SampleMode::kNearest},
        {5, 10, 10, 10, 0, false, SampleMode::kCorner},
        {5, 10, 5, 10, 0, true, SampleMode::kBox},
        {7, 10, 7, 10, 0, true, SampleMode::kCubic},
        {7, 10, 4, 10, 0, true, SampleMode::kBox},
        {20, 10, 5, 10, 0, false, SampleMode::kBilinear},
        {20, 10, 5, 10, 0, true, SampleMode::kCubic},
        {10, 10, 10, 10, 64, false, SampleMode::kBilinear},
        {5, 10, 5, 10, 64, true, SampleMode::kBilinear},
    };
    for (const auto& [dx, sx, dy, sy, o, hq, mode] : cases)
        EXPECT_EQ(detail::choose_mode(dx, sx, dy, sy, o, 0, hq), mode)
            << dx << "/" << sx << " x " << dy << "/" << sy << " o " << o;
}

std::vector<std::uint32_t> resized(std::int32_t w, std::int32_t h,
                                   const std::vector<std::uint32_t>& src, std::int32_t nw,
                                   std::int32_t nh, int method) {
    Picture p(w, h, src);
    EXPECT_EQ(ResizeBitmap(p.get(), nw, nh, method), 1);
    EXPECT_EQ(p.width(), nw);
    EXPECT_EQ(p.height(), nh);
    return p.pixels();
}

TEST(ResizeBitmap, ExactPixelsOfEachMethod) {
    constexpr int kNear = kResizeNearest, kBal = kResizeBalanced, kHq = kResizeHighQuality;
    const std::vector<std::uint32_t> box6x4 = {0, 0, 0, 60, 60, 60, 0, 0, 6, 60, 60, 60,
                                               9, 9, 9, 90, 90, 90, 9, 9, 9, 90, 90, 91};
    using Row = std::tuple<const char*, std::int32_t, std::int32_t, std::vector<std::uint32_t>,
                           std::int32_t, std::int32_t, int, std::vector<std::uint32_t>>;
    const Row cases[] = {
        {"nearest halves: even pixels", 4, 2, {1, 2, 3, 4, 5, 6, 7, 8}, 2, 1, kNear, {1, 3}},
        {"nearest doubling repeats", 2, 1, {1, 2}, 4, 1, kNear, {1, 1, 2, 2}},
        {"balanced 2x2 -> 1", 2, 2, {0xFF0A, 0xFF14, 0xFF1E, 0xFE29}, 1, 1, kBal, {0xFE19}},
        // Thirds: the span is 0..2, its middle 1 and last 2; pixel (0, 0) plays no part.
        {"balanced 3x3 -> 1", 3, 3, {200, 200, 200, 200, 10, 20, 200, 30, 41}, 1, 1, kBal, {25}},
        {"box 3x3 -> 1 truncates", 3, 3, {1, 2, 3, 4, 5, 6, 7, 8, 10}, 1, 1, kHq, {5}},
        // Columns 0..2 and 3..5, rows 0..1 and 2..3.
        {"box 6x4 -> 2x2", 6, 4, box6x4, 2, 2, kHq, {1, 60, 9, 90}},
        {"bilinear halfway", 2, 1, {0, grey(100)}, 4, 1, kBal, {0, grey(50), grey(100), grey(100)}},
        {"bilinear 0 and 255 meet at 128", 2, 1, {0, 255}, 4, 1, kBal, {0, 128, 255, 255}},
        // t = 0.5 on 0, 100, 200, 200: 12.5 - 50 + 100 + 100 = 162.5, rounded half up.
        {"cubic shrink by 1.5", 3, 1, {0, 100, 200}, 2, 1, kHq, {0, 163}},
        // t = 0.5 on 0, 0, 100, 100 gives 50; on 0, 100, 100, 100 the cubic overshoots to 112.5.
        {"cubic doubling", 2, 1, {0, 100}, 4, 1, kHq, {0, 50, 100, 113}},
    };
    for (const auto& [name, w, h, src, nw, nh, method, expected] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(resized(w, h, src, nw, nh, method), expected);
    }
}

TEST(ResizeBitmap, ConstantPictureStaysConstantOnEveryPath) {
    const std::uint32_t colour = argb(37, 200, 99, 3);
    const std::int32_t sizes[][2] = {{1, 1}, {2, 3}, {7, 5}, {13, 13}, {40, 9}, {64, 64}, {100, 3}};
    for (int method : {kResizeBalanced, kResizeHighQuality, kResizeNearest})
        for (const auto& to : sizes) {
            Picture p(23, 17, [&](std::int32_t, std::int32_t) { return colour; });
            ASSERT_EQ(ResizeBitmap(p.get(), to[0], to[1], method), 1);
            for (std::uint32_t v : p.pixels())
                ASSERT_EQ(v, colour) << "method " << method << " to " << to[0] << "x" << to[1];
        }
}

TEST(ResizeBitmap, SameSizeIsExactAndImmediate) {
    Picture p(5, 4, [](std::int32_t x, std::int32_t y) { return testing::noisy(x, y, 1); });
    const auto before = p.pixels();
    const std::uint32_t* pixels = p.get()->pixels;
    for (int method : {0, 1, 2, 3}) {
        EXPECT_EQ(ResizeBitmap(p.get(), 5, 4, method), 1);
        EXPECT_EQ(p.get()->pixels, pixels);
        EXPECT_EQ(p.pixels(), before);
    }
}

TEST(ResizeBitmap, BlankMethodKeepsNothing) {
    Picture p(4, 4, [](std::int32_t, std::int32_t) { return 0xFFFFFFFFu; });
    ASSERT_EQ(ResizeBitmap(p.get(), 3, 2, kResizeBlank), 1);
    for (std::uint32_t v : p.pixels())
        EXPECT_EQ(v, 0u);
}

TEST(ResizeBitmap, KeepsTheKind) {
    Picture memory(4, 4);
    Picture display(Picture::Flags{0}, 4, 4);
    ASSERT_EQ(ResizeBitmap(memory.get(), 2, 2, kResizeBalanced), 1);
    ASSERT_EQ(ResizeBitmap(display.get(), 2, 2, kResizeBalanced), 1);
    EXPECT_EQ(memory.get()->kind, image::kKindMemory);
    EXPECT_EQ(display.get()->kind, image::kKindDisplay);
}

TEST(ResizeBitmap, HostileArgumentsFailCleanly) {
    Picture p(4, 4);
    using Row = std::tuple<std::int32_t, std::int32_t, int>;
    const Row bad[] = {{0, 4, 0}, {4, 0, 0}, {-3, 4, 2}, {INT_MIN, 1, 0}, {4, 4, 4}, {2, 2, -1}};
    for (const auto& [w, h, method] : bad) {
        EXPECT_EQ(ResizeBitmap(p.get(), w, h, method), 0);
        EXPECT_EQ(last_engine_error(), kErrorArgument);
        EXPECT_EQ(p.width(), 4);
    }
    Bitmap zeroed{};
    EXPECT_EQ(ResizeBitmap(&zeroed, 2, 2, 0), 0);
    EXPECT_EQ(last_engine_error(), kErrorInvalid);
    EXPECT_EQ(ResizeBitmap(nullptr, 2, 2, 0), 0);
}

TEST(ResizeBitmap, OversizedRequestIsReducedAndReported) {
    Picture p(2, 2, {grey(9), grey(9), grey(9), grey(9)});
    EXPECT_EQ(ResizeBitmap(p.get(), INT_MAX, 1, kResizeBalanced), kResizeReduced);
    EXPECT_EQ(std::tuple(p.width(), p.height(), p.at(65535, 0)), std::tuple(65536, 1, grey(9)));
    EXPECT_EQ(ResizeBitmap(p.get(), 70000, 2, kResizeNearest), kResizeReduced);
    EXPECT_EQ(std::pair(p.width(), p.height()), std::pair(65536, 2));
}

TEST(StretchCopy, ClipsToDestinationAndClipRectangle) {
    Picture src(2, 2, {1, 2, 3, 4});
    Picture dst(4, 4, [](std::int32_t, std::int32_t) { return 7u; });
    // Double the picture partly off the left and top edges.
    ASSERT_EQ(StretchCopy(dst.get(), -2, -2, 1, 1, src.get(), 0, 0, 1, 1, 0), 1);
    EXPECT_EQ(dst.pixels(),
              (std::vector<std::uint32_t>{4, 4, 7, 7, 4, 4, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7}));
    SetClipRect(1, 1, 2, 2);
    Picture dst2(4, 4, [](std::int32_t, std::int32_t) { return 7u; });
    ASSERT_EQ(NearestCopy(dst2.get(), 0, 0, 3, 3, src.get(), 0, 0, 1, 1, kCopyClip), 1);
    EXPECT_EQ(dst2.pixels(),
              (std::vector<std::uint32_t>{7, 7, 7, 7, 7, 1, 2, 7, 7, 3, 4, 7, 7, 7, 7, 7}));
    SetClipRect(0, 0, 0, 0);
}

TEST(StretchCopy, SourceViewClampsToTheRectangle) {
    // Source row 1, 2, 3, 4; copy the middle two onto 4 pixels with bilinear interpolation.
    Picture src(4, 1, {grey(0), grey(100), grey(200), grey(40)});
    Picture plain(4, 1);
    Picture view(4, 1);
    ASSERT_EQ(StretchCopy(plain.get(), 0, 0, 3, 0, src.get(), 1, 0, 2, 0, 0), 1);
    ASSERT_EQ(StretchCopy(view.get(), 0, 0, 3, 0, src.get(), 1, 0, 2, 0, kCopySourceView), 1);
    // Without the view the last pixel leans on source pixel 3 (40); with it, 2 repeats.
    EXPECT_EQ(plain.at(3, 0), grey(120));
    EXPECT_EQ(view.at(3, 0), grey(200));
    EXPECT_EQ(StretchCopy(view.get(), 0, 0, 3, 0, src.get(), 10, 0, 12, 0, kCopySourceView), 0);
    EXPECT_EQ(last_engine_error(), kErrorArgument);
}

TEST(StretchCopy, InvertedRectanglesAndOffsets) {
    Picture src(2, 1, {grey(0), grey(200)});
    Picture dst(2, 1);
    EXPECT_EQ(StretchCopy(dst.get(), 1, 0, 0, 0, src.get(), 0, 0, 1, 0, 0), 0);
    EXPECT_EQ(last_engine_error(), kErrorArgument);
    EXPECT_EQ(NearestCopy(dst.get(), 0, 0, 1, 0, src.get(), 0, 1, 1, 0, 0), 0);
    // Half a pixel to the right: same size, so bilinear with fraction 128 from index -1 -> 0.
    EngineThreadSlot* slot = GetThreadSlot();
    slot->offset_x = 128;
    ASSERT_EQ(StretchCopy(dst.get(), 0, 0, 1, 0, src.get(), 0, 0, 1, 0, 0), 1);
    slot->offset_x = 0;
    EXPECT_EQ(dst.at(0, 0), grey(0));
    EXPECT_EQ(dst.at(1, 0), grey(100));
}

TEST(StretchCopy, SameRecordAsSourceAndDestination) {
    Picture p(4, 1, {1, 2, 3, 4});
    ASSERT_EQ(NearestCopy(p.get(), 0, 0, 3, 0, p.get(), 2, 0, 3, 0, 0), 1);
    EXPECT_EQ(p.pixels(), (std::vector<std::uint32_t>{3, 3, 4, 4}));
}

TEST(StretchCopy, HugeRectanglesStayBounded) {
    Picture src(3, 3, [](std::int32_t x, std::int32_t y) {
        return grey(static_cast<std::uint32_t>(x + y));
    });
    Picture dst(8, 8);
    EXPECT_EQ(StretchCopy(dst.get(), INT_MIN / 2, INT_MIN / 2, INT_MAX / 2, INT_MAX / 2, src.get(),
                          0, 0, 2, 2, kCopyHighQuality),
              1);
    EXPECT_EQ(StretchCopy(dst.get(), 0, 0, 7, 7, src.get(), INT_MIN / 2, INT_MIN / 2, INT_MAX / 2,
                          INT_MAX / 2, 0),
              1);
    EXPECT_EQ(StretchCopy(dst.get(), 0, 0, 7, 7, src.get(), INT_MIN / 2, INT_MIN / 2, INT_MAX / 2,
                          INT_MAX / 2, kCopyHighQuality),
              1);
}

TEST(ScaledCopyVectors, EqualThePortableKernels) {
    const std::int32_t targets[][2] = {{200, 150}, {133, 101}, {67, 49},   {21, 13},
                                       {3, 2},     {500, 311}, {301, 299}, {150, 37}};
    for (const auto& to : targets) {
        std::vector<std::uint32_t> results[2];
        for (int vector = 0; vector < 2; ++vector) {
            set_vector_paths(vector == 1);
            Picture p(301, 229,
                      [](std::int32_t x, std::int32_t y) { return testing::noisy(x, y, 7); });
            ASSERT_EQ(ResizeBitmap(p.get(), to[0], to[1], kResizeHighQuality), 1);
            results[vector] = p.pixels();
        }
        set_vector_paths(true);
        EXPECT_EQ(results[0], results[1]) << to[0] << "x" << to[1];
    }
}

TEST(ScaledCopyVectors, BoxSumKernelsAgree) {
    std::vector<std::uint32_t> rows(37 * 5);
    for (std::size_t i = 0; i < rows.size(); ++i)
        rows[i] = testing::noisy(static_cast<std::int32_t>(i), 3, 11);
    std::vector<std::uint16_t> a(37 * 4, 0), b(37 * 4, 0), c(37 * 4, 0);
    detail::box_sum_rows_portable(rows.data(), 37, 5, 37, a.data());
    detail::box_sum_rows_sse2(rows.data(), 37, 5, 37, b.data());
    detail::box_sum_rows_avx2(rows.data(), 37, 5, 37, c.data());
    EXPECT_EQ(a, b);
    if (detail::avx2_enabled()) {
        EXPECT_EQ(a, c);
    }
}

TEST(ScaledCopyThreads, ThreadsResizingAtOnceAgreeWithOne) {
    const auto make = [] {
        return std::make_unique<Picture>(
            120, 90, [](std::int32_t x, std::int32_t y) { return testing::noisy(x, y, 3); });
    };
    auto reference = make();
    ASSERT_EQ(ResizeBitmap(reference->get(), 47, 31, kResizeHighQuality), 1);
    const auto expected = reference->pixels();
    std::vector<std::vector<std::uint32_t>> got(4);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < got.size(); ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 5; ++round) {
                auto p = make();
                if (ResizeBitmap(p->get(), 47, 31, kResizeHighQuality) == 1)
                    got[t] = p->pixels();
            }
        });
    for (auto& th : threads)
        th.join();
    for (const auto& g : got)
        EXPECT_EQ(g, expected);
}

} // namespace
} // namespace vt::gfx
