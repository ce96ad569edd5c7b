#pragma once
// Small pictures for the gfx tests: an owned Bitmap filled from a list or a function.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "image/bitmap.h"

namespace vt::gfx::testing {

constexpr std::uint32_t argb(std::uint32_t t, std::uint32_t r, std::uint32_t g, std::uint32_t b) {
    return (t << 24) | (r << 16) | (g << 8) | b;
}
constexpr std::uint32_t grey(std::uint32_t v) {
    return argb(0, v, v, v);
}

class Picture {
public:
    Picture() = default;
    Picture(std::int32_t w, std::int32_t h) {
        EXPECT_EQ(image::CreateBitmap(&m_bmp, w, h, image::kCreateMemory), 1);
    }
    // Display memory (kind 1) instead of engine memory.
    struct Display {};
    Picture(std::int32_t w, std::int32_t h, Display) {
        EXPECT_EQ(image::CreateBitmap(&m_bmp, w, h, 0), 1);
    }
    Picture(std::int32_t w, std::int32_t h, const std::vector<std::uint32_t>& pixels)
        : Picture(w, h) {
        for (std::int32_t y = 0; y < h; ++y)
            for (std::int32_t x = 0; x < w; ++x)
                at(x, y) = pixels[static_cast<std::size_t>(y * w + x)];
    }
    Picture(std::int32_t w, std::int32_t h,
            const std::function<std::uint32_t(std::int32_t, std::int32_t)>& fill)
        : Picture(w, h) {
        for (std::int32_t y = 0; y < h; ++y)
            for (std::int32_t x = 0; x < w; ++x)
                at(x, y) = fill(x, y);
    }
    ~Picture() { image::FreeBitmap(&m_bmp); }
    Picture(const Picture&) = delete;
    Picture& operator=(const Picture&) = delete;

    Bitmap* get() { return &m_bmp; }
    std::int32_t width() const { return static_cast<std::int32_t>(m_bmp.width); }
    std::int32_t height() const { return static_cast<std::int32_t>(m_bmp.height); }
    std::uint32_t& at(std::int32_t x, std::int32_t y) {
        return m_bmp
            .pixels[static_cast<std::size_t>(y) * m_bmp.stride + static_cast<std::size_t>(x)];
    }
    std::vector<std::uint32_t> pixels() {
        std::vector<std::uint32_t> out;
        for (std::int32_t y = 0; y < height(); ++y)
            for (std::int32_t x = 0; x < width(); ++x)
                out.push_back(at(x, y));
        return out;
    }

private:
    Bitmap m_bmp{};
};

// A photo-like pseudo-random picture: smooth gradients plus noise, every channel used.
inline std::uint32_t noisy(std::int32_t x, std::int32_t y, std::uint32_t seed) {
    std::uint32_t h = static_cast<std::uint32_t>(x) * 73856093u ^
                      static_cast<std::uint32_t>(y) * 19349663u ^ seed * 83492791u;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return h;
}

} // namespace vt::gfx::testing
