#pragma once
// Median noise reduction on a deep (16 bits per channel) picture, by MedianDenoise's rule at 16
// bits: luma and chroma from the JFIF equations in double precision, rounded to 16 bits (Cb and
// Cr offset by 32768); every pixel becomes the median of its (2r + 1) x (2r + 1) window, clipped
// at the picture's edges, taken for the luma alone and for the chroma as the pair (Cb, Cr) in
// that order; with n samples the element of rank n / 2; a window of 3 samples or fewer keeps the
// centre pixel. Alpha is kept, and every pixel goes through the colour round trip.
// Thread: any; the caller owns the picture.

#include <cstdint>

#include "image/deep_image.h"

namespace vt::gfx {

// Filters `deep` in place with radius min(radius, kMaxDenoiseRadius); a radius below 1 leaves
// it. False, the picture unchanged, when it is empty or the work buffers cannot be had.
[[nodiscard]] bool deep_denoise(image::DeepImage& deep, std::int32_t radius) noexcept;

// The colour conversions the filter uses (exposed for its tests): R, G, B to Y, Cb, Cr and back.
struct DeepYcc {
    std::uint16_t y, cb, cr;
};
[[nodiscard]] DeepYcc deep_to_ycc(std::uint16_t r, std::uint16_t g, std::uint16_t b) noexcept;
void deep_from_ycc(const DeepYcc& ycc, std::uint16_t rgb[3]) noexcept;

} // namespace vt::gfx
