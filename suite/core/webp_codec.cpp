#include <webp/decode.h>
#include <webp/encode.h>

#include "suite/core/image_codecs.h"

namespace vt::core {

bool decode_webp(std::span<const std::uint8_t> data, Decoded& out) {
    int width = 0;
    int height = 0;
    if (!WebPGetInfo(data.data(), data.size(), &width, &height))
        return false;
    Pixels pixels =
        allocate_pixels(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
    if (pixels == nullptr)
        return false;
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    if (WebPDecodeBGRAInto(data.data(), data.size(), reinterpret_cast<std::uint8_t*>(pixels.get()),
                           count * 4, width * 4) == nullptr)
        return false;
    for (std::size_t i = 0; i < count; ++i)
        pixels[i] ^= 0xFF000000u;
    out.width = static_cast<std::uint32_t>(width);
    out.height = static_cast<std::uint32_t>(height);
    out.pixels = std::move(pixels);
    return true;
}

bool encode_webp(const Picture& picture, int quality, Bytes& out) {
    // The format's sides are limited to 16383.
    if (picture.width > WEBP_MAX_DIMENSION || picture.height > WEBP_MAX_DIMENSION)
        return false;
    Bytes bgra(static_cast<std::size_t>(picture.width) * picture.height * 4);
    std::uint8_t* p = bgra.data();
    for (std::uint32_t y = 0; y < picture.height; ++y) {
        const std::uint32_t* row = picture.row(y);
        for (std::uint32_t x = 0; x < picture.width; ++x) {
            const std::uint32_t v = row[x] ^ 0xFF000000u;
            for (int i = 0; i < 4; ++i)
                *p++ = static_cast<std::uint8_t>(v >> (8 * i));
        }
    }
    std::uint8_t* encoded = nullptr;
    const int w = static_cast<int>(picture.width);
    const int h = static_cast<int>(picture.height);
    const std::size_t size =
        quality >= 100
            ? WebPEncodeLosslessBGRA(bgra.data(), w, h, w * 4, &encoded)
            : WebPEncodeBGRA(bgra.data(), w, h, w * 4, static_cast<float>(quality), &encoded);
    if (size == 0 || encoded == nullptr) {
        WebPFree(encoded);
        return false;
    }
    out.assign(encoded, encoded + size);
    WebPFree(encoded);
    return true;
}

} // namespace vt::core
