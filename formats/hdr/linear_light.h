#pragma once
// Linear-light float pictures and the 16-bit and 8-bit pictures that stand for them. The tone
// rule: each colour clipped to 0..1 and encoded with the sRGB transfer curve (IEC 61966-2-1) to
// 16 bits, rounded; the 8-bit frame is the rounding of those 16 bits. Saving goes back through
// the inverse curve, so a 16-bit sample survives the trip through a float exactly.
// Thread: any; no shared state.

#include <cstdint>

#include "sdk/vt_plugin.h"

namespace vt::formats {

// The 16-bit display value of a linear sample (NaN and negatives 0, 1 and above 65535).
[[nodiscard]] std::uint16_t encode_linear(float linear) noexcept;
// The linear value of a 16-bit display sample.
[[nodiscard]] float decode_to_linear(std::uint16_t display) noexcept;
// v / 257 rounded, the 8-bit picture's rule for deep samples.
[[nodiscard]] constexpr std::uint8_t to_8bit(std::uint16_t v) noexcept {
    return static_cast<std::uint8_t>((std::uint32_t{v} * 255u + 32767u) / 65535u);
}

// Where a decoder puts linear pixels: the 8-bit frame (32-bit B, G, R, transparency rows) and,
// when `deep` is set, the 16-bit picture (rows of width x `deep_channels` samples: 4 RGBA or
// 2 grey + alpha, alpha opaque).
struct LinearTarget {
    std::uint32_t* pixels = nullptr;
    std::uint32_t stride = 0;
    std::uint32_t width = 0;
    std::uint16_t* deep = nullptr;
    std::uint32_t deep_channels = 4;

    void put(std::uint32_t x, std::uint32_t y, float r, float g, float b) const noexcept;
    void put_grey(std::uint32_t x, std::uint32_t y, float v) const noexcept;
};

// The picture a save writes, as linear floats: the deep picture when one is given, else the
// 8-bit frame (each value v read as the 16-bit v x 257).
struct LinearSource {
    const std::uint32_t* pixels = nullptr;
    std::uint32_t stride = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    const VtDeepImage* deep = nullptr;

    // Row `y` as width x 3 floats (red, green, blue), or with `grey` width floats (green).
    void row(std::uint32_t y, float* out, bool grey) const noexcept;
    // Every pixel has equal red, green and blue (a grey deep picture always).
    [[nodiscard]] bool is_grey() const noexcept;
};

} // namespace vt::formats
