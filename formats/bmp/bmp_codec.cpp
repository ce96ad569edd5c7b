// BMP reader and writer of fmx_BMP.

#include "formats/bmp/bmp_codec.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <vector>

namespace vt::formats {
namespace {

constexpr std::uint32_t kRgb = 0;
constexpr std::uint32_t kRle8 = 1;
constexpr std::uint32_t kRle4 = 2;
constexpr std::uint32_t kBitFields = 3;
constexpr std::uint32_t kJpeg = 4;
constexpr std::uint32_t kPng = 5;
constexpr std::uint32_t kAlphaBitFields = 6;
constexpr std::uint32_t kTransparent = 0xFF000000u;
constexpr std::uint32_t kProfileEmbedded = 0x4D424544; // "MBED"
constexpr std::uint32_t kIntentImages = 4;             // LCS_GM_IMAGES, perceptual
// 25,400 pixels per inch: no scanner or screen comes near, so a larger density is garbage.
constexpr std::int64_t kMaxDensity = 1000000;
// An RLE stream may describe a large empty picture in a few bytes (end of line, delta, end of
// bitmap); past this many pixels it has to bring bytes in proportion.
constexpr std::uint64_t kRleFreePixels = 1u << 24;
constexpr std::uint64_t kRlePixelsPerByte = 256;

std::uint16_t u16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
std::uint32_t u32(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
           (static_cast<std::uint32_t>(b[at + 2]) << 16) |
           (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
std::int32_t i32(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::int32_t>(u32(b, at));
}

void put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(std::uint8_t* p, std::uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}

// Scales the bits of `mask` in `value` to 0..255.
std::uint32_t channel(std::uint32_t value, std::uint32_t mask) {
    if (mask == 0)
        return 0;
    const int shift = std::countr_zero(mask);
    const std::uint64_t max = mask >> shift;
    const std::uint64_t v = (value & mask) >> shift;
    return static_cast<std::uint32_t>((v * 255 + max / 2) / max);
}

std::uint32_t row_bytes(const BmpHeader& h) {
    return static_cast<std::uint32_t>(
        ((static_cast<std::uint64_t>(h.width) * h.bits_per_pixel + 31) / 32) * 4);
}

std::span<std::uint32_t> row_of(std::uint32_t* pixels, std::uint32_t stride, const BmpHeader& h,
                                std::uint32_t file_row) {
    const std::uint32_t y = h.top_down ? file_row : h.height - 1 - file_row;
    return {pixels + static_cast<std::size_t>(y) * stride, h.width};
}

std::int32_t decode_plain(std::span<const std::uint8_t> data, const BmpHeader& h,
                          std::uint32_t* pixels, std::uint32_t stride) {
    const std::uint32_t pitch = row_bytes(h);
    const std::uint32_t bpp = h.bits_per_pixel;
    for (std::uint32_t r = 0; r < h.height; ++r) {
        const std::span<const std::uint8_t> src = data.subspan(
            static_cast<std::size_t>(r) * pitch,
            std::min<std::size_t>(pitch, data.size() - static_cast<std::size_t>(r) * pitch));
        const std::span<std::uint32_t> out = row_of(pixels, stride, h, r);
        for (std::uint32_t x = 0; x < h.width; ++x) {
            if (bpp <= 8) {
                const std::uint32_t bit = x * bpp;
                const std::uint32_t byte = src[bit / 8];
                const std::uint32_t index = (byte >> (8 - bpp - bit % 8)) & ((1u << bpp) - 1);
                if (index >= h.palette_size)
                    return -44;
                out[x] = h.palette[index];
            } else if (bpp == 24) {
                out[x] = static_cast<std::uint32_t>(src[x * 3]) |
                         (static_cast<std::uint32_t>(src[x * 3 + 1]) << 8) |
                         (static_cast<std::uint32_t>(src[x * 3 + 2]) << 16);
            } else {
                const std::uint32_t v = bpp == 16 ? u16(src, x * 2) : u32(src, x * 4);
                const std::uint32_t alpha = h.alpha ? channel(v, h.masks[3]) : 255;
                out[x] = channel(v, h.masks[2]) | (channel(v, h.masks[1]) << 8) |
                         (channel(v, h.masks[0]) << 16) | ((255 - alpha) << 24);
            }
        }
    }
    return 1;
}

std::int32_t decode_rle(std::span<const std::uint8_t> data, const BmpHeader& h,
                        std::uint32_t* pixels, std::uint32_t stride) {
    for (std::uint32_t y = 0; y < h.height; ++y)
        std::fill_n(pixels + static_cast<std::size_t>(y) * stride, h.width, kTransparent);
    const bool four = h.compression == kRle4;
    std::uint32_t x = 0;
    std::uint32_t r = 0;
    std::size_t pos = 0;
    auto put = [&](std::uint32_t index) {
        if (index >= h.palette_size)
            return false;
        row_of(pixels, stride, h, r)[x++] = h.palette[index];
        return true;
    };
    while (pos + 2 <= data.size()) {
        const std::uint32_t n = data[pos];
        const std::uint32_t c = data[pos + 1];
        pos += 2;
        if (n > 0) {
            if (r >= h.height || n > h.width - x)
                return -44;
            for (std::uint32_t i = 0; i < n; ++i)
                if (!put(four ? ((i % 2 == 0) ? c >> 4 : c & 15) : c))
                    return -44;
        } else if (c == 0) {
            x = 0;
            ++r;
        } else if (c == 1) {
            return 1;
        } else if (c == 2) {
            if (pos + 2 > data.size())
                return -42;
            x += data[pos];
            r += data[pos + 1];
            pos += 2;
            if (x > h.width || r > h.height)
                return -44;
        } else {
            const std::size_t bytes = four ? (c + 1) / 2 : c;
            if (pos + bytes > data.size())
                return -42;
            if (r >= h.height || c > h.width - x)
                return -44;
            for (std::uint32_t i = 0; i < c; ++i) {
                const std::uint32_t b = data[pos + (four ? i / 2 : i)];
                if (!put(four ? ((i % 2 == 0) ? b >> 4 : b & 15) : b))
                    return -44;
            }
            pos += (bytes + 1) & ~static_cast<std::size_t>(1);
        }
    }
    // Streams that stop without an end-of-bitmap code are common; what came is kept.
    return 1;
}

} // namespace

std::int32_t read_bmp_header(std::span<const std::uint8_t> file, BmpHeader& h) {
    h = BmpHeader{};
    if (file.size() < 2 || file[0] != 'B' || file[1] != 'M')
        return -1;
    if (file.size() < 18)
        return -42;
    const std::uint32_t file_size = u32(file, 2);
    const std::uint32_t offset = u32(file, 10);
    const std::uint32_t info = u32(file, 14);
    const bool core = info == 12;
    const bool windows = info == 40 || info == 52 || info == 56 || info == 108 || info == 124;
    const bool os2 = !core && !windows && info >= 16 && info <= 64;
    if (!core && !windows && !os2)
        return -44;
    if (file.size() < 14 + static_cast<std::size_t>(info))
        return -42;

    std::int64_t width = 0;
    std::int64_t height = 0;
    std::uint32_t planes = 0;
    std::uint32_t colours_used = 0;
    std::uint32_t image_size = 0;
    if (core) {
        width = u16(file, 18);
        height = u16(file, 20);
        planes = u16(file, 22);
        h.bits_per_pixel = u16(file, 24);
    } else {
        width = i32(file, 18);
        height = i32(file, 22);
        planes = u16(file, 26);
        h.bits_per_pixel = u16(file, 28);
        h.compression = info >= 20 ? u32(file, 30) : 0;
        image_size = info >= 24 ? u32(file, 34) : 0;
        h.ppm_x = info >= 28 ? i32(file, 38) : 0;
        h.ppm_y = info >= 32 ? i32(file, 42) : 0;
        colours_used = info >= 36 ? u32(file, 46) : 0;
    }
    const std::uint32_t bpp = h.bits_per_pixel;
    if (planes != 1 ||
        (bpp != 1 && bpp != 2 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32))
        return -44;
    if (h.ppm_x < 0 || h.ppm_y < 0 || h.ppm_x > kMaxDensity || h.ppm_y > kMaxDensity)
        return -44;
    if (os2 && h.compression != kRgb)
        return -2; // Huffman 1D and RLE24
    switch (h.compression) {
    case kRgb:
        break;
    case kRle8:
    case kRle4:
        if (bpp != (h.compression == kRle8 ? 8u : 4u) || height < 0)
            return -44;
        break;
    case kBitFields:
    case kAlphaBitFields:
        if (bpp != 16 && bpp != 32)
            return -44;
        break;
    case kJpeg:
    case kPng:
        return -2;
    default:
        return -44;
    }
    if (height < 0) {
        h.top_down = true;
        height = -height;
    }
    if (width < 1 || height < 1 || width > kBmpMaxSide || height > kBmpMaxSide ||
        static_cast<std::uint64_t>(width * height) > kBmpMaxPixels)
        return -13;
    h.width = static_cast<std::uint32_t>(width);
    h.height = static_cast<std::uint32_t>(height);
    // A file size in the header beyond the bytes present means a cut file.
    if (file_size > file.size())
        return -42;
    // A profile that does not lie inside the file is dropped, never a reason to lose pixels.
    if (info == 124 && u32(file, 14 + 56) == kProfileEmbedded) {
        const std::uint64_t at = 14 + static_cast<std::uint64_t>(u32(file, 14 + 112));
        const std::uint64_t size = u32(file, 14 + 116);
        if (size > 0 && at >= 14 + 124 && at + size <= file.size()) {
            h.icc_offset = static_cast<std::size_t>(at);
            h.icc_size = static_cast<std::size_t>(size);
        }
    }

    // Masks: inside V3+ headers, after a 40-byte one.
    std::size_t palette_at = 14 + static_cast<std::size_t>(info);
    if (h.compression == kBitFields || h.compression == kAlphaBitFields) {
        const std::size_t count = h.compression == kAlphaBitFields ? 4 : 3;
        const std::size_t masks_at = 54;
        if (file.size() < masks_at + count * 4)
            return -42;
        if (info == 40) {
            palette_at += count * 4;
            if (file.size() < palette_at)
                return -42;
        }
        for (std::size_t i = 0; i < count; ++i)
            h.masks[i] = u32(file, masks_at + i * 4);
        if (count == 3 && info >= 56)
            h.masks[3] = u32(file, 66);
        h.alpha = h.masks[3] != 0;
        if (h.masks[0] == 0 && h.masks[1] == 0 && h.masks[2] == 0)
            return -44;
        if (bpp == 16)
            for (std::uint32_t& m : h.masks)
                m &= 0xFFFF;
    } else if (bpp == 16) {
        h.masks[0] = 0x7C00;
        h.masks[1] = 0x03E0;
        h.masks[2] = 0x001F;
    } else if (bpp == 32) {
        h.masks[0] = 0xFF0000;
        h.masks[1] = 0xFF00;
        h.masks[2] = 0xFF;
    }

    if (offset < palette_at || offset > file.size())
        return -44;
    if (bpp <= 8) {
        const std::size_t entry = core ? 3 : 4;
        const std::uint64_t claimed = colours_used == 0 ? (1u << bpp) : colours_used;
        const std::size_t room = (offset - palette_at) / entry;
        if (claimed > 256 && claimed > room)
            return -44;
        h.palette_size = static_cast<std::uint32_t>(std::min<std::uint64_t>({claimed, 256, room}));
        for (std::uint32_t i = 0; i < h.palette_size; ++i) {
            const std::size_t at = palette_at + i * entry;
            h.palette[i] = static_cast<std::uint32_t>(file[at]) |
                           (static_cast<std::uint32_t>(file[at + 1]) << 8) |
                           (static_cast<std::uint32_t>(file[at + 2]) << 16);
        }
        if (h.palette_size == 0)
            return -44;
    }

    h.data_offset = offset;
    h.data_size = file.size() - offset;
    const std::uint64_t pitch = row_bytes(h);
    const std::uint64_t needed =
        pitch * (h.height - 1) + (static_cast<std::uint64_t>(h.width) * bpp + 7) / 8;
    if (h.compression == kRle8 || h.compression == kRle4) {
        if (image_size != 0 && image_size < h.data_size)
            h.data_size = image_size;
        if (static_cast<std::uint64_t>(h.width) * h.height >
            std::max<std::uint64_t>(kRleFreePixels, h.data_size * kRlePixelsPerByte))
            return -42;
    } else {
        if (h.data_size < needed)
            return -42;
        if (image_size > h.data_size && image_size > needed)
            return -44;
    }
    return 1;
}

std::int32_t decode_bmp(std::span<const std::uint8_t> file, const BmpHeader& h,
                        std::uint32_t* pixels, std::uint32_t stride) {
    const std::span<const std::uint8_t> data = file.subspan(h.data_offset, h.data_size);
    if (h.compression == kRle8 || h.compression == kRle4)
        return decode_rle(data, h, pixels, stride);
    return decode_plain(data, h, pixels, stride);
}

std::int32_t write_bmp(std::FILE* file, const std::uint32_t* pixels, std::uint32_t width,
                       std::uint32_t height, std::uint32_t stride, bool alpha,
                       const BmpExtras& extras) {
    const std::uint32_t bpp = alpha ? 32 : 24;
    const std::uint32_t pitch = ((width * bpp + 31) / 32) * 4;
    const std::uint64_t pixel_bytes = static_cast<std::uint64_t>(pitch) * height;
    bool profile = !extras.icc.empty();
    if (profile && 14 + 124 + pixel_bytes + extras.icc.size() > 0xFFFFFFFFu)
        profile = false;
    const std::uint32_t info = profile ? 124 : alpha ? 108 : 40;
    const std::uint32_t offset = 14 + info;
    const std::uint64_t total = offset + pixel_bytes + (profile ? extras.icc.size() : 0);
    if (total > 0xFFFFFFFFu)
        return -13;
    std::uint8_t head[14 + 124] = {};
    head[0] = 'B';
    head[1] = 'M';
    put32(head + 2, static_cast<std::uint32_t>(total));
    put32(head + 10, offset);
    put32(head + 14, info);
    put32(head + 18, width);
    put32(head + 22, height); // positive: bottom-up, what every reader knows
    put16(head + 26, 1);
    put16(head + 28, bpp);
    put32(head + 30, alpha ? kBitFields : kRgb);
    put32(head + 34, pitch * height);
    put32(head + 38, extras.ppm_x);
    put32(head + 42, extras.ppm_y);
    if (alpha) {
        put32(head + 54, 0x00FF0000);
        put32(head + 58, 0x0000FF00);
        put32(head + 62, 0x000000FF);
        put32(head + 66, 0xFF000000);
    }
    if (profile) {
        put32(head + 14 + 56, kProfileEmbedded);
        put32(head + 14 + 108, kIntentImages);
        put32(head + 14 + 112, static_cast<std::uint32_t>(124 + pixel_bytes));
        put32(head + 14 + 116, static_cast<std::uint32_t>(extras.icc.size()));
    } else if (alpha) {
        std::memcpy(head + 70, "BGRs", 4); // colour space sRGB
    }
    if (std::fwrite(head, 1, offset, file) != offset)
        return -43;
    std::vector<std::uint8_t> row(pitch, 0);
    for (std::uint32_t y = height; y-- > 0;) {
        const std::span<const std::uint32_t> src(pixels + static_cast<std::size_t>(y) * stride,
                                                 width);
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint32_t p = src[x];
            if (alpha) {
                put32(&row[x * 4], (p & 0x00FFFFFF) | ((255 - (p >> 24)) << 24));
            } else {
                row[x * 3] = static_cast<std::uint8_t>(p);
                row[x * 3 + 1] = static_cast<std::uint8_t>(p >> 8);
                row[x * 3 + 2] = static_cast<std::uint8_t>(p >> 16);
            }
        }
        if (std::fwrite(row.data(), 1, pitch, file) != pitch)
            return -43;
    }
    if (profile && std::fwrite(extras.icc.data(), 1, extras.icc.size(), file) != extras.icc.size())
        return -43;
    return 1;
}

} // namespace vt::formats
