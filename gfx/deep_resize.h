#pragma once
// Resizing a deep (16 bits per channel) picture the way the high-quality scaled copy shrinks an
// 8-bit one by a factor of two or more: each destination pixel is the mean of the source span
// the scaled copy's axis tables give it, per channel (alpha averaged as a channel, as the 8-bit
// box does), rounded to nearest rather than truncated. Other resizes (the cubic and bilinear
// paths, the balanced and advanced algorithms) have no deep form yet.
// Thread: any; the caller owns the picture.

#include <cstdint>

#include "image/deep_image.h"

namespace vt::gfx {

// Whether the high-quality scaled copy from w x h to new_w x new_h takes the box path.
[[nodiscard]] bool deep_box_resize_fits(std::uint32_t w, std::uint32_t h, std::uint32_t new_w,
                                        std::uint32_t new_h) noexcept;

// Resizes `deep` to new_w x new_h by the box path. False, the picture unchanged, when the box
// path does not fit the sizes or memory runs out.
[[nodiscard]] bool resize_deep_box(image::DeepImage& deep, std::uint32_t new_w,
                                   std::uint32_t new_h) noexcept;

} // namespace vt::gfx
