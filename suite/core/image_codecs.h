#pragma once
// The codecs behind image_io: each decodes from bytes in memory into a malloc'd pixel block
// (refusing oversized pictures before allocating) or encodes a picture into bytes.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

namespace vt::core {

inline constexpr std::uint32_t kMaxSide = 65535;
inline constexpr std::uint64_t kMaxPixels = 250'000'000;

inline bool size_allowed(std::uint64_t width, std::uint64_t height) noexcept {
    return width > 0 && height > 0 && width <= kMaxSide && height <= kMaxSide &&
           width * height <= kMaxPixels;
}

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
using Pixels = std::unique_ptr<std::uint32_t[], FreeDeleter>;

// width * height pixels from malloc, zero-filled; null when refused or out of memory.
inline Pixels allocate_pixels(std::uint32_t width, std::uint32_t height) {
    if (!size_allowed(width, height))
        return nullptr;
    return Pixels(static_cast<std::uint32_t*>(
        std::calloc(static_cast<std::size_t>(width) * height, sizeof(std::uint32_t))));
}

// A pixel: blue in the low byte, then green, red and transparency.
inline std::uint32_t make_pixel(std::uint8_t b, std::uint8_t g, std::uint8_t r,
                                std::uint8_t t) noexcept {
    return static_cast<std::uint32_t>(b) | (static_cast<std::uint32_t>(g) << 8) |
           (static_cast<std::uint32_t>(r) << 16) | (static_cast<std::uint32_t>(t) << 24);
}

struct Decoded {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    Pixels pixels; // stride = width
};

struct Picture {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t stride = 0;
    const std::uint32_t* pixels = nullptr;

    const std::uint32_t* row(std::uint32_t y) const noexcept {
        return pixels + static_cast<std::size_t>(y) * stride;
    }
    bool transparent() const noexcept;
};

using Bytes = std::vector<std::uint8_t>;

bool decode_png(std::span<const std::uint8_t> data, Decoded& out);
bool decode_jpeg(std::span<const std::uint8_t> data, Decoded& out);
bool decode_bmp(std::span<const std::uint8_t> data, Decoded& out);
bool decode_gif(std::span<const std::uint8_t> data, Decoded& out);
bool decode_webp(std::span<const std::uint8_t> data, Decoded& out);

bool encode_png(const Picture& picture, Bytes& out);
bool encode_jpeg(const Picture& picture, int quality, Bytes& out);
bool encode_bmp(const Picture& picture, Bytes& out);
bool encode_gif(const Picture& picture, Bytes& out);
bool encode_webp(const Picture& picture, int quality, Bytes& out);

} // namespace vt::core
