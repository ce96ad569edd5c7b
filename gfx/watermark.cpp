#include "gfx/watermark.h"

#include <algorithm>

#include "gfx/compose.h"
#include "gfx/resample.h"
#include "gfxcore/runtime.h"
#include "gfxcore/thread_slot.h"
#include "image/bitmap.h"

namespace vt::gfx {

void clamp_watermark_options(WatermarkOptions& options) noexcept {
    options.watermarkX = std::min(options.watermarkX, 100u);
    options.watermarkY = std::min(options.watermarkY, 100u);
    options.watermarkSize = std::clamp(options.watermarkSize, 1u, 100u);
    options.watermarkFade = std::min(options.watermarkFade, 99u);
}

WatermarkPlacement place_watermark(std::uint32_t width, std::uint32_t height,
                                   std::uint32_t mark_width, std::uint32_t mark_height,
                                   const WatermarkOptions& options) noexcept {
    WatermarkPlacement out;
    if (mark_width == 0 || mark_height == 0)
        return out;
    // 64 bits so that a 65536-pixel side times a 65536-pixel side cannot wrap.
    const std::uint64_t w = width;
    const std::uint64_t h = height;
    const std::uint64_t mw = mark_width;
    const std::uint64_t mh = mark_height;
    if (mw <= mh) {
        out.height = (h * options.watermarkSize + 50) / 100;
        out.width = (mh / 2 + mw * out.height) / mh;
    } else {
        out.width = (w * options.watermarkSize + 50) / 100;
        out.height = (mw / 2 + mh * out.width) / mw;
    }
    out.visible = out.width >= 1 && out.height >= 1 && out.width <= w && out.height <= h;
    if (out.visible) {
        out.x = ((w - out.width) * options.watermarkX + 50) / 100;
        out.y = ((h - out.height) * options.watermarkY + 50) / 100;
    }
    return out;
}

int watermark_transparency(std::uint32_t fade) noexcept {
    return static_cast<int>(static_cast<double>(fade) * 2.55);
}

int WatermarkStep(Layer* layers, std::uint32_t count, Bitmap* mark,
                  WatermarkOptions& options) noexcept {
    EngineThreadSlot* slot = GetThreadSlot();
    if (slot == nullptr)
        return 0;
    clamp_watermark_options(options);
    if (image::IsBitmapValid(mark) == 0)
        return 0;
    if (layers == nullptr || count == 0)
        return finish(slot, kErrorArgument, 0);
    image::ScopedBitmapLock mark_lock(mark, 0);
    if (!mark_lock.locked())
        return 0;
    Bitmap* canvas = &layers[0].bitmap;
    if (image::RefreshBitmapInfo(canvas) == 0)
        return 0;
    const WatermarkPlacement at =
        place_watermark(canvas->width, canvas->height, mark->width, mark->height, options);
    if (!at.visible)
        return finish(slot, kErrorNone, 1);
    // The placement lies inside the canvas, whose sides are at most 65536.
    const image::BitmapRect to{static_cast<std::int32_t>(at.x), static_cast<std::int32_t>(at.y),
                               static_cast<std::int32_t>(at.x + at.width - 1),
                               static_cast<std::int32_t>(at.y + at.height - 1)};
    const image::BitmapRect from{0, 0, static_cast<std::int32_t>(mark->width) - 1,
                                 static_cast<std::int32_t>(mark->height) - 1};
    return ScaledBlend(canvas, to, mark, from, watermark_transparency(options.watermarkFade),
                       kOpNormal, kCopyHighQuality);
}

} // namespace vt::gfx
