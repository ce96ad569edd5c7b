#pragma once
// Median noise reduction in the YCbCr space of gfx/levels.h.
//
// Every pixel becomes the median of its (2r + 1) x (2r + 1) window, clipped at the picture's
// edges, taken separately for the luma (Y) and for the chroma as one 16-bit key (Cb in the high
// byte, Cr in the low one, so the chroma median is the middle (Cb, Cr) pair in that order, not
// a per-channel median). With n samples the median is the element of rank n / 2 (0-based,
// rounded down) in unsigned order; a window of 3 samples or fewer keeps the centre pixel. The
// pixel's own transparency byte is kept, and every pixel goes through the colour round trip,
// also where the median changes nothing.
//
// Thread: any; the caller owns the bitmap.

#include <cstdint>

#include "sdk/vt_plugin.h"

namespace vt::gfx {

inline constexpr std::int32_t kMaxDenoiseRadius = 16;

// Filters `bmp` in place with radius min(radius, 16). Returns 1 when done or when radius < 1
// (nothing to do); 0 when the bitmap is invalid (3) or the work buffers cannot be made (5).
[[nodiscard]] int MedianDenoise(Bitmap* bmp, std::int32_t radius) noexcept;

} // namespace vt::gfx
