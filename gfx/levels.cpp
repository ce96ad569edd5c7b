#include "gfx/levels.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "gfx/core/engine.h"
#include "gfx/core/thread_slot.h"
#include "image/bitmap.h"

namespace vt::gfx {

namespace {

struct Estimator {
    double rate;
    double hi = 0.0;
    double lo = 255.0;
    // Integer bounds of the estimates: a channel value v moves hi only when v > hi_floor and lo
    // only when v < lo_ceil. The estimates only ever widen, so a pixel found inside the bounds
    // stays inside them and can be skipped without changing anything.
    std::uint32_t hi_floor = 0;
    std::uint32_t lo_ceil = 255;

    void visit(std::uint32_t p) noexcept {
        const std::uint32_t r = (p >> 16) & 255;
        const std::uint32_t g = (p >> 8) & 255;
        const std::uint32_t b = p & 255;
        const std::uint32_t mx = std::max({r, g, b});
        const std::uint32_t mn = std::min({r, g, b});
        if (mx > hi_floor && static_cast<double>(mx) > hi) {
            hi += (static_cast<double>(mx) - hi) * rate;
            hi_floor = static_cast<std::uint32_t>(hi); // hi >= 0: truncation is floor
        }
        if (mn < lo_ceil && static_cast<double>(mn) < lo) {
            lo += (static_cast<double>(mn) - lo) * rate;
            lo_ceil = static_cast<std::uint32_t>(lo);
            if (static_cast<double>(lo_ceil) < lo)
                ++lo_ceil;
        }
    }

    void visit_row(const std::uint32_t* row, std::uint32_t width) noexcept {
        std::uint32_t x = 0;
#if defined(__SSE2__)
        const __m128i colour = _mm_set1_epi32(0x00FFFFFF);
        const __m128i zero = _mm_setzero_si128();
        for (; x + 4 <= width; x += 4) {
            const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
            const __m128i above = _mm_set1_epi8(static_cast<char>(hi_floor));
            const __m128i below = _mm_set1_epi8(static_cast<char>(lo_ceil));
            const __m128i outside = _mm_and_si128(
                _mm_or_si128(_mm_subs_epu8(px, above), _mm_subs_epu8(below, px)), colour);
            const auto inside =
                static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(outside, zero)));
            if (inside == 0xFFFF)
                continue;
            for (std::uint32_t i = 0; i < 4; ++i)
                if (((inside >> (4 * i)) & 15) != 15)
                    visit(row[x + i]);
        }
#endif
        for (; x < width; ++x)
            visit(row[x]);
    }
};

} // namespace

namespace {

// The estimates over a locked bitmap.
LevelEstimate estimate_locked(const Bitmap& bmp) noexcept {
    const double pixels = static_cast<double>(bmp.width) * static_cast<double>(bmp.height);
    Estimator e{std::clamp(255.0 / pixels, 0.0, 1.0)};
    for (std::uint32_t y = 0; y < bmp.height; ++y)
        e.visit_row(bmp.pixels + static_cast<std::size_t>(y) * bmp.stride, bmp.width);
    return {e.lo, e.hi};
}

} // namespace

bool estimate_levels(Bitmap* bmp, LevelEstimate& out) noexcept {
    out = LevelEstimate{};
    image::ScopedBitmapLock lock(bmp, 0);
    if (!lock.locked() || bmp->width == 0 || bmp->height == 0)
        return false;
    out = estimate_locked(*bmp);
    return out.hi > out.lo;
}

void build_level_table(const LevelEstimate& estimate, std::uint8_t table[256]) noexcept {
    const double span = estimate.hi - estimate.lo;
    for (int i = 0; i < 256; ++i) {
        const double v = std::trunc((i - estimate.lo) * 255.0 / span + 0.5);
        table[i] = static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0));
    }
}

void AutoLevels(Bitmap* bmp) noexcept {
    EngineThreadSlot* slot = GetThreadSlot();
    if (slot == nullptr)
        return;
    image::ScopedBitmapLock lock(bmp, 0);
    if (!lock.locked())
        return; // the lock left its reason in the slot
    if (bmp->width == 0 || bmp->height == 0) {
        (void)finish(slot, kErrorNone, 1);
        return;
    }
    const LevelEstimate estimate = estimate_locked(*bmp);
    // When hi is not above lo (a uniform picture, or a large one whose estimates never moved
    // apart) there is no range to stretch and the formula would divide by zero or turn the
    // picture into its negative: the picture stays as it is.
    if (!(estimate.hi > estimate.lo)) {
        (void)finish(slot, kErrorNone, 1);
        return;
    }
    std::uint8_t table[256];
    build_level_table(estimate, table);
    // One table per channel, already in its place in the pixel.
    std::uint32_t red[256], green[256], blue[256];
    for (std::uint32_t i = 0; i < 256; ++i) {
        red[i] = std::uint32_t{table[i]} << 16;
        green[i] = std::uint32_t{table[i]} << 8;
        blue[i] = table[i];
    }
    const auto map = [&](std::uint32_t p) {
        return (p & 0xFF000000u) | red[(p >> 16) & 255] | green[(p >> 8) & 255] | blue[p & 255];
    };
    for (std::uint32_t y = 0; y < bmp->height; ++y) {
        std::uint32_t* row = bmp->pixels + static_cast<std::size_t>(y) * bmp->stride;
        std::uint32_t x = 0;
        // Four loads before four stores: the stores could alias the tables as far as the
        // compiler knows, which would otherwise serialise every pixel.
        for (; x + 4 <= bmp->width; x += 4) {
            const std::uint32_t p0 = row[x], p1 = row[x + 1], p2 = row[x + 2], p3 = row[x + 3];
            const std::uint32_t q0 = map(p0), q1 = map(p1), q2 = map(p2), q3 = map(p3);
            row[x] = q0;
            row[x + 1] = q1;
            row[x + 2] = q2;
            row[x + 3] = q3;
        }
        for (; x < bmp->width; ++x)
            row[x] = map(row[x]);
    }
    (void)finish(slot, kErrorNone, 1);
}

} // namespace vt::gfx
