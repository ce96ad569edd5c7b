#include <cstring>

#include <png.h>

#include "suite/core/image_codecs.h"

namespace vt::core {

namespace {

// png_image must be released on every path.
struct PngImage {
    png_image image{};
    PngImage() { image.version = PNG_IMAGE_VERSION; }
    ~PngImage() { png_image_free(&image); }
    PngImage(const PngImage&) = delete;
    PngImage& operator=(const PngImage&) = delete;
};

// Alpha (as the codec stores it) and transparency (as pictures hold it) are each other's
// complement.
void flip_alpha(std::uint32_t* pixels, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        pixels[i] ^= 0xFF000000u;
}

} // namespace

bool decode_png(std::span<const std::uint8_t> data, Decoded& out) {
    PngImage png;
    if (!png_image_begin_read_from_memory(&png.image, data.data(), data.size()))
        return false;
    png.image.format = PNG_FORMAT_BGRA;
    Pixels pixels = allocate_pixels(png.image.width, png.image.height);
    if (pixels == nullptr)
        return false;
    if (!png_image_finish_read(&png.image, nullptr, pixels.get(),
                               static_cast<png_int_32>(png.image.width * 4), nullptr))
        return false;
    flip_alpha(pixels.get(), static_cast<std::size_t>(png.image.width) * png.image.height);
    out.width = png.image.width;
    out.height = png.image.height;
    out.pixels = std::move(pixels);
    return true;
}

bool encode_png(const Picture& picture, Bytes& out) {
    const bool alpha = picture.transparent();
    const std::size_t channels = alpha ? 4 : 3;
    Bytes rows(static_cast<std::size_t>(picture.width) * picture.height * channels);
    std::uint8_t* p = rows.data();
    for (std::uint32_t y = 0; y < picture.height; ++y) {
        const std::uint32_t* row = picture.row(y);
        for (std::uint32_t x = 0; x < picture.width; ++x) {
            const std::uint32_t v = row[x];
            *p++ = static_cast<std::uint8_t>(v);
            *p++ = static_cast<std::uint8_t>(v >> 8);
            *p++ = static_cast<std::uint8_t>(v >> 16);
            if (alpha)
                *p++ = static_cast<std::uint8_t>(255 - (v >> 24));
        }
    }
    PngImage png;
    png.image.width = picture.width;
    png.image.height = picture.height;
    png.image.format = alpha ? PNG_FORMAT_BGRA : PNG_FORMAT_BGR;
    png_alloc_size_t size = 0;
    const auto stride = static_cast<png_int_32>(picture.width * channels);
    if (!png_image_write_get_memory_size(png.image, size, 0, rows.data(), stride, nullptr))
        return false;
    out.resize(size);
    if (!png_image_write_to_memory(&png.image, out.data(), &size, 0, rows.data(), stride, nullptr))
        return false;
    out.resize(size);
    return true;
}

} // namespace vt::core
