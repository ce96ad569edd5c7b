// The block tree and channel decoding of fmx_PSP (Jasc's PSP file format description).

#include "formats/psp/psp_codec.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace vt::formats {
namespace {

constexpr std::uint32_t kMaxSide = 65536;
constexpr std::uint64_t kMaxPixels = 250000000;
constexpr std::size_t kMaxLayers = 4096; // far beyond the host's 1024 frames
constexpr std::size_t kMaxChannels = 64;
constexpr char kSignature[] = "Paint Shop Pro Image File\n\x1a";

enum BlockId : std::uint16_t {
    kImageBlock = 0,
    kColorBlock = 2,
    kLayerBankBlock = 3,
    kLayerBlock = 4,
    kChannelBlock = 5,
    kCompositeImageBlock = 9,
    kCompositeBankBlock = 16,
    kCompositeAttributesBlock = 17,
};

std::uint32_t le16(const std::uint8_t* p) {
    return p[0] | (static_cast<std::uint32_t>(p[1]) << 8);
}
std::uint32_t le32(const std::uint8_t* p) {
    return le16(p) | (le16(p + 2) << 16);
}

// One block: its id, where its body starts and ends, and (major 3) the first chunk's length.
struct Block {
    std::uint16_t id = 0;
    std::size_t body = 0;
    std::size_t end = 0;
    std::uint32_t first_chunk = 0;
};

class Reader {
public:
    Reader(std::span<const std::uint8_t> file, std::uint16_t major)
        : m_file(file), m_major(major) {}

    // The block at `at`, which must lie before `limit`.
    std::int32_t block(std::size_t at, std::size_t limit, Block& b) const {
        const std::size_t head = m_major == 3 ? 14 : 10;
        if (at + head > m_file.size())
            return -42;
        if (std::memcmp(m_file.data() + at, "~BK\0", 4) != 0)
            return -44;
        const std::uint8_t* p = m_file.data() + at;
        b.id = static_cast<std::uint16_t>(le16(p + 4));
        b.first_chunk = m_major == 3 ? le32(p + 6) : 0;
        const std::uint64_t length = le32(p + head - 4);
        b.body = at + head;
        if (b.body + length > m_file.size())
            return -42;
        if (b.body + length > limit)
            return -44;
        b.end = b.body + length;
        return 1;
    }

    // The first chunk of a block of major 4 and later begins with its own length; major 3 gives
    // it in the block header. Checks that `need` bytes of it are there.
    std::int32_t first_chunk(const Block& b, std::size_t need, std::size_t& at,
                             std::size_t& size) const {
        if (m_major == 3) {
            at = b.body;
            size = b.first_chunk;
        } else {
            if (b.body + 4 > b.end)
                return -44;
            at = b.body + 4;
            size = le32(m_file.data() + b.body);
            if (size < 4)
                return -44;
            size -= 4;
        }
        if (at + size > b.end || size < need)
            return -44;
        return 1;
    }

    // The next chunk of major 4 and later (its own length first), or none when a block follows.
    std::size_t skip_chunk(std::size_t at, std::size_t end) const {
        if (at + 4 > end || std::memcmp(m_file.data() + at, "~BK\0", 4) == 0)
            return at;
        const std::uint64_t size = le32(m_file.data() + at);
        return size >= 4 && at + size <= end ? at + static_cast<std::size_t>(size) : end;
    }

    std::int32_t channel(const Block& b, PspChannel& c) const {
        std::size_t at = 0;
        std::size_t size = 0;
        if (const std::int32_t r = first_chunk(b, 12, at, size); r != 1)
            return r;
        const std::uint8_t* p = m_file.data() + at;
        c.coded = le32(p);
        c.size = le32(p + 4);
        c.bitmap_type = static_cast<std::uint16_t>(le16(p + 8));
        c.channel_type = static_cast<std::uint16_t>(le16(p + 10));
        c.offset = at + size;
        if (c.offset + c.coded > b.end)
            return c.offset + c.coded > m_file.size() ? -42 : -44;
        return 1;
    }

    // The channel and palette sub-blocks from `at` to `end`.
    std::int32_t channels(std::size_t at, std::size_t end, std::vector<PspChannel>& out,
                          std::vector<std::uint32_t>* palette) const {
        while (at < end) {
            Block b;
            if (const std::int32_t r = block(at, end, b); r != 1)
                return r;
            if (b.id == kChannelBlock) {
                if (out.size() >= kMaxChannels)
                    return -44;
                PspChannel c;
                if (const std::int32_t r = channel(b, c); r != 1)
                    return r;
                out.push_back(c);
            } else if (b.id == kColorBlock && palette != nullptr) {
                if (const std::int32_t r = read_palette(b, *palette); r != 1)
                    return r;
            }
            at = b.end;
        }
        return 1;
    }

    std::int32_t read_palette(const Block& b, std::vector<std::uint32_t>& palette) const {
        std::size_t at = 0;
        std::size_t size = 0;
        if (const std::int32_t r = first_chunk(b, 4, at, size); r != 1)
            return r;
        const std::uint32_t count = le32(m_file.data() + at);
        const std::size_t entries = at + size;
        if (count > 256 || entries + std::size_t{count} * 4 > b.end)
            return -44;
        palette.assign(256, 0);
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint8_t* e = m_file.data() + entries + 4 * i; // blue, green, red, unused
            palette[i] = e[0] | (static_cast<std::uint32_t>(e[1]) << 8) |
                         (static_cast<std::uint32_t>(e[2]) << 16);
        }
        return 1;
    }

    std::int32_t attributes(const Block& b, PspDocument& doc) const {
        std::size_t at = 0;
        std::size_t size = 0;
        if (const std::int32_t r = first_chunk(b, 38, at, size); r != 1)
            return r;
        const std::uint8_t* p = m_file.data() + at;
        const std::int32_t width = static_cast<std::int32_t>(le32(p));
        const std::int32_t height = static_cast<std::int32_t>(le32(p + 4));
        std::memcpy(&doc.resolution, p + 8, 8); // IEEE double, little-endian like the host
        doc.metric = p[16];
        doc.compression = static_cast<std::uint16_t>(le16(p + 17));
        doc.bit_depth = static_cast<std::uint16_t>(le16(p + 19));
        doc.grey = p[27] != 0;
        if (width < 1 || height < 1 || static_cast<std::uint32_t>(width) > kMaxSide ||
            static_cast<std::uint32_t>(height) > kMaxSide ||
            std::uint64_t(width) * std::uint64_t(height) > kMaxPixels)
            return -13;
        doc.width = static_cast<std::uint32_t>(width);
        doc.height = static_cast<std::uint32_t>(height);
        if (doc.compression > 2 ||
            (doc.bit_depth != 1 && doc.bit_depth != 4 && doc.bit_depth != 8 && doc.bit_depth != 24))
            return -2;
        return 1;
    }

    static PspRect rect(const std::uint8_t* p) {
        return {static_cast<std::int32_t>(le32(p)), static_cast<std::int32_t>(le32(p + 4)),
                static_cast<std::int32_t>(le32(p + 8)), static_cast<std::int32_t>(le32(p + 12))};
    }

    std::int32_t layer(const Block& b, PspLayer& layer) const {
        std::size_t at = 0;
        std::size_t size = 0;
        if (const std::int32_t r = first_chunk(b, m_major == 3 ? 256 + 36 : 2 + 36, at, size);
            r != 1)
            return r;
        const std::uint8_t* p = m_file.data() + at;
        std::size_t name_size = 256;
        if (m_major > 3) {
            name_size = le16(p);
            p += 2;
            if (2 + name_size + 36 > size)
                return -44;
        }
        layer.name.assign(reinterpret_cast<const char*>(p),
                          strnlen(reinterpret_cast<const char*>(p), name_size));
        p += name_size;
        const std::uint8_t type = p[0];
        // Major 3 knows normal (0) and floating selection (1) layers; later majors raster (1),
        // floating selection (2), vector, adjustment, group and mask layers, and art media (7),
        // which is raster data too.
        const bool raster = m_major == 3 ? type <= 1 : (type == 1 || type == 2 || type == 7);
        layer.kind = raster ? PspLayerKind::raster : PspLayerKind::other;
        layer.image = rect(p + 1);
        layer.saved = rect(p + 17);
        layer.opacity = p[33];
        layer.blend = p[34];
        layer.visible = (p[35] & 1) != 0;
        // Major 3 has no flag for a mask: its channel says that there is one.
        const std::size_t fixed = (m_major == 3 ? 256 : 2 + name_size) + 72;
        if (fixed <= size) {
            layer.mask = rect(p + 54);
            layer.mask_on = p[71] == 0 && (m_major == 3 || (p[35] & 2) != 0);
        }
        std::size_t next = at + size;
        if (m_major > 3)
            next = skip_chunk(next, b.end); // the layer bitmap information chunk
        return raster ? channels(next, b.end, layer.channels, nullptr) : 1;
    }

    std::int32_t layer_bank(const Block& bank, PspDocument& doc) const {
        for (std::size_t at = skip_chunk(bank.body, bank.end); at < bank.end;) {
            Block b;
            if (const std::int32_t r = block(at, bank.end, b); r != 1)
                return r;
            if (b.id == kLayerBlock) {
                if (doc.layers.size() >= kMaxLayers)
                    return -44;
                PspLayer layer;
                if (const std::int32_t r = this->layer(b, layer); r != 1)
                    return r;
                doc.layers.push_back(std::move(layer));
            }
            at = b.end;
        }
        return 1;
    }

    // The bank's composite of the canvas's size (not the thumbnail, not JPEG); a composite that
    // cannot be read is left out, since the layers are what a load wants.
    void composite_bank(const Block& bank, PspDocument& doc) const {
        bool wanted = false;
        for (std::size_t at = skip_chunk(bank.body, bank.end); at < bank.end;) {
            Block b;
            if (block(at, bank.end, b) != 1)
                return;
            std::size_t chunk = 0;
            std::size_t size = 0;
            if (b.id == kCompositeAttributesBlock && first_chunk(b, 20, chunk, size) == 1) {
                const std::uint8_t* p = m_file.data() + chunk;
                wanted = le32(p) == doc.width && le32(p + 4) == doc.height && le16(p + 18) == 0 &&
                         le16(p + 10) <= 2;
                doc.composite_depth = static_cast<std::uint16_t>(le16(p + 8));
                doc.composite_compression = static_cast<std::uint16_t>(le16(p + 10));
            } else if (b.id == kCompositeImageBlock && wanted && doc.composite.empty()) {
                std::vector<PspChannel> found;
                std::vector<std::uint32_t> palette;
                if (channels(skip_chunk(b.body, b.end), b.end, found, &palette) == 1) {
                    doc.composite = std::move(found);
                    if (!palette.empty() && doc.palette.empty())
                        doc.palette = std::move(palette);
                }
            }
            at = b.end;
        }
    }

private:
    std::span<const std::uint8_t> m_file;
    std::uint16_t m_major;
};

// The uncompressed bytes of one channel: rows of `row` bytes, or rows padded to four bytes.
std::int32_t check_channel(const PspChannel& c, std::uint16_t compression, std::uint32_t rows,
                           std::size_t row, std::size_t& stride) {
    const std::uint64_t plain = std::uint64_t{rows} * row;
    const std::uint64_t padded = std::uint64_t{rows} * ((row + 3) & ~std::size_t{3});
    if (c.size != plain && c.size != padded)
        return -44;
    stride = c.size / rows;
    // The most each coding can expand, so a tiny file cannot ask for a huge buffer.
    const std::uint64_t most = compression == 0   ? c.coded
                               : compression == 1 ? (std::uint64_t{c.coded} + 1) / 2 * 127
                                                  : std::uint64_t{c.coded} * 1032 + 64;
    return c.size > most ? -44 : 1;
}

std::int32_t unpack_channel(std::span<const std::uint8_t> file, const PspChannel& c,
                            std::uint16_t compression, std::uint32_t rows, std::size_t row,
                            std::vector<std::uint8_t>& out, std::size_t& stride) {
    if (const std::int32_t r = check_channel(c, compression, rows, row, stride); r != 1)
        return r;
    out.resize(c.size);
    const std::uint8_t* in = file.data() + c.offset;
    const std::uint8_t* const end = in + c.coded;
    if (compression == 0) {
        std::memcpy(out.data(), in, c.size);
        return 1;
    }
    if (compression == 1) {
        // A count above 128 repeats the next byte (count - 128) times; else count bytes follow.
        std::size_t at = 0;
        while (at < out.size()) {
            if (in >= end)
                return -44;
            const std::uint32_t count = *in++;
            if (count > 128) {
                if (in >= end)
                    return -44;
                const std::size_t n = std::min<std::size_t>(count - 128, out.size() - at);
                std::fill_n(out.data() + at, n, *in++);
                at += n;
            } else {
                if (static_cast<std::size_t>(end - in) < count)
                    return -44;
                const std::size_t n = std::min<std::size_t>(count, out.size() - at);
                std::memcpy(out.data() + at, in, n);
                in += count;
                at += n;
            }
        }
        return 1;
    }
    const std::unique_ptr<libdeflate_decompressor, decltype(&libdeflate_free_decompressor)> d(
        libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
    if (!d)
        return -20;
    std::size_t got = 0;
    if (libdeflate_zlib_decompress(d.get(), in, c.coded, out.data(), out.size(), &got) !=
            LIBDEFLATE_SUCCESS ||
        got != out.size())
        return -44;
    return 1;
}

const PspChannel* find_channel(const std::vector<PspChannel>& channels, std::uint16_t bitmap,
                               std::uint16_t type) {
    for (const PspChannel& c : channels)
        if (c.bitmap_type == bitmap && c.channel_type == type)
            return &c;
    return nullptr;
}

} // namespace

std::int32_t read_psp(std::span<const std::uint8_t> file, PspDocument& doc) {
    doc = PspDocument{};
    const std::size_t sig = sizeof(kSignature) - 1;
    if (file.size() < sig || std::memcmp(file.data(), kSignature, sig) != 0)
        return -1;
    if (file.size() < 36)
        return -42;
    doc.major = static_cast<std::uint16_t>(le16(file.data() + 32));
    if (doc.major < 3 || doc.major > 20)
        return -2;
    const Reader reader(file, doc.major);
    bool attributes = false;
    for (std::size_t at = 36; at < file.size();) {
        Block b;
        if (const std::int32_t r = reader.block(at, file.size(), b); r != 1)
            return r;
        if (b.id == kImageBlock && !attributes) {
            if (const std::int32_t r = reader.attributes(b, doc); r != 1)
                return r;
            attributes = true;
        } else if (!attributes) {
            return -44; // the attributes come first
        } else if (b.id == kColorBlock) {
            if (const std::int32_t r = reader.read_palette(b, doc.palette); r != 1)
                return r;
        } else if (b.id == kLayerBankBlock) {
            if (const std::int32_t r = reader.layer_bank(b, doc); r != 1)
                return r;
        } else if (b.id == kCompositeBankBlock && doc.major > 3) {
            reader.composite_bank(b, doc);
        }
        at = b.end;
    }
    return attributes ? 1 : -42;
}

std::int32_t decode_psp_pixels(std::span<const std::uint8_t> file, const PspDocument& doc,
                               const std::vector<PspChannel>& channels, std::uint16_t compression,
                               std::uint16_t depth, std::uint32_t width, std::uint32_t height,
                               std::vector<std::uint32_t>& pixels) {
    if (compression > 2)
        return -2;
    const bool colour = depth == 24;
    if (!colour && depth != 1 && depth != 4 && depth != 8)
        return -2;
    const std::size_t pixel_bytes = colour ? width : (std::size_t{width} * depth + 7) / 8;
    // Red, green, blue (or the one grey or index plane), then the transparency when there is one.
    const PspChannel* planes[4] = {};
    const int count = colour ? 3 : 1;
    for (int k = 0; k < count; ++k)
        planes[k] = find_channel(channels, 0, colour ? static_cast<std::uint16_t>(k + 1) : 0);
    planes[count] = find_channel(channels, 1, 0);
    std::size_t stride = 0;
    // Every plane is checked before the picture's memory is taken; one plane at a time after.
    for (int k = 0; k <= count; ++k) {
        if (planes[k] == nullptr && k < count)
            return -44;
        if (planes[k] != nullptr)
            if (const std::int32_t r = check_channel(*planes[k], compression, height,
                                                     k < count ? pixel_bytes : width, stride);
                r != 1)
                return r;
    }
    std::uint32_t palette[256];
    for (std::uint32_t i = 0; i < 256; ++i) {
        // Grey levels spread over 0..255 at every depth; colours from the palette block.
        const std::uint32_t levels = (1u << std::min<std::uint32_t>(depth, 8)) - 1;
        palette[i] = (std::min(i, levels) * 255 / levels) * 0x010101u;
    }
    if (!doc.grey && !doc.palette.empty())
        std::copy(doc.palette.begin(), doc.palette.end(), palette);
    pixels.assign(std::size_t{width} * height, 0);
    std::vector<std::uint8_t> data;
    for (int k = 0; k <= count; ++k) {
        if (planes[k] == nullptr)
            continue;
        if (const std::int32_t r = unpack_channel(file, *planes[k], compression, height,
                                                  k < count ? pixel_bytes : width, data, stride);
            r != 1)
            return r;
        const int shift = k == count ? 24 : 16 - 8 * k;
        for (std::uint32_t y = 0; y < height; ++y) {
            std::uint32_t* out = pixels.data() + std::size_t{y} * width;
            const std::uint8_t* in = data.data() + y * stride;
            for (std::uint32_t x = 0; x < width; ++x) {
                if (k == count)
                    out[x] |= static_cast<std::uint32_t>(255 - in[x]) << 24;
                else if (colour)
                    out[x] |= static_cast<std::uint32_t>(in[x]) << shift;
                else {
                    const std::size_t bit = std::size_t{x} * depth;
                    out[x] = palette[(in[bit / 8] >> (8 - depth - bit % 8)) & ((1u << depth) - 1)];
                }
            }
        }
    }
    return 1;
}

std::int32_t apply_psp_mask(std::span<const std::uint8_t> file, const PspLayer& layer,
                            std::uint16_t compression, std::vector<std::uint32_t>& pixels) {
    const PspChannel* mask = find_channel(layer.channels, 2, 0);
    const PspRect& m = layer.mask;
    const PspRect& s = layer.saved;
    if (!layer.mask_on || mask == nullptr || m.width() < 1 || m.height() < 1)
        return 1;
    if (m.width() > kMaxSide || m.height() > kMaxSide ||
        static_cast<std::uint64_t>(m.width() * m.height()) > kMaxPixels)
        return -13;
    std::vector<std::uint8_t> data;
    std::size_t stride = 0;
    if (const std::int32_t r =
            unpack_channel(file, *mask, compression, static_cast<std::uint32_t>(m.height()),
                           static_cast<std::size_t>(m.width()), data, stride);
        r != 1)
        return r;
    const std::int64_t top = std::max(m.top, s.top), bottom = std::min(m.bottom, s.bottom);
    const std::int64_t left = std::max(m.left, s.left), right = std::min(m.right, s.right);
    for (std::int64_t y = top; y < bottom; ++y)
        for (std::int64_t x = left; x < right; ++x) {
            std::uint32_t& v =
                pixels[static_cast<std::size_t>((y - s.top) * s.width() + x - s.left)];
            const std::uint32_t level = data[static_cast<std::size_t>(y - m.top) * stride +
                                             static_cast<std::size_t>(x - m.left)];
            const std::uint32_t a = (255 - (v >> 24)) * level / 255;
            v = (v & 0xFFFFFFu) | ((255 - a) << 24);
        }
    return 1;
}

bool psp_layer_mode(std::uint8_t blend, std::uint16_t& mode) {
    // File modes: 0 normal, 1 darken, 2 lighten, 3 hue, 4 saturation, 5 color, 6 luminosity,
    // 7 multiply, 8 screen, 9 dissolve, 10 overlay, 11 hard light, 12 soft light,
    // 13 difference, 14 dodge, 15 burn, 16 exclusion, 17-20 the "true" hue, saturation, color
    // and lightness. -1: no operator of ours.
    static constexpr int kModes[21] = {0,  12, 13, 5,  14, 6,  7, 3,  8, -1, 15,
                                       -1, -1, 11, 16, 17, -1, 5, 14, 6, 19};
    const int m = blend < 21 ? kModes[blend] : -1;
    mode = static_cast<std::uint16_t>(m < 0 ? 0 : m);
    return m >= 0;
}

} // namespace vt::formats
