// Vector kernels of the scaled copy. Each computes exactly what its portable twin in
// scaled_copy.cpp computes (the tests compare them); the portable ones stand in elsewhere.

#include <cstddef>
#include <cstdint>

#include "gfx/scaled_copy_p.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VT_GFX_X86 1
#endif

namespace vt::gfx::detail {

#ifdef VT_GFX_X86

namespace {

inline __m128 pixel_to_floats(std::uint32_t p, __m128i zero) noexcept {
    const __m128i bytes = _mm_cvtsi32_si128(static_cast<int>(p));
    const __m128i words = _mm_unpacklo_epi8(bytes, zero);
    return _mm_cvtepi32_ps(_mm_unpacklo_epi16(words, zero));
}

inline __m128 cubic4(__m128 y0, __m128 y1, __m128 y2, __m128 y3, __m128 t) noexcept {
    const __m128 a = _mm_add_ps(_mm_sub_ps(_mm_sub_ps(y3, y2), y0), y1);
    const __m128 b = _mm_sub_ps(_mm_sub_ps(y0, y1), a);
    const __m128 c = _mm_sub_ps(y2, y0);
    return _mm_add_ps(_mm_mul_ps(_mm_add_ps(_mm_mul_ps(_mm_add_ps(_mm_mul_ps(a, t), b), t), c), t),
                      y1);
}

} // namespace

void cubic_row_sse2(const std::uint32_t* const rows[4], const std::int32_t* cols, const float* tx,
                    std::int32_t count, float ty, std::uint32_t* out) noexcept {
    const __m128i zero = _mm_setzero_si128();
    const __m128 vty = _mm_set1_ps(ty);
    const __m128 lo = _mm_setzero_ps();
    const __m128 hi = _mm_set1_ps(255.0f);
    const __m128 half = _mm_set1_ps(0.5f);
    for (std::int32_t k = 0; k < count; ++k) {
        const std::int32_t* ci = cols + static_cast<std::size_t>(k) * 4;
        const __m128 vtx = _mm_set1_ps(tx[k]);
        __m128 across[4];
        for (int n = 0; n < 4; ++n) {
            const std::uint32_t* r = rows[n];
            across[n] =
                cubic4(pixel_to_floats(r[ci[0]], zero), pixel_to_floats(r[ci[1]], zero),
                       pixel_to_floats(r[ci[2]], zero), pixel_to_floats(r[ci[3]], zero), vtx);
        }
        __m128 value = cubic4(across[0], across[1], across[2], across[3], vty);
        value = _mm_add_ps(_mm_max_ps(_mm_min_ps(value, hi), lo), half);
        const __m128i ints = _mm_cvttps_epi32(value);
        const __m128i packed = _mm_packus_epi16(_mm_packs_epi32(ints, zero), zero);
        out[k] = static_cast<std::uint32_t>(_mm_cvtsi128_si32(packed));
    }
}

void box_sum_rows_sse2(const std::uint32_t* first, std::size_t stride, std::int32_t rows,
                       std::int32_t count, std::uint16_t* sums) noexcept {
    const __m128i zero = _mm_setzero_si128();
    for (std::int32_t r = 0; r < rows; ++r) {
        const std::uint32_t* row = first + static_cast<std::size_t>(r) * stride;
        std::int32_t i = 0;
        for (; i + 4 <= count; i += 4) {
            const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i));
            auto* s = reinterpret_cast<__m128i*>(sums + static_cast<std::size_t>(i) * 4);
            _mm_storeu_si128(s, _mm_add_epi16(_mm_loadu_si128(s), _mm_unpacklo_epi8(px, zero)));
            _mm_storeu_si128(s + 1,
                             _mm_add_epi16(_mm_loadu_si128(s + 1), _mm_unpackhi_epi8(px, zero)));
        }
        for (; i < count; ++i)
            for (int c = 0; c < 4; ++c) {
                std::uint16_t& s =
                    sums[static_cast<std::size_t>(i) * 4 + static_cast<std::size_t>(c)];
                s = static_cast<std::uint16_t>(s + ((row[i] >> (8 * c)) & 255u));
            }
    }
}

__attribute__((target("avx2"))) void box_sum_rows_avx2(const std::uint32_t* first,
                                                       std::size_t stride, std::int32_t rows,
                                                       std::int32_t count,
                                                       std::uint16_t* sums) noexcept {
    for (std::int32_t r = 0; r < rows; ++r) {
        const std::uint32_t* row = first + static_cast<std::size_t>(r) * stride;
        std::int32_t i = 0;
        for (; i + 8 <= count; i += 8) {
            const __m256i a =
                _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i)));
            const __m256i b = _mm256_cvtepu8_epi16(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i + 4)));
            auto* s = reinterpret_cast<__m256i*>(sums + static_cast<std::size_t>(i) * 4);
            _mm256_storeu_si256(s, _mm256_add_epi16(_mm256_loadu_si256(s), a));
            _mm256_storeu_si256(s + 1, _mm256_add_epi16(_mm256_loadu_si256(s + 1), b));
        }
        for (; i < count; ++i)
            for (int c = 0; c < 4; ++c) {
                std::uint16_t& s =
                    sums[static_cast<std::size_t>(i) * 4 + static_cast<std::size_t>(c)];
                s = static_cast<std::uint16_t>(s + ((row[i] >> (8 * c)) & 255u));
            }
    }
}

#else

void cubic_row_sse2(const std::uint32_t* const rows[4], const std::int32_t* cols, const float* tx,
                    std::int32_t count, float ty, std::uint32_t* out) noexcept {
    cubic_row_portable(rows, cols, tx, count, ty, out);
}

void box_sum_rows_sse2(const std::uint32_t* first, std::size_t stride, std::int32_t rows,
                       std::int32_t count, std::uint16_t* sums) noexcept {
    box_sum_rows_portable(first, stride, rows, count, sums);
}

void box_sum_rows_avx2(const std::uint32_t* first, std::size_t stride, std::int32_t rows,
                       std::int32_t count, std::uint16_t* sums) noexcept {
    box_sum_rows_portable(first, stride, rows, count, sums);
}

#endif

} // namespace vt::gfx::detail
