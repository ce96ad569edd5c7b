#include "image/deep_image.h"

#include <cstdlib>
#include <limits>

namespace vt::image {
namespace {

constexpr std::uint32_t kMaxSide = 65536;
constexpr std::uint64_t kMaxPixels = 250'000'000;

bool sound_size(std::uint32_t width, std::uint32_t height, std::uint32_t channels) noexcept {
    return width >= 1 && height >= 1 && width <= kMaxSide && height <= kMaxSide &&
           std::uint64_t{width} * height <= kMaxPixels &&
           (channels == VT_DEEP_GREY_ALPHA || channels == VT_DEEP_RGBA);
}

} // namespace

bool DeepImage::adopt(VtDeepImage& image) noexcept {
    reset();
    const bool sound = image.samples != nullptr &&
                       sound_size(image.width, image.height, image.channels) &&
                       std::uint64_t{image.stride} >= std::uint64_t{image.width} * image.channels;
    if (!sound) {
        std::free(image.samples);
        image = VtDeepImage{};
        return false;
    }
    m_image = image;
    if (m_image.bits < 9 || m_image.bits > 16)
        m_image.bits = 16;
    image = VtDeepImage{};
    return true;
}

bool DeepImage::create(std::uint32_t width, std::uint32_t height, std::uint32_t channels) noexcept {
    reset();
    if (!sound_size(width, height, channels))
        return false;
    const std::size_t count = std::size_t{width} * height * channels;
    auto* samples = static_cast<std::uint16_t*>(std::calloc(count, sizeof(std::uint16_t)));
    if (samples == nullptr)
        return false;
    m_image = VtDeepImage{width, height, channels, width * channels, samples, 16, 0};
    return true;
}

void DeepImage::reset() noexcept {
    std::free(m_image.samples);
    m_image = VtDeepImage{};
}

void deep_to_pixels(const DeepImage& deep, std::uint32_t* out, std::uint32_t stride) noexcept {
    const VtDeepImage& d = deep.record();
    for (std::uint32_t y = 0; y < d.height; ++y) {
        const std::uint16_t* s = deep.row(y);
        std::uint32_t* o = out + std::size_t{y} * stride;
        for (std::uint32_t x = 0; x < d.width; ++x) {
            std::uint32_t r, g, b, a;
            if (d.channels == VT_DEEP_RGBA) {
                r = to_8bit(s[0]);
                g = to_8bit(s[1]);
                b = to_8bit(s[2]);
                a = to_8bit(s[3]);
                s += 4;
            } else {
                r = g = b = to_8bit(s[0]);
                a = to_8bit(s[1]);
                s += 2;
            }
            o[x] = b | g << 8 | r << 16 | (255u - a) << 24;
        }
    }
}

} // namespace vt::image
