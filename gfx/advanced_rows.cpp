// Row kernels of the advanced resampler. The vector kernels handle whole blocks of pixels and
// leave the rest of a row to the portable kernel.

#include "gfx/advanced_rows_p.h"

#include <algorithm>
#include <cstddef>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VT_ADVANCED_X86 1
#endif

namespace vt::gfx::detail {

namespace {

std::uint8_t to_channel(float v) noexcept {
    // Truncated, with a little slack so that weights that sum to one in exact arithmetic but
    // not in floats cannot turn 255 into 254.
    v = std::min(std::max(v + 1e-3f, 0.0f), 255.0f);
    return static_cast<std::uint8_t>(v);
}

} // namespace

void advanced_down_portable(const std::uint32_t* const* lines, const float* w, int taps,
                            std::int32_t from, std::int32_t count, float* acc) noexcept {
    for (std::int32_t x = from; x < count; ++x) {
        float a[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        for (int n = 0; n < taps; ++n) {
            const std::uint32_t p = lines[n][x];
            a[0] += w[n] * static_cast<float>(p & 255u);
            a[1] += w[n] * static_cast<float>((p >> 8) & 255u);
            a[2] += w[n] * static_cast<float>((p >> 16) & 255u);
            a[3] += w[n] * static_cast<float>(p >> 24);
        }
        std::copy(a, a + 4, acc + static_cast<std::size_t>(x) * 4);
    }
}

void advanced_across_portable(const float* acc, const std::int32_t* index, const float* w, int taps,
                              std::int32_t from, std::int32_t count, std::uint32_t* out) noexcept {
    for (std::int32_t x = from; x < count; ++x) {
        const std::size_t cx = static_cast<std::size_t>(x) * static_cast<std::size_t>(taps);
        float v[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        for (int m = 0; m < taps; ++m) {
            const float wm = w[cx + static_cast<std::size_t>(m)];
            const float* a =
                acc + static_cast<std::size_t>(index[cx + static_cast<std::size_t>(m)]) * 4;
            v[0] += wm * a[0];
            v[1] += wm * a[1];
            v[2] += wm * a[2];
            v[3] += wm * a[3];
        }
        out[x] = static_cast<std::uint32_t>(to_channel(v[0])) |
                 static_cast<std::uint32_t>(to_channel(v[1])) << 8 |
                 static_cast<std::uint32_t>(to_channel(v[2])) << 16 |
                 static_cast<std::uint32_t>(to_channel(v[3])) << 24;
    }
}

#ifdef VT_ADVANCED_X86

namespace {

inline std::uint32_t pack_pixel_sse2(__m128 v) noexcept {
    const __m128 lifted = _mm_add_ps(v, _mm_set1_ps(1e-3f));
    const __m128 clamped = _mm_min_ps(_mm_max_ps(lifted, _mm_setzero_ps()), _mm_set1_ps(255.0f));
    const __m128i ints = _mm_cvttps_epi32(clamped);
    const __m128i zero = _mm_setzero_si128();
    return static_cast<std::uint32_t>(
        _mm_cvtsi128_si32(_mm_packus_epi16(_mm_packs_epi32(ints, zero), zero)));
}

} // namespace

void advanced_down_sse2(const std::uint32_t* const* lines, const float* w, int taps,
                        std::int32_t count, float* acc) noexcept {
    const __m128i zero = _mm_setzero_si128();
    std::int32_t x = 0;
    for (; x + 4 <= count; x += 4) {
        __m128 a0 = _mm_setzero_ps();
        __m128 a1 = a0;
        __m128 a2 = a0;
        __m128 a3 = a0;
        for (int n = 0; n < taps; ++n) {
            const __m128 wn = _mm_set1_ps(w[n]);
            const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lines[n] + x));
            const __m128i lo = _mm_unpacklo_epi8(px, zero);
            const __m128i hi = _mm_unpackhi_epi8(px, zero);
            a0 = _mm_add_ps(a0, _mm_mul_ps(wn, _mm_cvtepi32_ps(_mm_unpacklo_epi16(lo, zero))));
            a1 = _mm_add_ps(a1, _mm_mul_ps(wn, _mm_cvtepi32_ps(_mm_unpackhi_epi16(lo, zero))));
            a2 = _mm_add_ps(a2, _mm_mul_ps(wn, _mm_cvtepi32_ps(_mm_unpacklo_epi16(hi, zero))));
            a3 = _mm_add_ps(a3, _mm_mul_ps(wn, _mm_cvtepi32_ps(_mm_unpackhi_epi16(hi, zero))));
        }
        float* out = acc + static_cast<std::size_t>(x) * 4;
        _mm_storeu_ps(out, a0);
        _mm_storeu_ps(out + 4, a1);
        _mm_storeu_ps(out + 8, a2);
        _mm_storeu_ps(out + 12, a3);
    }
    advanced_down_portable(lines, w, taps, x, count, acc);
}

void advanced_across_sse2(const float* acc, const std::int32_t* index, const float* w, int taps,
                          std::int32_t count, std::uint32_t* out) noexcept {
    for (std::int32_t x = 0; x < count; ++x) {
        const std::size_t cx = static_cast<std::size_t>(x) * static_cast<std::size_t>(taps);
        __m128 v = _mm_setzero_ps();
        for (int m = 0; m < taps; ++m) {
            const float* a =
                acc + static_cast<std::size_t>(index[cx + static_cast<std::size_t>(m)]) * 4;
            v = _mm_add_ps(
                v, _mm_mul_ps(_mm_set1_ps(w[cx + static_cast<std::size_t>(m)]), _mm_loadu_ps(a)));
        }
        out[x] = pack_pixel_sse2(v);
    }
}

__attribute__((target("avx2"))) void advanced_down_avx2(const std::uint32_t* const* lines,
                                                        const float* w, int taps,
                                                        std::int32_t count, float* acc) noexcept {
    std::int32_t x = 0;
    for (; x + 8 <= count; x += 8) {
        __m256 a0 = _mm256_setzero_ps();
        __m256 a1 = a0;
        __m256 a2 = a0;
        __m256 a3 = a0;
        for (int n = 0; n < taps; ++n) {
            const __m256 wn = _mm256_set1_ps(w[n]);
            const auto* src = reinterpret_cast<const __m128i*>(lines[n] + x);
            const __m128i lo = _mm_loadu_si128(src);
            const __m128i hi = _mm_loadu_si128(src + 1);
            const __m256 p0 = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(lo));
            const __m256 p1 = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_srli_si128(lo, 8)));
            const __m256 p2 = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(hi));
            const __m256 p3 = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_srli_si128(hi, 8)));
            a0 = _mm256_add_ps(a0, _mm256_mul_ps(wn, p0));
            a1 = _mm256_add_ps(a1, _mm256_mul_ps(wn, p1));
            a2 = _mm256_add_ps(a2, _mm256_mul_ps(wn, p2));
            a3 = _mm256_add_ps(a3, _mm256_mul_ps(wn, p3));
        }
        float* out = acc + static_cast<std::size_t>(x) * 4;
        _mm256_storeu_ps(out, a0);
        _mm256_storeu_ps(out + 8, a1);
        _mm256_storeu_ps(out + 16, a2);
        _mm256_storeu_ps(out + 24, a3);
    }
    advanced_down_portable(lines, w, taps, x, count, acc);
}

__attribute__((target("avx2"))) void advanced_across_avx2(const float* acc,
                                                          const std::int32_t* index, const float* w,
                                                          int taps, std::int32_t count,
                                                          std::uint32_t* out) noexcept {
    // Two destination pixels a time, one in each half of the register.
    std::int32_t x = 0;
    const auto t = static_cast<std::size_t>(taps);
    for (; x + 2 <= count; x += 2) {
        const std::size_t c0 = static_cast<std::size_t>(x) * t;
        const std::size_t c1 = c0 + t;
        __m256 v = _mm256_setzero_ps();
        for (std::size_t m = 0; m < t; ++m) {
            const __m256 a = _mm256_insertf128_ps(
                _mm256_castps128_ps256(
                    _mm_loadu_ps(acc + static_cast<std::size_t>(index[c0 + m]) * 4)),
                _mm_loadu_ps(acc + static_cast<std::size_t>(index[c1 + m]) * 4), 1);
            const __m256 wm =
                _mm256_insertf128_ps(_mm256_set1_ps(w[c0 + m]), _mm_set1_ps(w[c1 + m]), 1);
            v = _mm256_add_ps(v, _mm256_mul_ps(wm, a));
        }
        const __m256 lifted = _mm256_add_ps(v, _mm256_set1_ps(1e-3f));
        const __m256 clamped =
            _mm256_min_ps(_mm256_max_ps(lifted, _mm256_setzero_ps()), _mm256_set1_ps(255.0f));
        const __m256i ints = _mm256_cvttps_epi32(clamped);
        const __m128i words =
            _mm_packs_epi32(_mm256_castsi256_si128(ints), _mm256_extracti128_si256(ints, 1));
        const __m128i bytes = _mm_packus_epi16(words, words);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + x), bytes);
    }
    advanced_across_portable(acc, index, w, taps, x, count, out);
}

#else

void advanced_down_sse2(const std::uint32_t* const* lines, const float* w, int taps,
                        std::int32_t count, float* acc) noexcept {
    advanced_down_portable(lines, w, taps, 0, count, acc);
}

void advanced_down_avx2(const std::uint32_t* const* lines, const float* w, int taps,
                        std::int32_t count, float* acc) noexcept {
    advanced_down_portable(lines, w, taps, 0, count, acc);
}

void advanced_across_sse2(const float* acc, const std::int32_t* index, const float* w, int taps,
                          std::int32_t count, std::uint32_t* out) noexcept {
    advanced_across_portable(acc, index, w, taps, 0, count, out);
}

void advanced_across_avx2(const float* acc, const std::int32_t* index, const float* w, int taps,
                          std::int32_t count, std::uint32_t* out) noexcept {
    advanced_across_portable(acc, index, w, taps, 0, count, out);
}

#endif

} // namespace vt::gfx::detail
