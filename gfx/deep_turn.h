#pragma once
// Quarter and half turns of a deep (16 bits per channel) picture, the same turns as
// RotateBitmapQuarter's: a turn is 1 a quarter clockwise, 2 a half turn, 3 a quarter
// anti-clockwise. Samples move unchanged, so a turned deep picture still stands for the turned
// 8-bit one. Thread: any; the caller owns the picture.

#include "image/deep_image.h"

namespace vt::gfx {

// Turns `deep` (turn modulo 4; 0 leaves it). False, with the picture unchanged, when the new
// samples cannot be allocated or the picture is empty.
[[nodiscard]] bool turn_deep(image::DeepImage& deep, int turn) noexcept;

} // namespace vt::gfx
