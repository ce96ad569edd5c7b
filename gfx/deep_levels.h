#pragma once
// The automatic level stretch on a deep (16 bits per channel) picture. The estimates are the
// ones AutoLevels finds on the 8-bit picture the deep one stands for (in 8-bit units, so both
// pictures are stretched by one rule); the deep samples are then mapped by that rule in full
// precision: v becomes (v / 257 - lo) x 65535 / (hi - lo), rounded to nearest, within 0..65535,
// for red, green and blue (or grey) alike; alpha is kept.
// Thread: any; the caller owns the picture.

#include "gfx/levels.h"
#include "image/deep_image.h"

namespace vt::gfx {

// Stretches `deep` in place by `estimate`; nothing changes when hi is not above lo. False, the
// picture unchanged, when the picture is empty or the table cannot be had.
[[nodiscard]] bool deep_levels(image::DeepImage& deep, const LevelEstimate& estimate) noexcept;

} // namespace vt::gfx
