// Uncompressed BMP: 1-, 4- and 8-bit palettes, 24 bits, 32 bits (plain or with bit masks),
// bottom-up or top-down.

#include <array>
#include <cstring>

#include "suite/core/image_codecs.h"

namespace vt::core {

namespace {

constexpr std::uint32_t kBiRgb = 0;
constexpr std::uint32_t kBiBitfields = 3;
constexpr std::size_t kFileHeader = 14;

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16)) |
           (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

void put32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put16(Bytes& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

// One channel of a masked 32-bit pixel, scaled to 8 bits.
struct Mask {
    std::uint32_t mask = 0;
    unsigned shift = 0;
    std::uint32_t max = 0;

    explicit Mask(std::uint32_t m = 0) : mask(m) {
        if (m == 0)
            return;
        while (((m >> shift) & 1) == 0)
            ++shift;
        max = m >> shift;
    }
    std::uint8_t get(std::uint32_t v, std::uint8_t absent) const {
        if (mask == 0)
            return absent;
        const std::uint64_t c = (v & mask) >> shift;
        return static_cast<std::uint8_t>((c * 255 + max / 2) / max);
    }
};

struct BmpHeader {
    std::uint32_t offset = 0;
    std::uint32_t header_size = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::uint16_t bits = 0;
    std::uint32_t compression = 0;
    std::uint32_t colors = 0;
    std::array<std::uint32_t, 4> masks{}; // red, green, blue, alpha
};

bool read_header(std::span<const std::uint8_t> d, BmpHeader& h) {
    if (d.size() < kFileHeader + 12 || d[0] != 'B' || d[1] != 'M')
        return false;
    h.offset = le32(&d[10]);
    h.header_size = le32(&d[14]);
    if (h.header_size < 12 || h.header_size > d.size() - kFileHeader)
        return false;
    const std::uint8_t* p = &d[kFileHeader];
    if (h.header_size == 12) {
        h.width = le16(p + 4);
        h.height = le16(p + 6);
        h.bits = le16(p + 10);
        return true;
    }
    if (h.header_size < 40)
        return false;
    h.width = static_cast<std::int32_t>(le32(p + 4));
    h.height = static_cast<std::int32_t>(le32(p + 8));
    h.bits = le16(p + 14);
    h.compression = le32(p + 16);
    h.colors = le32(p + 32);
    if (h.compression == kBiBitfields) {
        // Masks follow a 40-byte header, or are part of a longer one.
        const std::size_t at = kFileHeader + 40;
        if (d.size() < at + 12)
            return false;
        for (std::size_t i = 0; i < 3; ++i)
            h.masks[i] = le32(&d[at + 4 * i]);
        if (h.header_size >= 56)
            h.masks[3] = le32(&d[at + 12]);
    }
    return true;
}

} // namespace

bool decode_bmp(std::span<const std::uint8_t> d, Decoded& out) {
    BmpHeader h;
    if (!read_header(d, h))
        return false;
    const bool top_down = h.height < 0;
    const std::int64_t height = top_down ? -h.height : h.height;
    if (h.width <= 0 || height <= 0 ||
        !size_allowed(static_cast<std::uint64_t>(h.width), static_cast<std::uint64_t>(height)))
        return false;
    const bool palette = h.bits == 1 || h.bits == 4 || h.bits == 8;
    const bool masked = h.bits == 32 && h.compression == kBiBitfields;
    if (!(palette || h.bits == 24 || h.bits == 32) || !(h.compression == kBiRgb || masked))
        return false;
    const auto width = static_cast<std::uint32_t>(h.width);
    const auto rows = static_cast<std::uint32_t>(height);
    const std::uint64_t row_bytes = (static_cast<std::uint64_t>(width) * h.bits + 31) / 32 * 4;
    if (h.offset > d.size() || row_bytes * rows > d.size() - h.offset)
        return false;

    std::array<std::uint32_t, 256> colors{};
    if (palette) {
        const std::size_t entry = h.header_size == 12 ? 3 : 4;
        const std::size_t max = std::size_t{1} << h.bits;
        const std::size_t count = h.colors == 0 || h.colors > max ? max : h.colors;
        const std::size_t at = kFileHeader + h.header_size;
        if (at > h.offset || (h.offset - at) / entry < count)
            return false;
        for (std::size_t i = 0; i < count; ++i)
            colors[i] =
                make_pixel(d[at + i * entry], d[at + i * entry + 1], d[at + i * entry + 2], 0);
    }
    Pixels pixels = allocate_pixels(width, rows);
    if (pixels == nullptr)
        return false;
    const Mask red(masked ? h.masks[0] : 0x00FF0000u);
    const Mask green(masked ? h.masks[1] : 0x0000FF00u);
    const Mask blue(masked ? h.masks[2] : 0x000000FFu);
    const Mask alpha(masked ? h.masks[3] : 0xFF000000u);
    bool any_alpha = masked;
    for (std::uint32_t y = 0; y < rows; ++y) {
        const std::uint8_t* src = d.data() + h.offset + row_bytes * y;
        std::uint32_t* dst =
            pixels.get() + static_cast<std::size_t>(top_down ? y : rows - 1 - y) * width;
        for (std::uint32_t x = 0; x < width; ++x) {
            if (palette) {
                const unsigned per_byte = 8u / h.bits;
                const unsigned shift = 8u - h.bits * (x % per_byte + 1);
                const unsigned index = (src[x / per_byte] >> shift) & ((1u << h.bits) - 1);
                dst[x] = colors[index];
            } else if (h.bits == 24) {
                dst[x] = make_pixel(src[3 * x], src[3 * x + 1], src[3 * x + 2], 0);
            } else {
                const std::uint32_t v = le32(src + 4 * x);
                const std::uint8_t a = alpha.get(v, 255);
                any_alpha = any_alpha || a != 0;
                dst[x] = make_pixel(blue.get(v, 0), green.get(v, 0), red.get(v, 0),
                                    static_cast<std::uint8_t>(255 - a));
            }
        }
    }
    // A plain 32-bit file whose fourth bytes are all 0 has no alpha at all: it is opaque.
    if (h.bits == 32 && !any_alpha)
        for (std::size_t i = 0; i < static_cast<std::size_t>(width) * rows; ++i)
            pixels[i] &= 0x00FFFFFFu;
    out.width = width;
    out.height = rows;
    out.pixels = std::move(pixels);
    return true;
}

bool encode_bmp(const Picture& picture, Bytes& out) {
    const bool alpha = picture.transparent();
    const std::uint32_t bits = alpha ? 32 : 24;
    const std::uint32_t header = alpha ? 108 : 40; // 108: the header with an alpha mask
    const std::uint64_t row_bytes =
        (static_cast<std::uint64_t>(picture.width) * bits + 31) / 32 * 4;
    const std::uint64_t image_bytes = row_bytes * picture.height;
    const std::uint64_t offset = kFileHeader + header;
    if (offset + image_bytes > 0xFFFFFFFFu)
        return false;
    out.clear();
    out.reserve(static_cast<std::size_t>(offset + image_bytes));
    out.push_back('B');
    out.push_back('M');
    put32(out, static_cast<std::uint32_t>(offset + image_bytes));
    put32(out, 0);
    put32(out, static_cast<std::uint32_t>(offset));
    put32(out, header);
    put32(out, picture.width);
    put32(out, picture.height); // bottom-up
    put16(out, 1);
    put16(out, static_cast<std::uint16_t>(bits));
    put32(out, alpha ? kBiBitfields : kBiRgb);
    put32(out, static_cast<std::uint32_t>(image_bytes));
    put32(out, 2835); // 72 pixels per inch
    put32(out, 2835);
    put32(out, 0);
    put32(out, 0);
    if (alpha) {
        put32(out, 0x00FF0000u);
        put32(out, 0x0000FF00u);
        put32(out, 0x000000FFu);
        put32(out, 0xFF000000u);
        put32(out, 0x73524742u);             // "sRGB"
        out.resize(out.size() + 36 + 12, 0); // end points and gamma, unused with sRGB
    }
    for (std::uint32_t y = picture.height; y-- > 0;) {
        const std::uint32_t* row = picture.row(y);
        const std::size_t start = out.size();
        for (std::uint32_t x = 0; x < picture.width; ++x) {
            const std::uint32_t v = row[x];
            out.push_back(static_cast<std::uint8_t>(v));
            out.push_back(static_cast<std::uint8_t>(v >> 8));
            out.push_back(static_cast<std::uint8_t>(v >> 16));
            if (alpha)
                out.push_back(static_cast<std::uint8_t>(255 - (v >> 24)));
        }
        out.resize(start + static_cast<std::size_t>(row_bytes), 0);
    }
    return true;
}

} // namespace vt::core
