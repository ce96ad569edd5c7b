// PNG layers in memory.

#include "formats/ora/ora_png.h"

#include <cstring>

#include <png.h>

#include "sdk/kit/plugin_kit.h"

namespace vt::formats {

namespace {

// Deflate packs at most 1032 bytes into one: a PNG smaller than its raw rows over that cannot
// hold them.
constexpr std::uint64_t kDeflateRatio = 1032;

std::uint32_t be32(std::span<const std::uint8_t> b, std::size_t at) {
    return (static_cast<std::uint32_t>(b[at]) << 24) |
           (static_cast<std::uint32_t>(b[at + 1]) << 16) |
           (static_cast<std::uint32_t>(b[at + 2]) << 8) | b[at + 3];
}

std::uint64_t raw_bytes(std::span<const std::uint8_t> png, std::uint32_t width,
                        std::uint32_t height) {
    const std::uint32_t depth = png.size() > 24 ? png[24] : 1;
    const std::uint8_t type = png.size() > 25 ? png[25] : 0;
    const std::uint32_t channels = type == 2 ? 3 : type == 4 ? 2 : type == 6 ? 4 : 1;
    return std::uint64_t{height} * ((std::uint64_t{width} * depth * channels + 7) / 8 + 1);
}

// The pixels' transparency byte is the inverse of PNG's alpha.
void invert_top_bytes(std::uint32_t* pixels, std::uint32_t width, std::uint32_t height,
                      std::uint32_t stride) {
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x)
            pixels[static_cast<std::size_t>(y) * stride + x] ^= 0xFF000000u;
}

bool any_transparent(const std::uint32_t* pixels, std::uint32_t width, std::uint32_t height,
                     std::uint32_t stride) {
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x)
            if ((pixels[static_cast<std::size_t>(y) * stride + x] >> 24) != 0)
                return true;
    return false;
}

// libpng's simplified interface frees its structures itself, also after an error.
struct PngImage {
    png_image image{};
    PngImage() { image.version = PNG_IMAGE_VERSION; }
    ~PngImage() { png_image_free(&image); }
    PngImage(const PngImage&) = delete;
    PngImage& operator=(const PngImage&) = delete;
};

} // namespace

std::int32_t png_size(std::span<const std::uint8_t> png, std::uint32_t& width,
                      std::uint32_t& height) {
    static const std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (png.size() < 8 || std::memcmp(png.data(), kSignature, 8) != 0)
        return VT_ERR_CORRUPT_OR_UNSUPPORTED;
    if (png.size() < 26)
        return VT_ERR_READ;
    if (std::memcmp(png.data() + 12, "IHDR", 4) != 0)
        return VT_ERR_INVALID_DATA;
    width = be32(png, 16);
    height = be32(png, 20);
    return VT_OK;
}

std::int32_t load_png_frame(FilterCall* call, std::span<const std::uint8_t> png) {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    if (const std::int32_t r = png_size(png, width, height); r != VT_OK)
        return r;
    if (width < 1 || height < 1 || width > 65536 || height > 65536 ||
        std::uint64_t{width} * height > 250000000u)
        return VT_ERR_DIMENSIONS;
    if (png.size() < raw_bytes(png, width, height) / kDeflateRatio)
        return VT_ERR_READ;
    PngImage in;
    if (png_image_begin_read_from_memory(&in.image, png.data(), png.size()) == 0)
        return VT_ERR_INVALID_DATA;
    if (in.image.width != width || in.image.height != height)
        return VT_ERR_INVALID_DATA;
    in.image.format = PNG_FORMAT_BGRA;
    if (const std::int32_t r = kit::request_frame(call, width, height); r != VT_OK)
        return r;
    const auto row_stride = static_cast<png_int_32>(call->stride * 4);
    if (png_image_finish_read(&in.image, nullptr, call->pixels, row_stride, nullptr) == 0)
        return VT_ERR_INVALID_DATA;
    invert_top_bytes(call->pixels, width, height, call->stride);
    return VT_OK;
}

std::int32_t encode_png(const std::uint32_t* pixels, std::uint32_t width, std::uint32_t height,
                        std::uint32_t stride, std::vector<std::uint8_t>& out) {
    const bool alpha = any_transparent(pixels, width, height, stride);
    std::vector<std::uint32_t> rows(static_cast<std::size_t>(width) * height);
    for (std::uint32_t y = 0; y < height; ++y)
        std::memcpy(&rows[static_cast<std::size_t>(y) * width],
                    pixels + static_cast<std::size_t>(y) * stride, std::size_t{width} * 4);
    invert_top_bytes(rows.data(), width, height, width);
    PngImage image;
    image.image.width = width;
    image.image.height = height;
    image.image.format = PNG_FORMAT_BGRA;
    if (!alpha) {
        // Three bytes a pixel without the alpha channel: pack in place.
        auto* bytes = reinterpret_cast<std::uint8_t*>(rows.data());
        for (std::size_t i = 0; i < rows.size(); ++i)
            std::memmove(bytes + i * 3, bytes + i * 4, 3);
        image.image.format = PNG_FORMAT_BGR;
    }
    png_alloc_size_t size = 0;
    if (png_image_write_get_memory_size(image.image, size, 0, rows.data(), 0, nullptr) == 0)
        return VT_ERR_OUT_OF_MEMORY;
    out.resize(size);
    if (png_image_write_to_memory(&image.image, out.data(), &size, 0, rows.data(), 0, nullptr) == 0)
        return VT_ERR_OUT_OF_MEMORY;
    out.resize(size);
    return VT_OK;
}

SmallPicture reduce_picture(const std::uint32_t* pixels, std::uint32_t width, std::uint32_t height,
                            std::uint32_t stride, std::uint32_t side) {
    SmallPicture out;
    const std::uint32_t longer = width > height ? width : height;
    if (longer <= side) {
        out.width = width;
        out.height = height;
    } else {
        out.width = static_cast<std::uint32_t>(
            (static_cast<std::uint64_t>(width) * side + longer / 2) / longer);
        out.height = static_cast<std::uint32_t>(
            (static_cast<std::uint64_t>(height) * side + longer / 2) / longer);
        out.width = out.width < 1 ? 1 : out.width;
        out.height = out.height < 1 ? 1 : out.height;
    }
    out.pixels.resize(static_cast<std::size_t>(out.width) * out.height);
    for (std::uint32_t ty = 0; ty < out.height; ++ty) {
        const std::uint32_t y0 =
            static_cast<std::uint32_t>(std::uint64_t{ty} * height / out.height);
        std::uint32_t y1 = static_cast<std::uint32_t>(std::uint64_t{ty + 1} * height / out.height);
        y1 = y1 > y0 ? y1 : y0 + 1;
        for (std::uint32_t tx = 0; tx < out.width; ++tx) {
            const std::uint32_t x0 =
                static_cast<std::uint32_t>(std::uint64_t{tx} * width / out.width);
            std::uint32_t x1 =
                static_cast<std::uint32_t>(std::uint64_t{tx + 1} * width / out.width);
            x1 = x1 > x0 ? x1 : x0 + 1;
            std::uint64_t sum[3] = {};
            std::uint64_t opacity = 0;
            for (std::uint32_t y = y0; y < y1; ++y)
                for (std::uint32_t x = x0; x < x1; ++x) {
                    const std::uint32_t p = pixels[static_cast<std::size_t>(y) * stride + x];
                    const std::uint32_t a = 255 - (p >> 24);
                    for (int c = 0; c < 3; ++c)
                        sum[c] += ((p >> (8 * c)) & 0xFF) * a;
                    opacity += a;
                }
            const std::uint64_t count = std::uint64_t{y1 - y0} * (x1 - x0);
            std::uint32_t result = 0xFF000000u;
            if (opacity > 0) {
                result = (255 - static_cast<std::uint32_t>((opacity + count / 2) / count)) << 24;
                for (int c = 0; c < 3; ++c)
                    result |= static_cast<std::uint32_t>((sum[c] + opacity / 2) / opacity)
                              << (8 * c);
            }
            out.pixels[static_cast<std::size_t>(ty) * out.width + tx] = result;
        }
    }
    return out;
}

} // namespace vt::formats
