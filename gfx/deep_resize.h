#pragma once
// Resizing a deep (16 bits per channel) picture the way the resize step scales the 8-bit one,
// with the same geometry: the scaled copy's axis tables (nearest, balanced, high quality: box,
// cubic and bilinear paths as the scaled copy chooses them) and the advanced resampler's taps and
// weights for each filter. Alpha is a channel like the others, as in the 8-bit paths. Where the
// 8-bit path truncates, the deep one rounds to nearest.
// Thread: any; the caller owns the picture.

#include <cstdint>

#include "gfx/resize_step.h"
#include "image/deep_image.h"

namespace vt::gfx {

// Resizes `deep` to new_w x new_h with the algorithm, filter, window and taps the resize step
// would use on an 8-bit layer (`options.resizeAlgorithm` and the advanced fields). False, the
// picture unchanged, for the area shrink after a reduced decode (no deep form), sizes the scaled
// copy cannot draw (a side above 65536), an advanced filter the resampler refuses, the abort
// flag, or want of memory.
[[nodiscard]] bool resize_deep(image::DeepImage& deep, std::uint32_t new_w, std::uint32_t new_h,
                               const ResizeOptions& options) noexcept;

} // namespace vt::gfx
