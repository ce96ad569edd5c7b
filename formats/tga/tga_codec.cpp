// Targa reader and writer of fmx_TGA (Truevision TGA 2.0 file format).

#include "formats/tga/tga_codec.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace vt::formats {
namespace {

constexpr std::uint32_t kMaxSide = 65536;
constexpr std::uint64_t kMaxPixels = 250000000;
constexpr std::size_t kHeaderBytes = 18;
constexpr std::size_t kFooterBytes = 26;
constexpr std::size_t kExtensionBytes = 495;
constexpr char kFooterSignature[] = "TRUEVISION-XFILE.";

std::uint32_t le16(const std::uint8_t* p) {
    return p[0] | (static_cast<std::uint32_t>(p[1]) << 8);
}
std::uint32_t le32(const std::uint8_t* p) {
    return le16(p) | (le16(p + 2) << 16);
}

std::uint32_t expand5(std::uint32_t v) {
    return (v << 3) | (v >> 2);
}

// A stored pixel or colour map entry of `bits` as B, G, R, transparency; `alpha` says whether
// its alpha bits count. Grey pixels of 16 bits are a grey byte and an alpha byte.
std::uint32_t to_pixel(const std::uint8_t* p, std::uint32_t bits, bool alpha, bool premultiplied,
                       bool grey = false) {
    std::uint32_t b = 0;
    std::uint32_t g = 0;
    std::uint32_t r = 0;
    std::uint32_t a = 255;
    if (grey) {
        b = g = r = p[0];
        if (bits == 16 && alpha)
            a = p[1];
        bits = 0;
    }
    switch (bits) {
    case 0:
        break;
    case 8:
        b = g = r = p[0];
        break;
    case 15:
    case 16: {
        const std::uint32_t v = le16(p);
        r = expand5((v >> 10) & 31);
        g = expand5((v >> 5) & 31);
        b = expand5(v & 31);
        if (alpha && bits == 16)
            a = (v & 0x8000) != 0 ? 255 : 0;
        break;
    }
    default:
        b = p[0];
        g = p[1];
        r = p[2];
        if (bits == 32 && alpha)
            a = p[3];
    }
    if (premultiplied && a > 0 && a < 255) {
        r = std::min<std::uint32_t>(255, (r * 255 + a / 2) / a);
        g = std::min<std::uint32_t>(255, (g * 255 + a / 2) / a);
        b = std::min<std::uint32_t>(255, (b * 255 + a / 2) / a);
    }
    return b | (g << 8) | (r << 16) | ((255 - a) << 24);
}

bool true_colour_depth(std::uint32_t d) {
    return d == 15 || d == 16 || d == 24 || d == 32;
}

// The header's fields are of a Targa file; -1 when not.
std::int32_t parse_fixed(const std::uint8_t* h, TgaHeader& t) {
    const std::uint32_t map_type = h[1];
    t.image_type = h[2];
    t.map_first = le16(h + 3);
    t.map_length = le16(h + 5);
    t.map_entry_bits = h[7];
    t.width = le16(h + 12);
    t.height = le16(h + 14);
    t.depth = h[16];
    t.alpha_bits = h[17] & 15;
    t.right_to_left = (h[17] & 0x10) != 0;
    t.top_down = (h[17] & 0x20) != 0;
    if (map_type > 1 || (h[17] & 0xC0) != 0)
        return -1;
    if (map_type == 1 && !true_colour_depth(t.map_entry_bits))
        return -1;
    switch (t.image_type & ~8u) {
    case 1:
        if (map_type != 1 || (t.depth != 8 && t.depth != 16))
            return -1;
        break;
    case 2:
        if (!true_colour_depth(t.depth))
            return -1;
        break;
    case 3:
        if (t.depth != 8 && t.depth != 16)
            return -1;
        break;
    default:
        return t.image_type == 32 || t.image_type == 33 ? -2 : -1;
    }
    return 1;
}

} // namespace

std::int32_t read_tga_header(std::span<const std::uint8_t> file, TgaHeader& t) {
    t = TgaHeader{};
    if (file.size() < kHeaderBytes) {
        // A cut header still names its image type.
        const bool known =
            file.size() >= 3 && file[1] <= 1 && ((file[2] & ~8u) >= 1 && (file[2] & ~8u) <= 3);
        return known ? -42 : -1;
    }
    if (const std::int32_t r = parse_fixed(file.data(), t); r != 1)
        return r;
    if (t.width < 1 || t.height < 1 || t.width > kMaxSide || t.height > kMaxSide ||
        static_cast<std::uint64_t>(t.width) * t.height > kMaxPixels)
        return -13;
    const bool mapped = file[1] == 1;
    t.map_offset = kHeaderBytes + file[0];
    const std::size_t map_bytes =
        mapped ? static_cast<std::size_t>(t.map_length) * ((t.map_entry_bits + 7) / 8) : 0;
    t.data_offset = t.map_offset + map_bytes;
    const std::uint64_t pixels = static_cast<std::uint64_t>(t.width) * t.height;
    const std::uint64_t pixel_bytes = (t.depth + 7) / 8;
    const std::uint64_t needed =
        (t.image_type & 8) != 0 ? (pixels + 127) / 128 * (1 + pixel_bytes) : pixels * pixel_bytes;
    if (t.data_offset > file.size() || file.size() - t.data_offset < needed)
        return -42;
    // A version 2.0 footer points at the extension area, whose last byte is the attributes type.
    if (file.size() >= kHeaderBytes + kFooterBytes &&
        std::memcmp(file.data() + file.size() - 18, kFooterSignature, 18) == 0) {
        const std::uint32_t at = le32(file.data() + file.size() - kFooterBytes);
        if (at >= kHeaderBytes && at <= file.size() - kFooterBytes &&
            file.size() - kFooterBytes - at >= kExtensionBytes && le16(file.data() + at) >= 495)
            t.attributes_type = file[at + 494];
    }
    return 1;
}

std::int32_t decode_tga(std::span<const std::uint8_t> file, const TgaHeader& t,
                        std::uint32_t* pixels, std::uint32_t stride) {
    const bool mapped = (t.image_type & ~8u) == 1;
    const bool grey = (t.image_type & ~8u) == 3;
    const bool alpha = t.alpha_bits > 0 && (t.attributes_type < 0 || t.attributes_type >= 3);
    const bool premultiplied = t.attributes_type == 4;
    std::vector<std::uint32_t> map;
    if (mapped) {
        const std::size_t entry = (t.map_entry_bits + 7) / 8;
        map.resize(t.map_length);
        for (std::uint32_t i = 0; i < t.map_length; ++i)
            map[i] = to_pixel(file.data() + t.map_offset + i * entry, t.map_entry_bits, alpha,
                              premultiplied);
    }
    const std::size_t bytes = (t.depth + 7) / 8;
    const std::uint64_t total = static_cast<std::uint64_t>(t.width) * t.height;
    // The value of one stored pixel; false for an index beyond the map.
    auto value = [&](const std::uint8_t* p, std::uint32_t& out) {
        if (!mapped) {
            out = to_pixel(p, t.depth, alpha, premultiplied, grey);
            return true;
        }
        const std::uint32_t index = t.depth == 8 ? p[0] : le16(p);
        if (index < t.map_first || index - t.map_first >= map.size())
            return false;
        out = map[index - t.map_first];
        return true;
    };
    auto put = [&](std::uint64_t i, std::uint32_t v) {
        const auto y = static_cast<std::uint32_t>(i / t.width);
        const auto x = static_cast<std::uint32_t>(i % t.width);
        const std::uint32_t row = t.top_down ? y : t.height - 1 - y;
        const std::uint32_t col = t.right_to_left ? t.width - 1 - x : x;
        pixels[static_cast<std::size_t>(row) * stride + col] = v;
    };
    std::size_t at = t.data_offset;
    std::uint32_t v = 0;
    if ((t.image_type & 8) == 0) {
        for (std::uint64_t i = 0; i < total; ++i, at += bytes) {
            if (!value(file.data() + at, v))
                return -44;
            put(i, v);
        }
        return 1;
    }
    for (std::uint64_t i = 0; i < total;) {
        if (at >= file.size())
            return -42;
        const std::uint8_t packet = file[at++];
        const std::uint64_t count = std::min<std::uint64_t>((packet & 0x7F) + 1u, total - i);
        const bool run = (packet & 0x80) != 0;
        const std::size_t need = run ? bytes : bytes * count;
        if (file.size() - at < need)
            return -42;
        for (std::uint64_t k = 0; k < count; ++k, ++i) {
            if ((k == 0 || !run) && !value(file.data() + at + (run ? 0 : k * bytes), v))
                return -44;
            put(i, v);
        }
        at += need;
    }
    return 1;
}

namespace {

// Appends one row as packets that stay inside the row.
void pack_row(const std::vector<std::uint8_t>& row, std::size_t bytes, std::size_t width,
              std::vector<std::uint8_t>& out) {
    auto same = [&](std::size_t a, std::size_t b) {
        return std::memcmp(&row[a * bytes], &row[b * bytes], bytes) == 0;
    };
    std::size_t x = 0;
    while (x < width) {
        std::size_t run = 1;
        while (x + run < width && run < 128 && same(x, x + run))
            ++run;
        if (run >= 2) {
            out.push_back(static_cast<std::uint8_t>(0x80 | (run - 1)));
            out.insert(out.end(), &row[x * bytes], &row[x * bytes] + bytes);
            x += run;
            continue;
        }
        std::size_t literal = 1;
        while (x + literal < width && literal < 128 &&
               !(x + literal + 1 < width && same(x + literal, x + literal + 1)))
            ++literal;
        out.push_back(static_cast<std::uint8_t>(literal - 1));
        out.insert(out.end(), &row[x * bytes], &row[(x + literal) * bytes]);
        x += literal;
    }
}

} // namespace

std::int32_t write_tga(std::FILE* file, const std::uint32_t* pixels, std::uint32_t width,
                       std::uint32_t height, std::uint32_t stride, bool alpha, bool rle) {
    const std::size_t bytes = alpha ? 4 : 3;
    std::uint8_t head[kHeaderBytes] = {};
    head[2] = rle ? 10 : 2;
    head[12] = static_cast<std::uint8_t>(width);
    head[13] = static_cast<std::uint8_t>(width >> 8);
    head[14] = static_cast<std::uint8_t>(height);
    head[15] = static_cast<std::uint8_t>(height >> 8);
    head[16] = static_cast<std::uint8_t>(bytes * 8);
    head[17] = alpha ? 8 : 0;
    if (std::fwrite(head, 1, sizeof(head), file) != sizeof(head))
        return -43;
    std::vector<std::uint8_t> row(width * bytes);
    std::vector<std::uint8_t> packed;
    for (std::uint32_t y = height; y-- > 0;) {
        const std::uint32_t* src = pixels + static_cast<std::size_t>(y) * stride;
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint32_t p = src[x];
            std::uint8_t* o = &row[x * bytes];
            o[0] = static_cast<std::uint8_t>(p);
            o[1] = static_cast<std::uint8_t>(p >> 8);
            o[2] = static_cast<std::uint8_t>(p >> 16);
            if (alpha)
                o[3] = static_cast<std::uint8_t>(255 - (p >> 24));
        }
        const std::vector<std::uint8_t>* out = &row;
        if (rle) {
            packed.clear();
            pack_row(row, bytes, width, packed);
            out = &packed;
        }
        if (std::fwrite(out->data(), 1, out->size(), file) != out->size())
            return -43;
    }
    return 1;
}

} // namespace vt::formats
