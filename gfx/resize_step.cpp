#include "gfx/resize_step.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "gfx/resample.h"
#include "image/bitmap.h"
#include "image/meta_adjust.h"

namespace vt::gfx {

namespace {

std::int64_t round_half_up(double v) noexcept {
    return static_cast<std::int64_t>(std::trunc(v + 0.5));
}

int resample_layer(Bitmap* bmp, std::int32_t w, std::int32_t h,
                   const ResizeOptions& options) noexcept {
    switch (options.resizeAlgorithm) {
    case 0:
        return ResizeBitmap(bmp, w, h, kResizeNearest);
    case 1:
        return ResizeBitmap(bmp, w, h, kResizeBalanced);
    case 3:
        return AdvancedResample(bmp, w, h, options.scalingFilter, options.sincWindow,
                                options.sincSize);
    default:
        if (options.areaShrink != 0 && area_resample_fits(bmp->width, bmp->height, w, h))
            return AreaResample(bmp, w, h);
        return ResizeBitmap(bmp, w, h, kResizeHighQuality);
    }
}

} // namespace

TargetSize resize_target(std::int64_t width, std::int64_t height,
                         const ResizeOptions& options) noexcept {
    const std::int64_t w = width;
    const std::int64_t h = height;
    std::int64_t bw = options.resizeWidth;
    std::int64_t bh = options.resizeHeight;
    if (options.keepBoundingBox == 0 && ((w > h && bw < bh) || (w < h && bw > bh)))
        std::swap(bw, bh);
    if (w < 1 || h < 1)
        return {w, h};
    const double aspect = static_cast<double>(h) / static_cast<double>(w);
    std::int64_t tw = w;
    std::int64_t th = h;
    switch (options.resizeMode) {
    case 1:
        if (tw > bw) {
            tw = bw;
            th = round_half_up(static_cast<double>(bw) * aspect);
        }
        if (th > bh) {
            th = bh;
            tw = round_half_up(static_cast<double>(bh) / aspect);
        }
        break;
    case 2:
        if (tw < bw) {
            tw = bw;
            th = round_half_up(static_cast<double>(bw) * aspect);
        }
        if (th < bh) {
            th = bh;
            tw = round_half_up(static_cast<double>(bh) / aspect);
        }
        break;
    case 3: {
        if (bw < 1 || bh < 1)
            break;
        const double s = 1.0 / std::max(static_cast<double>(w) / static_cast<double>(bw),
                                        static_cast<double>(h) / static_cast<double>(bh));
        tw = round_half_up(static_cast<double>(w) * s);
        th = round_half_up(static_cast<double>(h) * s);
        break;
    }
    case 4:
        tw = bw;
        th = bh;
        break;
    case 5:
        tw = (bw * w + 50) / 100;
        th = (bh * h + 50) / 100;
        break;
    default:
        break;
    }
    return {tw, th};
}

int ResizeStep(Layer* layers, std::uint32_t count, const ResizeOptions& options) noexcept {
    if (layers == nullptr || count == 0 || options.resizeMode < 1 || options.resizeMode > 5 ||
        options.resizeWidth == 0 || options.resizeHeight == 0)
        return 0;
    if (image::RefreshBitmapInfo(&layers[0].bitmap) == 0 || layers[0].bitmap.width == 0 ||
        layers[0].bitmap.height == 0)
        return 0;
    const std::int64_t w = layers[0].bitmap.width;
    const std::int64_t h = layers[0].bitmap.height;
    const TargetSize target = resize_target(w, h, options);
    if (target.width < 1 || target.height < 1)
        return 0;
    const double sx = static_cast<double>(target.width) / static_cast<double>(w);
    const double sy = static_cast<double>(target.height) / static_cast<double>(h);

    bool resampled = false;
    for (std::uint32_t i = 0; i < count; ++i) {
        Layer& layer = layers[i];
        if (image::RefreshBitmapInfo(&layer.bitmap) != 0) {
            const std::int64_t lw = layer.bitmap.width;
            const std::int64_t lh = layer.bitmap.height;
            const std::int64_t nw = round_half_up(static_cast<double>(lw) * sx);
            const std::int64_t nh = round_half_up(static_cast<double>(lh) * sy);
            if (nw != lw && nh != lh) {
                // Sizes beyond the engine limits are reduced by ResizeBitmap itself (result 99).
                const auto cw = static_cast<std::int32_t>(std::clamp<std::int64_t>(nw, 0, 1 << 30));
                const auto ch = static_cast<std::int32_t>(std::clamp<std::int64_t>(nh, 0, 1 << 30));
                layer.x = static_cast<std::int32_t>(std::trunc(static_cast<double>(layer.x) * sx));
                layer.y = static_cast<std::int32_t>(std::trunc(static_cast<double>(layer.y) * sy));
                if (resample_layer(&layer.bitmap, cw, ch, options) == 0)
                    return 0;
                resampled = true;
            }
        }
        (void)image::adjust_meta_for_resize(layer, sx, sy, options.changeDpi != 0);
    }
    return resampled ? 1 : -1;
}

} // namespace vt::gfx
