// DDS reader and writer of fmx_DDS (Microsoft's DDS documentation).

#include "formats/dds/dds_codec.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace vt::formats {
namespace {

constexpr std::uint32_t kMaxSide = 65536;
constexpr std::uint64_t kMaxPixels = 250000000;
constexpr std::size_t kHeaderBytes = 128; // the magic and DDS_HEADER
constexpr std::uint32_t kAlphaPixels = 0x1;
constexpr std::uint32_t kAlphaOnly = 0x2;
constexpr std::uint32_t kFourCc = 0x4;
constexpr std::uint32_t kRgb = 0x40;
constexpr std::uint32_t kLuminance = 0x20000;

std::uint32_t le32(const std::uint8_t* p) {
    return p[0] | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

constexpr std::uint32_t fourcc(const char (&s)[5]) {
    return static_cast<std::uint32_t>(s[0]) | (static_cast<std::uint32_t>(s[1]) << 8) |
           (static_cast<std::uint32_t>(s[2]) << 16) | (static_cast<std::uint32_t>(s[3]) << 24);
}

// A masked field of a stored pixel scaled to 0..255.
std::uint32_t field(std::uint32_t value, std::uint32_t mask) {
    if (mask == 0)
        return 0;
    int shift = 0;
    while (((mask >> shift) & 1) == 0)
        ++shift;
    const std::uint32_t top = mask >> shift;
    const std::uint32_t v = (value & mask) >> shift;
    return static_cast<std::uint32_t>((static_cast<std::uint64_t>(v) * 255 + top / 2) / top);
}

// DXGI formats of the DX10 header that are read.
std::int32_t dxgi_layout(std::uint32_t format, DdsHeader& h) {
    switch (format) {
    case 71:
    case 72:
        h.layout = DdsLayout::kBc1;
        return 1;
    case 74:
    case 75:
        h.layout = DdsLayout::kBc2;
        return 1;
    case 77:
    case 78:
        h.layout = DdsLayout::kBc3;
        return 1;
    case 79: // BC4, BC5, BC6H and BC7: typeless, unsigned (and sRGB), signed
    case 80:
    case 81:
        h.layout = DdsLayout::kBc4;
        h.is_signed = format == 81;
        return 1;
    case 82:
    case 83:
    case 84:
        h.layout = DdsLayout::kBc5;
        h.is_signed = format == 84;
        return 1;
    case 94:
    case 95:
    case 96:
        h.layout = DdsLayout::kBc6h;
        h.is_signed = format == 96;
        return 1;
    case 97:
    case 98:
    case 99:
        h.layout = DdsLayout::kBc7;
        return 1;
    case 28:
    case 29:
        h.bits = 32;
        h.masks[0] = 0xFF;
        h.masks[1] = 0xFF00;
        h.masks[2] = 0xFF0000;
        h.masks[3] = 0xFF000000u;
        return 1;
    case 87:
    case 88:
    case 91:
    case 93:
        h.bits = 32;
        h.masks[0] = 0xFF0000;
        h.masks[1] = 0xFF00;
        h.masks[2] = 0xFF;
        h.masks[3] = (format == 87 || format == 91) ? 0xFF000000u : 0;
        return 1;
    default:
        return -2;
    }
}

std::size_t block_bytes(DdsLayout layout) {
    return layout == DdsLayout::kBc1 || layout == DdsLayout::kBc4 ? 8 : 16;
}

std::int32_t pixel_format(const std::uint8_t* pf, std::span<const std::uint8_t> file,
                          DdsHeader& h) {
    const std::uint32_t flags = le32(pf + 4);
    const std::uint32_t code = le32(pf + 8);
    h.data_offset = kHeaderBytes;
    if ((flags & kFourCc) != 0) {
        if (code == fourcc("DXT1")) {
            h.layout = DdsLayout::kBc1;
        } else if (code == fourcc("DXT2") || code == fourcc("DXT3")) {
            h.layout = DdsLayout::kBc2;
            h.premultiplied = code == fourcc("DXT2");
        } else if (code == fourcc("DXT4") || code == fourcc("DXT5")) {
            h.layout = DdsLayout::kBc3;
            h.premultiplied = code == fourcc("DXT4");
        } else if (code == fourcc("ATI1") || code == fourcc("BC4U") || code == fourcc("BC4S")) {
            h.layout = DdsLayout::kBc4;
            h.is_signed = code == fourcc("BC4S");
        } else if (code == fourcc("ATI2") || code == fourcc("BC5U") || code == fourcc("BC5S")) {
            h.layout = DdsLayout::kBc5;
            h.is_signed = code == fourcc("BC5S");
        } else if (code == fourcc("DX10")) {
            if (file.size() < kHeaderBytes + 20)
                return -42;
            h.data_offset = kHeaderBytes + 20;
            return dxgi_layout(le32(file.data() + kHeaderBytes), h);
        } else {
            return -2;
        }
        return 1;
    }
    if ((flags & (kRgb | kLuminance | kAlphaOnly)) == 0)
        return -2;
    h.bits = le32(pf + 12);
    if (h.bits != 8 && h.bits != 16 && h.bits != 24 && h.bits != 32)
        return -44;
    h.luminance = (flags & kLuminance) != 0;
    for (int k = 0; k < 3; ++k)
        h.masks[k] = (flags & (kRgb | kLuminance)) != 0 ? le32(pf + 16 + 4 * k) : 0;
    h.masks[3] = (flags & (kAlphaPixels | kAlphaOnly)) != 0 ? le32(pf + 28) : 0;
    // Luminance is in the first mask only; some writers give 8-bit luminance the masks of a
    // 32-bit pixel, where the byte is the luminance.
    if (h.luminance) {
        h.masks[1] = h.masks[2] = 0;
        if (h.bits == 8 && h.masks[3] == 0 && h.masks[0] > 0xFF)
            h.masks[0] = 0xFF;
    }
    const std::uint64_t limit = h.bits == 32 ? 0xFFFFFFFFull : (1ull << h.bits) - 1;
    for (const std::uint32_t m : h.masks)
        if (m > limit)
            return -44;
    return 1;
}

} // namespace

std::int32_t read_dds_header(std::span<const std::uint8_t> file, DdsHeader& h) {
    h = DdsHeader{};
    if (file.size() < 4 || std::memcmp(file.data(), "DDS ", 4) != 0)
        return -1;
    if (file.size() < kHeaderBytes)
        return -42;
    const std::uint8_t* d = file.data() + 4;
    if (le32(d) != 124 || le32(d + 72) != 32)
        return -44;
    h.height = le32(d + 8);
    h.width = le32(d + 12);
    if (const std::int32_t r = pixel_format(d + 72, file, h); r != 1)
        return r;
    if (h.width < 1 || h.height < 1 || h.width > kMaxSide || h.height > kMaxSide ||
        static_cast<std::uint64_t>(h.width) * h.height > kMaxPixels)
        return -13;
    const std::uint64_t needed =
        h.layout == DdsLayout::kMasks
            ? static_cast<std::uint64_t>(h.width) * h.height * (h.bits / 8)
            : ((h.width + 3ull) / 4) * ((h.height + 3ull) / 4) * block_bytes(h.layout);
    if (file.size() - h.data_offset < needed)
        return -42;
    return 1;
}

void decode_dds(std::span<const std::uint8_t> file, const DdsHeader& h, std::uint32_t* pixels,
                std::uint32_t stride) {
    const std::uint8_t* data = file.data() + h.data_offset;
    if (h.layout == DdsLayout::kMasks) {
        const std::size_t bytes = h.bits / 8;
        for (std::uint32_t y = 0; y < h.height; ++y)
            for (std::uint32_t x = 0; x < h.width; ++x) {
                const std::uint8_t* p = data + (static_cast<std::size_t>(y) * h.width + x) * bytes;
                std::uint32_t v = 0;
                for (std::size_t i = 0; i < bytes; ++i)
                    v |= static_cast<std::uint32_t>(p[i]) << (8 * i);
                const std::uint32_t r = field(v, h.masks[0]);
                const std::uint32_t g = h.luminance ? r : field(v, h.masks[1]);
                const std::uint32_t b = h.luminance ? r : field(v, h.masks[2]);
                const std::uint32_t a = h.masks[3] != 0 ? field(v, h.masks[3]) : 255;
                pixels[static_cast<std::size_t>(y) * stride + x] =
                    b | (g << 8) | (r << 16) | ((255 - a) << 24);
            }
        return;
    }
    const std::size_t bytes = block_bytes(h.layout);
    const std::uint32_t blocks_x = (h.width + 3) / 4;
    std::uint32_t block[16];
    for (std::uint32_t by = 0; by < (h.height + 3) / 4; ++by)
        for (std::uint32_t bx = 0; bx < blocks_x; ++bx) {
            decode_bc_block(data + (static_cast<std::size_t>(by) * blocks_x + bx) * bytes, h.layout,
                            h.is_signed, block);
            for (std::uint32_t i = 0; i < 16; ++i) {
                const std::uint32_t x = bx * 4 + i % 4;
                const std::uint32_t y = by * 4 + i / 4;
                if (x >= h.width || y >= h.height)
                    continue;
                std::uint32_t p = block[i];
                const std::uint32_t a = 255 - (p >> 24);
                if (h.premultiplied && a > 0 && a < 255) {
                    std::uint32_t out = p & 0xFF000000u;
                    for (int s = 0; s < 24; s += 8)
                        out |= std::min<std::uint32_t>(255, (((p >> s) & 0xFF) * 255 + a / 2) / a)
                               << s;
                    p = out;
                }
                pixels[static_cast<std::size_t>(y) * stride + x] = p;
            }
        }
}

std::int32_t write_dds(std::FILE* file, const std::uint32_t* pixels, std::uint32_t width,
                       std::uint32_t height, std::uint32_t stride, int compression, bool alpha) {
    std::uint8_t head[kHeaderBytes] = {'D', 'D', 'S', ' '};
    auto put = [&head](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            head[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    const std::uint32_t blocks = ((width + 3) / 4) * ((height + 3) / 4);
    put(4, 124);
    put(8, compression == 0 ? 0x100F : 0x81007); // caps, height, width, pixel format, pitch/size
    put(12, height);
    put(16, width);
    put(20, compression == 0 ? width * 4 : blocks * (compression == 1 ? 8 : 16));
    put(28, 1);
    put(76, 32);
    if (compression == 0) {
        put(80, kRgb | (alpha ? kAlphaPixels : 0));
        put(88, 32);
        put(92, 0xFF0000);
        put(96, 0xFF00);
        put(100, 0xFF);
        put(104, alpha ? 0xFF000000u : 0);
    } else {
        put(80, kFourCc);
        std::memcpy(head + 84, compression == 1 ? "DXT1" : "DXT5", 4);
    }
    put(108, 0x1000);
    if (std::fwrite(head, 1, sizeof(head), file) != sizeof(head))
        return -43;
    std::vector<std::uint8_t> out;
    if (compression == 0) {
        out.resize(static_cast<std::size_t>(width) * 4);
        for (std::uint32_t y = 0; y < height; ++y) {
            for (std::uint32_t x = 0; x < width; ++x) {
                std::uint32_t p = pixels[static_cast<std::size_t>(y) * stride + x];
                p = (p & 0xFFFFFF) | (alpha ? (255 - (p >> 24)) << 24 : 0);
                for (int i = 0; i < 4; ++i)
                    out[x * 4 + i] = static_cast<std::uint8_t>(p >> (8 * i));
            }
            if (std::fwrite(out.data(), 1, out.size(), file) != out.size())
                return -43;
        }
        return 1;
    }
    const std::size_t block_bytes = compression == 1 ? 8 : 16;
    out.resize(((width + 3) / 4) * block_bytes);
    std::uint32_t block[16];
    for (std::uint32_t by = 0; by < (height + 3) / 4; ++by) {
        for (std::uint32_t bx = 0; bx < (width + 3) / 4; ++bx) {
            // Pixels beyond the picture repeat its last row and column.
            for (std::uint32_t i = 0; i < 16; ++i) {
                const std::uint32_t x = std::min(bx * 4 + i % 4, width - 1);
                const std::uint32_t y = std::min(by * 4 + i / 4, height - 1);
                block[i] = pixels[static_cast<std::size_t>(y) * stride + x];
            }
            if (compression == 1)
                encode_bc1_block(block, alpha, &out[bx * block_bytes]);
            else
                encode_bc3_block(block, &out[bx * block_bytes]);
        }
        if (std::fwrite(out.data(), 1, out.size(), file) != out.size())
            return -43;
    }
    return 1;
}

} // namespace vt::formats
