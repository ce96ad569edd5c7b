#pragma once
// Inside the median filters: counts of 16-bit keys that a sliding window adds and removes one at
// a time, and the key of a given rank among them. Used for the 8-bit chroma keys and for the deep
// picture's 16-bit luma and Cb.
// Thread: one histogram per filter run.

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vt::gfx::detail {

// Moves `at` to the bin that holds rank k, keeping `below` = samples in bins before it.
inline void track_bins(const std::uint16_t* bins, std::uint32_t& at, std::uint32_t& below,
                       std::uint32_t k) noexcept {
    while (below > k) {
        --at;
        below -= bins[at];
    }
    while (below + bins[at] <= k) {
        below += bins[at];
        ++at;
    }
}

// The bin among the 16 from `first` that holds rank `rest` (counted from `first`); `rest`
// becomes the rank within that bin.
inline std::uint32_t descend_bins(const std::uint16_t* bins, std::uint32_t first,
                                  std::uint32_t& rest) noexcept {
#if defined(__SSE2__)
    // Running sums of the 16 bins (at most 1089, so signed 16-bit compares hold); the bin
    // is the number of sums that do not exceed `rest`. No data-dependent branches.
    __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bins + first));
    __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bins + first + 8));
    lo = _mm_add_epi16(lo, _mm_slli_si128(lo, 2));
    hi = _mm_add_epi16(hi, _mm_slli_si128(hi, 2));
    lo = _mm_add_epi16(lo, _mm_slli_si128(lo, 4));
    hi = _mm_add_epi16(hi, _mm_slli_si128(hi, 4));
    lo = _mm_add_epi16(lo, _mm_slli_si128(lo, 8));
    hi = _mm_add_epi16(hi, _mm_slli_si128(hi, 8));
    const __m128i last = _mm_shufflehi_epi16(lo, 0xFF);     // the first eight's total ...
    hi = _mm_add_epi16(hi, _mm_unpackhi_epi64(last, last)); // ... added to the last eight
    const __m128i limit = _mm_set1_epi16(static_cast<short>(rest));
    const auto beyond = static_cast<std::uint32_t>(
        _mm_movemask_epi8(_mm_packs_epi16(_mm_cmpgt_epi16(lo, limit), _mm_cmpgt_epi16(hi, limit))));
    const auto i = static_cast<std::uint32_t>(__builtin_ctz(beyond | 0x10000u));
    alignas(16) std::uint16_t sums[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(sums), lo);
    _mm_store_si128(reinterpret_cast<__m128i*>(sums + 8), hi);
    if (i > 0)
        rest -= sums[i - 1];
    return first + i;
#else
    std::uint32_t i = first;
    while (rest >= bins[i]) {
        rest -= bins[i];
        ++i;
    }
    return i;
#endif
}

// 16-bit keys in 65536 fine bins (the caller's zeroed memory) under 4096 groups of 16 under 256
// blocks of 256. The block holding the median is tracked together with the number of samples
// below it, which moves by a step or two between neighbouring windows; inside it the key is
// found by at most 16 + 16 steps however sparse the keys are. At most 1089 samples.
class KeyHistogram {
public:
    explicit KeyHistogram(std::uint16_t* fine) noexcept : m_fine(fine) {}

    void add(std::uint32_t c) noexcept {
        ++m_fine[c];
        ++m_group[c >> 4];
        ++m_block[c >> 8];
        m_below += (c >> 8) < m_at ? 1u : 0u;
    }
    void remove(std::uint32_t c) noexcept {
        --m_fine[c];
        --m_group[c >> 4];
        --m_block[c >> 8];
        m_below -= (c >> 8) < m_at ? 1u : 0u;
    }
    [[nodiscard]] std::uint16_t count_of(std::uint32_t c) const noexcept { return m_fine[c]; }
    // The key of rank k (0-based, below the number of samples); `rest` becomes its rank among
    // the samples that hold that key.
    [[nodiscard]] std::uint32_t rank(std::uint32_t k, std::uint32_t& rest) noexcept {
        track_bins(m_block, m_at, m_below, k);
        rest = k - m_below;
        const std::uint32_t group = descend_bins(m_group, m_at * 16, rest);
        return descend_bins(m_fine, group * 16, rest);
    }

private:
    std::uint16_t* m_fine;
    std::uint16_t m_group[4096] = {};
    std::uint16_t m_block[256] = {};
    std::uint32_t m_at = 0;    // the block holding the last median
    std::uint32_t m_below = 0; // samples in blocks before it
};

} // namespace vt::gfx::detail
