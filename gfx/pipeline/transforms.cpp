#include "gfx/pipeline/transforms.h"

#include "image/meta_adjust.h"

namespace vt::pipeline {

TransformOptions transform_options(const engine::ConversionJob& job) noexcept {
    TransformOptions o;
    o.removeGps = job.removeGps != 0;
    o.removeDates = job.removeDates != 0;
    o.autofixLevels = job.autofixLevels;
    o.denoiseRadius = job.denoiseRadius;
    o.rotationMode = job.rotationMode;
    o.resizeMode = job.resizeMode;
    o.resizeWidth = job.resizeWidth;
    o.resizeHeight = job.resizeHeight;
    o.resizeAlgorithm = job.resizeAlgorithm;
    o.scalingFilter = job.scalingFilter;
    o.sincWindow = job.sincWindow;
    o.sincSize = job.sincSize;
    o.keepBoundingBox = job.keepBoundingBox != 0;
    o.changeDpi = job.changeDpi != 0;
    o.watermarkX = job.watermarkX;
    o.watermarkY = job.watermarkY;
    o.watermarkSize = job.watermarkSize;
    o.watermarkFade = job.watermarkFade;
    return o;
}

int RunTransforms(Layer* layers, std::uint32_t count, std::uint8_t doc_kind,
                  const TransformOptions& options, const Bitmap* watermark) noexcept {
    (void)doc_kind;
    (void)watermark;
    if (!layers || count == 0)
        return 0;
    bool changed = false;
    if (options.removeGps || options.removeDates) {
        if (!image::remove_private_data(layers, count, options.removeGps, options.removeDates))
            return 0;
        changed = true;
    }
    // Levels, noise reduction, rotation, resizing and the watermark join here as the pixel
    // operations land; until then they leave the picture as it is.
    return changed ? 1 : -1;
}

} // namespace vt::pipeline
