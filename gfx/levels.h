#pragma once
// Colour space helpers and the automatic level stretch.
//
// Packed YCbCr pixel: Y in bits 16-23, Cb in bits 8-15, Cr in bits 0-7 (Cb and Cr offset by
// 128), the pixel's transparency byte in bits 24-31 as in the RGB pixel. The conversion is the
// JFIF one in 16.16 fixed point with arithmetic shifts, exactly:
//   Y  = clamp((19595 R + 38470 G + 7471 B + 32768) >> 16)
//   Cb = clamp(((32768 B - 11059 R - 21709 G) >> 16) + 128)
//   Cr = ((32768 R - 27439 G - 5329 B) >> 16) + 128
//   R  = clamp((65536 Y + 32768 + 91881 (Cr - 128)) >> 16)
//   G  = clamp((65536 Y + 32768 - 22553 (Cb - 128) - 46802 (Cr - 128)) >> 16)
//   B  = clamp((65536 Y + 32768 + 116130 (Cb - 128)) >> 16)
// The round trip is not exact: a channel may move by a few steps.
//
// Thread: any; the caller owns the bitmap it passes.

#include <cstdint>

#include "sdk/vt_plugin.h"

namespace vt::gfx {

[[nodiscard]] constexpr std::uint32_t clamp_byte(std::int32_t v) noexcept {
    return v < 0 ? 0u : (v > 255 ? 255u : static_cast<std::uint32_t>(v));
}

// B, G, R, T pixel to the packed YCbCr pixel (T kept).
[[nodiscard]] constexpr std::uint32_t RgbToYcc(std::uint32_t pixel) noexcept {
    const auto r = static_cast<std::int32_t>((pixel >> 16) & 255);
    const auto g = static_cast<std::int32_t>((pixel >> 8) & 255);
    const auto b = static_cast<std::int32_t>(pixel & 255);
    const std::uint32_t y = clamp_byte((19595 * r + 38470 * g + 7471 * b + 32768) >> 16);
    const std::uint32_t cb = clamp_byte(((32768 * b - 11059 * r - 21709 * g) >> 16) + 128);
    // Cannot leave 0..255: the negative weights sum to the positive one.
    const auto cr = static_cast<std::uint32_t>(((32768 * r - 27439 * g - 5329 * b) >> 16) + 128);
    return (pixel & 0xFF000000u) | (y << 16) | (cb << 8) | cr;
}

// Packed YCbCr pixel back to B, G, R, T (T kept).
[[nodiscard]] constexpr std::uint32_t YccToRgb(std::uint32_t pixel) noexcept {
    const auto y = static_cast<std::int32_t>((pixel >> 16) & 255);
    const auto cb = static_cast<std::int32_t>((pixel >> 8) & 255) - 128;
    const auto cr = static_cast<std::int32_t>(pixel & 255) - 128;
    const std::int32_t base = 65536 * y + 32768;
    const std::uint32_t r = clamp_byte((base + 91881 * cr) >> 16);
    const std::uint32_t g = clamp_byte((base - 22553 * cb - 46802 * cr) >> 16);
    const std::uint32_t b = clamp_byte((base + 116130 * cb) >> 16);
    return (pixel & 0xFF000000u) | (r << 16) | (g << 8) | b;
}

// Stretches the picture's levels in place: estimates of the darkest and brightest channel value
// creep over the pixels (rows top-down) at the rate 255 / pixel count (at most 1, so in a
// picture of 255 pixels or fewer they are the exact extremes), then one table maps lo to 0 and
// hi to 255 for B, G and R alike; T is kept. A picture whose estimates do not span a range
// (uniform, say) is left as it is. A bitmap that cannot be locked is left alone.
void AutoLevels(Bitmap* bmp) noexcept;

// The level table AutoLevels would apply, with the estimates it found; false when it would
// leave the picture unchanged (invalid bitmap or no range).
struct LevelEstimate {
    double lo = 255.0;
    double hi = 0.0;
};
[[nodiscard]] bool estimate_levels(Bitmap* bmp, LevelEstimate& out) noexcept;
void build_level_table(const LevelEstimate& estimate, std::uint8_t table[256]) noexcept;

} // namespace vt::gfx
