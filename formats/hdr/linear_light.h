#pragma once
// Linear-light float pictures and the 16-bit and 8-bit pictures that stand for them, by the
// tone rule of sdk/kit/tone.h.
// Thread: any; no shared state.

#include <cstdint>

#include "sdk/kit/tone.h"
#include "sdk/vt_plugin.h"

namespace vt::formats {

using kit::decode_to_linear;
using kit::encode_linear;
using kit::to_8bit;

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
