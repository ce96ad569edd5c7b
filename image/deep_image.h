#pragma once
// DeepImage: a picture at 16 bits per channel, held beside the 8-bit frames of an ImageDoc when
// both the source and the target hold more than 8 bits. The layout is the plug-in interface's
// VtDeepImage (sdk/vt_plugin.h): red, green, blue, alpha (or grey, alpha) as native uint16,
// full range, straight alpha counted the usual way (65535 opaque). docs/deep-colour.md.
//
// Ownership: the samples come from the malloc heap (a loader hands them over) and are freed with
// the object. Thread: one worker at a time.

#include <cstdint>

#include "sdk/vt_plugin.h"

namespace vt::image {

class DeepImage {
public:
    DeepImage() = default;
    ~DeepImage() { reset(); }
    DeepImage(const DeepImage&) = delete;
    DeepImage& operator=(const DeepImage&) = delete;

    // Takes over `image` (its samples are then ours) when it is sound: sizes at least 1, 2 or 4
    // channels, a stride that holds a row, samples present. A record that is not sound is
    // freed and refused.
    bool adopt(VtDeepImage& image) noexcept;
    // A copy of `width` x `height` x `channels` zeroed samples; false without memory or for
    // sizes beyond a Bitmap's limits.
    bool create(std::uint32_t width, std::uint32_t height, std::uint32_t channels) noexcept;
    void reset() noexcept;

    [[nodiscard]] bool empty() const noexcept { return m_image.samples == nullptr; }
    [[nodiscard]] const VtDeepImage& record() const noexcept { return m_image; }
    [[nodiscard]] VtDeepImage& record() noexcept { return m_image; }
    [[nodiscard]] std::uint16_t* row(std::uint32_t y) noexcept {
        return m_image.samples + std::size_t{y} * m_image.stride;
    }
    [[nodiscard]] const std::uint16_t* row(std::uint32_t y) const noexcept {
        return m_image.samples + std::size_t{y} * m_image.stride;
    }

private:
    VtDeepImage m_image{};
};

// The 8-bit value of a 16-bit sample, rounded to nearest: v * 255 / 65535 rounded, which is
// exactly libpng's and libtiff's 16-to-8 scaling.
[[nodiscard]] constexpr std::uint8_t to_8bit(std::uint16_t v) noexcept {
    return static_cast<std::uint8_t>((std::uint32_t{v} * 255u + 32767u) / 65535u);
}

// The 8-bit picture the deep one stands for, as 32-bit pixels (blue, green, red, transparency =
// 255 - alpha) into `out` (stride in pixels, at least the width).
void deep_to_pixels(const DeepImage& deep, std::uint32_t* out, std::uint32_t stride) noexcept;

} // namespace vt::image
