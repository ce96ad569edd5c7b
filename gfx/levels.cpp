#include "gfx/levels.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VT_LEVELS_X86 1
#endif

#include "gfx/vector_paths.h"
#include "gfxcore/runtime.h"
#include "gfxcore/thread_slot.h"
#include "image/bitmap.h"

namespace vt::gfx {

namespace {

std::uint32_t max3(std::uint32_t p) noexcept {
    return std::max({(p >> 16) & 255, (p >> 8) & 255, p & 255});
}

std::uint32_t min3(std::uint32_t p) noexcept {
    return std::min({(p >> 16) & 255, (p >> 8) & 255, p & 255});
}

// Rows are scanned in segments of at most this many pixels: each segment first collects the
// channel values that may move hi and lo, then feeds them to the estimates.
constexpr std::uint32_t kSegment = 4096;

struct Segment {
    std::int32_t hi_values[kSegment + 8]; // a packed store writes eight lanes
    std::int32_t lo_values[kSegment + 8];
    std::uint32_t hi_count = 0;
    std::uint32_t lo_count = 0;
};

struct Estimator {
    double rate;
    double hi = 0.0;
    double lo = 255.0;
    // floor(hi) and ceil(lo). A channel value v is an integer, so v > hi exactly when
    // v > hi_floor and v < lo exactly when v < lo_ceil: a segment is sifted in integers, and as
    // the estimates only ever widen, a pixel found inside the bounds stays inside them.
    std::uint32_t hi_floor = 0;
    std::uint32_t lo_ceil = 255;

    // The collected values in order. A value that the estimate has passed since it was
    // collected adds exactly zero: max(v - hi, 0) is +0 and hi + 0 is hi. Without a branch the
    // loops do not stall on the unpredictable ones.
    void take(const Segment& s) noexcept {
        double h = hi, l = lo;
        const std::uint32_t both = std::min(s.hi_count, s.lo_count);
        std::uint32_t i = 0;
        // In pairs first, so that the two chains of dependent arithmetic overlap.
        for (; i < both; ++i) {
            h += std::max(static_cast<double>(s.hi_values[i]) - h, 0.0) * rate;
            l += std::min(static_cast<double>(s.lo_values[i]) - l, 0.0) * rate;
        }
        for (std::uint32_t j = i; j < s.hi_count; ++j)
            h += std::max(static_cast<double>(s.hi_values[j]) - h, 0.0) * rate;
        for (std::uint32_t j = i; j < s.lo_count; ++j)
            l += std::min(static_cast<double>(s.lo_values[j]) - l, 0.0) * rate;
        hi = h;
        lo = l;
        hi_floor = static_cast<std::uint32_t>(hi); // hi >= 0: truncation is floor
        lo_ceil = static_cast<std::uint32_t>(lo);
        if (static_cast<double>(lo_ceil) < lo)
            ++lo_ceil;
    }
};

// Collects, in order, the largest channel of every pixel above hi_floor and the smallest of
// every pixel below lo_ceil.
void collect_portable(const std::uint32_t* px, std::uint32_t count, const Estimator& e,
                      Segment& s) noexcept {
    // outside[v]: 1 when v is above hi_floor, 2 when below lo_ceil; most pixels are neither.
    std::uint8_t outside[256];
    for (std::uint32_t v = 0; v < 256; ++v)
        outside[v] = static_cast<std::uint8_t>((v > e.hi_floor ? 1 : 0) | (v < e.lo_ceil ? 2 : 0));
    std::uint32_t nh = 0, nl = 0;
    for (std::uint32_t x = 0; x < count; ++x) {
        const std::uint32_t p = px[x];
        if ((outside[(p >> 16) & 255] | outside[(p >> 8) & 255] | outside[p & 255]) == 0)
            continue;
        const std::uint32_t mx = max3(p), mn = min3(p);
        s.hi_values[nh] = static_cast<std::int32_t>(mx);
        nh += mx > e.hi_floor ? 1u : 0u;
        s.lo_values[nl] = static_cast<std::int32_t>(mn);
        nl += mn < e.lo_ceil ? 1u : 0u;
    }
    s.hi_count = nh;
    s.lo_count = nl;
}

#ifdef VT_LEVELS_X86

// For each mask of eight lanes, the lanes to keep packed to the front.
struct PackTable {
    std::uint8_t lanes[256][8];
    constexpr PackTable() : lanes{} {
        for (std::uint32_t m = 0; m < 256; ++m) {
            std::uint32_t n = 0;
            for (std::uint32_t lane = 0; lane < 8; ++lane)
                if ((m >> lane) & 1)
                    lanes[m][n++] = static_cast<std::uint8_t>(lane);
        }
    }
};
constexpr PackTable kPack{};

__attribute__((target("avx2"))) inline std::uint32_t pack_store(__m256i values, std::uint32_t mask,
                                                                std::int32_t* out) noexcept {
    const __m256i lanes =
        _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(kPack.lanes[mask])));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                        _mm256_permutevar8x32_epi32(values, lanes));
    return static_cast<std::uint32_t>(__builtin_popcount(mask));
}

__attribute__((target("avx2"))) void collect_avx2(const std::uint32_t* px, std::uint32_t count,
                                                  const Estimator& e, Segment& s) noexcept {
    const __m256i low_byte = _mm256_set1_epi32(255);
    const __m256i above = _mm256_set1_epi32(static_cast<std::int32_t>(e.hi_floor));
    const __m256i below = _mm256_set1_epi32(static_cast<std::int32_t>(e.lo_ceil));
    std::uint32_t nh = 0, nl = 0, x = 0;
    for (; x + 8 <= count; x += 8) {
        const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(px + x));
        const __m256i g = _mm256_srli_epi32(p, 8), r = _mm256_srli_epi32(p, 16);
        const __m256i mx = _mm256_and_si256(_mm256_max_epu8(p, _mm256_max_epu8(g, r)), low_byte);
        const __m256i mn = _mm256_and_si256(_mm256_min_epu8(p, _mm256_min_epu8(g, r)), low_byte);
        const auto hi_mask = static_cast<std::uint32_t>(
            _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(mx, above))));
        const auto lo_mask = static_cast<std::uint32_t>(
            _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(below, mn))));
        nh += pack_store(mx, hi_mask, s.hi_values + nh);
        nl += pack_store(mn, lo_mask, s.lo_values + nl);
    }
    for (; x < count; ++x) {
        const std::uint32_t mx = max3(px[x]), mn = min3(px[x]);
        if (mx > e.hi_floor)
            s.hi_values[nh++] = static_cast<std::int32_t>(mx);
        if (mn < e.lo_ceil)
            s.lo_values[nl++] = static_cast<std::int32_t>(mn);
    }
    s.hi_count = nh;
    s.lo_count = nl;
}

#endif

using Collect = void (*)(const std::uint32_t*, std::uint32_t, const Estimator&, Segment&) noexcept;

Collect pick_collect() noexcept {
#ifdef VT_LEVELS_X86
    if (detail::avx2_enabled())
        return collect_avx2;
#endif
    return collect_portable;
}

// The estimates over a locked bitmap.
LevelEstimate estimate_locked(const Bitmap& bmp) noexcept {
    const double pixels = static_cast<double>(bmp.width) * static_cast<double>(bmp.height);
    Estimator e{std::clamp(255.0 / pixels, 0.0, 1.0)};
    const Collect collect = pick_collect();
    Segment segment;
    for (std::uint32_t y = 0; y < bmp.height; ++y) {
        const std::uint32_t* row = bmp.pixels + static_cast<std::size_t>(y) * bmp.stride;
        for (std::uint32_t x = 0; x < bmp.width; x += kSegment) {
            collect(row + x, std::min(kSegment, bmp.width - x), e, segment);
            e.take(segment);
        }
    }
    return {e.lo, e.hi};
}

// The table as arithmetic: channel v maps to trunc((v - base) k + c) in single precision,
// clamped by saturation. It stands in for the table only where it gives the same 256 values.
struct Ramp {
    std::int32_t base;
    float k;
    float c;
};

#ifdef VT_LEVELS_X86

// Two pixels' eight channels through the ramp.
__attribute__((target("avx2"))) inline __m256i ramp_two(const std::uint32_t* two, __m256i base,
                                                        __m256 k, __m256 c) noexcept {
    const __m256i v = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(two)));
    const __m256 f = _mm256_cvtepi32_ps(_mm256_sub_epi32(v, base));
    return _mm256_cvttps_epi32(_mm256_add_ps(_mm256_mul_ps(f, k), c));
}

// Maps whole groups of eight pixels by the ramp, keeping T; returns how many it mapped.
__attribute__((target("avx2"))) std::uint32_t ramp_row_avx2(std::uint32_t* row, std::uint32_t width,
                                                            const Ramp& ramp) noexcept {
    const __m256i base = _mm256_set1_epi32(ramp.base);
    const __m256 k = _mm256_set1_ps(ramp.k);
    const __m256 c = _mm256_set1_ps(ramp.c);
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    const __m256i alpha = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
    std::uint32_t x = 0;
    for (; x + 8 <= width; x += 8) {
        std::uint32_t* p = row + x;
        const __m256i old = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        // Pixels 0 2 4 6 in the low half, 1 3 5 7 in the high half, put back in order.
        const __m256i words =
            _mm256_packs_epi32(ramp_two(p, base, k, c), ramp_two(p + 2, base, k, c));
        const __m256i words2 =
            _mm256_packs_epi32(ramp_two(p + 4, base, k, c), ramp_two(p + 6, base, k, c));
        const __m256i bytes =
            _mm256_permutevar8x32_epi32(_mm256_packus_epi16(words, words2), order);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm256_blendv_epi8(bytes, old, alpha));
    }
    return x;
}

#endif

// Maps a leading part of a row (whole vector groups) and returns its length.
struct RowMapper {
    std::uint32_t (*map)(std::uint32_t* row, std::uint32_t width, const RowMapper& self) noexcept;
    const std::uint8_t* table;
    Ramp ramp;
};

#ifdef VT_LEVELS_X86

__attribute__((target("avx2"))) std::uint32_t ramp_mapper(std::uint32_t* row, std::uint32_t width,
                                                          const RowMapper& self) noexcept {
    return ramp_row_avx2(row, width, self.ramp);
}

// The table itself, sixteen pixels at a time: two 128-byte permutes, picked by bit 7.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) std::uint32_t
lookup_row_vbmi(std::uint32_t* row, std::uint32_t width, const RowMapper& self) noexcept {
    const __m512i t0 = _mm512_loadu_si512(self.table);
    const __m512i t1 = _mm512_loadu_si512(self.table + 64);
    const __m512i t2 = _mm512_loadu_si512(self.table + 128);
    const __m512i t3 = _mm512_loadu_si512(self.table + 192);
    const __mmask64 transparency = 0x8888888888888888ull;
    std::uint32_t x = 0;
    for (; x + 16 <= width; x += 16) {
        const __m512i p = _mm512_loadu_si512(row + x);
        const __m512i low = _mm512_permutex2var_epi8(t0, p, t1);
        const __m512i high = _mm512_permutex2var_epi8(t2, p, t3);
        const __m512i mapped = _mm512_mask_blend_epi8(_mm512_movepi8_mask(p), low, high);
        _mm512_storeu_si512(row + x, _mm512_mask_blend_epi8(transparency, mapped, p));
    }
    return x;
}

#endif

using RampRow = std::uint32_t (*)(std::uint32_t*, std::uint32_t, const Ramp&) noexcept;

// Finds a ramp that gives exactly the table's values, trying the offset a few steps either
// side where single precision lands on the wrong side of a whole number; false if none does.
bool fit_ramp(const LevelEstimate& estimate, const std::uint8_t table[256], RampRow ramp_row,
              Ramp& out) noexcept {
    const double k = 255.0 / (estimate.hi - estimate.lo);
    // A steeper ramp could leave the integer range before saturating.
    if (!(k < 1048576.0))
        return false;
    const double base = std::floor(estimate.lo);
    out.base = static_cast<std::int32_t>(base);
    out.k = static_cast<float>(k);
    const auto centre = static_cast<float>(0.5 - (estimate.lo - base) * k);
    std::uint32_t probe[256];
    for (int attempt = 0; attempt < 9; ++attempt) {
        // centre, one step up, one down, two up, two down, ...
        out.c = centre;
        for (int n = 0; n < (attempt + 1) / 2; ++n)
            out.c = std::nextafter(out.c, attempt % 2 == 1 ? HUGE_VALF : -HUGE_VALF);
        for (std::uint32_t i = 0; i < 256; ++i)
            probe[i] = i * 0x010101u;
        (void)ramp_row(probe, 256, out);
        bool same = true;
        for (std::uint32_t i = 0; i < 256 && same; ++i)
            same = probe[i] == table[i] * 0x010101u;
        if (same)
            return true;
    }
    return false;
}

// The fastest exact mapper this processor has, or null for the plain table.
RowMapper pick_mapper(const LevelEstimate& estimate, const std::uint8_t table[256]) noexcept {
    RowMapper mapper{nullptr, table, {}};
#ifdef VT_LEVELS_X86
    if (detail::avx512vbmi_enabled())
        mapper.map = lookup_row_vbmi;
    else if (detail::avx2_enabled() && fit_ramp(estimate, table, ramp_row_avx2, mapper.ramp))
        mapper.map = ramp_mapper;
#else
    (void)estimate;
#endif
    return mapper;
}

void apply_table(Bitmap& bmp, const std::uint8_t table[256], const RowMapper& mapper) noexcept {
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
    for (std::uint32_t y = 0; y < bmp.height; ++y) {
        std::uint32_t* row = bmp.pixels + static_cast<std::size_t>(y) * bmp.stride;
        std::uint32_t x = mapper.map != nullptr ? mapper.map(row, bmp.width, mapper) : 0;
        // Four loads before four stores: the stores could alias the tables as far as the
        // compiler knows, which would otherwise serialise every pixel.
        for (; x + 4 <= bmp.width; x += 4) {
            const std::uint32_t p0 = row[x], p1 = row[x + 1], p2 = row[x + 2], p3 = row[x + 3];
            const std::uint32_t q0 = map(p0), q1 = map(p1), q2 = map(p2), q3 = map(p3);
            row[x] = q0;
            row[x + 1] = q1;
            row[x + 2] = q2;
            row[x + 3] = q3;
        }
        for (; x < bmp.width; ++x)
            row[x] = map(row[x]);
    }
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
    apply_table(*bmp, table, pick_mapper(estimate, table));
    (void)finish(slot, kErrorNone, 1);
}

} // namespace vt::gfx
