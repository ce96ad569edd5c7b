#include "suite/core/image_codecs.h"
#include "suite/core/jpeg_glue.h"

namespace vt::core {

bool decode_jpeg(std::span<const std::uint8_t> data, Decoded& out) {
    std::uint32_t* pixels = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    if (!vt_core_jpeg_decode(data.data(), data.size(), kMaxSide, kMaxPixels, &pixels, &width,
                             &height))
        return false;
    out.pixels.reset(pixels);
    out.width = width;
    out.height = height;
    return true;
}

bool encode_jpeg(const Picture& picture, int quality, Bytes& out) {
    std::uint8_t* data = nullptr;
    unsigned long size = 0;
    if (!vt_core_jpeg_encode(picture.pixels, picture.width, picture.height, picture.stride, quality,
                             &data, &size))
        return false;
    const std::unique_ptr<std::uint8_t, FreeDeleter> owner(data);
    out.assign(data, data + size);
    return true;
}

} // namespace vt::core
