#pragma once
// The transforms a job applies to every picture, in their fixed order: metadata privacy edits,
// level fix, noise reduction, rotation, resizing, watermark. The options come as a plain struct
// taken from the job.
// Thread: any; one picture per call.

#include <cstdint>

#include "engine/conversion_job.h"
#include "plugins/sdk/vt_plugin.h"

namespace vt::pipeline {

struct TransformOptions {
    bool removeGps = false;
    bool removeDates = false;
    std::int32_t autofixLevels = 0;
    std::int32_t denoiseRadius = 0;
    std::int32_t rotationMode = 0;
    std::int32_t resizeMode = 0;
    std::uint16_t resizeWidth = 0, resizeHeight = 0;
    std::int32_t resizeAlgorithm = 0, scalingFilter = 0, sincWindow = 0, sincSize = 0;
    bool keepBoundingBox = false, changeDpi = false;
    std::uint32_t watermarkX = 0, watermarkY = 0, watermarkSize = 0, watermarkFade = 0;
};

[[nodiscard]] TransformOptions transform_options(const engine::ConversionJob& job) noexcept;

// 1 when the picture changed, -1 when every step succeeded without change, 0 when a step
// failed (the steps after it do not run). `watermark` may be null.
[[nodiscard]] int RunTransforms(Layer* layers, std::uint32_t count, std::uint8_t doc_kind,
                                const TransformOptions& options, const Bitmap* watermark) noexcept;

} // namespace vt::pipeline
