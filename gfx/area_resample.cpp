#include <algorithm>
#include <cmath>
#include <numeric>

#include "gfx/resample.h"
#include "gfx/scaled_copy_p.h"
#include "gfx/vector_paths.h"
#include "gfxcore/runtime.h"
#include "gfxcore/thread_slot.h"
#include "image/bitmap.h"

#if defined(__SSE2__)
#include <immintrin.h>
#define VT_AREA_SSE2 1
#endif

namespace vt::gfx {

namespace {

// Weights in 1/16384 (int16 for the vector multiply-add). The first pass keeps 7 fraction bits
// per channel, so that 255.0 (32640) still fits int16; every sum fits int32.
constexpr int kWeightBits = 14;
constexpr std::int32_t kWeightOne = 1 << kWeightBits;
constexpr int kMidBits = 7;
constexpr int kMidShift = kWeightBits - kMidBits;
constexpr int kOutShift = kWeightBits + kMidBits;

// Per destination pixel: the first source index and `taps` weights (zero past its span), and
// the same weights two at a time as the vector multiply-add takes them: `pairs` 32-bit words
// (low half tap 2k, high half tap 2k + 1, 0 past the last tap).
struct AreaAxis {
    std::int32_t taps = 0;
    std::int32_t pairs = 0;
    std::unique_ptr<std::int32_t[]> first;
    std::unique_ptr<std::int16_t[]> weight;
    std::unique_ptr<std::uint32_t[]> pair;
};

void build_pairs(AreaAxis& axis, std::int32_t dst) noexcept {
    for (std::int32_t d = 0; d < dst; ++d) {
        const std::int16_t* w = axis.weight.get() + static_cast<std::size_t>(d) * axis.taps;
        std::uint32_t* out = axis.pair.get() + static_cast<std::size_t>(d) * axis.pairs;
        for (std::int32_t k = 0; k < axis.pairs; ++k) {
            const auto low = static_cast<std::uint16_t>(w[2 * k]);
            const auto high = 2 * k + 1 < axis.taps ? static_cast<std::uint16_t>(w[2 * k + 1]) : 0u;
            out[k] = low | static_cast<std::uint32_t>(high) << 16;
        }
    }
}

// Below this shrink the plain area mean blurs and aliases too much to pass for a full decode:
// the axis takes a Catmull-Rom cubic stretched over the area instead.
constexpr double kCubicBelow = 2.0;
// The cubic spans a tenth less than the shrink: at 1.56 that saves a pair of taps (a quarter of
// the work) for 0.03 dB.
constexpr double kCubicStretch = 0.9;

double catmull_rom(double x) noexcept {
    x = std::fabs(x);
    if (x < 1.0)
        return (1.5 * x - 2.5) * x * x + 1.0;
    if (x < 2.0)
        return ((-0.5 * x + 2.5) * x - 4.0) * x + 2.0;
    return 0.0;
}

// The weights of one pixel over `total` in 1/kWeightOne, summing to exactly kWeightOne.
void round_weights(const double* exact, std::int32_t taps, double total, std::int16_t* w) noexcept {
    std::int32_t sum = 0;
    std::int32_t largest = 0;
    for (std::int32_t m = 0; m < taps; ++m) {
        w[m] = static_cast<std::int16_t>(
            std::lround(exact[m] / total * static_cast<double>(kWeightOne)));
        sum += w[m];
        if (w[m] > w[largest])
            largest = m;
    }
    w[largest] = static_cast<std::int16_t>(w[largest] + kWeightOne - sum);
}

// Each destination pixel covers src / dst source pixels. Shrunk at least kCubicBelow times, it
// is their mean, the two at its edges counted by the part covered. Below that, the cubic
// centred on the pixel, stretched by the shrink; what it would take from beyond the picture
// comes from the edge pixel.
bool build_axis(AreaAxis& axis, std::int32_t src, std::int32_t dst) noexcept {
    const double ratio = static_cast<double>(src) / static_cast<double>(dst);
    const bool cubic = ratio < kCubicBelow;
    const double stretch = kCubicStretch * ratio;
    const double reach = cubic ? 2.0 * stretch : 0.0;
    const std::int32_t reaches = cubic ? static_cast<std::int32_t>(std::ceil(2.0 * reach))
                                       : static_cast<std::int32_t>(std::ceil(ratio)) + 1;
    axis.taps = std::min(reaches, src);
    axis.pairs = (axis.taps + 1) / 2;
    const auto entries = static_cast<std::size_t>(dst) * static_cast<std::size_t>(axis.taps);
    axis.first = detail::try_alloc<std::int32_t>(static_cast<std::size_t>(dst));
    axis.weight = detail::try_alloc<std::int16_t>(entries);
    axis.pair = detail::try_alloc<std::uint32_t>(static_cast<std::size_t>(dst) *
                                                 static_cast<std::size_t>(axis.pairs));
    if (!axis.first || !axis.weight || !axis.pair)
        return false;
    double exact[2 * kMaxAreaShrink + 2];
    for (std::int32_t d = 0; d < dst; ++d) {
        const double begin = static_cast<double>(d) * ratio;
        const double end = static_cast<double>(d + 1) * ratio;
        const double centre = (begin + end) / 2.0 - 0.5;
        const auto lowest =
            static_cast<std::int32_t>(cubic ? std::floor(centre - reach) + 1.0 : std::floor(begin));
        // At the edges the taps start early or end late (the extra ones weigh 0): every index a
        // pixel reads stays inside the picture.
        const std::int32_t first = std::max(std::min(lowest, src - axis.taps), 0);
        axis.first[static_cast<std::size_t>(d)] = first;
        std::fill_n(exact, axis.taps, 0.0);
        // A picture narrower than the cubic's reach folds all of it onto its pixels.
        for (std::int32_t m = 0; m < reaches; ++m) {
            const std::int32_t at = lowest + m;
            const double weight = cubic ? catmull_rom((static_cast<double>(at) - centre) / stretch)
                                        : std::max(std::min(static_cast<double>(at + 1), end) -
                                                       std::max(static_cast<double>(at), begin),
                                                   0.0);
            exact[std::clamp(at, 0, src - 1) - first] += weight;
        }
        double total = ratio; // the area mean's weights sum to it
        if (cubic)
            total = std::accumulate(exact, exact + axis.taps, 0.0);
        round_weights(exact, axis.taps, total,
                      axis.weight.get() + static_cast<std::size_t>(d) * axis.taps);
    }
    build_pairs(axis, dst);
    return true;
}

// Down the taps: lines[n][i] weighted by w[n] into channels with kMidBits fraction bits.
void column_pass_portable(const std::uint8_t* const* lines, const std::int16_t* w,
                          std::int32_t taps, std::size_t from, std::size_t to,
                          std::int16_t* mid) noexcept {
    for (std::size_t i = from; i < to; ++i) {
        std::int32_t s = 1 << (kMidShift - 1);
        for (std::int32_t n = 0; n < taps; ++n)
            s += w[n] * lines[n][i];
        // Saturated as the vector pack does: the cubic's lobes may overshoot 255.
        mid[i] = static_cast<std::int16_t>(std::clamp(s >> kMidShift, -32768, 32767));
    }
}

// Across the taps: one destination pixel from the mid row.
std::uint32_t row_pixel_portable(const std::int16_t* p, const std::int16_t* w,
                                 std::int32_t taps) noexcept {
    std::uint32_t out = 0;
    for (int c = 0; c < 4; ++c) {
        std::int32_t s = 1 << (kOutShift - 1);
        for (std::int32_t m = 0; m < taps; ++m)
            s += w[m] * p[m * 4 + c];
        out |= static_cast<std::uint32_t>(std::clamp(s >> kOutShift, 0, 255)) << (8 * c);
    }
    return out;
}

// The destination row from the mid row, pixel by pixel.
void across_portable(const AreaAxis& cols, const std::int16_t* mid, std::uint32_t* out,
                     std::int32_t width) noexcept {
    for (std::int32_t x = 0; x < width; ++x)
        out[x] = row_pixel_portable(mid + static_cast<std::size_t>(cols.first[x]) * 4,
                                    cols.weight.get() + static_cast<std::size_t>(x) * cols.taps,
                                    cols.taps);
}

#ifdef VT_AREA_SSE2

// The vector kernels take the taps two at a time through the 16-bit multiply-add; their sums
// are the portable ones exactly. An odd last tap pairs with a neighbour at weight 0.

void column_pass_sse2(const std::uint8_t* const* lines, const std::int16_t* w,
                      const std::uint32_t* pairs, std::int32_t taps, std::size_t channels,
                      std::int16_t* mid) noexcept {
    const __m128i zero = _mm_setzero_si128();
    const __m128i round = _mm_set1_epi32(1 << (kMidShift - 1));
    const std::int32_t n_pairs = (taps + 1) / 2;
    __m128i weights[(kMaxAreaShrink + 2) / 2];
    for (std::int32_t k = 0; k < n_pairs; ++k)
        weights[k] = _mm_set1_epi32(static_cast<int>(pairs[k]));
    std::size_t i = 0;
    for (; i + 8 <= channels; i += 8) {
        __m128i lo = round;
        __m128i hi = round;
        for (std::int32_t k = 0; k < n_pairs; ++k) {
            const std::uint8_t* second = lines[std::min(2 * k + 1, taps - 1)];
            const __m128i a = _mm_unpacklo_epi8(
                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(lines[2 * k] + i)), zero);
            const __m128i b = _mm_unpacklo_epi8(
                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(second + i)), zero);
            lo = _mm_add_epi32(lo, _mm_madd_epi16(_mm_unpacklo_epi16(a, b), weights[k]));
            hi = _mm_add_epi32(hi, _mm_madd_epi16(_mm_unpackhi_epi16(a, b), weights[k]));
        }
        _mm_storeu_si128(
            reinterpret_cast<__m128i*>(mid + i),
            _mm_packs_epi32(_mm_srai_epi32(lo, kMidShift), _mm_srai_epi32(hi, kMidShift)));
    }
    column_pass_portable(lines, w, taps, i, channels, mid);
}

// As column_pass_sse2, 16 channels a step. Pairs is 0 for any count; 2 to 4 (the shrinks a draft
// leaves) unroll the taps with their weights in registers.
template <int Pairs>
__attribute__((target("avx2"))) void
column_pass_avx2_of(const std::uint8_t* const* lines, const std::int16_t* w,
                    const std::uint32_t* pairs, std::int32_t taps, std::size_t channels,
                    std::int16_t* mid) noexcept {
    const __m256i round = _mm256_set1_epi32(1 << (kMidShift - 1));
    const std::int32_t n_pairs = Pairs != 0 ? Pairs : (taps + 1) / 2;
    __m256i weights[(kMaxAreaShrink + 2) / 2];
    const std::uint8_t* a_line[(kMaxAreaShrink + 2) / 2];
    const std::uint8_t* b_line[(kMaxAreaShrink + 2) / 2];
    for (std::int32_t k = 0; k < n_pairs; ++k) {
        weights[k] = _mm256_set1_epi32(static_cast<int>(pairs[k]));
        a_line[k] = lines[2 * k];
        b_line[k] = lines[std::min(2 * k + 1, taps - 1)];
    }
    std::size_t i = 0;
    for (; i + 16 <= channels; i += 16) {
        __m256i lo = round;
        __m256i hi = round;
        for (std::int32_t k = 0; k < n_pairs; ++k) {
            const __m256i a = _mm256_cvtepu8_epi16(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(a_line[k] + i)));
            const __m256i b = _mm256_cvtepu8_epi16(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(b_line[k] + i)));
            lo = _mm256_add_epi32(lo, _mm256_madd_epi16(_mm256_unpacklo_epi16(a, b), weights[k]));
            hi = _mm256_add_epi32(hi, _mm256_madd_epi16(_mm256_unpackhi_epi16(a, b), weights[k]));
        }
        // Per 128-bit lane: channels 0..3 and 4..7 of the lane, packed back in order.
        _mm256_storeu_si256(
            reinterpret_cast<__m256i*>(mid + i),
            _mm256_packs_epi32(_mm256_srai_epi32(lo, kMidShift), _mm256_srai_epi32(hi, kMidShift)));
    }
    column_pass_portable(lines, w, taps, i, channels, mid);
}

void column_pass_avx2(const std::uint8_t* const* lines, const std::int16_t* w,
                      const std::uint32_t* pairs, std::int32_t taps, std::size_t channels,
                      std::int16_t* mid) noexcept {
    switch ((taps + 1) / 2) {
    case 2:
        return column_pass_avx2_of<2>(lines, w, pairs, taps, channels, mid);
    case 3:
        return column_pass_avx2_of<3>(lines, w, pairs, taps, channels, mid);
    case 4:
        return column_pass_avx2_of<4>(lines, w, pairs, taps, channels, mid);
    default:
        return column_pass_avx2_of<0>(lines, w, pairs, taps, channels, mid);
    }
}

// Destination pixels from..width, taking two neighbouring pixels of the mid row a step; the row
// holds a spare pixel at its end for the odd last tap.
void across_sse2(const AreaAxis& cols, const std::int16_t* mid, std::uint32_t* out,
                 std::int32_t from, std::int32_t width) noexcept {
    const __m128i zero = _mm_setzero_si128();
    const __m128i round = _mm_set1_epi32(1 << (kOutShift - 1));
    for (std::int32_t x = from; x < width; ++x) {
        const std::int16_t* p = mid + static_cast<std::size_t>(cols.first[x]) * 4;
        const std::uint32_t* pair = cols.pair.get() + static_cast<std::size_t>(x) * cols.pairs;
        __m128i s = round;
        for (std::int32_t k = 0; k < cols.pairs; ++k) {
            const __m128i two = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k * 8));
            s = _mm_add_epi32(s, _mm_madd_epi16(_mm_unpacklo_epi16(two, _mm_srli_si128(two, 8)),
                                                _mm_set1_epi32(static_cast<int>(pair[k]))));
        }
        const __m128i words = _mm_packs_epi32(_mm_srai_epi32(s, kOutShift), zero);
        out[x] = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(words, zero)));
    }
}

// As across_sse2, two destination pixels a step, one in each 128-bit lane; Pairs as for the
// column pass.
template <int Pairs>
__attribute__((target("avx2"))) void across_avx2_of(const AreaAxis& cols, const std::int16_t* mid,
                                                    std::uint32_t* out,
                                                    std::int32_t width) noexcept {
    const std::int32_t n_pairs = Pairs != 0 ? Pairs : cols.pairs;
    const __m256i round = _mm256_set1_epi32(1 << (kOutShift - 1));
    const __m256i zero = _mm256_setzero_si256();
    std::int32_t x = 0;
    for (; x + 2 <= width; x += 2) {
        const std::int16_t* p0 = mid + static_cast<std::size_t>(cols.first[x]) * 4;
        const std::int16_t* p1 = mid + static_cast<std::size_t>(cols.first[x + 1]) * 4;
        const std::uint32_t* pair0 = cols.pair.get() + static_cast<std::size_t>(x) * cols.pairs;
        const std::uint32_t* pair1 = pair0 + cols.pairs;
        __m256i s = round;
        for (std::int32_t k = 0; k < n_pairs; ++k) {
            const __m256i two = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(p1 + k * 8),
                                                    reinterpret_cast<const __m128i*>(p0 + k * 8));
            const __m256i weights = _mm256_inserti128_si256(
                _mm256_castsi128_si256(_mm_set1_epi32(static_cast<int>(pair0[k]))),
                _mm_set1_epi32(static_cast<int>(pair1[k])), 1);
            s = _mm256_add_epi32(
                s,
                _mm256_madd_epi16(_mm256_unpacklo_epi16(two, _mm256_srli_si256(two, 8)), weights));
        }
        const __m256i words = _mm256_packs_epi32(_mm256_srai_epi32(s, kOutShift), zero);
        const __m256i bytes = _mm256_packus_epi16(words, zero);
        out[x] = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm256_castsi256_si128(bytes)));
        out[x + 1] =
            static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm256_extracti128_si256(bytes, 1)));
    }
    across_sse2(cols, mid, out, x, width);
}

void across_avx2(const AreaAxis& cols, const std::int16_t* mid, std::uint32_t* out,
                 std::int32_t width) noexcept {
    switch (cols.pairs) {
    case 2:
        return across_avx2_of<2>(cols, mid, out, width);
    case 3:
        return across_avx2_of<3>(cols, mid, out, width);
    case 4:
        return across_avx2_of<4>(cols, mid, out, width);
    default:
        return across_avx2_of<0>(cols, mid, out, width);
    }
}

#endif

// One destination row: down the row taps into the mid row, then across.
void area_row(const Bitmap& src, const AreaAxis& cols, const AreaAxis& rows, std::int32_t y,
              std::int16_t* mid, std::uint32_t* out, std::int32_t width, bool vector,
              bool avx2) noexcept {
    const std::size_t channels = static_cast<std::size_t>(src.width) * 4;
    const std::int16_t* rw = rows.weight.get() + static_cast<std::size_t>(y) * rows.taps;
    const std::int32_t r0 = rows.first[static_cast<std::size_t>(y)];
    const std::uint8_t* lines[kMaxAreaShrink + 1];
    for (std::int32_t n = 0; n < rows.taps; ++n)
        lines[n] = reinterpret_cast<const std::uint8_t*>(
            src.pixels + static_cast<std::size_t>(r0 + n) * src.stride);
#ifdef VT_AREA_SSE2
    if (vector) {
        const std::uint32_t* pairs = rows.pair.get() + static_cast<std::size_t>(y) * rows.pairs;
        if (avx2) {
            column_pass_avx2(lines, rw, pairs, rows.taps, channels, mid);
            across_avx2(cols, mid, out, width);
        } else {
            column_pass_sse2(lines, rw, pairs, rows.taps, channels, mid);
            across_sse2(cols, mid, out, 0, width);
        }
        return;
    }
#endif
    (void)vector;
    (void)avx2;
    column_pass_portable(lines, rw, rows.taps, 0, channels, mid);
    across_portable(cols, mid, out, width);
}

} // namespace

int AreaResample(Bitmap* bmp, std::int32_t width, std::int32_t height) noexcept {
    EngineThreadSlot* slot = GetThreadSlot();
    if (slot == nullptr)
        return 0;
    if (image::IsBitmapValid(bmp) == 0 || image::RefreshBitmapInfo(bmp) == 0)
        return 0;
    if (!area_resample_fits(bmp->width, bmp->height, width, height))
        return finish(slot, kErrorArgument, 0);

    Bitmap fresh{};
    // Every pixel is written below.
    const std::uint32_t kind_flags =
        (bmp->kind == image::kKindDisplay ? 0 : image::kCreateMemory) | image::kCreateUncleared;
    if (image::CreateBitmap(&fresh, width, height, kind_flags) == 0)
        return 0;
    std::uint32_t code = kErrorNone;
    {
        image::ScopedBitmapLock source_lock(bmp, 0);
        image::ScopedBitmapLock target_lock(&fresh, 0);
        AreaAxis cols;
        AreaAxis rows;
        const auto sw = static_cast<std::int32_t>(bmp->width);
        const auto dw = static_cast<std::int32_t>(fresh.width);
        const auto dh = static_cast<std::int32_t>(fresh.height);
        // One spare pixel, zero, that an odd last tap reads at weight 0.
        const std::size_t channels = static_cast<std::size_t>(sw) * 4;
        auto mid = detail::try_alloc<std::int16_t>(channels + 4);
        if (!source_lock.locked() || !target_lock.locked()) {
            code = kErrorInvalid;
        } else if (!mid || !build_axis(cols, sw, dw) ||
                   !build_axis(rows, static_cast<std::int32_t>(bmp->height), dh)) {
            code = kErrorScratch;
        } else {
            std::fill_n(mid.get() + channels, 4, std::int16_t{0});
            const bool vector = detail::vector_paths_enabled();
            const bool avx2 = detail::avx2_enabled();
            for (std::int32_t y = 0; y < dh; ++y)
                area_row(*bmp, cols, rows, y, mid.get(),
                         fresh.pixels + static_cast<std::size_t>(y) * fresh.stride, dw, vector,
                         avx2);
        }
    }
    if (code == kErrorNone && image::SwapBitmaps(bmp, &fresh) == 0)
        code = last_engine_error();
    image::FreeBitmap(&fresh);
    return finish(slot, code, code == kErrorNone ? 1 : 0);
}

} // namespace vt::gfx
