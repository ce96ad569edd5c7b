#pragma once
// The resize step of the transform pipeline: the target size from the job's box rule, every
// layer scaled by the same factors with the chosen algorithm, and every layer's metadata adjusted.
// Thread: the caller owns the layers; any thread.

#include <cstdint>

#include "sdk/vt_plugin.h"

namespace vt::gfx {

// The job options the step reads (names as in the job record).
struct ResizeOptions {
    std::int32_t resizeMode = 0;   // 0 off; 1 fit inside, 2 cover, 3 best fit, 4 force, 5 percent
    std::uint16_t resizeWidth = 0; // the box, or percentages in mode 5
    std::uint16_t resizeHeight = 0;
    std::uint8_t keepBoundingBox = 0; // the box does not turn with a portrait picture
    std::int32_t resizeAlgorithm = 0; // 0 nearest, 1 balanced, 2 high quality, 3 advanced
    std::int32_t scalingFilter = 0;   // advanced: filter 0..5
    std::int32_t sincWindow = 0;      // advanced: window 0..12
    std::int32_t sincSize = 0;        // advanced: taps
    std::uint8_t changeDpi = 0;       // keep the print size: the resolution follows the scale
    // High quality shrinks by area (AreaResample) rather than by whole-pixel spans: set after a
    // reduced decode, whose remaining shrink is too small for the spans.
    std::uint8_t areaShrink = 0;
};

struct TargetSize {
    std::int64_t width;
    std::int64_t height;
};

// The target size of a W x H picture. Unless keepBoundingBox, a box whose orientation differs
// from the picture's is turned (a square picture never turns it). Modes 1..5 as in ResizeOptions;
// other modes give the picture's own size.
[[nodiscard]] TargetSize resize_target(std::int64_t width, std::int64_t height,
                                       const ResizeOptions& options) noexcept;

// Resizes every layer: w' = trunc(w sx + 0.5), h' = trunc(h sy + 0.5) with sx, sy from layer 0;
// a layer is resampled (and its position scaled) only when both sides change. Every layer's
// metadata is adjusted with sx, sy and changeDpi. Returns 1 when a layer was resampled, -1 when
// none was, 0 when the step cannot start (mode 0 or unknown, a box side 0, layer 0 invalid or
// empty, a target side below 1) or a layer's resample failed.
[[nodiscard]] int ResizeStep(Layer* layers, std::uint32_t count,
                             const ResizeOptions& options) noexcept;

} // namespace vt::gfx
