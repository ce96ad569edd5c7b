#pragma once
// The tone rule of the linear-light formats (Radiance HDR, PFM, OpenEXR): each colour clipped to
// 0..1 and encoded with the sRGB transfer curve (IEC 61966-2-1) to 16 bits, rounded; the 8-bit
// frame is the rounding of those 16 bits. Saving goes back through the inverse curve, so a 16-bit
// sample survives the trip through a float exactly.
// Thread: any; the curve's table is built once.

#include <cstdint>

namespace vt::kit {

// The 16-bit display value of a linear sample (NaN and negatives 0, 1 and above 65535).
[[nodiscard]] std::uint16_t encode_linear(float linear) noexcept;
// The linear value of a 16-bit display sample.
[[nodiscard]] float decode_to_linear(std::uint16_t display) noexcept;
// v / 257 rounded, the 8-bit picture's rule for deep samples.
[[nodiscard]] constexpr std::uint8_t to_8bit(std::uint16_t v) noexcept {
    return static_cast<std::uint8_t>((std::uint32_t{v} * 255u + 32767u) / 65535u);
}

} // namespace vt::kit
