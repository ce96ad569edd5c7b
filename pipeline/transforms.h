#pragma once
// The transforms a job applies to every picture, in their fixed order: metadata privacy edits,
// level fix, noise reduction, rotation, resizing, watermark. The options come as a plain struct
// taken from the job.
// Thread: any; one picture per call. The watermark bitmap may be shared by several threads at
// once: it is only read.

#include <cstdint>

#include "engine/conversion_job.h"
#include "gfx/resize_step.h"
#include "image/deep_image.h"
#include "image/load_status.h"
#include "pipeline/text_watermark.h"
#include "sdk/vt_plugin.h"

namespace vt::pipeline {

// The resize fields are the resize step's own struct, handed to it as they are.
struct TransformOptions : gfx::ResizeOptions {
    bool removeGps = false;
    bool removeDates = false;
    std::int32_t autofixLevels = 0;
    std::int32_t denoiseRadius = 0;
    std::int32_t rotationMode = 0;
    bool resize = false; // the job's engine::resize_applies, the one rule for it
    std::uint32_t watermarkX = 0, watermarkY = 0, watermarkSize = 0, watermarkFade = 0;
    // Set when the picture was decoded reduced (fast decode): its size in the file, so that the
    // resize gives the size a full decode would have given.
    std::uint32_t fullWidth = 0, fullHeight = 0;
    // Before every other step: profiles converted to sRGB with this intent (-1: none).
    int srgbIntent = -1;
    // After the picture watermark: a text mark (empty text: none).
    TextMarkOptions textMark;
};

[[nodiscard]] TransformOptions transform_options(const engine::ConversionJob& job) noexcept;

// Runs the steps that the options ask for, in this order, each on every layer:
//   0. colour profiles to sRGB (srgbIntent >= 0): a change when a layer carried a profile;
//   1. privacy edit (removeGps / removeDates): always a change, keys present or not;
//   2. auto levels (autofixLevels != 0): a change per layer;
//   3. median denoise (denoiseRadius != 0): a change;
//   4. rotation (rotationMode != 0): 1 a change, -1 none, 0 failure;
//   5. resize (resizeMode != 0 and both box sides >= 2): positive a change, 0 failure;
//   6. watermark (a valid `watermark` bitmap): onto layer 0, a change; no layer is a failure.
//   7. text watermark (non-empty text): onto layer 0, a change; no layer or font a failure.
// Returns 1 when a step changed the picture or its metadata, -1 when every step that ran
// succeeded without change, 0 at the first failing step (the layers stay as it left them) or at
// once, untouched, when `status` says the file is protected and was not opened.
//
// `deep`, when given with a picture, is the 16-bit picture standing for layer 0 of a single
// picture: every step carries it along with layer 0 in its deep form. A step whose deep form
// cannot run (no memory, the area shrink after a reduced decode, a grey picture with an RGB
// profile) frees it and names itself in `dropped`; the 8-bit steps go on as ever.
struct DeepCarry {
    image::DeepImage* picture = nullptr;
    const char16_t* dropped = nullptr;
};
[[nodiscard]] int RunTransforms(Layer* layers, std::uint32_t count, const image::LoadStatus& status,
                                const TransformOptions& options, const Bitmap* watermark,
                                DeepCarry* deep = nullptr) noexcept;

} // namespace vt::pipeline
