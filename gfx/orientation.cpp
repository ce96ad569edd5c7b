#include "gfx/orientation.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "gfx/levels.h"
#include "gfxcore/runtime.h"
#include "gfxcore/thread_slot.h"
#include "image/bitmap.h"
#include "image/markup.h"
#include "image/meta_adjust.h"
#include "image/meta_block.h"

namespace vt::gfx {

namespace {

// Quarter turns are copied in square tiles, 4 x 4 blocks turned in registers. A tile reads each
// source line four times, a tile's height of lines apart, which keeps those lines in the
// second-level cache; measured on 3000 x 2000 pictures, tiles much smaller than this are slower
// (more switching between rows), much larger ones too (the lines fall out of that cache).
constexpr std::uint32_t kTile = 1024;

// Turned pictures of at least this size are written around the caches: they will not fit
// anyway, and the processor need not fetch each destination line before filling it.
constexpr std::size_t kStreamBytes = std::size_t{8} << 20;

#if defined(__SSE2__)
// Transposes four rows of four pixels.
inline void transpose4(__m128i& a, __m128i& b, __m128i& c, __m128i& d) noexcept {
    const __m128i ab_lo = _mm_unpacklo_epi32(a, b);
    const __m128i ab_hi = _mm_unpackhi_epi32(a, b);
    const __m128i cd_lo = _mm_unpacklo_epi32(c, d);
    const __m128i cd_hi = _mm_unpackhi_epi32(c, d);
    a = _mm_unpacklo_epi64(ab_lo, cd_lo);
    b = _mm_unpackhi_epi64(ab_lo, cd_lo);
    c = _mm_unpacklo_epi64(ab_hi, cd_hi);
    d = _mm_unpackhi_epi64(ab_hi, cd_hi);
}
#endif

// One destination pixel of a quarter turn.
inline std::uint32_t turned_pixel(const Bitmap& src, int turn, std::uint32_t c,
                                  std::uint32_t r) noexcept {
    const std::size_t ss = src.stride;
    if (turn == 1)
        return src.pixels[(src.height - 1 - c) * ss + r];
    return src.pixels[c * ss + (src.width - 1 - r)];
}

#if defined(__SSE2__)
template <bool kStream>
inline void store4(std::uint32_t* out, __m128i v) noexcept {
    if constexpr (kStream)
        _mm_stream_si128(reinterpret_cast<__m128i*>(out), v);
    else
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
}
#endif

// Destination rows r0..r1 - 1, columns c0..c1 - 1 of a quarter turn. kStream: streamed stores,
// which need every destination row 16-byte aligned.
template <bool kStream>
void turn_tile(const Bitmap& src, Bitmap& dst, int turn, std::uint32_t r0, std::uint32_t r1,
               std::uint32_t c0, std::uint32_t c1) noexcept {
    const std::size_t ss = src.stride;
    const std::size_t ds = dst.stride;
    std::uint32_t r = r0;
#if defined(__SSE2__)
    const std::uint32_t w = src.width;
    const std::uint32_t h = src.height;
    for (; r + 4 <= r1; r += 4) {
        std::uint32_t c = c0;
        for (; c + 4 <= c1; c += 4) {
            // Turn 1: the four source rows h - 1 - c .. h - 4 - c, columns r .. r + 3.
            // Turn 3: source rows c .. c + 3, columns w - 4 - r .. w - 1 - r, read backwards.
            const std::uint32_t* in =
                turn == 1 ? src.pixels + (h - 1 - c) * ss + r : src.pixels + c * ss + (w - 4 - r);
            const std::ptrdiff_t step =
                turn == 1 ? -static_cast<std::ptrdiff_t>(ss) : static_cast<std::ptrdiff_t>(ss);
            __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
            __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + step));
            __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * step));
            __m128i f = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 3 * step));
            transpose4(a, b, e, f);
            std::uint32_t* out = dst.pixels + r * ds + c;
            if (turn == 1) {
                store4<kStream>(out, a);
                store4<kStream>(out + ds, b);
                store4<kStream>(out + 2 * ds, e);
                store4<kStream>(out + 3 * ds, f);
            } else {
                store4<kStream>(out, f);
                store4<kStream>(out + ds, e);
                store4<kStream>(out + 2 * ds, b);
                store4<kStream>(out + 3 * ds, a);
            }
        }
        for (std::uint32_t i = r; i < r + 4; ++i)
            for (std::uint32_t x = c; x < c1; ++x)
                dst.pixels[i * ds + x] = turned_pixel(src, turn, x, i);
    }
#endif
    for (; r < r1; ++r)
        for (std::uint32_t c = c0; c < c1; ++c)
            dst.pixels[r * ds + c] = turned_pixel(src, turn, c, r);
}

// Destination row r takes source row h - 1 - r backwards.
template <bool kStream>
void half_turn(const Bitmap& src, Bitmap& dst) noexcept {
    const std::uint32_t w = src.width;
    const std::uint32_t h = src.height;
    for (std::uint32_t r = 0; r < h; ++r) {
        const std::uint32_t* in = src.pixels + (h - 1 - r) * std::size_t{src.stride};
        std::uint32_t* out = dst.pixels + r * std::size_t{dst.stride};
        std::uint32_t x = 0;
#if defined(__SSE2__)
        for (; x + 4 <= w; x += 4) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + w - 4 - x));
            store4<kStream>(out + x, _mm_shuffle_epi32(v, 0x1B));
        }
#endif
        for (; x < w; ++x)
            out[x] = in[w - 1 - x];
    }
}

// Fills `dst` (already of the turned size, locked) from `src` (locked). Destination column c,
// row r takes: turn 1 source (r, h - 1 - c); turn 2 (w - 1 - c, h - 1 - r); turn 3
// (w - 1 - r, c).
void turn_pixels(const Bitmap& src, Bitmap& dst, int turn) noexcept {
    bool stream = false;
#if defined(__SSE2__)
    const bool aligned =
        (reinterpret_cast<std::uintptr_t>(dst.pixels) | std::uintptr_t{dst.stride} * 4) % 16 == 0;
    stream = aligned && std::size_t{dst.stride} * dst.height * 4 >= kStreamBytes;
#endif
    if (turn == 2) {
        (stream ? half_turn<true> : half_turn<false>)(src, dst);
    } else {
        const auto tile = stream ? turn_tile<true> : turn_tile<false>;
        for (std::uint32_t r0 = 0; r0 < dst.height; r0 += kTile)
            for (std::uint32_t c0 = 0; c0 < dst.width; c0 += kTile)
                tile(src, dst, turn, r0, std::min(dst.height, r0 + kTile), c0,
                     std::min(dst.width, c0 + kTile));
    }
#if defined(__SSE2__)
    _mm_sfence(); // streamed stores reach the other processors' view before the bitmap does
#endif
}

// Makes `fresh` the turned copy of `bmp`. Returns the outcome code.
std::uint32_t build_turned(Bitmap* bmp, Bitmap& fresh, int turn,
                           std::uint32_t create_flags) noexcept {
    image::ScopedBitmapLock src_lock(bmp, 0);
    if (!src_lock.locked())
        return last_engine_error();
    const auto w = static_cast<std::int32_t>(bmp->width);
    const auto h = static_cast<std::int32_t>(bmp->height);
    const bool quarter = (turn & 1) != 0;
    if (image::CreateBitmap(&fresh, quarter ? h : w, quarter ? w : h,
                            create_flags | image::kCreateStrict | image::kCreateUncleared) == 0)
        return last_engine_error();
    {
        image::ScopedBitmapLock dst_lock(&fresh, 0);
        if (!dst_lock.locked()) {
            const std::uint32_t code = last_engine_error();
            image::FreeBitmap(&fresh);
            return code;
        }
        turn_pixels(*bmp, fresh, turn);
    }
    return kErrorNone;
}

// Puts `fresh` in place of `bmp`'s content and frees the old pixels. Returns the outcome code.
std::uint32_t replace_content(Bitmap* bmp, Bitmap& fresh) noexcept {
    if (image::SwapBitmaps(bmp, &fresh) == 0) {
        const std::uint32_t code = last_engine_error();
        image::FreeBitmap(&fresh);
        return code;
    }
    image::FreeBitmap(&fresh);
    return kErrorNone;
}

struct BandTotals {
    double sum_p = 0;
    double sum_y2 = 0;
    std::uint32_t max_p = 0;
    std::uint32_t max_y = 0;
};

} // namespace

int RotateBitmapQuarter(Bitmap* bmp, std::int32_t quarters) noexcept {
    EngineThreadSlot* slot = GetThreadSlot();
    if (slot == nullptr)
        return 0;
    if (image::IsBitmapValid(bmp) == 0)
        return 0;
    const int turn = ((quarters % 4) + 4) % 4;
    if (turn == 0)
        return finish(slot, kErrorNone, 1);
    const std::uint32_t flags = bmp->kind == image::kKindDisplay ? 0u : image::kCreateMemory;
    Bitmap fresh{};
    std::uint32_t code = build_turned(bmp, fresh, turn, flags);
    if (code == kErrorNone)
        code = replace_content(bmp, fresh);
    return finish(slot, code, code == kErrorNone ? 1 : 0);
}

int MirrorBitmap(Bitmap* bmp, bool vertical) noexcept {
    EngineThreadSlot* slot = GetThreadSlot();
    if (slot == nullptr)
        return 0;
    image::ScopedBitmapLock lock(bmp, 0);
    if (!lock.locked())
        return 0;
    const std::uint32_t w = bmp->width;
    const std::uint32_t h = bmp->height;
    const std::size_t stride = bmp->stride;
    if (vertical) {
        for (std::uint32_t y = 0; y < h / 2; ++y)
            std::swap_ranges(bmp->pixels + y * stride, bmp->pixels + y * stride + w,
                             bmp->pixels + (h - 1 - y) * stride);
    } else {
        for (std::uint32_t y = 0; y < h; ++y)
            std::reverse(bmp->pixels + y * stride, bmp->pixels + y * stride + w);
    }
    return finish(slot, kErrorNone, 1);
}

double sky_band_score(const Bitmap& bmp, std::uint32_t left, std::uint32_t top, std::uint32_t right,
                      std::uint32_t bottom) noexcept {
    BandTotals t;
    for (std::uint32_t y = top; y <= bottom; ++y) {
        const std::uint32_t* row = bmp.pixels + static_cast<std::size_t>(y) * bmp.stride;
        for (std::uint32_t x = left; x <= right; ++x) {
            const std::uint32_t px = row[x];
            const auto r = static_cast<std::int32_t>((px >> 16) & 255);
            const auto g = static_cast<std::int32_t>((px >> 8) & 255);
            const auto b = static_cast<std::int32_t>(px & 255);
            const std::uint32_t luma = (RgbToYcc(px) >> 16) & 255;
            const std::int32_t excess = std::max(0, b - std::max(r, g));
            const double raw = std::trunc((0.8 * excess + 1.2 * luma) * 10.0);
            const auto p = static_cast<std::uint32_t>(std::max(0.0, raw));
            t.sum_p += p;
            t.sum_y2 += static_cast<double>(luma * luma);
            t.max_p = std::max(t.max_p, p);
            t.max_y = std::max(t.max_y, luma);
        }
    }
    if (t.max_p == 0 || t.max_y == 0)
        return 0.0;
    const double n = static_cast<double>(right - left + 1) * static_cast<double>(bottom - top + 1);
    return 0.6 * (t.sum_p / (n * t.max_p)) + 0.2 * (t.max_y / 255.0) +
           0.2 * ((t.sum_y2 / 255.0) / n) / t.max_y;
}

int sky_side(const double scores[4], double threshold) noexcept {
    int best = -1;
    for (int i = 0; i < 4; ++i) {
        const double a = scores[i];
        const double b = scores[(i + 1) % 4];
        const double c = scores[(i + 2) % 4];
        const double d = scores[(i + 3) % 4];
        const bool qualifies =
            a - c > 0.2 * threshold && a > b && b > c && a > d && d > c && a >= threshold;
        if (qualifies && (best < 0 || a > scores[best]))
            best = i;
    }
    return best;
}

int SkyDirection(Bitmap* bmp, double threshold) noexcept {
    EngineThreadSlot* slot = GetThreadSlot();
    if (slot == nullptr)
        return -1;
    image::ScopedBitmapLock lock(bmp, 0);
    if (!lock.locked())
        return -1;
    const std::uint32_t w = bmp->width;
    const std::uint32_t h = bmp->height;
    if (w == 0 || h == 0)
        return finish(slot, kErrorNone, -1);
    const std::uint32_t third_w = (w - 1) / 3;
    const std::uint32_t third_h = (h - 1) / 3;
    const double scores[4] = {
        sky_band_score(*bmp, 0, 0, w - 1, third_h),
        sky_band_score(*bmp, (w - 1) - third_w, 0, w - 1, h - 1),
        sky_band_score(*bmp, 0, (h - 1) - third_h, w - 1, h - 1),
        sky_band_score(*bmp, 0, 0, third_w, h - 1),
    };
    return finish(slot, kErrorNone, sky_side(scores, threshold));
}

int turn_for_orientation(long orientation) noexcept {
    switch (orientation) {
    case 3:
    case 4:
        return 2;
    case 5:
    case 6:
        return 1;
    case 7:
    case 8:
        return 3;
    default:
        return 0;
    }
}

namespace {

// Only the start of the markup is examined, as the orientation sits among the first entries.
constexpr std::size_t kOrientationScan = 8191;
constexpr std::size_t kOrientationValue = 256;

int exif_turn(const Layer& layer) noexcept {
    image::MetaChunk chunk{};
    if (!image::find_layer_chunk(layer, image::kTagMark, chunk) || chunk.data == nullptr)
        return 0;
    char text[kOrientationScan + 1];
    const std::size_t length = strnlen(reinterpret_cast<const char*>(chunk.data),
                                       std::min<std::size_t>(chunk.size, kOrientationScan));
    std::memcpy(text, chunk.data, length);
    text[length] = '\0';
    char value[kOrientationValue + 1];
    if (image::find_markup_value(text, image::kKeyOrientation, value, sizeof value) == nullptr)
        return 0;
    return turn_for_orientation(std::strtol(value, nullptr, 10));
}

} // namespace

int rotation_turn(Layer* layers, std::uint32_t count, std::int32_t rotationMode) noexcept {
    switch (rotationMode) {
    case 1:
        return 1;
    case 2:
        return 3;
    case 3:
        return 2;
    case 4:
        return layers != nullptr && count > 0 ? exif_turn(layers[0]) : 0;
    case 5: {
        if (layers == nullptr || count == 0)
            return 0;
        switch (SkyDirection(&layers[0].bitmap, kSkyThreshold)) {
        case 1:
            return 3;
        case 2:
            return 2;
        case 3:
            return 1;
        default:
            return 0;
        }
    }
    default:
        return 0;
    }
}

int RotationStep(Layer* layers, std::uint32_t count, std::int32_t rotationMode) noexcept {
    EngineThreadSlot* slot = GetThreadSlot();
    if (slot == nullptr)
        return 0;
    const int turn = rotation_turn(layers, count, rotationMode);
    if (turn == 0 || layers == nullptr || count == 0)
        return finish(slot, kErrorNone, -1);

    std::int64_t w0 = 0; // layer 0's size after its turn
    std::int64_t h0 = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        Layer& layer = layers[i];
        if (image::RefreshBitmapInfo(&layer.bitmap) == 0)
            return 0;
        const std::int64_t w = layer.bitmap.width;
        const std::int64_t h = layer.bitmap.height;
        if (i > 0) {
            const std::int64_t x = layer.x;
            const std::int64_t y = layer.y;
            std::int64_t nx = x;
            std::int64_t ny = y;
            if (turn == 1) {
                nx = w0 - h - y;
                ny = x;
            } else if (turn == 2) {
                nx = w0 - w - x;
                ny = h0 - h - y;
            } else {
                nx = y;
                ny = h0 - w - x;
            }
            layer.x = static_cast<std::int32_t>(nx);
            layer.y = static_cast<std::int32_t>(ny);
        }
        Bitmap fresh{};
        std::uint32_t code = build_turned(&layer.bitmap, fresh, turn, 0);
        if (code == kErrorNone)
            code = replace_content(&layer.bitmap, fresh);
        if (code != kErrorNone)
            return finish(slot, code, 0);
        if (i == 0) {
            w0 = layer.bitmap.width;
            h0 = layer.bitmap.height;
        }
    }
    for (std::uint32_t i = 0; i < count; ++i)
        (void)image::adjust_meta_for_rotation(layers[i], turn);
    return finish(slot, kErrorNone, 1);
}

} // namespace vt::gfx
