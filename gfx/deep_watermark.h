#pragma once
// Watermarks on a deep (16 bits per channel) picture: the mark's 8-bit pixels composed by the
// engine's normal blend in 16 bits. With W the mark pixel's weight of the picture, that is the
// blend transparency t and the pixel's own transparency a (0 opaque) as
// W = (t + a (255 - t) / 255) / 255, each colour becomes d W + s (1 - W) with s the mark's
// sample times 257, and the picture's alpha becomes 1 - (1 - alpha) W: the 8-bit rule without its
// rounding, rounded to nearest at 16 bits. A grey picture becomes RGBA, as a colour mark needs.
// Thread: any; the caller owns the picture; the mark is only read.

#include <cstdint>

#include "gfx/watermark.h"
#include "image/deep_image.h"
#include "sdk/vt_plugin.h"

namespace vt::gfx {

// Composes `mark` (a locked or otherwise stable bitmap, taken pixel for pixel) with its top left
// corner at (x, y); what falls outside the picture is left out. False, the picture unchanged,
// when it is empty or memory runs out.
[[nodiscard]] bool blend_mark_deep(image::DeepImage& deep, std::int64_t x, std::int64_t y,
                                   const Bitmap& mark, int transparency) noexcept;

// WatermarkStep's stamp on the deep picture: the same placement, the same high-quality scaled
// copy of the mark and the same fade. False, the picture unchanged, when the mark is not a valid
// bitmap or memory runs out; true when the placement draws nothing.
[[nodiscard]] bool watermark_deep(image::DeepImage& deep, Bitmap* mark,
                                  WatermarkOptions options) noexcept;

} // namespace vt::gfx
