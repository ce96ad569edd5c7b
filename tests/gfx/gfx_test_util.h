#pragma once
// Pictures for the gfx and transform tests: an owned bitmap filled from a list or a function,
// and a small layer stack whose layers own their bitmaps and markup.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "image/bitmap.h"
#include "image/image_doc.h"
#include "image/markup.h"
#include "image/meta_block.h"

namespace vt::gfx::testing {

constexpr std::uint32_t argb(std::uint32_t t, std::uint32_t r, std::uint32_t g, std::uint32_t b) {
    return (t << 24) | (r << 16) | (g << 8) | b;
}
constexpr std::uint32_t grey(std::uint32_t v) {
    return argb(0, v, v, v);
}

// A hash of (x, y, seed): noise that uses every bit.
inline std::uint32_t noisy(std::int32_t x, std::int32_t y, std::uint32_t seed) {
    std::uint32_t h = static_cast<std::uint32_t>(x) * 73856093u ^
                      static_cast<std::uint32_t>(y) * 19349663u ^ seed * 83492791u;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return h;
}

// One step of an ANIM chunk.
struct AnimStep {
    std::uint32_t end;
    std::uint16_t kind;
    std::uint8_t easing = 1;
    bool additive = false;
    std::int32_t amount = 0;
};

// An ANIM chunk: 256 bytes of header, then 24 bytes per step.
inline std::vector<std::uint8_t> anim_chunk(const std::vector<AnimStep>& steps,
                                            bool absolute = false, std::int32_t start = 0,
                                            std::uint16_t version = 3) {
    std::vector<std::uint8_t> data(256 + 24 * steps.size(), 0);
    std::memcpy(data.data(), "Anim", 4);
    std::memcpy(data.data() + 4, &version, 2);
    const auto count = static_cast<std::uint16_t>(steps.size());
    std::memcpy(data.data() + 6, &count, 2);
    data[12] = absolute ? 1 : 0;
    std::memcpy(data.data() + 16, &start, 4);
    for (std::size_t i = 0; i < steps.size(); ++i) {
        std::uint8_t* p = data.data() + 256 + 24 * i;
        std::memcpy(p, &steps[i].end, 4);
        std::memcpy(p + 4, &steps[i].kind, 2);
        p[6] = steps[i].easing;
        p[8] = steps[i].additive ? 1 : 0;
        std::memcpy(p + 16, &steps[i].amount, 4);
    }
    return data;
}

using PixelFill = std::function<std::uint32_t(std::int32_t, std::int32_t)>;

inline std::uint32_t& pixel(Bitmap& bmp, std::int32_t x, std::int32_t y) {
    return bmp.pixels[static_cast<std::size_t>(y) * bmp.stride + static_cast<std::size_t>(x)];
}
inline void fill_bitmap(Bitmap& bmp, const PixelFill& fill) {
    for (std::uint32_t y = 0; y < bmp.height; ++y)
        for (std::uint32_t x = 0; x < bmp.width; ++x)
            pixel(bmp, static_cast<std::int32_t>(x), static_cast<std::int32_t>(y)) =
                fill(static_cast<std::int32_t>(x), static_cast<std::int32_t>(y));
}
// What a w x h picture filled by `fill` holds, for comparing whole pictures.
inline std::vector<std::uint32_t> pixels_from(std::int32_t w, std::int32_t h,
                                              const PixelFill& fill) {
    std::vector<std::uint32_t> out;
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x)
            out.push_back(fill(x, y));
    return out;
}
// The pixels row by row, without the stride's padding.
inline std::vector<std::uint32_t> bitmap_pixels(Bitmap& bmp) {
    std::vector<std::uint32_t> out;
    for (std::uint32_t y = 0; y < bmp.height; ++y)
        out.insert(out.end(), bmp.pixels + std::size_t{y} * bmp.stride,
                   bmp.pixels + std::size_t{y} * bmp.stride + bmp.width);
    return out;
}

class Picture {
public:
    // CreateBitmap flags, spelled out so that a one-pixel list is never taken for them.
    struct Flags {
        std::uint32_t value;
    };
    Picture(Flags flags, std::int32_t w, std::int32_t h) {
        EXPECT_EQ(image::CreateBitmap(&m_bmp, w, h, flags.value), 1);
    }
    Picture(std::int32_t w, std::int32_t h) : Picture(Flags{image::kCreateMemory}, w, h) {}
    Picture(std::int32_t w, std::int32_t h, const std::vector<std::uint32_t>& pixels)
        : Picture(w, h, [&](std::int32_t x, std::int32_t y) {
              return pixels[static_cast<std::size_t>(y * w + x)];
          }) {}
    Picture(std::int32_t w, std::int32_t h, const PixelFill& fill) : Picture(w, h) {
        fill_bitmap(m_bmp, fill);
    }
    ~Picture() { image::FreeBitmap(&m_bmp); }
    Picture(const Picture&) = delete;
    Picture& operator=(const Picture&) = delete;

    Bitmap* get() { return &m_bmp; }
    std::int32_t width() const { return static_cast<std::int32_t>(m_bmp.width); }
    std::int32_t height() const { return static_cast<std::int32_t>(m_bmp.height); }
    std::uint32_t& at(std::int32_t x, std::int32_t y) { return pixel(m_bmp, x, y); }
    std::vector<std::uint32_t> pixels() { return bitmap_pixels(m_bmp); }

private:
    Bitmap m_bmp{};
};

class LayerStack {
public:
    LayerStack() = default;
    ~LayerStack() {
        for (Layer& layer : m_layers)
            image::release_layer(layer);
    }
    LayerStack(const LayerStack&) = delete;
    LayerStack& operator=(const LayerStack&) = delete;

    // Adds a layer of w x h at (x, y) whose pixels come from `fill` (memory kind unless told).
    Layer& add(std::int32_t w, std::int32_t h, std::int32_t x = 0, std::int32_t y = 0,
               const PixelFill& fill = {}, std::uint32_t flags = image::kCreateMemory) {
        m_layers.emplace_back();
        Layer& layer = m_layers.back();
        std::memset(&layer, 0, sizeof layer);
        layer.x = x;
        layer.y = y;
        EXPECT_EQ(image::CreateBitmap(&layer.bitmap, w, h, flags), 1);
        if (fill)
            fill_bitmap(layer.bitmap, fill);
        return layer;
    }
    // A layer whose bitmap record stays zeroed (not a valid bitmap).
    Layer& add_invalid() {
        m_layers.emplace_back();
        std::memset(&m_layers.back(), 0, sizeof(Layer));
        return m_layers.back();
    }

    static void set_markup(Layer& layer, const std::string& text) {
        ASSERT_NE(image::replace_layer_chunk(layer, image::kTagMark,
                                             static_cast<std::uint32_t>(text.size() + 1),
                                             text.c_str()),
                  0);
    }
    static std::string markup(const Layer& layer) {
        image::MetaChunk c{};
        if (!image::find_layer_chunk(layer, image::kTagMark, c))
            return "<none>";
        return std::string(reinterpret_cast<const char*>(c.data),
                           strnlen(reinterpret_cast<const char*>(c.data), c.size));
    }
    static std::string value(const Layer& layer, const char* key) {
        const std::string text = markup(layer);
        char buffer[257] = {};
        if (image::find_markup_value(text.c_str(), key, buffer, sizeof buffer) == nullptr)
            return "<none>";
        return buffer;
    }

    static std::uint32_t& at(Layer& layer, std::int32_t x, std::int32_t y) {
        return pixel(layer.bitmap, x, y);
    }
    static std::vector<std::uint32_t> pixels(Layer& layer) { return bitmap_pixels(layer.bitmap); }

    Layer* data() { return m_layers.data(); }
    std::uint32_t count() const { return static_cast<std::uint32_t>(m_layers.size()); }
    Layer& operator[](std::size_t i) { return m_layers[i]; }

private:
    // Layers keep their address once added: reserve enough for every test.
    std::vector<Layer> m_layers = [] {
        std::vector<Layer> v;
        v.reserve(8);
        return v;
    }();
};

} // namespace vt::gfx::testing
