#include "plugins/image_services.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "gfx/compose.h"
#include "gfx/levels.h"
#include "gfx/orientation.h"
#include "gfx/resample.h"
#include "image/bitmap.h"

namespace vt::plugins::detail {
namespace {

using image::BitmapRect;

constexpr std::uint32_t kOutline = 0x10;
constexpr std::uint32_t kGradient = 0x20;
constexpr std::uint32_t kExclusiveEdges = 0x10; // blits: right and bottom lie outside
constexpr std::uint32_t kWithBlendMode = 0x20;
constexpr std::uint32_t kKeepTransparency = 0x4000;

Bitmap* record_of(const VtImage* image) {
    return image && image->bitmap && image::IsBitmapValid(image->bitmap) ? image->bitmap : nullptr;
}

// The blend operator a plug-in's blend code names (bits 16-23); anything unknown is normal.
int blend_operator(std::uint32_t code) {
    const int op = static_cast<int>((code >> 16) & 0xFF);
    return (op >= 1 && op <= 26) || op == gfx::kOpTransparencyMask ? op : gfx::kOpNormal;
}

BitmapRect ordered(std::int32_t left, std::int32_t top, std::int32_t right, std::int32_t bottom) {
    return {std::min(left, right), std::min(top, bottom), std::max(left, right),
            std::max(top, bottom)};
}

// The part of `r` inside a width x height picture; false when nothing is.
bool clip(BitmapRect& r, std::uint32_t width, std::uint32_t height) {
    r.left = std::max(r.left, 0);
    r.top = std::max(r.top, 0);
    r.right = static_cast<std::int32_t>(std::min<std::int64_t>(r.right, std::int64_t{width} - 1));
    r.bottom =
        static_cast<std::int32_t>(std::min<std::int64_t>(r.bottom, std::int64_t{height} - 1));
    return r.left <= r.right && r.top <= r.bottom;
}

std::uint32_t& at(Bitmap* bmp, std::int64_t x, std::int64_t y) {
    return bmp->pixels[static_cast<std::size_t>(y) * bmp->stride + static_cast<std::size_t>(x)];
}

std::uint32_t mix(std::uint32_t a, std::uint32_t b, double t) {
    std::uint32_t out = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        const double ca = (a >> shift) & 0xFF, cb = (b >> shift) & 0xFF;
        out |= static_cast<std::uint32_t>(std::lround(ca + (cb - ca) * t)) << shift;
    }
    return out;
}

// What a fill covers, in coordinates relative to the whole (unclipped) rectangle.
struct FillShape {
    double width, height;
    int shape;
    double rx, ry;

    bool inside_ellipse(double x, double y, double cx, double cy, double ax, double ay) const {
        const double dx = (x - cx) / ax, dy = (y - cy) / ay;
        return dx * dx + dy * dy <= 1.0;
    }
    bool inside(double x, double y) const {
        if (x < 0 || y < 0 || x >= width || y >= height)
            return false;
        const double px = x + 0.5, py = y + 0.5;
        if (shape == 1)
            return inside_ellipse(px, py, width / 2, height / 2, width / 2, height / 2);
        if (shape == 2 && rx > 0 && ry > 0) {
            const double cx = std::clamp(px, rx, width - rx), cy = std::clamp(py, ry, height - ry);
            return (cx == px || cy == py) || inside_ellipse(px, py, cx, cy, rx, ry);
        }
        return true;
    }
    bool on_edge(double x, double y) const {
        return inside(x, y) &&
               (!inside(x - 1, y) || !inside(x + 1, y) || !inside(x, y - 1) || !inside(x, y + 1));
    }
};

// The pixels of a source image for the length of a call: read in place under a shared lock, or
// copied first when the source is the destination itself, which the call is about to change.
class SourcePixels {
public:
    SourcePixels(Bitmap* src, const Bitmap* dst) : m_lock(src, 0) {
        if (!m_lock.locked() || src->pixels == nullptr || src->width < 1 || src->height < 1)
            return;
        m_width = src->width;
        m_height = src->height;
        m_stride = src->stride;
        m_pixels = src->pixels;
        if (src == dst) {
            m_copy.assign(src->pixels, src->pixels +
                                           static_cast<std::size_t>(m_stride) *
                                               static_cast<std::size_t>(m_height - 1) +
                                           m_width);
            m_pixels = m_copy.data();
        }
    }
    [[nodiscard]] bool ok() const { return m_pixels != nullptr; }
    [[nodiscard]] std::int64_t width() const { return m_width; }
    [[nodiscard]] std::int64_t height() const { return m_height; }
    [[nodiscard]] std::uint32_t at(std::int64_t x, std::int64_t y) const {
        return m_pixels[static_cast<std::size_t>(y) * m_stride + static_cast<std::size_t>(x)];
    }
    [[nodiscard]] std::uint32_t clamped(std::int64_t x, std::int64_t y) const {
        return at(std::clamp<std::int64_t>(x, 0, m_width - 1),
                  std::clamp<std::int64_t>(y, 0, m_height - 1));
    }

private:
    image::ScopedBitmapLock m_lock;
    std::vector<std::uint32_t> m_copy;
    const std::uint32_t* m_pixels = nullptr;
    std::int64_t m_width = 0, m_height = 0;
    std::size_t m_stride = 0;
};

} // namespace

void refresh_image(VtImage* image) noexcept {
    const Bitmap* bmp = image->bitmap;
    image->width = bmp ? bmp->width : 0;
    image->height = bmp ? bmp->height : 0;
    image->stride = bmp ? bmp->stride : 0;
    image->zero = 0;
    image->pixels = bmp ? bmp->pixels : nullptr;
}

std::int32_t image_resize(VtImage* image, std::uint32_t width, std::uint32_t height) {
    Bitmap* bmp = record_of(image);
    if (!bmp || width < 1 || height < 1 || width > image::kMaxBitmapSide ||
        height > image::kMaxBitmapSide)
        return 0;
    const int result =
        gfx::ResizeBitmap(bmp, static_cast<std::int32_t>(width), static_cast<std::int32_t>(height),
                          gfx::kResizeHighQuality);
    refresh_image(image);
    return result != 0 ? 1 : 0;
}

std::int32_t image_mirror(VtImage* image, std::int32_t vertical) {
    Bitmap* bmp = record_of(image);
    return bmp && gfx::MirrorBitmap(bmp, vertical != 0) ? 1 : 0;
}

std::int32_t image_rotate(VtImage* image, std::int32_t quarter_turns) {
    Bitmap* bmp = record_of(image);
    if (!bmp)
        return 0;
    const int result = gfx::RotateBitmapQuarter(bmp, ((quarter_turns % 4) + 4) % 4);
    refresh_image(image);
    return result != 0 ? 1 : 0;
}

std::int32_t image_fill(VtImage* image, std::int32_t left, std::int32_t top, std::int32_t right,
                        std::int32_t bottom, std::uint32_t colour1, std::uint32_t colour2,
                        std::uint32_t colour3, std::uint32_t colour4, std::uint32_t flags,
                        std::int32_t param1, std::int32_t param2) {
    Bitmap* bmp = record_of(image);
    if (!bmp || !image::RefreshBitmapInfo(bmp))
        return 0;
    const BitmapRect whole = ordered(left, top, right, bottom);
    BitmapRect r = whole;
    if (!clip(r, bmp->width, bmp->height))
        return 1; // nothing of it is on the picture
    const double w = static_cast<double>(whole.right) - whole.left + 1;
    const double h = static_cast<double>(whole.bottom) - whole.top + 1;
    const FillShape shape{w, h, static_cast<int>(flags & 0xF), std::clamp<double>(param1, 0, w / 2),
                          std::clamp<double>(param2, 0, h / 2)};
    // The fill is drawn into a picture of its own, transparent outside the shape, and laid over.
    Bitmap paint{};
    const std::int32_t pw = r.right - r.left + 1, ph = r.bottom - r.top + 1;
    if (!image::CreateBitmap(&paint, pw, ph, image::kCreateMemory | image::kCreateStrict))
        return 0;
    {
        image::ScopedBitmapLock lock(&paint, image::kLockExclusive);
        for (std::int32_t y = 0; y < ph; ++y)
            for (std::int32_t x = 0; x < pw; ++x) {
                const double fx = static_cast<double>(r.left) - whole.left + x;
                const double fy = static_cast<double>(r.top) - whole.top + y;
                const bool covered = (flags & kOutline) && !(flags & kGradient)
                                         ? shape.on_edge(fx, fy)
                                         : shape.inside(fx, fy);
                std::uint32_t colour = colour1;
                if (flags & kGradient) {
                    const double u = w > 1 ? fx / (w - 1) : 0, v = h > 1 ? fy / (h - 1) : 0;
                    colour = (flags & kOutline)
                                 ? mix(mix(colour1, colour2, u), mix(colour3, colour4, u), v)
                                 : mix(colour1, colour2, v);
                }
                at(&paint, x, y) = covered ? colour : 0xFF000000u;
            }
    }
    const int result =
        gfx::Blend(bmp, r, &paint, {0, 0, pw - 1, ph - 1}, 0, blend_operator(flags), 0);
    image::FreeBitmap(&paint);
    return result != 0 ? 1 : 0;
}

std::int32_t image_blit(VtImage* image, std::int32_t left, std::int32_t top, std::int32_t right,
                        std::int32_t bottom, const VtImage* source, std::int32_t src_left,
                        std::int32_t src_top, std::int32_t src_right, std::int32_t src_bottom,
                        std::uint32_t flags, std::uint32_t blend) {
    Bitmap* dst = record_of(image);
    Bitmap* src = record_of(source);
    if (!dst || !src)
        return 0;
    const std::int32_t cut = (flags & kExclusiveEdges) ? 1 : 0;
    const BitmapRect d{left, top, right - cut, bottom - cut};
    const BitmapRect s{src_left, src_top, src_right - cut, src_bottom - cut};
    const int op = (flags & kWithBlendMode) ? blend_operator(blend) : gfx::kOpNormal;
    int result = 0;
    if (flags & 1) { // through the source's transparency
        const std::uint32_t engine = (flags & 2) ? gfx::kCopyHighQuality : 0;
        result = gfx::Blend(dst, d, src, s, 0, op, engine);
    } else if (((flags >> 16) & 3) == 2) {
        result = gfx::StretchCopy(dst, d.left, d.top, d.right, d.bottom, src, s.left, s.top,
                                  s.right, s.bottom, gfx::kCopyHighQuality);
    } else if ((flags & kWithBlendMode) && ((flags >> 16) & 3) == 0) {
        result = gfx::Blend(dst, d, src, s, 0, op, 0);
    } else {
        result = gfx::NearestCopy(dst, d.left, d.top, d.right, d.bottom, src, s.left, s.top,
                                  s.right, s.bottom, 0);
    }
    return result != 0 ? 1 : 0;
}

std::int32_t image_stretch_blit(VtImage* image, const std::int32_t* destination,
                                const VtImage* source, const std::int32_t* source_rect,
                                std::uint32_t flags, std::uint32_t blend) {
    Bitmap* dst = record_of(image);
    Bitmap* src = record_of(source);
    if (!dst || !src || !destination || !source_rect)
        return 0;
    // Corners top-left, top-right, bottom-right, bottom-left; the engine maps rectangles only.
    const std::int32_t* c = destination;
    if (c[1] != c[3] || c[5] != c[7] || c[0] != c[6] || c[2] != c[4] || c[0] > c[2] || c[1] > c[5])
        return 0;
    const BitmapRect d{c[0], c[1], c[4], c[5]};
    const BitmapRect s{source_rect[0], source_rect[1], source_rect[2], source_rect[3]};
    const std::uint32_t quality = (flags & 0x10) ? gfx::kCopyHighQuality : 0;
    const int result = (flags & kWithBlendMode)
                           ? gfx::ScaledBlend(dst, d, src, s, 0, blend_operator(blend), quality)
                           : gfx::StretchCopy(dst, d.left, d.top, d.right, d.bottom, src, s.left,
                                              s.top, s.right, s.bottom, quality);
    return result != 0 ? 1 : 0;
}

std::int32_t image_composite(VtImage* image, std::int32_t left, std::int32_t top,
                             std::int32_t right, std::int32_t bottom, const VtImage* source,
                             std::uint32_t mode, std::uint32_t transparency) {
    Bitmap* dst = record_of(image);
    Bitmap* src = record_of(source);
    if (!dst || !src || !image::RefreshBitmapInfo(src))
        return 0;
    const BitmapRect d = ordered(left, top, right, bottom);
    const bool scaled = std::int64_t{d.right} - d.left + 1 != src->width ||
                        std::int64_t{d.bottom} - d.top + 1 != src->height;
    return gfx::BlendLayer(
               dst, d.left, d.top, d.right, d.bottom, 0, 0, src,
               static_cast<std::int32_t>(src->width) - 1,
               static_cast<std::int32_t>(src->height) - 1, static_cast<int>(mode & 0xFF),
               static_cast<int>(std::min<std::uint32_t>(transparency, 255)), scaled, {}, {}) != 0
               ? 1
               : 0;
}

std::int32_t image_apply_tables(VtImage* image, std::int32_t left, std::int32_t top,
                                std::int32_t right, std::int32_t bottom, const std::uint8_t* table1,
                                const std::uint8_t* table2, const std::uint8_t* table3,
                                const std::uint8_t* table4, std::uint32_t value) {
    Bitmap* bmp = record_of(image);
    if (!bmp)
        return 0;
    // Without a table the value is a brightness step (a signed 32-bit number) for B, G and R.
    std::uint8_t step[256];
    const std::uint8_t* tables[4] = {table1, table2, table3, table4};
    if (!table1 && !table2 && !table3 && !table4) {
        const auto offset = std::clamp<std::int64_t>(static_cast<std::int32_t>(value), -255, 255);
        for (int i = 0; i < 256; ++i)
            step[i] = static_cast<std::uint8_t>(std::clamp<std::int64_t>(i + offset, 0, 255));
        tables[0] = tables[1] = tables[2] = step;
    }
    image::ScopedBitmapLock lock(bmp, image::kLockExclusive);
    BitmapRect r = ordered(left, top, right, bottom);
    if (!clip(r, bmp->width, bmp->height))
        return 1;
    for (std::int32_t y = r.top; y <= r.bottom; ++y)
        for (std::int32_t x = r.left; x <= r.right; ++x) {
            std::uint32_t& p = at(bmp, x, y);
            for (int c = 0; c < 4; ++c)
                if (tables[c]) {
                    const int shift = 8 * c;
                    p = (p & ~(0xFFu << shift)) | std::uint32_t{tables[c][(p >> shift) & 0xFF]}
                                                      << shift;
                }
        }
    return 1;
}

std::int32_t image_convolve(VtImage* image, std::int32_t left, std::int32_t top, std::int32_t right,
                            std::int32_t bottom, const VtImage* source, const double* kernel,
                            std::int32_t kernel_width, std::int32_t kernel_height,
                            std::uint32_t flags) {
    Bitmap* dst = record_of(image);
    Bitmap* src = record_of(source);
    if (!dst || !src || !kernel || kernel_width < 2 || kernel_width > 32 || kernel_height < 2 ||
        kernel_height > 32)
        return 0;
    const std::size_t taps =
        static_cast<std::size_t>(kernel_width) * static_cast<std::size_t>(kernel_height);
    double absolute = 0;
    for (std::size_t i = 0; i < taps; ++i)
        absolute += std::fabs(kernel[i]);
    if (!(absolute > 0) || !std::isfinite(absolute))
        return 0;
    // Integer weights whose absolute values add up to a million.
    std::vector<std::int64_t> weight(taps);
    std::int64_t sum = 0;
    for (std::size_t i = 0; i < taps; ++i)
        sum += weight[i] = std::llround(kernel[i] * 1e6 / absolute);

    const SourcePixels pixels(src, dst);
    if (!pixels.ok())
        return 0;
    image::ScopedBitmapLock lock(dst, image::kLockExclusive);
    BitmapRect r = ordered(left, top, right, bottom);
    if (!clip(r, dst->width, dst->height))
        return 1;
    const int channels = (flags & 1) ? 4 : 3;
    for (std::int32_t y = r.top; y <= r.bottom; ++y)
        for (std::int32_t x = r.left; x <= r.right; ++x) {
            std::int64_t acc[4] = {0, 0, 0, 0};
            for (std::int32_t j = 0; j < kernel_height; ++j)
                for (std::int32_t i = 0; i < kernel_width; ++i) {
                    const std::uint32_t p = pixels.clamped(std::int64_t{x} + i - kernel_width / 2,
                                                           std::int64_t{y} + j - kernel_height / 2);
                    const std::int64_t wgt = weight[static_cast<std::size_t>(j * kernel_width + i)];
                    for (int c = 0; c < channels; ++c)
                        acc[c] += wgt * ((p >> (8 * c)) & 0xFF);
                }
            // A kernel whose weights cancel out (edges, emboss) is centred on mid-grey.
            std::uint32_t out = pixels.clamped(x, y) & 0xFF000000u;
            for (int c = 0; c < channels; ++c) {
                const std::int64_t v = sum > 0 ? (acc[c] + sum / 2) / sum : 128 + acc[c] / 1000000;
                out = (out & ~(0xFFu << (8 * c))) |
                      static_cast<std::uint32_t>(std::clamp<std::int64_t>(v, 0, 255)) << (8 * c);
            }
            at(dst, x, y) = out;
        }
    return 1;
}

std::int32_t image_masked_copy(VtImage* image, std::int32_t left, std::int32_t top,
                               std::int32_t right, std::int32_t bottom, const VtImage* source,
                               std::int32_t src_x, std::int32_t src_y, std::uint32_t flags) {
    Bitmap* dst = record_of(image);
    Bitmap* src = record_of(source);
    if (!dst || !src)
        return 0;
    // Bit 0 leaves out invisible source pixels, bit 1 those of the source's top-left colour;
    // kKeepTransparency keeps the destination's own transparency.
    const SourcePixels pixels(src, dst);
    if (!pixels.ok())
        return 0;
    const std::uint32_t key = pixels.at(0, 0) & 0xFFFFFFu;
    const BitmapRect whole = ordered(left, top, right, bottom);
    image::ScopedBitmapLock lock(dst, image::kLockExclusive);
    BitmapRect r = whole;
    if (!clip(r, dst->width, dst->height))
        return 1;
    for (std::int32_t y = r.top; y <= r.bottom; ++y)
        for (std::int32_t x = r.left; x <= r.right; ++x) {
            const std::int64_t sx = std::int64_t{src_x} + x - whole.left;
            const std::int64_t sy = std::int64_t{src_y} + y - whole.top;
            if (sx < 0 || sy < 0 || sx >= pixels.width() || sy >= pixels.height())
                continue;
            std::uint32_t p = pixels.at(sx, sy);
            if (((flags & 1) && (p >> 24) == 0xFF) || ((flags & 2) && (p & 0xFFFFFFu) == key))
                continue;
            std::uint32_t& d = at(dst, x, y);
            if (flags & kKeepTransparency)
                p = (p & 0xFFFFFFu) | (d & 0xFF000000u);
            d = p;
        }
    return 1;
}

namespace {

std::uint32_t swap_order(std::uint32_t p, std::uint32_t code) {
    const std::uint32_t kind = code & 0xF;
    if (kind == 3 || kind == 6 || kind == 7) // second and third bytes
        return (p & 0xFF0000FFu) | ((p & 0x0000FF00u) << 8) | ((p & 0x00FF0000u) >> 8);
    return (p & 0xFF00FF00u) | ((p & 0x000000FFu) << 16) | ((p & 0x00FF0000u) >> 16);
}

std::uint32_t to_plain(std::uint32_t p, std::uint32_t code) {
    if (code & 0x1000)
        p = swap_order(p, code);
    switch (code & 0xF) {
    case 2:
        return p ^ 0xFFFFFFu;
    case 3:
        return gfx::YccToRgb(p);
    case 4:
        return gfx::UnpackHsv(p);
    case 5:
        return gfx::UnpackHsl(p);
    default:
        return p;
    }
}

std::uint32_t from_plain(std::uint32_t p, std::uint32_t code) {
    switch (code & 0xF) {
    case 2:
        p ^= 0xFFFFFFu;
        break;
    case 3:
        p = gfx::RgbToYcc(p);
        break;
    case 4:
        p = gfx::PackHsv(p);
        break;
    case 5:
        p = gfx::PackHsl(p);
        break;
    case 6: {
        const std::uint32_t y = (gfx::RgbToYcc(p) >> 16) & 0xFF;
        p = (p & 0xFF000000u) | y << 16 | y << 8 | y;
        break;
    }
    default:
        break;
    }
    return (code & 0x1000) ? swap_order(p, code) : p;
}

} // namespace

std::int32_t colour_convert_pixels(std::uint32_t* pixels, std::int32_t count, std::uint32_t from,
                                   std::uint32_t to) {
    if (!pixels || count < 1)
        return 0;
    for (std::int32_t i = 0; i < count; ++i)
        pixels[i] = from_plain(to_plain(pixels[i], from), to);
    return count;
}

std::int32_t colour_convert_row(void* destination, const void* source, std::int32_t count,
                                std::uint32_t format, std::uint32_t flags) {
    if (!destination || !source || count < 1 || (format != 1 && format != 3 && format != 4))
        return 0;
    const bool rgb = ((flags >> 1) & 3) == 1;
    const auto n = static_cast<std::size_t>(count);
    if (flags & 1) { // engine pixels out to the layout
        const auto* in = static_cast<const std::uint32_t*>(source);
        auto* out = static_cast<std::uint8_t*>(destination);
        for (std::size_t i = 0; i < n; ++i) {
            std::uint32_t p = rgb ? swap_order(in[i], 1) : in[i];
            if (format == 1)
                p = (gfx::RgbToYcc(in[i]) >> 16) & 0xFF;
            std::memcpy(out + i * format, &p, format);
        }
    } else {
        const auto* in = static_cast<const std::uint8_t*>(source);
        auto* out = static_cast<std::uint32_t*>(destination);
        for (std::size_t i = 0; i < n; ++i) {
            std::uint32_t p = 0;
            std::memcpy(&p, in + i * format, format);
            if (format == 1)
                p *= 0x010101u;
            out[i] = rgb ? swap_order(p, 1) : p;
        }
    }
    return count;
}

std::int32_t colour_convert_colour(std::uint32_t* colour, const void* parameters) {
    if (!colour)
        return 0;
    if (parameters) {
        std::uint32_t codes[2];
        std::memcpy(codes, parameters, sizeof codes);
        *colour = from_plain(to_plain(*colour, codes[0]), codes[1]);
    }
    return 1;
}

} // namespace vt::plugins::detail
