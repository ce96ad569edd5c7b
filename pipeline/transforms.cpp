#include "pipeline/transforms.h"

#include "gfx/deep_denoise.h"
#include "gfx/deep_levels.h"
#include "gfx/deep_resize.h"
#include "gfx/deep_turn.h"
#include "gfx/deep_watermark.h"
#include "gfx/denoise.h"
#include "gfx/levels.h"
#include "gfx/orientation.h"
#include "gfx/watermark.h"
#include "image/bitmap.h"
#include "image/meta_adjust.h"
#include "pipeline/colour_step.h"

namespace vt::pipeline {

TransformOptions transform_options(const engine::ConversionJob& job) noexcept {
    TransformOptions o;
    o.removeGps = job.removeGps != 0;
    o.removeDates = job.removeDates != 0;
    o.autofixLevels = job.autofixLevels;
    o.denoiseRadius = job.denoiseRadius;
    o.rotationMode = job.rotationMode;
    o.resize = engine::resize_applies(job);
    o.resizeMode = job.resizeMode;
    o.resizeWidth = job.resizeWidth;
    o.resizeHeight = job.resizeHeight;
    o.keepBoundingBox = job.keepBoundingBox;
    o.resizeAlgorithm = job.resizeAlgorithm;
    o.scalingFilter = job.scalingFilter;
    o.sincWindow = job.sincWindow;
    o.sincSize = job.sincSize;
    o.changeDpi = job.changeDpi;
    o.watermarkX = job.watermarkX;
    o.watermarkY = job.watermarkY;
    o.watermarkSize = job.watermarkSize;
    o.watermarkFade = job.watermarkFade;
    o.srgbIntent = srgb_intent(job.toSrgb, job.targetExtension.view());
    o.textMark.text = job.watermarkText.view();
    o.textMark.font = job.watermarkFont.view();
    o.textMark.size = job.watermarkSize;
    o.textMark.colour = job.watermarkColor;
    o.textMark.opacity = job.watermarkOpacity;
    o.textMark.x = job.watermarkX;
    o.textMark.y = job.watermarkY;
    return o;
}

namespace {

// A picture decoded reduced is brought to the target size of its full size, so that the box
// rule (and a percentage) acts on the picture as stored, not on the draft. The high-quality rule
// then shrinks by area: its whole-pixel spans alias at the small shrink a draft leaves. A draft
// at the full size shrinks by area too, the faster way when the user asked for speed.
// `turned`: the picture's sides swap by a turn, made before (or with `turn_follows`, after) this
// shrink.
gfx::ResizeOptions draft_resize(const Layer* layers, std::uint32_t count,
                                const TransformOptions& options, bool turned,
                                bool turn_follows = false) noexcept {
    gfx::ResizeOptions resize = options;
    if (options.fullWidth == 0 || options.fullHeight == 0 || count == 0)
        return resize;
    const bool now_turned = turned && !turn_follows;
    const std::int64_t full_w = now_turned ? options.fullHeight : options.fullWidth;
    const std::int64_t full_h = now_turned ? options.fullWidth : options.fullHeight;
    if (!turn_follows && full_w == layers[0].bitmap.width && full_h == layers[0].bitmap.height) {
        resize.areaShrink = 1;
        return resize;
    }
    // The target belongs to the upright picture; before its turn the sides are the other way.
    gfx::TargetSize target =
        turned ? gfx::resize_target(options.fullHeight, options.fullWidth, options)
               : gfx::resize_target(options.fullWidth, options.fullHeight, options);
    if (turned && turn_follows)
        std::swap(target.width, target.height);
    if (target.width < 1 || target.height < 1 || target.width > 65535 || target.height > 65535)
        return resize;
    resize.resizeMode = engine::kForceBoxSize;
    resize.resizeWidth = static_cast<std::uint16_t>(target.width);
    resize.resizeHeight = static_cast<std::uint16_t>(target.height);
    resize.keepBoundingBox = 1;
    resize.areaShrink = 1;
    return resize;
}

// A draft of one layer is shrunk before a turn that needs no look at its content, so that the
// turn moves the small picture.
bool shrinks_before_turn(std::uint32_t count, const TransformOptions& options) noexcept {
    return options.resize && count == 1 && options.rotationMode >= 1 && options.rotationMode <= 4 &&
           options.fullWidth != 0 && options.fullHeight != 0;
}

// The deep picture, while there is one to carry.
image::DeepImage* carried(DeepCarry* deep) noexcept {
    return deep != nullptr && deep->picture != nullptr && !deep->picture->empty() ? deep->picture
                                                                                  : nullptr;
}

void drop_deep(DeepCarry* deep, const char16_t* step) noexcept {
    if (carried(deep) == nullptr)
        return;
    deep->picture->reset();
    deep->dropped = step;
}

// The resize step, and the deep picture after it. Returns ResizeStep's result.
int resize_layers(Layer* layers, std::uint32_t count, const gfx::ResizeOptions& resize,
                  DeepCarry* deep, bool& changed) noexcept {
    const int resized = gfx::ResizeStep(layers, count, resize);
    if (resized == 0)
        return 0;
    // The deep picture takes layer 0's new size (the engine may have made it smaller than
    // asked) by the same algorithm; the area shrink after a reduced decode has no deep form.
    if (image::DeepImage* picture = carried(deep)) {
        const Bitmap& now = layers[0].bitmap;
        if (!gfx::resize_deep(*picture, now.width, now.height, resize))
            drop_deep(deep, u"resizing");
    }
    changed = changed || resized > 0;
    return resized;
}

} // namespace

int RunTransforms(Layer* layers, std::uint32_t count, const image::LoadStatus& status,
                  const TransformOptions& options, const Bitmap* watermark,
                  DeepCarry* deep) noexcept {
    // The layers of a protected file that was not opened are placeholders: never edit or save
    // them as if they were the picture.
    if (status.password_protected != 0)
        return 0;
    if (layers == nullptr && count > 0)
        return 0;
    bool changed = false;

    if (options.srgbIntent >= 0) {
        // The deep picture first: the 8-bit conversion drops the profile.
        if (image::DeepImage* picture = carried(deep);
            picture != nullptr && count > 0 &&
            ConvertDeepToSrgb(layers[0], *picture, options.srgbIntent) == 0)
            drop_deep(deep, u"conversion to sRGB");
        const int converted = ConvertToSrgb(layers, count, options.srgbIntent);
        if (converted == 0)
            return 0;
        changed = converted > 0;
    }
    if (options.removeGps || options.removeDates) {
        (void)image::remove_private_data(layers, count, options.removeGps, options.removeDates);
        changed = true; // also when no key was present: the file is re-encoded without them
    }
    if (options.autofixLevels != 0) {
        // The deep picture takes the stretch of the 8-bit picture it stands for.
        if (image::DeepImage* picture = carried(deep)) {
            gfx::LevelEstimate estimate;
            if (count > 0)
                (void)gfx::estimate_levels(&layers[0].bitmap, estimate);
            if (!gfx::deep_levels(*picture, estimate))
                drop_deep(deep, u"auto levels");
        }
        for (std::uint32_t i = 0; i < count; ++i) {
            gfx::AutoLevels(&layers[i].bitmap);
            changed = true;
        }
    }
    if (options.denoiseRadius != 0) {
        // A layer the filter cannot work on stays as it was; that is no reason to fail the file.
        if (image::DeepImage* picture = carried(deep);
            picture != nullptr && !gfx::deep_denoise(*picture, options.denoiseRadius))
            drop_deep(deep, u"noise reduction");
        for (std::uint32_t i = 0; i < count; ++i) {
            (void)gfx::MedianDenoise(&layers[i].bitmap, options.denoiseRadius);
            changed = true;
        }
    }
    const bool sides_swap_on_turn = count > 0 && layers[0].bitmap.width != layers[0].bitmap.height;
    const std::uint32_t width_before_turn = count > 0 ? layers[0].bitmap.width : 0;
    const bool shrink_first = shrinks_before_turn(count, options);
    if (shrink_first) {
        const int turn = gfx::rotation_turn(layers, count, options.rotationMode);
        const int resized =
            resize_layers(layers, count, draft_resize(layers, count, options, turn % 2 != 0, true),
                          deep, changed);
        if (resized == 0)
            return 0;
    }
    if (options.rotationMode != 0) {
        const int turn =
            carried(deep) ? gfx::rotation_turn(layers, count, options.rotationMode) : 0;
        const int turned = gfx::RotationStep(layers, count, options.rotationMode);
        if (turned == 0)
            return 0;
        if (turned > 0 && carried(deep) && !gfx::turn_deep(*deep->picture, turn))
            drop_deep(deep, u"rotation");
        changed = changed || turned > 0;
    }
    if (options.resize && !shrink_first) {
        const bool turned = sides_swap_on_turn && layers[0].bitmap.width != width_before_turn;
        if (resize_layers(layers, count, draft_resize(layers, count, options, turned), deep,
                          changed) == 0)
            return 0;
    }
    if (watermark != nullptr && image::IsBitmapValid(watermark) != 0) {
        gfx::WatermarkOptions mark{options.watermarkX, options.watermarkY, options.watermarkSize,
                                   options.watermarkFade};
        // Locking the shared mark only counts a reader; its pixels are never written.
        if (image::DeepImage* picture = carried(deep);
            picture != nullptr &&
            !gfx::watermark_deep(*picture, const_cast<Bitmap*>(watermark), mark))
            drop_deep(deep, u"watermark");
        if (gfx::WatermarkStep(layers, count, const_cast<Bitmap*>(watermark), mark) == 0)
            return 0;
        changed = true;
    }
    if (!options.textMark.text.empty()) {
        image::DeepImage* picture = carried(deep);
        if (TextWatermarkStep(layers, count, options.textMark, picture) == 0)
            return 0;
        if (picture != nullptr && picture->empty())
            deep->dropped = u"text watermark";
        changed = true;
    }
    return changed ? 1 : -1;
}

} // namespace vt::pipeline
