#include "gfx/compose.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "gfx/resample.h"
#include "gfx/scaled_copy_p.h"
#include "gfxcore/runtime.h"
#include "gfxcore/thread_slot.h"

namespace vt::gfx {

namespace {

constexpr std::uint32_t ch(std::uint32_t p, int c) noexcept {
    return (p >> (8 * c)) & 255u;
}

constexpr std::uint32_t pack(std::uint32_t b, std::uint32_t g, std::uint32_t r,
                             std::uint32_t t) noexcept {
    return b | (g << 8) | (r << 16) | (t << 24);
}

constexpr std::uint32_t clamp255(int v) noexcept {
    return static_cast<std::uint32_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

std::int32_t wrap(std::int64_t v, std::int64_t n) noexcept {
    const std::int64_t m = v % n;
    return static_cast<std::int32_t>(m < 0 ? m + n : m);
}

bool known_operator(int op) noexcept {
    return (op >= kOpNormal && op <= kOpLightness) || op == kOpLuminanceMask ||
           op == kOpTransparencyMask || op == kOpDescription;
}

// JFIF luma and chroma in 16.16 fixed point, the conversion the median filter uses too.
struct Ycc {
    int y, cb, cr;
};

Ycc to_ycc(std::uint32_t p) noexcept {
    const int b = static_cast<int>(ch(p, 0));
    const int g = static_cast<int>(ch(p, 1));
    const int r = static_cast<int>(ch(p, 2));
    return {static_cast<int>(clamp255((19595 * r + 38470 * g + 7471 * b + 32768) >> 16)),
            static_cast<int>(clamp255(((32768 * b - 11059 * r - 21709 * g) >> 16) + 128)),
            static_cast<int>(clamp255(((32768 * r - 27439 * g - 5329 * b) >> 16) + 128))};
}

std::uint32_t from_ycc(const Ycc& c, std::uint32_t t) noexcept {
    const int y = 65536 * c.y + 32768;
    const int r = (y + 91881 * (c.cr - 128)) >> 16;
    const int g = (y - 22553 * (c.cb - 128) - 46802 * (c.cr - 128)) >> 16;
    const int b = (y + 116130 * (c.cb - 128)) >> 16;
    return pack(clamp255(b), clamp255(g), clamp255(r), t);
}

std::uint32_t luma(std::uint32_t p) noexcept {
    return static_cast<std::uint32_t>(to_ycc(p).y);
}

// Hue on 0..255 for a full turn; 0 for greys.
int hue_of(int r, int g, int b, int max, int delta) noexcept {
    if (delta == 0)
        return 0;
    double h = 0.0;
    if (max == r)
        h = static_cast<double>(g - b) / delta;
    else if (max == g)
        h = 2.0 + static_cast<double>(b - r) / delta;
    else
        h = 4.0 + static_cast<double>(r - g) / delta;
    if (h < 0.0)
        h += 6.0;
    return static_cast<int>(std::lround(h * 256.0 / 6.0)) & 255;
}

// Packed HSV: value = max(R, G, B), saturation from DivTable (0 for black).
struct Hsv {
    int h, s, v;
};

Hsv to_hsv(std::uint32_t p) noexcept {
    const int b = static_cast<int>(ch(p, 0));
    const int g = static_cast<int>(ch(p, 1));
    const int r = static_cast<int>(ch(p, 2));
    const int max = std::max({r, g, b});
    const int delta = max - std::min({r, g, b});
    const BlendTable* div = DivTable();
    int s = 0;
    if (max > 0)
        s = div != nullptr ? (*div)(static_cast<unsigned>(delta), static_cast<unsigned>(max))
                           : std::min(255, (255 * delta + max / 2) / max);
    return {hue_of(r, g, b, max, delta), s, max};
}

// Red, green, blue (0..1) of a hue (0..255) at full saturation and value.
void hue_rgb(int h, double& r, double& g, double& b) noexcept {
    const double h6 = static_cast<double>(h) * 6.0 / 256.0;
    const int sector = static_cast<int>(h6);
    const double f = h6 - sector;
    switch (sector) {
    case 0:
        r = 1;
        g = f;
        b = 0;
        break;
    case 1:
        r = 1 - f;
        g = 1;
        b = 0;
        break;
    case 2:
        r = 0;
        g = 1;
        b = f;
        break;
    case 3:
        r = 0;
        g = 1 - f;
        b = 1;
        break;
    case 4:
        r = f;
        g = 0;
        b = 1;
        break;
    default:
        r = 1;
        g = 0;
        b = 1 - f;
        break;
    }
}

std::uint32_t from_hsv(const Hsv& c, std::uint32_t t) noexcept {
    double hr = 0, hg = 0, hb = 0;
    hue_rgb(c.h, hr, hg, hb);
    const double v = c.v;
    const double s = c.s / 255.0;
    const auto chan = [&](double h) {
        return clamp255(static_cast<int>(std::lround(v * (1.0 - s * (1.0 - h)))));
    };
    return pack(chan(hb), chan(hg), chan(hr), t);
}

struct Hsl {
    int h;
    double s, l; // 0..1, 0..255
};

Hsl to_hsl(std::uint32_t p) noexcept {
    const int b = static_cast<int>(ch(p, 0));
    const int g = static_cast<int>(ch(p, 1));
    const int r = static_cast<int>(ch(p, 2));
    const int max = std::max({r, g, b});
    const int min = std::min({r, g, b});
    const int delta = max - min;
    const double l = (max + min) / 2.0;
    const double span = 255.0 - std::fabs(max + min - 255.0);
    return {hue_of(r, g, b, max, delta), span > 0.0 ? delta / span : 0.0, l};
}

std::uint32_t from_hsl(const Hsl& c, std::uint32_t t) noexcept {
    double hr = 0, hg = 0, hb = 0;
    hue_rgb(c.h, hr, hg, hb);
    const double chroma = (255.0 - std::fabs(2.0 * c.l - 255.0)) * c.s;
    const double m = c.l - chroma / 2.0;
    const auto chan = [&](double h) {
        return clamp255(static_cast<int>(std::lround(m + chroma * h)));
    };
    return pack(chan(hb), chan(hg), chan(hr), t);
}

} // namespace

std::uint32_t PackHsv(std::uint32_t pixel) noexcept {
    const Hsv c = to_hsv(pixel);
    return (pixel & 0xFF000000u) | static_cast<std::uint32_t>(c.h) << 16 | clamp255(c.s) << 8 |
           static_cast<std::uint32_t>(c.v);
}

std::uint32_t UnpackHsv(std::uint32_t packed) noexcept {
    const Hsv c{static_cast<int>(ch(packed, 2)), static_cast<int>(ch(packed, 1)),
                static_cast<int>(ch(packed, 0))};
    return from_hsv(c, ch(packed, 3));
}

std::uint32_t PackHsl(std::uint32_t pixel) noexcept {
    const Hsl c = to_hsl(pixel);
    return (pixel & 0xFF000000u) | static_cast<std::uint32_t>(c.h) << 16 |
           static_cast<std::uint32_t>(clamp255(static_cast<int>(std::lround(c.s * 255.0)))) << 8 |
           static_cast<std::uint32_t>(clamp255(static_cast<int>(std::lround(c.l))));
}

std::uint32_t UnpackHsl(std::uint32_t packed) noexcept {
    const Hsl c{static_cast<int>(ch(packed, 2)), ch(packed, 1) / 255.0,
                static_cast<double>(ch(packed, 0))};
    return from_hsl(c, ch(packed, 3));
}

namespace {

struct Env {
    const std::uint8_t* t;
    const BlendTable* dodge_a;
    const BlendTable* overlay;
    const BlendTable* dodge_b;
    const BlendTable* burn;
    const BlendContext* ctx;
};

template <class F>
std::uint32_t per_colour(std::uint32_t d, std::uint32_t s, F f) noexcept {
    return pack(f(ch(d, 0), ch(s, 0)), f(ch(d, 1), ch(s, 1)), f(ch(d, 2), ch(s, 2)), ch(d, 3));
}

template <class F>
std::uint32_t per_byte(std::uint32_t d, std::uint32_t s, F f) noexcept {
    return pack(f(ch(d, 0), ch(s, 0)), f(ch(d, 1), ch(s, 1)), f(ch(d, 2), ch(s, 2)),
                f(ch(d, 3), ch(s, 3)));
}

// The pattern pixel under destination (x, y), or false without a usable pattern.
bool pattern_pixel(const BlendContext& ctx, std::int32_t x, std::int32_t y,
                   std::uint32_t& out) noexcept {
    const Bitmap* p = ctx.pattern;
    if (p == nullptr || p->pixels == nullptr || p->width == 0 || p->height == 0)
        return false;
    const std::int32_t px = wrap(static_cast<std::int64_t>(x) - ctx.pattern_x, p->width);
    const std::int32_t py = wrap(static_cast<std::int64_t>(y) - ctx.pattern_y, p->height);
    out = p->pixels[static_cast<std::size_t>(py) * p->stride + static_cast<std::size_t>(px)];
    return true;
}

std::uint32_t description_colour(const FillDescription& desc, std::int32_t x,
                                 std::int32_t y) noexcept {
    const std::size_t side = desc.side;
    const std::size_t plane = side * side;
    const std::size_t at = static_cast<std::size_t>(wrap(y, desc.side)) * side +
                           static_cast<std::size_t>(wrap(x, desc.side));
    if (desc.planes == 3)
        return pack(desc.data[at], desc.data[plane + at], desc.data[2 * plane + at], 0);
    const std::uint32_t v = desc.data[at];
    return pack(v, v, v, 0);
}

// The operator's raw result on the colour channels (all four bytes for operators 1..5).
template <int Op>
std::uint32_t result(std::uint32_t d, std::uint32_t s, const Env& env) noexcept {
    if constexpr (Op == kOpOr) {
        return d | s;
    } else if constexpr (Op == kOpAnd) {
        return d & s;
    } else if constexpr (Op == kOpXor) {
        return d ^ s;
    } else if constexpr (Op == kOpAddAll) {
        return per_byte(d, s,
                        [](std::uint32_t a, std::uint32_t b) { return std::min(a + b, 255u); });
    } else if constexpr (Op == kOpSubtractAll) {
        return per_byte(d, s, [](std::uint32_t a, std::uint32_t b) { return a > b ? a - b : 0u; });
    } else if constexpr (Op == kOpAdd) {
        return per_colour(d, s,
                          [](std::uint32_t a, std::uint32_t b) { return std::min(a + b, 255u); });
    } else if constexpr (Op == kOpSubtract) {
        return per_colour(d, s, [](std::uint32_t a, std::uint32_t b) {
            return a > 255 - b ? a - (255 - b) : 0u;
        });
    } else if constexpr (Op == kOpMultiply) {
        return per_colour(d, s,
                          [](std::uint32_t a, std::uint32_t b) { return a * (b + b / 128) / 256; });
    } else if constexpr (Op == kOpDodge) {
        return per_colour(d, s, [&](std::uint32_t a, std::uint32_t b) -> std::uint32_t {
            return (*env.dodge_a)(a, b);
        });
    } else if constexpr (Op == kOpGrainMerge) {
        return per_colour(d, s, [](std::uint32_t a, std::uint32_t b) {
            return clamp255(static_cast<int>(a + b) - 128);
        });
    } else if constexpr (Op == kOpDarken) {
        return per_colour(d, s, [](std::uint32_t a, std::uint32_t b) { return std::min(a, b); });
    } else if constexpr (Op == kOpLighten) {
        return per_colour(d, s, [](std::uint32_t a, std::uint32_t b) { return std::max(a, b); });
    } else if constexpr (Op == kOpDifference) {
        return per_colour(d, s,
                          [](std::uint32_t a, std::uint32_t b) { return a > b ? a - b : b - a; });
    } else if constexpr (Op == kOpGrainExtract) {
        return per_colour(d, s, [](std::uint32_t a, std::uint32_t b) {
            return clamp255(static_cast<int>(a) - static_cast<int>(b) + 128);
        });
    } else if constexpr (Op == kOpScreen) {
        return per_colour(d, s, [](std::uint32_t a, std::uint32_t b) {
            return 255 - (255 - a) * (255 - b) / 255;
        });
    } else if constexpr (Op == kOpOverlay) {
        return per_colour(d, s, [&](std::uint32_t a, std::uint32_t b) -> std::uint32_t {
            return (*env.overlay)(a, b);
        });
    } else if constexpr (Op == kOpColorDodge) {
        return per_colour(d, s, [&](std::uint32_t a, std::uint32_t b) -> std::uint32_t {
            return (*env.dodge_b)(a, b);
        });
    } else if constexpr (Op == kOpBurn) {
        return per_colour(d, s, [&](std::uint32_t a, std::uint32_t b) -> std::uint32_t {
            return (*env.burn)(a, b);
        });
    } else if constexpr (Op == kOpLuminosity) {
        Ycc c = to_ycc(d);
        c.y = to_ycc(s).y;
        return from_ycc(c, ch(d, 3));
    } else if constexpr (Op == kOpColor) {
        Ycc c = to_ycc(s);
        c.y = to_ycc(d).y;
        return from_ycc(c, ch(d, 3));
    } else if constexpr (Op == kOpHue || Op == kOpSaturation || Op == kOpValue) {
        Hsv c = to_hsv(d);
        const Hsv o = to_hsv(s);
        if constexpr (Op == kOpHue)
            c.h = o.h;
        else if constexpr (Op == kOpSaturation)
            c.s = o.s;
        else
            c.v = o.v;
        return from_hsv(c, ch(d, 3));
    } else if constexpr (Op == kOpLightness) {
        Hsl c = to_hsl(d);
        c.l = to_hsl(s).l;
        return from_hsl(c, ch(d, 3));
    } else {
        return s; // normal; the pattern operators pass their colour in as s
    }
}

constexpr bool all_four_bytes(int op) noexcept {
    return op >= kOpOr && op <= kOpSubtractAll;
}

// The constant-colour kernel moves all four bytes toward the colour under operator 0 and keeps
// the destination's transparency byte under the colour operators; the bitmap kernels let the
// source's opacity in, as painting one layer over another does.
template <int Op, bool Constant>
std::uint32_t lay_over(std::uint32_t d, std::uint32_t r, std::uint32_t w) noexcept {
    const std::uint32_t inv = 255 - w;
    std::uint32_t t = 0;
    if (all_four_bytes(Op) || (Constant && Op == kOpNormal))
        t = (ch(d, 3) * w + ch(r, 3) * inv + 127) / 255;
    else if (Constant)
        t = ch(d, 3);
    else
        t = (ch(d, 3) * w + 127) / 255;
    return pack((ch(d, 0) * w + ch(r, 0) * inv + 127) / 255,
                (ch(d, 1) * w + ch(r, 1) * inv + 127) / 255,
                (ch(d, 2) * w + ch(r, 2) * inv + 127) / 255, t);
}

template <int Op, bool Constant>
std::uint32_t blend_one(std::uint32_t d, std::uint32_t s, std::int32_t x, std::int32_t y,
                        const Env& env) noexcept {
    std::uint32_t w = env.t[ch(s, 3)];
    if constexpr (Op == kOpTransparencyMask || Op == kOpLuminanceMask) {
        const std::uint32_t opacity_s = 255 - w;
        const std::uint32_t opacity_d = 255 - ch(d, 3);
        std::uint32_t opacity = 0;
        if constexpr (Op == kOpTransparencyMask)
            opacity = (opacity_d * opacity_s + 127) / 255;
        else
            opacity = (opacity_d * (255 - luma(s)) * opacity_s + 32512) / 65025;
        return (d & 0x00FFFFFFu) | ((255 - opacity) << 24);
    } else {
        std::uint32_t colour = s;
        if constexpr (Op == kOpDescription) {
            const FillDescription* desc = env.ctx->description;
            if (desc == nullptr || desc->kind != FillDescription::kFillPattern)
                return d;
            colour = description_colour(*desc, x, y);
        } else if constexpr (Op == kOpPattern || Op == kOpPatternOwn) {
            if (!pattern_pixel(*env.ctx, x, y, colour))
                return d;
            if constexpr (Op == kOpPatternOwn)
                w = 255 - ((255 - w) * (255 - ch(colour, 3)) + 127) / 255;
        }
        if (w >= 255)
            return d;
        return lay_over<Op, Constant>(d, result<Op>(d, colour, env), w);
    }
}

std::uint32_t with_coverage(std::uint32_t old, std::uint32_t now, std::uint8_t coverage) noexcept {
    if (coverage >= 64)
        return now;
    const std::uint32_t k = 4u * coverage;
    return per_byte(old, now,
                    [k](std::uint32_t a, std::uint32_t b) { return (a * (256 - k) + b * k) >> 8; });
}

template <int Op, bool Constant>
void span_loop(std::uint32_t* row, std::int32_t y, std::int32_t a, std::int32_t b,
               std::uint32_t colour, const std::uint32_t* src, const std::uint8_t* coverage,
               const Env& env) noexcept {
    for (std::int32_t x = a; x <= b; ++x) {
        const std::size_t i = static_cast<std::size_t>(x - a);
        const std::uint32_t s = Constant ? colour : src[i];
        std::uint32_t& d = row[x];
        const std::uint32_t now = blend_one<Op, Constant>(d, s, x, y, env);
        d = coverage != nullptr ? with_coverage(d, now, coverage[i]) : now;
    }
}

template <bool Constant>
void dispatch_span(int op, std::uint32_t* row, std::int32_t y, std::int32_t a, std::int32_t b,
                   std::uint32_t colour, const std::uint32_t* src, const std::uint8_t* coverage,
                   const BlendContext& ctx) noexcept {
    static const std::uint8_t kIdentity[256] = {
#define VT_ROW(n) n, n + 1, n + 2, n + 3, n + 4, n + 5, n + 6, n + 7
#define VT_ROW32(n) VT_ROW(n), VT_ROW(n + 8), VT_ROW(n + 16), VT_ROW(n + 24)
        VT_ROW32(0),   VT_ROW32(32),  VT_ROW32(64), VT_ROW32(96), VT_ROW32(128),
        VT_ROW32(160), VT_ROW32(192), VT_ROW32(224)
#undef VT_ROW32
#undef VT_ROW
    };
    const Env env{ctx.transparency != nullptr ? ctx.transparency : kIdentity,
                  DodgeTableA(),
                  OverlayTable(),
                  DodgeTableB(),
                  BurnTable(),
                  &ctx};
    if (env.dodge_a == nullptr || env.overlay == nullptr || env.dodge_b == nullptr ||
        env.burn == nullptr)
        return; // the engine is not running: nothing can be composed
#define VT_CASE(n)                                                                                 \
    case n:                                                                                        \
        span_loop<n, Constant>(row, y, a, b, colour, src, coverage, env);                          \
        return;
    // clang-format off
    switch (op) {
    VT_CASE(0) VT_CASE(1) VT_CASE(2) VT_CASE(3) VT_CASE(4) VT_CASE(5) VT_CASE(6) VT_CASE(7)
    VT_CASE(8) VT_CASE(9) VT_CASE(10) VT_CASE(11) VT_CASE(12) VT_CASE(13) VT_CASE(14)
    VT_CASE(15) VT_CASE(16) VT_CASE(17) VT_CASE(18) VT_CASE(19) VT_CASE(20) VT_CASE(21)
    VT_CASE(22) VT_CASE(23) VT_CASE(24) VT_CASE(25) VT_CASE(26) VT_CASE(124) VT_CASE(125)
    VT_CASE(126)
    default:
        return;
    }
    // clang-format on
#undef VT_CASE
}

std::uint16_t le16(const std::uint8_t* p) noexcept {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

// Holds the thread's pattern bitmap locked for operators 15 and 16.
class PatternLock {
public:
    PatternLock(EngineThreadSlot& slot, int op) noexcept {
        if ((op == kOpPattern || op == kOpPatternOwn) && slot.pattern != nullptr) {
            m_bmp = const_cast<Bitmap*>(slot.pattern);
            m_locked = image::LockBitmap(m_bmp, 0) != 0;
        }
    }
    ~PatternLock() {
        if (m_locked)
            image::UnlockBitmap(m_bmp, 0);
    }
    PatternLock(const PatternLock&) = delete;
    PatternLock& operator=(const PatternLock&) = delete;
    [[nodiscard]] const Bitmap* bitmap() const noexcept { return m_locked ? m_bmp : nullptr; }

private:
    Bitmap* m_bmp = nullptr;
    bool m_locked = false;
};

bool ordered(const image::BitmapRect& r) noexcept {
    return r.right >= r.left && r.bottom >= r.top;
}

enum class Scaling { kUnscaled, kScaled };

// Both Blend paths: locks, the per-call table, the rows. Returns the outcome code.
std::uint32_t compose(EngineThreadSlot& slot, Bitmap* dst, const image::BitmapRect& rect,
                      Bitmap* src, const image::BitmapRect& src_rect, int transparency, int op,
                      std::uint32_t flags, const FillDescription* description,
                      Scaling scaling) noexcept {
    if (!known_operator(op) || !ordered(rect) || !ordered(src_rect))
        return kErrorArgument;
    const int t = std::clamp(transparency, 0, 255);
    if (t >= 255)
        return kErrorNone;
    make_transparency_table(slot.transparency_table, t);

    Bitmap copy{};
    Bitmap* from = src;
    if (dst == src) {
        if (image::CopyBitmap(&copy, src) == 0)
            return last_engine_error();
        from = &copy;
    }
    std::uint32_t code = kErrorNone;
    {
        image::ScopedBitmapLock source_lock(from, 0);
        image::ScopedBitmapLock target_lock(dst, 0);
        PatternLock pattern(slot, op);
        if (!source_lock.locked() || !target_lock.locked()) {
            code = kErrorInvalid;
        } else {
            const BlendContext ctx{slot.transparency_table, pattern.bitmap(), slot.pattern_x,
                                   slot.pattern_y, description};
            if (scaling == Scaling::kUnscaled) {
                // Destination columns whose source pixel lies inside the source bitmap.
                const std::int64_t dx = static_cast<std::int64_t>(src_rect.left) - rect.left;
                const std::int64_t dy = static_cast<std::int64_t>(src_rect.top) - rect.top;
                std::int64_t x0 = std::max<std::int64_t>({rect.left, 0, -dx});
                std::int64_t y0 = std::max<std::int64_t>({rect.top, 0, -dy});
                std::int64_t x1 =
                    std::min<std::int64_t>({rect.right, static_cast<std::int64_t>(dst->width) - 1,
                                            static_cast<std::int64_t>(from->width) - 1 - dx});
                std::int64_t y1 =
                    std::min<std::int64_t>({rect.bottom, static_cast<std::int64_t>(dst->height) - 1,
                                            static_cast<std::int64_t>(from->height) - 1 - dy});
                if ((flags & kCopyClip) != 0) {
                    x0 = std::max<std::int64_t>(x0, slot.clip_left);
                    y0 = std::max<std::int64_t>(y0, slot.clip_top);
                    x1 = std::min<std::int64_t>(x1, slot.clip_right);
                    y1 = std::min<std::int64_t>(y1, slot.clip_bottom);
                }
                for (std::int64_t y = y0; y <= y1 && x0 <= x1; ++y) {
                    std::uint32_t* row = dst->pixels + static_cast<std::size_t>(y) * dst->stride;
                    const std::uint32_t* s = from->pixels +
                                             static_cast<std::size_t>(y + dy) * from->stride +
                                             static_cast<std::size_t>(x0 + dx);
                    dispatch_span<false>(op, row, static_cast<std::int32_t>(y),
                                         static_cast<std::int32_t>(x0),
                                         static_cast<std::int32_t>(x1), 0, s, nullptr, ctx);
                }
            } else {
                detail::ScaledPlan plan{};
                if (detail::plan_scaled(slot, *dst, *from, rect, src_rect, flags, slot.offset_x,
                                        slot.offset_y, plan, code) &&
                    !plan.empty) {
                    detail::RowSampler sampler;
                    code = sampler.prepare(slot, *from, plan.mode, plan.cols, plan.rows);
                    const auto width =
                        static_cast<std::size_t>(plan.cols.vis1 - plan.cols.vis0 + 1);
                    auto buffer = detail::try_alloc<std::uint32_t>(width);
                    if (code == kErrorNone && !buffer)
                        code = kErrorScratch;
                    if (code == kErrorNone)
                        for (std::int32_t y = plan.rows.vis0; y <= plan.rows.vis1; ++y) {
                            sampler.sample_row(y, buffer.get());
                            dispatch_span<false>(
                                op, dst->pixels + static_cast<std::size_t>(y) * dst->stride, y,
                                plan.cols.vis0, plan.cols.vis1, 0, buffer.get(), nullptr, ctx);
                        }
                }
            }
        }
    }
    if (from == &copy)
        image::FreeBitmap(&copy);
    return code;
}

} // namespace

int layer_mode_operator(int mode) noexcept {
    switch (mode) {
    case 1:
        return kOpAdd;
    case 2:
        return kOpSubtract;
    case 3:
        return kOpMultiply;
    case 4:
        return kOpGrainMerge;
    case 5:
        return kOpHue;
    case 6:
        return kOpColor;
    case 7:
        return kOpLuminosity;
    case 8:
        return kOpScreen;
    case 10:
        return kOpDodge;
    case 11:
        return kOpDifference;
    case 12:
        return kOpDarken;
    case 13:
        return kOpLighten;
    case 14:
        return kOpSaturation;
    case 15:
        return kOpOverlay;
    case 16:
        return kOpColorDodge;
    case 17:
        return kOpBurn;
    case 18:
        return kOpValue;
    case 19:
        return kOpLightness;
    case 20:
        return kOpAnd;
    case 21:
        return kOpOr;
    case 22:
        return kOpXor;
    default:
        return kOpNormal;
    }
}

bool build_pattern_description(std::span<const std::uint8_t> data, FillDescription& out) noexcept {
    out = {};
    if (data.size() < 4 || data[0] != 0)
        return false;
    const std::uint16_t declared = le16(data.data() + 2);
    std::size_t offset = 72;
    std::uint64_t side = declared;
    std::uint32_t planes = data[1] == 1 ? 3 : 1;
    if (data[1] == 0x40 && declared > 256) {
        offset = 67;
        side = 64;
        planes = 1;
    }
    if (side == 0 || offset > data.size() || (data.size() - offset) / planes / side < side)
        return false;
    out.kind = FillDescription::kFillPattern;
    out.side = static_cast<std::uint32_t>(side);
    out.planes = planes;
    out.data = data.data() + offset;
    return true;
}

bool build_adjustment_description(std::span<const std::uint8_t> data,
                                  FillDescription& out) noexcept {
    out = {};
    constexpr std::uint16_t kAdjustmentVersion = 2;
    if (data.size() < 6 || le16(data.data() + 4) != kAdjustmentVersion)
        return false;
    out.kind = FillDescription::kFillAdjustment;
    return true;
}

void make_transparency_table(std::uint8_t table[256], int transparency) noexcept {
    const auto t = static_cast<std::uint32_t>(std::clamp(transparency, 0, 255));
    for (std::uint32_t a = 0; a < 256; ++a)
        table[a] = static_cast<std::uint8_t>(
            std::min<std::uint32_t>((65535 * t + 32767 + 257 * a * (255 - t)) >> 16, 255));
}

void blend_span(std::uint32_t* row, std::int32_t y, std::int32_t a, std::int32_t b,
                std::uint32_t colour, const std::uint8_t* coverage, int op,
                const BlendContext& ctx) noexcept {
    if (row != nullptr && a <= b)
        dispatch_span<true>(op, row, y, a, b, colour, nullptr, coverage, ctx);
}

void blend_span_source(std::uint32_t* row, std::int32_t y, std::int32_t a, std::int32_t b,
                       const std::uint32_t* src, const std::uint8_t* coverage, int op,
                       const BlendContext& ctx) noexcept {
    if (row != nullptr && src != nullptr && a <= b)
        dispatch_span<false>(op, row, y, a, b, 0, src, coverage, ctx);
}

int Blend(Bitmap* dst, const image::BitmapRect& rect, Bitmap* src,
          const image::BitmapRect& src_rect, int transparency, int op, std::uint32_t flags,
          const FillDescription* description) noexcept {
    EngineThreadSlot* slot = GetThreadSlot();
    if (slot == nullptr)
        return 0;
    const bool same_size = static_cast<std::int64_t>(rect.right) - rect.left ==
                               static_cast<std::int64_t>(src_rect.right) - src_rect.left &&
                           static_cast<std::int64_t>(rect.bottom) - rect.top ==
                               static_cast<std::int64_t>(src_rect.bottom) - src_rect.top;
    const bool offset = slot->offset_x != 0 || slot->offset_y != 0;
    const std::uint32_t code =
        compose(*slot, dst, rect, src, src_rect, transparency, op, flags, description,
                same_size && !offset ? Scaling::kUnscaled : Scaling::kScaled);
    return finish(slot, code, code == kErrorNone ? 1 : 0);
}

int ScaledBlend(Bitmap* dst, const image::BitmapRect& rect, Bitmap* src,
                const image::BitmapRect& src_rect, int transparency, int op, std::uint32_t flags,
                const FillDescription* description) noexcept {
    EngineThreadSlot* slot = GetThreadSlot();
    if (slot == nullptr)
        return 0;
    const std::uint32_t code = compose(*slot, dst, rect, src, src_rect, transparency, op, flags,
                                       description, Scaling::kScaled);
    return finish(slot, code, code == kErrorNone ? 1 : 0);
}

int FillRect(Bitmap* dst, std::int32_t left, std::int32_t top, std::int32_t right,
             std::int32_t bottom, std::uint32_t colour, int op, std::uint32_t flags) noexcept {
    EngineThreadSlot* slot = GetThreadSlot();
    if (slot == nullptr)
        return 0;
    if (!known_operator(op))
        return finish(slot, kErrorArgument, 0);
    std::int64_t x0 = std::min(left, right);
    std::int64_t x1 = std::max(left, right);
    std::int64_t y0 = std::min(top, bottom);
    std::int64_t y1 = std::max(top, bottom);
    if ((flags & kFillExclusive) != 0) {
        --x1;
        --y1;
    }
    image::ScopedBitmapLock lock(dst, 0);
    if (!lock.locked())
        return 0;
    PatternLock pattern(*slot, op);
    if ((flags & kCopyClip) != 0) {
        x0 = std::max<std::int64_t>(x0, slot->clip_left);
        y0 = std::max<std::int64_t>(y0, slot->clip_top);
        x1 = std::min<std::int64_t>(x1, slot->clip_right);
        y1 = std::min<std::int64_t>(y1, slot->clip_bottom);
    }
    x0 = std::max<std::int64_t>(x0, 0);
    y0 = std::max<std::int64_t>(y0, 0);
    x1 = std::min<std::int64_t>(x1, static_cast<std::int64_t>(dst->width) - 1);
    y1 = std::min<std::int64_t>(y1, static_cast<std::int64_t>(dst->height) - 1);
    // A fill has no transparency of its own: the colour's byte alone weighs it.
    const BlendContext ctx{nullptr, pattern.bitmap(), slot->pattern_x, slot->pattern_y, nullptr};
    for (std::int64_t y = y0; y <= y1 && x0 <= x1; ++y) {
        std::uint32_t* row = dst->pixels + static_cast<std::size_t>(y) * dst->stride;
        if (op == kOpNormal)
            std::fill(row + x0, row + x1 + 1, colour);
        else
            blend_span(row, static_cast<std::int32_t>(y), static_cast<std::int32_t>(x0),
                       static_cast<std::int32_t>(x1), colour, nullptr, op, ctx);
    }
    return finish(slot, kErrorNone, 1);
}

int BlendLayer(Bitmap* dst, std::int32_t left, std::int32_t top, std::int32_t right,
               std::int32_t bottom, std::int32_t offset_x, std::int32_t offset_y, Bitmap* src,
               std::int32_t src_right, std::int32_t src_bottom, int mode, int transparency,
               bool scaled, std::span<const std::uint8_t> pattern_data,
               std::span<const std::uint8_t> fill_description) noexcept {
    EngineThreadSlot* slot = GetThreadSlot();
    if (slot == nullptr)
        return 0;
    const int t = std::clamp(transparency, 0, 255);
    slot->offset_x = offset_x;
    slot->offset_y = offset_y;
    const bool unscaled = !scaled && offset_x == 0 && offset_y == 0;
    const image::BitmapRect rect{left, top, right, bottom};
    const image::BitmapRect from{0, 0, src_right, src_bottom};
    const std::uint32_t flags = unscaled ? 0 : kCopyHighQuality;
    const auto blend = [&](int op, int with_t, const FillDescription* desc) {
        return unscaled ? Blend(dst, rect, src, from, with_t, op, flags, desc)
                        : ScaledBlend(dst, rect, src, from, with_t, op, flags, desc);
    };

    int result = 0;
    FillDescription description;
    const int blend_mode = mode & 0xFF;
    if (build_adjustment_description(fill_description, description)) {
        result = blend(kOpDescription, t, &description);
    } else if (blend_mode == kLayerModeTransparencyMask || blend_mode == kLayerModeLuminanceMask) {
        const int op =
            blend_mode == kLayerModeTransparencyMask ? kOpTransparencyMask : kOpLuminanceMask;
        result = blend(op, 0, nullptr);
        if (result != 0 && t >= 1)
            result =
                FillRect(dst, left, top, right, bottom, static_cast<std::uint32_t>(t) << 24, op, 0);
    } else if (blend_mode == kLayerModeCopy) {
        result = unscaled ? NearestCopy(dst, left, top, right, bottom, src, 0, 0, src_right,
                                        src_bottom, 0)
                          : StretchCopy(dst, left, top, right, bottom, src, 0, 0, src_right,
                                        src_bottom, kCopyHighQuality);
    } else if (blend_mode == kLayerModePattern) {
        result = build_pattern_description(pattern_data, description)
                     ? blend(kOpDescription, t, &description)
                     : blend(kOpNormal, t, nullptr);
    } else {
        result = blend(layer_mode_operator(blend_mode), t, nullptr);
    }
    slot->offset_x = 0;
    slot->offset_y = 0;
    return result;
}

} // namespace vt::gfx
