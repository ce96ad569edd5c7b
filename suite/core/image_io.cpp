#include "suite/core/image_io.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "suite/core/image_codecs.h"

namespace vt::core {

namespace {

enum class Format { kUnknown, kPng, kJpeg, kBmp, kGif, kWebp };

// A file read whole may not be larger than this (the largest picture's worth and some).
constexpr long kMaxFileBytes = 1L << 31;

// The UTF-16 path in the file system's UTF-8; unpaired surrogates become U+FFFD.
std::string utf8_path(const std::uint16_t* text) {
    std::string out;
    for (std::size_t i = 0; text[i] != 0; ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00u);
        else if (c >= 0xD800 && c < 0xE000)
            c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

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

struct File {
    std::FILE* f = nullptr;
    explicit File(std::FILE* file) : f(file) {}
    ~File() {
        if (f != nullptr)
            std::fclose(f);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
};

bool read_file(const std::string& path, Bytes& bytes) {
    File file(std::fopen(path.c_str(), "rb"));
    if (file.f == nullptr || std::fseek(file.f, 0, SEEK_END) != 0)
        return false;
    const long size = std::ftell(file.f);
    if (size <= 0 || size > kMaxFileBytes || std::fseek(file.f, 0, SEEK_SET) != 0)
        return false;
    bytes.resize(static_cast<std::size_t>(size));
    return std::fread(bytes.data(), 1, bytes.size(), file.f) == bytes.size();
}

bool write_file(const std::string& path, const Bytes& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    const bool closed = std::fclose(f) == 0;
    if (written && closed)
        return true;
    std::remove(path.c_str());
    return false;
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
    const std::string name = utf8_path(path);
    Bytes bytes;
    if (name.empty() || !read_file(name, bytes))
        return 0;
    Format format = format_of_name(name);
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
    const std::string name = utf8_path(path);
    const Format format = format_of_name(name);
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
    if (!encoded || bytes.empty() || !write_file(name, bytes))
        return 0;
    request->answer = 1;
    return 1;
}

} // namespace vt::core
