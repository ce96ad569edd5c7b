#include "suite/core/image_io.h"

#include <cstring>
#include <string>
#include <string_view>

#include "sdk/kit/paths.h"
#include "suite/core/image_codecs.h"

namespace vt::core {

namespace {

enum class Format { kUnknown, kPng, kJpeg, kBmp, kGif, kWebp };

Format format_of_name(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
        return Format::kUnknown;
    std::string ext(path.substr(dot + 1));
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    if (ext == "png")
        return Format::kPng;
    if (ext == "jpg" || ext == "jpeg" || ext == "jpe")
        return Format::kJpeg;
    if (ext == "bmp")
        return Format::kBmp;
    if (ext == "gif")
        return Format::kGif;
    if (ext == "webp")
        return Format::kWebp;
    return Format::kUnknown;
}

Format format_of_bytes(std::span<const std::uint8_t> d) {
    static constexpr std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (d.size() >= 8 && std::memcmp(d.data(), kPngSignature, 8) == 0)
        return Format::kPng;
    if (d.size() >= 3 && d[0] == 0xFF && d[1] == 0xD8 && d[2] == 0xFF)
        return Format::kJpeg;
    if (d.size() >= 6 &&
        (std::memcmp(d.data(), "GIF87a", 6) == 0 || std::memcmp(d.data(), "GIF89a", 6) == 0))
        return Format::kGif;
    if (d.size() >= 12 && std::memcmp(d.data(), "RIFF", 4) == 0 &&
        std::memcmp(d.data() + 8, "WEBP", 4) == 0)
        return Format::kWebp;
    if (d.size() >= 2 && d[0] == 'B' && d[1] == 'M')
        return Format::kBmp;
    return Format::kUnknown;
}

bool decode(Format format, std::span<const std::uint8_t> data, Decoded& out) {
    switch (format) {
    case Format::kPng:
        return decode_png(data, out);
    case Format::kJpeg:
        return decode_jpeg(data, out);
    case Format::kBmp:
        return decode_bmp(data, out);
    case Format::kGif:
        return decode_gif(data, out);
    case Format::kWebp:
        return decode_webp(data, out);
    case Format::kUnknown:
        break;
    }
    return false;
}

bool request_usable(const VtCoreRequest* request) {
    return request != nullptr && request->version == VT_CORE_REQUEST_VERSION;
}

} // namespace

bool Picture::transparent() const noexcept {
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x)
            if ((row(y)[x] >> 24) != 0)
                return true;
    return false;
}

std::int32_t load_image(VtCoreImage* image, const std::uint16_t* path, VtCoreRequest* request) {
    if (image == nullptr || path == nullptr || !request_usable(request))
        return 0;
    Bytes bytes;
    if (kit::read_file(path, bytes) != VT_OK || bytes.empty())
        return 0;
    Format format = format_of_name(kit::to_utf8(path));
    if (format == Format::kUnknown)
        format = format_of_bytes(bytes);
    Decoded decoded;
    if (!decode(format, bytes, decoded) || decoded.pixels == nullptr)
        return 0;
    image->width = decoded.width;
    image->height = decoded.height;
    image->stride = decoded.width;
    image->pixels = decoded.pixels.release();
    request->answer = 1;
    return 1;
}

std::int32_t save_image(const VtCoreImage* image, const std::uint16_t* path,
                        VtCoreRequest* request) {
    if (image == nullptr || path == nullptr || !request_usable(request) ||
        image->pixels == nullptr || !size_allowed(image->width, image->height) ||
        image->stride < image->width)
        return 0;
    const Format format = format_of_name(kit::to_utf8(path));
    const Picture picture{image->width, image->height, image->stride, image->pixels};
    int quality = static_cast<int>(request->flags & 0xFF);
    if (quality == 0)
        quality = 90;
    Bytes bytes;
    bool encoded = false;
    switch (format) {
    case Format::kPng:
        encoded = encode_png(picture, bytes);
        break;
    case Format::kJpeg:
        encoded = encode_jpeg(picture, quality > 100 ? 100 : quality, bytes);
        break;
    case Format::kBmp:
        encoded = encode_bmp(picture, bytes);
        break;
    case Format::kGif:
        encoded = encode_gif(picture, bytes);
        break;
    case Format::kWebp:
        encoded = encode_webp(picture, quality > 100 ? 100 : quality, bytes);
        break;
    case Format::kUnknown:
        break;
    }
    if (!encoded || bytes.empty() || kit::write_target_bytes(path, bytes) != VT_OK)
        return 0;
    request->answer = 1;
    return 1;
}

} // namespace vt::core
