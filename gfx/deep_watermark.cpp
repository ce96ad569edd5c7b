#include "gfx/deep_watermark.h"

#include <algorithm>

#include "gfx/resample.h"
#include "image/bitmap.h"

namespace vt::gfx {
namespace {

// A grey picture as RGBA, for a mark in colour.
bool to_rgba(image::DeepImage& deep) noexcept {
    const VtDeepImage& d = deep.record();
    image::DeepImage rgba;
    if (!rgba.create(d.width, d.height, VT_DEEP_RGBA))
        return false;
    for (std::uint32_t y = 0; y < d.height; ++y)
        for (std::uint32_t x = 0; x < d.width; ++x) {
            const std::uint16_t* p = deep.row(y) + std::size_t{x} * 2;
            std::uint16_t* o = rgba.row(y) + std::size_t{x} * 4;
            o[0] = o[1] = o[2] = p[0];
            o[3] = p[1];
        }
    VtDeepImage made = rgba.record();
    made.bits = d.bits;
    rgba.record() = VtDeepImage{};
    return deep.adopt(made);
}

} // namespace

bool blend_mark_deep(image::DeepImage& deep, std::int64_t x, std::int64_t y, const Bitmap& mark,
                     int transparency) noexcept {
    if (deep.empty())
        return false;
    const std::uint64_t t = static_cast<std::uint64_t>(std::clamp(transparency, 0, 255));
    if (t >= 255)
        return true;
    if (deep.record().channels != VT_DEEP_RGBA && !to_rgba(deep))
        return false;
    const VtDeepImage& d = deep.record();
    const std::int64_t x0 = std::max<std::int64_t>(x, 0);
    const std::int64_t x1 = std::min<std::int64_t>(x + mark.width, d.width);
    const std::int64_t y0 = std::max<std::int64_t>(y, 0);
    const std::int64_t y1 = std::min<std::int64_t>(y + mark.height, d.height);
    for (std::int64_t py = y0; py < y1; ++py) {
        const std::uint32_t* s = mark.pixels + static_cast<std::size_t>(py - y) * mark.stride;
        std::uint16_t* row = deep.row(static_cast<std::uint32_t>(py));
        for (std::int64_t px = x0; px < x1; ++px) {
            const std::uint32_t m = s[px - x];
            // W = n / 65025 exactly, so each result is rounded once.
            const std::uint64_t n = 255 * t + (m >> 24) * (255 - t);
            if (n >= 65025)
                continue;
            std::uint16_t* p = row + static_cast<std::size_t>(px) * 4;
            const std::uint64_t colour[3] = {(m >> 16) & 255, (m >> 8) & 255, m & 255};
            for (int c = 0; c < 3; ++c)
                p[c] = static_cast<std::uint16_t>(
                    (p[c] * n + colour[c] * 257 * (65025 - n) + 32512) / 65025);
            p[3] = static_cast<std::uint16_t>(65535 - ((65535 - p[3]) * n + 32512) / 65025);
        }
    }
    return true;
}

bool watermark_deep(image::DeepImage& deep, Bitmap* mark, WatermarkOptions options) noexcept {
    clamp_watermark_options(options);
    if (deep.empty() || image::IsBitmapValid(mark) == 0)
        return false;
    image::ScopedBitmapLock mark_lock(mark, 0);
    if (!mark_lock.locked())
        return false;
    const WatermarkPlacement at = place_watermark(deep.record().width, deep.record().height,
                                                  mark->width, mark->height, options);
    if (!at.visible)
        return true;
    // The mark as the blend samples it: the same scaled copy, drawn at the origin (the tables
    // depend on the distance from the rectangle's corner only).
    Bitmap scaled{};
    if (image::CreateBitmap(&scaled, static_cast<std::int32_t>(at.width),
                            static_cast<std::int32_t>(at.height), image::kCreateMemory) == 0)
        return false;
    bool done = StretchCopy(&scaled, 0, 0, static_cast<std::int32_t>(at.width) - 1,
                            static_cast<std::int32_t>(at.height) - 1, mark, 0, 0,
                            static_cast<std::int32_t>(mark->width) - 1,
                            static_cast<std::int32_t>(mark->height) - 1, kCopyHighQuality) != 0;
    if (done) {
        image::ScopedBitmapLock scaled_lock(&scaled, 0);
        done =
            scaled_lock.locked() &&
            blend_mark_deep(deep, static_cast<std::int64_t>(at.x), static_cast<std::int64_t>(at.y),
                            scaled, watermark_transparency(options.watermarkFade));
    }
    image::FreeBitmap(&scaled);
    return done;
}

} // namespace vt::gfx
