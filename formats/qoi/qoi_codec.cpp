// The QOI reader and writer on the reference codec: the header and the chunk walk here guard
// it, so it never sees a size it would allocate for without the bytes to fill it.

#include "formats/qoi/qoi_codec.h"

#include <qoi.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "sdk/vt_plugin.h"

namespace vt::formats {
namespace {

constexpr std::size_t kHeaderBytes = 14;
constexpr std::size_t kEndBytes = 8;

std::uint32_t be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// Whether the chunks cover `wanted` pixels and the end marker follows them: a file cut anywhere
// fails one or the other.
bool chunks_complete(std::span<const std::uint8_t> file, std::uint64_t wanted) {
    static constexpr std::uint8_t kEnd[kEndBytes] = {0, 0, 0, 0, 0, 0, 0, 1};
    const std::size_t end = file.size() - kEndBytes;
    std::uint64_t covered = 0;
    std::size_t p = kHeaderBytes;
    while (p < end && covered < wanted) {
        const std::uint8_t b = file[p];
        if (b == 0xFE) {
            p += 4;
            covered += 1;
        } else if (b == 0xFF) {
            p += 5;
            covered += 1;
        } else if ((b & 0xC0) == 0xC0) {
            p += 1;
            covered += (b & 0x3F) + 1u;
        } else if ((b & 0xC0) == 0x80) {
            p += 2;
            covered += 1;
        } else {
            p += 1;
            covered += 1;
        }
    }
    return covered >= wanted && p <= end && std::memcmp(&file[p], kEnd, kEndBytes) == 0;
}

} // namespace

std::int32_t read_qoi_header(std::span<const std::uint8_t> file, QoiHeader& header) {
    if (file.size() < 4 || file[0] != 'q' || file[1] != 'o' || file[2] != 'i' || file[3] != 'f')
        return VT_ERR_CORRUPT_OR_UNSUPPORTED;
    if (file.size() < kHeaderBytes)
        return VT_ERR_READ;
    header.width = be32(&file[4]);
    header.height = be32(&file[8]);
    header.channels = file[12];
    header.linear = file[13] == 1;
    if ((header.channels != 3 && header.channels != 4) || file[13] > 1)
        return VT_ERR_INVALID_DATA;
    const std::uint64_t pixels = std::uint64_t{header.width} * header.height;
    if (header.width == 0 || header.height == 0 || header.width > kQoiMaxSide ||
        header.height > kQoiMaxSide || pixels > kQoiMaxPixels || file.size() > INT_MAX)
        return VT_ERR_DIMENSIONS;
    if (file.size() < kHeaderBytes + kEndBytes + 1 ||
        pixels > std::uint64_t{file.size() - kHeaderBytes - kEndBytes} * 62)
        return VT_ERR_READ;
    return VT_OK;
}

std::int32_t decode_qoi(std::span<const std::uint8_t> file, const QoiHeader& header,
                        std::uint32_t* pixels, std::uint32_t stride) {
    const std::uint64_t count = std::uint64_t{header.width} * header.height;
    if (!chunks_complete(file, count))
        return VT_ERR_READ;
    qoi_desc desc{};
    const std::unique_ptr<std::uint8_t, FreeDeleter> rgba(static_cast<std::uint8_t*>(
        qoi_decode(file.data(), static_cast<int>(file.size()), &desc, 4)));
    if (!rgba)
        return VT_ERR_INVALID_DATA;
    if (desc.width != header.width || desc.height != header.height)
        return VT_ERR_INVALID_DATA;
    const std::uint8_t* s = rgba.get();
    for (std::uint32_t y = 0; y < header.height; ++y) {
        std::uint32_t* row = pixels + std::size_t{y} * stride;
        for (std::uint32_t x = 0; x < header.width; ++x, s += 4)
            row[x] = std::uint32_t{s[2]} | std::uint32_t{s[1]} << 8 | std::uint32_t{s[0]} << 16 |
                     std::uint32_t{255u - s[3]} << 24;
    }
    return VT_OK;
}

std::int32_t write_qoi(std::FILE* file, const std::uint32_t* pixels, std::uint32_t width,
                       std::uint32_t height, std::uint32_t stride, bool alpha, bool linear) {
    if (std::uint64_t{width} * height > kQoiMaxPixels)
        return VT_ERR_DIMENSIONS;
    const std::uint32_t channels = alpha ? 4 : 3;
    std::vector<std::uint8_t> samples(std::size_t{width} * height * channels);
    std::uint8_t* d = samples.data();
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint32_t* row = pixels + std::size_t{y} * stride;
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint32_t p = row[x];
            *d++ = static_cast<std::uint8_t>(p >> 16);
            *d++ = static_cast<std::uint8_t>(p >> 8);
            *d++ = static_cast<std::uint8_t>(p);
            if (alpha)
                *d++ = static_cast<std::uint8_t>(255u - (p >> 24));
        }
    }
    const qoi_desc desc{width, height, static_cast<unsigned char>(channels),
                        static_cast<unsigned char>(linear ? QOI_LINEAR : QOI_SRGB)};
    int size = 0;
    const std::unique_ptr<std::uint8_t, FreeDeleter> bytes(
        static_cast<std::uint8_t*>(qoi_encode(samples.data(), &desc, &size)));
    if (!bytes || size <= 0)
        return VT_ERR_OUT_OF_MEMORY;
    return std::fwrite(bytes.get(), 1, static_cast<std::size_t>(size), file) ==
                   static_cast<std::size_t>(size)
               ? VT_OK
               : VT_ERR_WRITE;
}

} // namespace vt::formats
